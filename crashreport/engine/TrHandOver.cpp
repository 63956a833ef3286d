#include "crashreport/engine/TrHandOver.h"

namespace tracira {

namespace {

void RunSwallowing(const std::function<void()>& work) {
  try {
    work();
  } catch (...) {
    // An event handler's exception is swallowed.
  }
}

}  // namespace

THandOver::THandOver() : fReady(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

void THandOver::Run(const std::function<void()>& work) {
  std::unique_lock lock(fLock);
  if (fWaitingThread == 0 || fWaitingThread == GetCurrentThreadId()) {
    lock.unlock();
    RunSwallowing(work);
    return;
  }
  TJob job{&work};
  fQueue.push_back(&job);
  SetEvent(fReady.get());
  fDone.wait(lock, [&] { return job.Done; });
}

void THandOver::BeginWaiting() {
  std::lock_guard lock(fLock);
  fWaitingThread = GetCurrentThreadId();
}

void THandOver::RunQueued() {
  std::unique_lock lock(fLock);
  while (!fQueue.empty()) {
    TJob* job = fQueue.front();
    fQueue.pop_front();
    lock.unlock();
    RunSwallowing(*job->Work);
    lock.lock();
    job->Done = true;
    fDone.notify_all();
  }
}

void THandOver::EndWaiting() {
  {
    std::lock_guard lock(fLock);
    fWaitingThread = 0;
  }
  // From here on new work runs in line; what came before still runs here.
  RunQueued();
}

DWORD THandOver::WaitingThread() const {
  std::lock_guard lock(fLock);
  return fWaitingThread;
}

}  // namespace tracira
