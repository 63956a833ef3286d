#include "crashreport/debug/TrDataWriter.h"

#include <zlib.h>

#include <algorithm>

#include "crashreport/core/TrStream.h"

namespace tracira {

namespace {

void WriteU32At(std::vector<std::uint8_t>& out, std::uint32_t v) { TrByteWriter(out).U32(v); }

void WriteNamePart(std::vector<std::uint8_t>& out, std::string_view part, std::uint8_t flags,
                   std::uint16_t version, const TTrEncryptKey& key) {
  out.push_back(static_cast<std::uint8_t>(part.size() | flags));
  const auto nonce = static_cast<std::uint32_t>(out.size());
  const std::size_t at = out.size();
  out.insert(out.end(), part.begin(), part.end());
  if (version < 500) {
    for (std::size_t i = at; i < out.size(); ++i) out[i] ^= kStringScrambleKey;
  } else {
    key.Crypt(nonce, out.data() + at, part.size());
  }
}

// "Class.Name" in at most max bytes: each side shortened in its middle, the
// name keeping at least half.
std::string ShortenProcedureName(const std::string& name, std::size_t max) {
  const std::size_t dot = name.find('.');
  if (name.size() <= max || dot == std::string::npos || dot == 0) return ShortenName(name, max);
  const std::string cls = name.substr(0, dot), proc = name.substr(dot + 1);
  const std::size_t procMax = std::max((max - 1) / 2, max - 1 - std::min(cls.size(), max - 1));
  const std::size_t clsMax = max - 1 - std::min(proc.size(), procMax);
  return ShortenName(cls, clsMax) + "." + ShortenName(proc, procMax);
}

// An encoded name; from version 502 on "Class.Name" is stored qualified.
// A part longer than its length byte can say is shortened in its middle.
void WriteEncodedName(std::vector<std::uint8_t>& out, const std::string& name, std::uint16_t version,
                      const TTrEncryptKey& key, bool qualify = true) {
  const std::size_t maxPart = version >= 502 ? 127 : 255;
  const std::size_t dot = name.find('.');
  if (qualify && version >= 502 && dot != std::string::npos && dot > 0) {
    WriteNamePart(out, ShortenName(std::string_view(name).substr(0, dot), maxPart), 0x80, version, key);
    WriteNamePart(out, ShortenName(std::string_view(name).substr(dot + 1), maxPart), 0, version, key);
    return;
  }
  WriteNamePart(out, qualify ? ShortenProcedureName(name, maxPart) : ShortenName(name, maxPart), 0, version,
                key);
}

}  // namespace

void WriteLineEntries(std::vector<std::uint8_t>& out, std::int64_t lineAdvance, std::uint64_t codeAdvance,
                      bool newProcedure, std::uint16_t version) {
  TrByteWriter w(out);
  // Reach of the longest form: 16-bit signed line steps, 65536 code bytes
  // (extended form) or 4095 (32-bit form, before version 423).
  const std::uint64_t maxCode = version >= 423 ? 65536 : 4095;
  while (lineAdvance > 32767 || lineAdvance < -32768 || codeAdvance > maxCode) {
    const std::int64_t line = std::clamp<std::int64_t>(lineAdvance, -32768, 32767);
    const std::uint64_t code = std::min(codeAdvance, maxCode);
    WriteLineEntries(out, line, code, false, version);
    lineAdvance -= line;
    codeAdvance -= code;
  }
  const auto line = static_cast<std::int32_t>(lineAdvance);
  const auto code = static_cast<std::uint32_t>(codeAdvance);
  if (!newProcedure && line >= 1 && line <= 4 && code >= 1 && code <= 32) {
    w.U8(static_cast<std::uint8_t>(((line - 1) << 6) | ((code - 1) << 1)));
  } else if (newProcedure && line >= 1 && line <= 8 && code >= 1 && code <= 8) {
    w.U8(static_cast<std::uint8_t>(((line - 1) << 5) | ((code - 1) << 2) | 1));
  } else if (line >= 1 && line <= 32 && code >= 1 && code <= 128) {
    w.U16(static_cast<std::uint16_t>(((line - 1) << 11) | ((code - 1) << 4) | (newProcedure ? 4 : 0) | 3));
  } else {
    const std::uint32_t lineField = static_cast<std::uint16_t>(line - 1);
    const std::uint32_t codeField = code == 0 ? 4095 : code - 1;
    const std::uint32_t flags = 0xB | (newProcedure ? 4 : 0);
    const std::uint32_t v = lineField | (codeField << 16);
    if (code <= 4095 && !(v == 0x0FFEFFFE && version >= 423)) {
      w.U32((v << 4) | flags);
    } else {
      // The escape: the word, then the two advances in full.
      w.U32((0x0FFEFFFEu << 4) | flags);
      w.U16(static_cast<std::uint16_t>(line - 1));
      w.U16(static_cast<std::uint16_t>(code - 1));
    }
  }
}

std::vector<std::uint8_t> WriteDebugStream(const std::vector<TTrUnit>& units, std::uint16_t version,
                                           const std::string& password) {
  const TTrEncryptKey key(password);
  const std::size_t maxPart = version >= 502 ? 127 : 255;
  std::vector<std::uint8_t> out;
  WriteU32At(out, static_cast<std::uint32_t>(units.size()));
  for (const TTrUnit& unit : units) {
    WriteEncodedName(out, unit.Name, version, key, false);
    TrByteWriter w(out);
    w.U32(unit.FirstLine);
    w.U32(unit.Offset);
    w.U32(unit.Size);
    const std::size_t lengthAt = out.size();
    w.U32(0);
    const std::size_t dataAt = out.size();
    std::int64_t line = unit.FirstLine;
    std::uint64_t offset = unit.Offset;
    std::string previousClass;
    for (const TTrLineRow& row : unit.Rows) {
      if (row.Offset < offset) continue;  // rows are ascending; a stray one is dropped
      const bool startsProcedure = row.StartsProcedure;
      if (!startsProcedure && row.Line == line) continue;  // same line, nothing to say
      WriteLineEntries(out, std::int64_t{row.Line} - line, row.Offset - offset, startsProcedure, version);
      line = row.Line;
      offset = row.Offset;
      if (startsProcedure) {
        const std::size_t dot = row.Procedure.find('.');
        const std::string cls = dot == std::string::npos ? std::string() : row.Procedure.substr(0, dot);
        // ".Name" for a method of the class before, unless the name alone
        // needs all of a part (then both parts are shortened alike).
        if (!cls.empty() && cls == previousClass && row.Procedure.size() - dot <= maxPart)
          WriteEncodedName(out, row.Procedure.substr(dot), version, key);
        else
          WriteEncodedName(out, row.Procedure, version, key);
        previousClass = cls;
      }
    }
    const auto length = static_cast<std::uint32_t>(out.size() - dataAt);
    for (int i = 0; i < 4; ++i) out[lengthAt + i] = static_cast<std::uint8_t>(length >> (8 * i));
  }
  return out;
}

std::vector<std::uint8_t> Deflate(const std::vector<std::uint8_t>& data) {
  uLongf size = compressBound(static_cast<uLong>(data.size()));
  std::vector<std::uint8_t> out(size);
  if (compress2(out.data(), &size, data.data(), static_cast<uLong>(data.size()), Z_BEST_COMPRESSION) != Z_OK)
    throw ETrDataError(L"Data block: compression failed.");
  out.resize(size);
  return out;
}

std::vector<std::uint8_t> WriteDataBlock(const TTrBlockSource& source, const TTraciraModuleOptions& options) {
  const std::uint16_t version = MapTrDataVersion(source.Version);
  std::vector<std::uint8_t> out;
  TrByteWriter w(out);
  w.U32(source.Magic);
  w.U16(source.Version);
  w.F64(source.CompilationDate);
  if (version >= 6000) {
    w.U8(source.LeaksOptions.ToBits());
    w.U8(source.LeaksFromMainModule ? 1 : 0);
  }
  std::vector<std::uint8_t> optionsStream;
  options.SaveToStream(optionsStream);
  std::vector<std::uint8_t> main;
  if (version < 500) main = optionsStream;
  const std::vector<std::uint8_t> debug = WriteDebugStream(source.Units, version, source.Password);
  WriteU32At(main, static_cast<std::uint32_t>(debug.size()));
  main.insert(main.end(), debug.begin(), debug.end());
  if (version >= 500) {
    w.U32(static_cast<std::uint32_t>(source.Symbols.size() * 9));
    for (const TTrSymbol& s : source.Symbols) {
      w.U8(s.Number);
      w.U32(s.Offset);
      w.U32(s.Size);
    }
    const std::vector<std::uint8_t> packed = Deflate(optionsStream);
    w.U32(static_cast<std::uint32_t>(packed.size()));
    w.Bytes(packed.data(), packed.size());
    std::uint8_t check[4];
    for (int i = 0; i < 4; ++i) check[i] = static_cast<std::uint8_t>(source.Magic >> (8 * i));
    TTrEncryptKey(source.Password).Crypt(kCheckValueNonce, check, 4);
    w.Bytes(check, 4);
  }
  const std::vector<std::uint8_t> body = version >= 450 ? Deflate(main) : main;
  w.Bytes(body.data(), body.size());
  return out;
}

std::vector<std::uint8_t> ReplaceBlockOptions(const std::uint8_t* block, std::size_t size,
                                              const TTraciraModuleOptions& options,
                                              bool leaksFromMainModule) {
  // The whole block is read first: a damaged one is refused, not carried on.
  TTraciraModuleOptions current;
  current.DisableSharedDataWrite();
  const TTraciraExtraInformation info = LoadData(block, size, current);
  if (info.TraciraVersion < 6000)
    throw ETrDataError(
        L"Data block: version " + std::to_wstring(info.TraciraVersion) +
        L" has no leak options in its header; only blocks of version 6000 and later take new options.");
  TrByteReader r(block, size);
  const std::uint8_t* header = r.Take(14);  // magic, version, build time
  r.Take(2);                                // the leak options being replaced
  const std::uint32_t symbolBytes = r.U32();
  const std::uint8_t* symbols = r.Take(symbolBytes);
  r.Take(r.U32());  // the options being replaced
  std::vector<std::uint8_t> out;
  TrByteWriter w(out);
  w.Bytes(header, 14);
  w.U8(options.LeaksOptions().ToBits());
  w.U8(leaksFromMainModule ? 1 : 0);
  w.U32(symbolBytes);
  w.Bytes(symbols, symbolBytes);
  std::vector<std::uint8_t> optionsStream;
  options.SaveToStream(optionsStream);
  const std::vector<std::uint8_t> packed = Deflate(optionsStream);
  w.U32(static_cast<std::uint32_t>(packed.size()));
  w.Bytes(packed.data(), packed.size());
  w.Bytes(r.Current(), r.Remaining());  // password check and debug stream
  return out;
}

std::vector<std::uint8_t> WriteDataBlock_Old(const TTrBlockSource& source,
                                             const TTraciraModuleOptions& options) {
  std::vector<std::uint8_t> out;
  TrByteWriter w(out);
  w.U16(source.Version);
  w.F64(source.CompilationDate);
  options.SaveToStream(out);
  const std::vector<std::uint8_t> debug =
      WriteDebugStream(source.Units, MapTrDataVersion(source.Version), source.Password);
  w.U32(static_cast<std::uint32_t>(debug.size()));
  w.Bytes(debug.data(), debug.size());
  const auto length = static_cast<std::uint32_t>(out.size());
  w.U32(length);
  w.U32(source.Magic);
  return out;
}

}  // namespace tracira
