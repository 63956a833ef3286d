#include "gui/Font.h"

#include "rtl/Exceptions.h"

namespace gui {

struct Font::Cache {
  std::wstring Name;
  int Size;
  int Charset;
  FontStyles Style;
  HFONT Handle = nullptr;

  Cache(const Font& f) : Name(f.Name), Size(f.Size), Charset(f.Charset), Style(f.Style) {}
  Cache(const Cache&) = delete;
  Cache& operator=(const Cache&) = delete;
  ~Cache() {
    if (Handle) DeleteObject(Handle);
  }
  bool Matches(const Font& f) const {
    return Name == f.Name && Size == f.Size && Charset == f.Charset && Style == f.Style;
  }
};

int Font::Height() const {
  HDC screen = GetDC(nullptr);
  const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 96;
  if (screen) ReleaseDC(nullptr, screen);
  return -MulDiv(Size, dpi, 72);
}

HFONT Font::Handle() const {
  if (fCache && fCache->Matches(*this)) return fCache->Handle;
  auto cache = std::make_shared<Cache>(*this);
  LOGFONTW lf{};
  lf.lfHeight = Height();
  lf.lfWeight = Style.Bold ? FW_BOLD : FW_NORMAL;
  lf.lfItalic = Style.Italic;
  lf.lfUnderline = Style.Underline;
  lf.lfStrikeOut = Style.StrikeOut;
  lf.lfCharSet = static_cast<BYTE>(Charset);
  lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
  lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
  lf.lfQuality = DEFAULT_QUALITY;
  lf.lfPitchAndFamily = DEFAULT_PITCH;
  Name.copy(lf.lfFaceName, LF_FACESIZE - 1);
  cache->Handle = CreateFontIndirectW(&lf);
  if (!cache->Handle) throw rtl::EOSError(L"Cannot create the font " + Name, GetLastError());
  fCache = std::move(cache);
  return fCache->Handle;
}

}  // namespace gui
