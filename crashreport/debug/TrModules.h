// The modules loaded in the process as the call stacks and the report see
// them: file, version resource, exports, data block and the one outside
// debug source chosen for each.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrSymbols.h"

namespace tracira {

enum TTraciraModuleType : std::uint8_t { mtMainModule, mtBorlandPackage, mtOSLibrary };

struct TTraciraModuleInfo {
  HMODULE Handle = nullptr;
  std::wstring Path;  // full file name, for reading the file
  // The full file name and the version resource's description as the
  // report shows them, in the system code page.
  std::string Name;
  std::string Description, Version;
  std::uint32_t Size = 0;               // of the image in memory
  TTraciraFunctionsList FunctionsList;  // exports, RVAs, sorted
  TTraciraModuleType ModuleType = mtOSLibrary;
  // The module's data block, when it carries one, with its options.
  std::optional<TTraciraExtraInformation> ExtraInformation;
  std::unique_ptr<TTraciraModuleOptions> Options;
  SYSTEMTIME LastModified{};  // local time of the file's last write
  FILETIME LastWrite{};
  std::uint64_t FileSize = 0;  // of the module's file
  std::string EncryptPassword;
  bool IsValidEncryptPassword = false;

  // The outside debug source, chosen on first use and kept.
  const TTrDebugInfoSource* OtherDebugData();
  // The lookup index of ExtraInformation's debug stream, built on first use.
  const TTrUnitIndex& UnitIndex();

  std::uintptr_t Base() const { return reinterpret_cast<std::uintptr_t>(Handle); }
  bool Contains(std::uintptr_t address) const { return address >= Base() && address - Base() < Size; }

 private:
  std::once_flag fSourceChosen;
  std::unique_ptr<TTrDebugInfoSource> fOtherDebugData;
  std::once_flag fIndexBuilt;
  TTrUnitIndex fUnitIndex;
};

// The fixed file version "a.b.c.d" and the FileDescription of a file's
// version resource (system code page); empty when it has none.
struct TFileVersionInfo {
  std::string Version, Description;
};
TFileVersionInfo ReadFileVersionInfo(const std::wstring& file);

// Reads one loaded module: file name, version resource, exports, data block.
std::unique_ptr<TTraciraModuleInfo> ReadModuleInfo(HMODULE module,
                                                   const TPasswordRequest& passwordRequest = {});

// The process's module list. Entries stay in place until PurgeModulesList
// drops them, so their pointers stay valid during one handling.
class TTraciraModulesList {
 public:
  // Adds every module loaded now that isn't listed yet.
  void Build();
  // The module holding address, read and listed on first use; nullptr
  // outside every module.
  TTraciraModuleInfo* ModuleInfoByAddr(std::uintptr_t address);
  // Drops the modules whose file changed or that are no longer loaded
  // (also when another module now lies at the same address).
  void PurgeModulesList();
  // A snapshot of the listed modules, in load-address order.
  std::vector<TTraciraModuleInfo*> Items();
  // Drops every module read, with its debug data: the crash reporter's end.
  void Clear();
  void SetPasswordRequest(TPasswordRequest request);

 private:
  std::recursive_mutex fLock;
  std::vector<std::unique_ptr<TTraciraModuleInfo>> fModules;
  TPasswordRequest fPasswordRequest;
  TTraciraModuleInfo* FindLocked(std::uintptr_t address);
};

// The process-wide list.
TTraciraModulesList& ProcessModules();

}  // namespace tracira
