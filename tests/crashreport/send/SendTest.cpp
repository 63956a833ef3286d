// Sending a report over the network, against real servers on loopback in a
// network namespace of the test's own (tests/support/with-loopback-servers.sh):
// the SMTP client, the MX lookup, and the whole delivery run of a crashing
// program, read back from the mail server's files and the archive inside.
#include <gtest/gtest.h>
#include <minizip/unzip.h>
#include <windows.h>
// After windows.h, whose types it uses.
#include <wininet.h>
#include <winsock2.h>
// After unzip.h: it needs the zlib declarations that one brings.
#include <minizip/iowin32.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/delivery/TrBase64.h"
#include "crashreport/delivery/TrSmtpMessage.h"
#include "crashreport/delivery/TrSocketError.h"
#include "crashreport/send/TrSockets.h"
#include "crashreport/send/TrWebUpload.h"
#include "crashreport/send/TrZip.h"
#include "tests/support/ChildProcess.h"

namespace {

using namespace tracira;
namespace fs = std::filesystem;

// A Unix path of the test run, as Wine shows it.
fs::path FromUnix(const char* path) {
  std::string text = std::string("Z:") + path;
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}

std::uint16_t SmtpPort() { return static_cast<std::uint16_t>(std::atoi(std::getenv("TAVRIX_SMTP_PORT"))); }

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path Here() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return fs::path(path).parent_path();
}

class Servers : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* mail = std::getenv("TAVRIX_MAIL_DIR");
    ASSERT_TRUE(mail && std::getenv("TAVRIX_SMTP_PORT"))
        << "run through tests/support/with-loopback-servers.sh";
    mailDir = FromUnix(mail);
    for (const auto& entry : fs::directory_iterator(mailDir)) fs::remove(entry.path());
  }

  // The accepted messages, oldest first.
  std::vector<std::string> Mails() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(mailDir))
      if (entry.path().filename().wstring()[0] != L'.') files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<std::string> mails;
    for (const fs::path& file : files) mails.push_back(ReadFile(file));
    return mails;
  }

  fs::path mailDir;
};

// ---------------------------------------------------------------------------
// The SMTP client

TSmtpSessionOptions Session(const std::string& recipient, const std::string& user,
                            const std::string& password) {
  TMailMessage message;
  message.Date = "Fri, 11 Dec 2026 12:00:00 +0000";
  message.FromHeader = "\"Reporter\" <reporter@tavrix.test>";
  message.Subject = "Report";
  message.Recipient = recipient;
  message.Body = "First line\r\n.\r\nLast line";
  message.Attachments.push_back({"BugReport.zip", std::string(3000, '\x5a')});
  TSmtpSessionOptions options;
  options.HelloName = LocalHostName();
  options.EnvelopeFrom = "reporter@tavrix.test";
  options.Recipient = recipient;
  options.UserID = user;
  options.Password = password;
  options.MessageText = ComposeMessage(message);
  return options;
}

TEST_F(Servers, SmtpMessageArrivesWithOrWithoutLogin) {
  struct TCase {
    const char* User;
    const char* Password;
    const char* Auth;  // as the server saw it
  } cases[] = {{"", "", "none"}, {"reporter", "s3cret", "login"}};
  for (const TCase& c : cases) {
    std::size_t lastSent = 0, total = 0;
    SendSmtpMessage("127.0.0.1", SmtpPort(), Session("dev@example.test", c.User, c.Password), 5000,
                    [&](std::size_t sent, std::size_t all) {
                      EXPECT_GE(sent, lastSent);
                      lastSent = sent;
                      total = all;
                    });
    EXPECT_GT(total, 4000u);
    EXPECT_EQ(lastSent, total);
  }
  const std::vector<std::string> mails = Mails();
  ASSERT_EQ(mails.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_NE(mails[i].find("Envelope-From: reporter@tavrix.test\r\nEnvelope-To: dev@example.test\r\nAuth: " +
                            std::string(cases[i].Auth)),
              std::string::npos)
        << mails[i].substr(0, 200);
    // The lone dot arrives as a dot: stuffed on the way, unstuffed by the server.
    EXPECT_NE(mails[i].find("First line\r\n.\r\nLast line"), std::string::npos);
    EXPECT_NE(mails[i].find("filename=\"BugReport.zip\""), std::string::npos);
  }
}

