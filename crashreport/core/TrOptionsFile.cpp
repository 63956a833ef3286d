#include "crashreport/core/TrOptionsFile.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <type_traits>
#include <vector>

#include "crashreport/core/TrText.h"

namespace tracira {

namespace {

// A value that doesn't fit its field; the reader adds file, line and key.
struct BadValue {
  std::string Expected;
};

// The members of each enumeration, in order: a member's number is its index.
constexpr std::string_view kExceptionDialogTypes[] = {"edtNone", "edtMessageBox", "edtMSClassic",
                                                      "edtTraciraLog"};
constexpr std::string_view kTerminateBtnOperations[] = {"tbNone", "tbTerminate", "tbRestart"};
constexpr std::string_view kForegroundTypes[] = {"ftGeneral",   "ftCallStack", "ftModules",
                                                 "ftProcesses", "ftAssembler", "ftCPU"};
constexpr std::string_view kLogOptions[] = {"loNoDuplicateErrors",
                                            "loAppendReproduceText",
                                            "loDeleteLogAtVersionChange",
                                            "loAddComputerNameInLogFileName",
                                            "loSaveModulesAndProcessesSections",
                                            "loSaveAssemblerAndCPUSections"};
constexpr std::string_view kCommonSendOptions[] = {
    "sndShowSendDialog",    "sndShowSuccessFailureMsg",    "sndSendEntireLog",    "sndSendXMLLogCopy",
    "sndSendScreenshot",    "sndUseOnlyActiveWindow",      "sndSendLastHTMLPage", "sndSendInSeparatedThread",
    "sndAddDateInFileName", "sndAddComputerNameInFileName"};
constexpr std::string_view kExceptionDialogOptions[] = {
    "edoSendErrorReportChecked",   "edoAttachScreenshotChecked",   "edoShowCopyToClipOption",
    "edoShowDetailsButton",        "edoShowInDetailedMode",        "edoShowInTopMostMode",
    "edoUseTraciraLogLookAndFeel", "edoShowSendErrorReportOption", "edoShowAttachScreenshotOption",
    "edoShowCustomButton"};
constexpr std::string_view kCallStackOptions[] = {"csoShowDLLs", "csoShowBPLs", "csoShowBorlandThreads",
                                                  "csoShowWindowsThreads", "csoDoNotStoreProcNames"};
constexpr std::string_view kBehaviourOptions[] = {
    "boPauseBorlandThreads",      "boDoNotPauseMainThread",  "boPauseWindowsThreads",
    "boUseMainModuleOptions",     "boCopyLogInCaseOfError",  "boSaveCompressedCopyInCaseOfError",
    "boHandleSafeCallExceptions", "boCallRTLExceptionEvent", "boCatchHandledExceptions"};
constexpr std::string_view kLeaksOptions[] = {"loCatchLeaks", "loGroupsSonLeaks", "loHideBorlandLeaks",
                                              "loFreeAllLeaks", "loCatchLeaksExceptions"};
constexpr std::string_view kCompiledFileOptions[] = {"cfoReduceFileSize"};
constexpr std::string_view kEmailSendModes[] = {"esmNoSend", "esmEmailClient", "esmSMTPClient",
                                                "esmSMTPServer"};
constexpr std::string_view kWebSendModes[] = {"wsmNoSend",   "wsmHTTP",    "wsmHTTPS", "wsmFTP",
                                              "wsmBugZilla", "wsmFogBugz", "wsmMantis"};
constexpr std::string_view kFilterExceptionTypes[] = {"fetAll", "fetHandled", "fetUnhandled"};
constexpr std::string_view kFilterDialogTypes[] = {"fdtNone", "fdtUnchanged", "fdtMessageBox", "fdtMSClassic",
                                                   "fdtTraciraLog"};
constexpr std::string_view kFilterHandlerTypes[] = {"fhtNone", "fhtRTL", "fhtTraciraLog"};
constexpr std::string_view kFilterActionTypes[] = {"fatNone", "fatTerminate", "fatRestart"};
constexpr std::string_view kShowOptions[] = {"soAppStartDate",
                                             "soAppName",
                                             "soAppVersionNumber",
                                             "soAppParameters",
                                             "soAppCompilationDate",
                                             "soAppUpTime",
                                             "soExcDate",
                                             "soExcAddress",
                                             "soExcModuleName",
                                             "soExcModuleVersion",
                                             "soExcType",
                                             "soExcMessage",
                                             "soExcID",
                                             "soExcCount",
                                             "soExcStatus",
                                             "soExcNote",
                                             "soUserID",
                                             "soUserName",
                                             "soUserEmail",
                                             "soUserPrivileges",
                                             "soUserCompany",
                                             "soActCtlsFormClass",
                                             "soActCtlsFormText",
                                             "soActCtlsControlClass",
                                             "soActCtlsControlText",
                                             "soCmpName",
                                             "soCmpTotalMemory",
                                             "soCmpFreeMemory",
                                             "soCmpTotalDisk",
                                             "soCmpFreeDisk",
                                             "soCmpSysUpTime",
                                             "soCmpProcessor",
                                             "soCmpDisplayMode",
                                             "soCmpDisplayDPI",
                                             "soCmpVideoCard",
                                             "soCmpPrinter",
                                             "soOSType",
                                             "soOSBuildN",
                                             "soOSUpdate",
                                             "soOSLanguage",
                                             "soOSCharset",
                                             "soNetIP",
                                             "soNetSubmask",
                                             "soNetGateway",
                                             "soNetDNS1",
                                             "soNetDNS2",
                                             "soNetDHCP",
                                             "soCustomData"};
static_assert(std::size(kShowOptions) == kShowOptionCount);
static_assert(std::size(kExceptionDialogTypes) == edtTraciraLog + 1);
static_assert(std::size(kForegroundTypes) == ftCPU + 1);
static_assert(std::size(kLogOptions) == loSaveAssemblerAndCPUSections + 1);
static_assert(std::size(kCommonSendOptions) == sndAddComputerNameInFileName + 1);
static_assert(std::size(kExceptionDialogOptions) == edoShowCustomButton + 1);
static_assert(std::size(kCallStackOptions) == csoDoNotStoreProcNames + 1);
static_assert(std::size(kBehaviourOptions) == boCatchHandledExceptions + 1);
static_assert(std::size(kLeaksOptions) == leaks::loCatchLeaksExceptions + 1);
static_assert(std::size(kWebSendModes) == wsmMantis + 1);
static_assert(std::size(kFilterActionTypes) == fatRestart + 1);

using Names = std::span<const std::string_view>;

std::string JoinNames(Names names) {
  std::string out;
  for (std::string_view n : names) out += (out.empty() ? "" : ", ") + std::string(n);
  return out;
}

std::string_view Trim(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// ---- values ----

std::string WriteBool(bool v) { return v ? "true" : "false"; }

bool ReadBool(std::string_view v) {
  if (v == "true") return true;
  if (v == "false") return false;
  throw BadValue{"true or false"};
}

template <typename T>
T ReadNumber(std::string_view v) {
  std::int64_t n = 0;
  const auto [end, ec] = std::from_chars(v.data(), v.data() + v.size(), n);
  const auto min = static_cast<std::int64_t>(std::numeric_limits<T>::min());
  const auto max = static_cast<std::int64_t>(std::numeric_limits<T>::max());
  if (v.empty() || ec != std::errc{} || end != v.data() + v.size() || n < min || n > max)
    throw BadValue{"a whole number from " + std::to_string(min) + " to " + std::to_string(max)};
  return static_cast<T>(n);
}

std::size_t ReadMember(std::string_view v, Names names, std::string_view typeName) {
  for (std::size_t i = 0; i < names.size(); ++i)
    if (names[i] == v) return i;
  throw BadValue{"a member of " + std::string(typeName) + " (" + JoinNames(names) + ")"};
}

// A set's members, and bits without a member by their numbers.
std::string WriteSet(std::uint64_t bits, unsigned width, Names names) {
  std::string out;
  for (unsigned bit = 0; bit < width; ++bit) {
    if (!((bits >> bit) & 1u)) continue;
    if (!out.empty()) out += ',';
    out += bit < names.size() ? std::string(names[bit]) : std::to_string(bit);
  }
  return out;
}

std::uint64_t ReadSet(std::string_view v, unsigned width, Names names, std::string_view typeName) {
  std::uint64_t bits = 0;
  if (v.empty()) return bits;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = v.find(',', start);
    const std::string_view item =
        Trim(v.substr(start, comma == std::string_view::npos ? v.npos : comma - start));
    unsigned bit = width;
    for (std::size_t i = 0; i < names.size(); ++i)
      if (names[i] == item) bit = static_cast<unsigned>(i);
    if (bit == width) {
      // A bit without a member, by its number.
      unsigned number = 0;
      const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), number);
      if (!item.empty() && ec == std::errc{} && end == item.data() + item.size() && number >= names.size())
        bit = std::min(number, width);
    }
    if (bit >= width)
      throw BadValue{"members of " + std::string(typeName) + " separated by commas (" + JoinNames(names) +
                     ")" + (item.empty() ? "" : "; \"" + std::string(item) + "\" is none of them")};
    if ((bits >> bit) & 1u) throw BadValue{"each member once; \"" + std::string(item) + "\" is listed twice"};
    bits |= std::uint64_t{1} << bit;
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return bits;
}

// Whether decoded text can stand on a line as it is: no C0 or C1 control
// character and no DEL.
bool Showable(std::string_view utf8) {
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x20 || b == 0x7F) return false;
    if (b == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) < 0xA0) return false;
  }
  return true;
}

