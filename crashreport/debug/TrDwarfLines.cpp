#include "crashreport/debug/TrDwarfLines.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <unordered_map>

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

namespace {

bool IsAbsolute(const std::string& path) {
  return (!path.empty() && (path[0] == '/' || path[0] == '\\')) || (path.size() > 1 && path[1] == ':');
}

std::string Join(const std::string& folder, const std::string& name) {
  if (folder.empty() || IsAbsolute(name)) return name;
  const char last = folder.back();
  return last == '/' || last == '\\' ? folder + name : folder + '/' + name;
}

}  // namespace

std::vector<LineTable> ReadLineTables(const std::vector<std::uint8_t>& debugLine,
                                      const std::vector<std::uint8_t>& debugLineStr,
                                      const std::vector<std::uint8_t>& debugStr) {
  std::vector<LineTable> tables;
  std::size_t unitStart = 0;
  while (unitStart < debugLine.size()) {
    LineTable& table = tables.emplace_back();
    table.Offset = unitStart;
    Cursor h(debugLine, unitStart, debugLine.size());
    std::uint64_t length = h.U(4);
    int offsetSize = 4;
    if (length == 0xFFFFFFFF) {
      length = h.U(8);
      offsetSize = 8;
    }
    if (length > debugLine.size() - h.Pos())
      throw std::runtime_error(".debug_line: unit length beyond the section");
    const std::size_t unitEnd = h.Pos() + length;
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
    if (headerLength > unitEnd - c.Pos()) throw std::runtime_error(".debug_line: header beyond the unit");
    const std::size_t programStart = c.Pos() + headerLength;
    const auto minInst = static_cast<std::uint32_t>(c.U(1));
    if (version >= 4) c.U(1);  // maximum operations per instruction
    c.U(1);                    // default is_stmt: every row counts here
    const auto lineBase = static_cast<std::int8_t>(c.U(1));
    const auto lineRange = static_cast<std::uint8_t>(c.U(1));
    const auto opcodeBase = static_cast<std::uint8_t>(c.U(1));
    if (lineRange == 0) throw std::runtime_error(".debug_line: line range 0");
    std::vector<std::uint8_t> standardLengths(opcodeBase > 0 ? opcodeBase - 1 : 0);
    for (auto& l : standardLengths) l = static_cast<std::uint8_t>(c.U(1));

    std::vector<std::string>& files = table.Files;
    std::vector<std::string> folders;
    if (version >= 5) {
      // Entries of path and folder index; folder 0 is the compilation's.
      auto readEntries = [&](bool withFolder) {
        const std::uint64_t formats = c.U(1);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> format;
        for (std::uint64_t i = 0; i < formats; ++i) {
          const std::uint64_t type = c.Uleb();
          format.emplace_back(type, c.Uleb());
        }
        std::vector<std::string> out;
        const std::uint64_t count = c.Uleb();
        for (std::uint64_t i = 0; i < count; ++i) {
          std::string path, folder;
          for (const auto& [type, form] : format) {
            std::string v = ReadForm(c, form, offsetSize, debugLineStr, debugStr);
            if (type == 1) path = std::move(v);  // DW_LNCT_path
            if (type == 2 && withFolder) {       // DW_LNCT_directory_index
              const std::size_t index = std::strtoull(v.c_str(), nullptr, 10);
              if (index < folders.size()) folder = index == 0 ? folders[0] : Join(folders[0], folders[index]);
            }
          }
          out.push_back(Join(folder, path));
        }
        return out;
      };
      folders = readEntries(false);
      files = readEntries(true);
    } else {
      folders.emplace_back();  // folder 0: the compilation's, not named here
      for (std::string folder; !(folder = c.Str()).empty();) folders.push_back(folder);
      files.emplace_back();  // file numbers start at 1
      for (std::string name; !(name = c.Str()).empty();) {
        const std::uint64_t folder = c.Uleb();
        c.Uleb(), c.Uleb();
        files.push_back(Join(folder < folders.size() ? folders[folder] : std::string(), name));
      }
    }

    Cursor p(debugLine, programStart, unitEnd);
    std::uint64_t address = 0, file = 1;
    std::int64_t line = 1;
    auto emit = [&](bool end) {
      table.Rows.push_back({address, static_cast<std::uint32_t>(std::min<std::uint64_t>(file, 0xFFFFFFFFu)),
                            static_cast<std::uint32_t>(line), end});
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
          if (len > unitEnd - p.Pos()) throw std::runtime_error(".debug_line: table ends too early");
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
  return tables;
}

std::vector<AddressRow> RowsByAddress(const std::vector<LineTable>& tables, std::vector<std::string>& paths) {
  std::unordered_map<std::string, std::uint32_t> ids;
  for (std::size_t i = 0; i < paths.size(); ++i) ids.emplace(paths[i], static_cast<std::uint32_t>(i));
  std::vector<AddressRow> rows;
  for (const LineTable& table : tables) {
    std::vector<std::uint32_t> id(table.Files.size() + 1);
    for (std::size_t f = 0; f <= table.Files.size(); ++f) {
      const std::string path = f < table.Files.size() ? table.Files[f] : std::string("?");
      const auto [it, added] = ids.emplace(path, static_cast<std::uint32_t>(paths.size()));
      if (added) paths.push_back(path);
      id[f] = it->second;
    }
    std::size_t sequenceStart = rows.size();
    for (const LineRow& r : table.Rows) {
      if (r.EndSequence) {
        // Rows on the sequence's end address cover no code.
        while (rows.size() > sequenceStart && rows.back().Address >= r.Address) rows.pop_back();
        if (rows.size() > sequenceStart) rows.push_back({r.Address, 0, 0, true});  // else it was empty
        sequenceStart = rows.size();
        continue;
      }
      rows.push_back({r.Address, id[std::min<std::size_t>(r.File, table.Files.size())], r.Line, false});
    }
  }
  // At one address, sequences that end there come first; of the rows that
  // start there, the last in table order holds, as in the debuggers' lookup.
  std::stable_sort(rows.begin(), rows.end(), [](const AddressRow& a, const AddressRow& b) {
    return a.Address != b.Address ? a.Address < b.Address : a.EndSequence && !b.EndSequence;
  });
  return rows;
}

}  // namespace tracira
