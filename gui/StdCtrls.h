// Standard controls: labels, edits, drop-down lists, check boxes, buttons,
// list boxes, up-downs, panels, bevels, rules and timers.
#pragma once

#include <cstdint>

#include "gui/Control.h"

namespace gui {

enum class Alignment { Left, Center, Right };

// Static text drawn by the control itself: a carriage return breaks the line;
// by default it sizes itself to its text.
class Label : public Control {
 public:
  Label(WinControl& parent, std::wstring name, const std::wstring& text = L"");

  void SetText(const std::wstring& text) override;
  void SetBounds(int left, int top, int width, int height) override;
  bool AutoSize() const noexcept { return fAutoSize; }
  // Turning auto-size off gives the label back the size SetBounds asked for.
  void SetAutoSize(bool value);
  gui::Alignment Alignment() const noexcept { return fAlignment; }
  void SetAlignment(gui::Alignment value);
  bool Transparent() const noexcept { return fTransparent; }
  void SetTransparent(bool value);
  bool CanFocus() const override { return false; }

  NotifyEvent OnClick;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
  void ApplyFont(const gui::Font& font) override;

 private:
  void AdjustSize();
  void Paint(HDC dc);
  bool fAutoSize = true;
  gui::Alignment fAlignment = gui::Alignment::Left;
  bool fTransparent = false;
  bool fPressed = false;
  SIZE fDesigned{0, 0};
};

class Edit : public Control {
 public:
  Edit(WinControl& parent, std::wstring name);

  bool ReadOnly() const;
  void SetReadOnly(bool value);
  int MaxLength() const noexcept { return fMaxLength; }
  // Limits what the operator types (0: no limit); text set from code is kept whole.
  void SetMaxLength(int value);
  void SelectAll();

  NotifyEvent OnChange;
  KeyEvent OnKeyDown;
  KeyPressEvent OnKeyPress;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
  bool HandleCommand(WORD code) override;
  void DoKeyDown(WORD& key, ShiftState shift) override;

 private:
  int fMaxLength = 0;
};

// Drop-down list, selection only; each item carries an integer.
class ComboBox : public Control {
 public:
  ComboBox(WinControl& parent, std::wstring name);

  // The height is that of the closed list; the window's own height covers the
  // dropped-down part (DropDownCount items).
  void SetBounds(int left, int top, int width, int height) override;
  int AddItem(const std::wstring& text, std::intptr_t value = 0);
  void Clear();
  int Count() const;
  std::wstring ItemText(int index) const;
  std::intptr_t ItemValue(int index) const;
  int ItemIndex() const;
  // Selects from code (-1: none); OnChange does not fire.
  void SetItemIndex(int index);
  // First item carrying value, or -1.
  int IndexOfValue(std::intptr_t value) const;
  void BeginUpdate();
  void EndUpdate();
  void SetDroppedWidth(int pixels);
  int DroppedWidth() const;
  bool DroppedDown() const;
  int DropDownCount() const noexcept { return fDropDownCount; }
  void SetDropDownCount(int count);

  // The operator's choice.
  NotifyEvent OnChange;

 protected:
  bool HandleCommand(WORD code) override;

 private:
  void CheckIndex(int index) const;
  int fUpdateCount = 0;
  int fDropDownCount = 8;
};

class CheckBox : public Control {
 public:
  CheckBox(WinControl& parent, std::wstring name, const std::wstring& text = L"");

  bool Checked() const;
  // A change of state fires OnClick, whether the operator or the code made it.
  // An exception of the handler goes on to the caller here; one raised by
  // the operator's click goes to the application's exception handling.
  void SetChecked(bool value);

  NotifyEvent OnClick;

 protected:
  bool HandleCommand(WORD code) override;
  bool ArrowsMoveFocus() const override { return true; }
};

class Button : public Control {
 public:
  Button(WinControl& parent, std::wstring name, const std::wstring& text = L"");

