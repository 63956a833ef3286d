// A program whose user chooses, in the crash reporter's dialog, to end or
// restart it: DialogsChild SCENARIO FOLDER. Every start appends a line to
// FOLDER\starts.txt (a restarted child, the second start, ends at once with
// 0); every atTerminating the handling fires appends one to
// FOLDER\terminating.txt. Scenarios: detailed-terminate, detailed-restart
// (the detailed dialog's button 3), classic-terminate (the classic
// dialog's check box 104, then "OK").
#include <windows.h>

#include <fstream>
#include <string>
#include <thread>

#include "crashreport/engine/ExceptionLog.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"

namespace {

using namespace tracira;

class EScanerProblem : public rtl::Exception {
 public:
  using Exception::Exception;
};

std::string gFolder;

struct TSearch {
  int Id;
  HWND Found = nullptr;
};

BOOL CALLBACK FindDialog(HWND wnd, LPARAM lp) {
  auto& s = *reinterpret_cast<TSearch*>(lp);
  DWORD pid = 0;
  GetWindowThreadProcessId(wnd, &pid);
  if (pid == GetCurrentProcessId() && IsWindowVisible(wnd) && GetDlgItem(wnd, s.Id)) s.Found = wnd;
  return s.Found == nullptr;
}

HWND WaitDialog(int id) {
  for (int i = 0; i < 1000; ++i) {
    TSearch search{id};
    EnumWindows(FindDialog, reinterpret_cast<LPARAM>(&search));
    if (search.Found) {
      Sleep(100);
      return search.Found;
    }
    Sleep(20);
  }
  return nullptr;
}

void Command(HWND dlg, int id) {
  PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dlg, id)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string scenario = argv[1];
  gFolder = argv[2];
  int starts = 0;
  {
    std::ofstream(gFolder + "\\starts.txt", std::ios::app) << GetCurrentProcessId() << "\n";
    std::ifstream in(gFolder + "\\starts.txt");
    for (std::string line; std::getline(in, line);) ++starts;
  }
  if (starts >= 2) return 0;

  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(gFolder);
  o.SetAutoCrashOperation(tbNone);
  o.SetErrorsNumberToShowTerminateBtn(0);
  o.SetTerminateBtnOperation(scenario == "detailed-restart" ? tbRestart : tbTerminate);
  const bool classic = scenario == "classic-terminate";
  o.SetExceptionDialogType(classic ? edtMSClassic : edtTraciraLog);
  ExceptionActionNotify = [](TTraciraExceptionRecord&, TTraciraActionType action, bool&) {
    if (action == atTerminating) std::ofstream(gFolder + "\\terminating.txt", std::ios::app) << "1\n";
  };
  std::thread user([classic] {
    if (classic) {
      HWND dlg = WaitDialog(111);
      if (!dlg) return;
      SendMessageW(GetDlgItem(dlg, 104), BM_SETCHECK, BST_CHECKED, 0);
      Command(dlg, 1001);
    } else {
      HWND dlg = WaitDialog(1000);
      if (dlg) Command(dlg, 3);
    }
  });
  user.detach();
  rtl::Guarded([] { throw EScanerProblem(L"The user ends it"); },
               [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
  return 3;  // not reached: the program ends or restarts
}
