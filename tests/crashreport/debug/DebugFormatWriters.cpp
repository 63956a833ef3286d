#include "tests/crashreport/debug/DebugFormatWriters.h"

#include <cstdio>
#include <map>

#include "crashreport/core/TrStream.h"
#include "crashreport/debug/TrSymbols.h"

namespace tracira::testing {

namespace {

void Put32At(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// The name pool: names indexed from 1.
class NamePool {
 public:
  std::uint32_t Index(const std::string& name) {
    auto [it, added] = fIndex.emplace(name, static_cast<std::uint32_t>(fNames.size() + 1));
    if (added) fNames.push_back(name);
    return it->second;
  }
  std::vector<std::uint8_t> Bytes() const {
    std::vector<std::uint8_t> out;
    TrByteWriter w(out);
    w.U32(static_cast<std::uint32_t>(fNames.size()));
    for (const std::string& n : fNames) {
      w.U8(static_cast<std::uint8_t>(n.size()));
      w.Bytes(n.data(), n.size());
      w.U8(0);
    }
    return out;
  }

 private:
  std::map<std::string, std::uint32_t> fIndex;
  std::vector<std::string> fNames;
};

}  // namespace

std::vector<std::uint8_t> WriteTD32(const std::vector<TD32Module>& modules) {
  NamePool names;
  struct Sub {
    std::uint16_t Type, Module;
    std::vector<std::uint8_t> Data;
  };
  std::vector<Sub> subs;
  for (std::size_t m = 0; m < modules.size(); ++m) {
    const TD32Module& mod = modules[m];
    const auto moduleIndex = static_cast<std::uint16_t>(m + 1);
    {  // sstModule
      std::vector<std::uint8_t> d;
      TrByteWriter w(d);
      w.U16(0), w.U16(0), w.U16(0), w.U16(0);
      w.U32(names.Index(mod.Name));
      w.U32(0), w.U32(0), w.U32(0), w.U32(0);
      subs.push_back({0x120, moduleIndex, d});
    }
    {  // sstAlignSym
      std::vector<std::uint8_t> d;
      TrByteWriter w(d);
      w.U32(1);
      for (const TD32Procedure& p : mod.Procedures) {
        w.U16(2 + 12 + 4 + 8 + 4 + 2 + 4 + 4);
        w.U16(0x205);
        w.U32(0), w.U32(0), w.U32(0);
        w.U32(p.Size);
        w.U32(0), w.U32(p.Size);
        w.U32(p.Offset);
        w.U16(p.Segment);
        w.U32(0);
        w.U32(names.Index(p.Name));
      }
      subs.push_back({0x125, moduleIndex, d});
    }
    {  // sstSrcModule: header, then per file its table, then per file its line block
      std::vector<std::uint8_t> d;
      TrByteWriter w(d);
      w.U16(static_cast<std::uint16_t>(mod.Files.size()));
      w.U16(1);
      const std::size_t fileOffsetsAt = d.size();
      for (std::size_t f = 0; f < mod.Files.size(); ++f) w.U32(0);
      w.U32(0), w.U32(0);  // the module's segment range (unused)
      w.U16(1), w.U16(0);
      for (std::size_t f = 0; f < mod.Files.size(); ++f) {
        const TD32SourceFile& file = mod.Files[f];
        Put32At(d, fileOffsetsAt + 4 * f, static_cast<std::uint32_t>(d.size()));
        w.U16(1), w.U16(0);
        const std::size_t blockOffsetAt = d.size();
        w.U32(0);
        std::uint32_t lo = 0xFFFFFFFF, hi = 0;
        for (const auto& [offset, line] : file.Lines) lo = std::min(lo, offset), hi = std::max(hi, offset);
        // The range's end: the last line entry's offset, so an address after
        // it lies outside the block.
        w.U32(file.Lines.empty() ? 0 : lo), w.U32(hi);
        w.U32(names.Index(file.Name));
        Put32At(d, blockOffsetAt, static_cast<std::uint32_t>(d.size()));
        w.U16(file.Segment);
        w.U16(static_cast<std::uint16_t>(file.Lines.size()));
        for (const auto& l : file.Lines) w.U32(l.first);
        for (const auto& l : file.Lines) w.U16(l.second);
        while (d.size() % 4) w.U8(0);
      }
      subs.push_back({0x127, moduleIndex, d});
    }
  }
  subs.push_back({0x130, 0xFFFF, names.Bytes()});

  std::vector<std::uint8_t> out = {'F', 'B', '0', '9', 0, 0, 0, 0};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> placed;
  for (const Sub& s : subs) {
    placed.emplace_back(static_cast<std::uint32_t>(out.size()), static_cast<std::uint32_t>(s.Data.size()));
    out.insert(out.end(), s.Data.begin(), s.Data.end());
  }
  Put32At(out, 4, static_cast<std::uint32_t>(out.size()));
  TrByteWriter w(out);
  w.U16(16), w.U16(12), w.U32(static_cast<std::uint32_t>(subs.size())), w.U32(0), w.U32(0);
  for (std::size_t i = 0; i < subs.size(); ++i) {
    w.U16(subs[i].Type), w.U16(subs[i].Module), w.U32(placed[i].first), w.U32(placed[i].second);
  }
  const auto total = static_cast<std::uint32_t>(out.size() + 8);
  w.Bytes("FB09", 4);
  w.U32(total);
  return out;
}

namespace {

void JclValue(std::vector<std::uint8_t>& out, std::uint32_t v) {
  do {
    std::uint8_t b = v & 0x7F;
    v >>= 7;
    if (v) b |= 0x80;
    out.push_back(b);
  } while (v);
}

}  // namespace

std::vector<std::uint8_t> WriteJclDebug(const JclDebugData& data) {
  std::vector<std::uint8_t> words;
  std::map<std::string, std::uint32_t> ids;
  auto id = [&](const std::string& s) -> std::uint32_t {
    if (s.empty()) return 0;
    auto [it, added] = ids.emplace(s, static_cast<std::uint32_t>(words.size() + 1));
    if (added) {
      const auto packed = EncodeJclWord(s);
      words.insert(words.end(), packed.begin(), packed.end());
    }
    return it->second;
  };
  auto pairs = [&](const std::vector<std::pair<std::uint32_t, std::string>>& items) {
    std::vector<std::uint8_t> out;
    std::uint32_t lastA = 0, lastN = 0;
    for (const auto& [a, n] : items) {
      const std::uint32_t nid = id(n);
      JclValue(out, a - lastA), JclValue(out, nid - lastN);
      lastA = a, lastN = nid;
    }
    JclValue(out, 0x7FFFFFFF);
    return out;
  };
  std::vector<std::uint8_t> units = pairs(data.Units), sources = pairs(data.SourceNames);
  std::vector<std::uint8_t> symbols, lines;
  {
    std::uint32_t lastA = 0, last1 = 0, last2 = 0;
    for (const auto& [a, n1, n2] : data.Symbols) {
      const std::uint32_t i1 = id(n1), i2 = id(n2);
      JclValue(symbols, a - lastA), JclValue(symbols, i1 - last1), JclValue(symbols, i2 - last2);
      lastA = a, last1 = i1, last2 = i2;
    }
    JclValue(symbols, 0x7FFFFFFF);
    lastA = 0;
    std::uint32_t lastL = 0;
    for (const auto& [a, l] : data.Lines) {
      JclValue(lines, a - lastA), JclValue(lines, l - lastL);
      lastA = a, lastL = l;
    }
    JclValue(lines, 0x7FFFFFFF);
  }
  const std::uint32_t moduleName = id(data.ModuleName);
  std::vector<std::uint8_t> out;
  TrByteWriter w(out);
  constexpr std::uint32_t header = 4 + 1 + 7 * 4 + 1;
  std::uint32_t at = header;
  w.U32(kJclDebugSignature);
  w.U8(1);
  for (const std::vector<std::uint8_t>* part : {&units, &sources, &symbols, &lines}) {
    w.U32(at);
    at += static_cast<std::uint32_t>(part->size());
  }
  w.U32(at);  // words
  w.U32(moduleName);
  w.U32(0), w.U8(0);
  for (const std::vector<std::uint8_t>* part : {&units, &sources, &symbols, &lines, &words})
    w.Bytes(part->data(), part->size());
  return out;
}

std::string WriteBorlandMap(std::uint32_t codeStart, std::uint32_t codeLength,
                            const std::vector<BorlandMapUnit>& units) {
  std::string s;
  char buf[256];
  s += "\r\n Start         Length     Name                   Class\r\n";
  std::snprintf(buf, sizeof buf, " 0001:%08X %08XH .text                   CODE\r\n", codeStart, codeLength);
  s += buf;
  std::snprintf(buf, sizeof buf, " 0002:%08X %08XH .data                   DATA\r\n",
                codeStart + codeLength + 0x1000, 0x100u);
  s += buf;
  s += "\r\n\r\nDetailed map of segments\r\n\r\n";
  for (const BorlandMapUnit& u : units) {
    std::snprintf(buf, sizeof buf, " 0001:%08X %08X C=CODE     S=.text    G=(none)   M=%s ACBP=A9\r\n",
                  u.Offset, u.Length, u.Name.c_str());
    s += buf;
  }
  s += "\r\n\r\n  Address             Publics by Name\r\n\r\n";
  for (const BorlandMapUnit& u : units)
    for (const auto& [offset, name] : u.Publics) {
      std::snprintf(buf, sizeof buf, " 0001:%08X       %s\r\n", offset, name.c_str());
      s += buf;
    }
  s += "\r\n\r\n  Address             Publics by Value\r\n\r\n";
  for (const BorlandMapUnit& u : units)
    for (const auto& [offset, name] : u.Publics) {
      std::snprintf(buf, sizeof buf, " 0001:%08X       %s\r\n", offset, name.c_str());
      s += buf;
    }
  for (const BorlandMapUnit& u : units) {
    s += "\r\n\r\nLine numbers for " + u.Name + "(" + u.Source + ") segment .text\r\n\r\n";
    int column = 0;
    for (const auto& [line, offset] : u.Lines) {
      std::snprintf(buf, sizeof buf, "%6u 0001:%08X", line, offset);
      s += buf;
      if (++column % 4 == 0) s += "\r\n";
    }
    s += "\r\n";
  }
  s += "\r\nBound resource files\r\n\r\n";
  return s;
}

}  // namespace tracira::testing
