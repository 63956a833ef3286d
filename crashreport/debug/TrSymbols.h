// Names of code addresses from debug data outside the module's own data
// block: a ".map" file beside the module (GNU ld's map, or the detailed map
// of Borland's linker), DWARF line tables left in an unstripped image,
// TD32 debug data in the image or in a ".tds" file, and JCL debug data in a
// "JCLDEBUG" section or a ".jdbg" file; then the module's exported names.
// Everything here works on bytes and text, so the readers build and are
// tested (and fuzzed) natively; addresses are relative to the module's
// preferred image base (RVAs).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crashreport/core/TrTypes.h"
#include "rtl/Exceptions.h"

namespace tracira {

enum class TTrSourceKind { Map, Dwarf, TD32, Jcl };

class TTrDebugInfoSource;

// What an outside source knows about one address.
struct TTrLocationInfo {
  std::uint32_t Address = 0;  // the RVA asked for
  std::string UnitName;
  std::string ProcedureName;              // "Proc", "Class.Proc" or "Unit.Class.Proc"
  std::int32_t OffsetFromLineNumber = 0;  // lines from the procedure's first line (below it in inlined code)
  std::uint32_t LineNumber = 0;           // 0: unknown
  std::string SourceName;                 // source file, when known
  // The code comes from the crash reporter's own sources (only a source
  // that knows the full path can tell).
  bool TraciraCode = false;
  // [start, end) of the procedure, as RVAs (virtual addresses inside
  // TTrMapScanner), when the source knows it.
  std::optional<std::pair<std::uint32_t, std::uint32_t>> ProcedureRange;
  const TTrDebugInfoSource* DebugInfo = nullptr;
};

// One outside source of a module, chosen once per module.
class TTrDebugInfoSource {
 public:
  virtual ~TTrDebugInfoSource() = default;
  virtual TTrSourceKind Kind() const = 0;
  // Whether the source holds anything usable (it was read without error).
  bool ValidData() const { return fValid; }
  virtual std::optional<TTrLocationInfo> GetLocationInfo(std::uint32_t rva) const = 0;
  // The file the data came from.
  const std::filesystem::path& GetFileName() const { return fFileName; }
  // RVA of an address in a module loaded at moduleBase.
  static std::uint32_t VAFromAddr(std::uint32_t address, std::uint32_t moduleBase) {
    return address - moduleBase;
  }

 protected:
  bool fValid = false;
  std::filesystem::path fFileName;
};

// ---- map files -------------------------------------------------------------

// A map file in sorted arrays: segments, unit ranges, public names and line
// numbers. Addresses are virtual addresses at the linker's image base.
class TTrMapScanner {
 public:
  // Reads GNU ld's map ("-Wl,-Map") or Borland's detailed map; unknown
  // lines are skipped, so a damaged file yields what can be read.
  explicit TTrMapScanner(std::string_view text);

  // Addresses are the map's own: 64-bit in a map of an x86-64 module.
  struct Segment {
    std::uint64_t Start = 0;
    std::uint32_t Length = 0;
    std::string Name;
  };
  struct Unit {
    std::uint64_t Start = 0;
    std::uint32_t Length = 0;
    std::string Name, SourceName;
  };
  struct Public {
    std::uint64_t Address = 0;
    std::string Name;
  };
  struct Line {
    std::uint64_t Address = 0;
    std::uint32_t Number = 0;
    std::uint32_t UnitIndex = 0;  // into LineUnits()
  };

  bool IsDetailedBorlandMap() const { return fBorland; }
  // The image base written in a GNU map (0 when absent).
  std::uint64_t ImageBase() const { return fImageBase; }
  const std::vector<Segment>& Segments() const { return fSegments; }
  const std::vector<Unit>& Units() const { return fUnits; }
  const std::vector<Public>& Publics() const { return fPublics; }
  const std::vector<Line>& Lines() const { return fLines; }
  const std::vector<Unit>& LineUnits() const { return fLineUnits; }

  // Names a virtual address; nullopt outside every segment. The procedure's
  // range is given relative to base.
  std::optional<TTrLocationInfo> Lookup(std::uint64_t va, std::uint64_t base = 0) const;

