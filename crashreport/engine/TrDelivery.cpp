#include "crashreport/engine/TrDelivery.h"

#include <windows.h>
// After windows.h, whose types it uses.
#include <mapi.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <system_error>

#include "crashreport/core/TrText.h"
#include "crashreport/delivery/TrSmtpMessage.h"
#include "crashreport/delivery/TrSmtpSession.h"
#include "crashreport/delivery/TrSocketError.h"
#include "crashreport/delivery/TrWebTools.h"
#include "crashreport/dialogs/TrDialogLogic.h"
#include "crashreport/dialogs/TrSendDialog.h"
#include "crashreport/engine/TrEvents.h"
#include "crashreport/engine/TrLiveReport.h"
#include "crashreport/engine/TrLogPlace.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"
#include "crashreport/send/TrSockets.h"
#include "crashreport/send/TrWebUpload.h"
#include "crashreport/send/TrZip.h"
#include "rtl/Handle.h"
#include "rtl/SysErrors.h"

namespace tracira {

namespace {

constexpr unsigned kSocketTimeoutMs = 30000;
constexpr std::size_t kKeptArchives = 10;
constexpr std::wstring_view kArchiveStem = L"BugReport";
constexpr DWORD kMailClientWaitMs = 5 * 60 * 1000;

std::wstring RegistryText(HKEY root, const wchar_t* key, const wchar_t* value) {
  wchar_t text[2048] = {};
  DWORD size = sizeof text - sizeof(wchar_t);
  if (RegGetValueW(root, key, value, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, text,
                   &size) != ERROR_SUCCESS)
    return {};
  return text;
}

template <typename T>
T Procedure(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// The default mail client's MAPI library (the current user's choice first,
// then the machine's), else the system's.
rtl::UniqueModule MapiLibrary() {
  for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
    const std::wstring client = RegistryText(root, L"SOFTWARE\\Clients\\Mail", L"");
    if (client.empty()) continue;
    const std::wstring dll = RegistryText(root, (L"SOFTWARE\\Clients\\Mail\\" + client).c_str(), L"DLLPath");
    if (dll.empty()) continue;
    wchar_t expanded[MAX_PATH * 2] = {};
    if (ExpandEnvironmentStringsW(dll.c_str(), expanded, static_cast<DWORD>(std::size(expanded))))
      if (HMODULE module = LoadLibraryW(expanded)) return rtl::UniqueModule(module);
    break;
  }
  return rtl::UniqueModule(LoadLibraryW(L"mapi32.dll"));
}

std::filesystem::path TempFolder() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return length ? std::filesystem::path(std::wstring(buffer, length))
                : std::filesystem::temp_directory_path();
}

void RemoveQuietly(const std::filesystem::path& file) {
  std::error_code ignored;
  if (!file.empty()) std::filesystem::remove(file, ignored);
}

bool ReadWhole(const std::filesystem::path& file, std::string& bytes) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

std::string ComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &length) ? ToAnsi(std::wstring_view(name, length)) : std::string();
}

// The user's full name as the system gives it, else the logon name.
std::string LoggedUserName() {
  wchar_t name[256] = {};
  DWORD length = static_cast<DWORD>(std::size(name));
  if (GetUserNameW(name, &length) && length > 1) return ToAnsi(std::wstring_view(name, length - 1));
  return {};
}

std::string NowAsRFCDate() {
  SYSTEMTIME l;
  GetLocalTime(&l);
  TIME_ZONE_INFORMATION zone;
  const DWORD kind = GetTimeZoneInformation(&zone);
  long bias = zone.Bias;
  if (kind == TIME_ZONE_ID_DAYLIGHT) bias += zone.DaylightBias;
  if (kind == TIME_ZONE_ID_STANDARD) bias += zone.StandardBias;
  return RFCDate({l.wYear, l.wMonth, l.wDay, l.wHour, l.wMinute, l.wSecond}, static_cast<int>(-bias));
}

