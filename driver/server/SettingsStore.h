// The driver's persistent settings in the current user's registry: the
// logical devices, the current device and the property-page switch.
// The key is HKCU\Software\Dravix\Devices unless the environment variable
// DRAVIX_SETTINGS_KEY names another HKCU subkey.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "driver/core/Codes.h"

namespace dravix::server {

class TSettingsStore {
 public:
  TSettingsStore();

  const std::wstring& KeyPath() const { return fKeyPath; }

  // Never fails: a missing, damaged or unreadable list gives the repaired
  // list (defaults where needed), and a repaired list is written back.
  std::vector<TDevice> LoadDevices();
  // One registry write for the whole list; false when it could not be written.
  bool SaveDevices(const std::vector<TDevice>& devices);

  DWORD LoadNumber(const wchar_t* name, DWORD fallback);
  bool SaveNumber(const wchar_t* name, DWORD value);

 private:
  std::wstring fKeyPath;
};

}  // namespace dravix::server
