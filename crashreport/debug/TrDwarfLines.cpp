#include "crashreport/debug/TrDwarfLines.h"

#include <stdexcept>

namespace tracira {

namespace {

class Cursor {
 public:
  Cursor(const std::vector<std::uint8_t>& d, std::size_t pos, std::size_t end)
      : fD(&d), fPos(pos), fEnd(end) {}
  std::size_t Pos() const { return fPos; }
  bool AtEnd() const { return fPos >= fEnd; }
  std::uint64_t U(int bytes) {
    if (fPos + static_cast<std::size_t>(bytes) > fEnd)
      throw std::runtime_error(".debug_line: table ends too early");
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t{(*fD)[fPos + i]} << (8 * i);
    fPos += static_cast<std::size_t>(bytes);
    return v;
  }
  std::uint64_t Uleb() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const std::uint8_t b = static_cast<std::uint8_t>(U(1));
      if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
      if (!(b & 0x80)) return v;
    }
  }
  std::int64_t Sleb() {
    std::int64_t v = 0;
    int shift = 0;
    std::uint8_t b;
    do {
      b = static_cast<std::uint8_t>(U(1));
      if (shift < 64) v |= static_cast<std::int64_t>(std::uint64_t{b & 0x7Fu} << shift);
      shift += 7;
    } while (b & 0x80);
    if (shift < 64 && (b & 0x40))
      v = static_cast<std::int64_t>(static_cast<std::uint64_t>(v) | (~std::uint64_t{0} << shift));
    return v;
  }
  std::string Str() {
    std::string s;
    for (char c; (c = static_cast<char>(U(1))) != 0;) s += c;
    return s;
  }
  void Skip(std::size_t n) {
    if (fPos + n > fEnd) throw std::runtime_error(".debug_line: table ends too early");
    fPos += n;
  }

 private:
  const std::vector<std::uint8_t>* fD;
  std::size_t fPos, fEnd;
};

std::string StringAt(const std::vector<std::uint8_t>& section, std::uint64_t offset) {
  std::string s;
  for (std::size_t p = offset; p < section.size() && section[p]; ++p) s += static_cast<char>(section[p]);
  return s;
}

// Reads one attribute of a DWARF 5 entry format; strings come back as text,
// numbers as their decimal text.
std::string ReadForm(Cursor& c, std::uint64_t form, int offsetSize, const std::vector<std::uint8_t>& lineStr,
                     const std::vector<std::uint8_t>& str) {
  switch (form) {
    case 0x08:
      return c.Str();  // string
    case 0x1f:
      return StringAt(lineStr, c.U(offsetSize));  // line_strp
    case 0x0e:
      return StringAt(str, c.U(offsetSize));  // strp
    case 0x0b:
      return std::to_string(c.U(1));  // data1
    case 0x05:
      return std::to_string(c.U(2));  // data2
    case 0x06:
      return std::to_string(c.U(4));  // data4
    case 0x07:
      return std::to_string(c.U(8));  // data8
    case 0x0f:
      return std::to_string(c.Uleb());  // udata
    case 0x0d:
      return std::to_string(c.Sleb());  // sdata
    case 0x1e:
      c.Skip(16);
      return {};  // data16 (MD5)
    case 0x09:
      c.Skip(c.Uleb());
      return {};  // block
    default:
      throw std::runtime_error(".debug_line: unsupported attribute form " + std::to_string(form));
  }
}

}  // namespace

