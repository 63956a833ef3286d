#include "crashreport/screenshot/TrScreenshot.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "crashreport/screenshot/TrOctree.h"
#include "crashreport/screenshot/TrScreenArea.h"

namespace tracira {

namespace {

// --- Handles -------------------------------------------------------------

struct TGdiObjectDelete {
  void operator()(HGDIOBJ object) const noexcept { DeleteObject(object); }
};
template <class Handle>
using TGdiObject = std::unique_ptr<std::remove_pointer_t<Handle>, TGdiObjectDelete>;

struct TMemoryDcDelete {
  void operator()(HDC dc) const noexcept { DeleteDC(dc); }
};
using TMemoryDc = std::unique_ptr<HDC__, TMemoryDcDelete>;

struct TWindowDcRelease {
  HWND Window = nullptr;
  void operator()(HDC dc) const noexcept { ReleaseDC(Window, dc); }
};
using TWindowDc = std::unique_ptr<HDC__, TWindowDcRelease>;

TWindowDc ScreenDc() { return TWindowDc(GetDC(nullptr), TWindowDcRelease{nullptr}); }

// Selects an object into a device context for the lifetime of this guard.
class TSelection {
 public:
  TSelection(HDC dc, HGDIOBJ object) : fDc(dc), fOld(SelectObject(dc, object)) {}
  ~TSelection() {
    if (fOld != nullptr && fOld != HGDI_ERROR) SelectObject(fDc, fOld);
  }
  TSelection(const TSelection&) = delete;
  TSelection& operator=(const TSelection&) = delete;
  bool Ok() const noexcept { return fOld != nullptr && fOld != HGDI_ERROR; }

 private:
  HDC fDc;
  HGDIOBJ fOld;
};

class TPaletteSelection {
 public:
  TPaletteSelection(HDC dc, HPALETTE palette) : fDc(dc), fOld(SelectPalette(dc, palette, FALSE)) {
    if (fOld != nullptr) RealizePalette(dc);
  }
  ~TPaletteSelection() {
    if (fOld != nullptr) SelectPalette(fDc, fOld, FALSE);
  }
  TPaletteSelection(const TPaletteSelection&) = delete;
  TPaletteSelection& operator=(const TPaletteSelection&) = delete;

