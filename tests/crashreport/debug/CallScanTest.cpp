// The stack scan on test memory: which words count as return addresses,
// how far and in what blocks the stack is read, and the purge of stale
// copies.
#include <gtest/gtest.h>

#include <iterator>
#include <map>

#include "crashreport/debug/TrCallScan.h"

namespace tracira {
namespace {

// Memory made of separate readable regions; everything else is unreadable.
class FakeMemory : public TTrMemoryReader {
 public:
  void Put(TTrAddress address, std::vector<std::uint8_t> bytes) { fRegions[address] = std::move(bytes); }
  void Put32(TTrAddress address, std::uint32_t v) {
    Put(address, {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                  static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
  }
  void Put64(TTrAddress address, std::uint64_t v) {
    std::vector<std::uint8_t> bytes;
    for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    Put(address, bytes);
  }
  bool Read(TTrAddress address, void* out, std::size_t size) override {
    ++reads;
    auto it = fRegions.upper_bound(address);
    if (it == fRegions.begin()) return false;
    --it;
    const std::uint64_t offset = address - it->first;
    if (offset + size > it->second.size()) return false;
    std::copy_n(it->second.begin() + static_cast<long>(offset), size, static_cast<std::uint8_t*>(out));
    return true;
  }
  int reads = 0;

 private:
  std::map<TTrAddress, std::vector<std::uint8_t>> fRegions;
};

constexpr std::uint32_t kCode = 0x00401000;

// 32 bytes of code whose last bytes (before kCode + 32) are prefix, padded
// in front with NOPs.
std::vector<std::uint8_t> CodeEndingWith(std::vector<std::uint8_t> tail) {
  std::vector<std::uint8_t> code(32 - tail.size(), 0x90);
  code.insert(code.end(), tail.begin(), tail.end());
  code.resize(48, 0x90);
  return code;
}

struct CallForm {
  const char* Name;
  std::vector<std::uint8_t> Bytes;  // the instruction just before the return address
  bool IsCall;
};

TEST(CallSiteBefore, RecognisesEachCallFormAndNothingElse) {
  const std::uint32_t data = 0x00500000;
  const std::vector<CallForm> forms = {
      {"call eax", {0xFF, 0xD0}, true},
      {"call edi", {0xFF, 0xD7}, true},
      {"call [eax]", {0xFF, 0x10}, true},
      {"call [ebx]", {0xFF, 0x13}, true},
      {"call [esi]", {0xFF, 0x16}, true},
      {"call [edi]", {0xFF, 0x17}, true},
      {"call [eax+8]", {0xFF, 0x50, 0x08}, true},
      {"call [ebp-4]", {0xFF, 0x55, 0xFC}, true},
      {"call [edi+127]", {0xFF, 0x57, 0x7F}, true},
      {"call [eax+0x1000]", {0xFF, 0x90, 0x00, 0x10, 0x00, 0x00}, true},
      {"call [ebp+0x1000]", {0xFF, 0x95, 0x00, 0x10, 0x00, 0x00}, true},
      {"call [esp]", {0xFF, 0x14, 0x24}, true},
      {"call [esp+8]", {0xFF, 0x54, 0x24, 0x08}, true},
      {"call [esp+0x100]", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, true},
      {"call [data]", {0xFF, 0x15, 0x00, 0x00, 0x50, 0x00}, true},
      // look-alikes that are not calls
      {"jmp eax", {0xFF, 0xE0}, false},
      {"call [esp] via sib form without 0x24", {0xFF, 0x14, 0x25}, false},
      {"call [ebp] (mod 00 r/m 101 is disp32)", {0xFF, 0x15, 0x00, 0x00, 0x00, 0x70}, false},
      {"call [esp+d8] without SIB", {0xFF, 0x54, 0x20, 0x08}, false},
      {"push eax; ret-ish", {0x50, 0xC3}, false},
      {"call [ecx-reg form 0x14 unlisted]", {0xFF, 0x54, 0x08}, false},
      {"nops", {0x90, 0x90}, false},
  };
  for (const CallForm& f : forms) {
    FakeMemory memory;
    memory.Put(kCode, CodeEndingWith(f.Bytes));
    memory.Put(data, {1, 2, 3, 4});
    const auto site = CallSiteBefore(memory, kCode + 32, true);
    EXPECT_EQ(site.has_value(), f.IsCall) << f.Name;
    if (site && f.IsCall) {
      EXPECT_EQ(site->CallAddress, kCode + 32 - f.Bytes.size()) << f.Name;
      EXPECT_FALSE(site->Target) << f.Name;
    }
  }
}

TEST(CallSiteBefore, DirectCallNeedsReadableTargetAndResolvesThroughImportThunk) {
  const std::uint32_t r = kCode + 32;
  auto directTo = [&](std::uint32_t target) {
    const std::uint32_t d = target - r;
    return CodeEndingWith({0xE8, static_cast<std::uint8_t>(d), static_cast<std::uint8_t>(d >> 8),
                           static_cast<std::uint8_t>(d >> 16), static_cast<std::uint8_t>(d >> 24)});
  };
  const std::uint32_t function = 0x00402000, thunk = 0x00403000, slot = 0x00500010, imported = 0x77001000;
  {
    FakeMemory memory;  // target unreadable: not a return address
    memory.Put(kCode, directTo(0x12345678));
    EXPECT_FALSE(CallSiteBefore(memory, r, true));
  }
  {
    FakeMemory memory;  // a plain function: listed before the call site when resolving
    memory.Put(kCode, directTo(function));
    memory.Put(function, {0x55, 0x89, 0xE5});
    const auto site = CallSiteBefore(memory, r, true);
    ASSERT_TRUE(site);
    EXPECT_EQ(site->CallAddress, r - 5);
    EXPECT_EQ(site->Target, function);
    EXPECT_FALSE(CallSiteBefore(memory, r, false)->Target);
  }
  {
    FakeMemory memory;  // "jmp [slot]" leads to the imported function
    memory.Put(kCode, directTo(thunk));
    memory.Put(thunk, {0xFF, 0x25, 0x10, 0x00, 0x50, 0x00});
    memory.Put32(slot, imported);
    memory.Put(imported, {0x8B, 0xFF});
    EXPECT_EQ(CallSiteBefore(memory, r, true)->Target, imported);
  }
  {
    FakeMemory memory;  // a target that is itself a call isn't added
    memory.Put(kCode, directTo(function));
    memory.Put(function, {0xE8, 0, 0, 0, 0});
    EXPECT_FALSE(CallSiteBefore(memory, r, true)->Target);
  }
  {
    FakeMemory memory;  // "call [address]" with an unreadable address
    memory.Put(kCode, CodeEndingWith({0xFF, 0x15, 0x00, 0x00, 0x60, 0x00}));
    EXPECT_FALSE(CallSiteBefore(memory, r, true));
  }
  {
    FakeMemory memory;  // the seven bytes before R unreadable
    memory.Put(kCode, CodeEndingWith({0xFF, 0xD0}));
    EXPECT_FALSE(CallSiteBefore(memory, kCode + 3, true));
  }
}

// x86-64 code above 4 GB: REX prefixes in front of indirect calls,
// RIP-relative operands, and direct calls backwards.
TEST(CallSiteBefore, RecognisesTheCallFormsOfX64Code) {
  const TTrAddress code = 0x140001000, r = code + 32, slot = code + 0x1000;
  auto rel = [&](TTrAddress to, std::size_t length) {
    const auto d = static_cast<std::uint32_t>(to - r);
    std::vector<std::uint8_t> bytes(length - 4);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(d >> (8 * i)));
    return bytes;
  };
  auto with = [](std::vector<std::uint8_t> head, std::vector<std::uint8_t> tail) {
    std::copy(tail.begin() + static_cast<long>(head.size()), tail.end(), std::back_inserter(head));
    return head;
  };
  const std::vector<CallForm> forms = {
      {"call rax", {0xFF, 0xD0}, true},
      {"call r8", {0x41, 0xFF, 0xD0}, true},
      {"call [rbx+8]", {0xFF, 0x53, 0x08}, true},
      {"call [r12+8]", {0x41, 0xFF, 0x54, 0x24, 0x08}, true},
      {"call [rsp+0x100]", {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, true},
      {"call [rip+slot]", with({0xFF, 0x15}, rel(slot, 6)), true},
      {"call [rip+unreadable]", with({0xFF, 0x15}, rel(slot + 0x100000, 6)), false},
      {"jmp rax", {0xFF, 0xE0}, false},
      {"nops", {0x90, 0x90}, false},
  };
  for (const CallForm& f : forms) {
    FakeMemory memory;
    memory.Put(code, CodeEndingWith(f.Bytes));
    memory.Put64(slot, code);
    const auto site = CallSiteBefore(memory, r, true, kWords64);
    EXPECT_EQ(site.has_value(), f.IsCall) << f.Name;
    if (site && f.IsCall) {
      EXPECT_EQ(site->CallAddress, r - f.Bytes.size()) << f.Name;
    }
  }

  // A direct call backwards, through a RIP-relative import thunk.
  const TTrAddress thunk = code - 0x800, imported = 0x7FF812340000;
  FakeMemory memory;
  memory.Put(code, CodeEndingWith(with({0xE8}, rel(thunk, 5))));
  memory.Put(thunk, {0xFF, 0x25, 0x0A, 0x00, 0x00, 0x00});  // jmp [rip+10]: the slot at thunk + 16
  memory.Put64(thunk + 16, imported);
  memory.Put(imported, {0x48, 0x89, 0x5C});
  const auto site = CallSiteBefore(memory, r, true, kWords64);
  ASSERT_TRUE(site);
  EXPECT_EQ(site->CallAddress, r - 5);
  EXPECT_EQ(site->Target, imported);
  // The same bytes read as 32-bit code don't reach the thunk.
  EXPECT_FALSE(CallSiteBefore(memory, r, true, kWords32));
}

TEST(ScanStackWords, ReadsEightByteWordsOfX64Stacks) {
  const TTrAddress sp = 0x7FFE0000;
  FakeMemory memory;
  std::vector<std::uint8_t> stack;
  for (std::uint64_t w : {0x140001234ull, 0x1ull, 0x7FF812340000ull})
    for (int i = 0; i < 8; ++i) stack.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  memory.Put(sp, stack);
  std::vector<TTrAddress> seen;
  ScanStackWords(
      memory, sp + 3, sp + stack.size(), [&](TTrAddress w) { seen.push_back(w); }, kWords64);
  EXPECT_EQ(seen, (std::vector<TTrAddress>{0x140001234, 0x1, 0x7FF812340000}));
}

TEST(ScanStackWords, CapsTheScanAt100KBAndSkipsUnreadableWords) {
  const std::uint32_t sp = 0x00100000;
  FakeMemory memory;
  std::vector<std::uint8_t> stack(200 * 1024);
  for (std::size_t i = 0; i < stack.size(); i += 4) stack[i] = static_cast<std::uint8_t>(i / 4);
  memory.Put(sp, stack);
  int words = 0;
  TTrAddress last = 0;
  ScanStackWords(memory, sp, sp + static_cast<std::uint32_t>(stack.size()), [&](TTrAddress w) {
    ++words;
    last = w;
  });
  EXPECT_EQ(words, 102400 / 4);
  EXPECT_EQ(last, (102400 / 4 - 1) & 0xFF);
  EXPECT_LE(memory.reads, 102400 / 400 + 1) << "read in 400-byte blocks, not word by word";

  // A hole in the middle of a block: the words around it are still seen.
  FakeMemory holey;
  holey.Put(sp, std::vector<std::uint8_t>(200, 1));
  holey.Put(sp + 208, std::vector<std::uint8_t>(800 - 208, 2));
  std::vector<std::uint32_t> seen;
  ScanStackWords(holey, sp, sp + 800, [&](TTrAddress w) { seen.push_back(static_cast<std::uint32_t>(w)); });
  EXPECT_EQ(seen.size(), (800u - 8) / 4);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 0x01010101u), 50);
}

// A fake program: each "function" has a code range; a call site's lookup
// names the function.
class ScanFixture : public ::testing::Test {
 protected:
  static constexpr std::uint32_t kSp = 0x00200000;

