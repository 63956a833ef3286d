// The logical devices dialog: the driver's list of logical devices, the
// current device's name, on/off state and seven port parameters. It keeps no
// device data of its own: every change goes straight to the driver and the
// whole dialog is read back afterwards, result pair first.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>

#include "Fmu/PortParams.h"
#include "Fmu/ProcList.h"
#include "Fmu/cuControls.h"
#include "Units/ScanerX.h"
#include "gui/Form.h"
#include "gui/StdCtrls.h"

// Shows the dialog modally over the driver wrapper Scaner, in the caller's
// font; returns when it is closed. The dialog is destroyed in every case; an
// exception of its first refresh or of the modal loop goes on to the caller.
void ShowDevicesProperties(TScanerX& Scaner, const gui::Font& Font);

// Replaces the list's items by the rows of the table, in one bulk update.
void FillComboBox(gui::ComboBox& ComboBox, std::span<const TComboItem> ComboItems);

class TfmDevices : public gui::Form {
 public:
  TfmDevices();
  ~TfmDevices() override;

  // Takes over the wrapper (not owned) and a copy of the font, then refreshes.
  void Init(TScanerX& AScaner, const gui::Font& AFont);
  // Runs the refresh list: every control is read again from the driver.
  void UpdateForm();

  // Controls, in creation order (which is also the tab order).
  gui::Label& Label1 = Add<gui::Label>(L"Label1", L"Список логических устройств:");
  gui::Panel& topPanel = Add<gui::Panel>(L"topPanel");
  gui::Label& Label2 = topPanel.Add<gui::Label>(L"Label2", L"Индекс:");
  gui::ComboBox& cbDeviceIndex = topPanel.Add<gui::ComboBox>(L"cbDeviceIndex");
  gui::Label& Label3 = topPanel.Add<gui::Label>(L"Label3", L"Номер:");
  gui::ComboBox& cbDeviceNumber = topPanel.Add<gui::ComboBox>(L"cbDeviceNumber");
  gui::Label& Label4 = topPanel.Add<gui::Label>(L"Label4", L"Общее кол-во:");
  gui::Edit& edtDeviceCount = topPanel.Add<gui::Edit>(L"edtDeviceCount");
  gui::Label& Label14 = Add<gui::Label>(L"Label14", L"Параметры активного устройства :");
  gui::Panel& bottomPanel = Add<gui::Panel>(L"bottomPanel");
  gui::Label& Label12 = bottomPanel.Add<gui::Label>(L"Label12", L"Название:");
  gui::Edit& edtDeviceName = bottomPanel.Add<gui::Edit>(L"edtDeviceName");
  gui::Label& Label13 = bottomPanel.Add<gui::Label>(L"Label13", L"Номер порта:");
  gui::ComboBox& cboPortNumber = bottomPanel.Add<gui::ComboBox>(L"cboPortNumber");
  gui::Edit& edtPortNumber = bottomPanel.Add<gui::Edit>(L"edtPortNumber");
  gui::UpDown& udPortNumber = bottomPanel.Add<gui::UpDown>(L"udPortNumber");
  gui::Label& Label9 = bottomPanel.Add<gui::Label>(L"Label9", L"Скорость:");
  gui::ComboBox& cboBaudRate = bottomPanel.Add<gui::ComboBox>(L"cboBaudRate");
  gui::Edit& edtBaudRate = bottomPanel.Add<gui::Edit>(L"edtBaudRate");
  gui::UpDown& udBaudRate = bottomPanel.Add<gui::UpDown>(L"udBaudRate");
  gui::Label& Label6 = bottomPanel.Add<gui::Label>(L"Label6", L"Чётность:");
  gui::ComboBox& cboParity = bottomPanel.Add<gui::ComboBox>(L"cboParity");
  gui::Edit& edtParity = bottomPanel.Add<gui::Edit>(L"edtParity");
  gui::UpDown& udParity = bottomPanel.Add<gui::UpDown>(L"udParity");
  gui::Label& Label16 = bottomPanel.Add<gui::Label>(L"Label16", L"Биты данных:");
  gui::ComboBox& cboDataBits = bottomPanel.Add<gui::ComboBox>(L"cboDataBits");
  gui::Edit& edtDataBits = bottomPanel.Add<gui::Edit>(L"edtDataBits");
  gui::UpDown& udDataBits = bottomPanel.Add<gui::UpDown>(L"udDataBits");
  gui::Label& Label17 = bottomPanel.Add<gui::Label>(L"Label17", L"Стоп-биты:");
  gui::ComboBox& cboStopBits = bottomPanel.Add<gui::ComboBox>(L"cboStopBits");
  gui::Edit& edtStopBits = bottomPanel.Add<gui::Edit>(L"edtStopBits");
  gui::UpDown& udStopBits = bottomPanel.Add<gui::UpDown>(L"udStopBits");
  gui::Label& Label18 = bottomPanel.Add<gui::Label>(L"Label18", L"Стоп-флаг:");
  gui::ComboBox& cboStopFlag = bottomPanel.Add<gui::ComboBox>(L"cboStopFlag");
  gui::Edit& edtStopFlag = bottomPanel.Add<gui::Edit>(L"edtStopFlag");
  gui::UpDown& udStopFlag = bottomPanel.Add<gui::UpDown>(L"udStopFlag");
  gui::Label& Label19 = bottomPanel.Add<gui::Label>(L"Label19", L"Модель:");
  gui::ComboBox& cboModelID = bottomPanel.Add<gui::ComboBox>(L"cboModelID");
  gui::Edit& edtModelID = bottomPanel.Add<gui::Edit>(L"edtModelID");
  gui::UpDown& udModelID = bottomPanel.Add<gui::UpDown>(L"udModelID");
  gui::Shape& Shape2 = bottomPanel.Add<gui::Shape>(L"Shape2");
  gui::CheckBox& chkDeviceEnabled =
      bottomPanel.Add<gui::CheckBox>(L"chkDeviceEnabled", L"Устройство включено");
  gui::Shape& Shape1 = Add<gui::Shape>(L"Shape1");
  gui::Label& Caption1 = Add<gui::Label>(L"Caption1", L"Результат:");
  gui::Edit& edtResultCode = Add<gui::Edit>(L"edtResultCode");
  gui::Label& Caption2 = Add<gui::Label>(L"Caption2", L"Описание :");
  gui::Edit& edtResultDescription = Add<gui::Edit>(L"edtResultDescription");
  gui::Bevel& Bevel1 = Add<gui::Bevel>(L"Bevel1");
  gui::Label& Label15 = Add<gui::Label>(L"Label15", L"Команды:");
  gui::Button& btnAdd = Add<gui::Button>(L"btnAdd", L"Добавить");
  gui::Button& btnDelete = Add<gui::Button>(L"btnDelete", L"Удалить");
  gui::Button& btnClose = Add<gui::Button>(L"btnClose", L"Закрыть");

