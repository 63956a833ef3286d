// The crash reporter's one conversion layer between the encodings it meets:
// the system's UTF-16 (file names, window texts, version resources), the
// system code page ("ANSI") of every report and log text, and UTF-8 (the
// runtime's what() texts, names inside debug data written by the build
// tools). Every other unit converts through these functions only.
//
// On Windows ANSI is the process's code page (CP_ACP: 1251 on a Russian
// system). The native build, which only runs the platform-neutral code and
// its tests, has no code page of its own: there ANSI is UTF-8.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tracira {

// UTF-16 to the system code page; characters it lacks become '?'.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);

std::string Utf8ToAnsi(std::string_view text);
std::string AnsiToUtf8(std::string_view text);

// A file name given as ANSI text, and back.
std::filesystem::path AnsiToPath(std::string_view text);
std::string PathToAnsi(const std::filesystem::path& path);

}  // namespace tracira
