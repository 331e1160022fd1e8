#include "detect/identification.h"

#include "detect/detail_lines.h"
#include "ident/key_rules.h"
#include "ident/vendor_table.h"

namespace keldar {

bool IdentifyKeys(const NodeTable& nodes, FriendlyNameLookup& friendlyNames,
                  ListView& deviceList, Notifier& notifier) {
  deviceList.DeleteAllItems();
  bool keyFound = false;
  int row = 0;
  // The tree's item count is read again before every row.
  for (int i = 0; i < nodes.ReadableRows(); ++i) {
    const NodeEntry& node = nodes.Row(i);
    if (!IsAttachedDevice(node)) continue;

    const std::uint16_t vendorId = node.connectionInfo->DeviceDescriptor.idVendor;
    const std::uint16_t productId = node.connectionInfo->DeviceDescriptor.idProduct;
    deviceList.InsertItem(row, LookupVendorName(vendorId));
    deviceList.SetItemText(row, 2, Hex(vendorId).text);
    deviceList.SetItemText(row, 3, Hex(productId).text);

    const KeyNotice* notices[2] = {nullptr, nullptr};
    const int noticeCount = KeyNoticesFor(vendorId, productId, notices);
    for (int n = 0; n < noticeCount; ++n)
      notifier.ShowNotice(notices[n]->text, NoticeCaption(), kNoticeType);
    if (noticeCount > 0) keyFound = true;

    const char* deviceName = friendlyNames.Find(node.label);
    deviceList.SetItemText(row, 1, deviceName != nullptr ? deviceName : "");
    ++row;
  }
  if (!keyFound) notifier.ShowNotice(ClosingNotice(), NoticeCaption(), kNoticeType);
  return keyFound;
}

}  // namespace keldar
