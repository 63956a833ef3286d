// Procedure names as the data block stores them, from linker symbols.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "crashreport/debug/TrPeImage.h"

namespace tracira {

// The demangled, readable name of a symbol of an image ("ns::T::F(int)"),
// without the leading underscore of the target and without GCC's
// "[clone ...]" suffixes; empty for names that aren't code (".text", ...).
// underscored: the symbols of a 32-bit x86 image, where every C name
// carries a leading "_" (x86-64 names go without).
std::string ReadableName(const std::string& symbol, bool underscored = true);

// The Class and Procedure cells of a call stack entry for a readable C++
// name. Parameter lists, return types and "const" are dropped; the class is
// the scope that holds the procedure ("gui::Control", or "rtl" for a
// function of that namespace). A lambda and its "_FUN" thunk are named by
// the function that holds them, and nested ones in order:
// "TfmMain::Click(rtl::Object&)::{lambda()#2}::operator()() const" gives
// {"TfmMain", "Click, lambda 2"}. Template arguments stay, written the same
// way ("Guarded<gui::Control::Dispatch, lambda 2>, lambda 1"), for
// ShortenProcedureCell to drop when a cell is too long. A name this doesn't
// understand splits at its last "::".
struct ProcedureCells {
  std::string Class;
  std::string Procedure;
  bool operator==(const ProcedureCells&) const = default;
};
ProcedureCells CppProcedureCells(std::string_view readable);

// "ns::TClass.Method" or "Function": CppProcedureCells joined by ".", which
// is kept out of both cells (the block's reader splits at the first one).
std::string StoredProcedureName(const std::string& readable);

// A Class or Procedure cell in at most max bytes, giving up what tells the
// least first: parameter lists, then scopes inside template arguments, then
// the arguments themselves ("std::map<~~>"), then the numbers of nested
// lambdas, then leading scopes ("~~::TClass"). Only a name whose identifiers
// alone are too long loses its middle (ShortenName).
std::string ShortenProcedureCell(std::string_view cell, std::size_t max);

// "Class.Procedure" with each side shortened to maxPart bytes, as the block
// stores a name in two parts.
std::string ShortenStoredParts(std::string_view stored, std::size_t maxPart);

struct NamedFunction {
  std::uint32_t Rva = 0;
  std::string Readable;  // ReadableName
};
// The function symbols that name code, sorted by address; of several at one
// address, the first in the symbol table.
std::vector<NamedFunction> FunctionSymbols(const std::vector<CoffSymbol>& symbols, bool underscored = true);

}  // namespace tracira