 private:
  void ParseGnu(std::string_view text);
  void ParseBorland(std::string_view text);
  void Sort();
  bool fBorland = false;
  std::uint64_t fImageBase = 0;
  std::vector<Segment> fSegments;
  std::vector<Unit> fUnits;
  std::vector<Public> fPublics;
  std::vector<Line> fLines;
  std::vector<Unit> fLineUnits;
};

class TTrDebugInfoMap : public TTrDebugInfoSource {
 public:
  // imageBase: the module's preferred image base (from its PE header); 0
  // takes the map's own or derives it from the first code segment.
  TTrDebugInfoMap(std::string_view text, std::uint64_t imageBase, std::filesystem::path fileName = {});
  TTrSourceKind Kind() const override { return TTrSourceKind::Map; }
  std::optional<TTrLocationInfo> GetLocationInfo(std::uint32_t rva) const override;
  const TTrMapScanner& Scanner() const { return fScanner; }

 private:
  TTrMapScanner fScanner;
  std::uint64_t fImageBase = 0;
};

// ---- DWARF in an unstripped PE image ---------------------------------------

class TTrDebugInfoDwarf : public TTrDebugInfoSource {
 public:
  // image: the module file. Valid when it has a line table.
  explicit TTrDebugInfoDwarf(std::span<const std::uint8_t> image, std::filesystem::path fileName = {});
  TTrSourceKind Kind() const override { return TTrSourceKind::Dwarf; }
  std::optional<TTrLocationInfo> GetLocationInfo(std::uint32_t rva) const override;

 private:
  struct Row {
    std::uint32_t Rva = 0, Line = 0, File = 0;
    bool End = false;
  };
  struct Function {
    std::uint32_t Rva = 0;
    std::string Name;  // "Class.Proc" or "Proc"
  };
  std::optional<std::uint32_t> LineAt(std::uint32_t rva, std::uint32_t* file) const;
  std::vector<Row> fRows;
  struct File {
    std::string Name;          // base name
    bool TraciraCode = false;  // from the crash reporter's own folder
    bool operator==(const File&) const = default;
  };
  std::vector<File> fFiles;
  std::vector<Function> fFunctions;
};

// ---- TD32 ------------------------------------------------------------------

// Borland's TD32 debug data, CodeView 4 in structure: signature "FB09" or
// "FB0A", the offset of the subsection directory, the directory (header,
// then entries of subsection type, module index, offset and size), and the
// subsections read here: sstModule (0x120: the module's name index and
// code segments), sstAlignSym (0x125: procedures, S_LPROC32 0x204 and
// S_GPROC32 0x205), sstSrcModule (0x127: line tables per source file and
// segment) and sstNames (0x130: the name pool that the others index, from
// 1). In an image the data ends the file: the last 8 bytes are the
// signature and the distance from the data's start to the end of the file.
class TTrTD32InfoParser {
 public:
  struct Procedure {
    std::uint16_t Segment = 0;
    std::uint32_t Offset = 0, Size = 0;
    std::string Name;  // as stored (decorated)
    std::string Unit;
  };
  struct LineBlock {
    std::uint16_t Segment = 0;
    std::uint32_t Start = 0, End = 0;
    std::string SourceName, Unit;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> Lines;  // offset, line; sorted
  };
  // data: the TD32 data from its signature on. Raises EStreamReadError or
  // ETD32Error on damage.
  TTrTD32InfoParser(const std::uint8_t* data, std::size_t size);
  const std::vector<Procedure>& Procedures() const { return fProcedures; }
  const std::vector<LineBlock>& LineBlocks() const { return fBlocks; }

 private:
  std::vector<Procedure> fProcedures;
  std::vector<LineBlock> fBlocks;
};

class ETD32Error : public rtl::Exception {
 public:
  using Exception::Exception;
};

// Finds the TD32 data at the end of an image file; nullopt when there is none.
std::optional<std::pair<std::size_t, std::size_t>> TTrPeBorTD32Image(std::span<const std::uint8_t> file);

// Segment n of the debug data is the image's n-th section.
struct TTrSegmentMap {
  std::vector<std::uint32_t> SectionRvas;  // index 0 is segment 1
  std::optional<std::pair<std::uint16_t, std::uint32_t>> SegmentOffset(std::uint32_t rva) const;
};

class TTrTD32InfoScanner {
 public:
  TTrTD32InfoScanner(const std::uint8_t* data, std::size_t size, TTrSegmentMap segments);
  std::optional<TTrLocationInfo> Lookup(std::uint32_t rva) const;

 private:
  std::optional<std::uint32_t> LineAt(std::uint16_t segment, std::uint32_t offset,
                                      const TTrTD32InfoParser::LineBlock** block) const;
  TTrTD32InfoParser fParser;
  TTrSegmentMap fSegments;
};

class TTrDebugInfoTD32 : public TTrDebugInfoSource {
 public:
  // data: the TD32 data (a ".tds" file, or the tail of the image);
  // segments: the image's section table.
  TTrDebugInfoTD32(const std::uint8_t* data, std::size_t size, TTrSegmentMap segments,
                   std::filesystem::path fileName = {});
  TTrSourceKind Kind() const override { return TTrSourceKind::TD32; }
  std::optional<TTrLocationInfo> GetLocationInfo(std::uint32_t rva) const override;

