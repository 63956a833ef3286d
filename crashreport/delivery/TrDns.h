// The DNS side of direct delivery: the MX query for a recipient's domain and
// the reading of the answer (RFC 1035). The answer comes from the network, so
// the reader trusts nothing in it: every length, count and compression
// pointer is checked against the message, and what fails is an
// ETraciraSocketError, never a read outside the buffer.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tracira {

// The domain of an e-mail address: the text after its last "@" (a quoted
// local part may hold one of its own), without a trailing dot. Raises when
// there is none.
std::string DomainOfAddress(std::string_view address);

// The query: header with the caller's ID (a random one for each try, so a
// late or forged answer to another query is refused), recursion desired, one
// question for the domain's MX records. Raises for a domain that can't be
// written as DNS labels (an empty label, a label over 63 bytes, over 253 in
// all).
std::string CreateMXQuery(std::uint16_t id, std::string_view domain);

struct TMxRecord {
  std::uint16_t Preference = 0;
  std::string Host;
};

// The mail exchangers of an answer to CreateMXQuery(id, domain), the most
// preferred first (equal preferences keep the server's order). Records of
// other types (a CNAME, say) are passed over, and so is an exchanger whose
// name isn't a plain host name (it is handed to the resolver as a C string
// later). Raises for a message that isn't that answer, a server error, a
// malformed message, or no usable exchanger: "Cannot resolve the "domain" MX
// record." with the reason.
std::vector<TMxRecord> ParseMXAnswer(std::string_view answer, std::uint16_t id, std::string_view domain);

}  // namespace tracira
