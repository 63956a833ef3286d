#include "crashreport/engine/TrLogPlace.h"

#include <shlobj.h>

#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrSystemInfo.h"
#include "crashreport/report/TrLogManager.h"
#include "rtl/ModuleFile.h"

namespace tracira {

std::filesystem::path ProfileFolder() {
  wchar_t path[MAX_PATH] = {};
  if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, 0, path)) && path[0]) return path;
  if (const DWORD n = GetEnvironmentVariableW(L"UserProfile", path, MAX_PATH); n > 0 && n < MAX_PATH)
    return path;
  return L"\\";
}

std::filesystem::path OutputFile(const TTraciraModuleOptions& options, const std::string& extension) {
  TLogNameParts parts;
  parts.ModuleName = AnsiToUtf8(options.ModuleName());
  if (parts.ModuleName.empty()) parts.ModuleName = PathToUtf8(rtl::ModuleFileName(GetModuleHandleW(nullptr)));
  parts.OutputPath = AnsiToUtf8(options.OutputPath());
  parts.Extension = extension;
  const TWindowsVersion version = WindowsVersion();
  parts.ProfileSystem = version.PlatformId == VER_PLATFORM_WIN32_NT && version.Major >= 6;
  if (parts.ProfileSystem) parts.ProfileFolder = PathToUtf8(ProfileFolder());
  parts.AddComputerName = options.LogOptions().Contains(loAddComputerNameInLogFileName);
  if (parts.AddComputerName) {
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = static_cast<DWORD>(std::size(computer));
    if (GetComputerNameW(computer, &size)) parts.ComputerName = PathToUtf8(computer);
  }
  return Utf8ToPath(ExpandEnvVarUtf8(LogFileName(parts)));
}

std::filesystem::path OutputLogFile(const TTraciraModuleOptions& options) {
  return OutputFile(options, ".tlf");
}

namespace {

// Whether a file can be written in file's folder (created when missing):
// a probe beside it, deleted when closed.
bool CanWriteBeside(const std::filesystem::path& path) {
  std::error_code error;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), error);
  if (error) return false;
  std::filesystem::path probe = path;
  probe += ".probe";
  const HANDLE h =
      CreateFileW(probe.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  // An existing log must be replaceable too.
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY);
}

}  // namespace

std::filesystem::path FallbackFile(const std::filesystem::path& fileName) {
  const std::filesystem::path fallback = ProfileFolder() / "TraciraLog" / fileName.filename();
  std::error_code ignored;
  std::filesystem::create_directories(fallback.parent_path(), ignored);
  return fallback;
}

std::filesystem::path GetWorkingFile(const std::filesystem::path& fileName) {
  return CanWriteBeside(fileName) ? fileName : FallbackFile(fileName);
}

}  // namespace tracira