  void SetUp() override {
    // Three call sites in three functions: call eax at kCode+0x20, call
    // [ebp-4] at kCode+0x120, call [data] at kCode+0x220.
    std::vector<std::uint8_t> code(0x400, 0x90);
    auto put = [&](std::uint32_t at, std::vector<std::uint8_t> bytes) {
      std::copy(bytes.begin(), bytes.end(), code.begin() + at);
    };
    put(0x20, {0xFF, 0xD0});
    put(0x120, {0xFF, 0x55, 0xFC});
    put(0x220, {0xFF, 0x15, 0x00, 0x00, 0x50, 0x00});
    memory.Put(kCode, code);
    memory.Put(0x00500000, {0, 0, 0, 0});
  }
  std::uint32_t Ret(int function) const {
    static const std::uint32_t ends[] = {0x22, 0x123, 0x226};
    return kCode + ends[function];
  }
  void SetStack(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> bytes;
    for (std::uint32_t w : words)
      for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
    memory.Put(kSp, bytes);
    top = kSp + static_cast<std::uint32_t>(bytes.size());
  }
  TTraciraStackList Scan(TTrScanRequest request = {}) {
    request.StackPointer = kSp;
    request.TopOfStack = top;
    request.ThreadID = 7;
    TTraciraStackList list;
    CallStackByAddresses(list, memory, memory, lookup, request);
    return list;
  }
  static std::vector<std::string> Shown(const TTraciraStackList& list) {
    std::vector<std::string> out;
    for (const auto& e : list)
      if (e.DebugDetail >= ddProcedure) out.push_back(e.ProcedureName);
    return out;
  }

