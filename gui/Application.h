// The application object: one per process. It initialises OLE and the common
// controls, runs the message loop with the forms' keyboard handling, and is
// the end of the line for exceptions that escape event handlers.
#pragma once

#include <windows.h>

#include <exception>
#include <functional>
#include <string>

#include "rtl/Object.h"

namespace gui {

class Form;

class Application : public rtl::Object {
 public:
  static Application& Instance();

  // OleInitialize and the common controls; call once before creating forms.
  void Initialize();

  const std::wstring& Title() const noexcept { return fTitle; }
  void SetTitle(std::wstring title) { fTitle = std::move(title); }

  void SetMainForm(Form& form) noexcept { fMainForm = &form; }
  Form* MainForm() const noexcept { return fMainForm; }

  // Shows the main form and runs the message loop until it closes.
  void Run();
  // Ends the application: Terminated() is true from now on, and the message
  // loop ends at its next message.
  void Terminate();
  bool Terminated() const noexcept { return fTerminated; }
  // Handles every message waiting in the queue and returns.
  void ProcessMessages();
  // Waits for one message and handles it; false when the loop must end
  // (WM_QUIT, which is posted again for the enclosing loop).
  bool HandleMessage();

  std::function<void(rtl::Object* Sender, const std::exception& E)> OnException;
  // Called inside a catch block with the exception in flight: OnException
  // when assigned, the standard message box otherwise. EAbort is silent.
  void HandleException(rtl::Object* Sender);
  void ShowException(const std::exception& E);
  // A message box owned by the active form, captioned with the title when
  // caption is empty.
  int MessageBox(const std::wstring& text, const std::wstring& caption, UINT flags);

  // The window that owns message boxes: the active form of this thread, or the main form.
  HWND ActiveWindow() const;

 private:
  Application();
  ~Application() override;
  // Keyboard pre-processing; true when the message was used up.
  bool PreTranslate(MSG& msg);
  void Dispatch(MSG& msg);

  std::wstring fTitle;
  Form* fMainForm = nullptr;
  bool fTerminated = false;
  bool fOleInitialized = false;
  int fExitCode = 0;

  friend class Form;
};

// The message of an exception as the operator reads it: rtl::Exception's own
// text, or what() read as UTF-8.
std::wstring ExceptionMessage(const std::exception& e);

// Opens a document or address with the shell's "open" verb; false on failure.
bool ShellOpen(const std::wstring& target);

}  // namespace gui
