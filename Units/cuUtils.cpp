#include "Units/cuUtils.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

class RegKey {
 public:
  explicit RegKey(HKEY key) : fKey(key) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  ~RegKey() { RegCloseKey(fKey); }

  bool ValueExists(const wchar_t* name) const {
    return RegQueryValueExW(fKey, name, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  }

  std::int32_t ReadInteger(const wchar_t* name) const {
    DWORD type = 0;
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LONG rc = RegQueryValueExW(fKey, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if ((rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) || type != REG_DWORD || size != sizeof(value)) {
      throw ERegistryException(InvalidType(name), name);
    }
    return static_cast<std::int32_t>(value);
  }

  std::wstring ReadString(const wchar_t* name) const {
    DWORD type = 0;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(fKey, name, nullptr, &type, nullptr, &size);
    if (rc != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) {
      throw ERegistryException(InvalidType(name), name);
    }
    std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
    size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
    rc = RegQueryValueExW(fKey, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size);
    if (rc != ERROR_SUCCESS) {
      throw ERegistryException(InvalidType(name), name);
    }
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
  }

 private:
  static std::wstring InvalidType(const wchar_t* name) {
    return L"Invalid data type for '" + std::wstring(name) + L"'";
  }
  HKEY fKey;
};

}  // namespace

void RegDefaultFont(gui::Font& Font) {
  Font.Name = L"MS Sans Serif";
  Font.Size = 8;
  Font.Color = 0;
  Font.Charset = 1;
  Font.Style = {};
}

void RegReadFont(gui::Font& Font) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kRegFontKey, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    RegDefaultFont(Font);
    return;
  }
  const RegKey key(raw);
  Font.Name = key.ValueExists(L"FontName") ? key.ReadString(L"FontName") : L"MS Sans Serif";
  Font.Size = key.ValueExists(L"FontSize") ? key.ReadInteger(L"FontSize") : 8;
  Font.Color = key.ValueExists(L"FontColor") ? static_cast<COLORREF>(key.ReadInteger(L"FontColor")) : 0;
  Font.Charset = key.ValueExists(L"FontCharSet") ? key.ReadInteger(L"FontCharSet") : 1;
  Font.Style = {};
  const auto flag = [&key](const wchar_t* name) {
    return key.ValueExists(name) && key.ReadInteger(name) != 0;
  };
  Font.Style.Bold = flag(L"FontIsBold");
  Font.Style.Italic = flag(L"FontIsItalic");
  Font.Style.Underline = flag(L"FontIsUnderlined");
  Font.Style.StrikeOut = flag(L"FontIsStriledOut");
}

std::wstring GetFileVersionInfo() {
  const std::wstring unknown = L"0.0.0.0";
  const HRSRC hVerInfo = FindResourceW(nullptr, L"#1", MAKEINTRESOURCEW(16));
  if (hVerInfo == nullptr) {
    return unknown;
  }
  const HGLOBAL hGlobal = LoadResource(nullptr, hVerInfo);
  if (hGlobal == nullptr) {
    return unknown;
  }
  const auto* AddrRes = static_cast<const unsigned char*>(LockResource(hGlobal));
  // The file version sits at a fixed offset inside the fixed file
  // information; a resource too short to hold it is treated as missing.
  constexpr std::size_t kOffset = 48;
  if (AddrRes == nullptr || SizeofResource(nullptr, hVerInfo) < kOffset + 8) {
    return unknown;
  }
  std::uint32_t Buf[2];
  std::memcpy(Buf, AddrRes + kOffset, sizeof(Buf));
  const unsigned MajorVersion = Buf[0] >> 16;
  const unsigned MinorVersion = Buf[0] & 0xFFFF;
  const unsigned ProductRelease = Buf[1] >> 16;
  const unsigned ProductBuild = Buf[1] & 0xFFFF;
  wchar_t text[64];
  std::swprintf(text, 64, L"%u.%u.%u.%u", MajorVersion, MinorVersion, ProductRelease, ProductBuild);
  return text;
}
