// What one detection asks of the hub drivers on the model platform, per topology file, as JSON
// for tools/usbsim/costs_table.py (beside what the simulated driver served):
//   keldar_model_costs TOPOLOGY... > model-costs.json
// {"name": {"Opens": successful opens, "Requests": controller and hub IOCTLs}, ...}
#include <cstdio>
#include <iostream>
#include <string>

#include "backends/model/model_platform.h"
#include "detect/device_inspector.h"
#include "model/topology_file.h"
#include "ui/memory_views.h"

int main(int argc, char** argv) {
  using namespace keldar;
  std::cout << "{";
  for (int at = 1; at < argc; ++at) {
    std::string name = argv[at];
    name = name.substr(name.find_last_of('/') + 1);
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) name.resize(name.size() - 5);
    ModelPlatform platform(LoadTopologyFile(argv[at]));
    MemoryTreeView tree;
    MemoryListView deviceList, detailList;
    MemoryNotifier notifier;
    DeviceInspector inspector(platform, tree, deviceList, detailList, notifier, nullptr);
    inspector.Detect();
    const ModelPlatform::Counters& c = platform.Counts();
    std::cout << (at > 1 ? ",\n " : "\n ") << '"' << name << "\": {\"Opens\": "
              << c.createFileCalls - c.failedOpens
              << ", \"Requests\": " << c.controllerIoctls + c.hubIoctls << "}";
  }
  std::cout << "\n}\n";
  return std::cout.good() ? 0 : 1;
}
