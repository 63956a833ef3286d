#include "crashreport/debug/TrProcNames.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

#include "crashreport/debug/TrDebug.h"

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

namespace {

bool IsIdentChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u >= '0' && u <= '9') || (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || c == '_' || c == '$' ||
         u >= 0x80;  // UTF-8 letters
}

bool IsIdentifier(std::string_view s) {
  if (!s.empty() && s[0] == '~') s.remove_prefix(1);
  return !s.empty() && std::all_of(s.begin(), s.end(), IsIdentChar);
}

// The length of an operator's name starting at s[at] ("operator<<", and
// "operator" alone before a word as in "operator bool"), 0 if none starts
// there. Its symbol may look like a bracket and must not count as one.
std::size_t OperatorNameLength(std::string_view s, std::size_t at) {
  constexpr std::string_view kKeyword = "operator";
  if (s.substr(at, kKeyword.size()) != kKeyword || (at > 0 && IsIdentChar(s[at - 1]))) return 0;
  const std::size_t end = at + kKeyword.size();
  if (end < s.size() && IsIdentChar(s[end])) return 0;  // "operatorX" is a plain identifier
  static constexpr std::string_view kSymbols[] = {
      "<=>", "<<=", ">>=", "->*", "()", "[]", "<<", ">>", "<=", ">=", "->", "==", "!=",
      "&&",  "||",  "++",  "--",  "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<",
      ">",   "+",   "-",   "*",   "/",  "%",  "&",  "|",  "^",  "~",  "!",  "=",  ","};
  for (const std::string_view symbol : kSymbols)
    if (s.substr(end, symbol.size()) == symbol) return kKeyword.size() + symbol.size();
  return kKeyword.size();
}

// "operator bool", "operator std::string": a conversion, whose type runs to
// the parameter list ("new" and "delete" are plain operator names).
bool IsConversionOperator(std::string_view s, std::size_t at) {
  if (OperatorNameLength(s, at) != 8 || s.substr(at + 8, 1) != " ") return false;
  const std::string_view word = s.substr(at + 9);
  return !word.starts_with("new") && !word.starts_with("delete");
}

constexpr std::size_t npos = std::string_view::npos;

// The brackets of a demangled name ((), <>, [], {}) as pairs: Partner[i] is
// the index of the bracket that closes or opens the one at i, npos for other
// characters and for an operator's symbol. Depth[i] counts the groups
// around s[i] (a bracket itself lies outside its group). Valid is false when
// the brackets don't pair.
struct Brackets {
  std::vector<std::size_t> Partner;
  std::vector<std::size_t> Depth;
  std::vector<bool> Operator;  // part of an operator's name
  bool Valid = true;

  explicit Brackets(std::string_view s) : Partner(s.size(), npos), Depth(s.size(), 0), Operator(s.size()) {
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < s.size();) {
      if (const std::size_t op = OperatorNameLength(s, i)) {
        for (std::size_t j = i; j < i + op; ++j) Depth[j] = open.size(), Operator[j] = true;
        i += op;
        continue;
      }
      const char c = s[i];
      if (c == '(' || c == '<' || c == '[' || c == '{') {
        Depth[i] = open.size();
        open.push_back(i);
      } else if (c == ')' || c == '>' || c == ']' || c == '}') {
        if (open.empty() || Closer(s[open.back()]) != c) {
          Valid = false;
          return;
        }
        Partner[i] = open.back(), Partner[open.back()] = i;
        open.pop_back();
        Depth[i] = open.size();
      } else {
        Depth[i] = open.size();
      }
      ++i;
    }
    Valid = open.empty();
  }

  static char Closer(char open) { return open == '(' ? ')' : open == '<' ? '>' : open == '[' ? ']' : '}'; }
  bool IsOpen(std::string_view s, std::size_t i, char c) const { return s[i] == c && !Operator[i]; }
};

