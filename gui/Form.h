// A top-level window holding controls: caption, border, client size,
// position, font for its controls, focus and keyboard handling (Tab, Enter,
// Escape, arrows), modeless and modal showing.
#pragma once

#include "gui/Control.h"

namespace gui {

inline constexpr int mrNone = 0;
inline constexpr int mrOk = IDOK;
inline constexpr int mrCancel = IDCANCEL;
inline constexpr int mrAbort = IDABORT;
inline constexpr int mrRetry = IDRETRY;
inline constexpr int mrIgnore = IDIGNORE;
inline constexpr int mrYes = IDYES;
inline constexpr int mrNo = IDNO;

enum class BorderStyle { Single, Dialog, Sizeable };
struct BorderIcons {
  bool SystemMenu = true;
  bool Minimize = true;
  bool Maximize = true;
};
enum class Position { Designed, ScreenCenter };
enum class CloseAction { None, Hide };

class Button;

class Form : public WinControl {
 public:
  explicit Form(std::wstring name);
  ~Form() override;

  void SetCaption(const std::wstring& caption) { SetText(caption); }
  std::wstring Caption() const { return Text(); }
  void SetClientSize(int width, int height);
  int ClientWidth() const;
  int ClientHeight() const;

  gui::BorderStyle BorderStyle() const noexcept { return fBorderStyle; }
  void SetBorderStyle(gui::BorderStyle style);
  gui::BorderIcons BorderIcons() const noexcept { return fBorderIcons; }
  void SetBorderIcons(gui::BorderIcons icons);
  gui::Position Position() const noexcept { return fPosition; }
  void SetPosition(gui::Position position) noexcept { fPosition = position; }

  // Changes the form's font and that of every control that follows it.
  void SetFont(const gui::Font& font) override;

  // The focused control, or the one to be focused when the form is shown.
  Control* ActiveControl() const noexcept;
  void SetActiveControl(Control* control);
  // Moves the focus to the next (or previous) control in tab order.
  void SelectNext(bool forward);

  bool KeyPreview() const noexcept { return fKeyPreview; }
  void SetKeyPreview(bool value) noexcept { fKeyPreview = value; }

  void Show();
  void Hide();
  void SetVisible(bool value) override { value ? Show() : Hide(); }
  // Asks the form to close: OnClose decides; the main form ends the
  // application, a modal form ends its loop with mrCancel, others hide.
  void Close();
  // Shows the form modally: the application's other windows are disabled
  // until ModalResult becomes non-zero or the form is closed (mrCancel).
  // The owner (main form by default) is set when the form has none yet.
  int ShowModal(HWND owner = nullptr);
  int ModalResult() const noexcept { return fModalResult; }
  void SetModalResult(int result) noexcept { fModalResult = result; }
  bool Modal() const noexcept { return fModal; }

  // The button that Enter (Escape) presses, if any is enabled and visible.
  Button* DefaultButton() const;
  Button* CancelButton() const;

  // The smallest client area the operator can size the form to (0: no limit).
  void SetMinClientSize(int width, int height) noexcept { fMinClient = {width, height}; }

  // Appends an item to the form's window menu (the system menu), with a
  // separator before it when asked. Id: a multiple of 16 below 0xF000, as
  // the system keeps the low four bits and the range above for itself.
  // Choosing the item fires OnSystemCommand with the id.
  void AddSystemMenuItem(UINT id, const std::wstring& text, bool separatorBefore = false);

  std::function<void(rtl::Object& Sender, WORD& Key, ShiftState Shift)> OnKeyDown;
  std::function<void(Form& Sender, HDC Canvas)> OnPaint;
  std::function<void(rtl::Object& Sender, CloseAction& Action)> OnClose;
  NotifyEvent OnShow;
  // After the client area changed its size.
  NotifyEvent OnResize;
  std::function<void(rtl::Object& Sender, UINT Id)> OnSystemCommand;

  void PaintBackground(HDC dc) override;

 protected:
  LRESULT WndProc(UINT msg, WPARAM wp, LPARAM lp) override;
  void PaintContent(HDC dc) override;
  void DoKeyDown(WORD& key, ShiftState shift) override;

 private:
  friend class Control;
  friend class Application;
  // Focus bookkeeping: called when a control of this form receives the focus.
  void FocusChanged(Control& control);
  void ForgetControl(const Control& control) noexcept;
  // Tab, Enter, Escape and arrows; true when the key was used.
  bool DialogKey(Control& focused, WORD key, ShiftState shift);
  void ApplyBorder();
  void FocusFirst();
  bool CloseModal();

  gui::BorderStyle fBorderStyle = gui::BorderStyle::Sizeable;
  gui::BorderIcons fBorderIcons;
  gui::Position fPosition = gui::Position::Designed;
  Control* fFocused = nullptr;
  Control* fActiveControl = nullptr;
  bool fKeyPreview = false;
  bool fModal = false;
  bool fShown = false;
  int fModalResult = mrNone;
  SIZE fMinClient{0, 0};
  std::vector<UINT> fSystemItems;
};

}  // namespace gui
