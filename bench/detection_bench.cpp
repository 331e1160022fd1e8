// Whole detections on generated machines of 100, 1,000 and 10,000 tree items, each with 300
// present devices that are not on USB: time per detection and per item, the platform calls a
// detection makes by kind, and the heap it needs at its peak. At the end the time of each
// size is set against the size ten times smaller.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <unistd.h>
#include <string>
#include <vector>

#include "bench/heap_counter.h"
#include "detect/device_inspector.h"
#include "model/topology_file.h"
#include "tools/model_generator.h"
#include "backends/model/model_platform.h"
#include "ui/memory_views.h"
#include "usb/access.h"
#include "usb/friendly_names.h"

namespace keldar::bench {

namespace {

constexpr std::size_t kOtherPresentDevices = 300;

const model::UsbModel& Machine(std::size_t items) {
  static std::map<std::size_t, model::UsbModel> machines;
  auto found = machines.find(items);
  if (found == machines.end()) {
    model::MachineShape shape;
    shape.treeItems = items;
    shape.otherDevices = kOtherPresentDevices;
    found = machines.emplace(items, model::GenerateMachine(shape)).first;
  }
  return found->second;
}

// The dialog's side of a detection, kept in memory.
struct Dialog {
  MemoryTreeView tree;
  MemoryListView deviceList;
  MemoryListView detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector;

  explicit Dialog(Platform& platform)
      : inspector(platform, tree, deviceList, detailList, notifier, nullptr) {
    inspector.SetComputerNameFailure([](DWORD) {});
    tree.SetSelectionHandler([this] { inspector.OnTreeSelChanged(); });
  }

  // What the user sees of every node: each tree item selected in turn.
  void ShowEveryDetail() {
    for (const NodeEntry& node : inspector.Nodes().Rows()) tree.Select(node.treeItem);
    tree.Select(nullptr);
  }

