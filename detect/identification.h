// The identification pass: one device-list row per attached device of the node table, named
// from the vendor table, and each known key's notices shown at once; the closing notice when
// the pass showed none.
#pragma once

#include "detect/node_table.h"
#include "ui/views.h"
#include "usb/friendly_names.h"

namespace keldar {

// Refills `deviceList` from `nodes` in table order and shows the notices through `notifier`.
// Returns whether a key notice was shown.
bool IdentifyKeys(const NodeTable& nodes, FriendlyNameLookup& friendlyNames,
                  ListView& deviceList, Notifier& notifier);

}  // namespace keldar
