// The driver's property page: the logical devices and the current device's
// settings in a modal dialog.
#pragma once

#include <windows.h>

#include <optional>
#include <vector>

#include "driver/core/Codes.h"

namespace dravix::server {

// Shows the dialog modally over `owner` and returns when it closes. With
// `editable`, the operator may pick another device, and OK returns its index
// (Cancel or closing the window returns nothing); otherwise the list is
// read-only and nothing is returned.
std::optional<size_t> ShowPropertiesDialog(HWND owner, const std::vector<TDevice>& devices, size_t current,
                                           bool editable);

}  // namespace dravix::server
