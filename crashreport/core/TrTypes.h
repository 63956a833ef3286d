// Plain records shared by the call-stack lookup and the bug report: one entry
// of a call stack as the lookup fills it and the report formats it, and the
// one way an address is written.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tracira {

// An address in the process (a 64-bit process's take all 64 bits).
using TTrAddress = std::uint64_t;

// An address as the crash reporter writes it everywhere: "0045A1B2", sixteen
// digits above 4 GB.
inline std::string HexAddress(TTrAddress value) {
  const int digits = value > 0xFFFFFFFFu ? 16 : 8;
  std::string text(digits, '0');
  for (int i = digits - 1; i >= 0; --i, value >>= 4) text[i] = "0123456789ABCDEF"[value & 0xF];
  return text;
}
inline std::wstring WideHexAddress(TTrAddress value) {
  const std::string text = HexAddress(value);
  return {text.begin(), text.end()};
}

// How much is known about an address; the order is stored and compared.
enum TTraciraDebugDetail : std::uint8_t { ddNone, ddModule, ddProcedure, ddUnitAndProcedure, ddSourceCode };

struct TTraciraDebugInfo {
  TTraciraDebugDetail DebugDetail = ddNone;
  // Full file name of the module that holds Addr (system code page, as the
  // report shows it); empty when unknown.
  std::string ModuleName;
  TTrAddress ModuleHandle = 0;
  std::uint32_t ThreadID = 0;
  // True: found on the thread's own stack; false: on the saved stack of the
  // thread that created it.
  bool RunningThread = true;
  bool ErrorLine = false;  // the exception address itself
  bool IsALeak = false;
  std::string LeakType;  // at most 64 characters
  std::uint32_t LeakSize = 0;
  std::uint32_t LeakCount = 0;
  TTrAddress Addr = 0;
  std::string UnitName;  // at most 64 characters each
  std::string ClassName;
  std::string ProcedureName;
  std::uint32_t Line = 0;           // 0: unknown
  std::int32_t ProcOffsetLine = 0;  // lines from the procedure's first line (below it in inlined code)

  bool operator==(const TTraciraDebugInfo&) const = default;
};

using TTraciraStackList = std::vector<TTraciraDebugInfo>;

}  // namespace tracira
