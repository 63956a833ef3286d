// The crash reporter's options of one module and the exception filters they
// own. The enumerations' member order is part of the stored form (a set's
// bit n is member n), so members are only ever appended.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "crashreport/core/TrMessages.h"
#include "rtl/Exceptions.h"

namespace tracira {

// A set of enumeration members kept as its stored bit pattern.
template <typename E, typename Bits>
class TrSet {
 public:
  using bits_type = Bits;
  constexpr TrSet() = default;
  constexpr TrSet(std::initializer_list<E> members) {
    for (E m : members) Include(m);
  }
  static constexpr TrSet FromBits(Bits bits) {
    TrSet s;
    s.fBits = bits;
    return s;
  }
  constexpr Bits ToBits() const { return fBits; }
  constexpr bool Contains(E m) const { return (fBits >> static_cast<unsigned>(m)) & 1u; }
  constexpr TrSet& Include(E m) {
    fBits = static_cast<Bits>(fBits | (Bits{1} << static_cast<unsigned>(m)));
    return *this;
  }
  constexpr TrSet& Exclude(E m) {
    fBits = static_cast<Bits>(fBits & ~(Bits{1} << static_cast<unsigned>(m)));
    return *this;
  }
  constexpr bool operator==(const TrSet&) const = default;

 private:
  Bits fBits = 0;
};

enum TExceptionDialogType : std::uint8_t { edtNone, edtMessageBox, edtMSClassic, edtTraciraLog };
enum TTerminateBtnOperation : std::uint8_t { tbNone, tbTerminate, tbRestart };
enum TForegroundType : std::uint8_t { ftGeneral, ftCallStack, ftModules, ftProcesses, ftAssembler, ftCPU };
enum TLogOption : std::uint8_t {
  loNoDuplicateErrors,
  loAppendReproduceText,
  loDeleteLogAtVersionChange,
  loAddComputerNameInLogFileName,
  loSaveModulesAndProcessesSections,
  loSaveAssemblerAndCPUSections
};
enum TCommonSendOption : std::uint8_t {
  sndShowSendDialog,
  sndShowSuccessFailureMsg,
  sndSendEntireLog,
  sndSendXMLLogCopy,
  sndSendScreenshot,
  sndUseOnlyActiveWindow,
  sndSendLastHTMLPage,
  sndSendInSeparatedThread,
  sndAddDateInFileName,
  sndAddComputerNameInFileName
};
enum TExceptionDialogOption : std::uint8_t {
  edoSendErrorReportChecked,
  edoAttachScreenshotChecked,
  edoShowCopyToClipOption,
  edoShowDetailsButton,
  edoShowInDetailedMode,
  edoShowInTopMostMode,
  edoUseTraciraLogLookAndFeel,
  edoShowSendErrorReportOption,
  edoShowAttachScreenshotOption,
  edoShowCustomButton
};
enum TCallStackOption : std::uint8_t {
  csoShowDLLs,
  csoShowBPLs,
  csoShowBorlandThreads,
  csoShowWindowsThreads,
  csoDoNotStoreProcNames
};
enum TBehaviourOption : std::uint8_t {
  boPauseBorlandThreads,
  boDoNotPauseMainThread,
  boPauseWindowsThreads,
  boUseMainModuleOptions,
  boCopyLogInCaseOfError,
  boSaveCompressedCopyInCaseOfError,
  boHandleSafeCallExceptions,
  boCallRTLExceptionEvent,
  boCatchHandledExceptions
};
// Shares the lo prefix with TLogOption; a scoped namespace keeps both usable.
namespace leaks {
enum TLeaksOption : std::uint8_t {
  loCatchLeaks,
  loGroupsSonLeaks,
  loHideBorlandLeaks,
  loFreeAllLeaks,
  loCatchLeaksExceptions
};
}
using leaks::TLeaksOption;
enum TCompiledFileOption : std::uint8_t { cfoReduceFileSize };
enum TEmailSendMode : std::uint8_t { esmNoSend, esmEmailClient, esmSMTPClient, esmSMTPServer };
enum TWebSendMode : std::uint8_t { wsmNoSend, wsmHTTP, wsmHTTPS, wsmFTP, wsmBugZilla, wsmFogBugz, wsmMantis };
enum TFilterExceptionType : std::uint8_t { fetAll, fetHandled, fetUnhandled };
enum TFilterDialogType : std::uint8_t { fdtNone, fdtUnchanged, fdtMessageBox, fdtMSClassic, fdtTraciraLog };
enum TFilterHandlerType : std::uint8_t { fhtNone, fhtRTL, fhtTraciraLog };
enum TFilterActionType : std::uint8_t { fatNone, fatTerminate, fatRestart };
enum TTraciraActionType : std::uint8_t {
  atShowingExceptionInfo,
  atShowedExceptionInfo,
  atSavingLogFile,
  atSavedLogFile,
  atSendingEmail,
  atSentEmail,
  atSendingWebMessage,
  atSentWebMessage,
  atTerminating
};
enum TTraciraLogErrorCode : std::uint8_t {
  eeNone,
  eeShowError,
  eeLogError,
  eeEmailMAPIError,
  eeEmailShellError,
  eeEmailSMTPError,
  eeWebHTTPError,
  eeWebHTTPSError,
  eeWebFTPError,
  eeWebTrakerError
};
enum TExceptionType : std::uint8_t {
  etUnknown,
  etHandleAnyException,
  etHandleOnException,
  etHandleAutoException
};

enum TShowOption : std::uint8_t {
  soAppStartDate,
  soAppName,
  soAppVersionNumber,
  soAppParameters,
  soAppCompilationDate,
  soAppUpTime,
  soExcDate,
  soExcAddress,
  soExcModuleName,
  soExcModuleVersion,
  soExcType,
  soExcMessage,
  soExcID,
  soExcCount,
  soExcStatus,
  soExcNote,
  soUserID,
  soUserName,
  soUserEmail,
  soUserPrivileges,
  soUserCompany,
  soActCtlsFormClass,
  soActCtlsFormText,
  soActCtlsControlClass,
  soActCtlsControlText,
  soCmpName,
  soCmpTotalMemory,
  soCmpFreeMemory,
  soCmpTotalDisk,
  soCmpFreeDisk,
  soCmpSysUpTime,
  soCmpProcessor,
  soCmpDisplayMode,
  soCmpDisplayDPI,
  soCmpVideoCard,
  soCmpPrinter,
  soOSType,
  soOSBuildN,
  soOSUpdate,
  soOSLanguage,
  soOSCharset,
  soNetIP,
  soNetSubmask,
  soNetGateway,
  soNetDNS1,
  soNetDNS2,
  soNetDHCP,
  soCustomData
};
inline constexpr unsigned kShowOptionCount = 48;
static_assert(soCustomData + 1 == kShowOptionCount);

using TLogOptions = TrSet<TLogOption, std::uint8_t>;
using TCommonSendOptions = TrSet<TCommonSendOption, std::uint16_t>;
using TExceptionDialogOptions = TrSet<TExceptionDialogOption, std::uint16_t>;
using TCallStackOptions = TrSet<TCallStackOption, std::uint8_t>;
using TBehaviourOptions = TrSet<TBehaviourOption, std::uint16_t>;
using TLeaksOptions = TrSet<TLeaksOption, std::uint8_t>;
using TCompiledFileOptions = TrSet<TCompiledFileOption, std::uint8_t>;
// 48 members, stored in 6 bytes.
using TShowOptions = TrSet<TShowOption, std::uint64_t>;
inline constexpr std::uint64_t kAllShowOptions = (std::uint64_t{1} << kShowOptionCount) - 1;

// Numbers of the runtime routines named in the data block's symbol table.
enum TSymbolID : std::uint8_t {
  VCL1_ID,
  VCL2_ID,
  CLX1_ID,
  CLX2_ID,
  ISAPI_ID,
  CGI_ID,
  IWebSrv_ID,
  IWebApp_ID,
  IWebRes_ID,
  NTService_ID,
  IndyThread_ID,
  ClassesInit_ID,
  ClassesFInit_ID,
  VariantsFInit_ID,
  SysUtilsInit_ID,
  SysUtilsFInit_ID,
  SystemFInit_ID,
  TrLeaksFInit_ID,
  ExceptionLogFInit_ID,
  FastMM4FInit_ID,
  // Not a routine: a stretch of the crash reporter's own code (one entry
  // per stretch), which call stacks don't show.
  TraciraCode_ID
};

// A stored options stream that can't be read: truncated, bad length, bad
// member value.
class EOptionsStreamError : public rtl::Exception {
 public:
  using Exception::Exception;
};

struct TTraciraExceptionFilter {
  bool Active = true;
  std::string ExceptionClassName;
  std::string ExceptionMessage;  // may hold environment variables
  TFilterExceptionType ExceptionType = fetAll;
  TFilterDialogType DialogType = fdtUnchanged;
  TFilterHandlerType HandlerType = fhtTraciraLog;
  TFilterActionType ActionType = fatNone;
  bool operator==(const TTraciraExceptionFilter&) const = default;
};

// Ordered list that owns its filter records.
class TTraciraExceptionsFilters {
 public:
  TTraciraExceptionFilter& Add(TTraciraExceptionFilter filter = {});
  // An index out of range raises rtl::Exception.
  void Delete(std::size_t index);
  void Clear() { fItems.clear(); }
  void Assign(const TTraciraExceptionsFilters& source) { fItems = source.fItems; }
  std::size_t Count() const { return fItems.size(); }
  TTraciraExceptionFilter& operator[](std::size_t index);
  const TTraciraExceptionFilter& operator[](std::size_t index) const;
  bool operator==(const TTraciraExceptionsFilters&) const = default;

