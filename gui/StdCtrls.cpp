#include "gui/StdCtrls.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>

#include "gui/Form.h"
#include "gui/Internal.h"
#include "rtl/Exceptions.h"

namespace gui {

namespace {

Control::CreateParams Params(const wchar_t* cls, DWORD style, DWORD ex, const std::wstring& text, int w,
                             int h, bool subclass, HBRUSH background = nullptr) {
  Control::CreateParams p;
  p.ClassName = cls;
  p.Style = style;
  p.ExStyle = ex;
  p.Text = text;
  p.Width = w;
  p.Height = h;
  p.Subclass = subclass;
  p.Background = background;
  return p;
}

// Owns a GDI object created for one drawing.
class GdiObject {
 public:
  explicit GdiObject(HGDIOBJ object) : fObject(object) {}
  ~GdiObject() {
    if (fObject) DeleteObject(fObject);
  }
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  HGDIOBJ get() const noexcept { return fObject; }

 private:
  HGDIOBJ fObject;
};

// BeginPaint/EndPaint as a scope.
class PaintScope {
 public:
  explicit PaintScope(HWND wnd) : fWnd(wnd) { fDc = BeginPaint(wnd, &fPs); }
  ~PaintScope() { EndPaint(fWnd, &fPs); }
  PaintScope(const PaintScope&) = delete;
  PaintScope& operator=(const PaintScope&) = delete;
  HDC dc() const noexcept { return fDc; }

 private:
  HWND fWnd;
  PAINTSTRUCT fPs{};
  HDC fDc;
};

// A carriage return alone breaks the line, as it does in the captions
// written for this library; DrawText is given CR LF to be sure of it.
std::wstring LineBreaks(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + 4);
  for (std::size_t i = 0; i < text.size(); ++i) {
    out += text[i];
    if (text[i] == L'\r' && (i + 1 == text.size() || text[i + 1] != L'\n')) out += L'\n';
  }
  return out;
}

std::wstring IndexError(int index) { return L"List index out of bounds (" + std::to_wstring(index) + L")"; }

}  // namespace

// ---------------------------------------------------------------- Label

Label::Label(WinControl& parent, std::wstring name, const std::wstring& text)
    : Control(&parent, std::move(name), Params(L"TavrixLabel", 0, 0, text, 65, 13, false)) {
  AdjustSize();
}

void Label::SetText(const std::wstring& text) {
  Control::SetText(text);
  AdjustSize();
  Invalidate();
}

void Label::SetBounds(int left, int top, int width, int height) {
  fDesigned = {width, height};
  Control::SetBounds(left, top, width, height);
  AdjustSize();
}

void Label::SetAutoSize(bool value) {
  fAutoSize = value;
  if (value)
    AdjustSize();
  else if (fDesigned.cx > 0 || fDesigned.cy > 0)
    SetWindowPos(Handle(), nullptr, 0, 0, fDesigned.cx, fDesigned.cy,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  Invalidate();
}

void Label::SetAlignment(gui::Alignment value) {
  fAlignment = value;
  Invalidate();
}

void Label::SetTransparent(bool value) {
  fTransparent = value;
  Invalidate();
}

void Label::ApplyFont(const gui::Font& font) {
  Control::ApplyFont(font);
  AdjustSize();
}

void Label::AdjustSize() {
  if (!fAutoSize) return;
  const std::wstring text = LineBreaks(Text());
  HDC dc = GetDC(Handle());
  HGDIOBJ old = SelectObject(dc, Font().Handle());
  RECT r{0, 0, 0, 0};
  DrawTextW(dc, text.empty() ? L" " : text.c_str(), -1, &r, DT_CALCRECT | DT_NOPREFIX);
  SelectObject(dc, old);
  ReleaseDC(Handle(), dc);
  SetWindowPos(Handle(), nullptr, 0, 0, text.empty() ? 0 : r.right, r.bottom,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void Label::Paint(HDC dc) {
  RECT r{};
  GetClientRect(Handle(), &r);
  if (fTransparent)
    PaintParentBackground(dc);
  else
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
  HGDIOBJ old = SelectObject(dc, Font().Handle());
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, IsWindowEnabled(Handle()) ? Font().Color : GetSysColor(COLOR_GRAYTEXT));
  UINT format = DT_NOPREFIX;
  if (fAlignment == gui::Alignment::Center) format |= DT_CENTER;
  if (fAlignment == gui::Alignment::Right) format |= DT_RIGHT;
  const std::wstring text = LineBreaks(Text());
  DrawTextW(dc, text.c_str(), -1, &r, format);
  SelectObject(dc, old);
}

LRESULT Label::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      const PaintScope paint(Handle());
      Paint(paint.dc());
      return 0;
    }
    case WM_ENABLE:
      Invalidate();
      break;
    case WM_LBUTTONDOWN:
      fPressed = true;
      SetCapture(Handle());
      return 0;
    case WM_LBUTTONUP:
      if (fPressed) {
        fPressed = false;
        ReleaseCapture();
        RECT r{};
        GetClientRect(Handle(), &r);
        const POINT p{GET_X_LPARAM(lp), GET_Y_LPARAM(lp)};
        if (PtInRect(&r, p)) FireEvent(*this, OnClick);
      }
      return 0;
    case WM_CAPTURECHANGED:
      fPressed = false;
      break;
  }
  return Control::WndProc(msg, wp, lp);
}

