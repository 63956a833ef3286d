#include "crashreport/delivery/TrSocketError.h"

#include "crashreport/core/TrText.h"

namespace tracira {

ETraciraSocketError::ETraciraSocketError(std::string text, int code)
    : rtl::Exception(FromAnsi(text)), fText(std::move(text)), fCode(code) {}

}  // namespace tracira
