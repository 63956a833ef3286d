#include "driver/core/EventQueue.h"

#include <algorithm>
#include <limits>

namespace dravix {

int32_t TEventQueue::AddData(TDataEvent event) {
  event.Id = fNextId;
  fNextId = fNextId == std::numeric_limits<int32_t>::max() ? 1 : fNextId + 1;
  if (fEvents.size() >= kMaxEvents) {
    if (fSelected == fEvents.front().Id) fSelected = 0;
    fEvents.pop_front();
  }
  const int32_t id = event.Id;
  fEvents.push_back(std::move(event));
  fPending.emplace_back(id);
  return id;
}

void TEventQueue::AddKey(TKeyEvent event) {
  if (fPending.size() >= kMaxEvents) fPending.pop_front();
  fPending.emplace_back(std::move(event));
}

const TDataEvent* TEventQueue::Find(int32_t id) const {
  if (id <= 0) return nullptr;
  const auto it = std::find_if(fEvents.begin(), fEvents.end(), [id](const auto& e) { return e.Id == id; });
  return it == fEvents.end() ? nullptr : &*it;
}

bool TEventQueue::Select(int32_t id) {
  if (!Contains(id)) return false;
  fSelected = id;
  return true;
}

bool TEventQueue::DeleteSelected() {
  const auto it =
      std::find_if(fEvents.begin(), fEvents.end(), [this](const auto& e) { return e.Id == fSelected; });
  if (fSelected == 0 || it == fEvents.end()) return false;
  fEvents.erase(it);
  fSelected = 0;
  return true;
}

void TEventQueue::Clear() {
  fEvents.clear();
  fPending.clear();
  fSelected = 0;
}

std::optional<TPendingEvent> TEventQueue::NextToFire() {
  while (fFiringEnabled && !fPending.empty()) {
    TPendingEvent next = std::move(fPending.front());
    fPending.pop_front();
    if (const auto* id = std::get_if<int32_t>(&next); id && !Contains(*id)) continue;
    if (fAutoDisable) fFiringEnabled = false;
    return next;
  }
  return std::nullopt;
}

}  // namespace dravix