 private:
  void LayOut();
  void BindEvents();

  void FormCreate(rtl::Object& Sender);
  void FormDestroy(rtl::Object& Sender);
  void ApplicationException(rtl::Object* Sender, const std::exception& E);

  // The refresh list, entries 1 to 13 in this order.
  void GetLastResult();
  void GetDeviceName();
  void GetDeviceIndex();
  void GetDeviceNumber();
  void GetDeviceEnabled();
  void GetDeviceCount();
  void GetPortNumber();
  void GetBaudRate();
  void GetParity();
  void GetDataBits();
  void GetStopBits();
  void GetStopFlag();
  void GetModelID();

  void SetDeviceName();
  void SetDeviceIndex();
  void SetDeviceNumber();
  void SetDeviceEnabled();

  void SetComboPortNumber();
  void SetEditPortNumber();
  void SetUDPortNumber();
  void SetComboBaudRate();
  void SetEditBaudRate();
  void SetUDBaudRate();
  void SetComboParity();
  void SetEditParity();
  void SetUDParity();
  void SetComboDataBits();
  void SetEditDataBits();
  void SetUDDataBits();
  void SetComboStopBits();
  void SetEditStopBits();
  void SetUDStopBits();
  void SetComboStopFlag();
  void SetEditStopFlag();
  void SetUDStopFlag();
  void SetComboModelID();
  void SetEditModelID();
  void SetUDModelID();

  void FillPortNumber();
  void FillBaudRate();
  void FillParity();
  void FillDataBits();
  void FillStopBits();
  void FillStopFlag();
  void FillModelID();

  // One parameter's triad refreshed from the driver's value; a failed read
  // shows its message in the edit and leaves the list and up-down alone.
  void GetParam(gui::ComboBox& List, gui::Edit& Editor, gui::UpDown& Steps, std::int32_t (TScanerX::*Read)());
  // The action pattern: the write, then the refresh also when the write
  // raised; the write's exception goes on after the refresh.
  void Act(const std::function<void()>& Write);

  void DeviceIndexClick(rtl::Object& Sender);
  void DeviceNumberClick(rtl::Object& Sender);
  void edtDeviceNameExit(rtl::Object& Sender);
  void chkDeviceEnabledClick(rtl::Object& Sender);
  void btnAddClick(rtl::Object& Sender);
  void btnDeleteClick(rtl::Object& Sender);
  void btnCloseClick(rtl::Object& Sender);
  void EditorKeyDown(rtl::Object& Sender, WORD& Key, gui::ShiftState Shift);
  void EditorKeyPress(rtl::Object& Sender, wchar_t& Key);

  void cboPortNumberChange(rtl::Object& Sender);
  void edtPortNumberExit(rtl::Object& Sender);
  void udPortNumberClick(rtl::Object& Sender, gui::UDBtnType Button);
  void cboBaudRateChange(rtl::Object& Sender);
  void edtBaudRateExit(rtl::Object& Sender);
  void udBaudRateClick(rtl::Object& Sender, gui::UDBtnType Button);
  void cboParityChange(rtl::Object& Sender);
  void edtParityExit(rtl::Object& Sender);
  void udParityClick(rtl::Object& Sender, gui::UDBtnType Button);
  void cboDataBitsChange(rtl::Object& Sender);
  void edtDataBitsExit(rtl::Object& Sender);
  void udDataBitsClick(rtl::Object& Sender, gui::UDBtnType Button);
  void cboStopBitsChange(rtl::Object& Sender);
  void edtStopBitsExit(rtl::Object& Sender);
  void udStopBitsClick(rtl::Object& Sender, gui::UDBtnType Button);
  void cboStopFlagChange(rtl::Object& Sender);
  void edtStopFlagExit(rtl::Object& Sender);
  void udStopFlagClick(rtl::Object& Sender, gui::UDBtnType Button);
  void cboModelIDChange(rtl::Object& Sender);
  void edtModelIDExit(rtl::Object& Sender);
  void udModelIDClick(rtl::Object& Sender, gui::UDBtnType Button);

  // The application's exception hook that was in place when the dialog was
  // created; put back when it is destroyed.
  std::function<void(rtl::Object* Sender, const std::exception& E)> SaveApplicationOnException;
  std::unique_ptr<TProcList> fGetProcs;
  TScanerX* fScaner = nullptr;
};
