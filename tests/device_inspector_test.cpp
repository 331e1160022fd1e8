// The identification pass and the detail list, driven through in-memory views as the dialog
// drives them: selections and double clicks that match no row, repeated detection, one
// abandoned for want of the computer name, and readers bounded by the tree's item count.
#include "detect/device_inspector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "model/topology_file.h"
#include "backends/model/model_platform.h"
#include "ui/memory_views.h"

namespace keldar {
namespace {

using Lines = std::vector<std::vector<std::string>>;

// tests/data/fixtures/every-descriptor-field-behind-hub.json, whose detail lines and device list
// its golden output pins. Rows: 0 computer, 1 controller, 2 root hub, 3 "Key One" (096E:0201),
// 4 external hub, 5 its empty port 1, 6 a low-speed device on its port 2, 7 "Token"
// (04B9:0305), 8 empty root port 4.
constexpr const char* kDesk = "/fixtures/every-descriptor-field-behind-hub.json";

// Reports at most `cap` items, as a tree that holds fewer items than the node table has rows.
class CappedTreeView final : public TreeView {
 public:
  CappedTreeView(MemoryTreeView& tree, unsigned cap) : tree_(tree), cap_(cap) {}
  void DeleteAllItems() override { tree_.DeleteAllItems(); }
  void SetNormalImageList(ImageListHandle images) override { tree_.SetNormalImageList(images); }
  void SetTextColor(Colour colour) override { tree_.SetTextColor(colour); }
  void SetBkColor(Colour colour) override { tree_.SetBkColor(colour); }
  TreeItem InsertItem(const char* text, int image, int selectedImage, TreeItem parent) override {
    return tree_.InsertItem(text, image, selectedImage, parent);
  }
  void Expand(TreeItem item) override { tree_.Expand(item); }
  unsigned GetCount() const override { return std::min(tree_.GetCount(), cap_); }
  TreeItem GetSelectedItem() const override { return tree_.GetSelectedItem(); }

 private:
  MemoryTreeView& tree_;
  unsigned cap_;
};

struct Bench {
  explicit Bench(unsigned treeCap = ~0u)
      : model(LoadTopologyFile(std::string(KELDAR_TEST_DATA_DIR) + kDesk)), capped(tree, treeCap) {
    tree.SetSelectionHandler([this] { inspector.OnTreeSelChanged(); });
  }
  Lines Details() const { return detailList.Rows(); }
  void Select(int row) { tree.Select(inspector.Nodes().Row(row).treeItem); }

  model::UsbModel model;
  ModelPlatform platform{model};
  MemoryTreeView tree;
  CappedTreeView capped;
  MemoryListView deviceList;
  MemoryListView detailList;
  MemoryNotifier notifier;
  DeviceInspector inspector{platform, capped, deviceList, detailList, notifier, nullptr};
};

TEST(DeviceInspector, DoubleClickShowsTheAttachedDeviceOfThatListRowOrLeavesTheLines) {
  Bench bench;
  ASSERT_TRUE(bench.inspector.Detect());
  ASSERT_EQ(bench.deviceList.GetItemCount(), 3);
  bench.Select(7);
  const Lines token = bench.Details();
  bench.Select(2);
  const Lines rootHub = bench.Details();
  ASSERT_EQ(rootHub.size(), 7u);

  bench.tree.Select(nullptr);
  EXPECT_TRUE(bench.Details().empty());
  bench.Select(2);
  for (int row : {3, -1}) {
    bench.inspector.OnDeviceListDblClk(row);
    EXPECT_EQ(bench.Details(), rootHub) << "row " << row;
  }
  bench.inspector.OnDeviceListDblClk(2);
  EXPECT_EQ(bench.Details(), token);
  ASSERT_EQ(token.size(), 16u);
  EXPECT_EQ(token[9][1], "0x 0305");
  bench.inspector.OnDeviceListDblClk(1);
  ASSERT_EQ(bench.Details().size(), 16u);
  EXPECT_EQ(bench.Details()[0][1], "{dev}\\0003");
}

TEST(DeviceInspector, RepeatedDetectReplacesEverythingAndAnAbandonedOneLeavesNothing) {
  Bench bench;
  ASSERT_TRUE(bench.inspector.Detect());
  const Lines firstDevices = bench.deviceList.Rows();
  const std::size_t firstNotices = bench.notifier.Notices().size();
  bench.Select(3);
  ASSERT_FALSE(bench.Details().empty());

  ASSERT_TRUE(bench.inspector.Detect());
  EXPECT_TRUE(bench.Details().empty());
  EXPECT_EQ(bench.tree.TextColour(), 0x003300u);
  EXPECT_EQ(bench.tree.BkColour(), 0xF0F0F0u);
  EXPECT_EQ(bench.tree.GetCount(), 9u);
  EXPECT_EQ(bench.inspector.Nodes().Rows().size(), 9u);
  EXPECT_EQ(bench.deviceList.Rows(), firstDevices);
  EXPECT_EQ(bench.notifier.Notices().size(), 2 * firstNotices);
  EXPECT_EQ(bench.platform.OpenHandleCount(), 0u);

  bench.Select(3);
  bench.notifier.Clear();
  DWORD error = 0;
  bench.inspector.SetComputerNameFailure([&error](DWORD code) { error = code; });
  bench.model.computerName.reset();
  EXPECT_FALSE(bench.inspector.Detect());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(bench.tree.GetCount(), 0u);
  EXPECT_EQ(bench.inspector.Nodes().Rows().size(), 0u);
  EXPECT_EQ(bench.inspector.Store()->RecordCount(), 0u);
  EXPECT_EQ(bench.platform.OpenHandleCount(), 0u);
  EXPECT_EQ(bench.deviceList.GetItemCount(), 0);
  EXPECT_TRUE(bench.Details().empty());
  EXPECT_TRUE(bench.notifier.Notices().empty());
}

// The golden output pins the notice's text; its box has the caption and an OK button only.
TEST(DeviceInspector, OneKeyGivesOneNoticeWithTheCaptionAndOkOnly) {
  Bench bench;
  ASSERT_TRUE(bench.inspector.Detect());
  EXPECT_TRUE(bench.inspector.KeyFound());
  ASSERT_EQ(bench.notifier.Notices().size(), 1u);
  EXPECT_EQ(bench.notifier.Notices()[0].caption, "Keldar - 技术支持 400-000-0000");
  EXPECT_EQ(bench.notifier.Notices()[0].type, 0u);
}

TEST(DeviceInspector, ReadersWalkNoMoreRowsThanTheTreeHasItems) {
  Bench bench(7);
  ASSERT_TRUE(bench.inspector.Detect());
  // Rows 7 and 8 lie beyond the tree's count: the token is neither listed nor found.
  EXPECT_EQ(bench.deviceList.GetItemCount(), 2);
  bench.Select(3);
  const Lines keyLines = bench.Details();
  bench.inspector.OnDeviceListDblClk(2);
  EXPECT_EQ(bench.Details(), keyLines);
  bench.Select(7);
  EXPECT_TRUE(bench.Details().empty());
}

}  // namespace
}  // namespace keldar
