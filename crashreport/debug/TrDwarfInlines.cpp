#include "crashreport/debug/TrDwarfInlines.h"

#include <algorithm>
#include <map>
#include <optional>
#include <stdexcept>
#include <unordered_map>

namespace tracira {

namespace {

[[noreturn]] void Fail(const char* what) { throw std::runtime_error(std::string(".debug_info: ") + what); }

class Reader {
 public:
  Reader(const std::vector<std::uint8_t>& d, std::size_t pos, std::size_t end)
      : fD(&d), fPos(pos), fEnd(end) {
    if (end > d.size() || pos > end) Fail("a reference lies outside its section");
  }
  std::size_t Pos() const { return fPos; }
  bool AtEnd() const { return fPos >= fEnd; }
  std::uint64_t U(std::size_t bytes) {
    Need(bytes);
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < bytes; ++i) v |= std::uint64_t{(*fD)[fPos + i]} << (8 * i);
    fPos += bytes;
    return v;
  }
  std::uint64_t Uleb() {
    std::uint64_t v = 0;
    for (int shift = 0;; shift += 7) {
      const auto b = static_cast<std::uint8_t>(U(1));
      if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
      if (!(b & 0x80)) return v;
    }
  }
  std::int64_t Sleb() {
    std::uint64_t v = 0;
    int shift = 0;
    std::uint8_t b;
    do {
      b = static_cast<std::uint8_t>(U(1));
      if (shift < 64) v |= std::uint64_t{b & 0x7Fu} << shift;
      shift += 7;
    } while (b & 0x80);
    if (shift < 64 && (b & 0x40)) v |= ~std::uint64_t{0} << shift;
    return static_cast<std::int64_t>(v);
  }
  void Skip(std::uint64_t n) {
    Need(n);
    fPos += static_cast<std::size_t>(n);
  }
  void SkipString() {
    while (U(1) != 0) {
    }
  }