// One delivery run's files and state; its destructor is the clean-up.
class TDeliveryRun {
 public:
  TDeliveryRun(TEngine& e, TClosingSteps& closing)
      : e(e), fClosing(closing), fOptions(*closing.Options), fTemp(TempFolder()) {
    fSendOptions = fOptions.CommonSendOptions();
    fLastLog =
        fSendOptions.Contains(sndSendEntireLog) && !e.EntireLog.empty() ? e.EntireLog : closing.Report.Text;
    fArchive = fTemp / (std::wstring(kArchiveStem) + L".zip");
  }
  TDeliveryRun(const TDeliveryRun&) = delete;
  TDeliveryRun& operator=(const TDeliveryRun&) = delete;

  ~TDeliveryRun() {
    RemoveQuietly(fArchive);
    RemoveQuietly(fXMLCopy);
    RemoveQuietly(fLogCopy);
  }

  void Run() {
    // The send-progress window for the run: on a thread of its
    // own (modal there) unless the report goes on a sending thread already;
    // modeless on this thread when no thread may be started.
    TSendDialogSetup window;
    window.Options = &fOptions;
    window.GUIProgram = IsGUIProgram();
    window.CannotUseThread = e.CannotUseThread;
    ShowSendDialog(window, !fSendOptions.Contains(sndSendInSeparatedThread));
    struct TCloseWindow {
      ~TCloseWindow() { CloseSendDialog(); }
    } closeWindow;
    CreateTemporaryFiles();
    bool ok = true;
    if (fOptions.EMailSendMode() != esmNoSend) {
      PrepareFilesToSend(true);
      ok = SendEmailMessage() && ok;
    }
    if (fOptions.WebSendMode() != wsmNoSend) {
      if (fOptions.EMailSendMode() == esmNoSend || fOptions.AppendLogs()) PrepareFilesToSend(false);
      ok = SendWebMessage() && ok;
    }
    if (!ok && fOptions.BehaviourOptions().Contains(boCopyLogInCaseOfError))
      SetClipboardText(fClosing.Report.Text);
    if (fSendOptions.Contains(sndShowSuccessFailureMsg)) ShowOutcome(ok);
    if (!ok && fOptions.BehaviourOptions().Contains(boSaveCompressedCopyInCaseOfError)) KeepArchive();
  }

 private:
  // The report copy (the log's file name in the temporary folder) and the
  // XML copy.
  void CreateTemporaryFiles() {
    fLogCopy = fTemp / OutputLogFile(fOptions).filename();
    std::string text = fLastLog;
    if (text.size() < kReportSeparator.size() ||
        text.compare(text.size() - kReportSeparator.size(), kReportSeparator.size(), kReportSeparator) != 0)
      text += kReportSeparator;
    std::ofstream out(fLogCopy, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!out) RemoveQuietly(fLogCopy);
    out.close();
    if (fSendOptions.Contains(sndSendXMLLogCopy)) {
      fXMLCopy = fLogCopy;
      fXMLCopy.replace_extension(".xml");
      try {
        TLogFile report;
        report.LoadFromBuffer(fClosing.Report.Text + std::string(kReportSeparator));
        if (report.GetCount() > 0) report.SaveXMLCopy(0, fXMLCopy);
      } catch (const std::exception&) {
        RemoveQuietly(fXMLCopy);
      }
    }
  }

