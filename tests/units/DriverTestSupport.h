// Shared by the tests that run against the project's driver stand-in: its
// registration in the Wine prefix, a private settings key, a message pump.
#pragma once

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

// The stand-in DLL's Windows path.
std::wstring DravixPath();
// Calls the library's DllRegisterServer or DllUnregisterServer; returns the status.
HRESULT RegisterDravix(bool install);

// Dispatches this thread's messages until done() or the timeout; returns done().
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// Closes the next modal dialog or message box this thread shows, from a timer
// that its modal loop dispatches.
void CloseNextDialog();
