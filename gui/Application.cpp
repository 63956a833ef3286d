#include "gui/Application.h"

#include <commctrl.h>
#include <ole2.h>
#include <shellapi.h>

#include "gui/Form.h"
#include "gui/Internal.h"
#include "rtl/Exceptions.h"
#include "rtl/ModuleFile.h"

namespace gui {

namespace {
std::wstring ModuleTitle() {
  std::wstring title = rtl::ModuleFileName(nullptr);
  if (const auto slash = title.find_last_of(L"\\/"); slash != std::wstring::npos) title.erase(0, slash + 1);
  if (const auto dot = title.rfind(L'.'); dot != std::wstring::npos) title.erase(dot);
  return title;
}
}  // namespace

void HandleEventException(rtl::Object& sender) { Application::Instance().HandleException(&sender); }

std::wstring ExceptionMessage(const std::exception& e) {
  if (const auto* own = dynamic_cast<const rtl::Exception*>(&e)) return own->Message();
  return rtl::FromUtf8(e.what());
}

bool ShellOpen(const std::wstring& target) {
  const auto result = reinterpret_cast<INT_PTR>(
      ShellExecuteW(GetDesktopWindow(), L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  return result > 32;
}

Application& Application::Instance() {
  static Application instance;
  return instance;
}

Application::Application() : fTitle(ModuleTitle()) {
  rtl::SetApplicationHandleException([this](rtl::Object* sender) { HandleException(sender); });
}

Application::~Application() {
  if (fOleInitialized) OleUninitialize();
}

void Application::Initialize() {
  if (!fOleInitialized) {
    const HRESULT hr = OleInitialize(nullptr);
    if (FAILED(hr)) throw rtl::EOleSysError(L"OleInitialize failed", hr);
    fOleInitialized = true;
  }
  INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&icc);
}

void Application::Run() {
  if (!fMainForm) throw rtl::Exception(L"The application has no main form");
  fMainForm->Show();
  while (!fTerminated && HandleMessage()) {
  }
}

void Application::Terminate() {
  // Terminated at once: code that runs before the loop (a main form's
  // creation that gives up) must see it, not only the loop's WM_QUIT.
  fTerminated = true;
  PostQuitMessage(0);
}

bool Application::HandleMessage() {
  MSG msg;
  const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
  if (got == 0 || got == -1) {
    fTerminated = true;
    fExitCode = got == 0 ? static_cast<int>(msg.wParam) : 0;
    return false;
  }
  Dispatch(msg);
  return true;
}

void Application::ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      fTerminated = true;
      fExitCode = static_cast<int>(msg.wParam);
      break;
    }
    Dispatch(msg);
  }
}

void Application::Dispatch(MSG& msg) {
  if (PreTranslate(msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
  detail::tKeyDownDone = nullptr;
}

bool Application::PreTranslate(MSG& msg) {
  if (msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) return false;
  Control* control = nullptr;
  for (HWND h = msg.hwnd; h && !control;
       h = (GetWindowLongW(h, GWL_STYLE) & WS_CHILD) ? GetParent(h) : nullptr)
    control = Control::FromHandle(h);
  if (!control) return false;
  Form* form = control->OwnerForm();
  if (!form) return false;
  WORD key = static_cast<WORD>(msg.wParam);
  const ShiftState shift = CurrentShiftState();
  if (form->KeyPreview() && control != form) {
    form->DoKeyDown(key, shift);
    if (!key) return true;
  }
  control->DoKeyDown(key, shift);
  if (!key) return true;
  if (msg.message == WM_KEYDOWN && form->DialogKey(*control, key, shift)) return true;
  msg.wParam = key;
  detail::tKeyDownDone = control;
  return false;
}

__attribute__((noinline)) void Application::HandleException(rtl::Object* Sender) {
  const std::exception_ptr current = std::current_exception();
  if (!current) return;
  auto report = [&](const std::exception& e) {
    if (!OnException) {
      ShowException(e);
      return;
    }
    try {
      OnException(Sender, e);
    } catch (const std::exception& inner) {
      ShowException(inner);
    } catch (...) {
      ShowException(rtl::Exception(L"Unknown exception"));
    }
  };
  try {
    std::rethrow_exception(current);
  } catch (const rtl::EAbort&) {
    // Silent by design: it only ends an operation.
  } catch (const std::exception& e) {
    report(e);
  } catch (...) {
    report(rtl::Exception(L"Unknown exception"));
  }
}

void Application::ShowException(const std::exception& E) {
  std::wstring text = ExceptionMessage(E);
  if (!text.empty() && text.back() != L'.') text += L'.';
  ::MessageBoxW(ActiveWindow(), text.c_str(), fTitle.c_str(), MB_OK | MB_ICONERROR);
}

int Application::MessageBox(const std::wstring& text, const std::wstring& caption, UINT flags) {
  const std::wstring& title = caption.empty() ? fTitle : caption;
  return ::MessageBoxW(ActiveWindow(), text.c_str(), title.c_str(), flags);
}

HWND Application::ActiveWindow() const {
  if (HWND active = GetActiveWindow(); active && Control::FromHandle(active)) return active;
  if (fMainForm && IsWindowVisible(fMainForm->Handle())) return fMainForm->Handle();
  return nullptr;
}

}  // namespace gui