  // The files that go along, packed into the one archive.
  void PrepareFilesToSend(bool forEmail) {
    std::vector<std::string> files = SplitRecipients(fOptions.AttachedFiles());
    if (!(forEmail && fOptions.AppendLogs()) && std::filesystem::exists(fLogCopy))
      files.push_back(PathToAnsi(fLogCopy));
    if (!fClosing.ScreenshotFile.empty()) files.push_back(fClosing.ScreenshotFile);
    if (!fXMLCopy.empty()) files.push_back(PathToAnsi(fXMLCopy));
    FireAttachedFilesRequest(e, fClosing.Record, files);
    std::vector<std::filesystem::path> existing;
    for (const std::string& name : files) {
      std::filesystem::path file = AnsiToPath(ExpandEnvVar(name));
      std::error_code error;
      if (std::filesystem::is_regular_file(file, error)) existing.push_back(std::move(file));
    }
    fAttachments.clear();
    RemoveQuietly(fArchive);
    if (existing.empty()) return;
    try {
      TZipWriter zip(fArchive, fOptions.ZipPassword());
      for (const std::filesystem::path& file : existing) zip.AddFile(file, PathToUtf8(file.filename()));
      zip.Close();
      fAttachments.push_back(fArchive);
    } catch (const ETraciraSocketError& error) {
      SetInternalError(e, eeEmailSMTPError, "[Zip] " + error.Text(), 0);
      RemoveQuietly(fArchive);
    }
  }

  bool SendEmailMessage() {
    if (!FireAction(e, fClosing.Record, atSendingEmail)) return false;
    bool sent = false;
    do {
      const TEmailSendMode mode = fOptions.EMailSendMode();
      if (mode == esmSMTPClient || mode == esmSMTPServer) {
        sent = SMTPSendEmail(mode == esmSMTPServer);
      } else {
        sent = InternalSendMail();
        if (!sent) sent = ShellSendMail();
      }
    } while (!sent && FireError(e, fClosing.Record, atSentEmail));
    const bool confirmed = FireAction(e, fClosing.Record, atSentEmail);
    return sent && confirmed;
  }

  bool SendWebMessage() {
    if (!FireAction(e, fClosing.Record, atSendingWebMessage)) return false;
    bool sent = false;
    do {
      sent = UploadFiles();
    } while (!sent && FireError(e, fClosing.Record, atSentWebMessage));
    const bool confirmed = FireAction(e, fClosing.Record, atSentWebMessage);
    return sent && confirmed;
  }

  bool UploadFiles() {
    const TWebSendMode mode = fOptions.WebSendMode();
    const auto fail = [&](TTraciraLogErrorCode code, const std::string& text) {
      SetInternalError(e, code, text, ToAddress(fClosing.Record.ExceptionAddress));
      return false;
    };
    if (mode != wsmHTTP && mode != wsmHTTPS && mode != wsmFTP)
      return fail(eeWebTrakerError, "[Web] Sending to a bug tracker is not available in this build.");
    const std::optional<TUrlParts> url = ElaborateURL(fOptions.WebURL());
    const std::string section = mode == wsmFTP ? "FTP" : mode == wsmHTTPS ? "HTTPS" : "HTTP";
    const TTraciraLogErrorCode code = mode == wsmFTP     ? eeWebFTPError
                                      : mode == wsmHTTPS ? eeWebHTTPSError
                                                         : eeWebHTTPError;
    if (!url || url->Host.empty())
      return fail(code, "[" + section + "] The address \"" + fOptions.WebURL() + "\" can't be read.");
    TWebTarget target;
    target.Host = url->Host;
    target.Path = url->Path;
    target.Port = fOptions.WebPort() > 0 && fOptions.WebPort() <= 65535
                      ? static_cast<std::uint16_t>(fOptions.WebPort())
                      : url->Port;
    target.User = fOptions.WebUserID().empty() ? url->User : fOptions.WebUserID();
    target.Password = fOptions.WebPassword().empty() ? url->Password : fOptions.WebPassword();
    target.Https = mode == wsmHTTPS;
    if (!fOptions.ProxyURL().empty())
      target.ProxyServer = fOptions.ProxyURL() + ":" + std::to_string(fOptions.ProxyPort());
    target.ProxyUser = fOptions.ProxyUserID();
    target.ProxyPassword = fOptions.ProxyPassword();
    std::vector<TUploadFile> files;
    for (const std::filesystem::path& file : fAttachments)
      files.push_back({file, DeliveryName(file, fOptions, fClosing.ExceptionTime)});
    std::string errorText;
    std::int32_t result = 0;
    WebCallBackProc(0, 0, 0);
    const TUploadProgress progress = [](std::size_t done, std::size_t total) {
      WebCallBackProc(2, total, done);
    };
    if (mode == wsmFTP) {
      result = FTPUploadFiles(target, files, errorText, progress);
    } else {
      std::vector<std::string> entries;
      FireCustomWebFieldsRequest(e, fClosing.Record, entries);
      TFormFields fields;
      for (const std::string& entry : entries) fields.push_back(SplitWebField(entry));
      result = HTTPUploadFiles(target, fields, files, errorText, progress);
    }
    if (result == 0) return true;
    return fail(code, "[" + section + "] " + WebErrorText(section, result, errorText));
  }

