#include "rtl/Guarded.h"

namespace rtl {

namespace {
constinit EdgeHook gEdgeHook = nullptr;
}

void SetEdgeHook(EdgeHook hook) { gEdgeHook = hook; }

// Never inlined, cloned or merged, so that exactly this frame marks the edge.
#if defined(__clang__)
__attribute__((noinline))
#else
__attribute__((noipa))
#endif
void CallGuarded(void (*body)(void*), void* context, void (*onEscape)(void*)) {
  try {
    body(context);
  } catch (...) {
    if (const EdgeHook hook = gEdgeHook) hook();
    try {
      onEscape(context);
    } catch (...) {
      // The handler of last resort failed too; there is nobody left to tell.
    }
  }
}

const void* CallGuardedAddress() { return reinterpret_cast<const void*>(&CallGuarded); }

}  // namespace rtl
