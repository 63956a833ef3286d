#include "Fmu/fmuLgDev.h"

#include <algorithm>
#include <limits>

#include "gui/Application.h"
#include "rtl/TryFinally.h"

namespace {

const wchar_t kCaption[] = L"Тест свойств устройств";
constexpr int kEditHeight = 21;
constexpr int kNameLength = 24;
constexpr int kDeviceListSize = 99;
constexpr int kModelListWidth = 200;

using rtl::TryFinally;

std::int32_t SelectedValue(const gui::ComboBox& list) {
  return static_cast<std::int32_t>(list.ItemValue(list.ItemIndex()));
}

// An up-down holds a 16-bit position within 0 to 100; a driver value beyond
// 16 bits stands at the nearer end instead of wrapping to an unrelated number.
std::int16_t UpDownPosition(std::int32_t value) {
  return static_cast<std::int16_t>(std::clamp<std::int32_t>(value, std::numeric_limits<std::int16_t>::min(),
                                                            std::numeric_limits<std::int16_t>::max()));
}

}  // namespace

// --- unit-level routines ------------------------------------------------------

void ShowDevicesProperties(TScanerX& Scaner, const gui::Font& Font) {
  const auto dialog = std::make_unique<TfmDevices>();
  dialog->Init(Scaner, Font);
  dialog->ShowModal();
}

void FillComboBox(gui::ComboBox& ComboBox, std::span<const TComboItem> ComboItems) {
  ComboBox.BeginUpdate();
  TryFinally(
      [&] {
        ComboBox.Clear();
        for (const TComboItem cboItem : ComboItems) {
          ComboBox.AddItem(std::wstring(cboItem.ItemName), cboItem.ItemValue);
        }
      },
      [&] { ComboBox.EndUpdate(); });
}

// --- construction -------------------------------------------------------------

TfmDevices::TfmDevices() : gui::Form(L"fmDevices") {
  LayOut();
  BindEvents();
  AddProceduresOfObject(fGetProcs, {
                                       [this] { GetLastResult(); },
                                       [this] { GetDeviceName(); },
                                       [this] { GetDeviceIndex(); },
                                       [this] { GetDeviceNumber(); },
                                       [this] { GetDeviceEnabled(); },
                                       [this] { GetDeviceCount(); },
                                       [this] { GetPortNumber(); },
                                       [this] { GetBaudRate(); },
                                       [this] { GetParity(); },
                                       [this] { GetDataBits(); },
                                       [this] { GetStopBits(); },
                                       [this] { GetStopFlag(); },
                                       [this] { GetModelID(); },
                                   });
  FormCreate(*this);
}

TfmDevices::~TfmDevices() {
  FormDestroy(*this);
  DestroyHooks(fGetProcs);
}

