// Writes data blocks: the build tool's side of TrDebug. It can write every
// layout the reader accepts, so the reader's tests use blocks of each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crashreport/debug/TrDebug.h"

namespace tracira {

// A line starts at Offset; a procedure starts there too when Procedure is
// set ("Class.Name" or "Name").
struct TTrLineRow {
  std::uint32_t Offset = 0;
  std::uint32_t Line = 0;
  std::string Procedure;
  bool StartsProcedure = false;
};

struct TTrUnit {
  std::string Name;  // source file name
  std::uint32_t FirstLine = 0;
  std::uint32_t Offset = 0;  // from the module's code start
  std::uint32_t Size = 0;
  std::vector<TTrLineRow> Rows;  // ascending offsets inside [Offset, Offset + Size)
  std::string SourcePath{};      // full path, for the build tool's choices (not stored)
};

struct TTrBlockSource {
  std::uint16_t Version = kTrDataVersion;  // as stored (600 stays 600)
  std::uint32_t Magic = kTrDataMagic;
  double CompilationDate = 0;
  TLeaksOptions LeaksOptions;
  bool LeaksFromMainModule = false;
  std::vector<TTrSymbol> Symbols;
  std::string Password;
  std::vector<TTrUnit> Units;
};

// Appends one line-data entry in its shortest form. Advances beyond one
// entry's reach are split over several entries (the flag goes on the last).
void WriteLineEntries(std::vector<std::uint8_t>& out, std::int64_t lineAdvance, std::uint64_t codeAdvance,
                      bool newProcedure, std::uint16_t version);

// The debug stream of units (names encoded for the version and password).
std::vector<std::uint8_t> WriteDebugStream(const std::vector<TTrUnit>& units, std::uint16_t version,
                                           const std::string& password);

// A whole "TRDATA" block in the layout of source.Version.
std::vector<std::uint8_t> WriteDataBlock(const TTrBlockSource& source, const TTraciraModuleOptions& options);

// A copy of block with its options and leak-option bytes replaced; its symbol table,
// password check and debug stream stay byte for byte. Takes blocks of
// version 6000 and later; raises ETrDataError for others and for a damaged
// block.
std::vector<std::uint8_t> ReplaceBlockOptions(const std::uint8_t* block, std::size_t size,
                                              const TTraciraModuleOptions& options, bool leaksFromMainModule);

// The oldest layout: data, length and magic, to be appended to a file.
std::vector<std::uint8_t> WriteDataBlock_Old(const TTrBlockSource& source,
                                             const TTraciraModuleOptions& options);

std::vector<std::uint8_t> Deflate(const std::vector<std::uint8_t>& data);

}  // namespace tracira
