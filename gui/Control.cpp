#include "gui/Control.h"

#include <algorithm>
#include <mutex>
#include <set>

#include "gui/Form.h"
#include "gui/Internal.h"
#include "rtl/Exceptions.h"

namespace gui {

namespace {
// The window property that leads from a window to its Control object.
constexpr wchar_t kObjectProperty[] = L"TavrixObject";
}  // namespace

namespace detail {

void EnsureWindowClass(const wchar_t* name, WNDPROC proc, HBRUSH background, UINT style) {
  static std::mutex lock;
  static std::set<std::wstring> registered;
  const std::lock_guard guard(lock);
  if (registered.contains(name)) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = background;
  wc.lpszClassName = name;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw rtl::EOSError(std::wstring(L"Cannot register the window class ") + name, GetLastError());
  registered.insert(name);
}

bool Usable(HWND wnd) {
  for (HWND h = wnd; h; h = (GetWindowLongW(h, GWL_STYLE) & WS_CHILD) ? GetParent(h) : nullptr) {
    const LONG style = GetWindowLongW(h, GWL_STYLE);
    if (!(style & WS_VISIBLE) || (style & WS_DISABLED)) return false;
  }
  return wnd != nullptr;
}

}  // namespace detail

ShiftState CurrentShiftState() {
  return {GetKeyState(VK_SHIFT) < 0, GetKeyState(VK_MENU) < 0, GetKeyState(VK_CONTROL) < 0};
}

// ---------------------------------------------------------------- Control

Control::Control(WinControl* parent, std::wstring name, const CreateParams& params)
    : fParent(parent), fName(std::move(name)) {
  if (!params.Subclass)
    detail::EnsureWindowClass(params.ClassName, StaticWndProc, params.Background, params.ClassStyle);
  DWORD style = params.Style;
  HWND parentWnd = nullptr;
  if (parent) {
    style |= WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    parentWnd = parent->Handle();
    fFont = parent->Font();
  }
  HWND wnd = CreateWindowExW(params.ExStyle, params.ClassName, params.Text.c_str(), style, 0, 0, params.Width,
                             params.Height, parentWnd, nullptr, GetModuleHandleW(nullptr),
                             params.Subclass ? nullptr : this);
  if (!wnd) throw rtl::EOSError(L"Cannot create the window " + fName, GetLastError());
  fHandle = wnd;
  if (params.Subclass) {
    SetPropW(wnd, kObjectProperty, this);
    fOldProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&Control::SubclassWndProc)));
  }
  if (!fName.empty()) {
    fNameAtom = GlobalAddAtomW(fName.c_str());
    if (fNameAtom) SetPropW(wnd, kNameProperty, reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(fNameAtom)));
  }
  SendMessageW(wnd, WM_SETFONT, reinterpret_cast<WPARAM>(fFont.Handle()), FALSE);
  if (parent) parent->fChildren.push_back(this);
}

Control::~Control() {
  if (fParent) {
    if (Form* form = OwnerForm()) form->ForgetControl(*this);
    std::erase(fParent->fChildren, this);
  }
  Detach();
}

void Control::Detach() noexcept {
  if (!fHandle) return;
  HWND wnd = fHandle;
  fHandle = nullptr;
  // From here on the window's messages no longer reach this object.
  if (fOldProc) SetWindowLongPtrW(wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(fOldProc));
  RemovePropW(wnd, kObjectProperty);
  RemovePropW(wnd, kNameProperty);
  if (fNameAtom) GlobalDeleteAtom(fNameAtom);
  fNameAtom = 0;
  DestroyWindow(wnd);
}

Control* Control::FromHandle(HWND wnd) noexcept {
  if (!wnd) return nullptr;
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  if (pid != GetCurrentProcessId()) return nullptr;
  return static_cast<Control*>(GetPropW(wnd, kObjectProperty));
}

Form* Control::OwnerForm() noexcept {
  Control* c = this;
  while (c->fParent) c = c->fParent;
  return dynamic_cast<Form*>(c);
}

LRESULT CALLBACK Control::StaticWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* self = static_cast<Control*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    if (self) {
      self->fHandle = wnd;
      SetPropW(wnd, kObjectProperty, self);
    }
  }
  Control* self = static_cast<Control*>(GetPropW(wnd, kObjectProperty));
  if (!self) return DefWindowProcW(wnd, msg, wp, lp);
  return self->Dispatch(msg, wp, lp);
}