void TfmDevices::LayOut() {
  SetCaption(kCaption);
  SetBorderStyle(gui::BorderStyle::Dialog);
  SetBorderIcons({.SystemMenu = true, .Minimize = false, .Maximize = false});
  SetPosition(gui::Position::ScreenCenter);
  SetClientSize(478, 416);

  Label1.SetBounds(8, 8, 0, 0);
  topPanel.SetBounds(8, 24, 337, 61);
  Label2.SetBounds(8, 8, 0, 0);
  cbDeviceIndex.SetBounds(88, 8, 153, kEditHeight);
  Label3.SetBounds(8, 32, 0, 0);
  cbDeviceNumber.SetBounds(88, 32, 153, kEditHeight);
  Label4.SetBounds(248, 8, 0, 0);
  edtDeviceCount.SetBounds(248, 32, 81, kEditHeight);
  edtDeviceCount.SetReadOnly(true);
  for (int i = 0; i < kDeviceListSize; ++i) {
    cbDeviceIndex.AddItem(std::to_wstring(i));
    cbDeviceNumber.AddItem(std::to_wstring(i + 1));
  }

  Label14.SetBounds(8, 92, 0, 0);
  bottomPanel.SetBounds(8, 112, 337, 233);
  Label12.SetBounds(8, 8, 0, 0);
  edtDeviceName.SetBounds(88, 8, 241, kEditHeight);
  edtDeviceName.SetMaxLength(kNameLength);

  struct Row {
    gui::Label& Caption;
    gui::ComboBox& List;
    gui::Edit& Editor;
    gui::UpDown& Steps;
    int Top;
  };
  for (const Row& row : {Row{Label13, cboPortNumber, edtPortNumber, udPortNumber, 32},
                         Row{Label9, cboBaudRate, edtBaudRate, udBaudRate, 56},
                         Row{Label6, cboParity, edtParity, udParity, 80},
                         Row{Label16, cboDataBits, edtDataBits, udDataBits, 104},
                         Row{Label17, cboStopBits, edtStopBits, udStopBits, 128},
                         Row{Label18, cboStopFlag, edtStopFlag, udStopFlag, 152},
                         Row{Label19, cboModelID, edtModelID, udModelID, 176}}) {
    row.Caption.SetBounds(8, row.Top, 0, 0);
    row.List.SetBounds(88, row.Top, 153, kEditHeight);
    row.Editor.SetBounds(248, row.Top, 65, kEditHeight);
    row.Steps.SetBounds(312, row.Top - 1, 16, 24);
    row.Steps.SetMin(0);
    row.Steps.SetMax(100);
    row.Steps.SetPosition(0);
  }
  Shape2.SetBounds(8, 201, 321, 1);
  chkDeviceEnabled.SetBounds(88, 204, 244, 18);

  Shape1.SetBounds(8, 352, 337, 1);
  Caption1.SetBounds(8, 360, 0, 0);
  edtResultCode.SetBounds(76, 360, 269, kEditHeight);
  Caption2.SetBounds(8, 388, 0, 0);
  edtResultDescription.SetBounds(76, 388, 269, kEditHeight);
  for (gui::Edit* edit : {&edtResultCode, &edtResultDescription}) {
    edit->SetReadOnly(true);
    edit->SetTabStop(false);
  }
  Bevel1.SetShape(gui::BevelShape::LeftLine);
  Bevel1.SetBounds(352, 24, 2, 385);
  Label15.SetBounds(360, 8, 0, 0);
  btnAdd.SetBounds(360, 24, 113, 25);
  btnDelete.SetBounds(360, 56, 113, 25);
  btnClose.SetBounds(360, 384, 113, 25);
  SetActiveControl(&btnClose);
}

void TfmDevices::BindEvents() {
  cbDeviceIndex.OnChange = [this](rtl::Object& s) { DeviceIndexClick(s); };
  cbDeviceNumber.OnChange = [this](rtl::Object& s) { DeviceNumberClick(s); };
  edtDeviceName.OnExit = [this](rtl::Object& s) { edtDeviceNameExit(s); };
  chkDeviceEnabled.OnClick = [this](rtl::Object& s) { chkDeviceEnabledClick(s); };
  btnAdd.OnClick = [this](rtl::Object& s) { btnAddClick(s); };
  btnDelete.OnClick = [this](rtl::Object& s) { btnDeleteClick(s); };
  btnClose.OnClick = [this](rtl::Object& s) { btnCloseClick(s); };

  cboPortNumber.OnChange = [this](rtl::Object& s) { cboPortNumberChange(s); };
  edtPortNumber.OnExit = [this](rtl::Object& s) { edtPortNumberExit(s); };
  udPortNumber.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udPortNumberClick(s, b); };
  cboBaudRate.OnChange = [this](rtl::Object& s) { cboBaudRateChange(s); };
  edtBaudRate.OnExit = [this](rtl::Object& s) { edtBaudRateExit(s); };
  udBaudRate.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udBaudRateClick(s, b); };
  cboParity.OnChange = [this](rtl::Object& s) { cboParityChange(s); };
  edtParity.OnExit = [this](rtl::Object& s) { edtParityExit(s); };
  udParity.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udParityClick(s, b); };
  cboDataBits.OnChange = [this](rtl::Object& s) { cboDataBitsChange(s); };
  edtDataBits.OnExit = [this](rtl::Object& s) { edtDataBitsExit(s); };
  udDataBits.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udDataBitsClick(s, b); };
  cboStopBits.OnChange = [this](rtl::Object& s) { cboStopBitsChange(s); };
  edtStopBits.OnExit = [this](rtl::Object& s) { edtStopBitsExit(s); };
  udStopBits.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udStopBitsClick(s, b); };
  cboStopFlag.OnChange = [this](rtl::Object& s) { cboStopFlagChange(s); };
  edtStopFlag.OnExit = [this](rtl::Object& s) { edtStopFlagExit(s); };
  udStopFlag.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udStopFlagClick(s, b); };
  cboModelID.OnChange = [this](rtl::Object& s) { cboModelIDChange(s); };
  edtModelID.OnExit = [this](rtl::Object& s) { edtModelIDExit(s); };
  udModelID.OnClick = [this](rtl::Object& s, gui::UDBtnType b) { udModelIDClick(s, b); };

  for (gui::Edit* edit : {&edtDeviceName, &edtPortNumber, &edtBaudRate, &edtParity, &edtDataBits,
                          &edtStopBits, &edtStopFlag, &edtModelID}) {
    edit->OnKeyDown = [this](rtl::Object& s, WORD& key, gui::ShiftState shift) {
      EditorKeyDown(s, key, shift);
    };
    edit->OnKeyPress = [this](rtl::Object& s, wchar_t& key) { EditorKeyPress(s, key); };
  }
}

