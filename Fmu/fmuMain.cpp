#include "Fmu/fmuMain.h"

#include <cwchar>
#include <exception>

#include "Fmu/cuControls.h"
#include "Fmu/fmuAbout.h"
#include "Fmu/fmuJournal.h"
#include "Fmu/fmuLgDev.h"
#include "Units/cuJournalText.h"
#include "Units/cuUtils.h"
#include "gui/Application.h"
#include "gui/Dialogs.h"
#include "rtl/TryFinally.h"

TfmMain* fmMain = nullptr;

namespace {

const wchar_t kTitle[] = L"Тест: драйвер сканера штрих-кода";
const wchar_t kRegisterPrompt[] =
    L"Необходимо зарегистрировать драйвер.\rУкажите местоположение файла Dravix.dll";

using rtl::TryFinally;

std::wstring MessageOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return gui::ExceptionMessage(e);
  } catch (...) {
    return L"Unknown exception";
  }
}

}  // namespace

bool RegisterDllByFileName(const std::wstring& FN, std::wstring& Reason) {
  Reason.clear();
  try {
    // The system's "cannot find file" box would stand in front of our own prompt.
    const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    const HMODULE library = LoadLibraryW(FN.c_str());
    const DWORD loadError = GetLastError();
    SetErrorMode(oldMode);
    if (library == nullptr) {
      // The file's name goes into the text where it has a place for it
      // ("%1 is not a valid Win32 application.", a driver of the other
      // bitness), else after it.
      bool named = false;
      const std::wstring text = SysErrorMessage(loadError, {FN}, &named);
      throw rtl::EOSError(named ? text : text + L": " + FN, loadError);
    }
    struct Unload {
      HMODULE module;
      ~Unload() { FreeLibrary(module); }
    } unload{library};
    const FARPROC proc = GetProcAddress(library, "DllRegisterServer");
    if (proc == nullptr) {
      const DWORD error = GetLastError();
      throw rtl::EOSError(SysErrorMessage(error), error);
    }
    using RegisterFn = HRESULT(WINAPI*)();
    const HRESULT status = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(proc))();
    if (FAILED(status)) {
      throw rtl::EOleSysError(SysErrorMessage(static_cast<DWORD>(status)), status);
    }
    return true;
  } catch (...) {
    Reason = MessageOf(std::current_exception());
    return false;
  }
}

TfmMain::TfmMain() : gui::Form(L"fmMain") {
  fmMain = this;
  LayOut();
  FormCreate(*this);
}

TfmMain::~TfmMain() {
  // The driver control goes before the window and its controls.
  if (fScaner) {
    fScaner->DoneScaner();
  }
  fScaner.reset();
  if (fmMain == this) {
    fmMain = nullptr;
  }
}