// Strips what may follow a function's parameter list (" const", " &&", ...).
std::string_view StripQualifiers(std::string_view s) {
  static constexpr std::string_view kQualifiers[] = {" const", " volatile", " &&",
                                                     " &",     " noexcept", " transaction_safe"};
  for (bool again = true; again;) {
    again = false;
    for (const std::string_view q : kQualifiers)
      if (s.ends_with(q)) s.remove_suffix(q.size()), again = true;
  }
  return s;
}

// " const::", " const volatile &&::": qualifiers of a function that holds
// what follows.
bool StartsQualifiedScope(std::string_view s) {
  static constexpr std::string_view kQualifiers[] = {" const", " volatile", " &&", " &", " noexcept"};
  for (bool again = true; again;) {
    again = false;
    for (const std::string_view q : kQualifiers)
      if (s.starts_with(q) && (s.size() == q.size() || s[q.size()] == ' ' || s[q.size()] == ':'))
        s.remove_prefix(q.size()), again = true;
  }
  return s.starts_with("::");
}

// One "::"-separated part of a qualified name.
struct Component {
  enum Kind { Name, Lambda, Special } Kind = Name;  // Special: "(anonymous namespace)", "{unnamed type#1}"
  std::string Text;                                 // identifier, operator name, or the special text
  std::optional<std::string> Args;                  // template arguments as written
  std::string LambdaNumber;
  bool Function = false;  // "Method(args)", a function that holds what follows
};

std::optional<Component> ParseComponent(std::string_view text) {
  Component c;
  if (text == "(anonymous namespace)" || text == "string literal") {
    c.Kind = Component::Special, c.Text = text;
    return c;
  }
  const Brackets b(text);
  if (!b.Valid || text.empty()) return std::nullopt;
  if (text[0] == '{') {
    if (b.Partner[0] != text.size() - 1) return std::nullopt;
    const std::size_t hash = text.rfind('#');
    if (text.starts_with("{lambda") && hash != npos && hash + 2 < text.size()) {
      c.Kind = Component::Lambda;
      c.LambdaNumber = text.substr(hash + 1, text.size() - hash - 2);
      if (!IsIdentifier(c.LambdaNumber)) return std::nullopt;
    } else {
      c.Kind = Component::Special;
      c.Text = text;
    }
    return c;
  }
  if (OperatorNameLength(text, 0) != 0 && IsConversionOperator(text, 0)) {
    c.Text = text;
    return c;
  }
  // A function that holds a local entity: "Method(args) const".
  if (const std::string_view bare = StripQualifiers(text);
      bare.ends_with(')') && !b.Operator[bare.size() - 1]) {
    const std::size_t open = b.Partner[bare.size() - 1];
    if (open == 0 || b.Depth[open] != 0) return std::nullopt;
    c.Function = true;
    text = text.substr(0, open);
  }
  // Template arguments: the first "<" outside brackets, closing at the end.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (b.Depth[i] != 0 || !b.IsOpen(text, i, '<')) continue;
    if (b.Partner[i] != text.size() - 1) return std::nullopt;
    c.Args = std::string(text.substr(i + 1, text.size() - i - 2));
    text = text.substr(0, i);
    if (text.ends_with(' ')) text.remove_suffix(1);  // "operator< <int>"
    break;
  }
  // GCC's ABI tags ("[abi:cxx11]") say nothing to the reader.
  while (text.ends_with(']') && text.rfind("[abi:") != npos) text = text.substr(0, text.rfind("[abi:"));
  const std::size_t op = OperatorNameLength(text, 0);
  const bool valid = op != 0 ? op == text.size() || text == "operator new" || text == "operator delete" ||
                                   text == "operator new[]" || text == "operator delete[]"
                             : IsIdentifier(text);
  if (!valid) return std::nullopt;
  c.Text = text;
  return c;
}

