// Self-registration: the control's class, its ProgID and the type library
// embedded in the module. Registers for the machine when it may, otherwise
// for the current user, so that an ordinary account can register it too.
#include <ole2.h>
#include <oleauto.h>
#include <olectl.h>
#include <wrl/client.h>

#include <string>

#include "Dravix.h"
#include "driver/server/Module.h"

using Microsoft::WRL::ComPtr;

// In oleaut32 since Vista; the mingw-w64 headers do not declare them.
extern "C" {
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* typeLib, OLECHAR* fullPath, OLECHAR* helpDir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID libId, WORD major, WORD minor, LCID lcid, SYSKIND syskind);
}

namespace {

constexpr wchar_t kProgId[] = L"Dravix.Scaner45";
constexpr wchar_t kDescription[] = L"Dravix Scaner45 Control";

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40] = {};
  StringFromGUID2(guid, text, 40);
  return text;
}

class TKey {
 public:
  TKey() = default;
  TKey(const TKey&) = delete;
  TKey& operator=(const TKey&) = delete;
  ~TKey() {
    if (fKey) RegCloseKey(fKey);
  }
  LONG Create(HKEY parent, const std::wstring& path) {
    return RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &fKey, nullptr);
  }
  LONG SetString(const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(fKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }
  HKEY get() const { return fKey; }

 private:
  HKEY fKey = nullptr;
};

LONG SetKey(HKEY root, const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr) {
  TKey key;
  if (const LONG rc = key.Create(root, path); rc != ERROR_SUCCESS) return rc;
  return key.SetString(name, value);
}

LONG WriteClassKeys(HKEY classes) {
  const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_Scaner45);
  const std::wstring module = dravix::server::ModulePath();
  const struct {
    std::wstring Path;
    const wchar_t* Name;
    std::wstring Value;
  } entries[] = {
      {clsid, nullptr, kDescription},
      {clsid + L"\\InprocServer32", nullptr, module},
      {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsid + L"\\ProgID", nullptr, kProgId},
      {clsid + L"\\VersionIndependentProgID", nullptr, kProgId},
      {clsid + L"\\TypeLib", nullptr, GuidText(LIBID_DravixLib)},
      {clsid + L"\\Version", nullptr, L"1.0"},
      {clsid + L"\\Control", nullptr, L""},
      {kProgId, nullptr, kDescription},
      {std::wstring(kProgId) + L"\\CLSID", nullptr, GuidText(CLSID_Scaner45)},
  };
  for (const auto& e : entries) {
    if (const LONG rc = SetKey(classes, e.Path, e.Value, e.Name); rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

void DeleteClassKeys(HKEY classes) {
  RegDeleteTreeW(classes, (L"CLSID\\" + GuidText(CLSID_Scaner45)).c_str());
  RegDeleteTreeW(classes, kProgId);
}

class TClassesRoot {
 public:
  explicit TClassesRoot(HKEY hive) {
    if (RegOpenKeyExW(hive, L"Software\\Classes", 0, KEY_ALL_ACCESS, &fKey) != ERROR_SUCCESS) fKey = nullptr;
  }
  TClassesRoot(const TClassesRoot&) = delete;
  TClassesRoot& operator=(const TClassesRoot&) = delete;
  ~TClassesRoot() {
    if (fKey) RegCloseKey(fKey);
  }
  HKEY get() const { return fKey; }

 private:
  HKEY fKey = nullptr;
};

}  // namespace

STDAPI DllRegisterServer() {
  const std::wstring module = dravix::server::ModulePath();
  ComPtr<ITypeLib> typeLib;
  if (const HRESULT hr = LoadTypeLibEx(module.c_str(), REGKIND_NONE, &typeLib); FAILED(hr)) return hr;

  bool perUser = false;
  {
    TClassesRoot machine(HKEY_LOCAL_MACHINE);
    const LONG rc = machine.get() ? WriteClassKeys(machine.get()) : ERROR_ACCESS_DENIED;
    if (rc == ERROR_ACCESS_DENIED) {
      perUser = true;
    } else if (rc != ERROR_SUCCESS) {
      return HRESULT_FROM_WIN32(rc);
    }
  }
  if (perUser) {
    TClassesRoot user(HKEY_CURRENT_USER);
    if (!user.get()) return SELFREG_E_CLASS;
    if (const LONG rc = WriteClassKeys(user.get()); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  }
  std::wstring path = module;
  const HRESULT hr = perUser ? RegisterTypeLibForUser(typeLib.Get(), path.data(), nullptr)
                             : RegisterTypeLib(typeLib.Get(), path.data(), nullptr);
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

STDAPI DllUnregisterServer() {
  for (const HKEY hive : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    TClassesRoot root(hive);
    if (root.get()) DeleteClassKeys(root.get());
  }
  // Either registration may be absent; an absent one is not an error.
  UnRegisterTypeLib(LIBID_DravixLib, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);
  UnRegisterTypeLibForUser(LIBID_DravixLib, 1, 0, LOCALE_NEUTRAL, SYS_WIN32);
  return S_OK;
}