void AppendByteEscape(std::string& out, char c) {
  char hex[5];
  std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
  out += hex;
}

// Text: the stored bytes of the program's code page, written as UTF-8 with
// escapes for what a line can't show or the code page doesn't decode.
std::string WriteText(const std::string& stored, unsigned codePage) {
  std::string out;
  std::size_t i = 0;
  while (i < stored.size()) {
    std::size_t end = i;
    while (end < stored.size() && static_cast<unsigned char>(stored[end]) >= 0x20 && stored[end] != '\\' &&
           stored[end] != 0x7F)
      ++end;
    if (end == i) {
      const char c = stored[i++];
      if (c == '\\')
        out += "\\\\";
      else if (c == '\r')
        out += "\\r";
      else if (c == '\n')
        out += "\\n";
      else if (c == '\t')
        out += "\\t";
      else
        AppendByteEscape(out, c);
      continue;
    }
    const std::string_view run(stored.data() + i, end - i);
    const std::optional<std::string> utf8 = CodePageToUtf8(run, codePage);
    if (utf8 && Showable(*utf8)) {
      out += *utf8;
    } else {
      // Byte by byte: what decodes alone stands as itself, the rest as escapes.
      for (char c : run) {
        const std::optional<std::string> one = CodePageToUtf8(std::string_view(&c, 1), codePage);
        if (one && !one->empty() && Showable(*one))
          out += *one;
        else
          AppendByteEscape(out, c);
      }
    }
    i = end;
  }
  // Blanks at either end would be dropped on reading.
  const std::size_t lead = std::min(out.find_first_not_of(' '), out.size());
  const std::size_t trail = out.size() - lead - (Trim(out).size());
  std::string escaped;
  for (std::size_t k = 0; k < lead; ++k) escaped += "\\x20";
  escaped += out.substr(lead, out.size() - lead - trail);
  for (std::size_t k = 0; k < trail; ++k) escaped += "\\x20";
  return escaped;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string ReadText(std::string_view v, unsigned codePage) {
  std::string out;
  std::string run;  // UTF-8 text waiting for conversion
  auto flush = [&] {
    if (run.empty()) return;
    const std::optional<std::string> stored = Utf8ToCodePage(run, codePage);
    if (!stored) {
      // Name the first character the code page lacks.
      std::size_t at = 0;
      while (at < run.size()) {
        std::size_t len = 1;
        while (at + len < run.size() && (static_cast<unsigned char>(run[at + len]) & 0xC0) == 0x80) ++len;
        if (!Utf8ToCodePage(run.substr(at, len), codePage))
          throw BadValue{"text that code page " + std::to_string(codePage) + " can hold; \"" +
                         run.substr(at, len) + "\" is not in it"};
        at += len;
      }
      throw BadValue{"text that code page " + std::to_string(codePage) + " can hold"};
    }
    out += *stored;
    run.clear();
  };
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (v[i] != '\\') {
      run += v[i];
      continue;
    }
    const char e = i + 1 < v.size() ? v[i + 1] : '\0';
    if (e == '\\' || e == 'r' || e == 'n' || e == 't') {
      run += e == '\\' ? '\\' : e == 'r' ? '\r' : e == 'n' ? '\n' : '\t';
      ++i;
    } else if (e == 'x' && i + 3 < v.size() && HexDigit(v[i + 2]) >= 0 && HexDigit(v[i + 3]) >= 0) {
      flush();
      out += static_cast<char>(HexDigit(v[i + 2]) * 16 + HexDigit(v[i + 3]));
      i += 3;
    } else {
      throw BadValue{"\\\\, \\r, \\n, \\t or \\xHH after a backslash (write \\\\ for a backslash itself)"};
    }
  }
  flush();
  return out;
}

