#include "tests/support/UiDriver.h"

#include <commctrl.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace uidriver {

namespace {

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

constexpr DWORD kSendTimeoutMs = 5000;

LRESULT Send(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  DWORD_PTR result = 0;
  SendMessageTimeoutW(wnd, msg, wp, lp, SMTO_ABORTIFHUNG, kSendTimeoutMs, &result);
  return static_cast<LRESULT>(result);
}

LPARAM KeyLParam(WORD vk, bool up) {
  const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
  LPARAM lp = 1 | (static_cast<LPARAM>(scan) << 16);
  if (up) lp |= (1u << 30) | (1u << 31);
  return lp;
}

}  // namespace

// ---------------------------------------------------------------- Process

Process Process::Start(const std::wstring& exe, const std::wstring& args, const std::wstring& dir) {
  Process p;
  p.fJob = CreateJobObjectW(nullptr, nullptr);
  if (!p.fJob) throw std::runtime_error("CreateJobObject failed");
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(p.fJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
  std::wstring command = L"\"" + exe + L"\"";
  if (!args.empty()) command += L" " + args;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!testsupport::StartChildProcess(command, FALSE, CREATE_SUSPENDED, dir.empty() ? nullptr : dir.c_str(),
                                      si, pi))
    throw std::runtime_error("CreateProcess failed for " + Narrow(exe) + ": " +
                             std::to_string(GetLastError()));
  AssignProcessToJobObject(p.fJob, pi.hProcess);
  ResumeThread(pi.hThread);
  CloseHandle(pi.hThread);
  p.fProcess = pi.hProcess;
  p.fId = pi.dwProcessId;
  return p;
}

Process::Process(Process&& other) noexcept
    : fJob(std::exchange(other.fJob, nullptr)),
      fProcess(std::exchange(other.fProcess, nullptr)),
      fId(std::exchange(other.fId, 0)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Close();
    fJob = std::exchange(other.fJob, nullptr);
    fProcess = std::exchange(other.fProcess, nullptr);
    fId = std::exchange(other.fId, 0);
  }
  return *this;
}

Process::~Process() { Close(); }

void Process::Close() noexcept {
  if (fProcess && Running()) Kill();
  if (fProcess) CloseHandle(fProcess);
  if (fJob) CloseHandle(fJob);
  fProcess = fJob = nullptr;
}

bool Process::Wait(DWORD timeoutMs) { return WaitForSingleObject(fProcess, timeoutMs) == WAIT_OBJECT_0; }
bool Process::Running() const { return fProcess && WaitForSingleObject(fProcess, 0) == WAIT_TIMEOUT; }

DWORD Process::ExitCode() const {
  DWORD code = 0;
  GetExitCodeProcess(fProcess, &code);
  return code;
}

void Process::Kill() {
  if (fJob) TerminateJobObject(fJob, 1);
  if (fProcess) {
    TerminateProcess(fProcess, 1);
    WaitForSingleObject(fProcess, 5000);
  }
}

// ---------------------------------------------------------------- windows

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs) {
  const ULONGLONG end = GetTickCount64() + timeoutMs;
  while (true) {
    if (predicate()) return true;
    if (GetTickCount64() >= end) return false;
    Sleep(20);
  }
}

std::wstring GetClassName(HWND wnd) {
  wchar_t name[256] = {};
  ::GetClassNameW(wnd, name, 256);
  return name;
}

HWND FindTopWindow(DWORD pid, const std::wstring& caption, const std::wstring& cls) {
  struct Search {
    DWORD pid;
    const std::wstring& caption;
    const std::wstring& cls;
    HWND found = nullptr;
  } search{pid, caption, cls};
  EnumWindows(
      [](HWND wnd, LPARAM lp) __attribute__((stdcall))->BOOL {
        auto& s = *reinterpret_cast<Search*>(lp);
        if (!IsWindowVisible(wnd)) return TRUE;
        DWORD owner = 0;
        GetWindowThreadProcessId(wnd, &owner);
        if (s.pid && owner != s.pid) return TRUE;
        if (!s.cls.empty() && GetClassName(wnd) != s.cls) return TRUE;
        if (!s.caption.empty() && GetText(wnd) != s.caption) return TRUE;
        s.found = wnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitForTopWindow(DWORD pid, const std::wstring& caption, const std::wstring& cls, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindTopWindow(pid, caption, cls)) != nullptr; }, timeoutMs);
  return found;
}

