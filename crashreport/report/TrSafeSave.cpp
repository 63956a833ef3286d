#include "crashreport/report/TrSafeSave.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace tracira {

namespace {

std::wstring PathText(const std::filesystem::path& file) {
#ifdef _WIN32
  return file.wstring();
#else
  return rtl::FromUtf8(file.string());
#endif
}

[[noreturn]] void Fail(const wchar_t* what, const std::filesystem::path& file, unsigned long code) {
  throw ELogFileError(std::wstring(what) + L" \"" + PathText(file) + L"\" (error " + std::to_wstring(code) +
                      L")");
}

#ifdef _WIN32

struct THandle {
  HANDLE Value = INVALID_HANDLE_VALUE;
  explicit THandle(HANDLE h) : Value(h) {}
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  ~THandle() { Close(); }
  bool Close() {
    const bool ok = Value == INVALID_HANDLE_VALUE || CloseHandle(Value);
    Value = INVALID_HANDLE_VALUE;
    return ok;
  }
  bool Valid() const { return Value != INVALID_HANDLE_VALUE; }
};

#else

struct THandle {
  int Value = -1;
  explicit THandle(int fd) : Value(fd) {}
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  ~THandle() { Close(); }
  bool Close() {
    const bool ok = Value < 0 || ::close(Value) == 0;
    Value = -1;
    return ok;
  }
  bool Valid() const { return Value >= 0; }
};

#endif

// Removes the temporary file unless the save got as far as moving it.
struct TTempGuard {
  std::filesystem::path Name;
  bool Armed = true;
  ~TTempGuard() {
    if (!Armed) return;
    std::error_code ignored;
    std::filesystem::remove(Name, ignored);
  }
};

}  // namespace

std::filesystem::path SafeSaveTempName(const std::filesystem::path& file) {
  std::filesystem::path temp = file;
  temp += ".tmp";
  return temp;
}

void SaveFileReplacing(const std::filesystem::path& file, std::string_view bytes) {
  const std::filesystem::path tempName = SafeSaveTempName(file);
#ifdef _WIN32
  THandle temp(CreateFileW(tempName.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                           nullptr));
  if (!temp.Valid()) Fail(L"Cannot create the temporary file", tempName, GetLastError());
  TTempGuard guard{tempName};
  std::size_t written = 0;
  while (written < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - written, 1u << 20));
    DWORD done = 0;
    if (!WriteFile(temp.Value, bytes.data() + written, chunk, &done, nullptr) || done == 0)
      Fail(L"Cannot write the temporary file", tempName, GetLastError());
    written += done;
  }
  if (!FlushFileBuffers(temp.Value)) Fail(L"Cannot flush the temporary file", tempName, GetLastError());
  if (!temp.Close()) Fail(L"Cannot close the temporary file", tempName, GetLastError());
  if (!MoveFileExW(tempName.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
    Fail(L"Cannot replace the file", file, GetLastError());
  guard.Armed = false;
#else
  THandle temp(::open(tempName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!temp.Valid()) Fail(L"Cannot create the temporary file", tempName, static_cast<unsigned long>(errno));
  TTempGuard guard{tempName};
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t done = ::write(temp.Value, bytes.data() + written, bytes.size() - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) Fail(L"Cannot write the temporary file", tempName, static_cast<unsigned long>(errno));
    written += static_cast<std::size_t>(done);
  }
  if (::fsync(temp.Value) != 0)
    Fail(L"Cannot flush the temporary file", tempName, static_cast<unsigned long>(errno));
  if (!temp.Close()) Fail(L"Cannot close the temporary file", tempName, static_cast<unsigned long>(errno));
  if (::rename(tempName.c_str(), file.c_str()) != 0)
    Fail(L"Cannot replace the file", file, static_cast<unsigned long>(errno));
  guard.Armed = false;
  // The rename itself reaches the disk with the folder's entry.
  const std::filesystem::path folder =
      file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  THandle dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.Valid()) ::fsync(dir.Value);
#endif
}

std::optional<std::string> ReadWholeFile(const std::filesystem::path& file) {
#ifdef _WIN32
  THandle handle(CreateFileW(file.c_str(), GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!handle.Valid()) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return std::nullopt;
    Fail(L"Cannot open the file", file, code);
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    DWORD done = 0;
    if (!ReadFile(handle.Value, buffer, sizeof buffer, &done, nullptr))
      Fail(L"Cannot read the file", file, GetLastError());
    if (done == 0) break;
    data.append(buffer, done);
  }
  return data;
#else
  THandle handle(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!handle.Valid()) {
    if (errno == ENOENT) return std::nullopt;
    Fail(L"Cannot open the file", file, static_cast<unsigned long>(errno));
  }
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t done = ::read(handle.Value, buffer, sizeof buffer);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) Fail(L"Cannot read the file", file, static_cast<unsigned long>(errno));
    if (done == 0) break;
    data.append(buffer, static_cast<std::size_t>(done));
  }
  return data;
#endif
}

}  // namespace tracira