 private:
  std::vector<TTraciraExceptionFilter> fItems;
};

using TCustomizedTexts = std::array<std::string, kMessageTypeCount>;

// Byte streams of the stored form.
using TByteBuffer = std::vector<std::uint8_t>;

// Every field of the options; plain data so that copying and comparing
// can never miss one.
struct TTraciraOptionsData {
  std::string SMTPFrom{};
  std::string SMTPHost{};
  std::string SMTPUserID{};
  std::string SMTPPassword{};
  std::uint16_t SMTPPort{};
  std::string ProxyURL{};
  std::string ProxyUserID{};
  std::string ProxyPassword{};
  std::uint16_t ProxyPort{};
  std::string TrakerUserID{};
  std::string TrakerPassword{};
  std::string TrakerAssignTo{};
  std::string TrakerProject{};
  std::string TrakerCategory{};
  std::string TrakerTrialID{};
  std::string ZipPassword{};
  std::string PreBuildEvent{};
  std::string PostSuccessfulBuildEvent{};
  std::string PostFailureBuildEvent{};
  TCompiledFileOptions CompiledFileOptions{};
  TTerminateBtnOperation TerminateBtnOperation{};
  bool FreezeActivate{};
  std::int32_t FreezeTimeout{};
  std::string ModuleName{};
  TShowOptions ShowOptions{};
  TExceptionDialogType ExceptionDialogType{};
  std::string TextsCollection{};
  bool ActivateLog{};
  bool ActivateHandle{};
  bool AppendLogs{};
  bool SaveLogFile{};
  TLogOptions LogOptions{};
  TCommonSendOptions CommonSendOptions{};
  TForegroundType ForegroundTab{};
  std::int32_t ErrorsNumberToShowTerminateBtn{};
  std::string OutputPath{};
  std::string EMailAddresses{};
  std::string EMailSubject{};
  std::string EMailMessage{};
  TEmailSendMode EMailSendMode{};
  TWebSendMode WebSendMode{};
  std::string AttachedFiles{};
  TExceptionDialogOptions ExceptionDialogOptions{};
  std::int32_t AutoCloseDialogSecs{};
  std::string SupportURL{};
  std::string HTMLLayout{};
  TTerminateBtnOperation AutoCrashOperation{};
  std::int32_t AutoCrashNumber{};
  std::int32_t AutoCrashMinutes{};
  TCallStackOptions CallStackOptions{};
  TBehaviourOptions BehaviourOptions{};
  TLeaksOptions LeaksOptions{};
  std::string WebURL{};
  std::int32_t WebPort{};
  std::string WebPassword{};
  std::string WebUserID{};
  bool Active{};
  std::int32_t ErrorsNumberToSave{};
  TCustomizedTexts CustomizedTexts;
  TTraciraExceptionsFilters ExceptionsFilters;
  bool operator==(const TTraciraOptionsData&) const = default;
};

// One property: a reader, and a setter that republishes the options.
#define TRACIRA_OPTION(Type, Name)                \
  const Type& Name() const { return fData.Name; } \
  void Set##Name(Type value) {                    \
    fData.Name = std::move(value);                \
    SaveToSharedData();                           \
  }

