// The x86-64 unwind on test memory: a made-up image whose exception
// directory describes four functions of the usual shapes, and a stack laid
// out as they would have left it.
#include <gtest/gtest.h>

#include <cstring>

#include "crashreport/debug/TrCallScan.h"
#include "crashreport/debug/TrUnwind64.h"

namespace tracira {
namespace {

constexpr TTrAddress kBase = 0x140000000;
constexpr TTrAddress kStack = 0x20000;
constexpr int kRbx = 3, kRbp = 5;

// Unwind codes: (offset of the instruction's end, operation | info << 4).
enum : std::uint8_t { kPush = 0, kAllocSmall = 2, kSetFrame = 3, kSave = 4 };
constexpr std::uint8_t Op(std::uint8_t op, std::uint8_t info) {
  return static_cast<std::uint8_t>(op | info << 4);
}

class Image {
 public:
  Image() : fBytes(0x2000, 0x90) {
    fBytes[0] = 'M';
    fBytes[1] = 'Z';
    Put32(0x3C, 0x40);
    Put32(0x40, 0x00004550);
    Put16(0x58, 0x20B);
    Put32(0x58 + 108, 16);
  }
  void Put16(std::size_t at, std::uint16_t v) { std::memcpy(&fBytes[at], &v, 2); }
  void Put32(std::size_t at, std::uint32_t v) { std::memcpy(&fBytes[at], &v, 4); }
  void Bytes(std::size_t at, std::vector<std::uint8_t> b) {
    std::copy(b.begin(), b.end(), fBytes.begin() + at);
  }
  // The exception directory: entries sorted by their first address.
  void Functions(std::vector<std::array<std::uint32_t, 3>> entries) {
    for (std::size_t i = 0; i < entries.size(); ++i)
      for (std::size_t k = 0; k < 3; ++k) Put32(0x200 + i * 12 + k * 4, entries[i][k]);
    Put32(0x58 + 112 + 3 * 8, 0x200);
    Put32(0x58 + 112 + 3 * 8 + 4, static_cast<std::uint32_t>(entries.size() * 12));
  }
  // A call instruction that returns to rva.
  void CallReturningTo(std::uint32_t rva) { Bytes(rva - 5, {0xE8, 0, 0, 0, 0}); }
  TTrBufferReader Reader() const { return TTrBufferReader(kBase, fBytes); }
  std::vector<std::uint8_t>& Raw() { return fBytes; }

 private:
  std::vector<std::uint8_t> fBytes;
};

class Stack {
 public:
  Stack() : fBytes(0x200, 0) {}
  void Put(TTrAddress at, std::uint64_t v) { std::memcpy(&fBytes[at - kStack], &v, 8); }
  TTrBufferReader Reader() const { return TTrBufferReader(kStack, fBytes); }

