#include "crashreport/debug/TrDebug.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <queue>
#include <set>

#include "crashreport/core/TrStream.h"

namespace tracira {

namespace {

constexpr std::size_t kOptionsLimit = 16u << 20;
constexpr std::size_t kMainStreamLimit = 256u << 20;

std::string Base64(const std::uint8_t* data, std::size_t size) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (std::size_t i = 0; i < size; i += 3) {
    const std::uint32_t n = (std::uint32_t{data[i]} << 16) |
                            (i + 1 < size ? std::uint32_t{data[i + 1]} << 8 : 0) |
                            (i + 2 < size ? data[i + 2] : 0u);
    out += kAlphabet[(n >> 18) & 63];
    out += kAlphabet[(n >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(n >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[n & 63] : '=';
  }
  return out;
}

// One stored name part: length bytes at r, decoded by the block's version.
// key() gives the key of the module's password; it is asked for only when
// the part is encrypted.
template <typename Key>
std::string ReadNamePart(const TTraciraExtraInformation& info, TrByteReader& r, std::uint8_t length,
                         const Key& key) {
  const auto nonce = static_cast<std::uint32_t>(r.Position());
  const std::uint8_t* stored = r.Take(length);
  if (info.TraciraVersion < 500) {
    std::string s(length, '\0');
    for (std::size_t i = 0; i < length; ++i) s[i] = static_cast<char>(stored[i] ^ kStringScrambleKey);
    return s;
  }
  if (!info.IsValidEncryptPassword) return "?" + Base64(stored, length);
  std::string s(reinterpret_cast<const char*>(stored), length);
  key().Crypt(nonce, reinterpret_cast<std::uint8_t*>(s.data()), s.size());
  return s;
}

template <typename Key>
std::string ReadName(const TTraciraExtraInformation& info, TrByteReader& r, bool unitName, const Key& key) {
  const std::uint8_t length = r.U8();
  const bool qualified = info.TraciraVersion >= 502 && (length & 0x80);
  std::string name = ReadNamePart(info, r, qualified ? (length & 0x7F) : length, key);
  if (qualified) {
    const std::uint8_t second = r.U8();
    name += '.';
    name += ReadNamePart(info, r, second & 0x7F, key);
  }
  const bool unreadable = info.TraciraVersion >= 500 && !info.IsValidEncryptPassword;
  if (unitName) {
    if (unreadable)
      name.insert(1, "p");
    else if (!name.empty() && name.back() == '.')
      name.pop_back();  // a file without an extension, such as <optional>
    else if (name.find('.') == std::string::npos)
      name += kSourceFileExtension;
  }
  return name;
}

// A procedure's stored name as class and name: "Class.Name", "Name", or
// ".Name" for a method of the class before (prior).
void SplitProcedureName(const std::string& name, const std::string& prior, std::string& className,
                        std::string& procName) {
  if (!name.empty() && name[0] == '.') {
    className = prior;
    procName = name.substr(1);
  } else if (const std::size_t dot = name.find('.'); dot != std::string::npos) {
    className = name.substr(0, dot);
    procName = name.substr(dot + 1);
  } else {
    className.clear();
    procName = name;
  }
}

void SkipEncodedName(const TTraciraExtraInformation& info, TrByteReader& r) {
  const std::uint8_t length = r.U8();
  const bool qualified = info.TraciraVersion >= 502 && (length & 0x80);
  r.Take(qualified ? (length & 0x7F) : length);
  if (qualified) r.Take(r.U8() & (info.TraciraVersion >= 502 ? 0x7F : 0xFF));
}

}  // namespace

std::string ShortenName(std::string_view name, std::size_t max) {
  if (name.size() <= max) return std::string(name);
  if (max <= kNameCutMark.size()) return std::string(name.substr(0, max));
  const std::size_t kept = max - kNameCutMark.size();
  const std::size_t head = (kept + 1) / 2, tail = kept - head;
  std::string out(name.substr(0, head));
  out += kNameCutMark;
  out += name.substr(name.size() - tail);
  return out;
}

std::uint16_t MapTrDataVersion(std::uint16_t stored) {
  if (stored >= 600 && stored <= 602) return static_cast<std::uint16_t>(6000 + (stored - 600));
  return stored;
}

std::vector<std::uint8_t> Inflate(const std::uint8_t* data, std::size_t size, std::size_t limit) {
  z_stream zs{};
  if (inflateInit(&zs) != Z_OK) throw ETrDataError(L"Data block: the decompressor can't start.");
  std::vector<std::uint8_t> out;
  zs.next_in = const_cast<Bytef*>(data);
  zs.avail_in = static_cast<uInt>(size);
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (out.size() >= limit) {
      inflateEnd(&zs);
      throw ETrDataError(L"Data block: a compressed part expands beyond its limit.");
    }
    const std::size_t chunk =
        std::min<std::size_t>(std::max<std::size_t>(out.size(), 4096), limit - out.size());
    const std::size_t old = out.size();
    out.resize(old + chunk);
    zs.next_out = out.data() + old;
    zs.avail_out = static_cast<uInt>(chunk);
    rc = inflate(&zs, Z_NO_FLUSH);
    out.resize(old + chunk - zs.avail_out);
    if (rc == Z_STREAM_END) break;
    if (rc != Z_OK || (zs.avail_in == 0 && zs.avail_out != 0)) {
      inflateEnd(&zs);
      throw ETrDataError(L"Data block: a compressed part is damaged.");
    }
  }
  inflateEnd(&zs);
  return out;
}

bool CheckMagicCode(std::uint32_t magic, const std::uint8_t checkValue[4], const std::string& password) {
  std::uint8_t plain[4] = {checkValue[0], checkValue[1], checkValue[2], checkValue[3]};
  TTrEncryptKey(password).Crypt(kCheckValueNonce, plain, 4);
  const std::uint32_t value = plain[0] | (std::uint32_t{plain[1]} << 8) | (std::uint32_t{plain[2]} << 16) |
                              (std::uint32_t{plain[3]} << 24);
  return value == magic;
}

namespace {

// The debug stream at the end of a main stream: length and bytes.
std::vector<std::uint8_t> ReadDebugStream(TrByteReader& r) {
  const std::uint32_t length = r.U32();
  if (length > r.Remaining()) throw ETrDataError(L"Data block: the debug stream's length exceeds the data.");
  const std::uint8_t* p = r.Take(length);
  return {p, p + length};
}

}  // namespace

TTraciraExtraInformation LoadData(const std::uint8_t* data, std::size_t size, TTraciraModuleOptions& options,
                                  const TPasswordRequest& passwordRequest, bool onlyOptions) {
  TTraciraExtraInformation info;
  TTraciraModuleOptions loaded;
  loaded.DisableSharedDataWrite();
  try {
    TrByteReader r(data, size);
    const std::uint32_t magic = r.U32();
    if (magic != kTrDataMagic && magic != kTrDataMagicAlt)
      throw ETrDataError(L"Data block: unknown magic number.");
    info.TraciraVersion = MapTrDataVersion(r.U16());
    if (info.TraciraVersion > kTrDataVersion)
      throw ETrDataError(L"Data block: version " + std::to_wstring(info.TraciraVersion) +
                         L" is newer than this reader's.");
    info.CompilationDate = r.F64();
    if (info.TraciraVersion >= 6000) {
      info.LeaksOptions = TLeaksOptions::FromBits(r.U8());
      info.LeaksFromMainModule = r.U8() != 0;
    }
    std::vector<std::uint8_t> main;
    if (info.TraciraVersion >= 500) {
      const std::uint32_t symbolBytes = r.U32();
      if (symbolBytes > r.Remaining())
        throw ETrDataError(L"Data block: the symbol table's length exceeds the data.");
      TrByteReader symbols(r.Take(symbolBytes), symbolBytes);
      while (symbols.Remaining() >= 9) {
        TTrSymbol s;
        s.Number = symbols.U8();
        s.Offset = symbols.U32();
        s.Size = symbols.U32();
        info.Symbols.push_back(s);
      }
      const std::uint32_t optionsBytes = r.U32();
      if (optionsBytes > r.Remaining())
        throw ETrDataError(L"Data block: the options' length exceeds the data.");
      const std::vector<std::uint8_t> stream = Inflate(r.Take(optionsBytes), optionsBytes, kOptionsLimit);
      loaded.LoadFromStream(stream.data(), stream.size());
      const std::uint8_t* check = r.Take(4);
      info.EncryptPassword = passwordRequest ? passwordRequest() : std::string();
      info.IsValidEncryptPassword = CheckMagicCode(magic, check, info.EncryptPassword);
      if (!onlyOptions) main = Inflate(r.Current(), r.Remaining(), kMainStreamLimit);
    } else {
      info.IsValidEncryptPassword = true;  // names are only XOR-ed
      if (info.TraciraVersion >= 450)
        main = Inflate(r.Current(), r.Remaining(), kMainStreamLimit);
      else
        main.assign(r.Current(), r.Current() + r.Remaining());
    }
    TrByteReader m(main.data(), main.size());
    if (info.TraciraVersion < 500) {
      const std::size_t used = loaded.LoadFromStream(main.data(), main.size());
      m.Take(used);
    }
    if (!onlyOptions) info.DebugInformation = ReadDebugStream(m);
  } catch (const EStreamReadError&) {
    throw ETrDataError(L"Data block: the data ends too early.");
  } catch (const EOptionsStreamError& e) {
    throw ETrDataError(L"Data block: " + e.Message());
  }
  const std::string moduleName = options.ModuleName();
  options.Assign(&loaded);
  options.SetModuleName(moduleName);
  return info;
}

std::optional<std::uint16_t> DataBlockVersion(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return std::nullopt;
  TrByteReader r(data, size);
  const std::uint32_t magic = r.U32();
  if (magic != kTrDataMagic && magic != kTrDataMagicAlt) return std::nullopt;
  return MapTrDataVersion(r.U16());
}

std::optional<std::uint16_t> AppendedBlockVersion(const std::uint8_t* file, std::size_t size) {
  if (size < 10) return std::nullopt;
  TrByteReader tail(file + size - 8, 8);
  const std::uint32_t length = tail.U32();
  const std::uint32_t magic = tail.U32();
  if ((magic != kTrDataMagic && magic != kTrDataMagicAlt) || length < 2 || length > size - 8)
    return std::nullopt;
  TrByteReader r(file + size - 8 - length, length);
  return MapTrDataVersion(r.U16());
}

TTraciraExtraInformation LoadData_Old(const std::uint8_t* file, std::size_t size,
                                      TTraciraModuleOptions& options) {
  if (size < 8) throw ETrDataError(L"Appended data block: the file is too short.");
  TrByteReader tail(file + size - 8, 8);
  const std::uint32_t length = tail.U32();
  const std::uint32_t magic = tail.U32();
  if (magic != kTrDataMagic && magic != kTrDataMagicAlt)
    throw ETrDataError(L"Appended data block: none found.");
  if (length > size - 8) throw ETrDataError(L"Appended data block: its length exceeds the file.");
  TTraciraExtraInformation info;
  TTraciraModuleOptions loaded;
  loaded.DisableSharedDataWrite();
  try {
    TrByteReader r(file + size - 8 - length, length);
    info.TraciraVersion = MapTrDataVersion(r.U16());
    if (info.TraciraVersion > kTrDataVersion)
      throw ETrDataError(L"Appended data block: its version is newer than this reader's.");
    info.CompilationDate = r.F64();
    info.IsValidEncryptPassword = true;
    r.Take(loaded.LoadFromStream(r.Current(), r.Remaining()));
    info.DebugInformation = ReadDebugStream(r);
  } catch (const EStreamReadError&) {
    throw ETrDataError(L"Appended data block: the data ends too early.");
  } catch (const EOptionsStreamError& e) {
    throw ETrDataError(L"Appended data block: " + e.Message());
  }
  const std::string moduleName = options.ModuleName();
  options.Assign(&loaded);
  options.SetModuleName(moduleName);
  return info;
}

std::string ReadEncodeString(const TTraciraExtraInformation& info, TrByteReader& r, bool unitName) {
  std::optional<TTrEncryptKey> key;
  return ReadName(info, r, unitName, [&]() -> const TTrEncryptKey& {
    if (!key) key.emplace(info.EncryptPassword);
    return *key;
  });
}

TTrLineEntry ReadLineEntry(TrByteReader& r, std::uint16_t version) {
  TTrLineEntry e;
  const std::uint8_t first = *r.Take(1);
  if ((first & 1) == 0) {
    e.LineAdvance = ((first >> 6) & 3) + 1;
    e.CodeAdvance = ((first >> 1) & 31) + 1u;
    return e;
  }
  if ((first & 2) == 0) {
    e.LineAdvance = ((first >> 5) & 7) + 1;
    e.CodeAdvance = ((first >> 2) & 7) + 1u;
    e.NewProcedure = true;
    return e;
  }
  e.NewProcedure = (first & 4) != 0;
  if ((first & 8) == 0) {
    const std::uint16_t word = static_cast<std::uint16_t>(first | (r.U8() << 8));
    e.LineAdvance = ((word >> 11) & 31) + 1;
    e.CodeAdvance = ((word >> 4) & 127) + 1u;
    return e;
  }
  const std::uint8_t* rest = r.Take(3);
  const std::uint32_t word =
      first | (std::uint32_t{rest[0]} << 8) | (std::uint32_t{rest[1]} << 16) | (std::uint32_t{rest[2]} << 24);
  const std::uint32_t v = word >> 4;
  if (v == 0x0FFEFFFE && version >= 423) {
    e.LineAdvance = static_cast<std::int16_t>(static_cast<std::uint16_t>(r.U16() + 1));
    e.CodeAdvance = r.U16() + 1u;
    return e;
  }
  // The advance is kept to 16 bits: 0xFFFF + 1 is 0, and from 0x8000 on it
  // steps back, as optimised code's line tables do.
  e.LineAdvance = static_cast<std::int16_t>(static_cast<std::uint16_t>((v & 0xFFFF) + 1));
  const std::uint32_t code = (v >> 16) & 0xFFF;
  e.CodeAdvance = code == 4095 ? 0 : code + 1;
  return e;
}

namespace {

struct TUnitHeader {
  std::size_t NamePos = 0;
  std::uint32_t FirstLine = 0, Start = 0, CodeSize = 0, DataSize = 0;
  std::size_t LinesPos = 0;
};

// Reads the unit record at r's position and moves past it.
TUnitHeader ReadUnitHeader(const TTraciraExtraInformation& info, TrByteReader& r) {
  TUnitHeader h;
  h.NamePos = r.Position();
  SkipEncodedName(info, r);
  h.FirstLine = r.U32();
  h.Start = r.U32();
  h.CodeSize = r.U32();
  h.DataSize = r.U32();
  h.LinesPos = r.Position();
  r.Take(h.DataSize);
  return h;
}

TrByteReader ReaderAt(const std::vector<std::uint8_t>& stream, std::size_t position) {
  TrByteReader r(stream.data(), stream.size());
  r.Take(position);
  return r;
}

// Walks one unit's line data for codeOffset, which lies in its range. The
// names are decoded once the answer is known: the unit's, the procedure's
// and, for a method stored as ".Name", those before it up to its class.
std::optional<TTrSourceInfo> DecodeUnit(const TTraciraExtraInformation& info, const TUnitHeader& h,
                                        std::uint32_t codeOffset) {
  const std::vector<std::uint8_t>& stream = info.DebugInformation;
  const std::uint64_t end = std::uint64_t{h.Start} + h.CodeSize;
  TrByteReader lines = ReaderAt(stream, h.LinesPos);
  const std::size_t linesEnd = h.LinesPos + h.DataSize;
  std::uint32_t line = h.FirstLine;
  std::uint64_t offset = h.Start;
  std::vector<std::size_t> procedures;  // name positions
  std::uint32_t procLine = h.FirstLine;
  auto result = [&]() {
    std::optional<TTrEncryptKey> key;
    auto keyOf = [&]() -> const TTrEncryptKey& {
      if (!key) key.emplace(info.EncryptPassword);
      return *key;
    };
    auto nameAt = [&](std::size_t position, bool unitName) {
      TrByteReader r = ReaderAt(stream, position);
      return ReadName(info, r, unitName, keyOf);
    };
    TTrSourceInfo out;
    out.UnitName = nameAt(h.NamePos, true);
    // Back to the last name that isn't a method of the class before.
    std::size_t first = procedures.size();
    std::vector<std::string> names;
    while (first > 0) {
      names.push_back(nameAt(procedures[--first], false));
      if (names.back().empty() || names.back()[0] != '.') break;
    }
    std::string className;
    for (auto name = names.rbegin(); name != names.rend(); ++name)
      SplitProcedureName(*name, std::string(className), className, out.ProcedureName);
    out.ClassName = std::move(className);
    out.Line = line;
    out.ProcOffsetLine = static_cast<std::int32_t>(line) - static_cast<std::int32_t>(procLine);
    return out;
  };
  while (lines.Position() < linesEnd) {
    const TTrLineEntry e = ReadLineEntry(lines, info.TraciraVersion);
    if (codeOffset >= offset && codeOffset < offset + e.CodeAdvance) return result();
    line += static_cast<std::uint32_t>(e.LineAdvance);
    offset += e.CodeAdvance;
    if (e.NewProcedure) {
      procedures.push_back(lines.Position());
      SkipEncodedName(info, lines);
      procLine = line;
    }
    if (lines.Position() > linesEnd) break;  // an entry ran past the unit's line data
  }
  if (codeOffset >= offset && codeOffset < end) return result();
  return std::nullopt;
}

// Entries between two checkpoints of the index: the most a lookup decodes.
constexpr std::uint32_t kCheckpointEvery = 16;

}  // namespace

std::optional<TTrSourceInfo> GetSourceInfoByAddr(const TTraciraExtraInformation& info,
                                                 std::uint32_t codeOffset) {
  const std::vector<std::uint8_t>& stream = info.DebugInformation;
  try {
    TrByteReader r(stream.data(), stream.size());
    const std::uint32_t units = r.U32();
    for (std::uint32_t u = 0; u < units; ++u) {
      const TUnitHeader h = ReadUnitHeader(info, r);
      if (codeOffset < h.Start || codeOffset - h.Start >= h.CodeSize) continue;
      if (auto found = DecodeUnit(info, h, codeOffset)) return found;
    }
  } catch (const EStreamReadError&) {
  }
  return std::nullopt;
}

// Decoded names of one module, filled as lookups return them.
class TTrNameCache {
 public:
  struct Procedure {
    std::string Class, Name;
  };
  std::mutex Lock;
  std::optional<TTrEncryptKey> Key;
  std::vector<std::optional<std::string>> Units;
  std::vector<std::optional<Procedure>> Procedures;
};

TTrUnitIndex::TTrUnitIndex() : fNames(std::make_unique<TTrNameCache>()) {}
TTrUnitIndex::TTrUnitIndex(TTrUnitIndex&&) noexcept = default;
TTrUnitIndex& TTrUnitIndex::operator=(TTrUnitIndex&&) noexcept = default;
TTrUnitIndex::~TTrUnitIndex() = default;

TTrUnitIndex::TTrUnitIndex(const TTraciraExtraInformation& info) : TTrUnitIndex() {
  const std::vector<std::uint8_t>& stream = info.DebugInformation;
  if (stream.size() >= UINT32_MAX) return;
  try {
    TrByteReader r(stream.data(), stream.size());
    const std::uint32_t units = r.U32();
    for (std::uint32_t u = 0; u < units; ++u) {
      const std::size_t record = r.Position();
      const TUnitHeader h = ReadUnitHeader(info, r);
      if (h.CodeSize == 0) continue;
      Unit unit;
      unit.Record = static_cast<std::uint32_t>(record);
      unit.LinesPos = static_cast<std::uint32_t>(h.LinesPos);
      unit.LinesEnd = static_cast<std::uint32_t>(h.LinesPos + h.DataSize);
      unit.FirstLine = h.FirstLine, unit.Start = h.Start, unit.Size = h.CodeSize;
      IndexUnit(info, unit);
      fUnits.push_back(unit);
    }
  } catch (const EStreamReadError&) {
  }
  fNames->Units.resize(fUnits.size());
  fNames->Procedures.resize(fProcedures.size());

  // Which unit answers each stretch of code: of those whose range holds it,
  // the first in the stream.
  std::vector<std::uint64_t> points;
  for (const Unit& u : fUnits) points.push_back(u.Start), points.push_back(std::uint64_t{u.Start} + u.Size);
  std::sort(points.begin(), points.end());
  points.erase(std::unique(points.begin(), points.end()), points.end());
  std::vector<std::uint32_t> byStart(fUnits.size());
  for (std::uint32_t i = 0; i < byStart.size(); ++i) byStart[i] = i;
  std::stable_sort(byStart.begin(), byStart.end(),
                   [&](std::uint32_t a, std::uint32_t b) { return fUnits[a].Start < fUnits[b].Start; });
  std::set<std::uint32_t> open;  // units whose range holds the stretch, by stream order
  std::priority_queue<std::pair<std::uint64_t, std::uint32_t>,
                      std::vector<std::pair<std::uint64_t, std::uint32_t>>, std::greater<>>
      ends;
  std::size_t next = 0;
  for (std::size_t i = 0; i + 1 < points.size(); ++i) {
    const std::uint64_t p = points[i];
    for (; next < byStart.size() && fUnits[byStart[next]].Start <= p; ++next) {
      open.insert(byStart[next]);
      ends.emplace(std::uint64_t{fUnits[byStart[next]].Start} + fUnits[byStart[next]].Size, byStart[next]);
    }
    for (; !ends.empty() && ends.top().first <= p; ends.pop()) open.erase(ends.top().second);
    if (open.empty()) continue;
    const std::uint32_t unit = *open.begin();
    if (!fStretches.empty() && fStretches.back().Unit == unit && fStretches.back().End == p)
      fStretches.back().End = points[i + 1];
    else
      fStretches.push_back({p, points[i + 1], unit});
  }
}

// One walk over the unit's line data, as DecodeUnit walks it, keeping
// checkpoints and where the procedures' names lie.
void TTrUnitIndex::IndexUnit(const TTraciraExtraInformation& info, Unit& unit) {
  unit.FirstCheckpoint = static_cast<std::uint32_t>(fCheckpoints.size());
  unit.FirstProcedure = static_cast<std::uint32_t>(fProcedures.size());
  TrByteReader lines = ReaderAt(info.DebugInformation, unit.LinesPos);
  std::uint64_t offset = unit.Start;
  std::uint32_t line = unit.FirstLine, procedure = kNone, entries = 0;
  auto checkpoint = [&] {
    fCheckpoints.push_back({offset, static_cast<std::uint32_t>(lines.Position()), line, procedure});
  };
  checkpoint();
  while (lines.Position() < unit.LinesEnd) {
    TTrLineEntry e;
    try {
      e = ReadLineEntry(lines, info.TraciraVersion);
    } catch (const EStreamReadError&) {
      unit.FailAt = offset;
      break;
    }
    line += static_cast<std::uint32_t>(e.LineAdvance);
    offset += e.CodeAdvance;
    if (e.NewProcedure) {
      const std::size_t name = lines.Position();
      try {
        SkipEncodedName(info, lines);
      } catch (const EStreamReadError&) {
        unit.FailAt = offset;
        break;
      }
      fProcedures.push_back({static_cast<std::uint32_t>(name), line, procedure});
      procedure = static_cast<std::uint32_t>(fProcedures.size() - 1);
    }
    if (e.NewProcedure || ++entries % kCheckpointEvery == 0 || lines.Position() > unit.LinesEnd) checkpoint();
    if (lines.Position() > unit.LinesEnd) break;
  }
  unit.Checkpoints = static_cast<std::uint32_t>(fCheckpoints.size()) - unit.FirstCheckpoint;
}

const TTrUnitIndex::Unit* TTrUnitIndex::AnsweringUnit(std::uint32_t codeOffset) const {
  auto s = std::upper_bound(fStretches.begin(), fStretches.end(), codeOffset,
                            [](std::uint32_t o, const Stretch& x) { return o < x.Start; });
  if (s == fStretches.begin() || codeOffset >= std::prev(s)->End) return nullptr;
  const Unit& unit = fUnits[std::prev(s)->Unit];
  // The walk would meet damaged data before it reaches codeOffset.
  if (codeOffset >= unit.FailAt) return nullptr;
  return &unit;
}

std::optional<TTrSourceInfo> TTrUnitIndex::Lookup(const TTraciraExtraInformation& info,
                                                  std::uint32_t codeOffset) const {
  const Unit* unit = AnsweringUnit(codeOffset);
  if (!unit) return std::nullopt;
  const auto first = fCheckpoints.begin() + unit->FirstCheckpoint;
  const auto c =
      std::prev(std::upper_bound(first, first + unit->Checkpoints, codeOffset,
                                 [](std::uint32_t o, const Checkpoint& x) { return o < x.Offset; }));
  std::uint64_t offset = c->Offset;
  std::uint32_t line = c->Line, procedure = c->Procedure;
  try {
    TrByteReader lines = ReaderAt(info.DebugInformation, c->Pos);
    while (lines.Position() < unit->LinesEnd) {
      const TTrLineEntry e = ReadLineEntry(lines, info.TraciraVersion);
      if (codeOffset >= offset && codeOffset < offset + e.CodeAdvance)
        return Answer(info, *unit, line, procedure);
      line += static_cast<std::uint32_t>(e.LineAdvance);
      offset += e.CodeAdvance;
      if (e.NewProcedure) {
        SkipEncodedName(info, lines);
        procedure = procedure == kNone ? unit->FirstProcedure : procedure + 1;
      }
      if (lines.Position() > unit->LinesEnd) break;
    }
  } catch (const EStreamReadError&) {
    return std::nullopt;
  }
  if (codeOffset >= offset && codeOffset < std::uint64_t{unit->Start} + unit->Size)
    return Answer(info, *unit, line, procedure);
  return std::nullopt;
}

TTrSourceInfo TTrUnitIndex::Answer(const TTraciraExtraInformation& info, const Unit& unit, std::uint32_t line,
                                   std::uint32_t procedure) const {
  TTrSourceInfo out;
  out.Line = line;
  out.ProcOffsetLine =
      static_cast<std::int32_t>(line) -
      static_cast<std::int32_t>(procedure == kNone ? unit.FirstLine : fProcedures[procedure].Line);
  TTrNameCache& names = *fNames;
  auto keyOf = [&]() -> const TTrEncryptKey& {
    if (!names.Key) names.Key.emplace(info.EncryptPassword);
    return *names.Key;
  };
  auto nameAt = [&](std::size_t position, bool unitName) {
    TrByteReader r = ReaderAt(info.DebugInformation, position);
    return ReadName(info, r, unitName, keyOf);
  };
  std::lock_guard lock(names.Lock);
  std::optional<std::string>& unitName = names.Units[static_cast<std::size_t>(&unit - fUnits.data())];
  if (!unitName) unitName = nameAt(unit.Record, true);
  out.UnitName = *unitName;
  if (procedure == kNone) return out;
  if (!names.Procedures[procedure]) {
    // Back to a procedure whose class is known: decoded before, or named
    // with its class (or none); then forward, each taking the class before.
    std::vector<std::uint32_t> chain;
    std::vector<std::string> stored;
    for (std::uint32_t p = procedure; p != kNone && !names.Procedures[p]; p = fProcedures[p].Previous) {
      chain.push_back(p);
      stored.push_back(nameAt(fProcedures[p].NamePos, false));
      if (stored.back().empty() || stored.back()[0] != '.') break;
    }
    const std::uint32_t before = fProcedures[chain.back()].Previous;
    const bool method = !stored.back().empty() && stored.back()[0] == '.';
    std::string className = method && before != kNone ? names.Procedures[before]->Class : std::string();
    for (std::size_t i = chain.size(); i-- > 0;) {
      TTrNameCache::Procedure resolved;
      SplitProcedureName(stored[i], className, resolved.Class, resolved.Name);
      className = resolved.Class;
      names.Procedures[chain[i]] = std::move(resolved);
    }
  }
  out.ClassName = names.Procedures[procedure]->Class;
  out.ProcedureName = names.Procedures[procedure]->Name;
  return out;
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> TTrUnitIndex::ProcedureRange(
    const TTraciraExtraInformation& info, std::uint32_t codeOffset) const {
  if (!Lookup(info, codeOffset)) return std::nullopt;
  const Unit& unit = *AnsweringUnit(codeOffset);
  try {
    TrByteReader lines = ReaderAt(info.DebugInformation, unit.LinesPos);
    const std::uint64_t end = std::uint64_t{unit.Start} + unit.Size;
    std::uint64_t offset = unit.Start;
    std::optional<std::uint64_t> start;
    // The procedure of codeOffset is the last one that starts at or before
    // it; it ends where the next one starts.
    while (lines.Position() < unit.LinesEnd) {
      const TTrLineEntry e = ReadLineEntry(lines, info.TraciraVersion);
      if (e.NewProcedure && offset + e.CodeAdvance > codeOffset) {
        if (!start) return std::nullopt;
        return std::make_pair(static_cast<std::uint32_t>(*start),
                              static_cast<std::uint32_t>(offset + e.CodeAdvance));
      }
      offset += e.CodeAdvance;
      if (e.NewProcedure) {
        SkipEncodedName(info, lines);
        start = offset;
      }
      if (lines.Position() > unit.LinesEnd) break;
    }
    if (start) return std::make_pair(static_cast<std::uint32_t>(*start), static_cast<std::uint32_t>(end));
  } catch (const EStreamReadError&) {
  }
  return std::nullopt;
}

TTrUnitIndex IndexUnits(const TTraciraExtraInformation& info) { return TTrUnitIndex(info); }

std::optional<TTrSourceInfo> GetSourceInfoByAddr(const TTraciraExtraInformation& info,
                                                 const TTrUnitIndex& index, std::uint32_t codeOffset) {
  return index.Lookup(info, codeOffset);
}

std::optional<std::pair<std::uint32_t, std::uint32_t>> GetProcedureRangeByAddr(
    const TTraciraExtraInformation& info, const TTrUnitIndex& index, std::uint32_t codeOffset) {
  return index.ProcedureRange(info, codeOffset);
}

std::optional<std::uint32_t> GetSymbolOffset(const TTraciraExtraInformation& info, std::uint8_t symbol) {
  for (const TTrSymbol& s : info.Symbols)
    if (s.Number == symbol) return s.Offset;
  return std::nullopt;
}

bool IsTraciraCode(const TTraciraExtraInformation& info, std::uint32_t codeOffset) {
  return std::any_of(info.Symbols.begin(), info.Symbols.end(), [&](const TTrSymbol& s) {
    return s.Number == TraciraCode_ID && codeOffset - s.Offset < s.Size;
  });
}

bool IsCrashReporterSource(std::string_view path) {
  // The folder comes from the build (TRACIRA_SOURCE_DIR); paths are compared
  // in their normal form with forward slashes. Made anew each time: a
  // static copy would stay on the heap past the crash reporter's end.
  if (path.empty()) return false;
  const std::string folder =
      std::filesystem::path(TRACIRA_SOURCE_DIR).lexically_normal().generic_string() + "/";
  const std::string normal = std::filesystem::path(path).lexically_normal().generic_string();
  return normal.size() > folder.size() && normal.compare(0, folder.size(), folder) == 0;
}

std::string SharedDataName(std::uint32_t processId, std::uint32_t moduleHandle) {
  char name[32];
  std::snprintf(name, sizeof name, "%08X%08XMODULE", processId, moduleHandle);
  return name;
}

std::vector<std::uint8_t> BuildSharedOptionsBlock(const TTraciraModuleOptions& options) {
  std::vector<std::uint8_t> stream;
  options.SaveToStream(stream);
  std::vector<std::uint8_t> block;
  TrByteWriter w(block);
  w.U32(static_cast<std::uint32_t>(4 + 1 + stream.size()));
  w.U8(1);
  w.Bytes(stream.data(), stream.size());
  return block;
}

bool ApplySharedOptionsBlock(const std::uint8_t* data, std::size_t size, TTraciraModuleOptions& options) {
  try {
    TrByteReader r(data, size);
    const std::uint32_t blockSize = r.U32();
    if (blockSize < 5 || blockSize > size) throw ETrDataError(L"Shared options: bad block size.");
    if (r.U8() == 0) return false;
    TTraciraModuleOptions loaded;
    loaded.DisableSharedDataWrite();
    loaded.SetModuleName(options.ModuleName());
    loaded.LoadFromStream(r.Current(), blockSize - 5);
    options.Assign(&loaded);
    return true;
  } catch (const EStreamReadError&) {
    throw ETrDataError(L"Shared options: the block ends too early.");
  } catch (const EOptionsStreamError& e) {
    throw ETrDataError(L"Shared options: " + e.Message());
  }
}

}  // namespace tracira