// The parts of a qualified name ("ns::T<int>::F(int)::{lambda()#1}").
std::optional<std::vector<Component>> ParseQualifiedName(std::string_view name) {
  const Brackets b(name);
  if (!b.Valid || name.empty()) return std::nullopt;
  std::vector<Component> parts;
  std::size_t begin = 0;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    if (b.Depth[i] != 0) continue;
    if (b.Operator[i] && IsConversionOperator(name, i)) break;  // the rest is the conversion's type
    if (name[i] != ':' || name[i + 1] != ':' || b.Operator[i]) continue;
    auto part = ParseComponent(name.substr(begin, i - begin));
    if (!part) return std::nullopt;
    parts.push_back(std::move(*part));
    begin = ++i + 1;
  }
  auto last = ParseComponent(name.substr(begin));
  if (!last) return std::nullopt;
  parts.push_back(std::move(*last));
  return parts;
}

// Nesting of template arguments that gets rendered; deeper ones stay as
// written (only hostile input nests that far).
constexpr int kMaxRenderDepth = 16;

std::string RenderArgs(std::string_view args, int depth);
ProcedureCells CellsOf(const std::vector<Component>& parts, int depth);

std::string RenderComponent(const Component& c, int depth) {
  if (c.Kind == Component::Lambda) return "lambda " + c.LambdaNumber;
  if (!c.Args) return c.Text;
  const char last = c.Text.empty() ? ' ' : c.Text.back();
  return c.Text + (last == '<' || last == '>' ? " <" : "<") + RenderArgs(*c.Args, depth + 1) + ">";
}

// A template argument: a type naming a lambda reads as its cells do
// ("gui::Control::Dispatch, lambda 2", without "&&"); other names keep
// their scopes, with their own arguments rendered the same way.
std::string RenderType(std::string_view type, int depth) {
  std::string_view core = type;
  for (bool again = true; again;) {
    const std::size_t before = core.size();
    core = StripQualifiers(core);
    while (core.ends_with('&') || core.ends_with('*')) core.remove_suffix(1);
    again = core.size() != before;
  }
  const auto parts = depth < kMaxRenderDepth ? ParseQualifiedName(core) : std::nullopt;
  if (!parts) return std::string(type);
  if (std::any_of(parts->begin(), parts->end(),
                  [](const Component& c) { return c.Kind == Component::Lambda; })) {
    const ProcedureCells cells = CellsOf(*parts, depth);
    return cells.Class.empty() ? cells.Procedure : cells.Class + "::" + cells.Procedure;
  }
  std::string out;
  for (const Component& c : *parts) out += (out.empty() ? "" : "::") + RenderComponent(c, depth);
  return out + std::string(type.substr(core.size()));
}

std::string RenderArgs(std::string_view args, int depth) {
  const Brackets b(args);
  if (!b.Valid || depth >= kMaxRenderDepth) return std::string(args);
  std::string out;
  std::size_t begin = 0;
  for (std::size_t i = 0; i <= args.size(); ++i) {
    if (i < args.size() && (b.Depth[i] != 0 || args[i] != ',' || b.Operator[i])) continue;
    std::string_view arg = args.substr(begin, i - begin);
    while (arg.starts_with(' ')) arg.remove_prefix(1);
    while (arg.ends_with(' ')) arg.remove_suffix(1);
    out += (begin == 0 ? "" : ", ") + RenderType(arg, depth);
    begin = i + 1;
  }
  return out;
}

// The holder is the first part that holds a local entity: a function
// before its lambdas or local classes, or the variable or class a lambda
// initializes. It and what lies inside it make the procedure, the scopes
// before it the class. A lambda's "operator()" and "_FUN" add nothing.
ProcedureCells CellsOf(const std::vector<Component>& parts, int depth) {
  std::size_t holder = parts.size() - 1;
  for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
    if (parts[i].Function || parts[i + 1].Kind == Component::Lambda) {
      holder = i;
      break;
    }
  }
  ProcedureCells cells;
  for (std::size_t i = 0; i < holder; ++i)
    cells.Class += (i == 0 ? "" : "::") + RenderComponent(parts[i], depth);
  cells.Procedure = RenderComponent(parts[holder], depth);
  for (std::size_t i = holder + 1; i < parts.size(); ++i) {
    const Component& c = parts[i];
    const bool afterLambda = parts[i - 1].Kind == Component::Lambda;
    if (afterLambda && c.Kind == Component::Name && (c.Text == "operator()" || c.Text == "_FUN")) continue;
    // A local class's method reads "Local::Run"; anything else starts a new piece.
    const bool sameScope =
        i > holder + 1 && !afterLambda && !parts[i - 1].Function && c.Kind != Component::Lambda;
    cells.Procedure += (sameScope ? "::" : ", ") + RenderComponent(c, depth);
  }
  return cells;
}