 private:
  std::vector<std::uint8_t> fBytes;
};

// F1 [0x1000,0x1040): push rbp; push rbx; sub rsp,0x28.
// F2 [0x1100,0x1140) and F4 [0x1300,0x1340): push rbp; mov rbp,rsp;
//   sub rsp,0x20 (one unwind description for both; F2 also made room on
//   its stack at run time, which only the frame pointer knows of).
// F3 [0x1200,0x1240): sub rsp,0x38; mov [rsp+0x30],rbp (rbp is then used
//   for something else).
// G [0x1400,...): no unwind data.
constexpr std::uint32_t kF1 = 0x1000, kF2 = 0x1100, kF3 = 0x1200, kF4 = 0x1300;
constexpr std::uint32_t kR1 = 0x1120, kR2 = 0x1220, kR3 = 0x1320, kR4 = 0x1420, kR5 = 0x1430, kStale = 0x1230;

Image FourFunctions() {
  Image image;
  image.Bytes(0x400, {0x01, 6, 3, 0, 6, Op(kAllocSmall, 4), 2, Op(kPush, kRbx), 1, Op(kPush, kRbp), 0, 0});
  image.Bytes(0x420,
              {0x01, 8, 3, kRbp, 8, Op(kAllocSmall, 3), 4, Op(kSetFrame, 0), 1, Op(kPush, kRbp), 0, 0});
  image.Bytes(0x440, {0x01, 9, 3, 0, 9, Op(kSave, kRbp), 6, 0, 4, Op(kAllocSmall, 6), 0, 0});
  image.Functions({{kF1, kF1 + 0x40, 0x400},
                   {kF2, kF2 + 0x40, 0x420},
                   {kF3, kF3 + 0x40, 0x440},
                   {kF4, kF4 + 0x40, 0x420}});
  for (std::uint32_t r : {kR1, kR2, kR3, kR4, kR5, kStale}) image.CallReturningTo(r);
  return image;
}

// The stack as F4 -> F3 -> F2 -> F1 left it, F1 stopped after its prolog;
// above G's frame one more return address that only a scan finds.
Stack FourFrames(TTrX64Registers& registers) {
  Stack stack;
  const TTrAddress s = kStack;
  stack.Put(s + 0x10, kBase + kStale);  // a dead frame's return address among F1's locals
  stack.Put(s + 0x28, 0xB0B0);          // F1's saved rbx
  stack.Put(s + 0x30, s + 0xA0);        // F1's saved rbp: F2's frame pointer
  stack.Put(s + 0x38, kBase + kR1);
  // F2: 0x40 bytes made at run time, 0x20 of its own, then the pushed rbp
  // (F3's scratch value) and the return into F3.
  stack.Put(s + 0xA0, 0x5555);
  stack.Put(s + 0xA8, kBase + kR2);
  // F3: 0x38 bytes with F4's frame pointer saved at +0x30.
  stack.Put(s + 0xE0, s + 0x110);
  stack.Put(s + 0xE8, kBase + kR3);
  // F4: 0x20 bytes, its caller's rbp, the return into G.
  stack.Put(s + 0x110, 0x7777);
  stack.Put(s + 0x118, kBase + kR4);
  stack.Put(s + 0x130, kBase + kR5);
  registers.Rip = kBase + kF1 + 0x10;
  registers.Rsp() = s;
  registers.Gpr[kRbp] = s + 0xA0;
  return stack;
}

TTrImageBaseOf InImage() {
  return [](TTrAddress a) -> std::optional<TTrAddress> {
    if (a >= kBase && a < kBase + 0x2000) return kBase;
    return std::nullopt;
  };
}

// The four functions, the stack of their four frames, and readers of both.
struct FourFramesWalk {
  Image image = FourFunctions();
  TTrX64Registers registers;
  Stack stack = FourFrames(registers);
  TTrBufferReader stackReader = stack.Reader();
  TTrBufferReader imageReader = image.Reader();
};

TEST(UnwindX64, FollowsPushesFramePointersAndSavesUntilAFunctionWithoutUnwindData) {
  FourFramesWalk w;
  const auto frames = UnwindX64(w.stackReader, w.imageReader, InImage(), w.registers, kStack + 0x200);
  ASSERT_EQ(frames.size(), 4u);
  const std::array<std::pair<std::uint32_t, TTrAddress>, 4> expected = {
      {{kR1, kStack + 0x40}, {kR2, kStack + 0xB0}, {kR3, kStack + 0xF0}, {kR4, kStack + 0x120}}};
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].ReturnAddress, kBase + expected[i].first) << i;
    EXPECT_EQ(frames[i].StackPointer, expected[i].second) << i;
  }
}

TEST(UnwindX64, TheScanGoesOnWhereTheUnwindEndsAndSkipsDeadFramesBelow) {
  FourFramesWalk w;
  auto callsFound = [&](const TTrX64Registers* start) {
    TTraciraStackList list;
    TTrScanRequest request;
    request.StackPointer = kStack;
    request.TopOfStack = kStack + 0x200;
    request.WordSize = kWords64;
    request.GetDebugInfo = false;
    request.ResolveCalls = false;
    request.Registers = start;
    request.ImageBaseOf = InImage();
    CallStackByAddresses(list, w.stackReader, w.imageReader, {}, request);
    std::vector<TTrAddress> calls;
    for (const auto& entry : list) calls.push_back(entry.Addr - kBase + 5);
    return calls;
  };
  EXPECT_EQ(callsFound(&w.registers), (std::vector<TTrAddress>{kR1, kR2, kR3, kR4, kR5}));
  EXPECT_EQ(callsFound(nullptr), (std::vector<TTrAddress>{kStale, kR1, kR2, kR3, kR4, kR5}));
}

// One step from a single frame: what the first frame's state gives.
struct StepCase {
  const char* Name;
  std::uint32_t Rip;
  std::vector<std::pair<std::uint32_t, std::uint64_t>> Stack;  // offset from kStack, value
  std::optional<std::uint32_t> ReturnTo;                       // none: no frame at all
  TTrAddress StackPointer = 0;
};

