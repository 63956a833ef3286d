// Work that the crash reporter's threads hand to a raising thread while it
// waits for the handling of its exception: event handlers and dialogs run
// on the thread that raised (the main thread for a window's exception),
// whichever of the crash reporter's threads fires them (the handling
// thread, or a sending thread that it started).
#pragma once

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

#include "rtl/Handle.h"

namespace tracira {

class THandOver {
 public:
  THandOver();
  THandOver(const THandOver&) = delete;
  THandOver& operator=(const THandOver&) = delete;

  // Runs work on the waiting thread and returns once it has run; in line
  // when no thread waits, or on the waiting thread itself. An exception of
  // the work is swallowed (an event handler's may not end the handling).
  void Run(const std::function<void()>& work);

  // The waiting side: this thread waits from now on; Ready is signalled
  // when work is queued; RunQueued runs it; EndWaiting ends the wait and
  // runs what was queued before it.
  void BeginWaiting();
  HANDLE Ready() const { return fReady.get(); }
  void RunQueued();
  void EndWaiting();
  DWORD WaitingThread() const;

 private:
  struct TJob {
    const std::function<void()>* Work;
    bool Done = false;
  };
  mutable std::mutex fLock;
  std::condition_variable fDone;
  std::deque<TJob*> fQueue;
  DWORD fWaitingThread = 0;
  rtl::UniqueHandle fReady;
};

}  // namespace tracira
