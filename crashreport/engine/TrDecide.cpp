#include "crashreport/engine/TrDecide.h"

#include <algorithm>
#include <cctype>

namespace tracira {

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool NamesClass(const std::string& filterName, const std::vector<std::string>& classNames) {
  if (filterName.empty()) return false;
  return std::any_of(classNames.begin(), classNames.end(), [&](const std::string& name) {
    return EqualNoCase(filterName, name) || EqualNoCase(filterName, ShortClassName(name));
  });
}

TExceptionDialogType DialogOf(TFilterDialogType type, TExceptionDialogType unchanged) {
  switch (type) {
    case fdtNone:
      return edtNone;
    case fdtMessageBox:
      return edtMessageBox;
    case fdtMSClassic:
      return edtMSClassic;
    case fdtTraciraLog:
      return edtTraciraLog;
    case fdtUnchanged:
      break;
  }
  return unchanged;
}

}  // namespace

std::string ShortClassName(const std::string& qualified) {
  // The last "::" outside template arguments.
  int depth = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < qualified.size(); ++i) {
    const char c = qualified[i];
    if (c == '<') ++depth;
    if (c == '>') --depth;
    if (depth == 0 && c == ':' && i + 1 < qualified.size() && qualified[i + 1] == ':') start = i + 2;
  }
  return qualified.substr(start);
}

TFilterChoice ChooseFilter(const TTraciraModuleOptions& options, const std::vector<std::string>& classNames,
                           bool handled) {
  TFilterChoice choice;
  choice.Dialog = options.ExceptionDialogType();
  if (!options.ActivateHandle()) return choice;
  const TTraciraExceptionsFilters& filters = options.ExceptionsFilters();
  for (std::size_t i = 0; i < filters.Count(); ++i) {
    const TTraciraExceptionFilter& f = filters[i];
    if (!f.Active) continue;
    if ((f.ExceptionType == fetHandled && !handled) || (f.ExceptionType == fetUnhandled && handled)) continue;
    if (!NamesClass(f.ExceptionClassName, classNames)) continue;
    choice.Handler = f.HandlerType;
    choice.Action = f.ActionType;
    choice.Dialog = DialogOf(f.DialogType, options.ExceptionDialogType());
    if (!f.ExceptionMessage.empty()) choice.CustomMessage = ExpandEnvVar(f.ExceptionMessage);
    choice.FromFilter = true;
    break;
  }
  return choice;
}

void TCrashTimes::Add(std::int64_t now, int keep) {
  fTimes.push_back(now);
  while (static_cast<int>(fTimes.size()) > std::max(keep, 0)) fTimes.pop_front();
}

bool TCrashTimes::IsCrashLoop(int number, int minutes) const {
  if (number <= 0 || static_cast<int>(fTimes.size()) != number) return false;
  return fTimes.back() - fTimes.front() <= std::int64_t{minutes} * 60;
}

}  // namespace tracira
