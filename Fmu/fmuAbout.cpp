#include "Fmu/fmuAbout.h"

#include <shellapi.h>

#include "rtl/Exceptions.h"

namespace {

const wchar_t kLogoResource[] = L"LOGOBMP";

// Selects a GDI object into a device context for one scope and frees it
// afterwards (when owned).
class TSelected {
 public:
  TSelected(HDC dc, HGDIOBJ object, bool owned) : fDc(dc), fObject(object), fOwned(owned) {
    fOld = SelectObject(dc, object);
  }
  ~TSelected() {
    SelectObject(fDc, fOld);
    if (fOwned) DeleteObject(fObject);
  }
  TSelected(const TSelected&) = delete;
  TSelected& operator=(const TSelected&) = delete;

 private:
  HDC fDc;
  HGDIOBJ fObject;
  HGDIOBJ fOld;
  bool fOwned;
};

// A memory device context compatible with another one.
class TMemoryDC {
 public:
  explicit TMemoryDC(HDC like) : fDc(CreateCompatibleDC(like)) {}
  ~TMemoryDC() {
    if (fDc) DeleteDC(fDc);
  }
  TMemoryDC(const TMemoryDC&) = delete;
  TMemoryDC& operator=(const TMemoryDC&) = delete;
  HDC get() const noexcept { return fDc; }

 private:
  HDC fDc;
};

void Line(HDC dc, int x0, int y0, int x1, int y1) {
  MoveToEx(dc, x0, y0, nullptr);
  LineTo(dc, x1, y1);
}

void OpenWithShell(const std::wstring& target) {
  // Whether a browser or mail program could be started is not reported.
  ShellExecuteW(GetDesktopWindow(), L"open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

}  // namespace

TfmAbout::TfmAbout() : gui::Form(L"fmAbout") {
  LayOut();
  FormCreate(*this);
}

TfmAbout::~TfmAbout() { FormDestroy(*this); }

void TfmAbout::LayOut() {
  SetCaption(L"О драйвере");
  SetBorderStyle(gui::BorderStyle::Dialog);
  SetBorderIcons({.SystemMenu = false, .Minimize = false, .Maximize = false});
  SetPosition(gui::Position::ScreenCenter);
  SetClientSize(335, 232);
  gui::Font font;
  font.Name = L"MS Sans Serif";
  font.Size = 8;
  font.Charset = RUSSIAN_CHARSET;
  SetFont(font);

  const auto fixed = [](gui::Label& label, int left, int top, int width, int height) {
    label.SetAutoSize(false);
    label.SetBounds(left, top, width, height);
  };
  fixed(NameLabel, 88, 4, 249, 25);
  bvlInfo.SetShape(gui::BevelShape::Box);
  bvlInfo.SetStyle(gui::BevelStyle::Lowered);
  bvlInfo.SetBounds(88, 34, 241, 57);
  // Children made later lie beneath earlier ones: the frame goes behind the
  // name and address it surrounds.
  SetWindowPos(bvlInfo.Handle(), HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  fixed(lblFirmName, 93, 37, 225, 13);
  gui::Font firmFont = font;
  firmFont.Style.Bold = true;
  lblFirmName.SetFont(firmFont);
  lblAddress.SetBounds(92, 50, 192, 26);
  lbVersion.SetBounds(88, 96, 241, 45);
  lbVersion.SetTabStop(false);
  lbVersion.SetItemHeight(13);
  fixed(lblWebSite, 88, 146, 97, 13);
  fixed(lblURL, 192, 146, 145, 13);
  fixed(lblSupport, 88, 162, 97, 13);
  fixed(lblSupportMail, 192, 162, 145, 13);
  for (gui::Label* label :
       {&NameLabel, &lblFirmName, &lblAddress, &lblWebSite, &lblURL, &lblSupport, &lblSupportMail}) {
    label->SetTransparent(true);
  }
  const HCURSOR hand = LoadCursorW(nullptr, IDC_HAND);
  lblURL.SetCursor(hand);
  lblSupportMail.SetCursor(hand);
  btnOK.SetBounds(128, 202, 89, 25);
  btnOK.SetDefault(true);
  btnOK.SetCancel(true);
  btnOK.SetModalResult(gui::mrOk);

  OnShow = [this](rtl::Object& s) { FormShow(s); };
  OnPaint = [this](gui::Form& s, HDC canvas) { FormPaint(s, canvas); };
  lblURL.OnClick = [this](rtl::Object& s) { lblURLClick(s); };
  lblSupportMail.OnClick = [this](rtl::Object& s) { lblSupportMailClick(s); };
}

void TfmAbout::FormCreate(rtl::Object&) {
  const auto bitmap = static_cast<HBITMAP>(
      LoadImageW(GetModuleHandleW(nullptr), kLogoResource, IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
  if (bitmap == nullptr) {
    const DWORD error = GetLastError();
    throw rtl::EOSError(L"Cannot load the bitmap resource " + std::wstring(kLogoResource), error);
  }
  FBmp.reset(bitmap);
}

void TfmAbout::FormDestroy(rtl::Object&) { FBmp.reset(); }

void TfmAbout::FormShow(rtl::Object&) {
  // The title and the links take the form's font whatever the layout gave
  // them, so a different form font carries over to them too.
  const gui::Font fFont = Font();
  gui::Font title = fFont;
  title.Color = RGB(0, 0, 128);
  title.Style.Bold = true;
  title.Size += 4;
  NameLabel.SetFont(title);
  gui::Font link = fFont;
  link.Color = RGB(0, 0, 255);
  link.Style.Underline = true;
  lblURL.SetFont(link);
  lblSupportMail.SetFont(lblURL.Font());
}

void TfmAbout::FormPaint(gui::Form&, HDC Canvas) {
  const int width = ClientWidth();
  const RECT panel{5, 7, 81, 190};
  FillRect(Canvas, &panel, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  {
    const TSelected grey(Canvas, CreatePen(PS_SOLID, 1, RGB(128, 128, 128)), true);
    Line(Canvas, 5, 7, 81, 7);
    Line(Canvas, 5, 7, 5, 190);
  }
  {
    const TSelected black(Canvas, GetStockObject(BLACK_PEN), false);
    Line(Canvas, 88, 26, width, 26);
    Line(Canvas, 88, 28, width, 28);
    Line(Canvas, 0, 196, width, 196);
  }
  if (FBmp) {
    BITMAP info{};
    GetObjectW(FBmp.get(), sizeof(info), &info);
    const TMemoryDC memory(Canvas);
    const TSelected logo(memory.get(), FBmp.get(), false);
    BitBlt(Canvas, 10, 15, info.bmWidth, info.bmHeight, memory.get(), 0, 0, SRCCOPY);
  }
}

void TfmAbout::lblURLClick(rtl::Object&) { OpenWithShell(kDeveloperWebSite); }

void TfmAbout::lblSupportMailClick(rtl::Object&) {
  OpenWithShell(L"mailto:" + std::wstring(kDeveloperSupportMail));
}

void ShowAboutBox(HWND ParentWnd, const std::wstring& ACaption, std::vector<std::wstring> Info) {
  TfmAbout fm;
  // Owned by the caller's window, the box stays in front of it.
  SetWindowLongPtrW(fm.Handle(), GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(ParentWnd));
  fm.NameLabel.SetText(ACaption);
  for (const std::wstring& line : Info) {
    fm.lbVersion.AddItem(line);
  }
  fm.ShowModal(ParentWnd);
}
