// The stored form of the logical device list. The whole list is one
// REG_MULTI_SZ value, one record per device, so that a single registry write
// replaces it: a crash in the middle of saving leaves the old list or the new
// one, never a mixture.
//
// Record: "D1;<port>;<baud>;<parity>;<data bits>;<stop bits>;<stop flag>;<model>;<name>"
// (codes in decimal; the name comes last and may itself contain ';').
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "driver/core/Codes.h"

namespace dravix {

std::wstring EncodeDevice(const TDevice& device);

// Reads one record. A field that is missing or out of its table takes its
// default; a record that is not one of ours becomes the default device.
// `repaired` is set when anything had to be replaced.
TDevice DecodeDevice(std::wstring_view record, bool& repaired);

// The default list of a first start: one barcode scanner on COM1 at 9600.
std::vector<TDevice> DefaultDevices();

inline constexpr size_t kMaxDevices = 64;

// The list as REG_MULTI_SZ characters (each record NUL-terminated, then a
// final NUL).
std::wstring EncodeDeviceList(const std::vector<TDevice>& devices);

// The list from stored REG_MULTI_SZ characters (a missing final NUL is
// tolerated). An empty or unreadable list becomes DefaultDevices(); more than
// kMaxDevices records are cut off. `repaired` is set when the result differs
// from what was stored.
std::vector<TDevice> DecodeDeviceList(std::wstring_view stored, bool& repaired);

}  // namespace dravix
