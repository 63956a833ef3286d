#include "crashreport/core/TrCore.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "crashreport/core/TrStream.h"
#include "crashreport/core/TrText.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#endif

namespace tracira {

namespace {

const char kDefaultHTMLLayout[] =
    "<html>\r\n"
    "<head>\r\n"
    "<meta http-equiv=\"Content-Type\" content=\"text/html\">\r\n"
    "</head>\r\n"
    "<body>\r\n"
    "<font face=\"Lucida Console, Courier\" size=\"2\">\r\n"
    "<%HTML_TAG%>\r\n"
    "</font>\r\n"
    "</body>\r\n"
    "</html>";

// Strings are stored verbatim, scrambled byte by byte. (A final CR LF is
// kept: dropping it would change the value on every round trip.)
void WriteString(TrByteWriter& w, const std::string& s) {
  w.U32(static_cast<std::uint32_t>(s.size()));
  for (unsigned char c : s) w.U8(static_cast<std::uint8_t>(c ^ kStringScrambleKey));
}

std::string ReadString(TrByteReader& r) {
  const std::uint32_t length = r.U32();
  if (length > r.Remaining())
    throw EOptionsStreamError(L"Options stream: string length beyond the end of the data.");
  const std::uint8_t* p = r.Take(length);
  std::string s(length, '\0');
  for (std::uint32_t i = 0; i < length; ++i) s[i] = static_cast<char>(p[i] ^ kStringScrambleKey);
  return s;
}

bool ReadBool(TrByteReader& r) {
  const std::uint8_t v = r.U8();
  if (v > 1) throw EOptionsStreamError(L"Options stream: a boolean field holds neither 0 nor 1.");
  return v != 0;
}

template <typename E>
E ReadEnum(TrByteReader& r, E last) {
  const std::uint8_t v = r.U8();
  if (v > static_cast<std::uint8_t>(last))
    throw EOptionsStreamError(L"Options stream: an enumeration field is out of range.");
  return static_cast<E>(v);
}

}  // namespace

TTraciraExceptionFilter& TTraciraExceptionsFilters::Add(TTraciraExceptionFilter filter) {
  return fItems.emplace_back(std::move(filter));
}

void TTraciraExceptionsFilters::Delete(std::size_t index) {
  if (index >= fItems.size())
    throw rtl::Exception(L"List index out of bounds (" + std::to_wstring(index) + L").");
  fItems.erase(fItems.begin() + static_cast<std::ptrdiff_t>(index));
}

TTraciraExceptionFilter& TTraciraExceptionsFilters::operator[](std::size_t index) {
  if (index >= fItems.size())
    throw rtl::Exception(L"List index out of bounds (" + std::to_wstring(index) + L").");
  return fItems[index];
}

const TTraciraExceptionFilter& TTraciraExceptionsFilters::operator[](std::size_t index) const {
  if (index >= fItems.size())
    throw rtl::Exception(L"List index out of bounds (" + std::to_wstring(index) + L").");
  return fItems[index];
}

TTraciraModuleOptions::TTraciraModuleOptions(std::string moduleName) {
  DisableSharedDataWrite();
  SetToDefaultOptions();
  fData.ModuleName = std::move(moduleName);
  EnableSharedDataWrite();
}

void TTraciraModuleOptions::SetToDefaultOptions() {
  TTraciraOptionsData d;
  d.SMTPFrom = kDefaultSMTPFrom;
  d.SMTPPort = 25;
  d.ProxyPort = 8080;
  d.CompiledFileOptions = {cfoReduceFileSize};
  d.TerminateBtnOperation = tbRestart;
  d.FreezeActivate = false;
  d.FreezeTimeout = 60;
  d.ModuleName = fData.ModuleName;
  d.ShowOptions = TShowOptions::FromBits(kAllShowOptions);
  d.ExceptionDialogType = edtMSClassic;
  for (std::size_t i = 0; i < kMessageTypeCount; ++i)
    d.CustomizedTexts[i] = std::string(DefaultMessageText(static_cast<TMessageType>(i)));
  d.TextsCollection = "English";
  d.ActivateLog = false;
  d.ActivateHandle = true;
  d.AppendLogs = false;
  d.SaveLogFile = true;
  d.LogOptions = {loSaveModulesAndProcessesSections, loSaveAssemblerAndCPUSections};
  d.CommonSendOptions = {sndShowSendDialog, sndSendScreenshot, sndSendLastHTMLPage};
  d.ForegroundTab = ftGeneral;
  d.ErrorsNumberToSave = 32;
  d.ErrorsNumberToShowTerminateBtn = 3;
  d.EMailSendMode = esmNoSend;
  d.WebSendMode = wsmNoSend;
  d.ExceptionDialogOptions = {edoSendErrorReportChecked,    edoAttachScreenshotChecked,
                              edoShowCopyToClipOption,      edoShowDetailsButton,
                              edoShowSendErrorReportOption, edoShowAttachScreenshotOption};
  d.AutoCloseDialogSecs = 0;
  d.HTMLLayout = kDefaultHTMLLayout;
  d.AutoCrashOperation = tbRestart;
  d.AutoCrashNumber = 10;
  d.AutoCrashMinutes = 1;
  d.CallStackOptions = {csoShowDLLs, csoShowBPLs, csoShowBorlandThreads, csoShowWindowsThreads};
  d.BehaviourOptions = {boUseMainModuleOptions, boCopyLogInCaseOfError, boHandleSafeCallExceptions};
  d.LeaksOptions = {leaks::loGroupsSonLeaks, leaks::loHideBorlandLeaks, leaks::loFreeAllLeaks,
                    leaks::loCatchLeaksExceptions};
  d.WebPort = 0;
  d.Active = true;
  fData = std::move(d);
  SaveToSharedData();
}

void TTraciraModuleOptions::Assign(const TTraciraModuleOptions* source) {
  if (source == nullptr) throw rtl::Exception(L"Impossible to assign nil as TTraciraModuleOptions.");
  if (source == this) return;
  fData = source->fData;
  SaveToSharedData();
}

void TTraciraModuleOptions::Assign(const TTraciraOptionsData& data) {
  std::string moduleName = std::move(fData.ModuleName);
  fData = data;
  fData.ModuleName = std::move(moduleName);
  if (fData.ErrorsNumberToSave == 0) fData.ErrorsNumberToSave = 1;
  SaveToSharedData();
}

void TTraciraModuleOptions::SetCustomizedTexts(TMessageType index, std::string text) {
  if (static_cast<std::size_t>(index) >= kMessageTypeCount)
    throw rtl::Exception(L"Message index out of range.");
  fData.CustomizedTexts[static_cast<std::size_t>(index)] = std::move(text);
  SaveToSharedData();
}

void TTraciraModuleOptions::SetExceptionsFilters(TTraciraExceptionsFilters filters) {
  fData.ExceptionsFilters = std::move(filters);
  SaveToSharedData();
}

void TTraciraModuleOptions::SetErrorsNumberToSave(std::int32_t value) {
  fData.ErrorsNumberToSave = value == 0 ? 1 : value;
  SaveToSharedData();
}

std::string TTraciraModuleOptions::GetCustomizedExpandedTexts(TMessageType index) const {
  if (static_cast<std::size_t>(index) >= kMessageTypeCount) return {};
  return ExpandEnvVar(fData.CustomizedTexts[static_cast<std::size_t>(index)]);
}

void TTraciraModuleOptions::SaveToStream(TByteBuffer& stream) const {
  TrByteWriter w(stream);
  const TTraciraOptionsData& d = fData;
  w.U8(d.ActivateLog);
  w.U8(d.ActivateHandle);
  w.U8(d.LogOptions.ToBits());
  w.U8(d.AppendLogs);
  w.U8(d.SaveLogFile);
  w.U8(d.ForegroundTab);
  w.U8(d.FreezeActivate);
  w.I32(d.FreezeTimeout);
  WriteString(w, d.SMTPFrom);
  WriteString(w, d.SMTPHost);
  w.U16(d.SMTPPort);
  WriteString(w, d.SMTPUserID);
  WriteString(w, d.SMTPPassword);
  w.U8(d.TerminateBtnOperation);
  w.I32(d.ErrorsNumberToSave);
  w.I32(d.ErrorsNumberToShowTerminateBtn);
  WriteString(w, d.EMailAddresses);
  WriteString(w, d.EMailSubject);
  w.U8(d.EMailSendMode);
  w.U48(d.ShowOptions.ToBits());
  WriteString(w, d.OutputPath);
  w.U8(d.WebSendMode);
  WriteString(w, d.WebURL);
  WriteString(w, d.WebUserID);
  WriteString(w, d.WebPassword);
  w.I32(d.WebPort);
  WriteString(w, d.AttachedFiles);
  w.U16(d.CommonSendOptions.ToBits());
  w.U16(d.ExceptionDialogOptions.ToBits());
  w.I32(d.AutoCloseDialogSecs);
  WriteString(w, d.SupportURL);
  WriteString(w, d.HTMLLayout);
  w.U8(d.CallStackOptions.ToBits());
  w.U16(d.BehaviourOptions.ToBits());
  w.U8(d.LeaksOptions.ToBits());
  w.U8(d.AutoCrashOperation);
  w.I32(d.AutoCrashNumber);
  w.I32(d.AutoCrashMinutes);
  w.U8(d.CompiledFileOptions.ToBits());
  w.U8(d.ExceptionDialogType);
  WriteString(w, d.ProxyURL);
  WriteString(w, d.ProxyUserID);
  WriteString(w, d.ProxyPassword);
  w.U16(d.ProxyPort);
  WriteString(w, d.TrakerUserID);
  WriteString(w, d.TrakerPassword);
  WriteString(w, d.TrakerAssignTo);
  WriteString(w, d.TrakerProject);
  WriteString(w, d.TrakerCategory);
  WriteString(w, d.TrakerTrialID);
  WriteString(w, d.ZipPassword);
  w.U32(static_cast<std::uint32_t>(d.ExceptionsFilters.Count()));
  for (std::size_t i = 0; i < d.ExceptionsFilters.Count(); ++i) {
    const TTraciraExceptionFilter& f = d.ExceptionsFilters[i];
    w.U8(f.Active);
    WriteString(w, f.ExceptionClassName);
    WriteString(w, f.ExceptionMessage);
    w.U8(f.ExceptionType);
    w.U8(f.DialogType);
    w.U8(f.HandlerType);
    w.U8(f.ActionType);
  }
  WriteString(w, d.EMailMessage);
  for (const std::string& text : d.CustomizedTexts) WriteString(w, text);
  WriteString(w, d.TextsCollection);
}

std::size_t TTraciraModuleOptions::LoadFromStream(const std::uint8_t* data, std::size_t size) {
  // Read into a copy: fields the stream doesn't hold (ModuleName, the build
  // events) keep their values, and a damaged stream changes nothing.
  TTraciraOptionsData d = fData;
  TrByteReader r(data, size);
  try {
    d.ActivateLog = ReadBool(r);
    d.ActivateHandle = ReadBool(r);
    d.LogOptions = TLogOptions::FromBits(r.U8());
    d.AppendLogs = ReadBool(r);
    d.SaveLogFile = ReadBool(r);
    d.ForegroundTab = ReadEnum(r, ftCPU);
    d.FreezeActivate = ReadBool(r);
    d.FreezeTimeout = r.I32();
    d.SMTPFrom = ReadString(r);
    d.SMTPHost = ReadString(r);
    d.SMTPPort = r.U16();
    d.SMTPUserID = ReadString(r);
    d.SMTPPassword = ReadString(r);
    d.TerminateBtnOperation = ReadEnum(r, tbRestart);
    d.ErrorsNumberToSave = r.I32();
    if (d.ErrorsNumberToSave == 0) d.ErrorsNumberToSave = 1;
    d.ErrorsNumberToShowTerminateBtn = r.I32();
    d.EMailAddresses = ReadString(r);
    d.EMailSubject = ReadString(r);
    d.EMailSendMode = ReadEnum(r, esmSMTPServer);
    d.ShowOptions = TShowOptions::FromBits(r.U48());
    d.OutputPath = ReadString(r);
    d.WebSendMode = ReadEnum(r, wsmMantis);
    d.WebURL = ReadString(r);
    d.WebUserID = ReadString(r);
    d.WebPassword = ReadString(r);
    d.WebPort = r.I32();
    d.AttachedFiles = ReadString(r);
    d.CommonSendOptions = TCommonSendOptions::FromBits(r.U16());
    d.ExceptionDialogOptions = TExceptionDialogOptions::FromBits(r.U16());
    d.AutoCloseDialogSecs = r.I32();
    d.SupportURL = ReadString(r);
    d.HTMLLayout = ReadString(r);
    d.CallStackOptions = TCallStackOptions::FromBits(r.U8());
    d.BehaviourOptions = TBehaviourOptions::FromBits(r.U16());
    d.LeaksOptions = TLeaksOptions::FromBits(r.U8());
    d.AutoCrashOperation = ReadEnum(r, tbRestart);
    d.AutoCrashNumber = r.I32();
    d.AutoCrashMinutes = r.I32();
    d.CompiledFileOptions = TCompiledFileOptions::FromBits(r.U8());
    d.ExceptionDialogType = ReadEnum(r, edtTraciraLog);
    d.ProxyURL = ReadString(r);
    d.ProxyUserID = ReadString(r);
    d.ProxyPassword = ReadString(r);
    d.ProxyPort = r.U16();
    d.TrakerUserID = ReadString(r);
    d.TrakerPassword = ReadString(r);
    d.TrakerAssignTo = ReadString(r);
    d.TrakerProject = ReadString(r);
    d.TrakerCategory = ReadString(r);
    d.TrakerTrialID = ReadString(r);
    d.ZipPassword = ReadString(r);
    const std::uint32_t filterCount = r.U32();
    // The smallest stored filter is 13 bytes: a count beyond what is left
    // is damage, not a reason to reserve gigabytes.
    if (filterCount > r.Remaining() / 13)
      throw EOptionsStreamError(L"Options stream: filter count beyond the end of the data.");
    d.ExceptionsFilters.Clear();
    for (std::uint32_t i = 0; i < filterCount; ++i) {
      TTraciraExceptionFilter f;
      f.Active = ReadBool(r);
      f.ExceptionClassName = ReadString(r);
      f.ExceptionMessage = ReadString(r);
      f.ExceptionType = ReadEnum(r, fetUnhandled);
      f.DialogType = ReadEnum(r, fdtTraciraLog);
      f.HandlerType = ReadEnum(r, fhtTraciraLog);
      f.ActionType = ReadEnum(r, fatRestart);
      d.ExceptionsFilters.Add(std::move(f));
    }
    d.EMailMessage = ReadString(r);
    for (std::string& text : d.CustomizedTexts) text = ReadString(r);
    d.TextsCollection = ReadString(r);
  } catch (const EStreamReadError&) {
    throw EOptionsStreamError(L"Options stream: the data ends before the last field.");
  }
  fData = std::move(d);
  SaveToSharedData();
  return r.Position();
}

void TTraciraModuleOptions::SaveToFile(const std::string& fileName) const {
  TByteBuffer buffer;
  SaveToStream(buffer);
  std::ofstream out(fileName, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
  out.close();
  if (!out) throw rtl::Exception(L"Cannot write the options file " + rtl::FromUtf8(fileName) + L".");
}

void TTraciraModuleOptions::LoadFromFile(const std::string& fileName) {
  std::ifstream in(fileName, std::ios::binary);
  if (!in) throw rtl::Exception(L"Cannot open the options file " + rtl::FromUtf8(fileName) + L".");
  const TByteBuffer buffer{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  LoadFromStream(buffer.data(), buffer.size());
}

#ifdef _WIN32

namespace {

// The system's own expansion: it sees the variables the program set with
// SetEnvironmentVariable, which the C runtime's copy of the environment
// doesn't. Unknown names and a lone % stay as written; nullopt when the
// system can't expand the text at all.
std::optional<std::wstring> ExpandWide(const std::wstring& text) {
  std::wstring out(text.size() + 256, L'\0');
  for (;;) {
    const DWORD n = ExpandEnvironmentStringsW(text.c_str(), out.data(), static_cast<DWORD>(out.size()));
    if (n == 0) return std::nullopt;
    if (n <= out.size()) break;
    out.resize(n);
  }
  out.resize(std::wcslen(out.c_str()));  // cut at the first NUL
  return out;
}

}  // namespace

std::string ExpandEnvVar(const std::string& text) {
  const std::optional<std::wstring> out = ExpandWide(FromAnsi(text));
  return out ? ToAnsi(*out) : text;
}

std::string ExpandEnvVarUtf8(const std::string& text) {
  const std::optional<std::wstring> out = ExpandWide(Utf8ToPath(text).wstring());
  return out ? PathToUtf8(*out) : text;
}

#else

std::string ExpandEnvVar(const std::string& text) {
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t open = text.find('%', i);
    if (open == std::string::npos) break;
    const std::size_t close = text.find('%', open + 1);
    if (close == std::string::npos) break;
    out.append(text, i, open - i);
    const std::string name = text.substr(open + 1, close - open - 1);
    const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
    if (value != nullptr) {
      out += value;
      i = close + 1;
    } else {
      // Not a variable: keep the first % and look for a reference from the second.
      out += '%';
      i = open + 1;
      out.append(text, i, close - i);
      i = close;
    }
  }
  out.append(text, i, std::string::npos);
  return out.substr(0, out.find('\0'));
}

// Off Windows the code page is UTF-8 already.
std::string ExpandEnvVarUtf8(const std::string& text) { return ExpandEnvVar(text); }

#endif

}  // namespace tracira
