// Writes a generated machine as a topology file, for measuring the console program on a large
// tree and for serving one on the simulated USB driver:
//   keldar_generate_machine ITEMS [OTHER_DEVICES [CONTROLLERS [HUB_TIERS [SEED]]]] > machine.json
// (the shape's defaults where a number is not given; tools/model_generator.h says what each is).
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "tools/model_generator.h"
#include "model/topology_file.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 6) {
    std::fprintf(stderr,
                 "usage: keldar_generate_machine ITEMS [OTHER_DEVICES [CONTROLLERS [HUB_TIERS "
                 "[SEED]]]]\n");
    return 2;
  }
  const auto number = [&](int at) { return std::strtoul(argv[at], nullptr, 10); };
  keldar::model::MachineShape shape;
  shape.treeItems = number(1);
  if (argc > 2) shape.otherDevices = number(2);
  if (argc > 3) shape.controllers = static_cast<int>(number(3));
  if (argc > 4) shape.hubTiers = static_cast<int>(number(4));
  if (argc > 5) shape.seed = static_cast<std::uint32_t>(number(5));
  std::cout << keldar::WriteTopology(keldar::model::GenerateMachine(shape));
  return std::cout.good() ? 0 : 1;
}
