#include "driver/core/DeviceStore.h"

#include <array>

namespace dravix {

namespace {

constexpr std::wstring_view kTag = L"D1";
constexpr std::array kFieldOrder{TParam::Port,     TParam::BaudRate, TParam::Parity, TParam::DataBits,
                                 TParam::StopBits, TParam::StopFlag, TParam::Model};

// Strict decimal, optional '-', fits in 32 bits.
bool ParseInt(std::wstring_view text, int32_t& value) {
  if (text.empty() || text.size() > 11) return false;
  bool negative = false;
  if (text.front() == L'-') {
    negative = true;
    text.remove_prefix(1);
    if (text.empty()) return false;
  }
  int64_t v = 0;
  for (const wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    v = v * 10 + (c - L'0');
  }
  if (negative) v = -v;
  if (v < INT32_MIN || v > INT32_MAX) return false;
  value = static_cast<int32_t>(v);
  return true;
}

}  // namespace

std::wstring EncodeDevice(const TDevice& device) {
  std::wstring record(kTag);
  for (const TParam p : kFieldOrder) record += L';' + std::to_wstring(device.Params.Get(p));
  record += L';';
  record += device.Name;
  return record;
}

TDevice DecodeDevice(std::wstring_view record, bool& repaired) {
  TDevice device{std::wstring(kDefaultDeviceName), {}};
  size_t pos = record.find(L';');
  if (record.substr(0, pos) != kTag || pos == std::wstring_view::npos) {
    repaired = true;
    return device;
  }
  for (const TParam p : kFieldOrder) {
    const size_t start = pos + 1;
    pos = record.find(L';', start);
    if (pos == std::wstring_view::npos) {
      repaired = true;
      return device;
    }
    int32_t value = 0;
    if (ParseInt(record.substr(start, pos - start), value) && IsValidParam(p, value)) {
      device.Params.Set(p, value);
    } else {
      repaired = true;
    }
  }
  const std::wstring_view name = record.substr(pos + 1);
  if (IsValidName(name)) {
    device.Name = name;
  } else {
    repaired = true;
  }
  return device;
}

std::vector<TDevice> DefaultDevices() { return {TDevice{std::wstring(kDefaultDeviceName), {}}}; }

std::wstring EncodeDeviceList(const std::vector<TDevice>& devices) {
  std::wstring stored;
  for (const TDevice& device : devices) {
    stored += EncodeDevice(device);
    stored += L'\0';
  }
  stored += L'\0';
  return stored;
}

std::vector<TDevice> DecodeDeviceList(std::wstring_view stored, bool& repaired) {
  std::vector<TDevice> devices;
  size_t start = 0;
  while (start < stored.size()) {
    size_t end = stored.find(L'\0', start);
    if (end == std::wstring_view::npos) end = stored.size();
    const std::wstring_view record = stored.substr(start, end - start);
    if (record.empty()) break;  // the list's terminating NUL
    if (devices.size() == kMaxDevices) {
      repaired = true;
      break;
    }
    devices.push_back(DecodeDevice(record, repaired));
    start = end + 1;
  }
  if (devices.empty()) {
    repaired = true;
    return DefaultDevices();
  }
  return devices;
}

}  // namespace dravix
