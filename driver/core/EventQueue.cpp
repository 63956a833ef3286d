#include "driver/core/EventQueue.h"

#include <algorithm>
#include <limits>

namespace dravix {

namespace {

constexpr int32_t kLastId = std::numeric_limits<int32_t>::max();

// How far an id lies after the front id, counting on past a wrap to 1.
uint32_t Distance(int32_t front, int32_t id) {
  return id >= front ? static_cast<uint32_t>(id - front) : static_cast<uint32_t>(id) + (kLastId - front);
}

}  // namespace

int32_t TEventQueue::AddData(TDataEvent event) {
  event.Id = fNextId;
  fNextId = fNextId == kLastId ? 1 : fNextId + 1;
  if (fEvents.size() >= kMaxEvents) {
    if (fSelected == fEvents.front().Event.Id) fSelected = 0;
    // An unannounced front event takes its announcement with it.
    if (fUnannounced == fEvents.size()) --fUnannounced;
    fEvents.pop_front();
  }
  const int32_t id = event.Id;
  fEvents.push_back({std::move(event), fDataSeq++});
  ++fUnannounced;
  return id;
}

void TEventQueue::AddKey(TKeyEvent event) {
  if (fKeys.size() >= kMaxEvents) fKeys.pop_front();
  fKeys.push_back({std::move(event), fDataSeq});
}

std::deque<TEventQueue::TStored>::const_iterator TEventQueue::FindStored(int32_t id) const {
  if (id <= 0 || fEvents.empty()) return fEvents.end();
  const int32_t front = fEvents.front().Event.Id;
  const uint32_t distance = Distance(front, id);
  const auto it =
      std::lower_bound(fEvents.begin(), fEvents.end(), distance,
                       [front](const TStored& e, uint32_t d) { return Distance(front, e.Event.Id) < d; });
  return it != fEvents.end() && it->Event.Id == id ? it : fEvents.end();
}

const TDataEvent* TEventQueue::Find(int32_t id) const {
  const auto it = FindStored(id);
  return it == fEvents.end() ? nullptr : &it->Event;
}

bool TEventQueue::Select(int32_t id) {
  if (!Contains(id)) return false;
  fSelected = id;
  return true;
}

bool TEventQueue::DeleteSelected() {
  const auto it = FindStored(fSelected);
  if (it == fEvents.end()) return false;
  // Deleted before its announcement: it is not announced.
  if (static_cast<size_t>(fEvents.end() - it) <= fUnannounced) --fUnannounced;
  fEvents.erase(it);
  fSelected = 0;
  return true;
}

void TEventQueue::Clear() {
  fEvents.clear();
  fUnannounced = 0;
  fKeys.clear();
  fSelected = 0;
}

std::optional<TPendingEvent> TEventQueue::NextToFire() {
  if (!fFiringEnabled) return std::nullopt;
  const TStored* data = fUnannounced > 0 ? &fEvents[fEvents.size() - fUnannounced] : nullptr;
  std::optional<TPendingEvent> next;
  if (!fKeys.empty() && (data == nullptr || fKeys.front().DataBefore <= data->Seq)) {
    next.emplace(std::move(fKeys.front().Event));
    fKeys.pop_front();
  } else if (data != nullptr) {
    next.emplace(data->Event.Id);
    --fUnannounced;
  } else {
    return std::nullopt;
  }
  if (fAutoDisable) fFiringEnabled = false;
  return next;
}

}  // namespace dravix
