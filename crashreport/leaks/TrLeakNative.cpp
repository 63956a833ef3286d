// The list lock's platform pieces outside Windows (the native tests).
#include <atomic>
#include <chrono>
#include <thread>

#include "crashreport/leaks/TrLeakBlock.h"

namespace tracira::leaks {

std::uint32_t CurrentThreadKey() {
  static std::atomic<std::uint32_t> next{1};
  thread_local const std::uint32_t key = next.fetch_add(1);
  return key;
}

void Pause(unsigned attempt) {
  if (attempt == 0)
    std::this_thread::yield();
  else
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace tracira::leaks
