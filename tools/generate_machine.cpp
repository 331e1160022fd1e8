// Writes a generated machine as a topology file, for measuring the console program on a large
// tree: keldar_generate_machine ITEMS [OTHER_DEVICES] > machine.json
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "tools/model_generator.h"
#include "model/topology_file.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: keldar_generate_machine ITEMS [OTHER_DEVICES]\n");
    return 2;
  }
  keldar::model::MachineShape shape;
  shape.treeItems = std::strtoul(argv[1], nullptr, 10);
  if (argc == 3) shape.otherDevices = std::strtoul(argv[2], nullptr, 10);
  std::cout << keldar::WriteTopology(keldar::model::GenerateMachine(shape));
  return std::cout.good() ? 0 : 1;
}
