// The main test window: the driver's current scan, device and modes, and
// after every action the driver's result code and description.
#pragma once

#include <memory>

#include "Units/ScanerX.h"
#include "Units/cuJournal.h"
#include "gui/Form.h"
#include "gui/StdCtrls.h"

class TfmJournal;

// The items the main window adds to its window menu (the system menu).
inline constexpr UINT kSysJournal = 0x0100;        // "Журнал событий…"
inline constexpr UINT kSysCopyLastEvent = 0x0110;  // "Копировать последнее событие"

// Registers the in-process server library FN (its DllRegisterServer).
// Never raises: any failure gives false, and Reason the system's text for it
// (empty after a success).
bool RegisterDllByFileName(const std::wstring& FN, std::wstring& Reason);

class TfmMain : public gui::Form {
 public:
  TfmMain();
  ~TfmMain() override;

  // Creation handler: creates the driver wrapper and, while the driver cannot
  // be created, runs the registration dialogue. Returns with the application
  // terminated when the operator gives up.
  void FormCreate(rtl::Object& Sender);
  void ApplicationException(rtl::Object* Sender, const std::exception& E);

  TScanerX* Scaner() const noexcept { return fScaner.get(); }

  // The event journal: every data event, key event and failed driver call
  // of the session, fed by this window's handlers whether or not the
  // journal window is open.
  const TJournal& Journal() const noexcept { return fJournal; }
  // Opens the journal window (modeless; created on first use).
  void ShowJournal();
  // The journal window, or null before it was first opened.
  TfmJournal* JournalWindow() const noexcept { return fmJournal.get(); }

  // Controls, in creation order (which is also their z-order).
  gui::Label& Label12 = Add<gui::Label>(L"Label12", L"Настройки драйвера:");
  gui::Label& Label13 = Add<gui::Label>(L"Label13", L"Данные, полученные из драйвера сканера штрих-кода:");
  gui::Panel& Panel1 = Add<gui::Panel>(L"Panel1");
  gui::CheckBox& chkDataEventEnabled =
      Panel1.Add<gui::CheckBox>(L"chkDataEventEnabled", L"Разрешить сообщения");
  gui::CheckBox& chkAutoDisable = Panel1.Add<gui::CheckBox>(L"chkAutoDisable", L"Автоотключение");
  gui::Label& Label3 = Panel1.Add<gui::Label>(L"Label3", L"Количество сообщений:");
  gui::Edit& edtDataCount = Panel1.Add<gui::Edit>(L"edtDataCount");
  gui::Label& Label4 = Panel1.Add<gui::Label>(L"Label4", L"Номер сообщения:");
  gui::Edit& edtEventNumber = Panel1.Add<gui::Edit>(L"edtEventNumber");
  gui::Panel& Panel2 = Add<gui::Panel>(L"Panel2");
  gui::Label& Label2 = Panel2.Add<gui::Label>(L"Label2", L"Данные:");
  gui::Edit& Answer = Panel2.Add<gui::Edit>(L"Answer");
  gui::Label& Label5 = Panel2.Add<gui::Label>(L"Label5", L"Трек 1:");
  gui::Edit& edtTrack1 = Panel2.Add<gui::Edit>(L"edtTrack1");
  gui::Label& Label6 = Panel2.Add<gui::Label>(L"Label6", L"Трек 2:");
  gui::Edit& edtTrack2 = Panel2.Add<gui::Edit>(L"edtTrack2");
  gui::Label& Label7 = Panel2.Add<gui::Label>(L"Label7", L"Трек 3:");
  gui::Edit& edtTrack3 = Panel2.Add<gui::Edit>(L"edtTrack3");
  gui::Label& Label8 = Panel2.Add<gui::Label>(L"Label8", L"Устройство:");
  gui::Edit& edtDeviceDescription = Panel2.Add<gui::Edit>(L"edtDeviceDescription");
  gui::Label& Label1 = Panel2.Add<gui::Label>(L"Label1", L"Порт:");
  gui::Edit& edtPortNumber = Panel2.Add<gui::Edit>(L"edtPortNumber");
  gui::Label& Label11 = Panel2.Add<gui::Label>(L"Label11", L"Текущее\rустройство:");
  gui::Edit& edtDeviceName = Panel2.Add<gui::Edit>(L"edtDeviceName");
  gui::Label& lbKeyEvent = Panel2.Add<gui::Label>(L"lbKeyEvent", L"Событие:");
  gui::Edit& edtKeyEvent = Panel2.Add<gui::Edit>(L"edtKeyEvent");
  gui::Shape& Shape1 = Add<gui::Shape>(L"Shape1");
  gui::Label& Label9 = Add<gui::Label>(L"Label9", L"Результат:");
  gui::Edit& edtResultCode = Add<gui::Edit>(L"edtResultCode");
  gui::Label& Label10 = Add<gui::Label>(L"Label10", L"Описание:");
  gui::Edit& edtResultDescription = Add<gui::Edit>(L"edtResultDescription");
  gui::Bevel& Bevel1 = Add<gui::Bevel>(L"Bevel1");
  gui::Edit& Edit1 = Add<gui::Edit>(L"Edit1");
  gui::CheckBox& chbPageEnabled = Add<gui::CheckBox>(L"chbPageEnabled", L"Страница свойств");
  gui::Button& btnAbout = Add<gui::Button>(L"btnAbout", L"О программе");
  gui::CheckBox& chkLockDevices = Add<gui::CheckBox>(L"chkLockDevices", L"Блокировать ЛУ");
  gui::Button& btnDevices = Add<gui::Button>(L"btnDevices", L"Работа с ЛУ");
  gui::CheckBox& chkDeviceEnabled = Add<gui::CheckBox>(L"chkDeviceEnabled", L"Устройство включено");
  gui::Button& btnProperties = Add<gui::Button>(L"btnProperties", L"Настройка свойств");
  gui::Button& btnClose = Add<gui::Button>(L"btnClose", L"Закрыть");
  gui::Timer Timer;

