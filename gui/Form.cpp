#include "gui/Form.h"

#include <algorithm>

#include "gui/Application.h"
#include "gui/Internal.h"
#include "gui/StdCtrls.h"
#include "rtl/Exceptions.h"

namespace gui {

namespace {

Control::CreateParams FormParams(const std::wstring& caption) {
  Control::CreateParams p;
  p.ClassName = L"TavrixForm";
  p.Style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  p.Text = caption;
  p.Width = 320;
  p.Height = 240;
  p.Background = GetSysColorBrush(COLOR_BTNFACE);
  p.ClassStyle = CS_DBLCLKS;
  return p;
}

// Disables the thread's other enabled, visible top-level windows for the
// time of a modal showing and enables them again afterwards.
class TaskWindowsDisabler {
 public:
  explicit TaskWindowsDisabler(HWND except) : fExcept(except) {
    EnumThreadWindows(GetCurrentThreadId(), &TaskWindowsDisabler::Visit, reinterpret_cast<LPARAM>(this));
  }
  ~TaskWindowsDisabler() { Restore(); }
  TaskWindowsDisabler(const TaskWindowsDisabler&) = delete;
  TaskWindowsDisabler& operator=(const TaskWindowsDisabler&) = delete;
  void Restore() {
    for (HWND wnd : fDisabled)
      if (IsWindow(wnd)) EnableWindow(wnd, TRUE);
    fDisabled.clear();
  }