// ---------------------------------------------------------------- Edit

Edit::Edit(WinControl& parent, std::wstring name)
    : Control(&parent, std::move(name),
              Params(L"EDIT", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, L"", 121, 21, true)) {}

bool Edit::ReadOnly() const { return (GetWindowLongW(Handle(), GWL_STYLE) & ES_READONLY) != 0; }
void Edit::SetReadOnly(bool value) { SendMessageW(Handle(), EM_SETREADONLY, value, 0); }

void Edit::SetMaxLength(int value) {
  fMaxLength = std::max(value, 0);
  SendMessageW(Handle(), EM_SETLIMITTEXT, static_cast<WPARAM>(fMaxLength), 0);
}

void Edit::SelectAll() { SendMessageW(Handle(), EM_SETSEL, 0, -1); }

bool Edit::HandleCommand(WORD code) {
  if (code != EN_CHANGE) return false;
  FireEvent(*this, OnChange);
  return true;
}

void Edit::DoKeyDown(WORD& key, ShiftState shift) { FireEvent(*this, OnKeyDown, key, shift); }

LRESULT Edit::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_KEYDOWN:
      if (detail::tKeyDownDone == this) {
        detail::tKeyDownDone = nullptr;  // the message loop ran OnKeyDown already
      } else {
        WORD key = static_cast<WORD>(wp);
        DoKeyDown(key, CurrentShiftState());
        if (!key) return 0;
        wp = key;
      }
      break;
    case WM_CHAR: {
      wchar_t ch = static_cast<wchar_t>(wp);
      FireEvent(*this, OnKeyPress, ch);
      if (!ch) return 0;
      wp = ch;
      break;
    }
  }
  return Control::WndProc(msg, wp, lp);
}

// ---------------------------------------------------------------- ComboBox

ComboBox::ComboBox(WinControl& parent, std::wstring name)
    : Control(&parent, std::move(name),
              Params(L"COMBOBOX", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 0, L"", 145, 160, true)) {}

void ComboBox::SetBounds(int left, int top, int width, int height) {
  const auto item = static_cast<int>(SendMessageW(Handle(), CB_GETITEMHEIGHT, 0, 0));
  Control::SetBounds(left, top, width, std::max(height, 0) + std::max(item, 13) * fDropDownCount + 2);
}

void ComboBox::SetDropDownCount(int count) { fDropDownCount = std::max(count, 1); }