void TfmDevices::FormCreate(rtl::Object& /*Sender*/) {
  gui::Application& app = gui::Application::Instance();
  SaveApplicationOnException = app.OnException;
  app.OnException = [this](rtl::Object* s, const std::exception& e) { ApplicationException(s, e); };
  FillPortNumber();
  FillBaudRate();
  FillParity();
  FillDataBits();
  FillStopBits();
  FillStopFlag();
  FillModelID();
}

void TfmDevices::FormDestroy(rtl::Object& /*Sender*/) {
  // Whatever hook is in place now gives way to the one found at creation.
  gui::Application::Instance().OnException = std::move(SaveApplicationOnException);
}

void TfmDevices::Init(TScanerX& AScaner, const gui::Font& AFont) {
  fScaner = &AScaner;
  SetFont(AFont);
  UpdateForm();
}

void TfmDevices::UpdateForm() { CallProceduresOfObject(fGetProcs.get()); }

void TfmDevices::ApplicationException(rtl::Object* /*Sender*/, const std::exception& E) {
  edtResultDescription.SetText(gui::ExceptionMessage(E));
}

// --- list fillers ---------------------------------------------------------------

void TfmDevices::FillPortNumber() {
  cboPortNumber.BeginUpdate();
  TryFinally(
      [this] {
        cboPortNumber.Clear();
        for (std::int32_t port = kFirstListedPort; port <= kLastListedPort; ++port) {
          cboPortNumber.AddItem(PortItemName(port), port);
        }
      },
      [this] { cboPortNumber.EndUpdate(); });
}

void TfmDevices::FillBaudRate() { FillComboBox(cboBaudRate, BaudRates); }
void TfmDevices::FillParity() { FillComboBox(cboParity, Parities); }
void TfmDevices::FillDataBits() { FillComboBox(cboDataBits, DataBits); }
void TfmDevices::FillStopBits() { FillComboBox(cboStopBits, StopBits); }
void TfmDevices::FillStopFlag() { FillComboBox(cboStopFlag, StopFlag); }

void TfmDevices::FillModelID() {
  FillComboBox(cboModelID, ModelID);
  // The model names are longer than the closed list is wide.
  cboModelID.SetDroppedWidth(kModelListWidth);
}

// --- refresh --------------------------------------------------------------------

void TfmDevices::GetLastResult() {
  edtResultCode.SetText(std::to_wstring(fScaner->GetResultCode()));
  edtResultDescription.SetText(fScaner->GetResultDescription());
}

void TfmDevices::GetDeviceName() {
  try {
    edtDeviceName.SetText(fScaner->GetCurrentDeviceName());
  } catch (const std::exception& e) {
    edtDeviceName.SetText(gui::ExceptionMessage(e));
  }
}

void TfmDevices::GetDeviceIndex() {
  try {
    SafeSetComboBox(cbDeviceIndex, fScaner->GetCurrentDeviceIndex());
  } catch (...) {
    // The list keeps its selection.
  }
}

void TfmDevices::GetDeviceNumber() {
  try {
    SafeSetComboBox(cbDeviceNumber, fScaner->GetCurrentDeviceNumber() - 1);
  } catch (...) {
    // The list keeps its selection.
  }
}

void TfmDevices::GetDeviceEnabled() { SafeSetChecked(chkDeviceEnabled, fScaner->GetDeviceEnabled()); }

void TfmDevices::GetDeviceCount() {
  try {
    edtDeviceCount.SetText(std::to_wstring(fScaner->GetDeviceCount()));
  } catch (const std::exception& e) {
    edtDeviceCount.SetText(gui::ExceptionMessage(e));
  }
}