TEST(UnwindX64, FirstFrames) {
  Image image = FourFunctions();
  // F5 [0x1500,0x1540): sub rsp,0x10, its remaining description is F1's
  // (chained).
  image.Bytes(0x460, {0x21, 4, 1, 0, 4, Op(kAllocSmall, 1), 0, 0});
  image.Put32(0x468, kF1);
  image.Put32(0x46C, kF1 + 0x40);
  image.Put32(0x470, 0x400);
  // F6 [0x1600,0x1640): a description of version 3, which doesn't exist.
  image.Bytes(0x480, {0x03, 0, 0, 0});
  image.Functions({{kF1, kF1 + 0x40, 0x400},
                   {kF2, kF2 + 0x40, 0x420},
                   {kF3, kF3 + 0x40, 0x440},
                   {kF4, kF4 + 0x40, 0x420},
                   {0x1500, 0x1540, 0x460},
                   {0x1600, 0x1640, 0x480}});
  const std::vector<StepCase> cases = {
      {"in the prolog, after the first push only",
       kF1 + 1,
       {{0, 0x1234}, {8, kBase + kR1}},
       kR1,
       kStack + 0x10},
      {"at the function's first byte", kF1, {{0, kBase + kR1}}, kR1, kStack + 8},
      {"a leaf without unwind data", 0x1410, {{0, kBase + kR1}}, kR1, kStack + 8},
      {"chained to another description", 0x1510, {{0x10 + 0x38, kBase + kR1}}, kR1, kStack + 0x10 + 0x40},
      {"a description of an unknown version", 0x1610, {{0, kBase + kR1}}, std::nullopt},
      {"returning where no call precedes", kF1 + 1, {{8, kBase + kF2 + 0x30}}, std::nullopt},
  };
  for (const StepCase& c : cases) {
    Stack stack;
    for (const auto& [offset, value] : c.Stack) stack.Put(kStack + offset, value);
    TTrX64Registers registers;
    registers.Rip = kBase + c.Rip;
    registers.Rsp() = kStack;
    auto stackReader = stack.Reader();
    auto imageReader = image.Reader();
    const auto frames = UnwindX64(stackReader, imageReader, InImage(), registers, kStack + 0x200);
    if (!c.ReturnTo) {
      EXPECT_TRUE(frames.empty()) << c.Name;
      continue;
    }
    ASSERT_FALSE(frames.empty()) << c.Name;
    EXPECT_EQ(frames[0].ReturnAddress, kBase + *c.ReturnTo) << c.Name;
    EXPECT_EQ(frames[0].StackPointer, c.StackPointer) << c.Name;
  }
}

TEST(UnwindX64, DamagedDirectoriesEndTheWalkQuietly) {
  TTrX64Registers registers;
  Stack stack = FourFrames(registers);
  auto stackReader = stack.Reader();
  const std::vector<std::pair<const char*, std::function<void(Image&)>>> damages = {
      {"directory beyond the image", [](Image& i) { i.Put32(0x58 + 112 + 24, 0x7FFFFF00); }},
      {"directory of absurd size", [](Image& i) { i.Put32(0x58 + 112 + 28, 0xFFFFFFF0); }},
      {"unwind data beyond the image", [](Image& i) { i.Put32(0x208, 0x7FFFFFF0); }},
      {"more codes than there are", [](Image& i) { i.Raw()[0x402] = 255; }},
      {"a code that doesn't exist", [](Image& i) { i.Raw()[0x405] = Op(15, 0); }},
      {"a chain that leads to itself",
       [](Image& i) {
         i.Raw()[0x400] = 0x21;
         i.Bytes(0x40C, {0x00, 0x10, 0, 0, 0x40, 0x10, 0, 0, 0x00, 0x04, 0, 0});
       }},
      {"not a PE image", [](Image& i) { i.Raw()[0] = 'X'; }},
  };
  for (const auto& [name, damage] : damages) {
    Image image = FourFunctions();
    damage(image);
    auto imageReader = image.Reader();
    const auto frames = UnwindX64(stackReader, imageReader, InImage(), registers, kStack + 0x200);
    // F1's own frame is where the damage is: nothing past it is trusted.
    EXPECT_TRUE(frames.empty()) << name;
  }
}

}  // namespace
}  // namespace tracira
