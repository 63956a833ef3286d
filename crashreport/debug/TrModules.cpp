#include "crashreport/debug/TrModules.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cwctype>
#include <filesystem>

#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrDebugWin.h"
#include "rtl/Handle.h"
#include "rtl/ModuleFile.h"

namespace tracira {

TFileVersionInfo ReadFileVersionInfo(const std::wstring& file) {
  TFileVersionInfo info;
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file.c_str(), &ignored);
  if (size == 0) return info;
  std::vector<std::uint8_t> data(size);
  if (!GetFileVersionInfoW(file.c_str(), 0, size, data.data())) return info;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
      length >= sizeof(VS_FIXEDFILEINFO) && (fixed->dwFileVersionMS | fixed->dwFileVersionLS) != 0) {
    info.Version = std::to_string(HIWORD(fixed->dwFileVersionMS)) + "." +
                   std::to_string(LOWORD(fixed->dwFileVersionMS)) + "." +
                   std::to_string(HIWORD(fixed->dwFileVersionLS)) + "." +
                   std::to_string(LOWORD(fixed->dwFileVersionLS));
  }
  struct Translation {
    WORD Language, CodePage;
  };
  Translation* translations = nullptr;
  if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                      &length))
    length = 0;
  std::vector<Translation> tried(translations, translations + length / sizeof(Translation));
  tried.push_back({0x0409, 0x04B0});
  tried.push_back({0x0409, 0x04E4});
  for (const Translation& t : tried) {
    wchar_t path[64];
    swprintf(path, 64, L"\\StringFileInfo\\%04x%04x\\FileDescription", t.Language, t.CodePage);
    wchar_t* text = nullptr;
    if (VerQueryValueW(data.data(), path, reinterpret_cast<void**>(&text), &length) && text && length > 0) {
      info.Description = ToAnsi(std::wstring_view(text, wcsnlen(text, length)));
      return info;
    }
  }
  return info;
}

namespace {

// Exports of a loaded image, straight from memory.
TTraciraFunctionsList ReadExports(HMODULE module, std::uint32_t imageSize) {
  TTraciraFunctionsList list;
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
  if (dir.VirtualAddress == 0 || dir.Size < sizeof(IMAGE_EXPORT_DIRECTORY) || dir.VirtualAddress >= imageSize)
    return list;
  const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
  const auto* functions = reinterpret_cast<const DWORD*>(base + exports->AddressOfFunctions);
  const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
  const auto* ordinals = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
  std::vector<std::string> nameOf(exports->NumberOfFunctions);
  for (DWORD i = 0; i < exports->NumberOfNames; ++i)
    if (ordinals[i] < nameOf.size()) nameOf[ordinals[i]] = reinterpret_cast<const char*>(base + names[i]);
  for (DWORD i = 0; i < exports->NumberOfFunctions; ++i) {
    const DWORD rva = functions[i];
    if (rva == 0 || (rva >= dir.VirtualAddress && rva < dir.VirtualAddress + dir.Size))
      continue;  // forwarder
    list.push_back({nameOf[i].empty() ? "#" + std::to_string(exports->Base + i) : nameOf[i], rva, 0});
  }
  SortFunctions(list, imageSize);
  return list;
}

bool HasExtension(const std::wstring& name, const wchar_t* ext) {
  const std::wstring e = std::filesystem::path(name).extension().wstring();
  return std::equal(e.begin(), e.end(), ext, ext + wcslen(ext),
                    [](wchar_t a, wchar_t b) { return std::towlower(a) == std::towlower(b); });
}

}  // namespace

const TTrDebugInfoSource* TTraciraModuleInfo::OtherDebugData() {
  std::call_once(fSourceChosen,
                 [this] { fOtherDebugData = AssignValidDebugInfo(std::filesystem::path(Path)); });
  return fOtherDebugData.get();
}

const TTrUnitIndex& TTraciraModuleInfo::UnitIndex() {
  std::call_once(fIndexBuilt, [this] {
    if (ExtraInformation) fUnitIndex = IndexUnits(*ExtraInformation);
  });
  return fUnitIndex;
}

