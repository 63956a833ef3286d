// The final analysis over leaks made up in the test's own memory: call
// sites recognised by the call instructions in front of them, grouping,
// the limit and objects that own other leaks.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "crashreport/leaks/TrLeakAnalysis.h"

namespace tracira::leaks {
namespace {

// Memory the analysis may read: only the test's code buffer and the leaks'
// data.
// A region is seen at its own address, or at one given (a 32-bit address
// for the x86 forms).
struct TFakeMemory {
  struct TRegion {
    std::uintptr_t At;
    const std::uint8_t* Bytes;
    std::size_t Size;
  };
  std::vector<TRegion> Readable;
  bool Read(std::uintptr_t address, void* out, std::size_t size) const {
    for (const TRegion& r : Readable)
      if (address >= r.At && address + size <= r.At + r.Size) {
        std::memcpy(out, r.Bytes + (address - r.At), size);
        return true;
      }
    return false;
  }
  void Add(const void* p, std::size_t size) {
    Readable.push_back({reinterpret_cast<std::uintptr_t>(p), static_cast<const std::uint8_t*>(p), size});
  }
  void AddAt(std::uintptr_t at, const void* p, std::size_t size) {
    Readable.push_back({at, static_cast<const std::uint8_t*>(p), size});
  }
};

struct TCallForm {
  const char* Name;
  TCodeWidth Width;
  std::vector<std::uint8_t> Bytes;  // the call instruction, ending at the return address
  bool IsCall;
};

// A code buffer: 64 bytes of NOPs, the instruction, then the return
// address, with the targets of direct and pointer calls inside the buffer.
class CallForms : public ::testing::TestWithParam<TCallForm> {};

TEST_P(CallForms, ReturnAddressBecomesTheCallsStart) {
  const TCallForm& form = GetParam();
  std::vector<std::uint8_t> code(128, 0x90);
  const std::size_t at = 64 - form.Bytes.size();
  std::memcpy(code.data() + at, form.Bytes.data(), form.Bytes.size());
  const auto base = reinterpret_cast<std::uintptr_t>(code.data());
  const std::uintptr_t q = base + 64;
  TFakeMemory memory;
  memory.Add(code.data(), code.size());
  // The pointer of an x86 FF 15 call: four readable bytes at a 32-bit
  // address.
  const std::uint32_t pointerAt = 0x00401000;
  memory.AddAt(pointerAt, code.data(), 4);
  if (form.Width == TCodeWidth::x86 && form.Bytes.size() == 6 && form.Bytes[1] == 0x15 && form.Bytes[5] == 0)
    std::memcpy(code.data() + at + 2, &pointerAt, 4);
  TCallStack stack{};
  stack[0] = 0x10;  // unreadable: dropped
  stack[1] = q;
  stack[2] = base + 8;  // NOPs in front: no call
  PurgeCallStack(
      stack, [&](std::uintptr_t a, void* o, std::size_t s) { return memory.Read(a, o, s); }, form.Width);
  if (form.IsCall) {
    EXPECT_EQ(stack[0], base + at);
    EXPECT_EQ(stack[1], 0u);
  } else {
    EXPECT_EQ(stack[0], 0u);
  }
}

// Displacements point back into the buffer (rel32 -32 from q, RIP-relative
// -64 from q).
INSTANTIATE_TEST_SUITE_P(
    Table, CallForms,
    ::testing::Values(
        TCallForm{"direct", TCodeWidth::x86, {0xE8, 0xE0, 0xFF, 0xFF, 0xFF}, true},
        TCallForm{"direct_outside", TCodeWidth::x86, {0xE8, 0x00, 0x00, 0x00, 0x10}, false},
        TCallForm{"register", TCodeWidth::x86, {0xFF, 0xD3}, true},
        TCallForm{"memory_by_register", TCodeWidth::x86, {0xFF, 0x16}, true},
        TCallForm{"memory_by_esp_is_sib", TCodeWidth::x86, {0xFF, 0x14}, false},
        TCallForm{"register_disp8", TCodeWidth::x86, {0xFF, 0x50, 0x08}, true},
        TCallForm{"register_disp32", TCodeWidth::x86, {0xFF, 0x97, 0x00, 0x01, 0x00, 0x00}, true},
        TCallForm{"stack", TCodeWidth::x86, {0xFF, 0x14, 0x24}, true},
        TCallForm{"stack_disp8", TCodeWidth::x86, {0xFF, 0x54, 0x24, 0x10}, true},
        TCallForm{"stack_disp32", TCodeWidth::x86, {0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, true},
        TCallForm{"absolute_pointer", TCodeWidth::x86, {0xFF, 0x15, 0, 0, 0, 0}, true},
        TCallForm{"absolute_pointer_unreadable", TCodeWidth::x86, {0xFF, 0x15, 0, 0, 0, 0x70}, false},
        TCallForm{"jump_is_no_call", TCodeWidth::x86, {0xFF, 0xE0}, false},
        TCallForm{"x64_direct", TCodeWidth::x64, {0xE8, 0xE0, 0xFF, 0xFF, 0xFF}, true},
        TCallForm{"x64_rip_pointer", TCodeWidth::x64, {0xFF, 0x15, 0xC0, 0xFF, 0xFF, 0xFF}, true},
        TCallForm{"x64_rip_pointer_outside", TCodeWidth::x64, {0xFF, 0x15, 0x00, 0x00, 0x00, 0x40}, false},
        TCallForm{"x64_r11", TCodeWidth::x64, {0x41, 0xFF, 0xD3}, true},
        TCallForm{"x64_rax", TCodeWidth::x64, {0xFF, 0xD0}, true},
        TCallForm{"x64_vtable_disp8", TCodeWidth::x64, {0xFF, 0x50, 0x10}, true},
        TCallForm{"x64_r10_disp32", TCodeWidth::x64, {0x41, 0xFF, 0x92, 0x00, 0x01, 0x00, 0x00}, true}),
    [](const auto& info) { return std::string(info.param.Name); });

// Leaks built around a code buffer in which every "return address" follows
// a direct call, so that each survives cleaning (as its address - 5).
class Analysis : public ::testing::Test {
 protected:
  Analysis() : fCode(4096, 0x90) {
    for (std::size_t i = 16; i + 5 <= fCode.size(); i += 16) {
      fCode[i] = 0xE8;
      const std::int32_t disp = -static_cast<std::int32_t>(i) - 5;  // calls the buffer's start
      std::memcpy(&fCode[i + 1], &disp, 4);
    }
    fMemory.Add(fCode.data(), fCode.size());
    fSystem.Read = [this](std::uintptr_t a, void* o, std::size_t s) { return fMemory.Read(a, o, s); };
    fSystem.Width = TCodeWidth::x86;
    // Functions are 256 bytes of the buffer each.
    fSystem.SameFunction = [this](std::uintptr_t a, std::uintptr_t b) {
      return (a - Code() - 16) / 256 == (b - Code() - 16) / 256;
    };
  }
  std::uintptr_t Code() const { return reinterpret_cast<std::uintptr_t>(fCode.data()); }
  // The return address behind call number n (its call site is Site(n)).
  std::uintptr_t Ret(std::size_t n) const { return Site(n) + 5; }
  std::uintptr_t Site(std::size_t n) const { return Code() + (n + 1) * 16; }

  TLeak& Add(std::size_t size, std::initializer_list<std::uintptr_t> stack, TBlockType type = btData) {
    auto& data = fData.emplace_back(size / sizeof(std::uintptr_t) + 1, 0);
    fMemory.Add(data.data(), size);
    TLeak leak;
    leak.Data = data.data();
    leak.Size = size;
    leak.Type = type;
    std::size_t i = 0;
    for (const std::uintptr_t a : stack) leak.Raw[i++] = a;
    fLeaks.push_back(leak);
    return fLeaks.back();
  }
  std::vector<const TLeak*> Visible() const {
    std::vector<const TLeak*> out;
    for (const TLeak& leak : fLeaks)
      if (!leak.Removed) out.push_back(&leak);
    return out;
  }

  std::vector<std::uint8_t> fCode;
  TFakeMemory fMemory;
  TAnalysisSystem fSystem;
  std::vector<TLeak> fLeaks;
  std::vector<std::vector<std::uintptr_t>> fData;
};

TEST_F(Analysis, EqualLeaksOfOneSiteAreOneRow) {
  fData.reserve(8);
  fLeaks.reserve(8);
  for (int i = 0; i < 3; ++i) Add(40, {0x77, Ret(3), Ret(20)});
  Add(40, {Ret(4), Ret(20)});  // another site
  Add(24, {Ret(3), Ret(20)});  // the same site, another size
  AnalyseLeaks(fLeaks, fSystem, {});
  const auto rows = Visible();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0]->Raw[0], Site(3));
  EXPECT_EQ(rows[0]->Raw[1], Site(20));
  EXPECT_EQ(rows[0]->Count, 3u);
  EXPECT_EQ(rows[0]->Size, 120u);
  EXPECT_EQ(ReportedAs(fLeaks, 2), 0u);
  EXPECT_EQ(rows[1]->Count, 1u);
  EXPECT_EQ(rows[2]->Size, 24u);
}

TEST_F(Analysis, ALeakWithoutACallSiteIsDropped) {
  fData.reserve(4);
  fLeaks.reserve(4);
  Add(16, {0x10, 0x20});
  TLeak& fromFrames = Add(16, {0x10});
  fromFrames.Frames[0] = Ret(7);
  AnalyseLeaks(fLeaks, fSystem, {});
  const auto rows = Visible();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0]->Raw[0], Site(7));  // the frame walk stands in
}

