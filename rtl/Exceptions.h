// The program's exception hierarchy. Every exception the program raises
// derives from Exception, whose message is UTF-16 text shown to the operator;
// the class name reported for an exception comes from RTTI.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace rtl {

class Exception : public std::exception {
 public:
  explicit Exception(std::wstring message);
  const std::wstring& Message() const noexcept { return fMessage; }
  // UTF-8 form of the message, for std::exception consumers.
  const char* what() const noexcept override { return fWhat.c_str(); }

 private:
  std::wstring fMessage;
  std::string fWhat;
};

// Silent exception: aborts an operation without telling the operator.
class EAbort : public Exception {
 public:
  using Exception::Exception;
};

// A text that does not convert to the requested type.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A failure reported by an operating-system call (the code of GetLastError).
class EOSError : public Exception {
 public:
  EOSError(std::wstring message, std::uint32_t errorCode)
      : Exception(std::move(message)), fErrorCode(errorCode) {}
  std::uint32_t ErrorCode() const noexcept { return fErrorCode; }

 private:
  std::uint32_t fErrorCode;
};

// A failure status (HRESULT) returned by a COM/OLE call.
class EOleSysError : public Exception {
 public:
  EOleSysError(std::wstring message, std::int32_t errorCode)
      : Exception(std::move(message)), fErrorCode(errorCode) {}
  std::int32_t ErrorCode() const noexcept { return fErrorCode; }

 private:
  std::int32_t fErrorCode;
};

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace rtl
