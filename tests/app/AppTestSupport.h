// Shared set-up of the program's end-to-end tests: paths of the built
// program and driver stand-in, the driver's registration, the registry font.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

namespace apptest {

// A build path as the Windows side sees it (Wine maps Z: to the root).
std::wstring WinPath(const char* unixPath);
std::wstring TavrixExe();
std::wstring DravixDll();

// Calls the stand-in's DllRegisterServer or DllUnregisterServer.
void RegisterDriver();
void UnregisterDriver();
bool DriverRegistered();

// Gives the stand-in a device store of its own for this test program and
// empties it, so every test starts from the stand-in's first-start state.
void IsolateDriverSettings();

// Dispatches this thread's messages until done() or the time-out; returns done().
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

// Writes bytes to a serial port: the test's end of the ctest wrapper's pair.
void FeedSerial(const wchar_t* port, const std::string& bytes);

// The current device of the stand-in's stored list: its port and model,
// frames ending with CR, 9600 baud; set through a control of this process
// that is released again before the program starts.
void ConfigureDevice(int port, int model);

// HKCU\Software\Ortvel\Font.
void DeleteFontKey();
void SetFontValue(const wchar_t* name, std::uint32_t value);
void SetFontString(const wchar_t* name, const std::wstring& value);

}  // namespace apptest