// ---- fields of a record ----

struct Context {
  unsigned CodePage;
};

template <typename R>
struct Field {
  std::string_view Name;
  std::function<std::string(const R&, const Context&)> Write;
  std::function<void(R&, std::string_view, const Context&)> Read;
};

template <typename R>
Field<R> Text(std::string_view name, std::string R::*member) {
  return {name, [member](const R& r, const Context& c) { return WriteText(r.*member, c.CodePage); },
          [member](R& r, std::string_view v, const Context& c) { r.*member = ReadText(v, c.CodePage); }};
}

template <typename R>
Field<R> Flag(std::string_view name, bool R::*member) {
  return {name, [member](const R& r, const Context&) { return WriteBool(r.*member); },
          [member](R& r, std::string_view v, const Context&) { r.*member = ReadBool(v); }};
}

template <typename R, typename T>
Field<R> Number(std::string_view name, T R::*member) {
  return {name, [member](const R& r, const Context&) { return std::to_string(r.*member); },
          [member](R& r, std::string_view v, const Context&) { r.*member = ReadNumber<T>(v); }};
}

template <typename R, typename E>
Field<R> Enum(std::string_view name, E R::*member, Names names, std::string_view typeName) {
  return {name,
          [member, names](const R& r, const Context&) {
            const auto i = static_cast<std::size_t>(r.*member);
            return i < names.size() ? std::string(names[i]) : std::to_string(i);
          },
          [member, names, typeName](R& r, std::string_view v, const Context&) {
            r.*member = static_cast<E>(ReadMember(v, names, typeName));
          }};
}

