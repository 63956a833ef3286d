// The detail pages of the detailed dialog's tab control: one
// child dialog at a time, made from its template; the General, Assembler
// and CPU pages show the report's sections as rich text, the Call Stack,
// Modules and Processes pages an owner-drawn list.
#pragma once

#include <windows.h>

#include <string>

namespace tracira {

// Dialog control ids of the detailed dialog that the pages use.
inline constexpr int kTabControlId = 1000;

// ActicatePage: index as dlg::PageOfIndex reads it. The open page is
// destroyed and the new one made as a child of the tab control.
void ActivatePage(HWND mainDialog, int index);
// AdjustDialog: the page fitted to the tab control's display area.
void AdjustPage(HWND mainDialog);
// The open page destroyed (its list's column widths saved).
void DestroyPage();
// The page now shown (-1 none) and its window.
int ActivePageNumber();
HWND ActivePageWindow();

// The mailslot record of a call-stack row to the development environment:
// the window of class "TAppBuilder" brought to the front, the record
// written to every "\\.\mailslot\TraciraLog0..3" that opens.
void OpenIDEEditor(int line, const std::string& unit, const std::string& className, int module1, int module2,
                   int offset, const std::string& procedure);

}  // namespace tracira
