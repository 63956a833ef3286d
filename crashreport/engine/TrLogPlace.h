// Where the log file and its family of files go: the module's name with
// the family's extension, in the output folder (or the profile folder),
// with the computer's name when asked for and variables expanded; and the
// fall-back when that folder can't be written.
#pragma once

#include <filesystem>
#include <string>

#include "crashreport/core/TrCore.h"

namespace tracira {

// The user's profile folder (shell folder, else %UserProfile%, else "\").
std::filesystem::path ProfileFolder();

// A file of the log's family: the log's name with another extension (".log"
// for the internal-error text, ".xml" for the copy). OutputLogFile is
// OutputFile(options, ".tlf").
// Names stay wide from the system to the file: a folder or user name with
// characters outside the code page is kept whole.
std::filesystem::path OutputFile(const TTraciraModuleOptions& options, const std::string& extension);
// The file a save really writes: fileName when its folder can be written
// (it is created when missing), else the same name in the profile folder's
// TraciraLog (created too).
std::filesystem::path GetWorkingFile(const std::filesystem::path& fileName);
// The same name in the profile folder's TraciraLog (created).
std::filesystem::path FallbackFile(const std::filesystem::path& fileName);

// The log file's full name by the options (module name with ".tlf").
std::filesystem::path OutputLogFile(const TTraciraModuleOptions& options);

}  // namespace tracira
