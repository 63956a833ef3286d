#include "gui/Dialogs.h"

#include <commdlg.h>

#include <cstring>
#include <vector>

#include "gui/Application.h"
#include "rtl/Exceptions.h"
#include "rtl/SysErrors.h"

namespace gui {

namespace {

bool RunFileDialog(OpenDialog& dialog, HWND owner, bool save) {
  // The system wants the pairs separated by NUL characters and the list ended by two.
  std::wstring filter = dialog.Filter;
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  filter.append(2, L'\0');

  std::vector<wchar_t> file(32768, L'\0');
  dialog.FileName.copy(file.data(), file.size() - 1);

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = owner ? owner : Application::Instance().ActiveWindow();
  ofn.lpstrFilter = dialog.Filter.empty() ? nullptr : filter.c_str();
  ofn.nFilterIndex = 1;
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrInitialDir = dialog.InitialDir.empty() ? nullptr : dialog.InitialDir.c_str();
  ofn.lpstrTitle = dialog.Title.empty() ? nullptr : dialog.Title.c_str();
  ofn.lpstrDefExt = dialog.DefaultExt.empty() ? nullptr : dialog.DefaultExt.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  if (save) ofn.Flags |= OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST;
  if (!(save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn))) return false;
  dialog.FileName = file.data();
  return true;
}

// Closes the clipboard however the filling ends.
struct ClipboardScope {
  ~ClipboardScope() { CloseClipboard(); }
};

// A global block for the clipboard, freed unless the clipboard took it.
class GlobalBlock {
 public:
  explicit GlobalBlock(std::size_t bytes) : fBlock(GlobalAlloc(GMEM_MOVEABLE, bytes)) {}
  ~GlobalBlock() {
    if (fBlock) GlobalFree(fBlock);
  }
  GlobalBlock(const GlobalBlock&) = delete;
  GlobalBlock& operator=(const GlobalBlock&) = delete;
  HGLOBAL get() const noexcept { return fBlock; }
  void release() noexcept { fBlock = nullptr; }

 private:
  HGLOBAL fBlock;
};

[[noreturn]] void RaiseClipboardError(DWORD error) {
  throw rtl::EOSError(L"Буфер обмена недоступен: " + rtl::SysErrorMessage(error), error);
}

}  // namespace

bool OpenDialog::Execute(HWND owner) { return RunFileDialog(*this, owner, false); }

bool SaveDialog::Execute(HWND owner) { return RunFileDialog(*this, owner, true); }

void SetClipboardText(const std::wstring& text, HWND owner) {
  // Another program may hold the clipboard for a moment.
  bool open = false;
  for (int attempt = 0; attempt < 20 && !open; ++attempt) {
    open = OpenClipboard(owner) != FALSE;
    if (!open) Sleep(10);
  }
  if (!open) RaiseClipboardError(GetLastError());
  const ClipboardScope scope;
  if (!EmptyClipboard()) RaiseClipboardError(GetLastError());
  GlobalBlock block((text.size() + 1) * sizeof(wchar_t));
  if (!block.get()) RaiseClipboardError(GetLastError());
  void* memory = GlobalLock(block.get());
  if (!memory) RaiseClipboardError(GetLastError());
  std::memcpy(memory, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
  GlobalUnlock(block.get());
  if (!SetClipboardData(CF_UNICODETEXT, block.get())) RaiseClipboardError(GetLastError());
  block.release();
}

}  // namespace gui