 private:
  void Need(std::uint64_t n) const {
    if (n > fEnd - fPos) Fail("data ends too early");
  }
  const std::vector<std::uint8_t>* fD;
  std::size_t fPos, fEnd;
};

// DWARF numbers used here.
constexpr std::uint64_t kTagCompileUnit = 0x11, kTagPartialUnit = 0x3c, kTagSubprogram = 0x2e,
                        kTagInlinedSubroutine = 0x1d;
constexpr std::uint64_t kAtStmtList = 0x10, kAtLowPc = 0x11, kAtHighPc = 0x12, kAtRanges = 0x55,
                        kAtCallFile = 0x58, kAtCallLine = 0x59, kAtAddrBase = 0x73, kAtRnglistsBase = 0x74;
constexpr std::uint64_t kFormAddr = 0x01, kFormIndirect = 0x16, kFormImplicitConst = 0x21,
                        kFormRnglistx = 0x23;

struct AttributeSpec {
  std::uint64_t Name, Form;
  std::int64_t Implicit;
};
struct Abbrev {
  std::uint64_t Tag = 0;
  bool Children = false;
  std::vector<AttributeSpec> Attributes;
};
using AbbrevTable = std::unordered_map<std::uint64_t, Abbrev>;

AbbrevTable ReadAbbrevs(const std::vector<std::uint8_t>& section, std::uint64_t offset) {
  AbbrevTable table;
  if (offset > section.size()) Fail("abbreviations outside their section");
  Reader r(section, static_cast<std::size_t>(offset), section.size());
  for (std::uint64_t code; (code = r.Uleb()) != 0;) {
    Abbrev& a = table[code];
    a.Tag = r.Uleb();
    a.Children = r.U(1) != 0;
    for (;;) {
      const std::uint64_t name = r.Uleb(), form = r.Uleb();
      if (name == 0 && form == 0) break;
      a.Attributes.push_back({name, form, form == kFormImplicitConst ? r.Sleb() : 0});
    }
  }
  return table;
}

struct UnitFormat {
  int Version = 0, OffsetSize = 4, AddressSize = 4;
};

// Reads one attribute value: numbers, addresses and section offsets as
// their value, index forms as their index; blocks and strings are skipped
// (value 0).
std::uint64_t ReadValue(Reader& r, std::uint64_t form, std::int64_t implicit, const UnitFormat& u) {
  switch (form) {
    case 0x01:  // addr
      return r.U(static_cast<std::size_t>(u.AddressSize));
    case 0x03:  // block2
      r.Skip(r.U(2));
      return 0;
    case 0x04:  // block4
      r.Skip(r.U(4));
      return 0;
    case 0x05:  // data2
    case 0x12:  // ref2
      return r.U(2);
    case 0x06:  // data4
    case 0x13:  // ref4
    case 0x1c:  // ref_sup4
      return r.U(4);
    case 0x07:  // data8
    case 0x14:  // ref8
    case 0x20:  // ref_sig8
    case 0x24:  // ref_sup8
      return r.U(8);
    case 0x08:  // string
      r.SkipString();
      return 0;
    case 0x09:  // block
    case 0x18:  // exprloc
      r.Skip(r.Uleb());
      return 0;
    case 0x0a:  // block1
      r.Skip(r.U(1));
      return 0;
    case 0x0b:  // data1
    case 0x0c:  // flag
    case 0x11:  // ref1
    case 0x25:  // strx1
    case 0x29:  // addrx1
      return r.U(1);
    case 0x0d:  // sdata
      return static_cast<std::uint64_t>(r.Sleb());
    case 0x0e:    // strp
    case 0x17:    // sec_offset
    case 0x1d:    // strp_sup
    case 0x1f:    // line_strp
    case 0x1f20:  // GNU_ref_alt
    case 0x1f21:  // GNU_strp_alt
      return r.U(static_cast<std::size_t>(u.OffsetSize));
    case 0x10:  // ref_addr
      return r.U(static_cast<std::size_t>(u.Version <= 2 ? u.AddressSize : u.OffsetSize));
    case 0x0f:    // udata
    case 0x15:    // ref_udata
    case 0x1a:    // strx
    case 0x1b:    // addrx
    case 0x22:    // loclistx
    case 0x23:    // rnglistx
    case 0x1f01:  // GNU_addr_index
    case 0x1f02:  // GNU_str_index
      return r.Uleb();
    case 0x19:  // flag_present
      return 1;
    case 0x1e:  // data16
      r.Skip(16);
      return 0;
    case kFormImplicitConst:
      return static_cast<std::uint64_t>(implicit);
    case 0x26:  // strx2
    case 0x2a:  // addrx2
      return r.U(2);
    case 0x27:  // strx3
    case 0x2b:  // addrx3
      return r.U(3);
    case 0x28:  // strx4
    case 0x2c:  // addrx4
      return r.U(4);
    case kFormIndirect: {
      const std::uint64_t actual = r.Uleb();
      if (actual == kFormIndirect) Fail("an indirect form names another");
      return ReadValue(r, actual, 0, u);
    }
    default:
      Fail("unknown attribute form");
  }
}

bool IsAddressIndex(std::uint64_t form) {
  return form == 0x1b || form == 0x1f01 || (form >= 0x29 && form <= 0x2c);
}

// The attributes of one entry that matter here.
struct Entry {
  std::uint64_t Tag = 0;
  bool Children = false;
  std::optional<std::uint64_t> Low, High, Ranges, StmtList, AddrBase, RnglistsBase;
  bool HighIsOffset = false, LowIsIndex = false, HighIsIndex = false, RangesIsIndex = false;
  std::uint64_t CallFile = 0, CallLine = 0;
};

}  // namespace

namespace {

class InlineReader {
 public:
  InlineReader(const DwarfSections& s, const std::vector<LineTable>& tables, std::vector<std::string>& paths)
      : fS(s), fPaths(paths) {
    std::unordered_map<std::string, std::uint32_t> ids;
    for (std::size_t i = 0; i < paths.size(); ++i) ids.emplace(paths[i], static_cast<std::uint32_t>(i));
    for (const LineTable& t : tables) {
      std::vector<std::uint32_t>& numbers = fTableFiles[t.Offset];
      for (const std::string& f : t.Files) {
        const auto [it, added] = ids.emplace(f, static_cast<std::uint32_t>(paths.size()));
        if (added) paths.push_back(f);
        numbers.push_back(it->second);
      }
    }
  }

  std::vector<InlinedCall> Read() {
    std::size_t unitStart = 0;
    while (unitStart < fS.Info.size()) {
      Reader h(fS.Info, unitStart, fS.Info.size());
      UnitFormat u;
      std::uint64_t length = h.U(4);
      if (length == 0xFFFFFFFF) {
        length = h.U(8);
        u.OffsetSize = 8;
      }
      if (length > fS.Info.size() - h.Pos()) Fail("unit length beyond the section");
      const std::size_t unitEnd = h.Pos() + static_cast<std::size_t>(length);
      ReadUnit(Reader(fS.Info, h.Pos(), unitEnd), u);
      unitStart = unitEnd;
    }
    return std::move(fCalls);
  }