  FakeMemory memory;
  std::uint32_t top = kSp;
  TTrAddressLookup lookup = [](TTrAddress a, TTraciraDebugInfo& e, bool errorLine, bool running) {
    e = TTraciraDebugInfo{};
    e.Addr = a;
    e.ErrorLine = errorLine;
    e.RunningThread = running;
    e.ModuleName = "Test.exe";
    if (a < kCode || a >= kCode + 0x400) return;
    e.DebugDetail = ddSourceCode;
    e.UnitName = "Scan.cpp";
    e.ProcedureName = "F" + std::to_string((a - kCode) / 0x100);
    e.Line = 10 + (a - kCode) / 0x100;
  };
};

TEST_F(ScanFixture, NamesCallSitesInnermostFirstAndIgnoresOtherValues) {
  // Between the return addresses: data, a code address behind no call,
  // and a pointer into unreadable memory.
  SetStack({0x11111111, Ret(0), kCode + 0x80, 0x00000000, Ret(1), 0xDEADBEEF, Ret(2), 0x7});
  TTrScanRequest request;
  request.ExceptionAddress = kCode + 0x10;
  const TTraciraStackList list = Scan(request);
  ASSERT_EQ(list.size(), 4u);
  EXPECT_TRUE(list[0].ErrorLine);
  EXPECT_EQ(list[0].Addr, kCode + 0x10);
  EXPECT_EQ(list[1].Addr, kCode + 0x20);
  EXPECT_EQ(list[2].Addr, kCode + 0x120);
  EXPECT_EQ(list[3].Addr, kCode + 0x220);
  for (const auto& e : list) EXPECT_EQ(e.ThreadID, 7u);
  EXPECT_EQ(Shown(list), (std::vector<std::string>{"F0", "F0", "F1", "F2"}));
}

TEST_F(ScanFixture, StaleCopyOfAReturnAddressIsListedOnce) {
  // F1's return address left behind by an earlier, deeper call, close to
  // the live one.
  SetStack({Ret(1), Ret(0), Ret(1), 0, 0, Ret(2)});
  const TTraciraStackList list = Scan();
  EXPECT_EQ(Shown(list), (std::vector<std::string>{"F0", "F1", "F2"}));
  // The hidden copy is the inner one.
  EXPECT_EQ(list[0].DebugDetail, ddNone);
  // Two entries with procedure information between them: both stay.
  SetStack({Ret(0), Ret(1), Ret(2), Ret(0)});
  EXPECT_EQ(Shown(Scan()), (std::vector<std::string>{"F0", "F1", "F2", "F0"}));
}

TEST_F(ScanFixture, DetailSetStartLevelAndNumberOfLevels) {
  SetStack({Ret(0), 0x00700000, Ret(1), Ret(2)});
  TTrScanRequest request;
  request.ExceptionAddress = 0x00900000;  // outside every module: ddNone
  request.Details = 1u << ddSourceCode;
  EXPECT_EQ(Scan(request).size(), 3u);
  request.StartLevel = 1;
  auto list = Scan(request);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].ProcedureName, "F1");
  request.Levels = 1;
  list = Scan(request);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].ProcedureName, "F1");
  request = {};
  request.GetDebugInfo = false;  // raw addresses only
  request.Details = 1u << ddNone;
  list = Scan(request);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_TRUE(list[0].ProcedureName.empty());
}

