// The block layout and the live-block list, over blocks from malloc.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "crashreport/leaks/TrLeakBlock.h"

namespace tracira::leaks {
namespace {

struct TFree {
  void operator()(void* p) const { std::free(p); }
};

class LeakBlock : public ::testing::Test {
 protected:
  // A block as the detector makes one: the allocator's memory, stamped.
  void* Make(std::size_t size, std::size_t alignment = kBlockAlignment) {
    void* base = std::malloc(BlockSize(size, alignment));
    fBases.emplace_back(base);
    TCallStack raw{}, frames{};
    raw[0] = 0x1234;
    return Stamp(fList, base, size, btData, raw, frames, alignment);
  }
  std::size_t Count() {
    std::size_t n = 0;
    for (const TBlockHeader* h = fList.First; h; h = h->Next) ++n;
    return n;
  }

  TBlockList fList;
  std::vector<std::unique_ptr<void, TFree>> fBases;
};

TEST_F(LeakBlock, DataKeepsTheAlignmentAskedFor) {
  for (const std::size_t alignment : {kBlockAlignment, std::size_t{32}, std::size_t{64}, std::size_t{4096}})
    for (const std::size_t size : {0, 1, 15, 16, 17, 1000}) {
      SCOPED_TRACE(testing::Message() << "alignment " << alignment << " size " << size);
      auto* data = static_cast<std::uint8_t*>(Make(size, alignment));
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(data) % alignment, 0u);
      // The whole request lies inside what the allocator gave, footer included.
      const auto* base = static_cast<std::uint8_t*>(HeaderOf(data)->Base);
      EXPECT_LE(data + size + kFooterSize, base + BlockSize(size, alignment));
      std::memset(data, 0xAB, size);
      EXPECT_TRUE(LooksOurs(data));
      const TRelease r = Release(data);
      EXPECT_EQ(r.Error, leNone);
      EXPECT_EQ(r.Base, base);
    }
}

TEST_F(LeakBlock, ListKeepsLiveBlocksInAllocationOrder) {
  void* a = Make(8);
  void* b = Make(8);
  void* c = Make(8);
  EXPECT_EQ(fList.First, HeaderOf(a));
  Release(b);
  EXPECT_EQ(fList.First->Next, HeaderOf(c));
  EXPECT_EQ(HeaderOf(c)->Prev, HeaderOf(a));
  Release(a);
  Release(c);
  EXPECT_EQ(fList.First, nullptr);
  EXPECT_EQ(fList.Last, nullptr);
}

TEST_F(LeakBlock, WriteBehindTheDataIsAnOverrunAndTheBlockStillGoesBack) {
  auto* data = static_cast<std::uint8_t*>(Make(40));
  data[40] = 0;
  const TRelease r = Release(data);
  EXPECT_EQ(r.Error, leOverrun);
  EXPECT_NE(r.Base, nullptr);
  EXPECT_EQ(Count(), 0u);
}

TEST_F(LeakBlock, SecondReleaseIsReportedAndNotGivenBack) {
  void* data = Make(40);
  void* keep = Make(40);
  EXPECT_EQ(Release(data).Error, leNone);
  const TRelease again = Release(data);
  EXPECT_TRUE(again.Ours);
  EXPECT_EQ(again.Error, leMultiFree);
  EXPECT_EQ(again.Base, nullptr);
  // The list is untouched by it.
  EXPECT_EQ(fList.First, HeaderOf(keep));
  EXPECT_EQ(Count(), 1u);
}

// An allocator writes its own links into the start of a block it was given
// back: a second release must still be seen, reading nothing else.
TEST_F(LeakBlock, SecondReleaseIsSeenAfterTheAllocatorReusedTheBlocksStart) {
  void* data = Make(40);
  EXPECT_EQ(Release(data).Error, leNone);
  std::memset(HeaderOf(data), 0xCD, offsetof(TBlockHeader, Check));
  EXPECT_TRUE(LooksOurs(data));
  EXPECT_EQ(Release(data).Error, leMultiFree);
}

TEST_F(LeakBlock, ForeignBlocksAreNotTakenForOurs) {
  // Memory in front of the data that holds the magic word but not the
  // header's own check, or a copy of another block's header.
  std::vector<std::uint8_t> foreign(kHeaderSize + 64, 0);
  std::uint8_t* data = foreign.data() + kHeaderSize;
  EXPECT_FALSE(LooksOurs(data));
  std::memcpy(data - 4, &kMagic, 4);
  EXPECT_FALSE(LooksOurs(data));
  void* ours = Make(16);
  std::memcpy(foreign.data(), HeaderOf(ours), sizeof(TBlockHeader));
  EXPECT_FALSE(LooksOurs(foreign.data() + sizeof(TBlockHeader)));
  EXPECT_TRUE(LooksOurs(ours));
}

TEST_F(LeakBlock, LockIsReenteredByItsOwnerOnly) {
  TListLock lock;
  lock.Lock();
  lock.Lock();  // the owner again: no wait
  EXPECT_TRUE(lock.HeldByMe());
  bool other = false;
  std::thread t([&] {
    TListGuard guard(lock);
    other = true;
  });
  lock.Unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(other);  // still held once
  lock.Unlock();
  t.join();
  EXPECT_TRUE(other);
}

TEST_F(LeakBlock, ThreadsLinkingAndUnlinkingAtOnceLoseNothing) {
  constexpr int kThreads = 4, kRounds = 2000;
  std::vector<std::thread> threads;
  std::vector<std::vector<void*>> kept(kThreads);
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        void* base = std::malloc(BlockSize(24));
        void* data = Stamp(fList, base, 24, btData, {}, {});
        if (i % 3 == 0) {
          kept[t].push_back(data);
        } else {
          const TRelease r = Release(data);
          ASSERT_EQ(r.Error, leNone);
          std::free(r.Base);
        }
      }
    });
  for (auto& t : threads) t.join();
  std::size_t expected = 0;
  for (auto& k : kept) expected += k.size();
  EXPECT_EQ(Count(), expected);
  for (auto& k : kept)
    for (void* data : k) std::free(Release(data).Base);
  EXPECT_EQ(Count(), 0u);
}

TEST(BlockLeakOptions, OnlyAKnownHeaderOfVersion6000OnGivesOptions) {
  struct TCase {
    std::uint32_t Magic;
    std::uint16_t Version;
    std::size_t Size;
    bool Read;
  };
  for (const TCase& c : {TCase{0x100FAB10, 6002, 64, true}, TCase{0x000FAB10, 6000, 16, true},
                         TCase{0x100FAB10, 601, 64, true}, TCase{0x100FAB10, 599, 64, false},
                         TCase{0x100FAB10, 5999, 64, false}, TCase{0x100FAB11, 6002, 64, false},
                         TCase{0x100FAB10, 6002, 15, false}}) {
    SCOPED_TRACE(testing::Message() << std::hex << c.Magic << std::dec << " " << c.Version << " " << c.Size);
    std::vector<std::uint8_t> block(64, 0);
    std::memcpy(block.data(), &c.Magic, 4);
    std::memcpy(block.data() + 4, &c.Version, 2);
    block[14] = 0x13;
    block[15] = 1;
    TBlockLeakOptions options;
    EXPECT_EQ(ReadBlockLeakOptions(block.data(), c.Size, options), c.Read);
    if (c.Read) {
      EXPECT_EQ(options.Options, 0x13);
      EXPECT_TRUE(options.FromMainModule);
    }
  }
}

}  // namespace
}  // namespace tracira::leaks