TEST_F(Servers, SmtpFailuresAreStatedAndSendNothing) {
  // A wrong password: the server's refusal, with its code.
  try {
    SendSmtpMessage("127.0.0.1", SmtpPort(), Session("dev@example.test", "reporter", "wrong"), 5000);
    ADD_FAILURE() << "a wrong password was accepted";
  } catch (const ETraciraSocketError& error) {
    EXPECT_EQ(error.Code(), 535) << error.Text();
  }
  // A host that doesn't resolve is never taken for 0.0.0.0 (this machine).
  try {
    SendSmtpMessage("nowhere.test", SmtpPort(), Session("dev@example.test", "", ""), 5000);
    ADD_FAILURE() << "an unknown host was reached";
  } catch (const ETraciraSocketError& error) {
    EXPECT_NE(error.Text().find("Cannot resolve the host \"nowhere.test\""), std::string::npos)
        << error.Text();
  }
  // Nobody listens.
  try {
    SendSmtpMessage("127.0.0.1", 1, Session("dev@example.test", "", ""), 5000);
    ADD_FAILURE() << "a closed port was reached";
  } catch (const ETraciraSocketError& error) {
    EXPECT_EQ(error.Text().rfind("Connection error: ", 0), 0u) << error.Text();
  }
  EXPECT_TRUE(Mails().empty());
}

TEST_F(Servers, ServerThatNeverAnswersTimesOut) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  int size = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
  listen(listener, 1);
  try {
    SendSmtpMessage("127.0.0.1", ntohs(address.sin_port), Session("dev@example.test", "", ""), 500);
    ADD_FAILURE() << "a silent server was taken for an answer";
  } catch (const ETraciraSocketError& error) {
    EXPECT_EQ(error.Text().rfind("Socket timeout.", 0), 0u) << error.Text();
  }
  closesocket(listener);
}

// ---------------------------------------------------------------------------
// The mail exchangers

TEST_F(Servers, TheSystemsNameServerIsAskedFirst) {
  const std::vector<std::string> servers = GetDNSList();
  ASSERT_GE(servers.size(), 2u);
  EXPECT_EQ(servers.front(), "127.0.0.1");
  EXPECT_EQ(servers.back(), "9.9.9.9");  // the last resort
  EXPECT_EQ(std::count(servers.begin(), servers.end(), "0.0.0.0"), 0);
}

TEST_F(Servers, MailExchangerOfEachDomain) {
  const std::vector<std::string> local{"127.0.0.1"};
  EXPECT_EQ(GetMXServerFromEmail("dev@example.test", 3000, local), "mx.example.test");
  EXPECT_EQ(GetMXServerFromEmail("qa@other.test", 3000, local), "mx.other.test");  // preference 5 before 20
  for (const char* address : {"nobody@nomx.test", "x@nosuch.test"}) {
    try {
      GetMXServerFromEmail(address, 3000, local);
      ADD_FAILURE() << address;
    } catch (const ETraciraSocketError& error) {
      const std::string domain = std::string(address).substr(std::string(address).find('@') + 1);
      EXPECT_NE(error.Text().find("Cannot resolve the \"" + domain + "\" MX record"), std::string::npos)
          << error.Text();
    }
  }
}

// ---------------------------------------------------------------------------
// The web uploads

std::uint16_t Port(const char* variable) {
  return static_cast<std::uint16_t>(std::atoi(std::getenv(variable)));
}

std::vector<std::string> FilesIn(const fs::path& folder) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.is_regular_file() && entry.path().filename().wstring()[0] != L'.')
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  std::vector<std::string> contents;
  for (const fs::path& file : files) contents.push_back(ReadFile(file));
  return contents;
}

