// The one exception class of the delivery code. Its text is ANSI bytes as
// they will appear in the report's error section (a server's reply is quoted
// in it unchanged); the operator-facing message is the same text widened.
#pragma once

#include <string>

#include "rtl/Exceptions.h"

namespace tracira {

class ETraciraSocketError : public rtl::Exception {
 public:
  // code: the server's reply code when a server refused, else -1.
  explicit ETraciraSocketError(std::string text, int code = -1);
  const std::string& Text() const noexcept { return fText; }
  int Code() const noexcept { return fCode; }

 private:
  std::string fText;
  int fCode;
};

}  // namespace tracira
