// Whole-file reads and crash-safe writes. A save writes a temporary file in
// the same folder, flushes it to the disk and only then puts it in place of
// the old file, so a crash or power loss during the save leaves either the
// old contents or the new ones, never a truncated mix.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "rtl/Exceptions.h"

namespace tracira {

class ELogFileError : public rtl::Exception {
 public:
  using rtl::Exception::Exception;
};

// The temporary file a save writes first: "<file>.tmp" beside the file.
// Saves of one file are made under its TFileLock, so the name is never in
// use twice at once, and what a killed save left there is simply written
// over by the next one.
std::filesystem::path SafeSaveTempName(const std::filesystem::path& file);

// Held around a whole read-change-save of a file that other processes (other
// programs with the crash reporter, or another copy of this one) change as
// well: on Windows a mutex named after the file's full name, in any case;
// elsewhere a lock on its folder. Raises ELogFileError when the lock is
// still held by another after a time-out (a holder keeps it only for one
// read and save, so a long wait means a stuck holder).
class TFileLock {
 public:
  explicit TFileLock(const std::filesystem::path& file);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

 private:
#ifdef _WIN32
  void* fMutex = nullptr;
#else
  int fFolder = -1;
#endif
};

// Replaces the file's contents with bytes, atomically. Raises ELogFileError
// (the old file untouched, no temporary file left) when it can't.
void SaveFileReplacing(const std::filesystem::path& file, std::string_view bytes);

// The whole file; nullopt when it doesn't exist. Raises ELogFileError when it
// exists but can't be read. Other processes may read and write it meanwhile.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file);

}  // namespace tracira
