#include "driver/server/SettingsStore.h"

#include <windows.h>

#include "driver/core/DeviceStore.h"

namespace dravix::server {

namespace {

constexpr wchar_t kDefaultKey[] = L"Software\\Dravix\\Devices";
constexpr wchar_t kDevicesValue[] = L"Devices";

class TRegKey {
 public:
  TRegKey(const std::wstring& path, bool write) {
    const LONG rc = write ? RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0,
                                            KEY_READ | KEY_WRITE, nullptr, &fKey, nullptr)
                          : RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &fKey);
    if (rc != ERROR_SUCCESS) fKey = nullptr;
  }
  TRegKey(const TRegKey&) = delete;
  TRegKey& operator=(const TRegKey&) = delete;
  ~TRegKey() {
    if (fKey) RegCloseKey(fKey);
  }
  HKEY get() const { return fKey; }

 private:
  HKEY fKey = nullptr;
};

}  // namespace

TSettingsStore::TSettingsStore() : fKeyPath(kDefaultKey) {
  wchar_t buffer[512];
  const DWORD n = GetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", buffer, 512);
  if (n > 0 && n < 512) fKeyPath.assign(buffer, n);
}

std::vector<TDevice> TSettingsStore::LoadDevices() {
  std::wstring stored;
  bool found = false;
  {
    TRegKey key(fKeyPath, false);
    DWORD type = 0, size = 0;
    if (key.get() &&
        RegQueryValueExW(key.get(), kDevicesValue, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        type == REG_MULTI_SZ) {
      stored.resize(size / sizeof(wchar_t) + 1);
      size = static_cast<DWORD>(stored.size() * sizeof(wchar_t));
      if (RegQueryValueExW(key.get(), kDevicesValue, nullptr, &type, reinterpret_cast<BYTE*>(stored.data()),
                           &size) == ERROR_SUCCESS &&
          type == REG_MULTI_SZ) {
        stored.resize(size / sizeof(wchar_t));
        found = true;
      }
    }
  }
  bool repaired = false;
  std::vector<TDevice> devices = DecodeDeviceList(found ? stored : std::wstring(), repaired);
  if (repaired) SaveDevices(devices);
  return devices;
}

bool TSettingsStore::SaveDevices(const std::vector<TDevice>& devices) {
  TRegKey key(fKeyPath, true);
  if (!key.get()) return false;
  const std::wstring stored = EncodeDeviceList(devices);
  return RegSetValueExW(key.get(), kDevicesValue, 0, REG_MULTI_SZ,
                        reinterpret_cast<const BYTE*>(stored.data()),
                        static_cast<DWORD>(stored.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

DWORD TSettingsStore::LoadNumber(const wchar_t* name, DWORD fallback) {
  TRegKey key(fKeyPath, false);
  DWORD type = 0, value = 0, size = sizeof(value);
  if (!key.get() ||
      RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD || size != sizeof(value)) {
    return fallback;
  }
  return value;
}

bool TSettingsStore::SaveNumber(const wchar_t* name, DWORD value) {
  TRegKey key(fKeyPath, true);
  return key.get() && RegSetValueExW(key.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                     sizeof(value)) == ERROR_SUCCESS;
}

}  // namespace dravix::server