std::vector<LineRow> ReadLineRows(const std::vector<std::uint8_t>& debugLine,
                                  const std::vector<std::uint8_t>& debugLineStr,
                                  const std::vector<std::uint8_t>& debugStr) {
  std::vector<LineRow> rows;
  std::size_t unitStart = 0;
  while (unitStart < debugLine.size()) {
    Cursor h(debugLine, unitStart, debugLine.size());
    std::uint64_t length = h.U(4);
    int offsetSize = 4;
    if (length == 0xFFFFFFFF) {
      length = h.U(8);
      offsetSize = 8;
    }
    const std::size_t unitEnd = h.Pos() + length;
    if (unitEnd > debugLine.size()) throw std::runtime_error(".debug_line: unit length beyond the section");
    Cursor c(debugLine, h.Pos(), unitEnd);
    const auto version = static_cast<int>(c.U(2));
    if (version < 2 || version > 5)
      throw std::runtime_error(".debug_line: unsupported version " + std::to_string(version));
    int addressSize = 4;
    if (version >= 5) {
      addressSize = static_cast<int>(c.U(1));
      c.U(1);  // segment selector size
    }
    const std::uint64_t headerLength = c.U(offsetSize);
    const std::size_t programStart = c.Pos() + headerLength;
    const auto minInst = static_cast<std::uint32_t>(c.U(1));
    if (version >= 4) c.U(1);  // maximum operations per instruction
    const bool defaultIsStmt = c.U(1) != 0;
    (void)defaultIsStmt;
    const auto lineBase = static_cast<std::int8_t>(c.U(1));
    const auto lineRange = static_cast<std::uint8_t>(c.U(1));
    const auto opcodeBase = static_cast<std::uint8_t>(c.U(1));
    if (lineRange == 0) throw std::runtime_error(".debug_line: line range 0");
    std::vector<std::uint8_t> standardLengths(opcodeBase > 0 ? opcodeBase - 1 : 0);
    for (auto& l : standardLengths) l = static_cast<std::uint8_t>(c.U(1));

    std::vector<std::string> files;
    if (version >= 5) {
      auto readEntries = [&](std::vector<std::string>* paths) {
        const std::uint64_t formats = c.U(1);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> format;
        for (std::uint64_t i = 0; i < formats; ++i) {
          const std::uint64_t type = c.Uleb();
          format.emplace_back(type, c.Uleb());
        }
        const std::uint64_t count = c.Uleb();
        for (std::uint64_t i = 0; i < count; ++i) {
          std::string path;
          for (const auto& [type, form] : format) {
            std::string v = ReadForm(c, form, offsetSize, debugLineStr, debugStr);
            if (type == 1) path = std::move(v);  // DW_LNCT_path
          }
          if (paths) paths->push_back(path);
        }
      };
      readEntries(nullptr);  // directories: only the file's own name matters
      readEntries(&files);
    } else {
      while (!c.Str().empty()) {
      }
      files.emplace_back();  // file numbers start at 1
      for (std::string name; !(name = c.Str()).empty();) {
        c.Uleb(), c.Uleb(), c.Uleb();
        files.push_back(name);
      }
    }

    Cursor p(debugLine, programStart, unitEnd);
    std::uint64_t address = 0, file = 1;
    std::int64_t line = 1;
    auto fileName = [&](std::uint64_t f) { return f < files.size() ? files[f] : std::string("?"); };
    auto emit = [&](bool end) {
      rows.push_back(
          {static_cast<std::uint32_t>(address), fileName(file), static_cast<std::uint32_t>(line), end});
    };
    while (!p.AtEnd()) {
      const auto op = static_cast<std::uint8_t>(p.U(1));
      if (op >= opcodeBase) {
        const int adjusted = op - opcodeBase;
        address += static_cast<std::uint64_t>(adjusted / lineRange) * minInst;
        line += lineBase + adjusted % lineRange;
        emit(false);
        continue;
      }
      switch (op) {
        case 0: {
          const std::uint64_t len = p.Uleb();
          if (len == 0) break;
          const std::size_t next = p.Pos() + len;
          const auto sub = static_cast<std::uint8_t>(p.U(1));
          if (sub == 1) {
            emit(true);
            address = 0, file = 1, line = 1;
          } else if (sub == 2) {
            address = p.U(std::min<int>(addressSize, static_cast<int>(len - 1)));
          } else if (sub == 3) {
            files.push_back(p.Str());
          }
          p = Cursor(debugLine, next, unitEnd);
          break;
        }
        case 1:
          emit(false);
          break;
        case 2:
          address += p.Uleb() * minInst;
          break;
        case 3:
          line += p.Sleb();
          break;
        case 4:
          file = p.Uleb();
          break;
        case 5:
          p.Uleb();
          break;
        case 8:
          address += static_cast<std::uint64_t>((255 - opcodeBase) / lineRange) * minInst;
          break;
        case 9:
          address += p.U(2);
          break;
        case 6:
        case 7:
        case 10:
        case 11:
          break;
        default:
          for (std::uint8_t i = 0; i < standardLengths[op - 1]; ++i) p.Uleb();
      }
    }
    unitStart = unitEnd;
  }
  return rows;
}

}  // namespace tracira
