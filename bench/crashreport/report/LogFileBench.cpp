// Prints how long it takes to load and parse a log of 32 full-size reports,
// to build one report, and to look an exception ID up in the log.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"

namespace {

using namespace tracira;
using Clock = std::chrono::steady_clock;

// A report as large as a busy program gives: every general item, 8 threads of
// 40 entries each, 120 modules, 90 processes, a disassembly and a full CPU dump.
TReportParts FullReport(int n) {
  TReportParts p;
  auto& g = p.General;
  g.AppStartDate = RFCDate({2026, 12, 6, 15, 0, 0}, 180);
  g.AppName = FileNameWithDescription("C:\\Program Files\\Ortvel\\Tavrix.exe", "Barcode scanner test bench");
  g.AppVersionNumber = "1.2.0.5";
  g.AppParameters = QuotedParameters({"/device=3", "/log"});
  g.AppCompilationDate = g.AppStartDate;
  g.AppUpTime = GetCompleteTimeStr(0.1234);
  g.ExcDate = g.AppStartDate;
  g.ExcAddress = HexAddress(0x0045A1B2);
  g.ExcModuleName = g.AppName;
  g.ExcModuleVersion = "1.2.0.5";
  g.ExcType = "EScanerX";
  g.ExcMessage = "Port COM3: access denied.\r\nThe device is used by another program.";
  g.ExcID = ExceptionID("EScanerX" + std::to_string(n));
  g.UserID = g.UserName = "operator";
  g.UserCompany = "Ortvel";
  std::vector<TPrivilege> privileges;
  for (int i = 0; i < 20; ++i) privileges.push_back({"SePrivilegeNumber" + std::to_string(i), i % 3 == 0});
  g.UserPrivileges = PrivilegesText(privileges);
  g.ActCtlsFormClass = "TfmMain", g.ActCtlsFormText = "Tavrix", g.ActCtlsControlClass = "TButton";
  g.ActCtlsControlText = "Enable";
  g.CmpName = "BENCH-PC", g.CmpTotalMemory = MegabytesText(8ull << 30),
  g.CmpFreeMemory = MegabytesText(3ull << 30);
  g.CmpTotalDisk = GigabytesText(500ull << 30), g.CmpFreeDisk = GigabytesText(123ull << 30);
  g.CmpSysUpTime = GetCompleteTimeStr(3.5), g.CmpProcessor = "Intel(R) Core(TM) i5 CPU 750 @ 2.67GHz";
  g.CmpDisplayMode = DisplayModeText(1920, 1080, 32), g.CmpDisplayDPI = "96";
  g.CmpVideoCard = "Standard VGA (driver 1.0 - RAM 256 MB)", g.CmpPrinter = "PDF (driver 1.0)";
  g.OSType = "Microsoft Windows XP", g.OSBuildN = "2600", g.OSUpdate = "Service Pack 3";
  g.OSLanguage = "Russian", g.OSCharset = "204";
  g.NetIP = JoinAdapters({PaddedIPText({192, 168, 0, 10}), PaddedIPText({10, 0, 0, 2})});
  g.NetSubmask = g.NetGateway = g.NetDNS1 = g.NetDNS2 = g.NetIP;
  g.NetDHCP = DHCPText({true, false});
  for (std::uint32_t t = 0; t < 8; ++t) {
    p.Threads.push_back({1000 + t, 0, t == 0 ? "" : "TReaderThread", t == 0});
    for (std::uint32_t i = 0; i < 40; ++i) {
      TTraciraDebugInfo e;
      e.DebugDetail = ddSourceCode, e.ModuleName = "C:\\Program Files\\Ortvel\\Tavrix.exe";
      e.ThreadID = 1000 + t, e.ErrorLine = t == 0 && i == 0, e.Addr = 0x401000 + t * 0x1000 + i * 16;
      e.UnitName = "ScanerX.cpp", e.ClassName = "TScanerX", e.ProcedureName = "SetDeviceEnabled";
      e.Line = 100 + i, e.ProcOffsetLine = i;
      p.Stack.push_back(e);
    }
  }
  for (std::uint32_t i = 0; i < 120; ++i)
    p.Modules.push_back({0x10000000 + i * 0x10000,
                         "C:\\windows\\system32\\module" + std::to_string(i) + ".dll",
                         "Wine built-in library",
                         "6.1.7601.0",
                         123456 + i,
                         {2026, 1, 2, 3, 4, 5}});
  for (std::uint32_t i = 0; i < 90; ++i)
    p.Processes.push_back({100 + i * 4, "C:\\windows\\system32\\process" + std::to_string(i) + ".exe",
                           "Wine process", "6.1.7601.0", 4096 * i, 0x20, 3});
  for (int i = 0; i < 40; ++i) p.Disassembly += "0045A1B2  mov eax, dword ptr [ebp-$08]\r\n";
  p.CPU.Context = TTraciraRegisters{1, 2, 3, 4, 5, 6, 0x12FF00, 0x45A1B2};
  p.CPU.ExceptionAddress = 0x45A1B2;
  p.CPU.Stack.emplace();
  p.CPU.Memory.emplace();
  return p;
}

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

}  // namespace

int main() {
  const TTraciraTexts texts = DefaultTraciraTexts();
  const auto file = std::filesystem::temp_directory_path() / "tavrix-bench-32.tlf";

  auto start = Clock::now();
  constexpr int kBuilds = 32;
  TLogFile log(file);
  log.Delete();
  log = TLogFile(file);
  for (int i = 0; i < kBuilds; ++i) log.Append(CreateLogText(texts, FullReport(i)), 32);
  const double buildMs = Milliseconds(Clock::now() - start) / kBuilds;
  log.Save();
  const auto size = std::filesystem::file_size(file);

  constexpr int kLoads = 50;
  start = Clock::now();
  int count = 0;
  for (int i = 0; i < kLoads; ++i) count += TLogFile(file).GetCount();
  const double loadMs = Milliseconds(Clock::now() - start) / kLoads;

  start = Clock::now();
  int found = 0;
  for (int i = 0; i < kLoads; ++i) found += log.FindItem({{"2.7", ExceptionID("EScanerX5")}}) == 5 ? 1 : 0;
  const double findMs = Milliseconds(Clock::now() - start) / kLoads;

  std::printf("log of %d reports, %llu bytes (%d parsed per load, %d found)\n", log.GetCount(),
              static_cast<unsigned long long>(size), count / kLoads, found);
  std::printf("build one report:          %8.3f ms\n", buildMs);
  std::printf("load and parse the log:    %8.3f ms\n", loadMs);
  std::printf("find an ID in all reports: %8.3f ms\n", findMs);
  log.Delete();
  return count == kLoads * 32 ? 0 : 1;
}
