// Pictures of the program's windows for the documentation.
#pragma once

#include <windows.h>

// Writes the window's pixels as they are on the screen to a 24-bit BMP file.
bool WriteWindowBmp(HWND wnd, const wchar_t* path);
