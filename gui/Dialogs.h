// The system's open-file dialog.
#pragma once

#include <windows.h>

#include <string>

namespace gui {

class OpenDialog {
 public:
  std::wstring FileName;
  // Pairs of description and pattern separated by '|': L"Драйвер (*.dll)|*.dll|".
  std::wstring Filter;
  std::wstring DefaultExt;
  std::wstring Title;
  std::wstring InitialDir;

  // Shows the dialog; true with FileName set when the operator chose a file.
  bool Execute(HWND owner = nullptr);
};

}  // namespace gui