class Web : public Servers {
 protected:
  void SetUp() override {
    Servers::SetUp();
    webDir = FromUnix(std::getenv("TAVRIX_WEB_DIR"));
    ftpDir = FromUnix(std::getenv("TAVRIX_FTP_DIR"));
    for (const fs::path& dir : {webDir, ftpDir}) {
      fs::remove_all(dir);
      fs::create_directories(dir);
    }
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    archive = fs::path(temp) / L"tavrix-web-BugReport.zip";
    payload = std::string("PK\x03\x04", 4);
    for (int i = 0; i < 3000; ++i) payload += static_cast<char>(i * 7);
    std::ofstream(archive, std::ios::binary) << payload;
  }
  void TearDown() override { fs::remove(archive); }

  TWebTarget Http(const std::string& page) const {
    TWebTarget target;
    target.Host = "127.0.0.1";
    target.Port = Port("TAVRIX_HTTP_PORT");
    target.Path = page;
    return target;
  }

  fs::path webDir, ftpDir, archive;
  std::string payload;
};

TEST_F(Web, HttpUploadPostsTheFilesAndFieldsAndStatesRefusals) {
  const std::vector<TUploadFile> files{{archive, "BugReport__PC.zip"},
                                       {archive.parent_path() / "missing.zip", "x"}};
  std::string error;
  std::size_t done = 0, total = 0;
  EXPECT_EQ(HTTPUploadFiles(Http("upload"), {{"station", "Line 3"}}, files, error,
                            [&](std::size_t d, std::size_t t) {
                              done = d;
                              total = t;
                            }),
            0)
      << error;
  EXPECT_GT(total, payload.size());
  EXPECT_EQ(done, total);
  std::vector<std::string> posts = FilesIn(webDir);
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].rfind("POST /upload HTTP/1.1\r\n", 0), 0u);
  EXPECT_NE(posts[0].find("boundary=---------------------------"), std::string::npos);
  EXPECT_NE(posts[0].find("name=\"station\";\r\n\r\nLine 3\r\n"), std::string::npos);
  EXPECT_NE(posts[0].find("name=\"tr_upload_file_0\"; filename=\"BugReport__PC.zip\";\r\n"
                          "Content-Type: application/octet-stream\r\n\r\n" +
                          payload + "\r\n"),
            std::string::npos);
  EXPECT_EQ(posts[0].find("tr_upload_file_1"), std::string::npos);  // the missing file

  // Credentials: refused without them, taken with them.
  EXPECT_EQ(HTTPUploadFiles(Http("private"), {}, files, error), 401);
  EXPECT_EQ(error, "Unauthorized");
  TWebTarget withLogin = Http("private");
  withLogin.User = "reporter";
  withLogin.Password = "s3cret";
  EXPECT_EQ(HTTPUploadFiles(withLogin, {}, files, error), 0) << error;
  EXPECT_EQ(HTTPUploadFiles(Http("elsewhere"), {}, files, error), 404);
  // A host that doesn't resolve: WinInet's own error.
  TWebTarget nowhere = Http("upload");
  nowhere.Host = "nowhere.test";
  EXPECT_EQ(HTTPUploadFiles(nowhere, {}, files, error), ERROR_INTERNET_NAME_NOT_RESOLVED) << error;
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(FilesIn(webDir).size(), 2u);
}

// The certificate is checked: posted only to the server the trusted
// authority vouches for, under the name in its certificate.
TEST_F(Web, HttpsUploadGoesOnlyToATrustedServer) {
  const std::vector<TUploadFile> files{{archive, "BugReport.zip"}};
  TWebTarget trusted = Http("upload");
  trusted.Https = true;
  trusted.Host = "web.example.test";
  trusted.Port = Port("TAVRIX_HTTPS_PORT");
  std::string error;
  EXPECT_EQ(HTTPUploadFiles(trusted, {}, files, error), 0) << error;
  ASSERT_EQ(FilesIn(webDir).size(), 1u);

  TWebTarget selfSigned = trusted;
  selfSigned.Port = Port("TAVRIX_HTTPS_UNTRUSTED_PORT");
  TWebTarget otherName = trusted;
  otherName.Host = "127.0.0.1";
  EXPECT_EQ(HTTPUploadFiles(selfSigned, {}, files, error), ERROR_INTERNET_INVALID_CA) << error;
  EXPECT_EQ(HTTPUploadFiles(otherName, {}, files, error), ERROR_INTERNET_SEC_CERT_CN_INVALID) << error;
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(FilesIn(webDir).size(), 1u);
}