// The name's last "::" outside template brackets separates class and
// procedure; a space outside brackets ends a return type.
ProcedureCells SplitAtLastScope(const std::string& readable) {
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
  int depth = 0;
  std::size_t split = std::string::npos, begin = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c == '<' || c == '(') ++depth;
    if ((c == '>' || c == ')') && depth > 0) --depth;
    if (depth == 0 && c == ' ') begin = i + 1, split = std::string::npos;
    if (depth == 0 && c == ':' && i + 1 < name.size() && name[i + 1] == ':') split = i++;
  }
  if (split == std::string::npos) return {{}, name.substr(begin)};
  return {name.substr(begin, split - begin), name.substr(split + 2)};
}

// The parts of a function's name without its return type and parameters.
std::optional<std::vector<Component>> ParseFunctionName(std::string_view s) {
  s = StripQualifiers(s);
  const Brackets b(s);
  if (!b.Valid) return std::nullopt;
  // The function's own parameter list closes at the end.
  if (s.ends_with(')') && !b.Operator[s.size() - 1]) {
    const std::size_t open = b.Partner[s.size() - 1];
    if (open == 0 || b.Depth[open] != 0) return std::nullopt;
    s = s.substr(0, open);
  }
  // A return type (a template function's) ends at the last space outside
  // brackets, other than one before a holding function's " const::"; an
  // operator's name may hold spaces of its own.
  std::size_t begin = 0;
  for (std::size_t i = 0; i < s.size() && !(b.Depth[i] == 0 && b.Operator[i]); ++i)
    if (b.Depth[i] == 0 && s[i] == ' ' && !StartsQualifiedScope(s.substr(i))) begin = i + 1;
  return ParseQualifiedName(s.substr(begin));
}

// Replaces the ranges (sorted by start, possibly nested or overlapping) of s
// by with.
std::string ReplaceRanges(std::string_view s, std::vector<std::pair<std::size_t, std::size_t>> ranges,
                          std::string_view with) {
  std::sort(ranges.begin(), ranges.end());
  std::string out;
  std::size_t at = 0;
  for (const auto& [from, to] : ranges) {
    if (to <= at) continue;  // inside one replaced already
    out += s.substr(at, from - at);
    out += with;
    at = to;
  }
  return out + std::string(s.substr(at));
}

// The shortening steps, each on what the one before left.

// "F(int, char) const" -> "F": a group of parentheses after a name.
std::string DropParameterLists(std::string_view s) {
  const Brackets b(s);
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (std::size_t i = 1; i < s.size(); ++i) {
    if (!b.IsOpen(s, i, '(') || !(IsIdentChar(s[i - 1]) || s[i - 1] == '>' || b.Operator[i - 1])) continue;
    std::size_t end = b.Partner[i] + 1;
    if (s.substr(end).starts_with(" const")) end += 6;
    ranges.emplace_back(i, end);
  }
  return ReplaceRanges(s, ranges, "");
}

// The start of the scope part that ends just before s[at] ("ns::T<int>"
// before "::"), a name and its brackets.
std::size_t ScopeStart(std::string_view s, const Brackets& b, std::size_t at) {
  while (at > 0) {
    const char c = s[at - 1];
    if (b.Partner[at - 1] != npos && (c == '>' || c == ')' || c == '}'))
      at = b.Partner[at - 1];
    else if (IsIdentChar(c) || c == '~')
      --at;
    else
      break;
  }
  return at;
}

