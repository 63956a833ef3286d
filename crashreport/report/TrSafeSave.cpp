#include "crashreport/report/TrSafeSave.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
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

namespace {

constexpr unsigned long kLockTimeoutMs = 30000;

#ifdef _WIN32
// FNV-1a over the UTF-16 units of the upper-cased full name: the same file
// named in another case or by a relative path gives the same mutex.
std::wstring LockName(const std::filesystem::path& file) {
  std::error_code ignored;
  std::wstring name = std::filesystem::absolute(file, ignored).lexically_normal().wstring();
  if (name.empty()) name = file.wstring();
  CharUpperBuffW(name.data(), static_cast<DWORD>(name.size()));
  std::uint64_t hash = 14695981039346656037ull;
  for (const wchar_t c : name) {
    hash ^= static_cast<std::uint16_t>(c);
    hash *= 1099511628211ull;
  }
  wchar_t text[17];
  for (int i = 15; i >= 0; --i, hash >>= 4) text[i] = L"0123456789ABCDEF"[hash & 0xF];
  text[16] = 0;
  return std::wstring(L"Local\\TraciraLogFile-") + text;
}
#endif

}  // namespace

TFileLock::TFileLock(const std::filesystem::path& file) {
#ifdef _WIN32
  HANDLE mutex = CreateMutexW(nullptr, FALSE, LockName(file).c_str());
  if (!mutex) Fail(L"Cannot make the lock of the file", file, GetLastError());
  // An abandoned mutex (its holder died) is ours now: the file itself is
  // whole, the save replaces it in one step.
  const DWORD waited = WaitForSingleObject(mutex, kLockTimeoutMs);
  if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
    CloseHandle(mutex);
    Fail(L"Another program keeps the file locked", file, waited);
  }
  fMutex = mutex;
#else
  const std::filesystem::path folder =
      file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
  fFolder = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fFolder < 0) return;  // no folder: the save will say so
  for (unsigned long waited = 0; ::flock(fFolder, LOCK_EX | LOCK_NB) != 0; waited += 10) {
    if (errno != EWOULDBLOCK && errno != EINTR) break;
    if (waited >= kLockTimeoutMs) {
      ::close(fFolder);
      fFolder = -1;
      Fail(L"Another program keeps the file locked", file, static_cast<unsigned long>(EWOULDBLOCK));
    }
    ::usleep(10000);
  }
#endif
}

TFileLock::~TFileLock() {
#ifdef _WIN32
  if (fMutex) {
    ReleaseMutex(fMutex);
    CloseHandle(fMutex);
  }
#else
  if (fFolder >= 0) ::close(fFolder);  // closing lets the lock go
#endif
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
