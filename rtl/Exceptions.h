// The program's exception hierarchy. Every exception the program raises
// derives from Exception, whose message is UTF-16 text shown to the operator;
// the class name reported for an exception comes from RTTI.
#pragma once

#include <cstddef>
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

// A processor or system exception (an access violation, a division by zero,
// ...) that the program's own code met, turned into a C++ exception so that
// it unwinds like any other: Code is the system's exception code, Address
// the faulting instruction.
class EExternal : public Exception {
 public:
  EExternal(std::wstring message, std::uint32_t code, const void* address)
      : Exception(std::move(message)), fCode(code), fAddress(address) {}
  std::uint32_t Code() const noexcept { return fCode; }
  const void* Address() const noexcept { return fAddress; }

 private:
  std::uint32_t fCode;
  const void* fAddress;
};
class EAccessViolation : public EExternal {
 public:
  using EExternal::EExternal;
};
// The overflow used up the stack's guard page: when the exception is over
// (its object destroyed at the end of the catch clause, far up the stack)
// the guard is put back, so that the next overflow is caught as well.
class EStackOverflow : public EExternal {
 public:
  using EExternal::EExternal;
  EStackOverflow(const EStackOverflow&) = default;
  ~EStackOverflow() override;
};

// Puts the guard page back at the bottom of the calling thread's stack when
// an overflow has used it up and the thread is now far enough above it (on
// x86-64: holds the overflow reserve again).
void RestoreStackGuard() noexcept;

#if defined(_WIN64)
// x86-64: what the system's own stack overflow leaves of the stack (under
// Wine, less than 2 KB) is too little to raise an exception from. The
// calling thread's stack is made to look kOverflowReserve shorter to the
// system, so that its overflow comes while that much is still there; the
// raise of the exception then gets the reserve back.
inline constexpr std::size_t kOverflowReserve = 256 * 1024;
// Holds the reserve back, when the stack is deep enough and the thread far
// enough above it.
void HoldOverflowReserve() noexcept;
// Gives the reserve back to the thread (in its overflow, and before it
// ends: the system frees the stack from its recorded bottom). False when
// none was held.
bool ReleaseOverflowReserve() noexcept;
#endif
class EPrivilege : public EExternal {
 public:
  using EExternal::EExternal;
};
class EIntError : public EExternal {
 public:
  using EExternal::EExternal;
};
class EDivByZero : public EIntError {
 public:
  using EIntError::EIntError;
};
class EIntOverflow : public EIntError {
 public:
  using EIntError::EIntError;
};
class EMathError : public EExternal {
 public:
  using EExternal::EExternal;
};
class EZeroDivide : public EMathError {
 public:
  using EMathError::EMathError;
};
class EOverflow : public EMathError {
 public:
  using EMathError::EMathError;
};
class EUnderflow : public EMathError {
 public:
  using EMathError::EMathError;
};
class EInvalidOp : public EMathError {
 public:
  using EMathError::EMathError;
};
// Any other system exception code.
class EExternalException : public EExternal {
 public:
  using EExternal::EExternal;
};

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
// Appends one code point: a surrogate pair where wchar_t is UTF-16.
void AppendCodePoint(std::wstring& out, char32_t c);

}  // namespace rtl