TEST_F(Analysis, OnX64TheFrameWalkIsTheLeaksStack) {
  fData.reserve(2);
  fLeaks.reserve(2);
  TLeak& leak = Add(16, {Ret(1), Ret(2)});  // stale words
  leak.Frames[0] = Ret(5);
  leak.Frames[1] = Ret(6);
  fSystem.Width = TCodeWidth::x64;
  AnalyseLeaks(fLeaks, fSystem, {});
  EXPECT_EQ(fLeaks[0].Raw[0], Site(5));
  EXPECT_EQ(fLeaks[0].Raw[1], Site(6));
}

TEST_F(Analysis, AtMost1025LeaksStay) {
  fData.reserve(2000);
  fLeaks.reserve(2000);
  // The runtime's own blocks (site 199) come first and don't count.
  for (std::size_t i = 0; i < 2000; ++i) Add(8 + i, {Ret(i < 100 ? 199 : i % 190)});
  fSystem.Reportable = [this](std::uintptr_t site) { return site != Site(199); };
  AnalyseLeaks(fLeaks, fSystem, {});
  EXPECT_EQ(Visible().size(), kMaxLeaks);
  EXPECT_EQ(ReportedAs(fLeaks, 100), 100u);
  EXPECT_EQ(ReportedAs(fLeaks, 100 + kMaxLeaks), SIZE_MAX);
}

