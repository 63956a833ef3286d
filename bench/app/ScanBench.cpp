// Feeds N scans through a serial pair at 115200 baud into the main window,
// created in this process, and prints how many it showed per second and how
// many it lost; with "journal", the event journal's window is open during
// the run and the scans journalled are counted and checked too; with
// "selectall", the journal's window is open too, the feed waits while the
// window is 500 scans behind, and once the journal is full every row is
// selected (as Ctrl+A does) while the scans go on: the rate after that
// shows what keeping the selection costs. Usage (from
// bench/app/run.sh, which makes the pair):
//   scan_bench.exe [count] [device port] [feed port] [journal|selectall]
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>

#include "Fmu/fmuJournal.h"
#include "Fmu/fmuMain.h"
#include "gui/Application.h"

namespace {

std::wstring WinPath(const char* unixPath) {
  std::wstring path = L"Z:";
  for (const char* p = unixPath; *p != '\0'; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(*p);
  return path;
}

bool RegisterStandIn() {
  const HMODULE library = LoadLibraryW(WinPath(DRAVIX_DLL).c_str());
  if (library == nullptr) return false;
  using EntryFn = HRESULT(WINAPI*)();
  const auto entry =
      reinterpret_cast<EntryFn>(reinterpret_cast<void*>(GetProcAddress(library, "DllRegisterServer")));
  const bool ok = entry != nullptr && SUCCEEDED(entry());
  FreeLibrary(library);
  return ok;
}

std::string ScanText(int i) {
  char text[32];
  std::snprintf(text, sizeof text, "46%011d", i);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int devicePort = argc > 2 ? std::atoi(argv[2]) : 43;
  const int feedPort = argc > 3 ? std::atoi(argv[3]) : 44;
  const bool selectAll = argc > 4 && std::string(argv[4]) == "selectall";
  const bool withJournal = selectAll || (argc > 4 && std::string(argv[4]) == "journal");
  // A device list of the benchmark's own, not the operator's.
  SetEnvironmentVariableW(L"DRAVIX_SETTINGS_KEY", L"Software\\TavrixBench\\Scans");
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\TavrixBench\\Scans");
  if (!RegisterStandIn()) {
    std::fprintf(stderr, "cannot register the driver stand-in %s\n", DRAVIX_DLL);
    return 1;
  }
  gui::Application& app = gui::Application::Instance();
  app.Initialize();
  TfmMain form;
  TScanerX& scaner = *form.Scaner();
  try {
    scaner.SetPortNumber(devicePort);
    scaner.SetBaudRate(14);  // 115200
    scaner.SetModel(0);
    scaner.SetStopFlag(0);  // CR
    scaner.SetDeviceEnabled(true);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cannot enable the device on COM%d: %s\n", devicePort,
                 rtl::ToUtf8(gui::ExceptionMessage(e)).c_str());
    return 1;
  }
  form.Show();
  if (withJournal) form.ShowJournal();

  // Every scan the window shows, as it shows it.
  std::set<std::wstring> shown;
  int outOfOrder = 0;
  std::wstring last;
  std::atomic<int> shownCount{0};
  // Selected from the handler: under a stream the message loop does not
  // come back between scans.
  DWORD selectedAt = 0;
  std::size_t shownAtSelect = 0;
  form.Answer.OnChange = [&](rtl::Object&) {
    const std::wstring text = form.Answer.Text();
    if (text.empty() || text == last) return;
    if (!last.empty() && text < last) ++outOfOrder;
    last = text;
    shown.insert(text);
    shownCount = static_cast<int>(shown.size());
    if (selectAll && selectedAt == 0 && form.Journal().Count() == form.Journal().Capacity()) {
      TfmJournal& window = *form.JournalWindow();
      window.UpdateView();
      window.lvJournal.SelectAll();
      selectedAt = GetTickCount();
      shownAtSelect = shown.size();
    }
  };

  const std::wstring feedName = L"\\\\.\\COM" + std::to_wstring(feedPort);
  const HANDLE feed = CreateFileW(feedName.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (feed == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open COM%d\n", feedPort);
    return 1;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(feed, &dcb);
  dcb.BaudRate = CBR_115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  SetCommState(feed, &dcb);

  std::atomic<bool> written{false};
  const DWORD start = GetTickCount();
  std::thread writer([&] {
    for (int i = 1; i <= count; ++i) {
      // With "selectall" the feed waits while the window is 500 scans
      // behind: the rate measured is the window's, not the line's losses.
      while (selectAll && i - shownCount > 500) Sleep(1);
      const std::string scan = ScanText(i) + "\r";
      DWORD done = 0;
      WriteFile(feed, scan.data(), static_cast<DWORD>(scan.size()), &done, nullptr);
    }
    written = true;
  });

  // Pump until every scan is shown, or nothing new came for five seconds.
  DWORD lastProgress = GetTickCount();
  DWORD lastShown = start;
  std::size_t seen = 0;
  while (shown.size() < static_cast<std::size_t>(count)) {
    app.ProcessMessages();
    if (shown.size() != seen) {
      seen = shown.size();
      lastProgress = lastShown = GetTickCount();
    } else if (written && GetTickCount() - lastProgress > 5000) {
      break;
    }
    Sleep(1);
  }
  writer.join();
  CloseHandle(feed);
  scaner.SetDeviceEnabled(false);
  app.ProcessMessages();

  // The journal: each scan shown, once, in order of arrival (the newest
  // 10,000 kept).
  const TJournal& journal = form.Journal();
  const std::size_t journalled = journal.Scans();
  int journalOutOfOrder = 0;
  std::wstring previous;
  for (std::size_t i = 0; i < journal.Count(); ++i) {
    const TJournalEntry& entry = journal.At(i);
    if (entry.Kind != TJournalKind::Data) continue;
    if (entry.Data <= previous || !shown.contains(entry.Data)) ++journalOutOfOrder;
    previous = entry.Data;
  }

  const double seconds = (lastShown - start) / 1000.0;
  std::printf("scans fed:      %d (13 digits + CR, 115200 baud)\n", count);
  std::printf("scans shown:    %zu in %.2f s, %.0f scans/s\n", shown.size(), seconds,
              seconds > 0 ? shown.size() / seconds : 0.0);
  std::printf("scans lost:     %zu\n", static_cast<std::size_t>(count) - shown.size());
  std::printf("out of order:   %d\n", outOfOrder);
  std::printf("still queued:   %d\n", scaner.GetDataCount());
  std::printf("journalled:     %zu, %.0f scans/s, %d out of order or not shown, %llu errors\n", journalled,
              seconds > 0 ? journalled / seconds : 0.0, journalOutOfOrder,
              static_cast<unsigned long long>(journal.Errors()));
  if (const TfmJournal* window = form.JournalWindow()) {
    std::printf("journal window: open, %d rows listed\n", window->lvJournal.RowCount());
  }
  if (selectAll) {
    if (selectedAt == 0) {
      std::printf("select-all:     the journal never filled (%zu of %zu entries)\n", journal.Count(),
                  journal.Capacity());
    } else {
      const double after = (lastShown - selectedAt) / 1000.0;
      const std::size_t shownAfter = shown.size() - shownAtSelect;
      std::printf(
          "select-all:     at scan %zu; then %zu scans shown in %.2f s, %.0f scans/s; %d rows selected\n",
          shownAtSelect, shownAfter, after, after > 0 ? shownAfter / after : 0.0,
          form.JournalWindow()->lvJournal.SelectedCount());
    }
  }
  const bool allJournalled = journalled == shown.size() && journalOutOfOrder == 0;
  return shown.size() == static_cast<std::size_t>(count) && outOfOrder == 0 && allJournalled ? 0 : 2;
}
