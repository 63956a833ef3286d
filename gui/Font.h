// A font as a value: the attributes are plain fields, and the GDI font is made
// from them when a window asks for it. Copies share the GDI object until one
// of them changes an attribute; the object is freed with its last holder.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace gui {

struct FontStyles {
  bool Bold = false;
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  bool operator==(const FontStyles&) const = default;
};

class Font {
 public:
  std::wstring Name = L"MS Sans Serif";
  int Size = 8;  // points
  COLORREF Color = 0;
  int Charset = DEFAULT_CHARSET;
  FontStyles Style;

  // The GDI font for the current attributes (the colour is not part of it).
  // Valid while this object, or a copy made after the call, is unchanged.
  HFONT Handle() const;
  // Pixel height for the screen's DPI (negative: character height).
  int Height() const;

  bool operator==(const Font& other) const {
    return Name == other.Name && Size == other.Size && Color == other.Color && Charset == other.Charset &&
           Style == other.Style;
  }

 private:
  struct Cache;
  mutable std::shared_ptr<Cache> fCache;
};

}  // namespace gui