 private:
  void ReadUnit(Reader r, UnitFormat u) {
    u.Version = static_cast<int>(r.U(2));
    if (u.Version < 2 || u.Version > 5) return;  // a unit of a kind not read here
    std::uint64_t abbrevOffset = 0;
    if (u.Version >= 5) {
      const auto type = r.U(1);
      u.AddressSize = static_cast<int>(r.U(1));
      abbrevOffset = r.U(static_cast<std::size_t>(u.OffsetSize));
      if (type != 1 && type != 3) return;  // only full and partial units hold code
    } else {
      abbrevOffset = r.U(static_cast<std::size_t>(u.OffsetSize));
      u.AddressSize = static_cast<int>(r.U(1));
    }
    if (u.AddressSize != 4 && u.AddressSize != 8) Fail("unsupported address size");
    auto cached = fAbbrevs.find(abbrevOffset);
    if (cached == fAbbrevs.end())
      cached = fAbbrevs.emplace(abbrevOffset, ReadAbbrevs(fS.Abbrev, abbrevOffset)).first;
    const AbbrevTable& abbrevs = cached->second;

    fUnit = u;
    fFiles = nullptr;
    fBase = 0, fAddrBase = 0, fRnglistsBase = 0;
    // The inline depth that children of each open entry start from; -1
    // outside functions.
    std::vector<int> depths;
    bool first = true;
    while (!r.AtEnd()) {
      const std::uint64_t code = r.Uleb();
      if (code == 0) {
        if (depths.empty()) break;
        depths.pop_back();
        continue;
      }
      const auto a = abbrevs.find(code);
      if (a == abbrevs.end()) Fail("unknown abbreviation");
      const Entry e = ReadEntry(r, a->second);
      if (first) {
        first = false;
        if (e.Tag != kTagCompileUnit && e.Tag != kTagPartialUnit) return;
        fAddrBase = e.AddrBase.value_or(0);
        fRnglistsBase = e.RnglistsBase.value_or(0);
        fBase = e.Low ? Address(*e.Low, e.LowIsIndex) : 0;
        if (e.StmtList) {
          const auto files = fTableFiles.find(static_cast<std::size_t>(*e.StmtList));
          if (files != fTableFiles.end()) fFiles = &files->second;
        }
      }
      const int outer = depths.empty() ? -1 : depths.back();
      int inner = outer;
      if (e.Tag == kTagSubprogram) {
        inner = 0;
      } else if (e.Tag == kTagInlinedSubroutine && outer >= 0) {
        inner = outer + 1;
        AddCall(e, static_cast<std::uint32_t>(inner));
      }
      if (e.Children) depths.push_back(inner);
    }
  }

  Entry ReadEntry(Reader& r, const Abbrev& a) const {
    Entry e;
    e.Tag = a.Tag;
    e.Children = a.Children;
    for (const AttributeSpec& s : a.Attributes) {
      std::uint64_t form = s.Form;
      std::uint64_t value;
      if (form == kFormIndirect) {
        form = r.Uleb();
        value = ReadValue(r, form, 0, fUnit);
      } else {
        value = ReadValue(r, form, s.Implicit, fUnit);
      }
      switch (s.Name) {
        case kAtLowPc:
          e.Low = value, e.LowIsIndex = IsAddressIndex(form);
          break;
        case kAtHighPc:
          e.High = value, e.HighIsIndex = IsAddressIndex(form);
          e.HighIsOffset = form != kFormAddr && !e.HighIsIndex;
          break;
        case kAtRanges:
          e.Ranges = value, e.RangesIsIndex = form == kFormRnglistx;
          break;
        case kAtStmtList:
          e.StmtList = value;
          break;
        case kAtCallFile:
          e.CallFile = value;
          break;
        case kAtCallLine:
          e.CallLine = value;
          break;
        case kAtAddrBase:
          e.AddrBase = value;
          break;
        case kAtRnglistsBase:
          e.RnglistsBase = value;
          break;
        default:
          break;
      }
    }
    return e;
  }

  std::uint64_t Address(std::uint64_t value, bool isIndex) const {
    if (!isIndex) return value;
    const std::uint64_t at = fAddrBase + value * static_cast<std::uint64_t>(fUnit.AddressSize);
    if (at > fS.Addr.size()) Fail("address index outside .debug_addr");
    Reader r(fS.Addr, static_cast<std::size_t>(at), fS.Addr.size());
    return r.U(static_cast<std::size_t>(fUnit.AddressSize));
  }