// An object made in function 0 (site 0, called from site 40) whose
// constructor, called at site 2 of the same function, made two blocks it
// points to; a block made afterwards by function 0 itself, not owned; a
// block the object points to that was made elsewhere.
TEST_F(Analysis, BlocksOwnedByALeakedObjectAreFoldedIntoIt) {
  for (const bool groupSons : {true, false}) {
    SCOPED_TRACE(groupSons);
    fLeaks.clear();
    fData.clear();
    fData.reserve(8);
    fLeaks.reserve(8);
    TLeak& object = Add(32, {Ret(0), Ret(40)}, btObject);
    TLeak& first = Add(40, {Ret(20), Ret(2), Ret(40)});
    TLeak& second = Add(8, {Ret(21), Ret(30), Ret(2), Ret(40)});
    Add(16, {Ret(5), Ret(40)});
    TLeak& elsewhere = Add(16, {Ret(22), Ret(3), Ret(41)});
    auto* words = static_cast<std::uintptr_t*>(const_cast<void*>(object.Data));
    words[0] = 0xDEADBEEF;  // the virtual table
    words[1] = reinterpret_cast<std::uintptr_t>(first.Data);
    words[2] = reinterpret_cast<std::uintptr_t>(second.Data) + 4;  // inside counts
    words[3] = reinterpret_cast<std::uintptr_t>(elsewhere.Data);
    TAnalysisOptions options;
    options.GroupSons = groupSons;
    AnalyseLeaks(fLeaks, fSystem, options);
    const auto rows = Visible();
    if (!groupSons) {
      EXPECT_EQ(rows.size(), 5u);
      continue;
    }
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0]->Size, 80u);
    EXPECT_EQ(rows[0]->Count, 1u);
    // Given back at the end, the object's row takes its sons' blocks along.
    for (const std::size_t i : {0, 1, 2}) EXPECT_EQ(ReportedAs(fLeaks, i), 0u);
    EXPECT_EQ(ReportedAs(fLeaks, 4), 4u);
    EXPECT_EQ(rows[1]->Size, 16u);
    EXPECT_EQ(rows[2]->Size, 16u);
  }
}

}  // namespace
}  // namespace tracira::leaks