void TfmDevices::GetParam(gui::ComboBox& List, gui::Edit& Editor, gui::UpDown& Steps,
                          std::int32_t (TScanerX::*Read)()) {
  try {
    const std::int32_t value = (fScaner->*Read)();
    SafeSetComboBox(List, List.IndexOfValue(value));
    Editor.SetText(std::to_wstring(value));
    Steps.SetPosition(UpDownPosition(value));
  } catch (const std::exception& e) {
    Editor.SetText(gui::ExceptionMessage(e));
  }
}

void TfmDevices::GetPortNumber() {
  GetParam(cboPortNumber, edtPortNumber, udPortNumber, &TScanerX::GetPortNumber);
}
void TfmDevices::GetBaudRate() { GetParam(cboBaudRate, edtBaudRate, udBaudRate, &TScanerX::GetBaudRate); }
void TfmDevices::GetParity() { GetParam(cboParity, edtParity, udParity, &TScanerX::GetParity); }
void TfmDevices::GetDataBits() { GetParam(cboDataBits, edtDataBits, udDataBits, &TScanerX::GetDataBits); }
void TfmDevices::GetStopBits() { GetParam(cboStopBits, edtStopBits, udStopBits, &TScanerX::GetStopBits); }
void TfmDevices::GetStopFlag() { GetParam(cboStopFlag, edtStopFlag, udStopFlag, &TScanerX::GetStopFlag); }
void TfmDevices::GetModelID() { GetParam(cboModelID, edtModelID, udModelID, &TScanerX::GetModel); }

// --- writers ----------------------------------------------------------------------

void TfmDevices::SetDeviceName() { fScaner->SetCurrentDeviceName(edtDeviceName.Text()); }
void TfmDevices::SetDeviceIndex() { fScaner->SetCurrentDeviceIndex(cbDeviceIndex.ItemIndex()); }
void TfmDevices::SetDeviceNumber() { fScaner->SetCurrentDeviceNumber(cbDeviceNumber.ItemIndex() + 1); }
void TfmDevices::SetDeviceEnabled() { fScaner->SetDeviceEnabled(chkDeviceEnabled.Checked()); }

void TfmDevices::SetComboPortNumber() { fScaner->SetPortNumber(SelectedValue(cboPortNumber)); }
void TfmDevices::SetEditPortNumber() { fScaner->SetPortNumber(StrToIntRus(edtPortNumber.Text())); }
void TfmDevices::SetUDPortNumber() { fScaner->SetPortNumber(udPortNumber.Position()); }
void TfmDevices::SetComboBaudRate() { fScaner->SetBaudRate(SelectedValue(cboBaudRate)); }
void TfmDevices::SetEditBaudRate() { fScaner->SetBaudRate(StrToIntRus(edtBaudRate.Text())); }
void TfmDevices::SetUDBaudRate() { fScaner->SetBaudRate(udBaudRate.Position()); }
void TfmDevices::SetComboParity() { fScaner->SetParity(SelectedValue(cboParity)); }
void TfmDevices::SetEditParity() { fScaner->SetParity(StrToIntRus(edtParity.Text())); }
void TfmDevices::SetUDParity() { fScaner->SetParity(udParity.Position()); }
void TfmDevices::SetComboDataBits() { fScaner->SetDataBits(SelectedValue(cboDataBits)); }
void TfmDevices::SetEditDataBits() { fScaner->SetDataBits(StrToIntRus(edtDataBits.Text())); }
void TfmDevices::SetUDDataBits() { fScaner->SetDataBits(udDataBits.Position()); }
void TfmDevices::SetComboStopBits() { fScaner->SetStopBits(SelectedValue(cboStopBits)); }
void TfmDevices::SetEditStopBits() { fScaner->SetStopBits(StrToIntRus(edtStopBits.Text())); }
void TfmDevices::SetUDStopBits() { fScaner->SetStopBits(udStopBits.Position()); }
void TfmDevices::SetComboStopFlag() { fScaner->SetStopFlag(SelectedValue(cboStopFlag)); }
void TfmDevices::SetEditStopFlag() { fScaner->SetStopFlag(StrToIntRus(edtStopFlag.Text())); }
void TfmDevices::SetUDStopFlag() { fScaner->SetStopFlag(udStopFlag.Position()); }
void TfmDevices::SetComboModelID() { fScaner->SetModel(SelectedValue(cboModelID)); }
void TfmDevices::SetEditModelID() { fScaner->SetModel(StrToIntRus(edtModelID.Text())); }
void TfmDevices::SetUDModelID() { fScaner->SetModel(udModelID.Position()); }