 private:
  HDC fDc;
  HPALETTE fOld;
};

// --- The one screenshot ----------------------------------------------------

struct TScreenshotState {
  HWND PNG_HWindow = nullptr;
  TWindowDc PNG_DCScreen;
  TMemoryDc PNG_DCCompatible;
  TGdiObject<HBITMAP> PNG_Bitmap;
  bool PNG_UsePal = false;
  TGdiObject<HPALETTE> PNG_pal;
  HWND PNG_FocusWnd = nullptr;
  HCURSOR PNG_Cursor = nullptr;
  std::int32_t PNG_Width = 0;
  std::int32_t PNG_Height = 0;
  std::int32_t PNG_RowBytes = 0;
};

std::mutex gLock;
TScreenshotState gShot;

void FreeLocked() {
  // Palette and bitmap are no longer selected anywhere (the capture put the
  // previous selections back), so they can go first; the contexts follow.
  gShot.PNG_pal.reset();
  gShot.PNG_UsePal = false;
  gShot.PNG_Bitmap.reset();
  gShot.PNG_DCCompatible.reset();
  gShot.PNG_DCScreen.reset();
  gShot = TScreenshotState{};
}

TScreenRect ToScreenRect(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }

BOOL CALLBACK IncludeProcessWindow(HWND window, LPARAM data) {
  auto& area = *reinterpret_cast<TApplicationRect*>(data);
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  RECT r{};
  if (process == GetCurrentProcessId() && IsWindowVisible(window) && GetWindowRect(window, &r)) {
    area.Include(ToScreenRect(r));
  }
  return TRUE;
}

TScreenRect GetApplicationRect() {
  TApplicationRect area;
  EnumWindows(IncludeProcessWindow, reinterpret_cast<LPARAM>(&area));
  return area.Result();
}

// Widens `area` to whole monitors: left and top of the monitor nearest its
// top-left corner, right and bottom of the one nearest its bottom-right corner.
bool GetActiveMonitorData(TScreenRect& area) {
  MONITORINFO first{};
  MONITORINFO last{};
  first.cbSize = last.cbSize = sizeof(MONITORINFO);
  const HMONITOR m1 = MonitorFromPoint(POINT{area.Left, area.Top}, MONITOR_DEFAULTTONEAREST);
  const HMONITOR m2 = MonitorFromPoint(POINT{area.Right, area.Bottom}, MONITOR_DEFAULTTONEAREST);
  if (m1 == nullptr || m2 == nullptr || !GetMonitorInfoW(m1, &first) || !GetMonitorInfoW(m2, &last))
    return false;
  area = {first.rcMonitor.left, first.rcMonitor.top, last.rcMonitor.right, last.rcMonitor.bottom};
  return true;
}

void DrawFocusFrame(HDC dc, HWND focus, const TScreenRect& area) {
  RECT r{};
  if (focus == nullptr || !GetWindowRect(focus, &r)) return;
  OffsetRect(&r, -area.Left, -area.Top);
  const TGdiObject<HBRUSH> red(CreateSolidBrush(RGB(255, 0, 0)));
  if (!red) return;
  FrameRect(dc, &r, red.get());
  InflateRect(&r, -1, -1);
  FrameRect(dc, &r, red.get());
}

void DrawCursor(HDC dc, HCURSOR cursor, const TScreenRect& area) {
  POINT at{};
  if (cursor == nullptr || !GetCursorPos(&at)) return;
  ICONINFO info{};
  if (GetIconInfo(cursor, &info)) {
    // GetIconInfo hands out copies of the cursor's bitmaps.
    const TGdiObject<HBITMAP> mask(info.hbmMask);
    const TGdiObject<HBITMAP> color(info.hbmColor);
    at.x -= static_cast<LONG>(info.xHotspot);
    at.y -= static_cast<LONG>(info.yHotspot);
  }
  DrawIconEx(dc, at.x - area.Left, at.y - area.Top, cursor, 32, 32, 0, nullptr, DI_NORMAL);
}

// A palette-based screen: copy the system palette so the capture keeps its colours.
void SelectSystemPalette(HDC screen) {
  if ((GetDeviceCaps(screen, RASTERCAPS) & RC_PALETTE) == 0) return;
  std::vector<std::uint8_t> block(sizeof(LOGPALETTE) + 255 * sizeof(PALETTEENTRY));
  auto* palette = reinterpret_cast<LOGPALETTE*>(block.data());
  const UINT count = GetSystemPaletteEntries(screen, 0, 256, palette->palPalEntry);
  if (count == 0) return;
  palette->palVersion = 0x300;
  palette->palNumEntries = static_cast<WORD>(std::min<UINT>(count, 256));
  gShot.PNG_pal.reset(CreatePalette(palette));
  gShot.PNG_UsePal = gShot.PNG_pal != nullptr;
}

bool CaptureLocked(const TScreenshotSource& source) {
  gShot.PNG_FocusWnd = source.FocusWnd;
  gShot.PNG_Cursor = source.Cursor;

  TScreenRect area{};
  RECT r{};
  bool ownOrigin = false;  // the source origin is (0, 0) of the window's own context
  if (source.UseOnlyActiveWindow) {
    gShot.PNG_HWindow = GetForegroundWindow();
    if (gShot.PNG_HWindow != nullptr && GetWindowRect(gShot.PNG_HWindow, &r)) {
      area = ToScreenRect(r);
      ownOrigin = true;
    }
  }
  if (!ownOrigin) {
    // No foreground window counts as "capture the program's windows".
    gShot.PNG_HWindow = GetDesktopWindow();
    area = GetApplicationRect();
    if (area == kNoApplicationRect || !GetActiveMonitorData(area)) {
      if (!GetWindowRect(gShot.PNG_HWindow, &r)) return false;
      area = ToScreenRect(r);
    }
  }
  const POINT origin = ownOrigin ? POINT{0, 0} : POINT{area.Left, area.Top};

  gShot.PNG_DCScreen = TWindowDc(GetWindowDC(gShot.PNG_HWindow), TWindowDcRelease{gShot.PNG_HWindow});
  if (!gShot.PNG_DCScreen) return false;
  gShot.PNG_DCCompatible.reset(CreateCompatibleDC(gShot.PNG_DCScreen.get()));
  if (!gShot.PNG_DCCompatible) return false;
  const HDC memory = gShot.PNG_DCCompatible.get();

  gShot.PNG_Width = CaptureDimension(area.Right - area.Left);
  gShot.PNG_Height = CaptureDimension(area.Bottom - area.Top);
  gShot.PNG_RowBytes = RowBytesOf(gShot.PNG_Width);

  gShot.PNG_Bitmap.reset(
      CreateCompatibleBitmap(gShot.PNG_DCScreen.get(), gShot.PNG_RowBytes, gShot.PNG_Height));
  if (!gShot.PNG_Bitmap) return false;
  const TSelection bitmap(memory, gShot.PNG_Bitmap.get());
  if (!bitmap.Ok()) return false;

  SelectSystemPalette(gShot.PNG_DCScreen.get());
  std::unique_ptr<TPaletteSelection> palette;
  if (gShot.PNG_UsePal) palette = std::make_unique<TPaletteSelection>(memory, gShot.PNG_pal.get());

  if (!BitBlt(memory, 0, 0, gShot.PNG_Width, gShot.PNG_Height, gShot.PNG_DCScreen.get(), origin.x, origin.y,
              SRCCOPY | CAPTUREBLT)) {
    return false;
  }
  DrawFocusFrame(memory, gShot.PNG_FocusWnd, area);
  DrawCursor(memory, gShot.PNG_Cursor, area);
  GdiFlush();
  return true;
}

// --- 8-bit rows for the encoder ---------------------------------------------

struct TBitmapInfo256 {
  BITMAPINFOHEADER Header;
  std::array<RGBQUAD, 256> Colors;
};

TBitmapInfo256 DibInfo(std::int32_t width, std::int32_t height, WORD bitCount) {
  TBitmapInfo256 info{};
  info.Header.biSize = sizeof(BITMAPINFOHEADER);
  info.Header.biWidth = width;
  info.Header.biHeight = height;  // positive: bottom row first
  info.Header.biPlanes = 1;
  info.Header.biBitCount = bitCount;
  info.Header.biCompression = BI_RGB;
  return info;
}

TPaletteImage ReadPaletteImage(HBITMAP bitmap) {
  TPaletteImage image;
  image.Width = gShot.PNG_Width;
  image.Height = gShot.PNG_Height;
  image.RowBytes = gShot.PNG_RowBytes;
  image.ImgData.resize(static_cast<std::size_t>(image.RowBytes) * static_cast<std::size_t>(image.Height));
  TBitmapInfo256 info = DibInfo(image.RowBytes, image.Height, 8);
  const TWindowDc screen = ScreenDc();
  if (!screen) throw EScreenshotError(L"Screenshot: no screen context");
  const int lines = GetDIBits(screen.get(), bitmap, 0, static_cast<UINT>(image.Height), image.ImgData.data(),
                              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
  if (lines != image.Height) throw EScreenshotError(L"Screenshot: the bitmap could not be read");
  for (std::size_t i = 0; i < kPngColoursCount; ++i) {
    image.Palette[i] = {info.Colors[i].rgbRed, info.Colors[i].rgbGreen, info.Colors[i].rgbBlue};
  }
  return image;
}

bool SaveToFile(const std::string& filename, const std::vector<std::uint8_t>& data) {
  const int length =
      MultiByteToWideChar(CP_ACP, 0, filename.data(), static_cast<int>(filename.size()), nullptr, 0);
  if (length <= 0) return false;
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, filename.data(), static_cast<int>(filename.size()), wide.data(), length);

  struct TFileClose {
    void operator()(HANDLE file) const noexcept { CloseHandle(file); }
  };
  std::unique_ptr<void, TFileClose> file(
      CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    return false;
  }
  std::size_t written = 0;
  while (written < data.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - written, 1u << 24));
    DWORD done = 0;
    if (!WriteFile(file.get(), data.data() + written, chunk, &done, nullptr) || done == 0) break;
    written += done;
  }
  file.reset();
  // A truncated picture would be sent as if it were one: drop it instead.
  if (written != data.size()) {
    DeleteFileW(wide.c_str());
    return false;
  }
  return true;
}