TEST_F(Web, FtpUploadWritesEachFileIntoTheFolder) {
  fs::create_directories(ftpDir / "reports");
  TWebTarget target;
  target.Host = "127.0.0.1";
  target.Port = Port("TAVRIX_FTP_PORT");
  target.Path = "reports";
  target.User = "reporter";
  target.Password = "s3cret";
  std::string error;
  ASSERT_EQ(FTPUploadFiles(target, {{archive, "BugReport__PC.zip"}}, error), 0) << error;
  EXPECT_EQ(ReadFile(ftpDir / "reports" / "BugReport__PC.zip"), payload);

  target.Password = "wrong";
  EXPECT_NE(FTPUploadFiles(target, {{archive, "Other.zip"}}, error), 0);
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(fs::exists(ftpDir / "reports" / "Other.zip"));
}

// ---------------------------------------------------------------------------
// The delivery run of a crashing program

// The attachment of a received message, decoded.
std::string AttachmentOf(const std::string& mail, const std::string& name) {
  const std::size_t named = mail.find("filename=\"" + name + "\"");
  if (named == std::string::npos) return {};
  const std::size_t start = mail.find("\r\n\r\n", named) + 4;
  const std::size_t end = mail.find("\r\n--", start);
  std::string base64 = mail.substr(start, end - start);
  base64.erase(std::remove_if(base64.begin(), base64.end(), [](char c) { return c == '\r' || c == '\n'; }),
               base64.end());
  return Base64Decode(base64).value_or(std::string());
}

// The traditional ZIP decryption (PKWARE's APPNOTE, 6.1), written here
// because minizip's reader is built without it: the archive is checked by
// code that shares nothing with the writer but the format.
class TZipDecrypter {
 public:
  explicit TZipDecrypter(const std::string& password) {
    for (char c : password) Update(static_cast<unsigned char>(c));
  }
  unsigned char Decrypt(unsigned char c) {
    const std::uint32_t t = (k2 | 2) & 0xffff;
    const auto plain = static_cast<unsigned char>(c ^ ((t * (t ^ 1)) >> 8));
    Update(plain);
    return plain;
  }

 private:
  static std::uint32_t Crc(std::uint32_t crc, unsigned char c) {
    return get_crc_table()[(crc ^ c) & 0xff] ^ (crc >> 8);
  }
  void Update(unsigned char c) {
    k0 = Crc(k0, c);
    k1 = (k1 + (k0 & 0xff)) * 134775813 + 1;
    k2 = Crc(k2, static_cast<unsigned char>(k1 >> 24));
  }
  std::uint32_t k0 = 0x12345678, k1 = 0x23456789, k2 = 0x34567890;
};

