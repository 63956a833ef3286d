// A library whose start-up takes as long as TAVRIX_DLLMAIN_WAIT says (in
// milliseconds): whoever loads it holds the loader's lock that long.
#include <windows.h>

#include <cwchar>

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    wchar_t wait[16] = {};
    if (GetEnvironmentVariableW(L"TAVRIX_DLLMAIN_WAIT", wait, 16) > 0) Sleep(std::wcstoul(wait, nullptr, 10));
  }
  return TRUE;
}