std::string ToAnsi(const std::wstring& text, bool& lossy) {
  BOOL usedDefault = FALSE;
  const int length = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0, nullptr, &usedDefault);
  std::string result(static_cast<std::size_t>(std::max(length, 0)), '\0');
  if (length > 0) {
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                        result.data(), length, nullptr, &usedDefault);
  }
  lossy = usedDefault != FALSE;
  return result;
}

}  // namespace

TScreenshotSource RecordScreenshotSource(DWORD guiThreadId, bool useOnlyActiveWindow) {
  TScreenshotSource source;
  source.UseOnlyActiveWindow = useOnlyActiveWindow;
  GUITHREADINFO thread{};
  thread.cbSize = sizeof thread;
  if (GetGUIThreadInfo(guiThreadId, &thread)) source.FocusWnd = thread.hwndFocus;
  CURSORINFO cursor{};
  cursor.cbSize = sizeof cursor;
  if (GetCursorInfo(&cursor) && (cursor.flags & CURSOR_SHOWING) != 0) source.Cursor = cursor.hCursor;
  return source;
}

bool InitScreenshot(const TScreenshotSource& source) {
  const std::lock_guard lock(gLock);
  FreeLocked();
  if (CaptureLocked(source)) return true;
  FreeLocked();
  return false;
}

