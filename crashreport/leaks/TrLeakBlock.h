// The leak detector's block layout and live-block list. Every block it hands
// out is [header][caller's data][footer]: the header links the block into the
// list and records who allocated it, the footer is a guard word behind the
// data. Nothing here allocates or calls the C runtime's heap: it runs inside
// malloc and free.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tracira::leaks {

inline constexpr std::uint32_t kMagic = 0x100FAB10;
inline constexpr std::size_t kStackDepth = 35;
// What malloc guarantees here (16 bytes on x86-64, 8 on i686): the header is
// padded so that the caller's data keeps it.
inline constexpr std::size_t kBlockAlignment = 2 * sizeof(void*);

enum TBlockState : std::uint8_t { bsAllocated, bsReleased, bsRemoved };
enum TBlockType : std::uint8_t { btData, btObject };
enum TLeakError : std::uint8_t { leNone, leOverrun, leMultiFree };

using TCallStack = std::array<std::uintptr_t, kStackDepth>;

// Ends exactly where the caller's data begins, so Magic is the word right in
// front of the data, with State and Check before it: a release reads those
// first and nothing else of a block that may not be ours (or no longer is).
struct TBlockList;
struct TBlockHeader {
  TBlockHeader* Prev;
  TBlockHeader* Next;
  TBlockList* List;     // the list of the module that made it
  void* Base;           // what the underlying allocator returned
  std::size_t Size;     // requested; the group's sum during the analysis
  std::uint32_t Count;  // the group's leaks during the analysis
  std::uint32_t Unused;
  TCallStack Raw;        // raw stack words from the allocating call up
  TCallStack Frames;     // the frame walk's return addresses, 0-filled
  std::uintptr_t Check;  // the header's own address scrambled: no stale or foreign bytes pass
  // Kept right in front of the data with the signature: an allocator that
  // writes its own links into a block it was given back writes them at the
  // block's start, so a second release still finds the block released.
  TBlockState State;
  TBlockType Type;
  std::uint8_t Reserved[2];
  std::uint32_t Magic;
};

// Bytes in front of the caller's data: the header, rounded up so that the
// data keeps the allocator's alignment.
inline constexpr std::size_t kHeaderSize =
    (sizeof(TBlockHeader) + kBlockAlignment - 1) & ~(kBlockAlignment - 1);
inline constexpr std::size_t kFooterSize = sizeof(std::uint32_t);
inline constexpr std::size_t kOverhead = kHeaderSize + kFooterSize;

// Where the caller's data of a block from the allocator starts, when it
// must be aligned to alignment (a power of two, at least kBlockAlignment):
// the allocator was asked for BlockSize(size, alignment) bytes.
std::size_t BlockSize(std::size_t size, std::size_t alignment = kBlockAlignment);
void* DataOf(void* base, std::size_t alignment = kBlockAlignment);
TBlockHeader* HeaderOf(const void* data);

// A lock the owning thread may take again (a handling that pauses threads
// takes it before, and then allocates on the same thread). Taken by a
// compare-and-exchange; a waiter yields, then sleeps (Pause).
class TListLock {
 public:
  void Lock();
  void Unlock();
  bool HeldByMe() const;

 private:
  std::atomic<std::uint32_t> fOwner{0};
  std::uint32_t fDepth = 0;
};

// Platform pieces the lock needs: a non-zero id of the calling thread, and
// a pause between attempts (the first yields, the later ones sleep).
std::uint32_t CurrentThreadKey();
void Pause(unsigned attempt);

class TListGuard {
 public:
  explicit TListGuard(TListLock& lock) : fLock(lock) { fLock.Lock(); }
  ~TListGuard() { fLock.Unlock(); }
  TListGuard(const TListGuard&) = delete;
  TListGuard& operator=(const TListGuard&) = delete;

 private:
  TListLock& fLock;
};

// The live blocks, in allocation order.
struct TBlockList {
  TBlockHeader* First = nullptr;
  TBlockHeader* Last = nullptr;
  TListLock Lock;
};

// Fills header and footer of a block of BlockSize(size, alignment) bytes at
// base and links it at the end of the list. Returns the caller's data.
void* Stamp(TBlockList& list, void* base, std::size_t size, TBlockType type, const TCallStack& raw,
            const TCallStack& frames, std::size_t alignment = kBlockAlignment);

// Whether the two words in front of data are a live or released header of
// ours. The caller has made sure they can be read.
bool LooksOurs(const void* data);

struct TRelease {
  bool Ours = false;
  TLeakError Error = leNone;
  void* Base = nullptr;  // to give back to the allocator; null for a second release
};

// A release of data (LooksOurs holds): marks and unlinks a live block from
// the list it was made in (each module has its own), and tells whether its
// footer was overwritten; a block released before is reported and not
// given back again.
TRelease Release(void* data);

// The leak options in the header of a crash-reporter data block: its
// signature, its version (6000 and later; 600 to 602 stand for 6000 to
// 6002), the options byte at 14 and, at 15, whether a library takes the
// main module's options instead. False for anything else.
struct TBlockLeakOptions {
  std::uint8_t Options = 0;
  bool FromMainModule = false;
};
bool ReadBlockLeakOptions(const std::uint8_t* data, std::size_t size, TBlockLeakOptions& out);

}  // namespace tracira::leaks
