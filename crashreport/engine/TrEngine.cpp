#include "crashreport/engine/TrEngine.h"

#include <cstdio>

#include "rtl/ModuleFile.h"

namespace tracira {

constinit TExplicitLifetime<TEngine> gEngine;
constinit TExplicitLifetime<TComponents> gComponents;
constinit std::atomic<bool> gInstalled{false};
constinit std::atomic<bool> gActive{true};
constinit std::atomic<DWORD> gExitingThread{0};

HMODULE ThisModule() { return rtl::ModuleOfAddress(reinterpret_cast<const void*>(&ThisModule)); }

constexpr SIZE_T kReserveSize = 0x1000000;

// Several raising threads release it at once, before they queue for the
// handling: exactly one of them frees it.
void CreateReserve(TEngine& e) {
  if (e.Reserve.load()) return;
  void* made = VirtualAlloc(nullptr, kReserveSize, MEM_RESERVE, PAGE_NOACCESS);
  void* expected = nullptr;
  if (made && !e.Reserve.compare_exchange_strong(expected, made)) VirtualFree(made, 0, MEM_RELEASE);
}

void ReleaseReserve(TEngine& e) {
  if (void* reserve = e.Reserve.exchange(nullptr)) VirtualFree(reserve, 0, MEM_RELEASE);
}

namespace {

const char* ErrorCodeName(TTraciraLogErrorCode code) {
  static constexpr const char* kNames[] = {
      "eeNone",           "eeShowError",    "eeLogError",      "eeEmailMAPIError", "eeEmailShellError",
      "eeEmailSMTPError", "eeWebHTTPError", "eeWebHTTPSError", "eeWebFTPError",    "eeWebTrakerError"};
  return code < std::size(kNames) ? kNames[code] : "ee?";
}

}  // namespace

void SetInternalError(TEngine& e, TTraciraLogErrorCode code, const std::string& message,
                      std::uintptr_t address) {
  e.InternalError = message;
  char text[1024];
  std::snprintf(text, sizeof text, "[WARNING] - Code: %s - Address: %s - Message: \"%s\"",
                ErrorCodeName(code), HexAddress(address).c_str(), message.c_str());
  OutputDebugStringA(text);
}

}  // namespace tracira