  // A customised text of the send-progress window.
  std::string Text(TMessageType type) const { return fOptions.GetCustomizedExpandedTexts(type); }

  std::string Body(bool withLog) const {
    std::string body = ExpandEnvVar(fOptions.EMailMessage());
    if (withLog && fOptions.AppendLogs()) body += std::string(kReportSeparator) + fLastLog;
    return body;
  }

  std::vector<TMailAttachment> ReadAttachments() const {
    std::vector<TMailAttachment> attachments;
    for (const std::filesystem::path& file : fAttachments) {
      TMailAttachment attachment;
      if (!ReadWhole(file, attachment.Bytes)) continue;
      attachment.DeliveryName = DeliveryName(file, fOptions, fClosing.ExceptionTime);
      attachments.push_back(std::move(attachment));
    }
    return attachments;
  }

  bool SMTPSendEmail(bool toExchangers) {
    const std::vector<std::string> recipients = SplitRecipients(fOptions.EMailAddresses());
    const TFromAddress from = MakeFromAddress(
        fOptions.SMTPFrom().empty() ? std::string(kDefaultSMTPFrom) : fOptions.SMTPFrom(), LoggedUserName());
    TMailMessage message;
    message.FromHeader = from.Header;
    message.Subject = ExpandEnvVar(fOptions.EMailSubject());
    message.Body = Body(true);
    message.Attachments = ReadAttachments();
    const std::string helloName = LocalHostName();
    // Looked up once per run: each recipient may need it.
    std::vector<std::string> dnsServers;
    const TSendOutcome outcome = SendToEachRecipient(
        recipients, [&](const std::string& recipient, std::size_t number, std::size_t count) {
          SetSendDialogMessageNumbers(static_cast<int>(number), static_cast<int>(count));
          SetSendDialogBar(0);
          std::string host = fOptions.SMTPHost();
          TSmtpSessionOptions session;
          session.HelloName = helloName;
          session.EnvelopeFrom = from.Envelope;
          session.Recipient = recipient;
          if (toExchangers) {
            if (dnsServers.empty()) dnsServers = GetDNSList();
            host = GetMXServerFromEmail(recipient, kSocketTimeoutMs, dnsServers);
          } else {
            // A mail exchanger never gets the credentials of our own server.
            session.UserID = fOptions.SMTPUserID();
            session.Password = fOptions.SMTPPassword();
          }
          message.Date = NowAsRFCDate();
          message.Recipient = recipient;
          message.TickCount = GetTickCount();
          session.MessageText = ComposeMessage(message);
          SetSendDialogLabel(Text(mtSendDialog_Connecting));
          SendSmtpMessage(host, fOptions.SMTPPort(), session, kSocketTimeoutMs,
                          [](std::size_t sent, std::size_t total) {
                            SetSendDialogBar(dlg::ProgressPercent(total, sent));
                          });
          SetSendDialogLabel(Text(mtSendDialog_Sent));
        });
    if (!outcome.AnySent() || !outcome.ErrorText().empty())
      SetInternalError(e, eeEmailSMTPError, "[SMTP] " + outcome.ErrorText(),
                       ToAddress(fClosing.Record.ExceptionAddress));
    return outcome.AnySent();
  }