 private:
  void LayOut();
  bool TryCreate(rtl::Object& Sender);
  // The registry font, or the default one after telling which value is damaged.
  gui::Font ReadWindowFont();

  // Refresh steps; UpdateForm runs them in a fixed order, result pair first.
  void UpdateForm();
  void UpdateResult();
  void UpdateAnswer();
  void UpdateTrack1();
  void UpdateTrack2();
  void UpdateTrack3();
  void UpdateDataCount();
  void UpdateDeviceName();
  void UpdateCheckBoxes();
  void UpdatePortNumber();
  void UpdateEventNumber();
  void UpdateLockDevices();
  void UpdateDeviceDescription();

  void chkDataEventEnabledClick(rtl::Object& Sender);
  void chkAutoDisableClick(rtl::Object& Sender);
  void chkDeviceEnabledClick(rtl::Object& Sender);
  void chkLockDevicesClick(rtl::Object& Sender);
  void chbPageEnabledClick(rtl::Object& Sender);
  void btnAboutClick(rtl::Object& Sender);
  void btnDevicesClick(rtl::Object& Sender);
  void btnPropertiesClick(rtl::Object& Sender);
  void btnCloseClick(rtl::Object& Sender);
  void TimerTimer(rtl::Object& Sender);
  void ScanerDataEvent(rtl::Object& Sender, std::int32_t EventID);
  void ScanerKeyEvent(rtl::Object& Sender, const std::wstring& EventSource, const std::wstring& EventMessage,
                      const std::wstring& EventData);
  void ScanerError(rtl::Object& Sender, const TScanerXError& Error);
  void FormSystemCommand(rtl::Object& Sender, UINT Id);
  void CopyLastEvent();
  // Stamps the entry with the time and adds it to the journal.
  void AddToJournal(TJournalEntry Entry);
  // The device as the last refresh showed it: "№01 Name, COM 41".
  std::wstring ShownDevice() const;

  // What the steps of the last refresh read (empty where a read failed):
  // a data event's journal entry is made of them.
  struct TShown {
    std::int32_t ResultCode = 0;
    std::wstring ResultDescription;
    std::wstring ScanData;
    std::wstring Track1;
    std::wstring Track2;
    std::wstring Track3;
    std::wstring DeviceName;
    std::wstring Port;
  };
  TShown fShown;

  std::unique_ptr<TScanerX> fScaner;
  TJournal fJournal;
  std::unique_ptr<TfmJournal> fmJournal;
};

// The main window of the running program (null before it is created).
extern TfmMain* fmMain;