void AfterScreenshotToStream(TByteStream& Stream) {
  const std::lock_guard lock(gLock);
  if (!gShot.PNG_Bitmap) throw EScreenshotError(L"No screenshot has been taken");
  // A failed conversion keeps the captured bitmap; the platform then reads it
  // back as 8-bit rows with a colour table of its own.
  if (TGdiObject<HBITMAP> eightBit(Create8bitBitmap(gShot.PNG_Bitmap.get())); eightBit) {
    gShot.PNG_Bitmap = std::move(eightBit);
  }
  WritePalettePng(Stream, ReadPaletteImage(gShot.PNG_Bitmap.get()));
}

void AfterScreenshot(const std::string& Filename) {
  if (Filename.empty()) return;
  TMemoryStream stream;
  AfterScreenshotToStream(stream);
  SaveToFile(Filename, stream.Data());
}

void FreeScreenshot() {
  const std::lock_guard lock(gLock);
  FreeLocked();
}

std::string SavedScreenshot(bool sendScreenshot) {
  if (!sendScreenshot) return {};
  std::wstring path(MAX_PATH + 1, L'\0');
  DWORD length = GetTempPathW(static_cast<DWORD>(path.size()), path.data());
  if (length > path.size()) {
    path.resize(length);
    length = GetTempPathW(static_cast<DWORD>(path.size()), path.data());
  }
  if (length == 0 || length > path.size()) return {};
  path.resize(length);
  bool lossy = false;
  std::string ansi = ToAnsi(path, lossy);
  if (lossy) {
    // A folder name outside the ANSI code page cannot be written as ANSI text;
    // its short form usually can.
    std::wstring shortPath(MAX_PATH + 1, L'\0');
    const DWORD shortLength =
        GetShortPathNameW(path.c_str(), shortPath.data(), static_cast<DWORD>(shortPath.size()));
    if (shortLength != 0 && shortLength < shortPath.size()) {
      shortPath.resize(shortLength);
      bool stillLossy = false;
      std::string shortAnsi = ToAnsi(shortPath, stillLossy);
      if (!stillLossy) ansi = std::move(shortAnsi);
    }
  }
  return ansi + "Screenshot.png";
}

std::string TmpScreenshot(bool sendScreenshot, bool canAttachScreenshot) {
  return canAttachScreenshot ? SavedScreenshot(sendScreenshot) : std::string{};
}

HBITMAP Create8bitBitmap(HBITMAP BmpSrc) {
  BITMAP source{};
  if (BmpSrc == nullptr || GetObjectW(BmpSrc, sizeof source, &source) == 0) return nullptr;
  const std::int32_t width = source.bmWidth;
  const std::int32_t height = source.bmHeight < 0 ? -source.bmHeight : source.bmHeight;
  if (width < 1 || height < 1) return nullptr;

  const TWindowDc screen = ScreenDc();
  if (!screen) return nullptr;

  // GetOptimizedPalette: one 24-bit row at a time, from the top.
  TBitmapInfo256 rowInfo = DibInfo(width, height, 24);
  const std::size_t rowLength = ((static_cast<std::size_t>(width) * 24 + 31) / 32) * 4;
  std::vector<std::uint8_t> row(rowLength);
  TOctreeQuantizer quantizer;
  for (std::int32_t y = 0; y < height; ++y) {
    // Scan lines of a bottom-up DIB are numbered from the bottom.
    if (GetDIBits(screen.get(), BmpSrc, static_cast<UINT>(height - 1 - y), 1, row.data(),
                  reinterpret_cast<BITMAPINFO*>(&rowInfo), DIB_RGB_COLORS) != 1) {
      return nullptr;
    }
    quantizer.AddBgrRow(row, static_cast<std::size_t>(width));
  }
  const TPalette palette = quantizer.GetPaletteColors();

  TBitmapInfo256 info = DibInfo(width, height, 8);
  info.Header.biClrUsed = 256;
  for (std::size_t i = 0; i < palette.size() && i < info.Colors.size(); ++i) {
    info.Colors[i] = RGBQUAD{palette[i].Blue, palette[i].Green, palette[i].Red, 0};
  }
  void* bits = nullptr;
  TGdiObject<HBITMAP> result(CreateDIBSection(screen.get(), reinterpret_cast<BITMAPINFO*>(&info),
                                              DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!result) return nullptr;

  const TMemoryDc from(CreateCompatibleDC(screen.get()));
  const TMemoryDc to(CreateCompatibleDC(screen.get()));
  if (!from || !to) return nullptr;
  {
    const TSelection selectFrom(from.get(), BmpSrc);
    const TSelection selectTo(to.get(), result.get());
    if (!selectFrom.Ok() || !selectTo.Ok()) return nullptr;
    // The platform maps every pixel to the nearest colour of the table.
    if (!BitBlt(to.get(), 0, 0, width, height, from.get(), 0, 0, SRCCOPY)) return nullptr;
    GdiFlush();
  }
  return static_cast<HBITMAP>(result.release());
}

}  // namespace tracira
