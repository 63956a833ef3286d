// Writers of the outside debug formats that Debian's tools can't produce:
// Borland's TD32 data and JCL's binary debug data, from the formats'
// descriptions, and a detailed map of Borland's linker. Tests, fuzz seeds
// and benchmarks build their fixtures with them.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tracira::testing {

struct TD32Procedure {
  std::uint16_t Segment = 1;
  std::uint32_t Offset = 0, Size = 0;
  std::string Name;  // decorated
};
struct TD32SourceFile {
  std::string Name;
  std::uint16_t Segment = 1;
  std::vector<std::pair<std::uint32_t, std::uint16_t>> Lines;  // segment offset, line
};
struct TD32Module {
  std::string Name;
  std::vector<TD32Procedure> Procedures;
  std::vector<TD32SourceFile> Files;
};
// The data from "FB09" on, ending with the signature and the distance back
// to the start, as a linker appends it to an image.
std::vector<std::uint8_t> WriteTD32(const std::vector<TD32Module>& modules);

struct JclDebugData {
  std::string ModuleName;
  // Addresses are offsets from the module's code start (RVA - 0x1000).
  std::vector<std::pair<std::uint32_t, std::string>> Units, SourceNames;
  std::vector<std::tuple<std::uint32_t, std::string, std::string>> Symbols;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Lines;
};
std::vector<std::uint8_t> WriteJclDebug(const JclDebugData& data);

struct BorlandMapUnit {
  std::string Name, Source;
  std::uint32_t Offset = 0, Length = 0;                        // in segment 1
  std::vector<std::pair<std::uint32_t, std::string>> Publics;  // offset, "Unit.Class.Proc"
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Lines;  // line, offset
};
// A detailed map with segment 1 (.text) at codeStart (a virtual address).
std::string WriteBorlandMap(std::uint32_t codeStart, std::uint32_t codeLength,
                            const std::vector<BorlandMapUnit>& units);

}  // namespace tracira::testing
