// A function's exception table as GCC writes it (the language-specific data
// of its unwind information): which call-site entry covers an instruction,
// and what its actions do with a thrown exception. Both handler searches
// read it (i686 and x86-64), without unwinding anything; it is
// platform-neutral and tested natively.
#pragma once

#include <cstdint>

namespace tracira {

// What the table says for an instruction.
enum class TLsdaAnswer {
  Uncovered,  // no call-site entry covers it: the C++ unwinder ends the program
  None,       // nothing to do there, or only clean-up: the exception goes on
  Catch,      // a catch clause takes it
  Terminate,  // a throw list it breaks (noexcept's empty one)
};

// Does a catch clause for catchType (null: catch (...)) take the exception?
using TLsdaCatches = bool (*)(const void* catchType, void* context);

// The answer of the table at lsda for the instruction one byte before pc (a
// return address, or one byte into a faulting instruction); functionStart
// is the function's first byte, from which the table counts. catches may be
// null: then only catch (...) takes the exception.
TLsdaAnswer ReadLsda(const std::uint8_t* lsda, std::uintptr_t functionStart, std::uintptr_t pc,
                     TLsdaCatches catches, void* context);

}  // namespace tracira