// An entry of a ZIP archive; empty when missing, damaged or the password is
// wrong (by the header's check byte and the data's CRC).
std::string ZipEntry(const fs::path& archive, const std::string& name, const char* password,
                     bool* encrypted) {
  zlib_filefunc64_def files;
  fill_win32_filefunc64W(&files);
  unzFile zip = unzOpen2_64(archive.c_str(), &files);
  if (!zip) return {};
  std::string raw;
  unz_file_info64 info{};
  int method = 0, level = 0;
  if (unzLocateFile(zip, name.c_str(), 1) == UNZ_OK &&
      unzGetCurrentFileInfo64(zip, &info, nullptr, 0, nullptr, 0, nullptr, 0) == UNZ_OK &&
      unzOpenCurrentFile2(zip, &method, &level, 1) == UNZ_OK) {
    char buffer[4096];
    int n = 0;
    while ((n = unzReadCurrentFile(zip, buffer, sizeof buffer)) > 0)
      raw.append(buffer, static_cast<size_t>(n));
    unzCloseCurrentFile(zip);
  }
  unzClose(zip);
  if (encrypted) *encrypted = info.flag & 1;
  if (info.flag & 1) {
    if (!password || raw.size() < 12) return {};
    TZipDecrypter keys(password);
    for (char& c : raw) c = static_cast<char>(keys.Decrypt(static_cast<unsigned char>(c)));
    if (static_cast<unsigned char>(raw[11]) != (info.crc >> 24)) return {};
    raw.erase(0, 12);
  }
  std::string data(info.uncompressed_size, '\0');
  if (method == Z_DEFLATED) {
    z_stream stream{};
    inflateInit2(&stream, -MAX_WBITS);
    stream.next_in = reinterpret_cast<Bytef*>(raw.data());
    stream.avail_in = static_cast<uInt>(raw.size());
    stream.next_out = reinterpret_cast<Bytef*>(data.data());
    stream.avail_out = static_cast<uInt>(data.size());
    const int result = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    if (result != Z_STREAM_END) return {};
  } else {
    data = raw;
  }
  const uLong crc = crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef*>(data.data()),
                          static_cast<uInt>(data.size()));
  return crc == info.crc ? data : std::string();
}

// The names of an archive's entries, for the messages of failed checks.
std::string ZipNames(const fs::path& archive) {
  zlib_filefunc64_def files;
  fill_win32_filefunc64W(&files);
  unzFile zip = unzOpen2_64(archive.c_str(), &files);
  if (!zip) return "(not an archive)";
  std::string names;
  for (int more = unzGoToFirstFile(zip); more == UNZ_OK; more = unzGoToNextFile(zip)) {
    char name[512] = {};
    unzGetCurrentFileInfo64(zip, nullptr, name, sizeof name, nullptr, 0, nullptr, 0);
    names += std::string(name) + " ";
  }
  unzClose(zip);
  return names;
}

class Delivery : public Servers {
 protected:
  void SetUp() override {
    Servers::SetUp();
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    folder = fs::path(temp) / (L"tavrix-delivery-" + std::to_wstring(GetCurrentProcessId()));
    fs::remove_all(folder);
    fs::create_directories(folder);
  }
  void TearDown() override { fs::remove_all(folder); }

  // Runs the child to its end; its exit code.
  DWORD RunChild(const std::string& mode) {
    std::wstring commandLine = L"\"" + (Here() / L"tracira_delivery_child.exe").wstring() + L"\" " +
                               std::wstring(mode.begin(), mode.end()) + L" \"" + folder.wstring() + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!testsupport::StartChildProcess(commandLine, FALSE, 0, nullptr, si, pi)) return 1000;
    CloseHandle(pi.hThread);
    DWORD code = 1001;
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0)
      GetExitCodeProcess(pi.hProcess, &code);
    else
      TerminateProcess(pi.hProcess, 1002);
    CloseHandle(pi.hProcess);
    return code;
  }

  fs::path folder;
};

