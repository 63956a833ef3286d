#include "gui/Dialogs.h"

#include <commdlg.h>

#include <vector>

#include "gui/Application.h"

namespace gui {

bool OpenDialog::Execute(HWND owner) {
  // The system wants the pairs separated by NUL characters and the list ended by two.
  std::wstring filter = Filter;
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  filter.append(2, L'\0');

  std::vector<wchar_t> file(32768, L'\0');
  FileName.copy(file.data(), file.size() - 1);

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner ? owner : Application::Instance().ActiveWindow();
  ofn.lpstrFilter = Filter.empty() ? nullptr : filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = InitialDir.empty() ? nullptr : InitialDir.c_str();
  ofn.lpstrTitle = Title.empty() ? nullptr : Title.c_str();
  ofn.lpstrDefExt = DefaultExt.empty() ? nullptr : DefaultExt.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&ofn)) return false;
  FileName = file.data();
  return true;
}

}  // namespace gui
