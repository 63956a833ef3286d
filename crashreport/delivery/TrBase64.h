// Base64 (RFC 4648, standard alphabet, "=" padding) for the SMTP attachments,
// AUTH LOGIN and HTTP Basic authorization.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace tracira {

// Length of the unbroken Base64 text of n bytes.
std::size_t CalcEncodedSize(std::size_t n);

// One unbroken line, for AUTH LOGIN and "Authorization: Basic".
std::string Base64EncodeString(std::string_view bytes);

// An attachment's text: CR LF after every 80 characters (not 76: the mail
// clients this goes to read either), so a text whose length is a multiple of
// 80 ends with a line break and a shorter last line has none.
std::string Base64EncodeToString(std::string_view bytes);
inline constexpr std::size_t kBase64LineLength = 80;

// The bytes of a Base64 text; CR and LF anywhere are skipped. nullopt for any
// other byte outside the alphabet, a wrong length or misplaced padding.
std::optional<std::string> Base64Decode(std::string_view text);

}  // namespace tracira