TEST(PurgeCallStack, LooksOnlyAtEntriesOfTheSameModuleWithProcedureInformation) {
  auto entry = [](std::uint32_t addr, const char* module, TTraciraDebugDetail d) {
    TTraciraDebugInfo e;
    e.Addr = addr;
    e.ModuleName = module;
    e.DebugDetail = d;
    return e;
  };
  TTraciraStackList list = {
      entry(0x10, "A.exe", ddSourceCode),  // same address two A-entries later
      entry(0x99, "B.dll", ddSourceCode),  // other module: not counted
      entry(0x20, "A.exe", ddModule),      // no procedure information: not counted
      entry(0x30, "A.exe", ddProcedure),  entry(0x10, "A.exe", ddSourceCode),
      entry(0x30, "A.exe", ddProcedure),  // the last entry is never hidden
  };
  PurgeCallStack(list, 0);
  EXPECT_EQ(list[0].DebugDetail, ddNone);
  EXPECT_EQ(list[3].DebugDetail, ddNone);
  EXPECT_EQ(list[4].DebugDetail, ddSourceCode);
  EXPECT_EQ(list[5].DebugDetail, ddProcedure);
  // Entries before the first new one are left alone.
  TTraciraStackList older = {entry(0x10, "A.exe", ddSourceCode), entry(0x10, "A.exe", ddSourceCode)};
  PurgeCallStack(older, 1);
  EXPECT_EQ(older[0].DebugDetail, ddSourceCode);
}

}  // namespace
}  // namespace tracira
