// The About box: title, the version lines it is given, the developer's name,
// address, web site and support mail, and the developer's logo.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "gui/Form.h"
#include "gui/StdCtrls.h"

// The developer's addresses as the box shows them (and opens them).
inline constexpr wchar_t kDeveloperWebSite[] = L"http://www.ntc-ortvel.ru";
inline constexpr wchar_t kDeveloperSupportMail[] = L"support@ntc-ortvel.ru";

class TfmAbout : public gui::Form {
 public:
  // Runs FormCreate before it returns; raises when the logo cannot be loaded.
  TfmAbout();
  ~TfmAbout() override;

  gui::Label& NameLabel = Add<gui::Label>(L"NameLabel");
  gui::Bevel& bvlInfo = Add<gui::Bevel>(L"bvlInfo");
  gui::Label& lblFirmName = Add<gui::Label>(L"lblFirmName", L"Разработка: НТЦ \"Ортвел\"");
  gui::Label& lblAddress =
      Add<gui::Label>(L"lblAddress", L"194044, Санкт-Петербург, а/я 57\rТел./факс: (812) 555-47-19");
  gui::ListBox& lbVersion = Add<gui::ListBox>(L"lbVersion");
  gui::Label& lblWebSite = Add<gui::Label>(L"lblWebSite", L"Наш Web-сайт:");
  gui::Label& lblURL = Add<gui::Label>(L"lblURL", kDeveloperWebSite);
  gui::Label& lblSupport = Add<gui::Label>(L"lblSupport", L"Тех. поддержка:");
  gui::Label& lblSupportMail = Add<gui::Label>(L"lblSupportMail", kDeveloperSupportMail);
  gui::Button& btnOK = Add<gui::Button>(L"btnOK", L"OK");

  // The logo as loaded (for tests and painting).
  HBITMAP Logo() const noexcept { return FBmp.get(); }

 private:
  struct BitmapDeleter {
    void operator()(HBITMAP bitmap) const noexcept { DeleteObject(bitmap); }
  };
  using TBitmap = std::unique_ptr<std::remove_pointer_t<HBITMAP>, BitmapDeleter>;

  void LayOut();
  void FormCreate(rtl::Object& Sender);
  void FormDestroy(rtl::Object& Sender);
  void FormShow(rtl::Object& Sender);
  void FormPaint(gui::Form& Sender, HDC Canvas);
  void lblURLClick(rtl::Object& Sender);
  void lblSupportMailClick(rtl::Object& Sender);

  TBitmap FBmp;
};

// Shows the About box modally in front of ParentWnd, titled ACaption, with
// one list line per string of Info; returns when the operator closes it.
void ShowAboutBox(HWND ParentWnd, const std::wstring& ACaption, std::vector<std::wstring> Info);
