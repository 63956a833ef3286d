#include "crashreport/send/TrSockets.h"

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "crashreport/core/TrText.h"
#include "crashreport/delivery/TrDns.h"
#include "crashreport/delivery/TrSocketError.h"
#include "rtl/SysErrors.h"

namespace tracira {

namespace {

// Asked when the system names no server that answers. Never reached from
// the tests, which run without a route to it.
constexpr const char* kLastResortDNS = "9.9.9.9";

constexpr std::size_t kSendPiece = 1024;
constexpr std::size_t kReceivePiece = 64 * 1024;

// Winsock stays started for the rest of the process once a delivery needed
// it: a report may be sent while the program is being torn down.
void StartWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

std::string SocketErrorText(int code) { return ToAnsi(rtl::SysErrorMessage(static_cast<DWORD>(code))); }

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The host's first IPv4 address; a name that doesn't resolve is a failure.
in_addr Resolve(const TClientSocket& socket, const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (host.empty() || getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
    socket.Fail("Cannot resolve the host " + Quoted(host) + ".");
  const in_addr address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return address;
}

unsigned LeftOf(ULONGLONG until) {
  const ULONGLONG now = GetTickCount64();
  return now < until ? static_cast<unsigned>(until - now) : 0;
}

}  // namespace

TClientSocket::TClientSocket(std::string host, std::uint16_t port, TSocketType type, unsigned timeoutMs)
    : fHost(std::move(host)), fPort(port), fType(type), fTimeoutMs(timeoutMs) {
  StartWinsock();
}

TClientSocket::~TClientSocket() { Close(); }

void TClientSocket::Fail(const std::string& text) const {
  std::string message = text;
  if (!fLog.empty() && message.find(fLog) == std::string::npos) message += "\r\nSocket log:\r\n" + fLog;
  throw ETraciraSocketError(message);
}

void TClientSocket::Open() {
  if (Connected()) return;
  const in_addr address = Resolve(*this, fHost);
  const bool stream = fType == TSocketType::Stream;
  fSocket = socket(AF_INET, stream ? SOCK_STREAM : SOCK_DGRAM, stream ? IPPROTO_TCP : IPPROTO_UDP);
  if (fSocket == INVALID_SOCKET) Fail("Invalid socket: " + Quoted(SocketErrorText(WSAGetLastError())) + ".");
  // Non-blocking, so that connecting too waits no longer than the time-out.
  u_long nonBlocking = 1;
  ioctlsocket(fSocket, FIONBIO, &nonBlocking);
  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(fPort);
  peer.sin_addr = address;
  if (connect(fSocket, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    const int error = WSAGetLastError();
    if (error != WSAEWOULDBLOCK) {
      Close();
      Fail("Connection error: " + Quoted(SocketErrorText(error)));
    }
    if (!WaitFor(true)) {
      Close();
      Fail("Connection error: " + Quoted(SocketErrorText(WSAETIMEDOUT)));
    }
    int pending = 0;
    int size = sizeof pending;
    getsockopt(fSocket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &size);
    if (pending != 0) {
      Close();
      Fail("Connection error: " + Quoted(SocketErrorText(pending)));
    }
  }
  const auto* ip = reinterpret_cast<const unsigned char*>(&address);
  fLog = "Connected to " + std::to_string(ip[0]) + "." + std::to_string(ip[1]) + "." + std::to_string(ip[2]) +
         "." + std::to_string(ip[3]) + " port " + std::to_string(fPort) + "\r\n";
}

void TClientSocket::Close() noexcept {
  if (fSocket == INVALID_SOCKET) return;
  closesocket(fSocket);
  fSocket = INVALID_SOCKET;
}

bool TClientSocket::WaitFor(bool writing) const {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(fSocket, &set);
  timeval wait{static_cast<long>(fTimeoutMs / 1000), static_cast<long>(fTimeoutMs % 1000) * 1000};
  fd_set failed;
  FD_ZERO(&failed);
  FD_SET(fSocket, &failed);
  const int ready = select(0, writing ? nullptr : &set, writing ? &set : nullptr, &failed, &wait);
  return ready > 0 && FD_ISSET(fSocket, &set);
}

void TClientSocket::SendAll(std::string_view bytes, const TSendProgress& progress) {
  if (!Connected()) Fail("Error into " + Quoted("send") + ": " + Quoted(SocketErrorText(WSAENOTCONN)));
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const std::size_t piece = std::min(kSendPiece, bytes.size() - sent);
    const int n = send(fSocket, bytes.data() + sent, static_cast<int>(piece), 0);
    if (n == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK && WaitFor(true)) continue;
      Close();
      Fail("Error into " + Quoted("send") + ": " +
           Quoted(SocketErrorText(error == WSAEWOULDBLOCK ? WSAETIMEDOUT : error)));
    }
    sent += static_cast<std::size_t>(n);
    if (progress) progress(sent, bytes.size());
  }
}

std::string TClientSocket::ReceiveSome() {
  if (!Connected()) Fail("Error into " + Quoted("recv") + ": " + Quoted(SocketErrorText(WSAENOTCONN)));
  if (!WaitFor(false)) Fail("Socket timeout.");
  std::string bytes(kReceivePiece, '\0');
  const int n = recv(fSocket, bytes.data(), static_cast<int>(bytes.size()), 0);
  if (n == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    Close();
    Fail("Error into " + Quoted("recv") + ": " + Quoted(SocketErrorText(error)));
  }
  if (n == 0) {
    Close();
    Fail("Error into " + Quoted("recv") + ": " + Quoted("the server closed the connection"));
  }
  bytes.resize(static_cast<std::size_t>(n));
  return bytes;
}

std::string LocalHostName() {
  StartWinsock();
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "localhost";
  return name;
}

void SendSmtpMessage(const std::string& host, std::uint16_t port, const TSmtpSessionOptions& options,
                     unsigned timeoutMs, const TSendProgress& progress) {
  TClientSocket socket(host, port, TSocketType::Stream, timeoutMs);
  socket.Open();
  TSmtpSession session(options);
  const std::size_t messageSize = session.MessageSize();
  while (!session.Done() && !session.Failed()) {
    const std::string output = session.TakeOutput();
    if (!output.empty()) {
      // Only the message itself moves the bar: the commands are small.
      const bool message = session.Stage() == TSmtpSession::TStage::Message;
      socket.SendAll(output, message && progress ? TSendProgress([&](std::size_t sent, std::size_t) {
                       progress(std::min(sent, messageSize), messageSize);
                     })
                                                 : TSendProgress{});
      continue;
    }
    std::string bytes;
    try {
      bytes = socket.ReceiveSome();
    } catch (const ETraciraSocketError& error) {
      // The dialogue so far tells more than the socket's own log.
      throw ETraciraSocketError(error.Text() + "\r\nSMTP session:\r\n" + session.Log());
    }
    session.Receive(bytes);
  }
  if (session.Failed()) throw ETraciraSocketError(session.ErrorText(), session.ErrorCode());
  // A courtesy: the message is accepted, whatever happens to QUIT.
  const std::string quit = session.TakeOutput();
  try {
    if (!quit.empty()) socket.SendAll(quit);
  } catch (const ETraciraSocketError&) {
  }
}

std::vector<std::string> GetDNSList() {
  std::vector<std::string> servers;
  ULONG size = 0;
  if (GetNetworkParams(nullptr, &size) == ERROR_BUFFER_OVERFLOW && size > 0) {
    std::vector<unsigned char> buffer(size);
    auto* info = reinterpret_cast<FIXED_INFO*>(buffer.data());
    if (GetNetworkParams(info, &size) == NO_ERROR) {
      for (const IP_ADDR_STRING* entry = &info->DnsServerList; entry; entry = entry->Next) {
        std::string address(entry->IpAddress.String);
        address.erase(0, address.find_first_not_of(' '));
        address.erase(address.find_last_not_of(' ') + 1);
        if (!address.empty() && address != "0.0.0.0" &&
            std::find(servers.begin(), servers.end(), address) == servers.end())
          servers.push_back(address);
      }
    }
  }
  servers.emplace_back(kLastResortDNS);
  return servers;
}

std::string GetMXServerFromEmail(const std::string& address, unsigned timeoutMs,
                                 const std::vector<std::string>& servers) {
  const std::string domain = DomainOfAddress(address);
  const unsigned perTry = (timeoutMs + 150) / 3;
  std::random_device random;
  std::string lastError = "no DNS server answered";
  for (const std::string& server : servers) {
    for (unsigned attempt = 0; attempt < 3; ++attempt) {
      const auto id = static_cast<std::uint16_t>(random());
      try {
        TClientSocket socket(server, 53, TSocketType::Datagram, attempt * 100 + perTry);
        socket.Open();
        socket.SendAll(CreateMXQuery(id, domain));
        // Datagrams that aren't the answer (another ID, say) are passed
        // over until the try's time is up.
        const ULONGLONG until = GetTickCount64() + attempt * 100 + perTry;
        while (true) {
          const std::string answer = socket.ReceiveSome();
          try {
            const std::vector<TMxRecord> records = ParseMXAnswer(answer, id, domain);
            return records.front().Host;
          } catch (const ETraciraSocketError& error) {
            lastError = error.Text();
            // A server's clear answer (no such domain, no exchanger) ends
            // the tries of this server; a stray datagram doesn't.
            if (answer.size() >= 2 &&
                static_cast<std::uint16_t>((static_cast<unsigned char>(answer[0]) << 8) |
                                           static_cast<unsigned char>(answer[1])) == id)
              throw;
            if (LeftOf(until) == 0) throw;
          }
        }
      } catch (const ETraciraSocketError& error) {
        lastError = error.Text();
        if (lastError.rfind("Cannot resolve the", 0) == 0) break;  // the server answered
      }
    }
  }
  if (lastError.rfind("Cannot resolve the", 0) == 0) throw ETraciraSocketError(lastError);
  throw ETraciraSocketError("Cannot resolve the \"" + domain + "\" MX record. (" + lastError + ")");
}

}  // namespace tracira
