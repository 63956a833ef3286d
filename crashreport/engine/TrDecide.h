// The handling's decisions that depend on nothing but their inputs: which
// exception filter applies, and whether the crash times show a crash loop.
// Platform-neutral, so they are tested natively too.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"

namespace tracira {

// What the options and their filters decide for one exception.
struct TFilterChoice {
  TFilterHandlerType Handler = fhtTraciraLog;
  TFilterActionType Action = fatNone;
  TExceptionDialogType Dialog = edtMSClassic;
  // A filter's own message (environment variables expanded), shown in place
  // of the exception's; empty when none.
  std::string CustomMessage;
  bool FromFilter = false;  // a filter chose it
};

// classNames: the exception's class first, then its ancestors, each as the
// report names it ("EScanerX") or fully qualified ("rtl::EAbort"); a filter
// names a class either way, without regard to case. handled: the program's
// own code catches the exception.
TFilterChoice ChooseFilter(const TTraciraModuleOptions& options, const std::vector<std::string>& classNames,
                           bool handled);

// The times (in seconds) of the latest reported exceptions, for the guard
// against crash loops.
class TCrashTimes {
 public:
  // Appends now and drops the oldest while more than keep are held.
  void Add(std::int64_t now, int keep);
  // True when exactly number times are held and the newest is at most
  // minutes after the oldest.
  bool IsCrashLoop(int number, int minutes) const;
  std::size_t Count() const { return fTimes.size(); }

 private:
  std::deque<std::int64_t> fTimes;
};

// The name a class is reported by: its qualified name without namespaces
// ("rtl::EAbort" gives "EAbort"; template arguments are kept).
std::string ShortClassName(const std::string& qualified);

}  // namespace tracira