class TTraciraModuleOptions {
 public:
  explicit TTraciraModuleOptions(std::string moduleName = {});
  virtual ~TTraciraModuleOptions() = default;
  TTraciraModuleOptions(const TTraciraModuleOptions&) = delete;
  TTraciraModuleOptions& operator=(const TTraciraModuleOptions&) = delete;

  void SetToDefaultOptions();
  // Copies every field and the filters. A null source raises.
  void Assign(const TTraciraModuleOptions* source);
  // Takes every field of data but ModuleName, through the setters' rules.
  void Assign(const TTraciraOptionsData& data);

  void SaveToStream(TByteBuffer& stream) const;
  // Reads one stored options stream from data; returns the bytes consumed.
  // Damaged data raises EOptionsStreamError and leaves these options as they were.
  std::size_t LoadFromStream(const std::uint8_t* data, std::size_t size);
  void SaveToFile(const std::string& fileName) const;
  void LoadFromFile(const std::string& fileName);

  // CustomizedTexts[index] with environment variables expanded.
  std::string GetCustomizedExpandedTexts(TMessageType index) const;

  void DisableSharedDataWrite() { ++fSharedWriteLock; }
  void EnableSharedDataWrite() {
    if (fSharedWriteLock > 0) --fSharedWriteLock;
  }
  bool SharedDataWriteEnabled() const { return fSharedWriteLock == 0; }

