#include "crashreport/leaks/TrLeakBlock.h"

#include <cstring>

namespace tracira::leaks {

namespace {

// Scrambles a header's address so that a block's Check word never holds a
// plain pointer that another block's data could hold too.
constexpr std::uintptr_t kCheckKey = static_cast<std::uintptr_t>(0x5A3C96E1F00DB17Eull);

std::uintptr_t CheckOf(const TBlockHeader* header) {
  return reinterpret_cast<std::uintptr_t>(header) ^ kCheckKey;
}

void WriteFooter(TBlockHeader* header) {
  std::memcpy(reinterpret_cast<std::uint8_t*>(header + 1) + header->Size, &kMagic, sizeof kMagic);
}

bool FooterIntact(const TBlockHeader* header) {
  std::uint32_t footer = 0;
  std::memcpy(&footer, reinterpret_cast<const std::uint8_t*>(header + 1) + header->Size, sizeof footer);
  return footer == kMagic;
}

}  // namespace

static_assert(kHeaderSize % kBlockAlignment == 0);
static_assert(offsetof(TBlockHeader, Magic) + sizeof(std::uint32_t) == sizeof(TBlockHeader));

std::size_t BlockSize(std::size_t size, std::size_t alignment) {
  const std::size_t slack = alignment > kBlockAlignment ? alignment - kBlockAlignment : 0;
  if (size > SIZE_MAX - kOverhead - slack) return 0;
  return size + kOverhead + slack;
}

void* DataOf(void* base, std::size_t alignment) {
  const auto at = reinterpret_cast<std::uintptr_t>(base) + kHeaderSize;
  return reinterpret_cast<void*>((at + alignment - 1) & ~(alignment - 1));
}

TBlockHeader* HeaderOf(const void* data) {
  return reinterpret_cast<TBlockHeader*>(const_cast<std::uint8_t*>(static_cast<const std::uint8_t*>(data))) -
         1;
}

void TListLock::Lock() {
  const std::uint32_t me = CurrentThreadKey();
  if (fOwner.load(std::memory_order_relaxed) == me) {
    ++fDepth;
    return;
  }
  for (unsigned attempt = 0;; ++attempt) {
    std::uint32_t expected = 0;
    if (fOwner.compare_exchange_weak(expected, me, std::memory_order_acquire)) break;
    Pause(attempt);
  }
  fDepth = 1;
}

void TListLock::Unlock() {
  if (--fDepth == 0) fOwner.store(0, std::memory_order_release);
}

bool TListLock::HeldByMe() const { return fOwner.load(std::memory_order_relaxed) == CurrentThreadKey(); }

void* Stamp(TBlockList& list, void* base, std::size_t size, TBlockType type, const TCallStack& raw,
            const TCallStack& frames, std::size_t alignment) {
  void* data = DataOf(base, alignment);
  TBlockHeader* header = HeaderOf(data);
  header->Base = base;
  header->List = &list;
  header->Size = size;
  header->Count = 1;
  header->State = bsAllocated;
  header->Type = type;
  header->Reserved[0] = header->Reserved[1] = 0;
  header->Raw = raw;
  header->Frames = frames;
  header->Unused = 0;
  header->Check = CheckOf(header);
  header->Magic = kMagic;
  WriteFooter(header);
  TListGuard guard(list.Lock);
  header->Next = nullptr;
  header->Prev = list.Last;
  if (list.Last)
    list.Last->Next = header;
  else
    list.First = header;
  list.Last = header;
  return data;
}

bool LooksOurs(const void* data) {
  const TBlockHeader* header = HeaderOf(data);
  return header->Magic == kMagic && header->Check == CheckOf(header);
}

TRelease Release(void* data) {
  TBlockHeader* header = HeaderOf(data);
  TRelease result;
  result.Ours = true;
  // A block released before may lie in memory the allocator uses again:
  // nothing of it but the words in front of the data is read.
  if (header->State == bsReleased) {
    result.Error = leMultiFree;
    return result;
  }
  TBlockList& list = *header->List;
  {
    TListGuard guard(list.Lock);
    if (header->State == bsReleased) {
      result.Error = leMultiFree;
      return result;
    }
    header->State = bsReleased;
    if (header->Prev)
      header->Prev->Next = header->Next;
    else
      list.First = header->Next;
    if (header->Next)
      header->Next->Prev = header->Prev;
    else
      list.Last = header->Prev;
    header->Prev = header->Next = nullptr;
  }
  if (!FooterIntact(header)) result.Error = leOverrun;
  result.Base = header->Base;
  return result;
}

bool ReadBlockLeakOptions(const std::uint8_t* data, std::size_t size, TBlockLeakOptions& out) {
  if (!data || size < 16) return false;
  std::uint32_t magic = 0;
  std::uint16_t version = 0;
  std::memcpy(&magic, data, 4);
  std::memcpy(&version, data + 4, 2);
  if (magic != kMagic && magic != 0x000FAB10) return false;
  const unsigned v = version >= 600 && version <= 602 ? version * 10u : version;
  if (v < 6000) return false;
  out.Options = data[14];
  out.FromMainModule = data[15] != 0;
  return true;
}

}  // namespace tracira::leaks