 private:
  std::unique_ptr<TTrTD32InfoScanner> fScanner;
};

// ---- JCL debug data --------------------------------------------------------

// JCL's binary debug data: a header (signature "JDBG", version byte, the
// offsets of the units, source names, symbols, line numbers, words and
// module name, a check sum and its flag), then lists of variable-length
// numbers (7 bits a byte, low bits first, bit 7 set while more follow; the
// value 0x7FFFFFFF ends a list) stored as differences to the previous
// item: units and source names as (address, name), symbols as (address,
// first name, second name), line numbers as (address, line). Addresses are
// offsets from the module's code start (RVA - 0x1000); a name is the offset
// + 1 of its word in the words block, 0 for none. A word is either byte 1
// and text up to a NUL, or 6-bit codes packed four to three bytes, low bits
// first (0 ends; 1-26 a-z, 27-52 A-Z, 53-62 0-9, 63 "_").
class TTrBinDebugScanner {
 public:
  // Raises EStreamReadError or EJclDebugError on damage.
  TTrBinDebugScanner(const std::uint8_t* data, std::size_t size);
  std::optional<TTrLocationInfo> Lookup(std::uint32_t rva) const;
  const std::string& ModuleName() const { return fModuleName; }

  struct Item {
    std::uint32_t Address = 0;
    std::string Name;
  };
  struct LineItem {
    std::uint32_t Address = 0, Line = 0;
  };

 private:
  std::vector<Item> fUnits, fSources, fSymbols;
  std::vector<LineItem> fLines;
  std::string fModuleName;
};

class EJclDebugError : public rtl::Exception {
 public:
  using Exception::Exception;
};

inline constexpr std::uint32_t kJclDebugSignature = 0x4742444A;  // "JDBG"

// Packs one name as the words block stores it.
std::vector<std::uint8_t> EncodeJclWord(std::string_view name);

class TTrDebugInfoJedy : public TTrDebugInfoSource {
 public:
  TTrDebugInfoJedy(const std::uint8_t* data, std::size_t size, std::filesystem::path fileName = {});
  TTrSourceKind Kind() const override { return TTrSourceKind::Jcl; }
  std::optional<TTrLocationInfo> GetLocationInfo(std::uint32_t rva) const override;

 private:
  std::unique_ptr<TTrBinDebugScanner> fScanner;
};

// ---- choosing a module's source --------------------------------------------

// The outside source of the module file moduleFile (read from disk, with
// the files beside it): a ".map" file, DWARF in the image, TD32 in the image
// or a ".tds" file, JCL data in a "JCLDEBUG" section or a ".jdbg" file;
// the first that holds valid data, else none.
std::unique_ptr<TTrDebugInfoSource> AssignValidDebugInfo(const std::filesystem::path& moduleFile);

// ---- names -----------------------------------------------------------------

// A Borland-decorated procedure name made readable ("@Unit@TFoo@Bar$qqrv"
// with unit "Unit.pas" gives "TFoo.Bar").
std::string FormatProcName(std::string_view unitName, std::string_view decorated);

// An exported name as a call-stack entry names it: DebugDetail is
// ddUnitAndProcedure, ddProcedure, or ddModule for names left undecoded.
struct TTrPartialInfo {
  TTraciraDebugDetail Detail = ddModule;
  std::string UnitName, ClassName, ProcedureName;
};
TTrPartialInfo GetDebugPartialInfo(std::string_view exportName);

// Splits an outside source's procedure name into class and procedure.
void SplitProcedureName(std::string_view unitName, std::string_view name, std::string& className,
                        std::string& procedureName);

// Fills the names of entry from an outside source's answer, with the
// detail that it reaches.
void ApplyLocationInfo(const TTrLocationInfo& location, TTraciraDebugInfo& entry);

// Exported functions of a module, sorted by address.
struct TTraciraFunctionInfo {
  std::string Name;
  std::uint32_t Addr = 0;  // RVA
  std::uint32_t Size = 0;
};
using TTraciraFunctionsList = std::vector<TTraciraFunctionInfo>;
// Sorts by address and gives each function the size up to the next one
// (the last one up to end).
void SortFunctions(TTraciraFunctionsList& list, std::uint32_t end);
// The function whose range [Addr, Addr + Size] holds rva.
const TTraciraFunctionInfo* FindFunction(const TTraciraFunctionsList& list, std::uint32_t rva);

}  // namespace tracira