  void AddCall(const Entry& e, std::uint32_t depth) {
    if (!fFiles || e.CallFile >= fFiles->size() || e.CallLine == 0) return;
    const std::uint32_t file = (*fFiles)[static_cast<std::size_t>(e.CallFile)];
    if (fPaths[file].empty()) return;  // file 0 before version 5: none
    const auto line = static_cast<std::uint32_t>(std::min<std::uint64_t>(e.CallLine, 0xFFFFFFFFu));
    // A range that runs past the end of the unit's address space is damaged.
    const std::uint64_t last = fUnit.AddressSize == 4 ? 0xFFFFFFFFu : ~std::uint64_t{0};
    auto add = [&](std::uint64_t low, std::uint64_t high) {
      if (low < high && high <= last) fCalls.push_back({low, high, file, line, depth});
    };
    if (e.Low && e.High) {
      const std::uint64_t low = Address(*e.Low, e.LowIsIndex);
      add(low, e.HighIsOffset ? low + *e.High : Address(*e.High, e.HighIsIndex));
    } else if (e.Ranges) {
      ReadRanges(*e.Ranges, e.RangesIsIndex, add);
    }
  }

  template <typename Add>
  void ReadRanges(std::uint64_t value, bool isIndex, Add add) const {
    const std::size_t size = static_cast<std::size_t>(fUnit.AddressSize);
    if (fUnit.Version < 5) {
      // .debug_ranges: pairs of addresses; all ones first: a new base.
      if (value > fS.Ranges.size()) Fail("ranges outside .debug_ranges");
      Reader r(fS.Ranges, static_cast<std::size_t>(value), fS.Ranges.size());
      const std::uint64_t allOnes = size == 4 ? 0xFFFFFFFFu : ~std::uint64_t{0};
      std::uint64_t base = fBase;
      for (;;) {
        const std::uint64_t begin = r.U(size), end = r.U(size);
        if (begin == 0 && end == 0) return;
        if (begin == allOnes)
          base = end;
        else
          add(base + begin, base + end);
      }
    }
    std::uint64_t offset = value;
    if (isIndex) {
      const std::uint64_t at = fRnglistsBase + value * static_cast<std::uint64_t>(fUnit.OffsetSize);
      if (at > fS.RngLists.size()) Fail("range list index outside .debug_rnglists");
      Reader index(fS.RngLists, static_cast<std::size_t>(at), fS.RngLists.size());
      offset = fRnglistsBase + index.U(static_cast<std::size_t>(fUnit.OffsetSize));
    }
    if (offset > fS.RngLists.size()) Fail("range list outside .debug_rnglists");
    Reader r(fS.RngLists, static_cast<std::size_t>(offset), fS.RngLists.size());
    std::uint64_t base = fBase;
    for (;;) {
      switch (r.U(1)) {
        case 0:  // end_of_list
          return;
        case 1:  // base_addressx
          base = Address(r.Uleb(), true);
          break;
        case 2: {  // startx_endx
          const std::uint64_t begin = Address(r.Uleb(), true);
          add(begin, Address(r.Uleb(), true));
          break;
        }
        case 3: {  // startx_length
          const std::uint64_t begin = Address(r.Uleb(), true);
          add(begin, begin + r.Uleb());
          break;
        }
        case 4: {  // offset_pair
          const std::uint64_t begin = r.Uleb();
          add(base + begin, base + r.Uleb());
          break;
        }
        case 5:  // base_address
          base = r.U(size);
          break;
        case 6: {  // start_end
          const std::uint64_t begin = r.U(size);
          add(begin, r.U(size));
          break;
        }
        case 7: {  // start_length
          const std::uint64_t begin = r.U(size);
          add(begin, begin + r.Uleb());
          break;
        }
        default:
          Fail("unknown range list entry");
      }
    }
  }

  const DwarfSections& fS;
  std::vector<std::string>& fPaths;
  std::map<std::size_t, std::vector<std::uint32_t>> fTableFiles;  // line table offset -> path numbers
  std::unordered_map<std::uint64_t, AbbrevTable> fAbbrevs;
  std::vector<InlinedCall> fCalls;
  UnitFormat fUnit;
  const std::vector<std::uint32_t>* fFiles = nullptr;
  std::uint64_t fBase = 0, fAddrBase = 0, fRnglistsBase = 0;
};

}  // namespace

std::vector<InlinedCall> ReadInlinedCalls(const DwarfSections& sections, const std::vector<LineTable>& tables,
                                          std::vector<std::string>& paths) {
  return InlineReader(sections, tables, paths).Read();
}

}  // namespace tracira
