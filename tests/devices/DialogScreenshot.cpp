// Writes a picture of the devices dialog, as it stands over the driver
// stand-in's first-start device, to the BMP file named by the first
// argument. Run by tests/devices/screenshot.sh for the documentation.
#include <windows.h>

#include <cstdio>
#include <vector>

#include "Fmu/fmuLgDev.h"
#include "gui/Application.h"
#include "tests/support/WindowPicture.h"

namespace {

void Pump(DWORD ms) {
  const ULONGLONG end = GetTickCount64() + ms;
  while (GetTickCount64() < end) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    gui::Application::Instance().ProcessMessages();
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fputs("usage: devices_screenshot out.bmp\n", stderr);
    return 2;
  }
  try {
    gui::Application::Instance().Initialize();
    TScanerX scaner;
    TfmDevices dialog;
    dialog.Init(scaner, gui::Font{});
    dialog.Show();
    Pump(500);
    return WriteWindowBmp(dialog.Handle(), argv[1]) ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
}
