// The screenshot on a real (Wine + Xvfb) screen: a window with known colours
// and a focused edit is captured, encoded and decoded again. When SHOT_OUT_DIR
// is set the PNG files are also left there for the independent decoder.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "crashreport/screenshot/TrScreenshot.h"
#include "tests/crashreport/screenshot/PngTestReader.h"

namespace {

using pngtest::Rgb;

constexpr Rgb kBackground{30, 60, 200};
constexpr Rgb kYellow{250, 200, 10};
constexpr Rgb kGreen{0, 128, 64};
constexpr Rgb kRed{255, 0, 0};
constexpr RECT kYellowRect{20, 20, 120, 100};
constexpr RECT kGreenRect{200, 150, 340, 220};
constexpr RECT kEditRect{150, 40, 330, 66};
constexpr int kWindowWidth = 360, kWindowHeight = 240;

void Fill(HDC dc, const RECT& r, Rgb c) {
  HBRUSH brush = CreateSolidBrush(RGB(c.R, c.G, c.B));
  FillRect(dc, &r, brush);
  DeleteObject(brush);
}

LRESULT CALLBACK PaintProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_ERASEBKGND) return 1;
  if (message == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    Fill(dc, RECT{0, 0, kWindowWidth, kWindowHeight}, kBackground);
    Fill(dc, kYellowRect, kYellow);
    Fill(dc, kGreenRect, kGreen);
    EndPaint(window, &ps);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void Pump(DWORD milliseconds) {
  const DWORD end = GetTickCount() + milliseconds;
  while (static_cast<LONG>(end - GetTickCount()) > 0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    Sleep(10);
  }
}

std::vector<std::uint8_t> ReadFileBytes(const std::wstring& name) {
  std::ifstream in(std::filesystem::path(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Leaves a copy for check_png.py when the ctest wrapper asked for one.
void KeepForDecoder(const std::wstring& name, const std::vector<std::uint8_t>& png) {
  wchar_t dir[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"SHOT_OUT_DIR", dir, MAX_PATH) == 0) return;
  std::ofstream(std::filesystem::path(dir) / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
}

class Screenshot : public ::testing::Test {
 protected:
  // One window for the whole suite: creating and mapping a window under Wine
  // without a window manager takes a few seconds.
  static void SetUpTestSuite() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = PaintProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ShotTestWindow";
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    RegisterClassW(&wc);
    fWindow =
        CreateWindowExW(0, L"ShotTestWindow", L"shot", WS_POPUP | WS_VISIBLE, kOrigin.x, kOrigin.y,
                        kWindowWidth, kWindowHeight, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    fEdit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, kEditRect.left, kEditRect.top,
                            kEditRect.right - kEditRect.left, kEditRect.bottom - kEditRect.top, fWindow,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
  }

  static void TearDownTestSuite() {
    if (fWindow != nullptr) DestroyWindow(fWindow);
    Pump(50);
  }

  void SetUp() override {
    ASSERT_NE(fWindow, nullptr);
    ASSERT_NE(fEdit, nullptr);
    SetForegroundWindow(fWindow);
    SetFocus(fEdit);
    // Park the pointer away from the areas the tests look at.
    SetCursorPos(kOrigin.x + kWindowWidth + 50, kOrigin.y + kWindowHeight + 50);
    InvalidateRect(fWindow, nullptr, TRUE);
    UpdateWindow(fWindow);
    Pump(200);
  }

  void TearDown() override { tracira::FreeScreenshot(); }

  pngtest::Decoded Capture(const tracira::TScreenshotSource& source, const wchar_t* keepAs) {
    EXPECT_TRUE(tracira::InitScreenshot(source));
    tracira::TMemoryStream stream;
    tracira::AfterScreenshotToStream(stream);
    KeepForDecoder(keepAs, stream.Data());
    return pngtest::Decode(stream.Data());
  }

  // Every pixel of the window's known areas, seen from a picture whose
  // top-left corner is at `at` on the screen.
  static void ExpectKnownContent(const pngtest::Decoded& d, POINT at) {
    const auto pixel = [&](int x, int y) { return d.At(kOrigin.x + x - at.x, kOrigin.y + y - at.y); };
    for (const auto& [r, colour] : {std::pair{kYellowRect, kYellow}, {kGreenRect, kGreen}}) {
      for (int y = r.top; y < r.bottom; y += 3)
        for (int x = r.left; x < r.right; x += 3) ASSERT_EQ(pixel(x, y), colour) << x << "," << y;
    }
    EXPECT_EQ(pixel(5, 5), kBackground);
    EXPECT_EQ(pixel(kWindowWidth - 3, kWindowHeight - 3), kBackground);

    // Two red frames along the edit's window rectangle, nothing red inside or outside.
    const RECT e = kEditRect;
    for (int ring = 0; ring < 2; ++ring) {
      for (int x = e.left + ring; x < e.right - ring; ++x) {
        ASSERT_EQ(pixel(x, e.top + ring), kRed) << "ring " << ring << " x " << x;
        ASSERT_EQ(pixel(x, e.bottom - 1 - ring), kRed) << "ring " << ring << " x " << x;
      }
      for (int y = e.top + ring; y < e.bottom - ring; ++y) {
        ASSERT_EQ(pixel(e.left + ring, y), kRed) << "ring " << ring << " y " << y;
        ASSERT_EQ(pixel(e.right - 1 - ring, y), kRed) << "ring " << ring << " y " << y;
      }
    }
    for (int x = e.left + 2; x < e.right - 2; ++x) ASSERT_NE(pixel(x, e.top + 2), kRed) << x;
    for (int x = e.left - 1; x <= e.right; ++x) ASSERT_EQ(pixel(x, e.top - 1), kBackground) << x;
  }

  static constexpr POINT kOrigin{140, 110};
  static inline HWND fWindow = nullptr;
  static inline HWND fEdit = nullptr;
};

TEST_F(Screenshot, ProgramWindowsAreWidenedToTheMonitorWithTheFocusFramedInRed) {
  const tracira::TScreenshotSource source = tracira::RecordScreenshotSource(GetCurrentThreadId(), false);
  ASSERT_EQ(source.FocusWnd, fEdit);
  const auto d = Capture(source, L"desktop.png");
  // The only window of the process lies on the one monitor: the whole monitor.
  EXPECT_EQ(d.Width, static_cast<std::uint32_t>(GetSystemMetrics(SM_CXSCREEN)));
  EXPECT_EQ(d.Height, static_cast<std::uint32_t>(GetSystemMetrics(SM_CYSCREEN)));
  ExpectKnownContent(d, POINT{0, 0});
}

TEST_F(Screenshot, OnlyTheForegroundWindowWhenAsked) {
  ASSERT_EQ(GetForegroundWindow(), fWindow);
  const auto d = Capture({.UseOnlyActiveWindow = true, .FocusWnd = fEdit, .Cursor = nullptr}, L"active.png");
  EXPECT_EQ(d.Width, static_cast<std::uint32_t>(kWindowWidth));
  EXPECT_EQ(d.Height, static_cast<std::uint32_t>(kWindowHeight));
  ExpectKnownContent(d, kOrigin);
}

TEST_F(Screenshot, TheCursorIsDrawnAtItsHotSpot) {
  const POINT at{kOrigin.x + 40, kOrigin.y + 150};  // plain background around it
  ASSERT_TRUE(SetCursorPos(at.x, at.y));
  HCURSOR arrow = LoadCursorW(nullptr, IDC_ARROW);
  ICONINFO info{};
  ASSERT_TRUE(GetIconInfo(arrow, &info));
  DeleteObject(info.hbmMask);
  if (info.hbmColor) DeleteObject(info.hbmColor);
  const int left = at.x - static_cast<int>(info.xHotspot), top = at.y - static_cast<int>(info.yHotspot);

  const auto countChanged = [&](const pngtest::Decoded& d, int dx, int dy) {
    int changed = 0;
    for (int y = 0; y < 32; ++y)
      for (int x = 0; x < 32; ++x) changed += d.At(left + dx + x, top + dy + y) != kBackground;
    return changed;
  };
  const auto without = Capture({.FocusWnd = nullptr, .Cursor = nullptr}, L"nocursor.png");
  EXPECT_EQ(countChanged(without, 0, 0), 0);  // the screen itself shows no pointer
  const auto with = Capture({.FocusWnd = nullptr, .Cursor = arrow}, L"cursor.png");
  EXPECT_GT(countChanged(with, 0, 0), 20);
  EXPECT_EQ(countChanged(with, 0, 40), 0);  // and only there
}

TEST_F(Screenshot, FileNamesAndSaving) {
  EXPECT_EQ(tracira::SavedScreenshot(false), "");
  const std::string name = tracira::SavedScreenshot(true);
  wchar_t temp[MAX_PATH + 1];
  const DWORD tempLength = GetTempPathW(MAX_PATH + 1, temp);
  ASSERT_GT(tempLength, 0u);
  EXPECT_EQ(name.size(), tempLength + std::string("Screenshot.png").size());
  EXPECT_EQ(name.substr(name.size() - 15), "\\Screenshot.png");
  EXPECT_EQ(tracira::TmpScreenshot(true, false), "");
  EXPECT_EQ(tracira::TmpScreenshot(false, true), "");
  EXPECT_EQ(tracira::TmpScreenshot(true, true), name);

  // Nothing taken yet: an empty name does nothing, any other name is an error.
  EXPECT_NO_THROW(tracira::AfterScreenshot(""));
  EXPECT_THROW(tracira::AfterScreenshot(name), tracira::EScreenshotError);

  ASSERT_TRUE(tracira::InitScreenshot({.UseOnlyActiveWindow = true, .FocusWnd = fEdit, .Cursor = nullptr}));
  DeleteFileA(name.c_str());
  tracira::AfterScreenshot(name);
  const auto saved = ReadFileBytes(std::wstring(temp) + L"Screenshot.png");
  ASSERT_FALSE(saved.empty());
  EXPECT_EQ(pngtest::Decode(saved).Width, static_cast<std::uint32_t>(kWindowWidth));
  // A second encoding of the same (now 8-bit) picture gives the same file.
  tracira::TMemoryStream again;
  tracira::AfterScreenshotToStream(again);
  EXPECT_EQ(again.Data(), saved);

  // The name is ANSI text of the system code page (1251 here).
  if (GetACP() == 1251) {
    const std::wstring wide = std::wstring(temp) + L"Снимок экрана.png";
    DeleteFileW(wide.c_str());
    tracira::AfterScreenshot(name.substr(0, name.size() - 14) +
                             "\xD1\xED\xE8\xEC\xEE\xEA \xFD\xEA\xF0\xE0\xED\xE0.png");
    EXPECT_EQ(ReadFileBytes(wide), saved);
    DeleteFileW(wide.c_str());
  }
  // A failed save is ignored and leaves nothing behind.
  EXPECT_NO_THROW(tracira::AfterScreenshot("C:\\no such folder\\Screenshot.png"));
  EXPECT_EQ(GetFileAttributesW(L"C:\\no such folder\\Screenshot.png"), INVALID_FILE_ATTRIBUTES);
  DeleteFileA(name.c_str());
}

TEST_F(Screenshot, EightBitConversionKeepsUpTo256ColoursExactly) {
  // 16 x 16 blocks of 200 distinct colours on a bitmap of the screen's format.
  HDC screen = GetDC(nullptr);
  HBITMAP source = CreateCompatibleBitmap(screen, 64, 52);
  HDC memory = CreateCompatibleDC(screen);
  HGDIOBJ old = SelectObject(memory, source);
  std::vector<Rgb> colours;
  for (int i = 0; i < 200; ++i)
    colours.push_back({std::uint8_t(i * 37), std::uint8_t(255 - i), std::uint8_t(i * 11)});
  for (int i = 0; i < 208; ++i) {
    const int x = (i % 16) * 4, y = (i / 16) * 4;
    Fill(memory, RECT{x, y, x + 4, y + 4}, colours[static_cast<std::size_t>(i % 200)]);
  }
  SelectObject(memory, old);
  DeleteDC(memory);

  HBITMAP eight = tracira::Create8bitBitmap(source);
  ASSERT_NE(eight, nullptr);
  DIBSECTION dib{};
  ASSERT_EQ(GetObjectW(eight, sizeof dib, &dib), static_cast<int>(sizeof dib));
  EXPECT_EQ(dib.dsBmih.biBitCount, 8);
  struct {
    BITMAPINFOHEADER h;
    RGBQUAD c[256];
  } info{};
  info.h = {sizeof(BITMAPINFOHEADER), 64, -52, 1, 8, BI_RGB, 0, 0, 0, 0, 0};
  std::vector<std::uint8_t> bits(64 * 52);
  ASSERT_EQ(
      GetDIBits(screen, eight, 0, 52, bits.data(), reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS), 52);
  for (int i = 0; i < 208; ++i) {
    const int x = (i % 16) * 4 + 1, y = (i / 16) * 4 + 2;
    const RGBQUAD q = info.c[bits[static_cast<std::size_t>(y * 64 + x)]];
    ASSERT_EQ((Rgb{q.rgbRed, q.rgbGreen, q.rgbBlue}), colours[static_cast<std::size_t>(i % 200)]) << i;
  }
  DeleteObject(eight);
  DeleteObject(source);
  ReleaseDC(nullptr, screen);
}

}  // namespace
