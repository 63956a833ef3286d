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
// GetLastError() set.
bool StartChildProcess(std::wstring& commandLine, BOOL inheritHandles, DWORD flags, const wchar_t* currentDir,
                       const STARTUPINFOW& startup, PROCESS_INFORMATION& info);

}  // namespace testsupport