template <typename R, typename S>
Field<R> Set(std::string_view name, S R::*member, Names names, std::string_view typeName) {
  constexpr unsigned width =
      std::is_same_v<S, TShowOptions> ? kShowOptionCount : 8 * sizeof(typename S::bits_type);
  return {
      name,
      [member, names](const R& r, const Context&) { return WriteSet((r.*member).ToBits(), width, names); },
      [member, names, typeName](R& r, std::string_view v, const Context&) {
        r.*member = S::FromBits(static_cast<typename S::bits_type>(ReadSet(v, width, names, typeName)));
      }};
}

using D = TTraciraOptionsData;
using F = TTraciraExceptionFilter;

// The record's properties, in the record's order. The build commands are
// read (the build tool runs them) but never stored in a program.
const std::vector<Field<D>>& OptionFields() {
  static const std::vector<Field<D>> fields = {
      Text("SMTPFrom", &D::SMTPFrom),
      Text("SMTPHost", &D::SMTPHost),
      Text("SMTPUserID", &D::SMTPUserID),
      Text("SMTPPassword", &D::SMTPPassword),
      Number("SMTPPort", &D::SMTPPort),
      Text("ProxyURL", &D::ProxyURL),
      Text("ProxyUserID", &D::ProxyUserID),
      Text("ProxyPassword", &D::ProxyPassword),
      Number("ProxyPort", &D::ProxyPort),
      Text("TrakerUserID", &D::TrakerUserID),
      Text("TrakerPassword", &D::TrakerPassword),
      Text("TrakerAssignTo", &D::TrakerAssignTo),
      Text("TrakerProject", &D::TrakerProject),
      Text("TrakerCategory", &D::TrakerCategory),
      Text("TrakerTrialID", &D::TrakerTrialID),
      Text("ZipPassword", &D::ZipPassword),
      Set("CompiledFileOptions", &D::CompiledFileOptions, kCompiledFileOptions, "TCompiledFileOption"),
      Enum("TerminateBtnOperation", &D::TerminateBtnOperation, kTerminateBtnOperations,
           "TTerminateBtnOperation"),
      Flag("FreezeActivate", &D::FreezeActivate),
      Number("FreezeTimeout", &D::FreezeTimeout),
      Set("ShowOptions", &D::ShowOptions, kShowOptions, "TShowOption"),
      Enum("ExceptionDialogType", &D::ExceptionDialogType, kExceptionDialogTypes, "TExceptionDialogType"),
      Text("TextsCollection", &D::TextsCollection),
      Flag("ActivateLog", &D::ActivateLog),
      Flag("ActivateHandle", &D::ActivateHandle),
      Flag("AppendLogs", &D::AppendLogs),
      Flag("SaveLogFile", &D::SaveLogFile),
      Set("LogOptions", &D::LogOptions, kLogOptions, "TLogOption"),
      Set("CommonSendOptions", &D::CommonSendOptions, kCommonSendOptions, "TCommonSendOption"),
      Enum("ForegroundTab", &D::ForegroundTab, kForegroundTypes, "TForegroundType"),
      Number("ErrorsNumberToSave", &D::ErrorsNumberToSave),
      Number("ErrorsNumberToShowTerminateBtn", &D::ErrorsNumberToShowTerminateBtn),
      Text("OutputPath", &D::OutputPath),
      Text("EMailAddresses", &D::EMailAddresses),
      Text("EMailSubject", &D::EMailSubject),
      Text("EMailMessage", &D::EMailMessage),
      Enum("EMailSendMode", &D::EMailSendMode, kEmailSendModes, "TEmailSendMode"),
      Enum("WebSendMode", &D::WebSendMode, kWebSendModes, "TWebSendMode"),
      Text("AttachedFiles", &D::AttachedFiles),
      Set("ExceptionDialogOptions", &D::ExceptionDialogOptions, kExceptionDialogOptions,
          "TExceptionDialogOption"),
      Number("AutoCloseDialogSecs", &D::AutoCloseDialogSecs),
      Text("SupportURL", &D::SupportURL),
      Text("HTMLLayout", &D::HTMLLayout),
      Enum("AutoCrashOperation", &D::AutoCrashOperation, kTerminateBtnOperations, "TTerminateBtnOperation"),
      Number("AutoCrashNumber", &D::AutoCrashNumber),
      Number("AutoCrashMinutes", &D::AutoCrashMinutes),
      Set("CallStackOptions", &D::CallStackOptions, kCallStackOptions, "TCallStackOption"),
      Set("BehaviourOptions", &D::BehaviourOptions, kBehaviourOptions, "TBehaviourOption"),
      Set("LeaksOptions", &D::LeaksOptions, kLeaksOptions, "TLeaksOption"),
      Text("WebURL", &D::WebURL),
      Number("WebPort", &D::WebPort),
      Text("WebPassword", &D::WebPassword),
      Text("WebUserID", &D::WebUserID),
  };
  return fields;
}

