// A small program on the GUI library, driven from another process by
// DriverTest.cpp through the UI driver's messages.
#include <windows.h>

#include "gui/Gui.h"
#include "rtl/Exceptions.h"

namespace {

class TfmSample : public gui::Form {
 public:
  TfmSample() : gui::Form(L"fmSample") {
    SetCaption(L"Образец формы");
    SetBorderStyle(gui::BorderStyle::Single);
    SetPosition(gui::Position::ScreenCenter);
    SetClientSize(300, 160);
    edtName.SetBounds(8, 8, 150, 21);
    edtName.SetMaxLength(24);
    cboBaud.SetBounds(8, 36, 150, 21);
    cboBaud.AddItem(L"4800", 6);
    cboBaud.AddItem(L"9600", 7);
    cboBaud.OnChange = [this](rtl::Object&) {
      lblStatus.SetText(L"value=" + std::to_wstring(cboBaud.ItemValue(cboBaud.ItemIndex())));
    };
    chkFlag.SetBounds(8, 64, 150, 17);
    chkFlag.OnClick = [this](rtl::Object&) {
      lblStatus.SetText(chkFlag.Checked() ? L"checked" : L"unchecked");
    };
    lblStatus.SetBounds(8, 90, 0, 0);
    btnOk.SetBounds(170, 8, 120, 25);
    btnOk.SetDefault(true);
    btnOk.OnClick = [this](rtl::Object&) {
      if (edtName.Text() == L"boom") throw rtl::EConvertError(L"\"boom\" не является целым числом");
      lblStatus.SetText(L"ok:" + edtName.Text());
    };
    btnClose.SetBounds(170, 128, 120, 25);
    btnClose.SetCancel(true);
    btnClose.OnClick = [this](rtl::Object&) { Close(); };
    SetActiveControl(&edtName);
  }

 private:
  gui::Edit edtName{*this, L"edtName"};
  gui::ComboBox cboBaud{*this, L"cboBaud"};
  gui::CheckBox chkFlag{*this, L"chkFlag", L"Флаг"};
  gui::Label lblStatus{*this, L"lblStatus", L"ready"};
  gui::Button btnOk{*this, L"btnOk", L"OK"};
  gui::Button btnClose{*this, L"btnClose", L"Закрыть"};
};

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  auto& app = gui::Application::Instance();
  app.Initialize();
  app.SetTitle(L"Образец");
  TfmSample form;
  app.SetMainForm(form);
  app.Run();
  return 7;  // a mark the driving test checks, so a crash does not pass for an exit
}
