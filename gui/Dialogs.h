// The system's open-file and save-file dialogs, and the clipboard.
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

// The same for a file to write; an existing file is only chosen after the
// operator agreed to replace it.
class SaveDialog : public OpenDialog {
 public:
  bool Execute(HWND owner = nullptr);
};

// Puts text on the clipboard (as Unicode text), replacing what it held.
// Raises rtl::EOSError when the clipboard stays busy or refuses the text.
void SetClipboardText(const std::wstring& text, HWND owner = nullptr);

}  // namespace gui
