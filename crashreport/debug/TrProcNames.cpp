#include "crashreport/debug/TrProcNames.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace tracira {

std::string ReadableName(const std::string& symbol, bool underscored) {
  if (symbol.empty() || symbol[0] == '.') return {};
  std::string name = underscored && symbol[0] == '_' ? symbol.substr(1) : symbol;
  if (name.rfind("_Z", 0) == 0) {
    // A stdcall method (a COM interface's) ends in "@" and its argument bytes.
    const std::size_t at = name.rfind('@');
    if (at != std::string::npos && at + 1 < name.size() &&
        name.find_first_not_of("0123456789", at + 1) == std::string::npos)
      name.resize(at);
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> d(
        abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status), &std::free);
    if (status == 0 && d) name = d.get();
  } else if (const std::size_t at = name.rfind('@'); at != std::string::npos && at > 0) {
    name.resize(at);  // stdcall's "@bytes"
  }
  for (std::size_t clone; (clone = name.find(" [clone ")) != std::string::npos;) name.erase(clone);
  return name;
}

std::string StoredProcedureName(const std::string& readable) {
  std::string name = readable;
  // Cut the parameter list: the "(" that matches the last ")".
  if (const std::size_t close = name.rfind(')'); close != std::string::npos) {
    int depth = 0;
    for (std::size_t i = close + 1; i-- > 0;) {
      if (name[i] == ')') ++depth;
      if (name[i] == '(' && --depth == 0) {
        name.resize(i);
        break;
      }
    }
  }
  // The last "::" outside template brackets separates class and procedure;
  // a space outside brackets ends a return type.
  int depth = 0;
  std::size_t split = std::string::npos, begin = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '<' || c == '(') ++depth;
    if ((c == '>' || c == ')') && depth > 0) --depth;
    if (depth == 0 && c == ' ') begin = i + 1, split = std::string::npos;
    if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') split = i++;
  }
  std::string cls = split == std::string::npos ? std::string() : name.substr(begin, split - begin);
  std::string proc = name.substr(split == std::string::npos ? begin : split + 2);
  // "." separates class and procedure in the block: keep it out of both.
  for (char& c : cls) c = c == '.' ? '_' : c;
  for (char& c : proc) c = c == '.' ? '_' : c;
  return cls.empty() ? proc : cls + "." + proc;
}

std::vector<NamedFunction> FunctionSymbols(const std::vector<CoffSymbol>& symbols, bool underscored) {
  std::vector<NamedFunction> out;
  for (const CoffSymbol& s : symbols) {
    if (!s.Function) continue;
    std::string readable = ReadableName(s.Name, underscored);
    if (!readable.empty()) out.push_back({s.Rva, std::move(readable)});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const NamedFunction& a, const NamedFunction& b) { return a.Rva < b.Rva; });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const NamedFunction& a, const NamedFunction& b) { return a.Rva == b.Rva; }),
            out.end());
  return out;
}

}  // namespace tracira