const std::vector<Field<D>>& BuildCommandFields() {
  static const std::vector<Field<D>> fields = {
      Text("PreBuildEvent", &D::PreBuildEvent),
      Text("PostSuccessfulBuildEvent", &D::PostSuccessfulBuildEvent),
      Text("PostFailureBuildEvent", &D::PostFailureBuildEvent),
  };
  return fields;
}

const std::vector<Field<F>>& FilterFields() {
  static const std::vector<Field<F>> fields = {
      Flag("Active", &F::Active),
      Text("ExceptionClassName", &F::ExceptionClassName),
      Text("ExceptionMessage", &F::ExceptionMessage),
      Enum("ExceptionType", &F::ExceptionType, kFilterExceptionTypes, "TFilterExceptionType"),
      Enum("DialogType", &F::DialogType, kFilterDialogTypes, "TFilterDialogType"),
      Enum("HandlerType", &F::HandlerType, kFilterHandlerTypes, "TFilterHandlerType"),
      Enum("ActionType", &F::ActionType, kFilterActionTypes, "TFilterActionType"),
  };
  return fields;
}

const std::vector<Field<TTrBlockSettings>>& LeakFields() {
  static const std::vector<Field<TTrBlockSettings>> fields = {
      Flag("FromMainModule", &TTrBlockSettings::LeaksFromMainModule),
  };
  return fields;
}

