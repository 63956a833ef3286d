// The edge of the program's own exception handling. Wherever an exception
// must not travel further (a window procedure called by the system, a COM
// entry point called by another component, a thread's start), the code runs
// through CallGuarded, and what escapes is handed on from inside its catch
// block. Being one function, its frame tells the crash reporter that an
// exception caught there was not handled by the program.
#pragma once

#include <utility>

namespace rtl {

// Runs body(context); an exception that escapes it is passed to
// onEscape(context) while it is being caught (std::current_exception() is
// set). Nothing escapes from CallGuarded, also not from onEscape.
void CallGuarded(void (*body)(void*), void* context, void (*onEscape)(void*));

// The same for two callables.
template <class Body, class OnEscape>
void Guarded(Body&& body, OnEscape&& onEscape) {
  struct Pair {
    Body& body;
    OnEscape& onEscape;
  } pair{body, onEscape};
  CallGuarded([](void* p) { static_cast<Pair*>(p)->body(); }, &pair,
              [](void* p) { static_cast<Pair*>(p)->onEscape(); });
}

// The crash reporter's part: CallGuarded's address, by which it tells its
// frame, and a hook that runs first inside the catch block of every edge,
// before onEscape.
const void* CallGuardedAddress();
using EdgeHook = void (*)() noexcept;
void SetEdgeHook(EdgeHook hook);

}  // namespace rtl