TEST_F(Delivery, ReportReachesEachRecipientsExchangerInItsArchive) {
  std::ofstream(folder / "notes.txt", std::ios::binary) << "operator's notes";
  ASSERT_EQ(RunChild("exchangers"), 0u);

  const std::vector<std::string> mails = Mails();
  ASSERT_EQ(mails.size(), 2u);
  std::vector<std::string> recipients;
  for (const std::string& mail : mails) {
    // Never the configured server's credentials towards an exchanger.
    EXPECT_NE(mail.find("\r\nAuth: none\r\n"), std::string::npos);
    EXPECT_NE(mail.find("Subject: Tavrix crash\r\n"), std::string::npos);
    const std::size_t to = mail.find("Envelope-To: ") + 13;
    recipients.push_back(mail.substr(to, mail.find("\r\n", to) - to));

    const std::string archive = AttachmentOf(mail, "BugReport.zip");
    ASSERT_GT(archive.size(), 100u);
    const fs::path file = folder / "received.zip";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << archive;
    bool encrypted = false;
    const std::string report = ZipEntry(file, "tracira_delivery_child.tlf", "zip-secret", &encrypted);
    EXPECT_TRUE(encrypted) << ZipNames(file);
    EXPECT_NE(report.find("The scanner fell over in the delivery test"), std::string::npos)
        << report.substr(0, 600);
    EXPECT_TRUE(ZipEntry(file, "tracira_delivery_child.tlf", "wrong", nullptr).empty());
    EXPECT_EQ(ZipEntry(file, "notes.txt", "zip-secret", nullptr), "operator's notes");
    EXPECT_NE(ZipEntry(file, "tracira_delivery_child.xml", "zip-secret", nullptr).find("<Log"),
              std::string::npos);
  }
  std::sort(recipients.begin(), recipients.end());
  EXPECT_EQ(recipients, (std::vector<std::string>{"dev@example.test", "qa@other.test"}));
  // The recipient without an exchanger is named in the crash reporter's error.
  EXPECT_NE(ReadFile(folder / "internal.txt").find("nobody@nomx.test"), std::string::npos)
      << ReadFile(folder / "internal.txt");
  // Nothing is left in the temporary folder.
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  EXPECT_FALSE(fs::exists(fs::path(temp) / L"BugReport.zip"));
  EXPECT_FALSE(fs::exists(fs::path(temp) / L"tracira_delivery_child.tlf"));
}

TEST_F(Delivery, FailedDeliveryKeepsTenArchivesAndNoOtherFileIsTouched) {
  for (int i = 0; i < 11; ++i)
    std::ofstream(folder / ("BugReport__200001010000" + std::to_string(10 + i) + ".zip")) << "old";
  std::ofstream(folder / "photos.zip") << "not ours";
  ASSERT_EQ(RunChild("kept"), 0u);

  std::vector<std::string> archives;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.path().extension() == ".zip") archives.push_back(entry.path().filename().string());
  std::sort(archives.begin(), archives.end());
  ASSERT_EQ(archives.size(), 11u);  // ten of ours and the photos
  EXPECT_EQ(archives.back(), "photos.zip");
  // The oldest two went; the new one is dated today.
  EXPECT_EQ(archives.front(), "BugReport__20000101000012.zip");
  SYSTEMTIME now;
  GetLocalTime(&now);
  EXPECT_EQ(archives[9].substr(0, 15), "BugReport__" + std::to_string(now.wYear)) << archives[9];
  EXPECT_NE(ReadFile(folder / "internal.txt").find("Connection error"), std::string::npos)
      << ReadFile(folder / "internal.txt");
  EXPECT_TRUE(Mails().empty());
}

TEST_F(Delivery, ReportIsPostedToTheWebPage) {
  ASSERT_EQ(RunChild("web"), 0u);
  const fs::path webDir = FromUnix(std::getenv("TAVRIX_WEB_DIR"));
  const std::vector<std::string> posts = FilesIn(webDir);
  ASSERT_EQ(posts.size(), 1u) << ReadFile(folder / "internal.txt");
  EXPECT_NE(posts[0].find("name=\"station\";\r\n\r\nLine 3\r\n"), std::string::npos);
  // The archive under its delivery name, with the computer's name in it.
  const std::size_t named = posts[0].find("filename=\"BugReport__");
  ASSERT_NE(named, std::string::npos);
  const std::size_t start = posts[0].find("\r\n\r\n", named) + 4;
  const std::size_t end = posts[0].rfind("\r\n--");
  const fs::path file = folder / "posted.zip";
  std::ofstream(file, std::ios::binary) << posts[0].substr(start, end - start);
  EXPECT_NE(ZipEntry(file, "tracira_delivery_child.tlf", nullptr, nullptr).find("The scanner fell over"),
            std::string::npos)
      << ZipNames(file);
  for (const auto& entry : fs::directory_iterator(webDir)) fs::remove(entry.path());
}

