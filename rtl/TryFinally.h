// try/finally for the windows' action pattern: a refresh that must run after
// a driver call whether or not the call raised.
#pragma once

namespace rtl {

// Runs Body, then Finally, also when Body raises (the exception goes on; one
// raised by Finally replaces it).
template <class BodyFn, class FinallyFn>
void TryFinally(BodyFn Body, FinallyFn Finally) {
  try {
    Body();
  } catch (...) {
    Finally();
    throw;
  }
  Finally();
}

}  // namespace rtl