LRESULT CALLBACK Control::SubclassWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  Control* self = static_cast<Control*>(GetPropW(wnd, kObjectProperty));
  if (!self) return DefWindowProcW(wnd, msg, wp, lp);
  return self->Dispatch(msg, wp, lp);
}

LRESULT Control::Dispatch(UINT msg, WPARAM wp, LPARAM lp) {
  // Nothing may unwind through the system's window procedure code.
  LRESULT result = 0;
  rtl::Guarded([&] { result = WndProc(msg, wp, lp); }, [&] { HandleEventException(*this); });
  return result;
}

LRESULT Control::DefaultHandler(UINT msg, WPARAM wp, LPARAM lp) {
  if (fOldProc) return CallWindowProcW(fOldProc, fHandle, msg, wp, lp);
  return DefWindowProcW(fHandle, msg, wp, lp);
}

LRESULT Control::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_SETFOCUS: {
      const LRESULT result = DefaultHandler(msg, wp, lp);
      Form* form = OwnerForm();
      if (form && form != this) form->FocusChanged(*this);
      return result;
    }
    case WM_GETFONT:
      // The library's own window classes keep no font of their own.
      if (!fOldProc) return reinterpret_cast<LRESULT>(fFont.Handle());
      break;
    case WM_SETFONT:
      if (!fOldProc) return 0;
      break;
    case WM_SETCURSOR:
      if (fCursor && LOWORD(lp) == HTCLIENT) {
        ::SetCursor(fCursor);
        return TRUE;
      }
      break;
  }
  return DefaultHandler(msg, wp, lp);
}

LRESULT Control::CtlColor(UINT /*msg*/, HDC dc, LRESULT defaultBrush) {
  if (IsWindowEnabled(fHandle)) SetTextColor(dc, fFont.Color);
  return defaultBrush;
}