int ComboBox::AddItem(const std::wstring& text, std::intptr_t value) {
  const auto index =
      static_cast<int>(SendMessageW(Handle(), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
  if (index < 0) throw rtl::Exception(L"Cannot add the item " + text + L" to " + Name());
  SendMessageW(Handle(), CB_SETITEMDATA, static_cast<WPARAM>(index), static_cast<LPARAM>(value));
  return index;
}

void ComboBox::Clear() { SendMessageW(Handle(), CB_RESETCONTENT, 0, 0); }
int ComboBox::Count() const { return static_cast<int>(SendMessageW(Handle(), CB_GETCOUNT, 0, 0)); }

void ComboBox::CheckIndex(int index) const {
  if (index < 0 || index >= Count()) throw rtl::Exception(IndexError(index));
}

std::wstring ComboBox::ItemText(int index) const {
  CheckIndex(index);
  const auto length = SendMessageW(Handle(), CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
  std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
  const auto copied =
      SendMessageW(Handle(), CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(std::max<LRESULT>(copied, 0)));
  return text;
}

std::intptr_t ComboBox::ItemValue(int index) const {
  CheckIndex(index);
  return static_cast<std::intptr_t>(SendMessageW(Handle(), CB_GETITEMDATA, static_cast<WPARAM>(index), 0));
}

int ComboBox::ItemIndex() const { return static_cast<int>(SendMessageW(Handle(), CB_GETCURSEL, 0, 0)); }

void ComboBox::SetItemIndex(int index) {
  // An index out of range clears the selection, as -1 does.
  SendMessageW(Handle(), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int ComboBox::IndexOfValue(std::intptr_t value) const {
  const int count = Count();
  for (int i = 0; i < count; ++i)
    if (static_cast<std::intptr_t>(SendMessageW(Handle(), CB_GETITEMDATA, static_cast<WPARAM>(i), 0)) ==
        value)
      return i;
  return -1;
}

void ComboBox::BeginUpdate() {
  if (fUpdateCount++ == 0) SendMessageW(Handle(), WM_SETREDRAW, FALSE, 0);
}

void ComboBox::EndUpdate() {
  if (fUpdateCount == 0) return;
  if (--fUpdateCount == 0) {
    SendMessageW(Handle(), WM_SETREDRAW, TRUE, 0);
    Invalidate();
  }
}

void ComboBox::SetDroppedWidth(int pixels) {
  SendMessageW(Handle(), CB_SETDROPPEDWIDTH, static_cast<WPARAM>(pixels), 0);
}
int ComboBox::DroppedWidth() const {
  return static_cast<int>(SendMessageW(Handle(), CB_GETDROPPEDWIDTH, 0, 0));
}
bool ComboBox::DroppedDown() const { return SendMessageW(Handle(), CB_GETDROPPEDSTATE, 0, 0) != 0; }

bool ComboBox::HandleCommand(WORD code) {
  if (code != CBN_SELCHANGE) return false;
  FireEvent(*this, OnChange);
  return true;
}

// ---------------------------------------------------------------- CheckBox

CheckBox::CheckBox(WinControl& parent, std::wstring name, const std::wstring& text)
    : Control(&parent, std::move(name), Params(L"BUTTON", WS_TABSTOP | BS_CHECKBOX, 0, text, 97, 17, true)) {}

bool CheckBox::Checked() const { return SendMessageW(Handle(), BM_GETCHECK, 0, 0) == BST_CHECKED; }

void CheckBox::SetChecked(bool value) {
  if (value == Checked()) return;
  SendMessageW(Handle(), BM_SETCHECK, value ? BST_CHECKED : BST_UNCHECKED, 0);
  // Called straight, not through FireEvent: an exception of the handler goes
  // to whoever set the state (the code that wrote the property, or the
  // click below), not to the application.
  if (OnClick) OnClick(*this);
}

bool CheckBox::HandleCommand(WORD code) {
  if (code != BN_CLICKED) return false;
  // The box is not an automatic one: the state changes here, and through
  // SetChecked, so a click and a change from code behave alike. What escapes
  // the operator's click leaves a window message: the application's turn.
  rtl::Guarded([&] { SetChecked(!Checked()); }, [&] { HandleEventException(*this); });
  return true;
}

// ---------------------------------------------------------------- Button

Button::Button(WinControl& parent, std::wstring name, const std::wstring& text)
    : Control(&parent, std::move(name),
              Params(L"BUTTON", WS_TABSTOP | BS_PUSHBUTTON, 0, text, 75, 25, true)) {}

void Button::SetDefault(bool value) {
  fDefault = value;
  SendMessageW(Handle(), BM_SETSTYLE, value ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
}

void Button::Click() {
  if (fModalResult != 0)
    if (Form* form = OwnerForm()) form->SetModalResult(fModalResult);
  FireEvent(*this, OnClick);
}

bool Button::HandleCommand(WORD code) {
  if (code != BN_CLICKED) return false;
  Click();
  return true;
}

// ---------------------------------------------------------------- ListBox

ListBox::ListBox(WinControl& parent, std::wstring name)
    : Control(&parent, std::move(name),
              Params(L"LISTBOX", WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                     WS_EX_CLIENTEDGE, L"", 121, 97, true)) {}

int ListBox::AddItem(const std::wstring& text) {
  const auto index =
      static_cast<int>(SendMessageW(Handle(), LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
  if (index < 0) throw rtl::Exception(L"Cannot add the item " + text + L" to " + Name());
  return index;
}

void ListBox::Clear() { SendMessageW(Handle(), LB_RESETCONTENT, 0, 0); }
int ListBox::Count() const { return static_cast<int>(SendMessageW(Handle(), LB_GETCOUNT, 0, 0)); }

std::wstring ListBox::Item(int index) const {
  if (index < 0 || index >= Count()) throw rtl::Exception(IndexError(index));
  const auto length = SendMessageW(Handle(), LB_GETTEXTLEN, static_cast<WPARAM>(index), 0);
  std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
  const auto copied =
      SendMessageW(Handle(), LB_GETTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
  text.resize(static_cast<std::size_t>(std::max<LRESULT>(copied, 0)));
  return text;
}

int ListBox::ItemIndex() const { return static_cast<int>(SendMessageW(Handle(), LB_GETCURSEL, 0, 0)); }
void ListBox::SetItemIndex(int index) { SendMessageW(Handle(), LB_SETCURSEL, static_cast<WPARAM>(index), 0); }
void ListBox::SetItemHeight(int pixels) {
  SendMessageW(Handle(), LB_SETITEMHEIGHT, 0, MAKELPARAM(pixels, 0));
}
int ListBox::ItemHeight() const { return static_cast<int>(SendMessageW(Handle(), LB_GETITEMHEIGHT, 0, 0)); }

bool ListBox::HandleCommand(WORD code) {
  if (code != LBN_SELCHANGE) return false;
  FireEvent(*this, OnClick);
  return true;
}

// ---------------------------------------------------------------- UpDown

namespace {
Control::CreateParams UpDownParams() {
  static const bool initialized = [] {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_UPDOWN_CLASS};
    return InitCommonControlsEx(&icc) != FALSE;
  }();
  (void)initialized;
  return Params(UPDOWN_CLASSW, 0, 0, L"", 16, 24, true);
}
}  // namespace

UpDown::UpDown(WinControl& parent, std::wstring name) : Control(&parent, std::move(name), UpDownParams()) {
  SetTabStop(false);
  ApplyRange();
}

void UpDown::ApplyRange() {
  fPosition = std::clamp(fPosition, std::min(fMin, fMax), std::max(fMin, fMax));
  SendMessageW(Handle(), UDM_SETRANGE32, static_cast<WPARAM>(fMin), static_cast<LPARAM>(fMax));
  SendMessageW(Handle(), UDM_SETPOS32, 0, static_cast<LPARAM>(fPosition));
}

void UpDown::SetMin(std::int16_t value) {
  fMin = value;
  ApplyRange();
}

void UpDown::SetMax(std::int16_t value) {
  fMax = value;
  ApplyRange();
}

void UpDown::SetPosition(std::int16_t value) {
  fPosition = value;
  ApplyRange();
}

bool UpDown::HandleScroll(WPARAM wp) {
  // The control reports every step of a click as SB_THUMBPOSITION after it
  // moved; a click at a limit moves nothing and is not a click here.
  if (LOWORD(wp) != SB_THUMBPOSITION) return true;
  const auto now = static_cast<std::int16_t>(HIWORD(wp));
  if (now == fPosition) return true;
  const UDBtnType button = now > fPosition ? UDBtnType::btNext : UDBtnType::btPrev;
  fPosition = now;
  FireEvent(*this, OnClick, button);
  return true;
}

// ---------------------------------------------------------------- Panel

Panel::Panel(WinControl& parent, std::wstring name)
    : WinControl(
          &parent, std::move(name),
          Params(L"TavrixPanel", WS_CLIPCHILDREN, 0, L"", 185, 41, false, GetSysColorBrush(COLOR_BTNFACE))) {}

void Panel::PaintContent(HDC dc) {
  RECT r{};
  GetClientRect(Handle(), &r);
  DrawEdge(dc, &r, BDR_RAISEDINNER, BF_RECT);
}

// ---------------------------------------------------------------- Bevel

Bevel::Bevel(WinControl& parent, std::wstring name)
    : Control(&parent, std::move(name), Params(L"TavrixBevel", 0, 0, L"", 50, 50, false)) {
  SendToBack();
}

void Bevel::SetShape(BevelShape shape) {
  fShape = shape;
  Invalidate();
}

void Bevel::SetStyle(BevelStyle style) {
  fStyle = style;
  Invalidate();
}

LRESULT Bevel::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      const PaintScope paint(Handle());
      PaintParentBackground(paint.dc());
      RECT r{};
      GetClientRect(Handle(), &r);
      const bool box = fShape == BevelShape::Box;
      const bool lowered = fStyle == BevelStyle::Lowered;
      const UINT edge =
          box ? (lowered ? BDR_SUNKENOUTER : BDR_RAISEDINNER) : (lowered ? EDGE_ETCHED : EDGE_BUMP);
      UINT sides = BF_RECT;
      if (fShape == BevelShape::LeftLine) sides = BF_LEFT;
      if (fShape == BevelShape::RightLine) sides = BF_RIGHT;
      if (fShape == BevelShape::TopLine) sides = BF_TOP;
      if (fShape == BevelShape::BottomLine) sides = BF_BOTTOM;
      DrawEdge(paint.dc(), &r, edge, sides);
      return 0;
    }
  }
  return Control::WndProc(msg, wp, lp);
}

// ---------------------------------------------------------------- Shape

Shape::Shape(WinControl& parent, std::wstring name)
    : Control(&parent, std::move(name), Params(L"TavrixShape", 0, 0, L"", 65, 65, false)) {
  SendToBack();
}

void Shape::SetPenColor(COLORREF color) {
  fPen = color;
  Invalidate();
}

void Shape::SetBrushColor(COLORREF color) {
  fBrush = color;
  Invalidate();
}

LRESULT Shape::WndProc(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_NCHITTEST:
      return HTTRANSPARENT;
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      const PaintScope paint(Handle());
      RECT r{};
      GetClientRect(Handle(), &r);
      const GdiObject brush(CreateSolidBrush(fBrush));
      const GdiObject pen(CreateSolidBrush(fPen));
      FillRect(paint.dc(), &r, static_cast<HBRUSH>(brush.get()));
      FrameRect(paint.dc(), &r, static_cast<HBRUSH>(pen.get()));
      return 0;
    }
  }
  return Control::WndProc(msg, wp, lp);
}

// ---------------------------------------------------------------- Timer

Timer::Timer() {
  detail::EnsureWindowClass(L"TavrixTimer", &Timer::WndProc, nullptr, 0);
  fWindow = CreateWindowExW(0, L"TavrixTimer", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            GetModuleHandleW(nullptr), this);
  if (!fWindow) throw rtl::EOSError(L"Cannot create the timer's window", GetLastError());
  Update();
}

Timer::~Timer() {
  KillTimer(fWindow, 1);
  SetWindowLongPtrW(fWindow, GWLP_USERDATA, 0);
  DestroyWindow(fWindow);
}

void Timer::SetInterval(unsigned ms) {
  fInterval = ms;
  Update();
}

void Timer::SetEnabled(bool value) {
  fEnabled = value;
  Update();
}

void Timer::Update() {
  KillTimer(fWindow, 1);
  if (fEnabled && fInterval > 0) SetTimer(fWindow, 1, fInterval, nullptr);
}

LRESULT CALLBACK Timer::WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE)
    SetWindowLongPtrW(wnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams));
  if (msg == WM_TIMER) {
    if (auto* self = reinterpret_cast<Timer*>(GetWindowLongPtrW(wnd, GWLP_USERDATA));
        self && self->fEnabled) {
      FireEvent(*self, self->OnTimer);
      return 0;
    }
  }
  return DefWindowProcW(wnd, msg, wp, lp);
}

}  // namespace gui