// "TryFinally<TfmMain::Click, lambda 2>" -> "TryFinally<Click, lambda 2>".
std::string DropScopesInArguments(std::string_view s) {
  const Brackets b(s);
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (b.Depth[i] == 0 || b.Operator[i] || s[i] != ':' || s[i + 1] != ':') continue;
    ranges.emplace_back(ScopeStart(s, b, i), i + 2);
    ++i;
  }
  return ReplaceRanges(s, ranges, "");
}

// Template argument lists at least minDepth deep in brackets become "<~~>".
std::string CollapseArguments(std::string_view s, std::size_t minDepth) {
  const Brackets b(s);
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (std::size_t i = 0; i < s.size(); ++i)
    if (b.IsOpen(s, i, '<') && b.Depth[i] >= minDepth) ranges.emplace_back(i + 1, b.Partner[i]);
  return ReplaceRanges(s, ranges, kNameCutMark);
}

// "Click, lambda 2, lambda 1" -> "Click, lambda".
std::string DropLambdaNumbers(std::string_view s) {
  constexpr std::string_view kLambda = ", lambda ";
  std::vector<std::pair<std::size_t, std::size_t>> ranges;
  for (std::size_t at = s.find(kLambda); at != npos;) {
    std::size_t end = at;
    while (s.substr(end).starts_with(kLambda) && end + kLambda.size() < s.size() &&
           IsIdentChar(s[end + kLambda.size()])) {
      end += kLambda.size();
      while (end < s.size() && IsIdentChar(s[end])) ++end;
    }
    if (end != at) ranges.emplace_back(at, end);
    at = s.find(kLambda, std::max(end, at + 1));
  }
  return ReplaceRanges(s, ranges, ", lambda");
}

// "a::b::TClass" -> "~~::TClass": the fewest leading scopes that make it
// fit, or none when even the last part alone doesn't.
std::string DropLeadingScopes(std::string_view s, std::size_t max) {
  const Brackets b(s);
  const std::string prefix = std::string(kNameCutMark) + "::";
  for (std::size_t i = 0; i + 1 < s.size(); ++i) {
    if (b.Depth[i] != 0 || b.Operator[i] || s[i] != ':' || s[i + 1] != ':') continue;
    if (prefix.size() + s.size() - (i + 2) <= max) return prefix + std::string(s.substr(i + 2));
    ++i;
  }
  return std::string(s);
}

}  // namespace

ProcedureCells CppProcedureCells(std::string_view readable) {
  if (const auto parts = ParseFunctionName(readable)) return CellsOf(*parts, 0);
  return SplitAtLastScope(std::string(readable));
}

std::string StoredProcedureName(const std::string& readable) {
  ProcedureCells cells = CppProcedureCells(readable);
  // "." separates class and procedure in the block: keep it out of both.
  for (std::string* cell : {&cells.Class, &cells.Procedure})
    std::replace(cell->begin(), cell->end(), '.', '_');
  return cells.Class.empty() ? cells.Procedure : cells.Class + "." + cells.Procedure;
}

std::string ShortenProcedureCell(std::string_view cell, std::size_t max) {
  std::string name(cell);
  if (name.size() <= max) return name;
  if (Brackets(name).Valid) {
    const std::function<std::string(const std::string&)> steps[] = {
        DropParameterLists,
        DropScopesInArguments,
        [](const std::string& s) { return CollapseArguments(s, 1); },
        [](const std::string& s) { return CollapseArguments(s, 0); },
        DropLambdaNumbers,
        [max](const std::string& s) { return DropLeadingScopes(s, max); },
    };
    for (const auto& step : steps) {
      name = step(name);
      if (name.size() <= max) return name;
    }
  }
  return ShortenName(name, max);
}

std::string ShortenStoredParts(std::string_view stored, std::size_t maxPart) {
  const std::size_t dot = stored.find('.');
  if (dot == npos || dot == 0) return ShortenProcedureCell(stored, maxPart);
  return ShortenProcedureCell(stored.substr(0, dot), maxPart) + "." +
         ShortenProcedureCell(stored.substr(dot + 1), maxPart);
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