template <typename R>
const Field<R>* FindField(const std::vector<Field<R>>& fields, std::string_view name) {
  for (const Field<R>& f : fields)
    if (f.Name == name) return &f;
  return nullptr;
}

std::optional<TMessageType> FindText(std::string_view name) {
  for (std::size_t i = 0; i < kMessageTypeCount; ++i)
    if (MessageTypeName(static_cast<TMessageType>(i)) == name) return static_cast<TMessageType>(i);
  return std::nullopt;
}

// Whether text is UTF-8 throughout (no overlong forms, no surrogates).
bool IsUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    std::uint32_t cp = len == 1 ? b : b & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const std::uint32_t minimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < minimum[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += len;
  }
  return true;
}

class Reader {
 public:
  Reader(std::string_view fileName, unsigned codePage) : fFileName(fileName), fContext{codePage} {
    fResult.Options = TTraciraModuleOptions().Data();
  }

  TTrOptionsFile Read(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    std::size_t start = 0;
    while (start <= text.size()) {
      const std::size_t end = text.find('\n', start);
      std::string_view line = text.substr(start, end == std::string_view::npos ? text.npos : end - start);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      ++fLine;
      if (!IsUtf8(line)) Fail("the line is not UTF-8 text");
      TakeLine(line);
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
    return std::move(fResult);
  }

 private:
  enum class Section { None, Options, Filter, Texts, Leaks };

  [[noreturn]] void Fail(const std::string& message) const {
    throw EOptionsFileError(
        rtl::FromUtf8(std::string(fFileName) + ":" + std::to_string(fLine) + ": " + message));
  }

  void TakeLine(std::string_view raw) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line[0] == ';' || line[0] == '#') return;
    if (line[0] == '[') {
      if (line.back() != ']') Fail("expected a section header such as [Options]");
      OpenSection(Trim(line.substr(1, line.size() - 2)));
      return;
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos || Trim(line.substr(0, eq)).empty())
      Fail("expected Name=value, a [Section] or a comment");
    const std::string key(Trim(line.substr(0, eq)));
    const std::string_view value = Trim(line.substr(eq + 1));
    if (fSection == Section::None) Fail("\"" + key + "\" comes before any section; start with [Options]");
    if (!fKeys.insert(key).second) Fail(key + " is given twice in this section");
    try {
      TakeValue(key, value);
    } catch (const BadValue& bad) {
      Fail(key + ": expected " + bad.Expected);
    }
  }

  void OpenSection(std::string_view name) {
    fKeys.clear();
    const std::string n(name);
    if (n == "Options" || n == "Texts" || n == "Leaks") {
      if (!fSections.insert(n).second) Fail("the section [" + n + "] is given twice");
      fSection = n == "Options" ? Section::Options : n == "Texts" ? Section::Texts : Section::Leaks;
      return;
    }
    if (n.starts_with("Filter") && n.size() > 6 &&
        n.find_first_not_of("0123456789", 6) == std::string::npos) {
      const std::size_t expected = fResult.Options.ExceptionsFilters.Count() + 1;
      if (n != "Filter" + std::to_string(expected))
        Fail("expected [Filter" + std::to_string(expected) + "]: filters are numbered 1, 2, 3, ... in order");
      fResult.Options.ExceptionsFilters.Add();
      fSection = Section::Filter;
      return;
    }
    Fail("unknown section [" + n + "]; expected [Options], [FilterN], [Texts] or [Leaks]");
  }

  void TakeValue(const std::string& key, std::string_view value) {
    switch (fSection) {
      case Section::Options: {
        if (const Field<D>* f = FindField(OptionFields(), key))
          return f->Read(fResult.Options, value, fContext);
        if (const Field<D>* f = FindField(BuildCommandFields(), key))
          return f->Read(fResult.Options, value, fContext);
        if (key == "ModuleName" || key == "Active")
          Fail(key + " is not stored in a program: the crash reporter sets it at run time");
        if (key == "CustomizedTexts" || key == "ExceptionsFilters")
          Fail(key + " is written as sections: [Texts] and [Filter1], [Filter2], ...");
        Fail("unknown option \"" + key + "\"");
      }
      case Section::Filter: {
        TTraciraExceptionsFilters& filters = fResult.Options.ExceptionsFilters;
        if (const Field<F>* f = FindField(FilterFields(), key))
          return f->Read(filters[filters.Count() - 1], value, fContext);
        Fail("unknown filter field \"" + key + "\"; expected " + FieldNames(FilterFields()));
      }
      case Section::Texts: {
        const std::optional<TMessageType> type = FindText(key);
        if (!type) Fail("\"" + key + "\" is not a member of TMessageType");
        fResult.Options.CustomizedTexts[static_cast<std::size_t>(*type)] = ReadText(value, fContext.CodePage);
        return;
      }
      case Section::Leaks: {
        if (const Field<TTrBlockSettings>* f = FindField(LeakFields(), key))
          return f->Read(fResult.Block, value, fContext);
        Fail("unknown key \"" + key + "\" in [Leaks]; expected " + FieldNames(LeakFields()));
      }
      case Section::None:
        break;
    }
  }

  template <typename R>
  static std::string FieldNames(const std::vector<Field<R>>& fields) {
    std::string out;
    for (const Field<R>& f : fields) out += (out.empty() ? "" : ", ") + std::string(f.Name);
    return out;
  }

  std::string_view fFileName;
  Context fContext;
  TTrOptionsFile fResult;
  std::size_t fLine = 0;
  Section fSection = Section::None;
  std::set<std::string> fSections;
  std::set<std::string> fKeys;
};

