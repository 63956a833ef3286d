// The operator's event journal: every data event, key event and failed
// driver call, in order of arrival, with its local time to the millisecond.
// It keeps the newest kCapacity entries (the oldest go first) and counts
// scans and errors over the whole session, dropped entries included.
// Platform-neutral: the windows stamp the entries and show them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class TJournalKind { Data, Key, Error };

// Local wall-clock time, as the system clock gives it (SYSTEMTIME's fields).
struct TJournalTime {
  std::uint16_t Year = 0;
  std::uint16_t Month = 0;
  std::uint16_t Day = 0;
  std::uint16_t Hour = 0;
  std::uint16_t Minute = 0;
  std::uint16_t Second = 0;
  std::uint16_t Milliseconds = 0;
};

// The strings are the driver's, exactly as it passed them; they are escaped
// only when shown or written (cuJournalText.h).
struct TJournalEntry {
  std::uint64_t Number = 0;  // given by the journal: 1, 2, ... for the session
  TJournalTime Time;
  std::int64_t Tick = 0;  // a monotonic clock in milliseconds, for the per-minute count
  TJournalKind Kind = TJournalKind::Data;
  // The driver's current device when the entry was made (with two devices
  // enabled, not necessarily the one that read a scan: the driver's
  // interface does not say which one did).
  std::wstring Device;
  // Data events: the scan's data. Key events: the key's data. Errors: the
  // driver call that failed ("DeviceEnabled := True").
  std::wstring Data;
  std::wstring Track1;
  std::wstring Track2;
  std::wstring Track3;
  bool HasCode = false;  // key events carry no result code
  std::int32_t Code = 0;
  // Data events and errors: the driver's result description. Key events:
  // the event's message and its source ("KeyDown, источник: Клавиатура").
  std::wstring Text;
};

class TJournal {
 public:
  static constexpr std::size_t kCapacity = 10000;

  explicit TJournal(std::size_t capacity = kCapacity);

  // Appends the entry under the next number; a full journal drops its
  // oldest entry first. Returns the stored entry.
  const TJournalEntry& Add(TJournalEntry entry);
  // Drops every entry and resets the counts; the numbering goes on, so that
  // a number never names two entries.
  void Clear();

  std::size_t Capacity() const noexcept { return fCapacity; }
  std::size_t Count() const noexcept { return fItems.size(); }
  bool Empty() const noexcept { return fItems.empty(); }
  // Index 0 is the oldest entry kept; raises std::out_of_range past the end.
  const TJournalEntry& At(std::size_t index) const;
  // The newest entry; raises std::out_of_range when the journal is empty.
  const TJournalEntry& Last() const;
  // The number of At(0), or NextNumber() when the journal is empty: a
  // window that remembers it knows how many entries were dropped since.
  std::uint64_t FirstNumber() const noexcept;
  std::uint64_t NextNumber() const noexcept { return fNextNumber; }

  // Since the start or the last Clear, dropped entries included.
  std::uint64_t Scans() const noexcept { return fScans; }
  std::uint64_t Errors() const noexcept { return fErrors; }
  // Data events whose Tick lies in the minute up to nowTick, counted by
  // whole seconds: the current second and the 59 before it.
  std::uint32_t ScansInLastMinute(std::int64_t nowTick) const noexcept;

 private:
  struct Second {
    std::int64_t Index = INT64_MIN;
    std::uint32_t Count = 0;
  };

  std::size_t fCapacity;
  std::vector<TJournalEntry> fItems;  // a ring once full: fHead is the oldest
  std::size_t fHead = 0;
  std::uint64_t fNextNumber = 1;
  std::uint64_t fScans = 0;
  std::uint64_t fErrors = 0;
  std::array<Second, 60> fLastMinute{};
};
