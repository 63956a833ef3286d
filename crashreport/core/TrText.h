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

#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tracira {

// UTF-16 to the system code page; characters it lacks become '?'.
std::string ToAnsi(std::wstring_view text);
std::wstring FromAnsi(std::string_view text);

std::string Utf8ToAnsi(std::string_view text);
std::string AnsiToUtf8(std::string_view text);

// An exception's message in the code page: the program's own exceptions
// carry it in UTF-16, any other what() is UTF-8.
std::string MessageOf(const std::exception* e);

// UTF-8 and a given Windows code page (1251, 1252, 65001, ...), strictly:
// nullopt when a character has no form in the other encoding (no '?', no
// best fit), when the input is not valid in its own, or when the code page
// is unknown here. For tools that write text for a program whose code page
// is not this process's.
std::optional<std::string> Utf8ToCodePage(std::string_view text, unsigned codePage);
std::optional<std::string> CodePageToUtf8(std::string_view text, unsigned codePage);

// A file name given as ANSI text, and back.
std::filesystem::path AnsiToPath(std::string_view text);
std::string PathToAnsi(const std::filesystem::path& path);

// A file name as UTF-8, and back: lossless, for names put together from
// parts before they reach the file system.
std::filesystem::path Utf8ToPath(std::string_view text);
std::string PathToUtf8(const std::filesystem::path& path);

}  // namespace tracira