template <typename R>
void WriteFields(std::string& out, const std::vector<Field<R>>& fields, const R& record, const Context& c) {
  for (const Field<R>& f : fields) out += std::string(f.Name) + "=" + f.Write(record, c) + "\n";
}

}  // namespace

TTrOptionsFile ReadOptionsFile(std::string_view text, std::string_view fileName, unsigned codePage) {
  return Reader(fileName, codePage).Read(text);
}

std::string WriteOptionsFile(const TTraciraOptionsData& options, const TTrBlockSettings& block,
                             unsigned codePage) {
  const Context c{codePage};
  std::string out = "[Options]\n";
  WriteFields(out, OptionFields(), options, c);
  for (std::size_t i = 0; i < options.ExceptionsFilters.Count(); ++i) {
    out += "\n[Filter" + std::to_string(i + 1) + "]\n";
    WriteFields(out, FilterFields(), options.ExceptionsFilters[i], c);
  }
  out += "\n[Leaks]\n";
  WriteFields(out, LeakFields(), block, c);
  out += "\n[Texts]\n";
  for (std::size_t i = 0; i < kMessageTypeCount; ++i)
    out += std::string(MessageTypeName(static_cast<TMessageType>(i))) + "=" +
           WriteText(options.CustomizedTexts[i], codePage) + "\n";
  return out;
}

}  // namespace tracira
