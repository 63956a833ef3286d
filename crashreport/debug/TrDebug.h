// The module's data block: header, symbol table of hooked routines, stored
// options and the compact line and procedure table (the debug stream), and
// the lookup of a code address in that table. Everything here works on byte
// buffers; only LoadDebugInformation (TrDebugWin.cpp) touches the module.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crashreport/core/TrCore.h"
#include "crashreport/core/TrStream.h"
#include "crashreport/debug/TrEncrypt.h"

namespace tracira {

inline constexpr std::uint32_t kTrDataMagic = 0x100FAB10;
inline constexpr std::uint32_t kTrDataMagicAlt = 0x000FAB10;
// The newest layout this reader knows; the build tool writes it.
inline constexpr std::uint16_t kTrDataVersion = 6006;
// Appended to unit names stored without an extension. A stored name that
// ends in "." is a file that has none (the C++ library's headers): the reader
// drops the dot and appends nothing.
inline constexpr const char* kSourceFileExtension = ".cpp";

// A name longer than max keeps its start and its end, with kNameCutMark
// for what was cut out of its middle.
inline constexpr std::string_view kNameCutMark = "~~";
std::string ShortenName(std::string_view name, std::size_t max);

// The unit name to store for a source file, so that it reads back unchanged.
inline std::string StoredUnitName(std::string fileName) {
  if (fileName.find('.') == std::string::npos) fileName += '.';
  return fileName;
}

// A damaged or unusable block: bad magic, newer version, bad length, failed
// decompression. The message says which.
class ETrDataError : public rtl::Exception {
 public:
  using Exception::Exception;
};

// "600" and friends are the old spelling of 6000, 6001, 6002.
std::uint16_t MapTrDataVersion(std::uint16_t stored);

struct TTrSymbol {
  std::uint8_t Number = 0;
  std::uint32_t Offset = 0;  // from the module's code start (handle + 4096)
  std::uint32_t Size = 0;
  bool operator==(const TTrSymbol&) const = default;
};

struct TTraciraExtraInformation {
  std::uint16_t TraciraVersion = 0;  // mapped
  double CompilationDate = 0;        // days since 1899-12-30, UTC
  TLeaksOptions LeaksOptions;
  bool LeaksFromMainModule = false;
  std::vector<TTrSymbol> Symbols;
  std::vector<std::uint8_t> DebugInformation;  // the debug stream
  std::string EncryptPassword;
  bool IsValidEncryptPassword = false;
};

// Asked once the options are read; returns the module's encryption password.
using TPasswordRequest = std::function<std::string()>;

// Reads a "TRDATA" resource. Options go into options (only when the whole
// block is good: a damaged block changes nothing). Raises ETrDataError.
TTraciraExtraInformation LoadData(const std::uint8_t* data, std::size_t size, TTraciraModuleOptions& options,
                                  const TPasswordRequest& passwordRequest = {}, bool onlyOptions = false);

// The oldest layout, appended to the module file: the last 8 bytes are the
// data's length and the magic. Raises ETrDataError.
TTraciraExtraInformation LoadData_Old(const std::uint8_t* file, std::size_t size,
                                      TTraciraModuleOptions& options);

// The version (mapped) written in a block's header, and in the header of the
// oldest layout at the end of a file; nullopt without the magic.
std::optional<std::uint16_t> DataBlockVersion(const std::uint8_t* data, std::size_t size);
std::optional<std::uint16_t> AppendedBlockVersion(const std::uint8_t* file, std::size_t size);

// Whether the 4 check bytes are the block's magic encrypted with password.
bool CheckMagicCode(std::uint32_t magic, const std::uint8_t checkValue[4], const std::string& password);

// Decodes one encoded name at the reader's position; r reads the debug
// stream (a name's position in it is its encryption nonce). Raises
// EStreamReadError when the data ends early.
std::string ReadEncodeString(const TTraciraExtraInformation& info, TrByteReader& r, bool unitName);

struct TTrSourceInfo {
  std::string UnitName;
  std::string ClassName;
  std::string ProcedureName;
  std::uint32_t Line = 0;
  std::int32_t ProcOffsetLine = 0;
  bool operator==(const TTrSourceInfo&) const = default;
};

// Names codeOffset (address - module handle - 4096) from the debug stream.
// Only the unit whose range holds it is decoded; the others are skipped by
// their stored lengths. A damaged stream gives no result.
std::optional<TTrSourceInfo> GetSourceInfoByAddr(const TTraciraExtraInformation& info,
                                                 std::uint32_t codeOffset);

class TTrNameCache;

// What a module's lookups need of its debug stream, found by one walk over
// it: which unit answers each stretch of code (of overlapping units, the
// first in the stream, as the walk over the whole stream finds it), and
// inside each unit a checkpoint of the decoder's state at every procedure
// start and every few entries, so that a lookup decodes a handful of
// entries. Names are decoded only when a lookup returns them, with the key
// derived once, and kept. Build it on the first lookup of a module; it
// serves lookups from several threads.
class TTrUnitIndex {
 public:
  TTrUnitIndex();
  // A damaged stream gives the units read up to the damage.
  explicit TTrUnitIndex(const TTraciraExtraInformation& info);
  TTrUnitIndex(TTrUnitIndex&&) noexcept;
  TTrUnitIndex& operator=(TTrUnitIndex&&) noexcept;
  ~TTrUnitIndex();