  void Detect() {
    notifier.Clear();
    inspector.Detect();
    ShowEveryDetail();
  }
};

void SetCallCounters(benchmark::State& state, const ModelPlatform::Counters& counts) {
  using benchmark::Counter;
  state.counters["hub_ioctls"] = Counter(static_cast<double>(counts.hubIoctls));
  state.counters["hcd_ioctls"] = Counter(static_cast<double>(counts.controllerIoctls));
  state.counters["opens"] = Counter(static_cast<double>(counts.createFileCalls));
  state.counters["device_sets"] = Counter(static_cast<double>(counts.deviceSetEnumerations));
  state.counters["enum_calls"] = Counter(static_cast<double>(counts.enumDeviceInfoCalls));
  state.counters["property_reads"] = Counter(static_cast<double>(counts.propertyReads));
  state.counters["conversions"] = Counter(static_cast<double>(counts.conversions));
}

void SetSizeCounters(benchmark::State& state, const model::UsbModel& machine,
                     std::size_t items) {
  using benchmark::Counter;
  state.counters["items"] = Counter(static_cast<double>(items));
  state.counters["present_devices"] =
      Counter(static_cast<double>(model::CountPresentDevices(machine)));
  // Seconds per tree item, shown in the benchmark's own time notation.
  state.counters["per_item"] =
      Counter(static_cast<double>(items), Counter::kIsIterationInvariantRate | Counter::kInvert);
}

// Tree build, identification pass and the detail lines of every node.
void BM_Detection(benchmark::State& state) {
  const model::UsbModel& machine = Machine(static_cast<std::size_t>(state.range(0)));
  ModelPlatform platform(machine);
  Dialog dialog(platform);

  // One detection outside the timing gives the call counts and the peak heap.
  ResetHeapPeak();
  const std::size_t before = HeapInUse();
  dialog.Detect();
  state.counters["peak_heap_bytes"] = static_cast<double>(HeapPeak() - before);
  SetCallCounters(state, platform.Counts());
  const std::size_t items = dialog.tree.GetCount();

  for (auto _ : state) dialog.Detect();
  SetSizeCounters(state, machine, items);
}

void BM_TreeBuild(benchmark::State& state) {
  const model::UsbModel& machine = Machine(static_cast<std::size_t>(state.range(0)));
  ModelPlatform platform(machine);
  Dialog dialog(platform);
  dialog.inspector.BuildDeviceTree();
  SetCallCounters(state, platform.Counts());
  for (auto _ : state) dialog.inspector.BuildDeviceTree();
  SetSizeCounters(state, machine, dialog.tree.GetCount());
}

// The pass alone, again and again over one built tree.
void BM_IdentifyKeys(benchmark::State& state) {
  const model::UsbModel& machine = Machine(static_cast<std::size_t>(state.range(0)));
  ModelPlatform platform(machine);
  Dialog dialog(platform);
  dialog.inspector.BuildDeviceTree();
  platform.ResetCounts();
  dialog.inspector.IdentifyKeys();
  SetCallCounters(state, platform.Counts());
  for (auto _ : state) {
    dialog.notifier.Clear();
    dialog.inspector.IdentifyKeys();
  }
  SetSizeCounters(state, machine, dialog.tree.GetCount());
}

void BM_DetailLines(benchmark::State& state) {
  const model::UsbModel& machine = Machine(static_cast<std::size_t>(state.range(0)));
  ModelPlatform platform(machine);
  Dialog dialog(platform);
  dialog.inspector.Detect();
  for (auto _ : state) dialog.ShowEveryDetail();
  SetSizeCounters(state, machine, dialog.tree.GetCount());
}

// Every driver key of the machine (and one no device carries) looked up through the device
// set: once per key, and from one snapshot.
std::vector<std::string> KeysOf(const model::UsbModel& machine) {
  std::vector<std::string> keys = model::DriverKeysOf(machine);
  keys.push_back("{36fc9e60-c465-11cf-8056-444553540000}\\9999");
  return keys;
}

void BM_LookupEachKey(benchmark::State& state) {
  const model::UsbModel& machine = Machine(static_cast<std::size_t>(state.range(0)));
  ModelPlatform platform(machine);
  const std::vector<std::string> keys = KeysOf(machine);
  for (auto _ : state)
    for (const std::string& key : keys)
      benchmark::DoNotOptimize(FindFriendlyName(platform, key.c_str()));
  state.counters["keys"] = static_cast<double>(keys.size());
}

void BM_LookupFromSnapshot(benchmark::State& state) {
  const model::UsbModel& machine = Machine(static_cast<std::size_t>(state.range(0)));
  ModelPlatform platform(machine);
  const std::vector<std::string> keys = KeysOf(machine);
  for (auto _ : state) {
    const FriendlyNames names = FriendlyNames::Read(platform);
    for (const std::string& key : keys) benchmark::DoNotOptimize(names.Find(key.c_str()));
  }
  state.counters["keys"] = static_cast<double>(keys.size());
}

// Reading a topology file of the machine: linear in the file's size (a growth near 10; the
// generator's largest machine has about 18,000 items).
void BM_ReadTopology(benchmark::State& state) {
  const std::string text = WriteTopology(Machine(static_cast<std::size_t>(state.range(0))));
  for (auto _ : state) benchmark::DoNotOptimize(ReadTopology(text, "machine.json"));
  state.counters["bytes"] = static_cast<double>(text.size());
}

BENCHMARK(BM_ReadTopology)->Arg(160)->Arg(1600)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Detection)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TreeBuild)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdentifyKeys)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DetailLines)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupEachKey)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LookupFromSnapshot)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond);

// The console report, followed by how each size's time compares with the size ten times
// smaller (linear growth is a ratio near 10).
class GrowthReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: logs and `make bench-smoke` read plain lines.
  GrowthReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const std::string name = run.benchmark_name();
      const auto slash = name.rfind('/');
      if (slash == std::string::npos) continue;
      const long size = std::strtol(name.c_str() + slash + 1, nullptr, 10);
      // Processor time: the machines these run on are often shared with other jobs.
      times_[name.substr(0, slash)][size] = run.GetAdjustedCPUTime();
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nGrowth (CPU time at a size / CPU time at a tenth of it):\n");
    for (const auto& [family, bySize] : times_)
      for (const auto& [size, time] : bySize)
        if (auto smaller = bySize.find(size / 10); smaller != bySize.end() && smaller->second > 0)
          std::printf("  %-24s %6ld / %-6ld %8.2f\n", family.c_str(), size, smaller->first,
                      time / smaller->second);
  }

 private:
  std::map<std::string, std::map<long, double>> times_;
};

}  // namespace

}  // namespace keldar::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  keldar::bench::GrowthReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