  // The default mail client, through its Simple MAPI library.
  bool InternalSendMail() {
    const auto fail = [&](const std::string& text) {
      SetInternalError(e, eeEmailMAPIError, "[MAPI] " + text, ToAddress(fClosing.Record.ExceptionAddress));
      return false;
    };
    const rtl::UniqueModule library = MapiLibrary();
    if (!library) return fail("Cannot open the MAPI dll.");
    const auto logon = Procedure<LPMAPILOGON>(library.get(), "MAPILogon");
    const auto logoff = Procedure<LPMAPILOGOFF>(library.get(), "MAPILogoff");
    const auto sendMail = Procedure<LPMAPISENDMAIL>(library.get(), "MAPISendMail");
    if (!logon || !logoff || !sendMail) return fail("Cannot found the MAPI functions.");
    LHANDLE session = 0;
    if (logon(0, nullptr, nullptr, MAPI_LOGON_UI, 0, &session) != SUCCESS_SUCCESS)
      return fail("Cannot LogOn into the MAPI service.");

    std::string subject = OneString(ExpandEnvVar(fOptions.EMailSubject()));
    std::string body = Body(true);
    std::vector<std::string> recipients = SplitRecipients(fOptions.EMailAddresses());
    std::vector<std::string> smtpAddresses;
    for (const std::string& r : recipients) smtpAddresses.push_back("SMTP:" + r);
    std::vector<MapiRecipDesc> to(recipients.size());
    for (std::size_t i = 0; i < recipients.size(); ++i) {
      to[i].ulRecipClass = MAPI_TO;
      to[i].lpszName = recipients[i].data();
      to[i].lpszAddress = smtpAddresses[i].data();
    }
    std::vector<std::string> paths, names;
    for (const std::filesystem::path& file : fAttachments) {
      paths.push_back(PathToAnsi(file));
      names.push_back(DeliveryName(file, fOptions, fClosing.ExceptionTime));
    }
    std::vector<MapiFileDesc> files(paths.size());
    for (std::size_t i = 0; i < paths.size(); ++i) {
      files[i].nPosition = static_cast<ULONG>(-1);
      files[i].lpszPathName = paths[i].data();
      files[i].lpszFileName = names[i].data();
    }
    MapiMessage message{};
    message.lpszSubject = subject.data();
    message.lpszNoteText = body.data();
    message.nRecipCount = static_cast<ULONG>(to.size());
    message.lpRecips = to.data();
    message.nFileCount = static_cast<ULONG>(files.size());
    message.lpFiles = files.empty() ? nullptr : files.data();
    const FLAGS flags = MAPI_LOGON_UI | (fSendOptions.Contains(sndShowSendDialog) ? MAPI_DIALOG : 0);
    const ULONG result = sendMail(session, 0, &message, flags, 0);
    logoff(session, 0, 0, 0);
    // A user who cancelled in the mail client has not sent the report.
    if (result != SUCCESS_SUCCESS) return fail("Cannot send the MAPI message.");
    return true;
  }