void TfmMain::LayOut() {
  SetCaption(kTitle);
  SetBorderStyle(gui::BorderStyle::Single);
  SetBorderIcons({.SystemMenu = true, .Minimize = true, .Maximize = false});
  SetPosition(gui::Position::ScreenCenter);
  SetClientSize(670, 309);

  Label12.SetBounds(32, 4, 0, 0);
  Label13.SetBounds(200, 4, 0, 0);
  Panel1.SetBounds(8, 24, 185, 209);
  chkDataEventEnabled.SetBounds(16, 16, 161, 17);
  chkAutoDisable.SetBounds(16, 40, 161, 17);
  Label3.SetBounds(16, 72, 0, 0);
  edtDataCount.SetBounds(16, 88, 153, 21);
  Label4.SetBounds(16, 112, 0, 0);
  edtEventNumber.SetBounds(16, 128, 153, 21);

  Panel2.SetBounds(200, 24, 313, 209);
  Label2.SetBounds(16, 8, 0, 0);
  Answer.SetBounds(96, 8, 201, 21);
  Label5.SetBounds(16, 32, 0, 0);
  edtTrack1.SetBounds(96, 32, 201, 21);
  Label6.SetBounds(16, 56, 0, 0);
  edtTrack2.SetBounds(96, 56, 201, 21);
  Label7.SetBounds(16, 80, 0, 0);
  edtTrack3.SetBounds(96, 80, 201, 21);
  Label8.SetBounds(16, 104, 0, 0);
  edtDeviceDescription.SetBounds(96, 104, 201, 21);
  Label1.SetBounds(16, 128, 0, 0);
  edtPortNumber.SetBounds(96, 128, 201, 21);
  Label11.SetAutoSize(false);
  Label11.SetBounds(16, 149, 60, 26);
  edtDeviceName.SetBounds(96, 152, 201, 21);
  lbKeyEvent.SetBounds(16, 179, 0, 0);
  edtKeyEvent.SetBounds(96, 176, 201, 21);

  Shape1.SetBounds(8, 240, 505, 1);
  Label9.SetBounds(8, 252, 0, 0);
  edtResultCode.SetBounds(112, 248, 401, 21);
  Label10.SetBounds(8, 284, 0, 0);
  edtResultDescription.SetBounds(112, 280, 401, 21);
  Bevel1.SetShape(gui::BevelShape::LeftLine);
  Bevel1.SetBounds(520, 8, 2, 273);
  Edit1.SetBounds(528, 24, 137, 21);
  chbPageEnabled.SetBounds(528, 64, 137, 17);
  btnAbout.SetBounds(528, 112, 137, 25);
  chkLockDevices.SetBounds(528, 144, 137, 17);
  btnDevices.SetBounds(528, 168, 137, 24);
  chkDeviceEnabled.SetBounds(528, 200, 137, 17);
  btnProperties.SetBounds(528, 224, 137, 24);
  btnClose.SetBounds(528, 256, 137, 24);

  for (gui::Edit* edit :
       {&edtDataCount, &edtEventNumber, &Answer, &edtTrack1, &edtTrack2, &edtTrack3, &edtDeviceDescription,
        &edtPortNumber, &edtDeviceName, &edtKeyEvent, &edtResultCode, &edtResultDescription}) {
    edit->SetReadOnly(true);
  }
  edtResultCode.SetTabStop(false);
  edtResultDescription.SetTabStop(false);
  btnClose.SetCancel(true);

  // Tab order of the form; within the panels it follows creation order.
  int order = 0;
  for (gui::Control* control : std::initializer_list<gui::Control*>{
           &Panel1, &Panel2, &btnAbout, &chkLockDevices, &btnDevices, &chkDeviceEnabled, &btnProperties,
           &btnClose, &edtResultCode, &edtResultDescription, &chbPageEnabled, &Edit1}) {
    control->SetTabOrder(order++);
  }
  SetActiveControl(&btnClose);

  chkDataEventEnabled.OnClick = [this](rtl::Object& s) { chkDataEventEnabledClick(s); };
  chkAutoDisable.OnClick = [this](rtl::Object& s) { chkAutoDisableClick(s); };
  chkDeviceEnabled.OnClick = [this](rtl::Object& s) { chkDeviceEnabledClick(s); };
  chkLockDevices.OnClick = [this](rtl::Object& s) { chkLockDevicesClick(s); };
  chbPageEnabled.OnClick = [this](rtl::Object& s) { chbPageEnabledClick(s); };
  btnDevices.OnClick = [this](rtl::Object& s) { btnDevicesClick(s); };
  btnAbout.OnClick = [this](rtl::Object& s) { btnAboutClick(s); };
  btnProperties.OnClick = [this](rtl::Object& s) { btnPropertiesClick(s); };
  btnClose.OnClick = [this](rtl::Object& s) { btnCloseClick(s); };

  Timer.SetEnabled(false);
  Timer.SetInterval(1000);
  Timer.OnTimer = [this](rtl::Object& s) { TimerTimer(s); };

  // The journal is reached from the window menu, so the layout stays as it is.
  AddSystemMenuItem(kSysJournal, L"Журнал событий…", true);
  AddSystemMenuItem(kSysCopyLastEvent, L"Копировать последнее событие");
  OnSystemCommand = [this](rtl::Object& s, UINT id) { FormSystemCommand(s, id); };
}

// Steps 1 to 7 of start-up; any exception in them means the driver could not
// be brought up, and the caller asks for the library.
bool TfmMain::TryCreate(rtl::Object& /*Sender*/) {
  try {
    fScaner = std::make_unique<TScanerX>();
    fScaner->Scaner();
    fScaner->SetOnDataEvent([this](rtl::Object& s, std::int32_t id) { ScanerDataEvent(s, id); });
    fScaner->SetOnKeyEvent([this](rtl::Object& s, const std::wstring& source, const std::wstring& message,
                                  const std::wstring& data) { ScanerKeyEvent(s, source, message, data); });
    fScaner->SetOnError([this](rtl::Object& s, const TScanerXError& error) { ScanerError(s, error); });
    gui::Application::Instance().OnException = [this](rtl::Object* s, const std::exception& e) {
      ApplicationException(s, e);
    };
    Timer.SetEnabled(true);
    SetFont(ReadWindowFont());
    UpdateForm();
    return true;
  } catch (...) {
    return false;
  }
}

