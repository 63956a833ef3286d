// The refresh list of a window: parameterless procedures bound to their
// object, called in the order they were added. Platform-neutral.
#pragma once

#include <functional>
#include <initializer_list>
#include <memory>
#include <vector>

// A parameterless procedure bound to an object.
using TProcedureOfObject = std::function<void()>;
using TProcList = std::vector<TProcedureOfObject>;

// Creates the list when List is still null, then appends Item.
void ListAdd(std::unique_ptr<TProcList>& List, TProcedureOfObject Item);
// Appends each procedure in order (through ListAdd).
void AddProceduresOfObject(std::unique_ptr<TProcList>& List, std::initializer_list<TProcedureOfObject> Procs);
// Calls the procedures from the first to the last; nothing for a null list.
// Traps nothing: an exception ends the walk and goes to the caller.
void CallProceduresOfObject(const TProcList* List);
// Frees the list and sets List to null; nothing for a null list.
void DestroyHooks(std::unique_ptr<TProcList>& List) noexcept;
