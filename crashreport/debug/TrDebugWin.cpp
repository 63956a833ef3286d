#include "crashreport/debug/TrDebugWin.h"

#include <filesystem>
#include <memory>
#include <vector>

#include "crashreport/debug/TrFileView.h"
#include "rtl/ModuleFile.h"

namespace tracira {

namespace {

struct HandleCloser {
  void operator()(HANDLE h) const { CloseHandle(h); }
};
struct ViewUnmapper {
  void operator()(const void* p) const { UnmapViewOfFile(p); }
};

void ApplySharedOptions(HMODULE module, TTraciraModuleOptions& options) {
  const std::string name = SharedDataName(
      GetCurrentProcessId(), static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(module)));
  const std::wstring wideName(name.begin(), name.end());
  std::unique_ptr<void, HandleCloser> mapping(OpenFileMappingW(FILE_MAP_READ, FALSE, wideName.c_str()));
  if (!mapping) return;
  std::unique_ptr<const void, ViewUnmapper> view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
  if (!view) return;
  MEMORY_BASIC_INFORMATION mbi{};
  if (VirtualQuery(view.get(), &mbi, sizeof mbi) == 0) return;
  try {
    ApplySharedOptionsBlock(static_cast<const std::uint8_t*>(view.get()), mbi.RegionSize, options);
  } catch (const ETrDataError&) {
    // A damaged shared block leaves the module's own options in force.
  }
}

}  // namespace

std::optional<TResourceData> GetResourceData(HMODULE module, const wchar_t* name, const wchar_t* type) {
  HRSRC info = FindResourceW(module, name, type);
  if (!info) return std::nullopt;
  HGLOBAL loaded = LoadResource(module, info);
  if (!loaded) return std::nullopt;
  const void* data = LockResource(loaded);
  if (!data) return std::nullopt;
  return TResourceData{static_cast<const std::uint8_t*>(data), SizeofResource(module, info)};
}

std::optional<TTraciraExtraInformation> LoadDebugInformation(HMODULE module, TTraciraModuleOptions& options,
                                                             const TPasswordRequest& passwordRequest,
                                                             std::wstring* error) {
  std::optional<TTraciraExtraInformation> info;
  try {
    if (const auto resource = GetResourceData(module, L"TRDATA", MAKEINTRESOURCEW(10) /* RT_RCDATA */)) {
      info = LoadData(resource->Data, resource->Size, options, passwordRequest);
    } else {
      // Most modules carry no block at all: of those only the file's last
      // bytes are looked at.
      const TTrFileView file{std::filesystem::path(rtl::ModuleFileName(module))};
      if (!file.Valid() || !AppendedBlockVersion(file.Bytes().data(), file.Bytes().size())) {
        if (error) *error = L"The module has no data block.";
        return std::nullopt;
      }
      info = LoadData_Old(file.Bytes().data(), file.Bytes().size(), options);
    }
  } catch (const rtl::Exception& e) {
    if (error) *error = e.Message();
    return std::nullopt;
  }
  ApplySharedOptions(module, options);
  return info;
}

std::optional<std::uint16_t> ModuleBlockVersion(HMODULE module) {
  if (const auto resource = GetResourceData(module, L"TRDATA", MAKEINTRESOURCEW(10) /* RT_RCDATA */))
    return DataBlockVersion(resource->Data, resource->Size);
  const TTrFileView file{std::filesystem::path(rtl::ModuleFileName(module))};
  return file.Valid() ? AppendedBlockVersion(file.Bytes().data(), file.Bytes().size()) : std::nullopt;
}

bool IsTraciraLogModule(HMODULE module) { return ModuleBlockVersion(module).has_value(); }

bool IsTraciraLogCompatibleModule(HMODULE module) {
  const auto version = ModuleBlockVersion(module);
  return version && *version <= kTrDataVersion;
}

std::uint16_t GetTraciraLogModuleVersion(HMODULE module) { return ModuleBlockVersion(module).value_or(0); }

void* GetSymbolAddr(HMODULE module, const TTraciraExtraInformation& info, std::uint8_t symbol) {
  const auto offset = GetSymbolOffset(info, symbol);
  if (!offset) return nullptr;
  return reinterpret_cast<std::uint8_t*>(module) + 4096 + *offset;
}

}  // namespace tracira
