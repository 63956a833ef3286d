// The system's message texts for error codes (Windows only).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace rtl {

// The message for a GetLastError code or an HRESULT, without the trailing
// line break; "<Fallback> 0x%08X" when the system has no text for it. Its
// inserts (%1, ...) show as "…": a text never shows a bare %1.
std::wstring SysErrorMessage(DWORD code, const wchar_t* fallback = L"System error");
// The same with the inserts filled from Inserts (MessageInserts.h); Used
// tells whether the text named the first one.
std::wstring SysErrorMessage(DWORD code, const std::vector<std::wstring>& Inserts, bool* UsedFirst = nullptr);

}  // namespace rtl
