// Writes a picture of the event journal with real rows to the BMP file named
// by the first argument: the main window in this process over the driver
// stand-in, its device on the serial pair's first port, scans, a card
// swipe, a key and a refused switch-on fed through the second. Run by
// tests/app/journal-screenshot.sh for the documentation.
//   journal_screenshot out.bmp devicePort feedPort
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "Fmu/fmuJournal.h"
#include "Fmu/fmuMain.h"
#include "gui/Application.h"
#include "tests/support/WindowPicture.h"

namespace {

bool PumpUntil(TfmMain& form, std::size_t entries, DWORD ms = 10000) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (form.Journal().Count() < entries) {
    if (GetTickCount64() >= end) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    gui::Application::Instance().ProcessMessages();
  }
  return true;
}

void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    gui::Application::Instance().ProcessMessages();
  }
}

bool Feed(int port, const std::string& bytes) {
  const std::wstring name = L"\\\\.\\COM" + std::to_wstring(port);
  const HANDLE feed = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (feed == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  WriteFile(feed, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(feed);
  return written == bytes.size();
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 4) {
    std::fputs("usage: journal_screenshot out.bmp devicePort feedPort\n", stderr);
    return 2;
  }
  const int devicePort = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
  const int feedPort = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
  try {
    gui::Application& app = gui::Application::Instance();
    app.Initialize();
    TfmMain form;
    app.SetMainForm(form);
    form.Show();
    TScanerX& scaner = *form.Scaner();
    scaner.SetPortNumber(devicePort);
    scaner.SetModel(0);
    scaner.SetStopFlag(0);  // CR
    scaner.SetDeviceEnabled(true);
    form.ShowJournal();
    // The journal on top of the screen, the main window below it.
    SetWindowPos(form.JournalWindow()->Handle(), nullptr, 4, 4, 1272, 400, SWP_NOZORDER);
    SetWindowPos(form.Handle(), nullptr, 4, 420, 0, 0, SWP_NOZORDER | SWP_NOSIZE);

    // Scanners: a plain EAN-13, GS1 data with its separators and symbology
    // identifier, framing bytes, a blank prefix, Cyrillic text (code page 1251).
    bool fed = Feed(feedPort,
                    "4601234567890\r"
                    "]d2"
                    "0104601234567893\x1D"
                    "21ABC123\x1D"
                    "17261231\r"
                    "\x02"
                    "2900000000018\x03\r"
                    "  4820024700016\r"
                    "\xD2\xCE\xC2\xC0\xD0-42\r");
    fed = fed && PumpUntil(form, 5);
    // A card reader's swipe with its three tracks.
    scaner.SetModel(1);
    fed = fed &&
          Feed(feedPort, "%B4276123456789012^IVANOV/IVAN^2512?;4276123456789012=2512?+0123456789?\r") &&
          PumpUntil(form, 6);
    // A keyboard's key.
    scaner.SetModel(5);
    fed = fed && Feed(feedPort, "A") && PumpUntil(form, 7);
    if (!fed) {
      std::fputs("the scans did not arrive\n", stderr);
      return 1;
    }
    // The operator switches on a device whose port does not exist.
    scaner.SetDeviceEnabled(false);
    scaner.SetPortNumber(49);
    Pump(1200);  // a refresh shows the new port
    SendMessageW(form.chkDeviceEnabled.Handle(), BM_CLICK, 0, 0);
    if (!PumpUntil(form, 8)) {
      std::fputs("the refused switch-on was not journalled\n", stderr);
      return 1;
    }
    Pump(800);
    return WriteWindowBmp(form.JournalWindow()->Handle(), argv[1]) ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
