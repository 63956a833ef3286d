// The base of every visible control. A control owns its window from its
// construction to its destruction; a container (WinControl) keeps track of
// its children, passes the notifications Windows sends to a parent back to
// the child they concern, and hands its font on to the children that follow
// it (ParentFont).
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gui/Font.h"
#include "rtl/Guarded.h"
#include "rtl/Object.h"

namespace gui {

class WinControl;
class Form;

struct ShiftState {
  bool Shift = false;
  bool Alt = false;
  bool Ctrl = false;
};
// The modifier keys as they stood when the current message was posted.
ShiftState CurrentShiftState();

using NotifyEvent = std::function<void(rtl::Object& Sender)>;
using KeyEvent = std::function<void(rtl::Object& Sender, WORD& Key, ShiftState Shift)>;
using KeyPressEvent = std::function<void(rtl::Object& Sender, wchar_t& Key)>;

// Hands the exception being handled to the application (call inside a catch).
void HandleEventException(rtl::Object& sender);

// Calls an event handler that a window message fires, if one is assigned.
// Nothing escapes: an exception goes to the application's exception handling
// and the caller goes on. (A handler that a property write fires, such as
// CheckBox::SetChecked's, is called straight, so its exception reaches the
// writer.)
template <class Handler, class... Args>
void FireEvent(rtl::Object& sender, const Handler& handler, Args&&... args) {
  if (!handler) return;
  rtl::Guarded([&] { handler(sender, std::forward<Args>(args)...); }, [&] { HandleEventException(sender); });
}

// The window property that names a control for tests in another process: a
// global atom whose name is the control's Name.
inline constexpr wchar_t kNameProperty[] = L"TavrixName";

class Control : public rtl::Object {
 public:
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;
  ~Control() override;

  HWND Handle() const noexcept { return fHandle; }
  const std::wstring& Name() const noexcept { return fName; }
  WinControl* Parent() const noexcept { return fParent; }
  // The form this control sits on (the form itself for a form).
  Form* OwnerForm() noexcept;
  // The control whose window this is, or null.
  static Control* FromHandle(HWND wnd) noexcept;

  // Position in pixels within the parent's client area (screen for a form).
  virtual void SetBounds(int left, int top, int width, int height);
  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;

  std::wstring Text() const;
  virtual void SetText(const std::wstring& text);

  bool Enabled() const;
  void SetEnabled(bool value);
  bool Visible() const;
  virtual void SetVisible(bool value);
  bool TabStop() const;
  void SetTabStop(bool value);
  // Position among the siblings that can take part in the tab order.
  int TabOrder() const;
  void SetTabOrder(int position);

  const gui::Font& Font() const noexcept { return fFont; }
  // Gives this control a font of its own (ParentFont becomes false).
  virtual void SetFont(const gui::Font& font);
  bool ParentFont() const noexcept { return fParentFont; }
  void SetParentFont(bool value);

  // Mouse cursor over the control; null is the class's own.
  void SetCursor(HCURSOR cursor) noexcept { fCursor = cursor; }
  HCURSOR Cursor() const noexcept { return fCursor; }

  virtual bool CanFocus() const;
  void SetFocus();
  bool Focused() const;
  void Invalidate();

  NotifyEvent OnEnter;
  NotifyEvent OnExit;

  // How a control's window is made (for classes derived from Control).
  struct CreateParams {
    const wchar_t* ClassName = nullptr;  // a system class is subclassed, a Tavrix class is our own
    DWORD Style = 0;                     // WS_CHILD and WS_VISIBLE are added for children
    DWORD ExStyle = 0;
    std::wstring Text;
    int Width = 0;
    int Height = 0;
    bool Subclass = false;        // true for system classes (EDIT, BUTTON, ...)
    HBRUSH Background = nullptr;  // own classes: the class background brush
    UINT ClassStyle = 0;          // own classes: CS_* flags
  };

 protected:
  // A null parent makes a top-level window.
  Control(WinControl* parent, std::wstring name, const CreateParams& params);

  virtual LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT DefaultHandler(UINT msg, WPARAM wp, LPARAM lp);

  // Notifications the parent received for this control.
  virtual bool HandleCommand(WORD /*code*/) { return false; }
  virtual bool HandleNotify(NMHDR& /*header*/, LRESULT& /*result*/) { return false; }
  virtual bool HandleScroll(WPARAM /*wp*/) { return false; }
  // WM_CTLCOLOR*: the brush for the control's background.
  virtual LRESULT CtlColor(UINT msg, HDC dc, LRESULT defaultBrush);

  // Key events: the message loop calls DoKeyDown before a key message is
  // dispatched, so the focused control sees the key first.
  virtual void DoKeyDown(WORD& /*key*/, ShiftState /*shift*/) {}
  // True for controls that move the focus with the arrow keys (buttons).
  virtual bool ArrowsMoveFocus() const { return false; }

  // Applies a font taken from the parent or given to the control.
  virtual void ApplyFont(const gui::Font& font);
  // Fills dc (in this control's client coordinates) with what the parent
  // shows behind this control: its background and its own drawing.
  void PaintParentBackground(HDC dc);
  // Keeps lines and frames behind every other sibling.
  void SendToBack();

  bool fParentFont = true;

 private:
  friend class WinControl;
  friend class Form;
  friend class Application;
  static LRESULT CALLBACK StaticWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  static LRESULT CALLBACK SubclassWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Dispatch(UINT msg, WPARAM wp, LPARAM lp);
  void Detach() noexcept;
  RECT BoundsInParent() const;

  HWND fHandle = nullptr;
  WNDPROC fOldProc = nullptr;
  WinControl* fParent = nullptr;
  std::wstring fName;
  ATOM fNameAtom = 0;
  gui::Font fFont;
  HCURSOR fCursor = nullptr;
};

// A control that holds other controls.
class WinControl : public Control {
 public:
  ~WinControl() override;

  // Creates a child owned by this container: Add<Button>(L"btnOk").
  template <class T, class... Args>
  T& Add(std::wstring name, Args&&... args) {
    auto child = std::make_unique<T>(*this, std::move(name), std::forward<Args>(args)...);
    T& ref = *child;
    fOwned.push_back(std::move(child));
    return ref;
  }
  // Children in creation order.
  const std::vector<Control*>& Controls() const noexcept { return fChildren; }
  // Children in tab order (the z-order of their windows).
  std::vector<Control*> TabList() const;
  // Every control below this one, depth first in tab order.
  void CollectTabOrder(std::vector<Control*>& out) const;

  // Draws this container's background and own drawing into dc (in client
  // coordinates); transparent children draw it beneath themselves.
  virtual void PaintBackground(HDC dc);

 protected:
  using Control::Control;
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
  void ApplyFont(const gui::Font& font) override;
  // Drawing of its own on top of the background (a form's OnPaint, a bevel).
  virtual void PaintContent(HDC /*dc*/) {}

 private:
  friend class Control;
  std::vector<Control*> fChildren;
  std::vector<std::unique_ptr<Control>> fOwned;
};

}  // namespace gui