// --- handlers -----------------------------------------------------------------------

void TfmDevices::Act(const std::function<void()>& Write) {
  TryFinally(Write, [this] { UpdateForm(); });
}

void TfmDevices::DeviceIndexClick(rtl::Object&) {
  Act([this] { SetDeviceIndex(); });
}
void TfmDevices::DeviceNumberClick(rtl::Object&) {
  Act([this] { SetDeviceNumber(); });
}
void TfmDevices::edtDeviceNameExit(rtl::Object&) {
  Act([this] { SetDeviceName(); });
}
void TfmDevices::chkDeviceEnabledClick(rtl::Object&) {
  Act([this] { SetDeviceEnabled(); });
}
void TfmDevices::btnAddClick(rtl::Object&) {
  Act([this] { fScaner->AddDevice(); });
}
void TfmDevices::btnDeleteClick(rtl::Object&) {
  Act([this] { fScaner->DeleteDevice(); });
}
void TfmDevices::btnCloseClick(rtl::Object&) { Close(); }

void TfmDevices::EditorKeyDown(rtl::Object& Sender, WORD& Key, gui::ShiftState /*Shift*/) {
  // Enter acts as leaving the edit: its value is written and the dialog
  // refreshed, while the focus stays where it is.
  if (Key != VK_RETURN) return;
  if (auto* edit = dynamic_cast<gui::Edit*>(&Sender); edit != nullptr && edit->OnExit) {
    edit->OnExit(*edit);
  }
}

void TfmDevices::EditorKeyPress(rtl::Object& /*Sender*/, wchar_t& Key) {
  // A single-line edit would beep at these; Enter has done its work above.
  if (Key == L'\r' || Key == L'\x1B') Key = L'\0';
}

void TfmDevices::cboPortNumberChange(rtl::Object&) {
  Act([this] { SetComboPortNumber(); });
}
void TfmDevices::edtPortNumberExit(rtl::Object&) {
  Act([this] { SetEditPortNumber(); });
}
void TfmDevices::udPortNumberClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDPortNumber(); });
}
void TfmDevices::cboBaudRateChange(rtl::Object&) {
  Act([this] { SetComboBaudRate(); });
}
void TfmDevices::edtBaudRateExit(rtl::Object&) {
  Act([this] { SetEditBaudRate(); });
}
void TfmDevices::udBaudRateClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDBaudRate(); });
}
void TfmDevices::cboParityChange(rtl::Object&) {
  Act([this] { SetComboParity(); });
}
void TfmDevices::edtParityExit(rtl::Object&) {
  Act([this] { SetEditParity(); });
}
void TfmDevices::udParityClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDParity(); });
}
void TfmDevices::cboDataBitsChange(rtl::Object&) {
  Act([this] { SetComboDataBits(); });
}
void TfmDevices::edtDataBitsExit(rtl::Object&) {
  Act([this] { SetEditDataBits(); });
}
void TfmDevices::udDataBitsClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDDataBits(); });
}
void TfmDevices::cboStopBitsChange(rtl::Object&) {
  Act([this] { SetComboStopBits(); });
}
void TfmDevices::edtStopBitsExit(rtl::Object&) {
  Act([this] { SetEditStopBits(); });
}
void TfmDevices::udStopBitsClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDStopBits(); });
}
void TfmDevices::cboStopFlagChange(rtl::Object&) {
  Act([this] { SetComboStopFlag(); });
}
void TfmDevices::edtStopFlagExit(rtl::Object&) {
  Act([this] { SetEditStopFlag(); });
}
void TfmDevices::udStopFlagClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDStopFlag(); });
}
void TfmDevices::cboModelIDChange(rtl::Object&) {
  Act([this] { SetComboModelID(); });
}
void TfmDevices::edtModelIDExit(rtl::Object&) {
  Act([this] { SetEditModelID(); });
}
void TfmDevices::udModelIDClick(rtl::Object&, gui::UDBtnType) {
  Act([this] { SetUDModelID(); });
}
