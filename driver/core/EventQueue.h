// The driver's queue of data events and the order in which events are
// announced to the client. Platform-neutral and single-threaded: the COM
// server uses it only on the thread that created the control.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <variant>

namespace dravix {

struct TDataEvent {
  int32_t Id = 0;
  std::wstring Data, Track1, Track2, Track3;
  std::wstring Device;  // name of the device that read it
  int32_t Port = 0;
};

struct TKeyEvent {
  std::wstring Source, Message, Data;
};

// One announcement waiting to be fired: a data event (by id) or a key event.
using TPendingEvent = std::variant<int32_t, TKeyEvent>;

class TEventQueue {
 public:
  // Oldest events are dropped beyond this, so a device that floods the line
  // cannot exhaust the client's memory. Announcements are bounded the same
  // way: each queued data event has at most one waiting (it goes with its
  // event), and at most kMaxEvents key events wait, the oldest going first.
  static constexpr size_t kMaxEvents = 10000;

  // Queues a data event under a new id (1, 2, ...) and schedules its
  // announcement; returns the id.
  int32_t AddData(TDataEvent event);
  // Schedules a key event's announcement (key events are not queued data).
  // A full list of waiting key events drops its oldest key event, never a
  // data event's announcement.
  void AddKey(TKeyEvent event);

  size_t Count() const { return fEvents.size(); }
  bool Contains(int32_t id) const { return Find(id) != nullptr; }

  // EventNumber: selects a queued event; an id that is not queued changes
  // nothing and returns false. 0 means "none selected".
  bool Select(int32_t id);
  int32_t Selected() const { return fSelected; }
  const TDataEvent* SelectedEvent() const { return Find(fSelected); }
  // DeleteEvent: removes the selected event; false when none is selected.
  bool DeleteSelected();
  void Clear();

  // DataEventEnabled and AutoDisable.
  bool FiringEnabled() const { return fFiringEnabled; }
  void SetFiringEnabled(bool enabled) { fFiringEnabled = enabled; }
  bool AutoDisable() const { return fAutoDisable; }
  void SetAutoDisable(bool enabled) { fAutoDisable = enabled; }

  // The next announcement to fire, in order of arrival, or nothing while
  // firing is disabled or nothing waits. With AutoDisable, handing one out
  // disables firing. A data event deleted or dropped before its
  // announcement is not announced.
  std::optional<TPendingEvent> NextToFire();
  size_t WaitingToFire() const { return fUnannounced + fKeys.size(); }

 private:
  struct TStored {
    TDataEvent Event;
    uint64_t Seq = 0;  // how many data events came before it
  };
  struct TWaitingKey {
    TKeyEvent Event;
    uint64_t DataBefore = 0;  // how many data events came before it
  };

  // The stored event of an id, found by halving: ids ascend from the front
  // (counting on past a wrap to 1).
  std::deque<TStored>::const_iterator FindStored(int32_t id) const;
  const TDataEvent* Find(int32_t id) const;

  std::deque<TStored> fEvents;  // ascending ids
  // Announcements go in order of arrival, so the events not yet announced
  // are always the last fUnannounced of fEvents.
  size_t fUnannounced = 0;
  std::deque<TWaitingKey> fKeys;
  uint64_t fDataSeq = 0;
  int32_t fNextId = 1;
  int32_t fSelected = 0;
  bool fFiringEnabled = true;
  bool fAutoDisable = false;
};

}  // namespace dravix
