// Options with every stored field set to a value other than its default,
// for the tests of the stored forms.
#pragma once

#include "crashreport/core/TrCore.h"

namespace tracira {

// Every stored field gets a value different from its default.
inline void SetEveryField(TTraciraModuleOptions& o) {
  o.SetActivateLog(true);
  o.SetActivateHandle(false);
  o.SetLogOptions({loNoDuplicateErrors, loAddComputerNameInLogFileName});
  o.SetAppendLogs(true);
  o.SetSaveLogFile(false);
  o.SetForegroundTab(ftCPU);
  o.SetFreezeActivate(true);
  o.SetFreezeTimeout(-7);
  o.SetSMTPFrom("from@example.org");
  o.SetSMTPHost("smtp.example.org");
  o.SetSMTPPort(2525);
  o.SetSMTPUserID("user");
  o.SetSMTPPassword("p\xE0ss\r\n");  // a final CR LF survives
  o.SetTerminateBtnOperation(tbTerminate);
  o.SetErrorsNumberToSave(-1);
  o.SetErrorsNumberToShowTerminateBtn(9);
  o.SetEMailAddresses("a@b.c;d@e.f");
  o.SetEMailSubject("Subject");
  o.SetEMailSendMode(esmSMTPServer);
  o.SetShowOptions(TShowOptions::FromBits(0x8000'0000'0001ull));
  o.SetOutputPath("C:\\Logs\\");
  o.SetWebSendMode(wsmMantis);
  o.SetWebURL("http://127.0.0.1/");
  o.SetWebUserID("webuser");
  o.SetWebPassword("webpass");
  o.SetWebPort(8081);
  o.SetAttachedFiles("a.txt;b.txt");
  o.SetCommonSendOptions({sndAddComputerNameInFileName, sndSendEntireLog});
  o.SetExceptionDialogOptions({edoShowCustomButton, edoShowInTopMostMode});
  o.SetAutoCloseDialogSecs(30);
  o.SetSupportURL("http://support/");
  o.SetHTMLLayout("<p><%HTML_TAG%></p>");
  o.SetCallStackOptions({csoDoNotStoreProcNames});
  o.SetBehaviourOptions({boCatchHandledExceptions, boPauseBorlandThreads});
  o.SetLeaksOptions({leaks::loCatchLeaks});
  o.SetAutoCrashOperation(tbNone);
  o.SetAutoCrashNumber(4);
  o.SetAutoCrashMinutes(5);
  o.SetCompiledFileOptions(TCompiledFileOptions::FromBits(0x81));  // a reserved bit is kept
  o.SetExceptionDialogType(edtTraciraLog);
  o.SetProxyURL("proxy");
  o.SetProxyUserID("puser");
  o.SetProxyPassword("ppass");
  o.SetProxyPort(3128);
  o.SetTrakerUserID("tuser");
  o.SetTrakerPassword("tpass");
  o.SetTrakerAssignTo("dev");
  o.SetTrakerProject("Tavrix");
  o.SetTrakerCategory("crash");
  o.SetTrakerTrialID("trial");
  o.SetZipPassword("zip");
  TTraciraExceptionsFilters filters;
  filters.Add({true, "EScanerX", "%TEMP%", fetHandled, fdtMessageBox, fhtRTL, fatRestart});
  filters.Add({false, "EAbort", "", fetUnhandled, fdtNone, fhtNone, fatTerminate});
  o.SetExceptionsFilters(filters);
  o.SetEMailMessage("line 1\r\nline 2");
  o.SetCustomizedTexts(mtInformationMsgCaption, "\xC8\xED\xF4\xEE");  // cp1251 bytes
  o.SetCustomizedTexts(mtInvalidEmailMsg, "");
  o.SetTextsCollection("Russian");
}

}  // namespace tracira