RECT Control::BoundsInParent() const {
  RECT r{};
  GetWindowRect(fHandle, &r);
  if (fParent) MapWindowPoints(HWND_DESKTOP, fParent->Handle(), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

void Control::SetBounds(int left, int top, int width, int height) {
  MoveWindow(fHandle, left, top, width, height, TRUE);
}
int Control::Left() const { return BoundsInParent().left; }
int Control::Top() const { return BoundsInParent().top; }
int Control::Width() const {
  const RECT r = BoundsInParent();
  return r.right - r.left;
}
int Control::Height() const {
  const RECT r = BoundsInParent();
  return r.bottom - r.top;
}

std::wstring Control::Text() const {
  const int length = GetWindowTextLengthW(fHandle);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int copied = GetWindowTextW(fHandle, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(copied, 0)));
  return text;
}

void Control::SetText(const std::wstring& text) { SetWindowTextW(fHandle, text.c_str()); }

bool Control::Enabled() const { return IsWindowEnabled(fHandle); }
void Control::SetEnabled(bool value) { EnableWindow(fHandle, value); }
bool Control::Visible() const { return (GetWindowLongW(fHandle, GWL_STYLE) & WS_VISIBLE) != 0; }
void Control::SetVisible(bool value) { ShowWindow(fHandle, value ? SW_SHOWNA : SW_HIDE); }
bool Control::TabStop() const { return (GetWindowLongW(fHandle, GWL_STYLE) & WS_TABSTOP) != 0; }
void Control::SetTabStop(bool value) {
  const LONG style = GetWindowLongW(fHandle, GWL_STYLE);
  SetWindowLongW(fHandle, GWL_STYLE, value ? (style | WS_TABSTOP) : (style & ~WS_TABSTOP));
}

namespace {
// The siblings that take part in the tab order: focusable controls and containers.
std::vector<Control*> TabSiblings(const WinControl& parent) {
  std::vector<Control*> list = parent.TabList();
  std::erase_if(list, [](Control* c) { return !c->CanFocus() && !dynamic_cast<WinControl*>(c); });
  return list;
}
}  // namespace

int Control::TabOrder() const {
  if (!fParent) return -1;
  const auto list = TabSiblings(*fParent);
  const auto it = std::find(list.begin(), list.end(), this);
  return it == list.end() ? -1 : static_cast<int>(it - list.begin());
}

void Control::SetTabOrder(int position) {
  if (!fParent) return;
  auto list = TabSiblings(*fParent);
  std::erase(list, this);
  position = std::clamp(position, 0, static_cast<int>(list.size()));
  HWND after = HWND_TOP;
  if (position > 0) {
    after = list[static_cast<std::size_t>(position - 1)]->Handle();
  } else if (!list.empty()) {
    after = GetWindow(list.front()->Handle(), GW_HWNDPREV);
    if (!after || after == fHandle) after = HWND_TOP;
  }
  SetWindowPos(fHandle, after, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Control::SendToBack() {
  SetWindowPos(fHandle, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

void Control::SetFont(const gui::Font& font) {
  fParentFont = false;
  ApplyFont(font);
}

void Control::SetParentFont(bool value) {
  fParentFont = value;
  if (value && fParent) ApplyFont(fParent->Font());
}

void Control::ApplyFont(const gui::Font& font) {
  fFont = font;
  SendMessageW(fHandle, WM_SETFONT, reinterpret_cast<WPARAM>(fFont.Handle()), TRUE);
  Invalidate();
}

bool Control::CanFocus() const { return true; }

void Control::SetFocus() {
  Form* form = OwnerForm();
  if (form && form != this && !IsWindowVisible(form->Handle())) {
    form->SetActiveControl(this);
    return;
  }
  ::SetFocus(fHandle);
}

bool Control::Focused() const { return fHandle && GetFocus() == fHandle; }

void Control::Invalidate() { InvalidateRect(fHandle, nullptr, TRUE); }

void Control::PaintParentBackground(HDC dc) {
  if (!fParent) return;
  const RECT r = BoundsInParent();
  const int saved = SaveDC(dc);
  OffsetViewportOrgEx(dc, -r.left, -r.top, nullptr);
  fParent->PaintBackground(dc);
  RestoreDC(dc, saved);
}

// ---------------------------------------------------------------- WinControl

WinControl::~WinControl() {
  // Owned children go first, newest first; children owned elsewhere lose
  // their windows now, since ours takes them along.
  while (!fOwned.empty()) fOwned.pop_back();
  for (Control* child : std::vector<Control*>(fChildren)) {
    child->Detach();
    child->fParent = nullptr;
  }
  fChildren.clear();
}

std::vector<Control*> WinControl::TabList() const {
  std::vector<Control*> list;
  for (HWND h = GetWindow(Handle(), GW_CHILD); h; h = GetWindow(h, GW_HWNDNEXT)) {
    Control* c = FromHandle(h);
    if (c && c->fParent == this) list.push_back(c);
  }
  return list;
}

void WinControl::CollectTabOrder(std::vector<Control*>& out) const {
  for (Control* c : TabList()) {
    out.push_back(c);
    if (auto* container = dynamic_cast<WinControl*>(c)) container->CollectTabOrder(out);
  }
}

void WinControl::ApplyFont(const gui::Font& font) {
  Control::ApplyFont(font);
  for (Control* child : fChildren)
    if (child->fParentFont) child->ApplyFont(font);
}

void WinControl::PaintBackground(HDC dc) {
  RECT r{};
  GetClientRect(Handle(), &r);
  FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
  PaintContent(dc);
}

LRESULT WinControl::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
      if (Control* c = FromHandle(reinterpret_cast<HWND>(lp)); c && c->fParent == this) {
        if (c->HandleCommand(HIWORD(wp))) return 0;
      }
      break;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lp);
      if (Control* c = FromHandle(header->hwndFrom); c && c->fParent == this) {
        LRESULT result = 0;
        if (c->HandleNotify(*header, result)) return result;
      }
      break;
    }
    case WM_VSCROLL:
    case WM_HSCROLL:
      if (Control* c = FromHandle(reinterpret_cast<HWND>(lp)); c && c->fParent == this) {
        if (c->HandleScroll(wp)) return 0;
      }
      break;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORLISTBOX: {
      const LRESULT brush = DefaultHandler(msg, wp, lp);
      if (Control* c = FromHandle(reinterpret_cast<HWND>(lp)); c && c->fParent == this)
        return c->CtlColor(msg, reinterpret_cast<HDC>(wp), brush);
      return brush;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(Handle(), &ps);
      PaintContent(dc);
      EndPaint(Handle(), &ps);
      return 0;
    }
  }
  return Control::WndProc(msg, wp, lp);
}

}  // namespace gui