std::wstring ControlName(HWND wnd) {
  const auto atom = static_cast<ATOM>(reinterpret_cast<ULONG_PTR>(GetPropW(wnd, L"TavrixName")));
  if (!atom) return {};
  wchar_t name[256] = {};
  const UINT length = GlobalGetAtomNameW(atom, name, 256);
  return std::wstring(name, length);
}

HWND FindControl(HWND top, const std::wstring& name) {
  struct Search {
    const std::wstring& name;
    HWND found = nullptr;
  } search{name};
  EnumChildWindows(
      top, [](HWND wnd, LPARAM lp) __attribute__((stdcall))->BOOL {
        auto& s = *reinterpret_cast<Search*>(lp);
        if (ControlName(wnd) != s.name) return TRUE;
        s.found = wnd;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::wstring GetText(HWND wnd) {
  const auto length = Send(wnd, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length > 0 ? length : 0) + 1, L'\0');
  const auto copied = Send(wnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
  return text;
}

bool IsChecked(HWND checkBox) { return Send(checkBox, BM_GETCHECK, 0, 0) == BST_CHECKED; }
int ComboIndex(HWND combo) { return static_cast<int>(Send(combo, CB_GETCURSEL, 0, 0)); }

void Click(HWND button) { PostMessageW(button, BM_CLICK, 0, 0); }

void SetFocusTo(HWND control) {
  // Focus belongs to the target's thread: attach to it for the call.
  const DWORD thread = GetWindowThreadProcessId(control, nullptr);
  const DWORD self = GetCurrentThreadId();
  const bool attached = thread != self && AttachThreadInput(self, thread, TRUE);
  SetFocus(control);
  if (attached) AttachThreadInput(self, thread, FALSE);
}

void TypeText(HWND edit, const std::wstring& text) {
  for (wchar_t c : text) PostMessageW(edit, WM_CHAR, c, 1);
}

void PressKey(HWND wnd, WORD virtualKey) {
  PostMessageW(wnd, WM_KEYDOWN, virtualKey, KeyLParam(virtualKey, false));
  PostMessageW(wnd, WM_KEYUP, virtualKey, KeyLParam(virtualKey, true));
}

void SelectComboItem(HWND combo, int index) {
  // What the list itself does on the operator's choice: select, then tell the parent.
  Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  const auto id = static_cast<WORD>(GetDlgCtrlID(combo));
  PostMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
}

// ---------------------------------------------------------------- list views

namespace {

// A block of another process's memory for the time of one message.
class RemoteBlock {
 public:
  RemoteBlock(HWND wnd, std::size_t size) {
    DWORD pid = 0;
    GetWindowThreadProcessId(wnd, &pid);
    fProcess = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    if (!fProcess) throw std::runtime_error("OpenProcess failed: " + std::to_string(GetLastError()));
    fAddress = VirtualAllocEx(fProcess, nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!fAddress) {
      CloseHandle(fProcess);
      throw std::runtime_error("VirtualAllocEx failed: " + std::to_string(GetLastError()));
    }
  }
  ~RemoteBlock() {
    VirtualFreeEx(fProcess, fAddress, 0, MEM_RELEASE);
    CloseHandle(fProcess);
  }
  RemoteBlock(const RemoteBlock&) = delete;
  RemoteBlock& operator=(const RemoteBlock&) = delete;

  char* Address() const noexcept { return static_cast<char*>(fAddress); }
  void Write(std::size_t offset, const void* data, std::size_t size) {
    if (!WriteProcessMemory(fProcess, Address() + offset, data, size, nullptr))
      throw std::runtime_error("WriteProcessMemory failed");
  }
  void Read(std::size_t offset, void* data, std::size_t size) const {
    if (!ReadProcessMemory(fProcess, Address() + offset, data, size, nullptr))
      throw std::runtime_error("ReadProcessMemory failed");
  }

 private:
  HANDLE fProcess = nullptr;
  void* fAddress = nullptr;
};

}  // namespace

int ListViewRowCount(HWND list) { return static_cast<int>(Send(list, LVM_GETITEMCOUNT, 0, 0)); }

std::wstring ListViewText(HWND list, int row, int column) {
  constexpr int kChars = 4096;
  RemoteBlock block(list, sizeof(LVITEMW) + kChars * sizeof(wchar_t));
  LVITEMW item{};
  item.iSubItem = column;
  item.cchTextMax = kChars;
  item.pszText = reinterpret_cast<wchar_t*>(block.Address() + sizeof(LVITEMW));
  block.Write(0, &item, sizeof item);
  const auto length =
      Send(list, LVM_GETITEMTEXTW, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.Address()));
  std::wstring text(static_cast<std::size_t>(std::clamp<LRESULT>(length, 0, kChars - 1)), L'\0');
  if (!text.empty()) block.Read(sizeof(LVITEMW), text.data(), text.size() * sizeof(wchar_t));
  return text;
}

void ListViewSelect(HWND list, int row, bool selected) {
  RemoteBlock block(list, sizeof(LVITEMW));
  LVITEMW item{};
  item.stateMask = LVIS_SELECTED;
  item.state = selected ? LVIS_SELECTED : 0;
  block.Write(0, &item, sizeof item);
  Send(list, LVM_SETITEMSTATE, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(block.Address()));
}

// ---------------------------------------------------------------- clipboard

std::wstring ClipboardText() {
  if (!OpenClipboard(nullptr)) return {};
  std::wstring text;
  if (const HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* chars = static_cast<const wchar_t*>(GlobalLock(data))) {
      text = chars;
      GlobalUnlock(data);
    }
  }
  CloseClipboard();
  return text;
}

void EmptyClipboardNow() {
  if (!OpenClipboard(nullptr)) return;
  EmptyClipboard();
  CloseClipboard();
}

MessageBoxInfo WaitForMessageBox(DWORD pid, DWORD timeoutMs) {
  MessageBoxInfo info;
  info.Window = WaitForTopWindow(pid, L"", L"#32770", timeoutMs);
  if (!info.Window) return info;
  info.Caption = GetText(info.Window);
  std::vector<std::wstring> texts;
  EnumChildWindows(
      info.Window, [](HWND wnd, LPARAM lp) __attribute__((stdcall))->BOOL {
        if (_wcsicmp(GetClassName(wnd).c_str(), L"Static") == 0) {
          std::wstring text = GetText(wnd);
          if (!text.empty()) reinterpret_cast<std::vector<std::wstring>*>(lp)->push_back(std::move(text));
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&texts));
  for (const auto& t : texts) info.Text += (info.Text.empty() ? L"" : L"\n") + t;
  return info;
}

bool PressDialogButton(HWND dialog, int id) {
  HWND button = GetDlgItem(dialog, id);
  if (!button) return false;
  return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button)) !=
         FALSE;
}

CrashDialogInfo WaitForCrashDialog(DWORD pid, DWORD timeoutMs) {
  CrashDialogInfo info;
  info.Window = WaitForTopWindow(pid, L"", L"#32770", timeoutMs);
  if (!info.Window) return info;
  // Its texts are set while it opens, before it shows; a moment for the first paint.
  Sleep(100);
  info.Caption = GetText(info.Window);
  const auto classOf = [&](int id) { return GetClassName(GetDlgItem(info.Window, id)); };
  if (_wcsicmp(classOf(111).c_str(), L"Edit") == 0) {
    info.Message = GetText(GetDlgItem(info.Window, 103));
    info.CloseButton = 1001;
  } else if (_wcsicmp(classOf(1000).c_str(), L"SysTabControl32") == 0) {
    info.Message = GetText(GetDlgItem(info.Window, 101));
    info.CloseButton = IDCANCEL;
  } else {
    info.Message = WaitForMessageBox(pid, 0).Text;
    info.CloseButton = IDOK;
  }
  return info;
}

bool CloseCrashDialog(const CrashDialogInfo& dialog) {
  return PressDialogButton(dialog.Window, dialog.CloseButton);
}

}  // namespace uidriver
