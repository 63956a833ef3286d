// Drives another process's windows through Win32 messages, for end-to-end
// tests: start a program, wait for its windows, find controls by their
// TavrixName property, read texts and states, click, type, choose list
// items, press keys, and answer message boxes.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace uidriver {

// A started program inside a job object: the test can wait for it, and it
// is killed when this object goes away while it still runs.
class Process {
 public:
  // Starts exe with the command-line arguments args (quoted by the caller).
  static Process Start(const std::wstring& exe, const std::wstring& args = L"",
                       const std::wstring& dir = L"");
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  DWORD Id() const noexcept { return fId; }
  HANDLE Handle() const noexcept { return fProcess; }
  // True when the program ended within timeoutMs.
  bool Wait(DWORD timeoutMs);
  bool Running() const;
  DWORD ExitCode() const;
  void Kill();

 private:
  Process() = default;
  void Close() noexcept;
  HANDLE fJob = nullptr;
  HANDLE fProcess = nullptr;
  DWORD fId = 0;
};

// Polls predicate every 20 ms until it holds or timeoutMs passes.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs);

// A visible top-level window of process pid (0: any process) whose caption
// equals caption (empty: any) and whose class equals cls (empty: any).
HWND FindTopWindow(DWORD pid, const std::wstring& caption, const std::wstring& cls = L"");
HWND WaitForTopWindow(DWORD pid, const std::wstring& caption, const std::wstring& cls = L"",
                      DWORD timeoutMs = 10000);

// The TavrixName property of a control (empty when it has none).
std::wstring ControlName(HWND wnd);
// The descendant of top whose TavrixName is name, or null.
HWND FindControl(HWND top, const std::wstring& name);

// Texts and states, read with messages (so they work across processes).
std::wstring GetText(HWND wnd);
std::wstring GetClassName(HWND wnd);
bool IsChecked(HWND checkBox);
int ComboIndex(HWND combo);

// The operator's actions. Each is posted: it takes effect once the target's
// message loop runs, so follow it with WaitUntil on the expected result.
void Click(HWND button);
void SetFocusTo(HWND control);
void TypeText(HWND edit, const std::wstring& text);
void PressKey(HWND wnd, WORD virtualKey);
void SelectComboItem(HWND combo, int index);

// A report-style list view of another process, read and selected through
// its own messages, with the buffers they need placed in that process.
int ListViewRowCount(HWND list);
std::wstring ListViewText(HWND list, int row, int column);
// Row -1 stands for every row.
void ListViewSelect(HWND list, int row, bool selected);

// The clipboard's Unicode text (empty when it holds none), and emptying it.
std::wstring ClipboardText();
void EmptyClipboardNow();

// A message box ("#32770" dialog) of process pid, its text and buttons.
struct MessageBoxInfo {
  HWND Window = nullptr;
  std::wstring Caption;
  std::wstring Text;  // the static texts of the box joined by line feeds
};
MessageBoxInfo WaitForMessageBox(DWORD pid, DWORD timeoutMs = 10000);
// Presses the button with the given identifier (IDOK, IDCANCEL, ...).
bool PressDialogButton(HWND dialog, int id);

// The crash reporter's exception dialog of process pid (the window a
// program's exception brings up, by its options' dialog type): the classic
// dialog (message in control 103, "Don't Send"/"OK" 1001), the detailed
// one (message in 101, OK 2) or the message box (OK 1).
struct CrashDialogInfo {
  HWND Window = nullptr;
  std::wstring Caption;
  std::wstring Message;
  int CloseButton = IDOK;  // the button that closes it without sending
};
CrashDialogInfo WaitForCrashDialog(DWORD pid, DWORD timeoutMs = 10000);
// Closes it as the user does with its neutral button.
bool CloseCrashDialog(const CrashDialogInfo& dialog);

}  // namespace uidriver