  // Enter anywhere in the form presses the default button.
  bool Default() const noexcept { return fDefault; }
  void SetDefault(bool value);
  // Escape anywhere in the form presses the cancel button.
  bool Cancel() const noexcept { return fCancel; }
  void SetCancel(bool value) noexcept { fCancel = value; }
  // Set on the form when the button is pressed (ends a modal showing).
  int ModalResult() const noexcept { return fModalResult; }
  void SetModalResult(int value) noexcept { fModalResult = value; }

  // Presses the button: the form's modal result, then OnClick.
  void Click();

  NotifyEvent OnClick;

 protected:
  bool HandleCommand(WORD code) override;
  bool ArrowsMoveFocus() const override { return true; }

 private:
  bool fDefault = false;
  bool fCancel = false;
  int fModalResult = 0;
};

class ListBox : public Control {
 public:
  ListBox(WinControl& parent, std::wstring name);

  int AddItem(const std::wstring& text);
  void Clear();
  int Count() const;
  std::wstring Item(int index) const;
  int ItemIndex() const;
  void SetItemIndex(int index);
  void SetItemHeight(int pixels);
  int ItemHeight() const;

  NotifyEvent OnClick;

 protected:
  bool HandleCommand(WORD code) override;
};

enum class UDBtnType { btNext, btPrev };

// Vertical pair of arrows stepping a signed 16-bit position by one, within
// Min and Max, without wrapping; not attached to any other control.
class UpDown : public Control {
 public:
  UpDown(WinControl& parent, std::wstring name);

  std::int16_t Min() const noexcept { return fMin; }
  std::int16_t Max() const noexcept { return fMax; }
  void SetMin(std::int16_t value);
  void SetMax(std::int16_t value);
  std::int16_t Position() const noexcept { return fPosition; }
  // Moves the arrows' position from code (clamped to the range); fires nothing.
  void SetPosition(std::int16_t value);

  // After an operator's click has moved the position.
  std::function<void(rtl::Object& Sender, UDBtnType Button)> OnClick;

 protected:
  bool HandleScroll(WPARAM wp) override;
  bool ArrowsMoveFocus() const override { return true; }

 private:
  void ApplyRange();
  std::int16_t fMin = 0;
  std::int16_t fMax = 100;
  std::int16_t fPosition = 0;
};

// A container with a raised bevel; its children sit in its client area.
class Panel : public WinControl {
 public:
  Panel(WinControl& parent, std::wstring name);
  bool CanFocus() const override { return false; }

 protected:
  void PaintContent(HDC dc) override;
};

enum class BevelShape { Box, Frame, TopLine, BottomLine, LeftLine, RightLine };
enum class BevelStyle { Lowered, Raised };

// A 3D frame or line drawn behind the other controls; mouse clicks go through.
class Bevel : public Control {
 public:
  Bevel(WinControl& parent, std::wstring name);
  void SetShape(BevelShape shape);
  void SetStyle(BevelStyle style);
  BevelShape Shape() const noexcept { return fShape; }
  BevelStyle Style() const noexcept { return fStyle; }
  bool CanFocus() const override { return false; }

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  BevelShape fShape = BevelShape::Box;
  BevelStyle fStyle = BevelStyle::Lowered;
};

// A filled rectangle with a 1-pixel outline; 1 pixel high it is a rule.
class Shape : public Control {
 public:
  Shape(WinControl& parent, std::wstring name);
  void SetPenColor(COLORREF color);
  void SetBrushColor(COLORREF color);
  COLORREF PenColor() const noexcept { return fPen; }
  bool CanFocus() const override { return false; }

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;

 private:
  COLORREF fPen = RGB(0, 0, 0);
  COLORREF fBrush = RGB(255, 255, 255);
};

// Calls OnTimer every Interval milliseconds while enabled, on the thread
// that created it (through that thread's message loop).
class Timer : public rtl::Object {
 public:
  Timer();
  ~Timer() override;
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  unsigned Interval() const noexcept { return fInterval; }
  void SetInterval(unsigned ms);
  bool Enabled() const noexcept { return fEnabled; }
  void SetEnabled(bool value);

  NotifyEvent OnTimer;

 private:
  static LRESULT CALLBACK WndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  void Update();
  HWND fWindow = nullptr;
  unsigned fInterval = 1000;
  bool fEnabled = true;
};

}  // namespace gui
