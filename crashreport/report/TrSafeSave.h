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
std::filesystem::path SafeSaveTempName(const std::filesystem::path& file);

// Replaces the file's contents with bytes, atomically. Raises ELogFileError
// (the old file untouched, no temporary file left) when it can't.
void SaveFileReplacing(const std::filesystem::path& file, std::string_view bytes);

// The whole file; nullopt when it doesn't exist. Raises ELogFileError when it
// exists but can't be read. Other processes may read and write it meanwhile.
std::optional<std::string> ReadWholeFile(const std::filesystem::path& file);

}  // namespace tracira
