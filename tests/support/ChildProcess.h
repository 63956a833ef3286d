// Starting the programs under test from a test, on Windows and under Wine.
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

// CreateProcessW with the application taken from the command line. Wine
// answers ERROR_INTERNAL_ERROR when the new process dies in its loader,
// before any of the program's code has run (seen in a CI run, starting the
// 64-bit program); such a start is tried again, a few times, and said on
// stderr. Any other failure is returned at once, with
// GetLastError() set. environment: a block of UTF-16 "NAME=value" strings
// (flags then include CREATE_UNICODE_ENVIRONMENT), or null for this one's.
bool StartChildProcess(std::wstring& commandLine, BOOL inheritHandles, DWORD flags, const wchar_t* currentDir,
                       const STARTUPINFOW& startup, PROCESS_INFORMATION& info,
                       const wchar_t* environment = nullptr);

}  // namespace testsupport
