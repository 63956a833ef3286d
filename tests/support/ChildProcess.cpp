#include "tests/support/ChildProcess.h"

#include <cstdio>

namespace testsupport {

bool StartChildProcess(std::wstring& commandLine, BOOL inheritHandles, DWORD flags, const wchar_t* currentDir,
                       const STARTUPINFOW& startup, PROCESS_INFORMATION& info, const wchar_t* environment) {
  constexpr int kAttempts = 3;
  for (int attempt = 1;; ++attempt) {
    STARTUPINFOW si = startup;
    if (CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, inheritHandles, flags,
                       const_cast<wchar_t*>(environment), currentDir, &si, &info))
      return true;
    const DWORD error = GetLastError();
    if (error != ERROR_INTERNAL_ERROR || attempt == kAttempts) {
      SetLastError(error);
      return false;
    }
    std::fprintf(stderr, "[child process] the loader's start failed (error %lu), starting again: %ls\n",
                 static_cast<unsigned long>(error), commandLine.c_str());
    Sleep(200);
  }
}

}  // namespace testsupport