// A registry value of the test's, the one before put back at the end.
class TRegistryValue {
 public:
  TRegistryValue(HKEY root, std::wstring key, const wchar_t* name, const std::wstring& value)
      : fRoot(root), fKey(std::move(key)), fName(name ? name : L"") {
    wchar_t old[1024] = {};
    DWORD size = sizeof old - sizeof(wchar_t);
    fHadOld = RegGetValueW(fRoot, fKey.c_str(), name, RRF_RT_REG_SZ, nullptr, old, &size) == ERROR_SUCCESS;
    fOld = old;
    Set(value);
  }
  ~TRegistryValue() {
    if (fHadOld) {
      Set(fOld);
    } else {
      HKEY key = nullptr;
      if (RegOpenKeyExW(fRoot, fKey.c_str(), 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, fName.empty() ? nullptr : fName.c_str());
        RegCloseKey(key);
      }
    }
  }
  TRegistryValue(const TRegistryValue&) = delete;
  TRegistryValue& operator=(const TRegistryValue&) = delete;

 private:
  void Set(const std::wstring& value) const {
    HKEY key = nullptr;
    if (RegCreateKeyExW(fRoot, fKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
      return;
    RegSetValueExW(key, fName.empty() ? nullptr : fName.c_str(), 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
  HKEY fRoot;
  std::wstring fKey, fName, fOld;
  bool fHadOld = false;
};

TEST_F(Delivery, MailClientGetsTheMessageAndACancelFallsBackToMailto) {
  const TRegistryValue client(HKEY_CURRENT_USER, L"Software\\Clients\\Mail", nullptr, L"TavrixTestMail");
  const TRegistryValue library(HKEY_CURRENT_USER, L"Software\\Clients\\Mail\\TavrixTestMail", L"DLLPath",
                               (Here() / L"tracira_fake_mail_client.dll").wstring());
  const TRegistryValue mailto(HKEY_CLASSES_ROOT, L"mailto\\shell\\open\\command", nullptr,
                              L"\"" + (Here() / L"tracira_mailto_handler.exe").wstring() + L"\" \"%1\"");
  const fs::path mapiOut = folder / "mapi.txt", mailtoOut = folder / "mailto.txt";
  SetEnvironmentVariableW(L"TAVRIX_MAPI_OUT", mapiOut.c_str());
  SetEnvironmentVariableW(L"TAVRIX_MAILTO_OUT", mailtoOut.c_str());
  std::ofstream(folder / "notes.txt", std::ios::binary) << "operator's notes";

  // Sent through the mail client.
  SetEnvironmentVariableW(L"TAVRIX_MAPI_RESULT", nullptr);
  ASSERT_EQ(RunChild("mail-client"), 0u);
  const std::string mapi = ReadFile(mapiOut);
  EXPECT_NE(mapi.find("session=ok\ndialog=1\nsubject=Tavrix crash\nbody=A report is attached."),
            std::string::npos)
      << mapi;
  EXPECT_NE(
      mapi.find("to=1|dev@example.test|SMTP:dev@example.test\nto=1|qa@example.test|SMTP:qa@example.test\n"),
      std::string::npos)
      << mapi;
  EXPECT_NE(mapi.find("BugReport.zip|BugReport.zip|exists\n"), std::string::npos) << mapi;
  EXPECT_FALSE(fs::exists(mailtoOut));

  // The user cancels in the mail client: not sent, so the "mailto:" route
  // is tried, with the report in the body.
  fs::remove(mapiOut);
  SetEnvironmentVariableW(L"TAVRIX_MAPI_RESULT", L"1");
  ASSERT_EQ(RunChild("mail-client"), 0u);
  SetEnvironmentVariableW(L"TAVRIX_MAPI_RESULT", nullptr);
  EXPECT_TRUE(fs::exists(mapiOut));
  const std::string command = ReadFile(mailtoOut);
  EXPECT_NE(command.find(
                "mailto:dev%40example%2Etest%3Bqa%40example%2Etest?Subject=Tavrix%20crash&Body=A%20report"),
            std::string::npos)
      << command;
  EXPECT_NE(command.find("The%20scanner%20fell%20over%20in%20the%20delivery%20test"), std::string::npos);
  EXPECT_NE(ReadFile(folder / "internal.txt").find("Cannot send the MAPI message."), std::string::npos)
      << ReadFile(folder / "internal.txt");
}

}  // namespace
