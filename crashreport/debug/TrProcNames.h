// Procedure names as the data block stores them, from linker symbols.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreport/debug/TrPeImage.h"

namespace tracira {

// The demangled, readable name of a symbol of an image ("ns::T::F(int)"),
// without the leading underscore of the target and without GCC's
// "[clone ...]" suffixes; empty for names that aren't code (".text", ...).
// underscored: the symbols of a 32-bit x86 image, where every C name
// carries a leading "_" (x86-64 names go without).
std::string ReadableName(const std::string& symbol, bool underscored = true);

// "ns::TClass.Method" or "Function": the parameter list and return type
// dropped, the class (everything before the last "::") set off by ".".
std::string StoredProcedureName(const std::string& readable);

struct NamedFunction {
  std::uint32_t Rva = 0;
  std::string Readable;  // ReadableName
};
// The function symbols that name code, sorted by address; of several at one
// address, the first in the symbol table.
std::vector<NamedFunction> FunctionSymbols(const std::vector<CoffSymbol>& symbols, bool underscored = true);

}  // namespace tracira
