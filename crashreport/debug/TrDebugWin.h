// The module's own data block, read through the module's resources.
#pragma once

#include <windows.h>

#include <optional>

#include "crashreport/debug/TrDebug.h"

namespace tracira {

// Pointer and size of a resource of module; nullopt when it has none.
struct TResourceData {
  const std::uint8_t* Data = nullptr;
  std::size_t Size = 0;
};
std::optional<TResourceData> GetResourceData(HMODULE module, const wchar_t* name, const wchar_t* type);

// Loads the data block of module ("TRDATA" resource, else the oldest layout
// appended to its file) into options, then applies the module's shared
// options when another module published them. nullopt: no usable block
// (the crash reporter stays inactive for the module); error says why.
std::optional<TTraciraExtraInformation> LoadDebugInformation(HMODULE module, TTraciraModuleOptions& options,
                                                             const TPasswordRequest& passwordRequest = {},
                                                             std::wstring* error = nullptr);

// Whether a module carries a data block (a "TRDATA" resource or the oldest
// layout appended to its file), whether this reader supports its version,
// and the version (mapped; 0 without a block). Only the block's header is
// read.
bool IsTraciraLogModule(HMODULE module);
bool IsTraciraLogCompatibleModule(HMODULE module);
std::uint16_t GetTraciraLogModuleVersion(HMODULE module);

// Address of a hooked runtime routine: module handle + 4096 + stored offset.
void* GetSymbolAddr(HMODULE module, const TTraciraExtraInformation& info, std::uint8_t symbol);

}  // namespace tracira