gui::Font TfmMain::ReadWindowFont() {
  gui::Font font = Font();
  try {
    RegReadFont(font);
  } catch (const ERegistryException& e) {
    // Registering the driver again cannot mend a damaged value: name it and
    // go on with the default font.
    RegDefaultFont(font);
    gui::Application& app = gui::Application::Instance();
    app.MessageBox(L"Значение \"" + e.ValueName() + L"\" в разделе реестра HKEY_CURRENT_USER\\" +
                       kRegFontKey + L" имеет неверный тип.\rОкно откроется со шрифтом по умолчанию.",
                   app.Title(), MB_OK | MB_ICONWARNING);
  }
  return font;
}

void TfmMain::FormCreate(rtl::Object& Sender) {
  gui::Application& app = gui::Application::Instance();
  // Why the last registration failed, said together with the prompt that
  // follows it.
  std::wstring reason;
  while (!TryCreate(Sender)) {
    std::wstring prompt = kRegisterPrompt;
    if (!reason.empty()) {
      prompt = reason + L"\r\r" + prompt;
    }
    if (app.MessageBox(prompt, app.Title(), MB_OKCANCEL | MB_ICONEXCLAMATION) != IDOK) {
      app.Terminate();
      return;
    }
    gui::OpenDialog dialog;
    dialog.FileName = L"Dravix.dll";
    dialog.Filter = L"Драйвер (*.dll)|*.dll|";
    dialog.DefaultExt = L"dll";
    if (!dialog.Execute(Handle())) {
      app.Terminate();
      return;
    }
    RegisterDllByFileName(dialog.FileName, reason);
    fScaner.reset();
  }
}

void TfmMain::ApplicationException(rtl::Object* /*Sender*/, const std::exception& E) {
  // Driver errors are already on screen in the result fields.
  if (dynamic_cast<const EScanerX*>(&E) != nullptr) {
    return;
  }
  gui::Application::Instance().ShowException(E);
}

// --- refresh ---------------------------------------------------------------

namespace {

// A refresh step: the field shows the value, or the message of whatever the
// read raised; a failure also stops the timer. The step never raises.
template <class ReadFn>
void RefreshField(gui::Edit& field, gui::Timer& timer, ReadFn read) {
  try {
    field.SetText(read());
  } catch (...) {
    field.SetText(MessageOf(std::current_exception()));
    timer.SetEnabled(false);
  }
}

// The same, keeping the value read in shown (empty after a failure).
template <class ReadFn>
void RefreshField(gui::Edit& field, gui::Timer& timer, std::wstring& shown, ReadFn read) {
  try {
    shown = read();
    field.SetText(shown);
  } catch (...) {
    shown.clear();
    field.SetText(MessageOf(std::current_exception()));
    timer.SetEnabled(false);
  }
}

std::wstring Decimal(std::int32_t value) { return std::to_wstring(value); }

}  // namespace

void TfmMain::UpdateForm() {
  UpdateResult();
  UpdateAnswer();
  UpdateTrack1();
  UpdateTrack2();
  UpdateTrack3();
  UpdateDataCount();
  UpdateDeviceName();
  UpdateCheckBoxes();
  UpdatePortNumber();
  UpdateEventNumber();
  UpdateLockDevices();
  UpdateDeviceDescription();
}

void TfmMain::UpdateResult() {
  // No field takes this failure's text: it leaves the refresh. The timer
  // stops first, so that the message box the failure may end in does not
  // run the next tick in its own loop, and that tick another box.
  try {
    fShown.ResultCode = fScaner->GetResultCode();
    edtResultCode.SetText(Decimal(fShown.ResultCode));
    fShown.ResultDescription = fScaner->GetResultDescription();
    edtResultDescription.SetText(fShown.ResultDescription);
  } catch (...) {
    Timer.SetEnabled(false);
    throw;
  }
}

