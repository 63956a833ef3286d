// A 1 MB report archived and sent over SMTP to the loopback server of
// run.sh: prints the time to archive it, the time to send it and the bytes
// of the message, and writes the message to OUT\message.eml so that curl
// can send the same bytes to the same server.
//   SendBench OUT_FOLDER PORT
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "crashreport/delivery/TrSmtpMessage.h"
#include "crashreport/delivery/TrSocketError.h"
#include "crashreport/send/TrSockets.h"
#include "crashreport/send/TrZip.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const fs::path out = argv[1];
  const auto port = static_cast<std::uint16_t>(std::atoi(argv[2]));

  // A report-like text: call-stack rows with varying addresses.
  std::string report;
  for (unsigned i = 0; report.size() < (1u << 20); ++i) {
    char row[160];
    std::snprintf(row, sizeof row,
                  "|Running|%08X|Tavrix.exe|Fmu\\fmuMain.cpp|TfmMain|chkDeviceEnClick|%u[%u]|\r\n",
                  0x401000u + i * 37u, 100 + i % 900, i % 17);
    report += row;
  }
  const fs::path reportFile = out / "Tavrix.tlf", archive = out / "BugReport.zip";
  std::ofstream(reportFile, std::ios::binary) << report;

  const auto zipStart = Clock::now();
  {
    tracira::TZipWriter zip(archive, "");
    zip.AddFile(reportFile, "Tavrix.tlf");
    zip.Close();
  }
  const auto zipEnd = Clock::now();
  std::ifstream in(archive, std::ios::binary);
  const std::string zipped{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};

  tracira::TMailMessage message;
  message.Date = "Fri, 11 Dec 2026 12:00:00 +0000";
  message.FromHeader = "\"Bench\" <reporter@tavrix.test>";
  message.Subject = "Bench";
  message.Recipient = "dev@example.test";
  message.Body = "The report is attached.";
  message.Attachments.push_back({"BugReport.zip", zipped});
  tracira::TSmtpSessionOptions session;
  session.HelloName = tracira::LocalHostName();
  session.EnvelopeFrom = "reporter@tavrix.test";
  session.Recipient = "dev@example.test";
  session.MessageText = tracira::ComposeMessage(message);
  // curl sends the same message (without the final "." line, which it adds).
  std::ofstream(out / "message.eml", std::ios::binary)
      << session.MessageText.substr(0, session.MessageText.size() - 3);

  const auto sendStart = Clock::now();
  try {
    tracira::SendSmtpMessage("127.0.0.1", port, session, 30000);
  } catch (const tracira::ETraciraSocketError& error) {
    std::fprintf(stderr, "send failed: %s\n", error.Text().c_str());
    return 1;
  }
  const auto sendEnd = Clock::now();
  const auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
  std::printf("report %zu bytes, archive %zu bytes, message %zu bytes\n", report.size(), zipped.size(),
              session.MessageText.size());
  std::printf("archive: %.1f ms\n", ms(zipEnd - zipStart));
  std::printf("tracira SMTP send: %.1f ms (no waiting for silence: replies are read by their structure)\n",
              ms(sendEnd - sendStart));
  return 0;
}