  const TTraciraOptionsData& Data() const { return fData; }

  TRACIRA_OPTION(std::string, SMTPFrom)
  TRACIRA_OPTION(std::string, SMTPHost)
  TRACIRA_OPTION(std::string, SMTPUserID)
  TRACIRA_OPTION(std::string, SMTPPassword)
  TRACIRA_OPTION(std::uint16_t, SMTPPort)
  TRACIRA_OPTION(std::string, ProxyURL)
  TRACIRA_OPTION(std::string, ProxyUserID)
  TRACIRA_OPTION(std::string, ProxyPassword)
  TRACIRA_OPTION(std::uint16_t, ProxyPort)
  TRACIRA_OPTION(std::string, TrakerUserID)
  TRACIRA_OPTION(std::string, TrakerPassword)
  TRACIRA_OPTION(std::string, TrakerAssignTo)
  TRACIRA_OPTION(std::string, TrakerProject)
  TRACIRA_OPTION(std::string, TrakerCategory)
  TRACIRA_OPTION(std::string, TrakerTrialID)
  TRACIRA_OPTION(std::string, ZipPassword)
  TRACIRA_OPTION(std::string, PreBuildEvent)
  TRACIRA_OPTION(std::string, PostSuccessfulBuildEvent)
  TRACIRA_OPTION(std::string, PostFailureBuildEvent)
  TRACIRA_OPTION(TCompiledFileOptions, CompiledFileOptions)
  TRACIRA_OPTION(TTerminateBtnOperation, TerminateBtnOperation)
  TRACIRA_OPTION(bool, FreezeActivate)
  TRACIRA_OPTION(std::int32_t, FreezeTimeout)
  TRACIRA_OPTION(std::string, ModuleName)
  TRACIRA_OPTION(TShowOptions, ShowOptions)
  TRACIRA_OPTION(TExceptionDialogType, ExceptionDialogType)
  TRACIRA_OPTION(std::string, TextsCollection)
  TRACIRA_OPTION(bool, ActivateLog)
  TRACIRA_OPTION(bool, ActivateHandle)
  TRACIRA_OPTION(bool, AppendLogs)
  TRACIRA_OPTION(bool, SaveLogFile)
  TRACIRA_OPTION(TLogOptions, LogOptions)
  TRACIRA_OPTION(TCommonSendOptions, CommonSendOptions)
  TRACIRA_OPTION(TForegroundType, ForegroundTab)
  TRACIRA_OPTION(std::int32_t, ErrorsNumberToShowTerminateBtn)
  TRACIRA_OPTION(std::string, OutputPath)
  TRACIRA_OPTION(std::string, EMailAddresses)
  TRACIRA_OPTION(std::string, EMailSubject)
  TRACIRA_OPTION(std::string, EMailMessage)
  TRACIRA_OPTION(TEmailSendMode, EMailSendMode)
  TRACIRA_OPTION(TWebSendMode, WebSendMode)
  TRACIRA_OPTION(std::string, AttachedFiles)
  TRACIRA_OPTION(TExceptionDialogOptions, ExceptionDialogOptions)
  TRACIRA_OPTION(std::int32_t, AutoCloseDialogSecs)
  TRACIRA_OPTION(std::string, SupportURL)
  TRACIRA_OPTION(std::string, HTMLLayout)
  TRACIRA_OPTION(TTerminateBtnOperation, AutoCrashOperation)
  TRACIRA_OPTION(std::int32_t, AutoCrashNumber)
  TRACIRA_OPTION(std::int32_t, AutoCrashMinutes)
  TRACIRA_OPTION(TCallStackOptions, CallStackOptions)
  TRACIRA_OPTION(TBehaviourOptions, BehaviourOptions)
  TRACIRA_OPTION(TLeaksOptions, LeaksOptions)
  TRACIRA_OPTION(std::string, WebURL)
  TRACIRA_OPTION(std::int32_t, WebPort)
  TRACIRA_OPTION(std::string, WebPassword)
  TRACIRA_OPTION(std::string, WebUserID)
  TRACIRA_OPTION(bool, Active)