  std::size_t UnitCount() const { return fUnits.size(); }

  // The same answer as GetSourceInfoByAddr(info, codeOffset); info is the
  // one the index was built from.
  std::optional<TTrSourceInfo> Lookup(const TTraciraExtraInformation& info, std::uint32_t codeOffset) const;
  // See GetProcedureRangeByAddr.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> ProcedureRange(const TTraciraExtraInformation& info,
                                                                        std::uint32_t codeOffset) const;

 private:
  struct Unit {
    std::uint32_t Record = 0, LinesPos = 0, LinesEnd = 0;
    std::uint32_t FirstLine = 0, Start = 0, Size = 0;
    std::uint64_t FailAt = UINT64_MAX;  // the walk meets damaged data from this offset on
    std::uint32_t FirstCheckpoint = 0, Checkpoints = 0, FirstProcedure = 0;
  };
  // The decoder's state before the entry at Pos.
  struct Checkpoint {
    std::uint64_t Offset = 0;
    std::uint32_t Pos = 0, Line = 0, Procedure = 0;
  };
  struct Procedure {
    std::uint32_t NamePos = 0, Line = 0;
    std::uint32_t Previous = 0;  // the unit's procedure before (a method's name may take its class)
  };
  struct Stretch {
    std::uint64_t Start = 0, End = 0;
    std::uint32_t Unit = 0;
  };
  static constexpr std::uint32_t kNone = UINT32_MAX;

  void IndexUnit(const TTraciraExtraInformation& info, Unit& unit);
  const Unit* AnsweringUnit(std::uint32_t codeOffset) const;
  TTrSourceInfo Answer(const TTraciraExtraInformation& info, const Unit& unit, std::uint32_t line,
                       std::uint32_t procedure) const;
  std::vector<Unit> fUnits;
  std::vector<Checkpoint> fCheckpoints;
  std::vector<Procedure> fProcedures;
  std::vector<Stretch> fStretches;  // sorted, not overlapping
  std::unique_ptr<TTrNameCache> fNames;
};

// The index of info's debug stream.
TTrUnitIndex IndexUnits(const TTraciraExtraInformation& info);
// index.Lookup(info, codeOffset).
std::optional<TTrSourceInfo> GetSourceInfoByAddr(const TTraciraExtraInformation& info,
                                                 const TTrUnitIndex& index, std::uint32_t codeOffset);

// [start, end) of the procedure that holds codeOffset, as code offsets: from
// the procedure's first entry to the next procedure's first entry or the
// unit's end. nullopt outside every unit or before a unit's first procedure.
std::optional<std::pair<std::uint32_t, std::uint32_t>> GetProcedureRangeByAddr(
    const TTraciraExtraInformation& info, const TTrUnitIndex& index, std::uint32_t codeOffset);

// Whether codeOffset lies in a stretch of the crash reporter's own code
// (symbol entries TraciraCode_ID).
bool IsTraciraCode(const TTraciraExtraInformation& info, std::uint32_t codeOffset);

// Whether a source file (a full path, as a build tool or DWARF names it)
// lies in the crash reporter's own folder (crashreport/ of this source
// tree): its code is hidden from call stacks, wherever the file comes from.
bool IsCrashReporterSource(std::string_view path);

// Offset of a hooked routine from the module's code start.
std::optional<std::uint32_t> GetSymbolOffset(const TTraciraExtraInformation& info, std::uint8_t symbol);

// One line-data entry as stored.
struct TTrLineEntry {
  std::int32_t LineAdvance = 0;
  std::uint32_t CodeAdvance = 0;
  bool NewProcedure = false;
  bool operator==(const TTrLineEntry&) const = default;
};
TTrLineEntry ReadLineEntry(TrByteReader& r, std::uint16_t version);

// Shared options of one module: named "<pid><module handle>MODULE" (8
// upper-case hex digits each); size word, flag byte 1, options stream.
std::string SharedDataName(std::uint32_t processId, std::uint32_t moduleHandle);
std::vector<std::uint8_t> BuildSharedOptionsBlock(const TTraciraModuleOptions& options);
// Loads the options of a shared block whose flag is set; false when the
// flag is clear. Raises ETrDataError on damage (options unchanged).
bool ApplySharedOptionsBlock(const std::uint8_t* data, std::size_t size, TTraciraModuleOptions& options);

// zlib inflate of a whole buffer; raises ETrDataError on failure or beyond limit.
std::vector<std::uint8_t> Inflate(const std::uint8_t* data, std::size_t size, std::size_t limit);

}  // namespace tracira
