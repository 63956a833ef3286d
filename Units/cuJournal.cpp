#include "Units/cuJournal.h"

#include <stdexcept>
#include <utility>

namespace {

std::int64_t SecondOf(std::int64_t tick) noexcept {
  // Rounded down also for ticks before zero.
  return tick >= 0 ? tick / 1000 : -((-tick + 999) / 1000);
}

std::size_t SlotOf(std::int64_t second) noexcept {
  const std::int64_t slot = second % 60;
  return static_cast<std::size_t>(slot < 0 ? slot + 60 : slot);
}

}  // namespace

TJournal::TJournal(std::size_t capacity) : fCapacity(capacity == 0 ? 1 : capacity) {}

const TJournalEntry& TJournal::Add(TJournalEntry entry) {
  entry.Number = fNextNumber++;
  if (entry.Kind == TJournalKind::Data) {
    ++fScans;
    const std::int64_t second = SecondOf(entry.Tick);
    Second& slot = fLastMinute[SlotOf(second)];
    if (slot.Index != second) slot = {second, 0};
    ++slot.Count;
  } else if (entry.Kind == TJournalKind::Error) {
    ++fErrors;
  }
  if (fItems.size() < fCapacity) {
    fItems.push_back(std::move(entry));
    return fItems.back();
  }
  TJournalEntry& oldest = fItems[fHead];
  oldest = std::move(entry);
  fHead = (fHead + 1) % fItems.size();
  return oldest;
}

void TJournal::Clear() {
  fItems.clear();
  fHead = 0;
  fScans = 0;
  fErrors = 0;
  fLastMinute.fill({});
}

const TJournalEntry& TJournal::At(std::size_t index) const {
  if (index >= fItems.size()) throw std::out_of_range("journal index out of range");
  return fItems[(fHead + index) % fItems.size()];
}

const TJournalEntry& TJournal::Last() const {
  if (fItems.empty()) throw std::out_of_range("the journal is empty");
  return At(fItems.size() - 1);
}

std::uint64_t TJournal::FirstNumber() const noexcept {
  return fItems.empty() ? fNextNumber : fItems[fHead].Number;
}

std::uint32_t TJournal::ScansInLastMinute(std::int64_t nowTick) const noexcept {
  const std::int64_t now = SecondOf(nowTick);
  std::uint32_t count = 0;
  for (const Second& slot : fLastMinute) {
    if (slot.Index <= now && slot.Index > now - 60) count += slot.Count;
  }
  return count;
}
