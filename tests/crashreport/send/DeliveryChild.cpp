// A program whose crash reporter sends its report, for the delivery tests:
//   tracira_delivery_child MODE FOLDER
// It raises one exception to the edge of its handling, so the handling runs
// to the end (the report is sent in line), then writes the crash reporter's
// internal error text to FOLDER\internal.txt and ends with exit code 0.
// MODE:
//   exchangers  straight to each recipient's mail exchanger (one of the
//               three has none), with a user ID that must not be used, a
//               zip password and an extra attached file
//   kept        through a server that refuses the connection: the archive
//               is kept in the log's folder, under a dated name
//   mail-client through the default mail client's Simple MAPI library, with
//               its send dialog asked for
//   web         posted to the loopback web server's upload page, with a
//               custom web field
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "crashreport/engine/ExceptionLog.h"
#include "rtl/Exceptions.h"
#include "rtl/Guarded.h"

namespace {

using namespace tracira;

class EScanerFault : public rtl::Exception {
 public:
  using Exception::Exception;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string mode = argv[1], folder = argv[2];
  const char* port = std::getenv("TAVRIX_SMTP_PORT");
  if (!port) return 3;

  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(folder);
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);
  o.SetSMTPPort(static_cast<std::uint16_t>(std::atoi(port)));
  o.SetEMailSubject("Tavrix crash");
  o.SetEMailMessage("A report is attached.\r\n.\r\nThe line above is a lone dot.");
  o.SetSMTPFrom("reporter@tavrix.test");
  if (mode == "exchangers") {
    o.SetEMailSendMode(esmSMTPServer);
    o.SetEMailAddresses("dev@example.test; nobody@nomx.test, qa@other.test");
    o.SetSMTPUserID("reporter");
    o.SetSMTPPassword("s3cret");
    o.SetZipPassword("zip-secret");
    o.SetAttachedFiles(folder + "\\notes.txt;" + folder + "\\missing.txt");
    o.SetCommonSendOptions(TCommonSendOptions{sndSendXMLLogCopy});
  } else if (mode == "kept") {
    o.SetEMailSendMode(esmSMTPClient);
    o.SetSMTPHost("127.0.0.1");
    o.SetSMTPPort(1);  // nobody listens there
    o.SetEMailAddresses("dev@example.test");
    o.SetCommonSendOptions(TCommonSendOptions{sndAddDateInFileName});
    TBehaviourOptions behaviour = o.BehaviourOptions();
    o.SetBehaviourOptions(behaviour.Include(boSaveCompressedCopyInCaseOfError));
  } else if (mode == "mail-client") {
    o.SetEMailSendMode(esmEmailClient);
    o.SetEMailAddresses("dev@example.test;qa@example.test");
    o.SetAttachedFiles(folder + "\\notes.txt");
    o.SetCommonSendOptions(TCommonSendOptions{sndShowSendDialog});
  } else if (mode == "web") {
    const char* http = std::getenv("TAVRIX_HTTP_PORT");
    if (!http) return 3;
    o.SetWebSendMode(wsmHTTP);
    o.SetWebURL(std::string("http://127.0.0.1:") + http + "/upload");
    o.SetCommonSendOptions(TCommonSendOptions{sndAddComputerNameInFileName});
    CustomWebFieldsRequest = [](TTraciraExceptionRecord&, std::vector<std::string>& fields) {
      fields.push_back("station=Line 3");
    };
  } else {
    return 4;
  }

  rtl::Guarded([] { throw EScanerFault(L"The scanner fell over in the delivery test"); },
               [] { ExceptionManager(nullptr, nullptr, 1, nullptr); });
  std::ofstream(folder + "\\internal.txt", std::ios::binary) << InternalErrorText();
  return 0;
}
