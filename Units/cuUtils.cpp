#include "Units/cuUtils.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

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

bool RegReadWindowBounds(const wchar_t* Key, TWindowBounds& Bounds) {
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, Key, 0, KEY_READ, &raw) != ERROR_SUCCESS) return false;
  const RegKey key(raw);
  std::int32_t values[5] = {};
  const wchar_t* const names[5] = {L"Left", L"Top", L"Width", L"Height", L"Maximized"};
  try {
    for (int i = 0; i < 5; ++i) {
      if (!key.ValueExists(names[i])) return false;
      values[i] = key.ReadInteger(names[i]);
    }
  } catch (const ERegistryException&) {
    return false;
  }
  if (values[2] <= 0 || values[3] <= 0) return false;
  Bounds.Rect = {values[0], values[1], values[0] + values[2], values[1] + values[3]};
  Bounds.Maximized = values[4] != 0;
  return true;
}

void RegWriteWindowBounds(const wchar_t* Key, const TWindowBounds& Bounds) noexcept {
  HKEY raw = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, Key, 0, nullptr, 0, KEY_WRITE, nullptr, &raw, nullptr) !=
      ERROR_SUCCESS)
    return;
  const RegKey key(raw);
  const RECT& r = Bounds.Rect;
  const std::pair<const wchar_t*, LONG> values[] = {{L"Left", r.left},
                                                    {L"Top", r.top},
                                                    {L"Width", r.right - r.left},
                                                    {L"Height", r.bottom - r.top},
                                                    {L"Maximized", Bounds.Maximized ? 1 : 0}};
  for (const auto& [name, value] : values) {
    const DWORD data = static_cast<DWORD>(value);
    RegSetValueExW(raw, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data);
  }
}

namespace {

// A handle of CreateFile, closed when it goes.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : fHandle(handle) {}
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const noexcept { return fHandle; }
  bool Close() noexcept {
    if (fHandle == INVALID_HANDLE_VALUE) return true;
    const bool closed = CloseHandle(std::exchange(fHandle, INVALID_HANDLE_VALUE)) != FALSE;
    return closed;
  }

 private:
  HANDLE fHandle;
};

[[noreturn]] void RaiseFileError(const std::wstring& FileName, DWORD error) {
  throw rtl::EOSError(SysErrorMessage(error) + L": " + FileName, error);
}

}  // namespace

void SaveBytesToFile(const std::wstring& FileName, const std::string& Bytes) {
  const std::wstring temporary = FileName + L".tmp";
  {
    FileHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) RaiseFileError(FileName, GetLastError());
    std::size_t done = 0;
    while (done < Bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(Bytes.size() - done, 1u << 20));
      DWORD written = 0;
      if (!WriteFile(file.get(), Bytes.data() + done, chunk, &written, nullptr) || written == 0) {
        const DWORD error = GetLastError();
        file.Close();
        DeleteFileW(temporary.c_str());
        RaiseFileError(FileName, error);
      }
      done += written;
    }
    if (!file.Close()) {
      const DWORD error = GetLastError();
      DeleteFileW(temporary.c_str());
      RaiseFileError(FileName, error);
    }
  }
  if (!MoveFileExW(temporary.c_str(), FileName.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    const DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    RaiseFileError(FileName, error);
  }
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