std::unique_ptr<TTraciraModuleInfo> ReadModuleInfo(HMODULE module, const TPasswordRequest& passwordRequest) {
  auto info = std::make_unique<TTraciraModuleInfo>();
  info->Handle = module;
  const std::wstring file = rtl::ModuleFileName(module);
  info->Path = file;
  info->Name = ToAnsi(file);
  const auto* base = reinterpret_cast<const std::uint8_t*>(module);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
      base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
  info->Size = nt->OptionalHeader.SizeOfImage;
  TFileVersionInfo version = ReadFileVersionInfo(file);
  info->Version = std::move(version.Version);
  info->Description = std::move(version.Description);
  info->FunctionsList = ReadExports(module, info->Size);
  if (module == GetModuleHandleW(nullptr))
    info->ModuleType = mtMainModule;
  else if (HasExtension(file, L".bpl"))
    info->ModuleType = mtBorlandPackage;
  else
    info->ModuleType = mtOSLibrary;
  WIN32_FILE_ATTRIBUTE_DATA attributes{};
  if (GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &attributes)) {
    info->LastWrite = attributes.ftLastWriteTime;
    info->FileSize = (std::uint64_t{attributes.nFileSizeHigh} << 32) | attributes.nFileSizeLow;
    FILETIME local{};
    FileTimeToLocalFileTime(&attributes.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &info->LastModified);
  }
  info->Options = std::make_unique<TTraciraModuleOptions>();
  info->Options->DisableSharedDataWrite();
  info->ExtraInformation = LoadDebugInformation(module, *info->Options, passwordRequest);
  if (info->ExtraInformation) {
    info->EncryptPassword = info->ExtraInformation->EncryptPassword;
    info->IsValidEncryptPassword = info->ExtraInformation->IsValidEncryptPassword;
  }
  return info;
}

TTraciraModuleInfo* TTraciraModulesList::FindLocked(std::uintptr_t address) {
  for (const auto& m : fModules)
    if (m->Contains(address)) return m.get();
  return nullptr;
}

void TTraciraModulesList::SetPasswordRequest(TPasswordRequest request) {
  std::lock_guard lock(fLock);
  fPasswordRequest = std::move(request);
}

void TTraciraModulesList::Build() {
  rtl::UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId()));
  if (!snapshot || snapshot.get() == INVALID_HANDLE_VALUE) return;
  MODULEENTRY32W entry{};
  entry.dwSize = sizeof entry;
  std::vector<HMODULE> handles;
  for (BOOL ok = Module32FirstW(snapshot.get(), &entry); ok; ok = Module32NextW(snapshot.get(), &entry))
    handles.push_back(entry.hModule);
  for (HMODULE h : handles) ModuleInfoByAddr(reinterpret_cast<std::uintptr_t>(h));
}

TTraciraModuleInfo* TTraciraModulesList::ModuleInfoByAddr(std::uintptr_t address) {
  std::lock_guard lock(fLock);
  if (TTraciraModuleInfo* m = FindLocked(address)) return m;
  const HMODULE module = rtl::ModuleOfAddress(reinterpret_cast<const void*>(address));
  if (!module) return nullptr;
  auto info = ReadModuleInfo(module, fPasswordRequest);
  if (!info->Contains(address)) return nullptr;
  auto at = std::upper_bound(fModules.begin(), fModules.end(), info->Base(),
                             [](std::uintptr_t b, const auto& m) { return b < m->Base(); });
  return fModules.insert(at, std::move(info))->get();
}

void TTraciraModulesList::PurgeModulesList() {
  std::lock_guard lock(fLock);
  std::erase_if(fModules, [](const std::unique_ptr<TTraciraModuleInfo>& m) {
    if (rtl::ModuleOfAddress(reinterpret_cast<const void*>(m->Handle)) != m->Handle) return true;
    // Another module loaded where an unloaded one was.
    if (rtl::ModuleFileName(m->Handle) != m->Path) return true;
    WIN32_FILE_ATTRIBUTE_DATA attributes{};
    if (!GetFileAttributesExW(m->Path.c_str(), GetFileExInfoStandard, &attributes)) return true;
    return CompareFileTime(&attributes.ftLastWriteTime, &m->LastWrite) != 0;
  });
}

void TTraciraModulesList::Clear() {
  std::lock_guard lock(fLock);
  std::vector<std::unique_ptr<TTraciraModuleInfo>>().swap(fModules);
  fPasswordRequest = nullptr;
}

std::vector<TTraciraModuleInfo*> TTraciraModulesList::Items() {
  std::lock_guard lock(fLock);
  std::vector<TTraciraModuleInfo*> out;
  for (const auto& m : fModules) out.push_back(m.get());
  return out;
}

TTraciraModulesList& ProcessModules() {
  static TTraciraModulesList list;
  return list;
}

}  // namespace tracira
