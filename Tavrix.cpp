// Start-up of the test tool: the application object, the main window with
// its driver wrapper, and the message loop until the main window closes.
#include <windows.h>

#include <memory>

#include "Fmu/fmuMain.h"
#include "gui/Application.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  gui::Application& app = gui::Application::Instance();
  app.Initialize();
  app.SetTitle(L"Тест: драйвер сканера штрих-кода");
  const auto form = std::make_unique<TfmMain>();
  if (app.Terminated()) {
    // The operator declined to register the driver.
    return 0;
  }
  app.SetMainForm(*form);
  app.Run();
  return 0;
}
