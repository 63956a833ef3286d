// The threads registry on its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "crashreport/engine/TrThreads.h"

namespace tracira {
namespace {

// A handling suspends, resumes and reads the threads of its snapshot while
// they may end: each handle of the snapshot must stay that thread's.
TEST(ThreadsRegistry, ASnapshotKeepsItsHandlesAfterTheThreadsEnd) {
  TTraciraThreadsList registry;
  std::atomic<DWORD> id{0};
  std::atomic<bool> end{false};
  std::thread worker([&] {
    registry.AddCurrentThread(0, true, {}, nullptr, nullptr);
    id = GetCurrentThreadId();
    while (!end) Sleep(1);
    registry.RemoveCurrentThread();  // closes the registry's handle
  });
  while (id == 0) Sleep(1);
  const std::vector<TTraciraThreadInfo> snapshot = registry.Snapshot();
  end = true;
  worker.join();
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(GetThreadId(snapshot[0].Handle), id.load());
  DWORD code = STILL_ACTIVE;
  EXPECT_TRUE(GetExitCodeThread(snapshot[0].Handle, &code));
  EXPECT_NE(code, static_cast<DWORD>(STILL_ACTIVE));
  // A copy of the record shares the handle; the last one closes it.
  const std::vector<TTraciraThreadInfo> copy = snapshot;
  EXPECT_EQ(copy[0].Handle, snapshot[0].Handle);
}

}  // namespace
}  // namespace tracira
