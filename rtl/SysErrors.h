// The system's message texts for error codes (Windows only).
#pragma once

#include <windows.h>

#include <string>

namespace rtl {

// The message for a GetLastError code or an HRESULT, without the trailing
// line break; "<Fallback> 0x%08X" when the system has no text for it.
std::wstring SysErrorMessage(DWORD code, const wchar_t* fallback = L"System error");

}  // namespace rtl