 private:
  static BOOL CALLBACK Visit(HWND wnd, LPARAM self) {
    auto* me = reinterpret_cast<TaskWindowsDisabler*>(self);
    if (wnd != me->fExcept && IsWindowVisible(wnd) && IsWindowEnabled(wnd)) {
      EnableWindow(wnd, FALSE);
      me->fDisabled.push_back(wnd);
    }
    return TRUE;
  }
  HWND fExcept;
  std::vector<HWND> fDisabled;
};

bool IsFocusTarget(const Control* c) { return c->CanFocus() && c->TabStop() && detail::Usable(c->Handle()); }

bool ComboDropped(Control& c) {
  auto* combo = dynamic_cast<ComboBox*>(&c);
  return combo && combo->DroppedDown();
}

}  // namespace

Form::Form(std::wstring name) : WinControl(nullptr, name, FormParams(name)) { ApplyBorder(); }

Form::~Form() {
  auto& app = Application::Instance();
  if (app.MainForm() == this) app.fMainForm = nullptr;
}

int Form::ClientWidth() const {
  RECT r{};
  GetClientRect(Handle(), &r);
  return r.right;
}

int Form::ClientHeight() const {
  RECT r{};
  GetClientRect(Handle(), &r);
  return r.bottom;
}

void Form::SetClientSize(int width, int height) {
  RECT r{0, 0, width, height};
  AdjustWindowRectEx(&r, GetWindowLongW(Handle(), GWL_STYLE), FALSE, GetWindowLongW(Handle(), GWL_EXSTYLE));
  SetWindowPos(Handle(), nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  // The frame the window really got may differ from the computed one
  // (a window manager's decorations): correct by what is missing.
  const int dw = width - ClientWidth();
  const int dh = height - ClientHeight();
  if (dw || dh) {
    RECT w{};
    GetWindowRect(Handle(), &w);
    SetWindowPos(Handle(), nullptr, 0, 0, w.right - w.left + dw, w.bottom - w.top + dh,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

void Form::SetBorderStyle(gui::BorderStyle style) {
  fBorderStyle = style;
  ApplyBorder();
}

void Form::SetBorderIcons(gui::BorderIcons icons) {
  fBorderIcons = icons;
  ApplyBorder();
}

void Form::ApplyBorder() {
  const int width = ClientWidth();
  const int height = ClientHeight();
  DWORD style = GetWindowLongW(Handle(), GWL_STYLE);
  DWORD ex = GetWindowLongW(Handle(), GWL_EXSTYLE);
  style &= ~(WS_CAPTION | WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_POPUP);
  ex &= ~(WS_EX_DLGMODALFRAME | WS_EX_WINDOWEDGE);
  style |= WS_CAPTION;
  if (fBorderStyle == gui::BorderStyle::Sizeable) style |= WS_THICKFRAME;
  if (fBorderStyle == gui::BorderStyle::Dialog) ex |= WS_EX_DLGMODALFRAME;
  if (fBorderIcons.SystemMenu) {
    style |= WS_SYSMENU;
    // A dialog border has no minimise or maximise box.
    if (fBorderStyle != gui::BorderStyle::Dialog) {
      if (fBorderIcons.Minimize) style |= WS_MINIMIZEBOX;
      if (fBorderIcons.Maximize) style |= WS_MAXIMIZEBOX;
    }
  }
  SetWindowLongW(Handle(), GWL_STYLE, static_cast<LONG>(style));
  SetWindowLongW(Handle(), GWL_EXSTYLE, static_cast<LONG>(ex));
  SetWindowPos(Handle(), nullptr, 0, 0, 0, 0,
               SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  SetClientSize(width, height);
}

void Form::SetFont(const gui::Font& font) { ApplyFont(font); }

Control* Form::ActiveControl() const noexcept { return fFocused ? fFocused : fActiveControl; }

void Form::SetActiveControl(Control* control) {
  fActiveControl = control;
  if (control && IsWindowVisible(Handle()) && detail::Usable(control->Handle()))
    ::SetFocus(control->Handle());
}

void Form::FocusFirst() {
  Control* target = nullptr;
  if (fFocused && detail::Usable(fFocused->Handle()))
    target = fFocused;
  else if (fActiveControl && detail::Usable(fActiveControl->Handle()))
    target = fActiveControl;
  if (!target) {
    std::vector<Control*> all;
    CollectTabOrder(all);
    const auto it = std::find_if(all.begin(), all.end(), IsFocusTarget);
    if (it != all.end()) target = *it;
  }
  ::SetFocus(target ? target->Handle() : Handle());
}

void Form::SelectNext(bool forward) {
  std::vector<Control*> all;
  CollectTabOrder(all);
  std::erase_if(all, [](Control* c) { return !IsFocusTarget(c); });
  if (all.empty()) return;
  const auto n = static_cast<std::ptrdiff_t>(all.size());
  const auto it = std::find(all.begin(), all.end(), Control::FromHandle(GetFocus()));
  std::ptrdiff_t next = forward ? 0 : n - 1;
  if (it != all.end()) next = ((it - all.begin()) + (forward ? 1 : n - 1)) % n;
  Control* target = all[static_cast<std::size_t>(next)];
  ::SetFocus(target->Handle());
  if (auto* edit = dynamic_cast<Edit*>(target)) edit->SelectAll();
}

void Form::FocusChanged(Control& control) {
  if (fFocused == &control) return;
  Control* previous = fFocused;
  fFocused = &control;
  if (previous) FireEvent(*previous, previous->OnExit);
  FireEvent(control, control.OnEnter);
}

void Form::ForgetControl(const Control& control) noexcept {
  if (fFocused == &control) fFocused = nullptr;
  if (fActiveControl == &control) fActiveControl = nullptr;
}

Button* Form::DefaultButton() const {
  std::vector<Control*> all;
  CollectTabOrder(all);
  for (Control* c : all)
    if (auto* b = dynamic_cast<Button*>(c); b && b->Default() && detail::Usable(b->Handle())) return b;
  return nullptr;
}

Button* Form::CancelButton() const {
  std::vector<Control*> all;
  CollectTabOrder(all);
  for (Control* c : all)
    if (auto* b = dynamic_cast<Button*>(c); b && b->Cancel() && detail::Usable(b->Handle())) return b;
  return nullptr;
}

bool Form::DialogKey(Control& focused, WORD key, ShiftState shift) {
  if (shift.Alt) return false;
  switch (key) {
    case VK_TAB:
      if (shift.Ctrl) return false;
      SelectNext(!shift.Shift);
      return true;
    case VK_RETURN: {
      if (ComboDropped(focused)) return false;
      Button* button = dynamic_cast<Button*>(&focused);
      if (!button) button = DefaultButton();
      if (!button) return false;
      button->Click();
      return true;
    }
    case VK_ESCAPE: {
      if (ComboDropped(focused)) return false;
      Button* button = CancelButton();
      if (!button) return false;
      button->Click();
      return true;
    }
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
      if (!focused.ArrowsMoveFocus()) return false;
      SelectNext(key == VK_RIGHT || key == VK_DOWN);
      return true;
  }
  return false;
}

void Form::DoKeyDown(WORD& key, ShiftState shift) { FireEvent(*this, OnKeyDown, key, shift); }

void Form::Show() {
  if (!fShown) {
    fShown = true;
    if (fPosition == gui::Position::ScreenCenter) {
      RECT r{};
      GetWindowRect(Handle(), &r);
      const int w = r.right - r.left;
      const int h = r.bottom - r.top;
      SetWindowPos(Handle(), nullptr, (GetSystemMetrics(SM_CXSCREEN) - w) / 2,
                   (GetSystemMetrics(SM_CYSCREEN) - h) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
  }
  if (IsWindowVisible(Handle())) {
    SetForegroundWindow(Handle());
    return;
  }
  FireEvent(*this, OnShow);
  ShowWindow(Handle(), SW_SHOW);
  SetForegroundWindow(Handle());
  FocusFirst();
  UpdateWindow(Handle());
}

void Form::Hide() { ShowWindow(Handle(), SW_HIDE); }

void Form::Close() {
  if (fModal) {
    if (fModalResult == mrNone) fModalResult = mrCancel;
    return;
  }
  CloseAction action = CloseAction::Hide;
  FireEvent(*this, OnClose, action);
  if (action == CloseAction::None) return;
  Hide();
  auto& app = Application::Instance();
  if (app.MainForm() == this) app.Terminate();
}

bool Form::CloseModal() {
  CloseAction action = CloseAction::Hide;
  FireEvent(*this, OnClose, action);
  if (action == CloseAction::None) {
    fModalResult = mrNone;
    return false;
  }
  return true;
}

int Form::ShowModal(HWND owner) {
  if (fModal || IsWindowVisible(Handle())) throw rtl::Exception(L"Cannot make a visible window modal");
  auto& app = Application::Instance();
  if (!owner && app.MainForm() && app.MainForm() != this) owner = app.MainForm()->Handle();
  if (owner && !GetWindow(Handle(), GW_OWNER))
    SetWindowLongPtrW(Handle(), GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(owner));
  HWND previous = GetActiveWindow();
  struct ModalState {
    Form& form;
    HWND previous;
    TaskWindowsDisabler disabled;
    ~ModalState() {
      // Enable the others before hiding, so the activation goes back to them.
      disabled.Restore();
      form.Hide();
      form.fModal = false;
      if (previous && IsWindow(previous)) SetActiveWindow(previous);
    }
  } state{*this, previous, TaskWindowsDisabler(Handle())};
  fModal = true;
  fModalResult = mrNone;
  Show();
  while (true) {
    if (!app.HandleMessage()) {
      PostQuitMessage(app.fExitCode);  // for the enclosing loop
      fModalResult = mrCancel;
      break;
    }
    if (!IsWindowVisible(Handle()) && fModalResult == mrNone) fModalResult = mrCancel;
    if (fModalResult != mrNone && CloseModal()) break;
  }
  return fModalResult;
}

void Form::AddSystemMenuItem(UINT id, const std::wstring& text, bool separatorBefore) {
  if (id == 0 || id >= 0xF000 || (id & 0xF) != 0)
    throw rtl::Exception(L"Not a window menu item id: " + std::to_wstring(id));
  const HMENU menu = GetSystemMenu(Handle(), FALSE);
  if (!menu) throw rtl::EOSError(L"The window " + Name() + L" has no window menu", GetLastError());
  if (separatorBefore) AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  if (!AppendMenuW(menu, MF_STRING, id, text.c_str()))
    throw rtl::EOSError(L"Cannot add the window menu item " + text, GetLastError());
  fSystemItems.push_back(id);
}

LRESULT Form::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CLOSE:
      Close();
      return 0;
    case WM_SYSCOMMAND: {
      const UINT id = static_cast<UINT>(wp & 0xFFF0);
      if (std::find(fSystemItems.begin(), fSystemItems.end(), id) != fSystemItems.end()) {
        FireEvent(*this, OnSystemCommand, id);
        return 0;
      }
      break;
    }
    case WM_SIZE:
      if (wp != SIZE_MINIMIZED) FireEvent(*this, OnResize);
      break;
    case WM_GETMINMAXINFO:
      if (fMinClient.cx > 0 || fMinClient.cy > 0) {
        RECT r{0, 0, fMinClient.cx, fMinClient.cy};
        AdjustWindowRectEx(&r, GetWindowLongW(Handle(), GWL_STYLE), FALSE,
                           GetWindowLongW(Handle(), GWL_EXSTYLE));
        auto* info = reinterpret_cast<MINMAXINFO*>(lp);
        info->ptMinTrackSize = {r.right - r.left, r.bottom - r.top};
        return 0;
      }
      break;
    case WM_ACTIVATE:
      if (LOWORD(wp) != WA_INACTIVE && !HIWORD(wp)) {
        FocusFirst();
        return 0;
      }
      break;
  }
  return WinControl::WndProc(msg, wp, lp);
}

void Form::PaintBackground(HDC dc) { WinControl::PaintBackground(dc); }

void Form::PaintContent(HDC dc) {
  if (!OnPaint) return;
  rtl::Guarded([&] { OnPaint(*this, dc); }, [&] { HandleEventException(*this); });
}

}  // namespace gui
