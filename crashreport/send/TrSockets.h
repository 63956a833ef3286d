// The Winsock side of e-mail delivery: a blocking client socket with a
// time-out on every wait, the SMTP dialogue of one message driven over it,
// and the DNS query that finds a recipient's mail exchanger. What the bytes
// mean is decided in crashreport/delivery; this layer only moves them and
// owns the clock.
#pragma once

#include <winsock2.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/delivery/TrSmtpSession.h"

namespace tracira {

// Bytes sent so far and the total: a progress bar's source.
using TSendProgress = std::function<void(std::size_t sent, std::size_t total)>;

enum class TSocketType { Stream, Datagram };

// One IPv4 connection (or, for a datagram socket, one peer). Every failure
// is an ETraciraSocketError whose text ends with the session log.
class TClientSocket {
 public:
  TClientSocket(std::string host, std::uint16_t port, TSocketType type, unsigned timeoutMs);
  ~TClientSocket();
  TClientSocket(const TClientSocket&) = delete;
  TClientSocket& operator=(const TClientSocket&) = delete;

  // Resolves the host (a name that doesn't resolve is a failure, never
  // 0.0.0.0, which would reach whatever listens on this machine) and
  // connects.
  void Open();
  void Close() noexcept;
  bool Connected() const { return fSocket != INVALID_SOCKET; }

  // Sends everything, in pieces of at most 1024 bytes, telling progress
  // after each; a peer that takes nothing for the time-out is a failure.
  void SendAll(std::string_view bytes, const TSendProgress& progress = {});
  // What arrives within the time-out (at most 64 KB at once): never empty,
  // silence is "Socket timeout.". A stream the peer closed is a failure.
  std::string ReceiveSome();

  // "Connected to a.b.c.d port n", the commands and replies so far.
  const std::string& Log() const { return fLog; }
  void AddToLog(std::string_view text) { fLog += text; }

  [[noreturn]] void Fail(const std::string& text) const;

 private:
  bool WaitFor(bool writing) const;

  std::string fHost;
  std::uint16_t fPort;
  TSocketType fType;
  unsigned fTimeoutMs;
  SOCKET fSocket = INVALID_SOCKET;
  std::string fLog;
};

// The local host's name, as HELO and EHLO give it.
std::string LocalHostName();

// One message to one recipient: connects, runs the dialogue and closes.
// Raises ETraciraSocketError (with the server's reply code when a server
// refused) on any failure.
void SendSmtpMessage(const std::string& host, std::uint16_t port, const TSmtpSessionOptions& options,
                     unsigned timeoutMs, const TSendProgress& progress = {});

// The DNS servers to ask: the system's, in its order, with the unusable
// ("0.0.0.0", empty) left out, then one public server as the last resort.
std::vector<std::string> GetDNSList();

// The most preferred mail exchanger of the address's domain. Each server
// is asked up to three times, each try with a fresh query ID and a little
// more patience; timeoutMs is shared among the tries of one server. Raises
// "Cannot resolve the "domain" MX record." when no server names one.
std::string GetMXServerFromEmail(const std::string& address, unsigned timeoutMs,
                                 const std::vector<std::string>& servers);

}  // namespace tracira
