#pragma once

#include <windows.h>

namespace tracira {

// A library module of a program that carries the crash reporter as well:
// the library's raises, the exceptions that reach its edges and its threads
// go to the program's crash reporter through the program file's exports.
// (Its unwinder knows only its own tables, so it answers "who catches it"
// itself and tells the program.)
//
// InitLibraryModule: false when the program carries no crash reporter (the
// library's exceptions then take the system's way).
bool InitLibraryModule(HMODULE library);
void DoneLibraryModule();
bool IsLibraryModule();

}  // namespace tracira