void TfmMain::UpdateAnswer() {
  RefreshField(Answer, Timer, fShown.ScanData, [this] { return fScaner->GetScanData(); });
}
void TfmMain::UpdateTrack1() {
  RefreshField(edtTrack1, Timer, fShown.Track1, [this] { return fScaner->GetTrack1(); });
}
void TfmMain::UpdateTrack2() {
  RefreshField(edtTrack2, Timer, fShown.Track2, [this] { return fScaner->GetTrack2(); });
}
void TfmMain::UpdateTrack3() {
  RefreshField(edtTrack3, Timer, fShown.Track3, [this] { return fScaner->GetTrack3(); });
}
void TfmMain::UpdateDataCount() {
  RefreshField(edtDataCount, Timer, [this] { return Decimal(fScaner->GetDataCount()); });
}

void TfmMain::UpdateDeviceName() {
  RefreshField(edtDeviceName, Timer, fShown.DeviceName, [this] {
    const std::int32_t number = fScaner->GetCurrentDeviceNumber();
    const std::wstring name = fScaner->GetCurrentDeviceName();
    wchar_t digits[16];
    std::swprintf(digits, 16, L"%.2d", static_cast<int>(number));
    return L"№" + std::wstring(digits) + L" " + name;
  });
}

void TfmMain::UpdateCheckBoxes() {
  const auto step = [this](gui::CheckBox& box, auto read) {
    try {
      SafeSetChecked(box, read());
    } catch (...) {
      Timer.SetEnabled(false);
    }
  };
  step(chkAutoDisable, [this] { return fScaner->GetAutoDisable(); });
  step(chkDataEventEnabled, [this] { return fScaner->GetDataEventEnabled(); });
  step(chkDeviceEnabled, [this] { return fScaner->GetDeviceEnabled(); });
}

void TfmMain::UpdatePortNumber() {
  RefreshField(edtPortNumber, Timer, fShown.Port, [this]() -> std::wstring {
    if (fScaner->GetModel() == 6) {
      return L"USB";
    }
    return L"COM " + Decimal(fScaner->GetPortNumber());
  });
}

void TfmMain::UpdateEventNumber() {
  RefreshField(edtEventNumber, Timer, [this] { return Decimal(fScaner->GetEventNumber()); });
}

void TfmMain::UpdateLockDevices() {
  // Set directly: a change runs the box's click handler, which writes the
  // same value back and refreshes once more; that nested refresh finds the
  // box already in step, so the nesting ends there.
  try {
    chkLockDevices.SetChecked((fScaner->GetLockDevices() & 0xFF) != 0);
  } catch (...) {
    Timer.SetEnabled(false);
  }
}

void TfmMain::UpdateDeviceDescription() {
  RefreshField(edtDeviceDescription, Timer, [this] { return fScaner->GetDeviceDescription(); });
}

// --- commands and events -----------------------------------------------------

void TfmMain::chkDataEventEnabledClick(rtl::Object&) {
  TryFinally([this] { fScaner->SetDataEventEnabled(chkDataEventEnabled.Checked()); },
             [this] { UpdateForm(); });
}

void TfmMain::chkAutoDisableClick(rtl::Object&) {
  TryFinally([this] { fScaner->SetAutoDisable(chkAutoDisable.Checked()); }, [this] { UpdateForm(); });
}

void TfmMain::chkDeviceEnabledClick(rtl::Object&) {
  TryFinally([this] { fScaner->SetDeviceEnabled(chkDeviceEnabled.Checked()); }, [this] { UpdateForm(); });
}

void TfmMain::chkLockDevicesClick(rtl::Object&) {
  TryFinally([this] { fScaner->SetLockDevices(chkLockDevices.Checked() ? 1 : 0); }, [this] { UpdateForm(); });
}

void TfmMain::chbPageEnabledClick(rtl::Object&) {
  // Straight to the control: no result check, no refresh.
  fScaner->Scaner().SetPropertyPageEnabled(chbPageEnabled.Checked());
}

void TfmMain::btnDevicesClick(rtl::Object&) {
  // The dialog refreshes itself; the timer must not refresh this window
  // underneath it, and comes back however the dialog ends. The dialog may
  // select another device: until a refresh reads it, the journal names none.
  Timer.SetEnabled(false);
  fShown.DeviceName.clear();
  fShown.Port.clear();
  TryFinally([this] { ShowDevicesProperties(*fScaner, Font()); }, [this] { Timer.SetEnabled(true); });
}