  // The "mailto:" command of the system, for a mail client without MAPI.
  bool ShellSendMail() {
    std::wstring command = RegistryText(HKEY_CLASSES_ROOT, L"mailto\\shell\\open\\command", L"");
    const auto fail = [&](const std::string& text) {
      SetInternalError(e, eeEmailShellError, "[Shell] " + text, ToAddress(fClosing.Record.ExceptionAddress));
      return false;
    };
    if (command.empty()) return fail("No program is registered for mailto: addresses.");
    command = FromAnsi(ExpandEnvVar(ToAnsi(command)));
    const std::string body =
        ExpandEnvVar(fOptions.EMailMessage()) + std::string(kReportSeparator) + fClosing.Report.Text;
    const std::wstring address =
        FromAnsi("mailto:" + EncodeURL(fOptions.EMailAddresses()) + "?Subject=" +
                 EncodeURL(OneString(ExpandEnvVar(fOptions.EMailSubject()))) + "&Body=" + EncodeURL(body));
    const std::size_t at = command.find(L"%1");
    if (at != std::wstring::npos)
      command.replace(at, 2, address);
    else
      command += L" \"" + address + L"\"";
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESHOWWINDOW;
    start.wShowWindow = SW_SHOWMAXIMIZED;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &start,
                        &process))
      return fail(ToAnsi(rtl::SysErrorMessage(GetLastError())));
    const rtl::UniqueHandle thread(process.hThread), child(process.hProcess);
    WaitForInputIdle(child.get(), 10000);
    // The handling lock is held meanwhile: a mail client left open must
    // not keep every later exception of the program waiting.
    const DWORD waited = WaitForSingleObject(child.get(), kMailClientWaitMs);
    DWORD exitCode = 0;
    if (waited == WAIT_TIMEOUT) return true;  // handed over; the user is still writing
    return waited == WAIT_OBJECT_0 && GetExitCodeProcess(child.get(), &exitCode) != 0;
  }

  void ShowOutcome(bool ok) const {
    const auto text = [&](TMessageType type) { return FromAnsi(fOptions.GetCustomizedExpandedTexts(type)); };
    MessageBoxW(nullptr, text(ok ? mtSend_SuccessMsg : mtSend_FailureMsg).c_str(),
                text(mtInformationMsgCaption).c_str(),
                MB_TOPMOST | MB_SETFOREGROUND | MB_TASKMODAL | (ok ? MB_ICONINFORMATION : MB_ICONERROR));
  }

  void KeepArchive() {
    if (fAttachments.empty()) return;
    const std::filesystem::path folder = GetWorkingFile(OutputLogFile(fOptions)).parent_path();
    const std::filesystem::path kept =
        folder / AnsiToPath(DeliveryName(fArchive, fOptions, fClosing.ExceptionTime));
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (MoveFileExW(fArchive.c_str(), kept.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
      DeleteExtraArchives(folder, kKeptArchives);
  }

  TEngine& e;
  TClosingSteps& fClosing;
  const TTraciraModuleOptions& fOptions;
  TCommonSendOptions fSendOptions;
  std::filesystem::path fTemp, fLogCopy, fXMLCopy, fArchive;
  std::string fLastLog;
  std::vector<std::filesystem::path> fAttachments;
};

}  // namespace

std::string DeliveryName(const std::filesystem::path& file, const TTraciraModuleOptions& options,
                         const SYSTEMTIME& t) {
  const TCommonSendOptions send = options.CommonSendOptions();
  std::string name = PathToAnsi(file.stem());
  if (send.Contains(sndAddComputerNameInFileName)) name += "__" + ComputerName();
  if (send.Contains(sndAddDateInFileName)) {
    char date[16];
    std::snprintf(date, sizeof date, "%04u%02u%02u%02u%02u%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond);
    name += "__" + std::string(date);
  }
  return name + PathToAnsi(file.extension());
}

void DeleteExtraArchives(const std::filesystem::path& folder, std::size_t keep) {
  std::vector<std::filesystem::path> archives;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    const std::wstring name = entry.path().filename().wstring();
    const bool ours =
        _wcsnicmp(name.c_str(), kArchiveStem.data(), kArchiveStem.size()) == 0 &&
        (name.size() == kArchiveStem.size() + 4 || name.compare(kArchiveStem.size(), 2, L"__") == 0) &&
        _wcsicmp(entry.path().extension().c_str(), L".zip") == 0;
    if (ours && entry.is_regular_file(error)) archives.push_back(entry.path());
  }
  if (archives.size() <= keep) return;
  std::sort(archives.begin(), archives.end());
  for (std::size_t i = 0; i + keep < archives.size(); ++i) RemoveQuietly(archives[i]);
}

void DeliverReport(TClosingSteps& closing) {
  if (!gEngine.Get() || !closing.Options) return;
  TDeliveryRun run(*gEngine, closing);
  run.Run();
}

}  // namespace tracira