  const TCustomizedTexts& CustomizedTexts() const { return fData.CustomizedTexts; }
  void SetCustomizedTexts(TMessageType index, std::string text);
  const TTraciraExceptionsFilters& ExceptionsFilters() const { return fData.ExceptionsFilters; }
  // Changing the filters through this reference doesn't republish; call
  // SetExceptionsFilters for that.
  TTraciraExceptionsFilters& ExceptionsFilters() { return fData.ExceptionsFilters; }
  void SetExceptionsFilters(TTraciraExceptionsFilters filters);
  std::int32_t ErrorsNumberToSave() const { return fData.ErrorsNumberToSave; }
  // 0 would keep no report at all: it stores 1.
  void SetErrorsNumberToSave(std::int32_t value);

 protected:
  // Every setter ends here; publishing to the process's shared data is the
  // business of the derived class that owns the shared block.
  void SaveToSharedData() {
    if (SharedDataWriteEnabled()) DoSaveToSharedData();
  }
  virtual void DoSaveToSharedData() {}

 private:
  TTraciraOptionsData fData;
  int fSharedWriteLock = 0;
};

#undef TRACIRA_OPTION

// Expands %NAME% references from the process environment (on Windows by the
// system, which sees the variables the program set itself); unknown names
// and a lone % stay as written; the result ends at its first NUL.
std::string ExpandEnvVar(const std::string& text);
// The same for a file name given as UTF-8, which keeps every character of a
// variable's value (ExpandEnvVar's result is in the code page).
std::string ExpandEnvVarUtf8(const std::string& text);

// The one-byte key that scrambles stored strings.
inline constexpr std::uint8_t kStringScrambleKey = 0xA7;

// The default sender address of SMTPFrom.
inline constexpr const char* kDefaultSMTPFrom = "tavrix@localhost";

}  // namespace tracira