void TfmMain::btnPropertiesClick(rtl::Object&) {
  Timer.SetEnabled(false);
  fShown.DeviceName.clear();
  fShown.Port.clear();
  TryFinally([this] { fScaner->ShowProperties(); },
             [this] {
               Timer.SetEnabled(true);
               UpdateForm();
             });
}

void TfmMain::btnAboutClick(rtl::Object&) {
  // The timer keeps running: the window goes on refreshing beneath the box.
  std::vector<std::wstring> info{L"Версия теста: " + GetFileVersionInfo(),
                                 L"Версия драйвера: " + fScaner->GetVersion()};
  ShowAboutBox(Handle(), L"Сканер штрих-кода", std::move(info));
}

void TfmMain::btnCloseClick(rtl::Object&) { Close(); }

void TfmMain::TimerTimer(rtl::Object&) { UpdateForm(); }

void TfmMain::ScanerDataEvent(rtl::Object&, std::int32_t EventID) {
  fScaner->SetEventNumber(EventID);
  UpdateForm();
  // Journalled as the refresh read it, while the event is still selected.
  TJournalEntry entry;
  entry.Kind = TJournalKind::Data;
  entry.Device = ShownDevice();
  entry.Data = fShown.ScanData;
  entry.Track1 = fShown.Track1;
  entry.Track2 = fShown.Track2;
  entry.Track3 = fShown.Track3;
  entry.HasCode = true;
  entry.Code = fShown.ResultCode;
  entry.Text = fShown.ResultDescription;
  AddToJournal(std::move(entry));
  fScaner->DeleteEvent();
}

void TfmMain::ScanerKeyEvent(rtl::Object&, const std::wstring& EventSource, const std::wstring& EventMessage,
                             const std::wstring& EventData) {
  edtKeyEvent.SetText(L"Данные=" + EventData + L", Событие=" + EventMessage + L", Источник=" + EventSource);
  TJournalEntry entry;
  entry.Kind = TJournalKind::Key;
  // The device column is the current device's for every row; the device
  // the key event names goes with its message.
  entry.Device = ShownDevice();
  entry.Data = EventData;
  entry.Text = EventMessage + L", источник: " + EventSource;
  AddToJournal(std::move(entry));
}

void TfmMain::ScanerError(rtl::Object&, const TScanerXError& Error) {
  TJournalEntry entry;
  entry.Kind = TJournalKind::Error;
  entry.Device = ShownDevice();
  entry.Data = Error.Call;
  entry.HasCode = true;
  entry.Code = Error.Code;
  entry.Text = Error.Description;
  AddToJournal(std::move(entry));
}

// --- the journal -------------------------------------------------------------

std::wstring TfmMain::ShownDevice() const {
  if (fShown.DeviceName.empty() || fShown.Port.empty()) return fShown.DeviceName + fShown.Port;
  return fShown.DeviceName + L", " + fShown.Port;
}

void TfmMain::AddToJournal(TJournalEntry Entry) {
  SYSTEMTIME now{};
  GetLocalTime(&now);
  Entry.Time = {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  Entry.Tick = static_cast<std::int64_t>(GetTickCount64());
  fJournal.Add(std::move(Entry));
  if (fmJournal) fmJournal->JournalChanged();
}

void TfmMain::ShowJournal() {
  if (!fmJournal) {
    fmJournal = std::make_unique<TfmJournal>(fJournal);
    fmJournal->SetFont(Font());
  }
  fmJournal->ShowJournal(Handle());
}

void TfmMain::CopyLastEvent() {
  if (fJournal.Empty()) {
    MessageBeep(MB_ICONWARNING);
    return;
  }
  try {
    gui::SetClipboardText(JournalRowTsv(fJournal.Last()) + L"\r\n", Handle());
  } catch (const rtl::EOSError& e) {
    gui::Application::Instance().MessageBox(e.Message(), L"", MB_OK | MB_ICONERROR);
  }
}

void TfmMain::FormSystemCommand(rtl::Object&, UINT Id) {
  if (Id == kSysJournal) {
    ShowJournal();
  } else if (Id == kSysCopyLastEvent) {
    CopyLastEvent();
  }
}
