// Name lookups per second on one fixed set of addresses of a program built
// with its data block (Tavrix.exe): the block through the reader used at
// run time, the project's DWARF reader on the unstripped image, addr2line
// and llvm-symbolizer; how far their answers agree; and the block's size
// against the program's code and line table. Prints figures, asserts none.
//   trdata_lookup_bench PROGRAM.exe [COUNT [--differences]]
// (bench/crashreport/debug/run.sh); --differences lists the addresses where
// the block's answer is neither the DWARF reader's nor its rule's for
// inlined code, or not addr2line's by that rule.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrProcNames.h"
#include "crashreport/debug/TrSymbols.h"
#include "tools/trdata/UnitBuilder.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One answer: source file (base name), line and, where the source knows
// it, the procedure as "Class.Proc".
struct Answer {
  std::string File;
  std::uint32_t Line = 0;
  std::string Procedure;
  bool Named() const { return Line != 0; }
  bool SameLine(const Answer& o) const { return File == o.File && Line == o.Line; }
};

// A location printed by addr2line or llvm-symbolizer: "path:line" with an
// optional ":column" or " (discriminator n)".
struct Location {
  std::string Path;
  std::uint32_t Line = 0;
};
bool Digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}
Location ParseLocation(std::string text) {
  if (const std::size_t space = text.find(" ("); space != std::string::npos) text.resize(space);
  std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) return {text, 0};
  if (const std::size_t before = text.rfind(':', colon - 1);
      before != std::string::npos && Digits(text.substr(before + 1, colon - before - 1)) &&
      Digits(text.substr(colon + 1)))
    colon = before;  // path:line:column
  return {text.substr(0, colon),
          static_cast<std::uint32_t>(std::strtoul(text.c_str() + colon + 1, nullptr, 10))};
}

// What the tools print for one address: the inline chain, innermost first.
// The first location is the line table's; each further one is the call
// site of the level before, in the function one level out.
using Chain = std::vector<Location>;

Answer LineTableAnswer(const Chain& chain) {
  if (chain.empty() || chain.front().Line == 0) return {};
  return {BaseName(chain.front().Path), chain.front().Line, {}};
}

// The line the data block gives (tools/trdata/UnitBuilder.h): code inlined
// from a header is named by the innermost place of the chain in a source
// file or in the file of the function it was compiled into (the chain's
// outermost place).
Answer BlockRuleAnswer(const Chain& chain) {
  if (chain.empty() || chain.front().Line == 0) return {};
  const std::string& own = chain.back().Path;
  for (const Location& l : chain)
    if (l.Path == own || trdata::IsSourceFile(l.Path)) return {BaseName(l.Path), l.Line, {}};
  return {};
}

// A procedure name as the block holds it: class and name shortened to the
// 127 bytes each part can hold.
std::string Stored(const std::string& procedure) {
  const std::size_t dot = procedure.find('.');
  if (dot == std::string::npos || dot == 0) return tracira::ShortenName(procedure, 127);
  return tracira::ShortenName(procedure.substr(0, dot), 127) + "." +
         tracira::ShortenName(procedure.substr(dot + 1), 127);
}

std::vector<std::string> ReadLines(const std::string& file) {
  std::ifstream in(file);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Runs a tool on every address (one per line on stdin), once with a single
// address to measure its start-up, and returns the seconds spent on the
// lookups alone with the tool's output lines.
struct ToolRun {
  bool Ok = false;
  double Seconds = 0;
  std::vector<std::string> Output;
};
ToolRun RunTool(const std::string& command, const std::vector<std::uint32_t>& vas, const std::string& tmp) {
  auto writeInput = [&](std::size_t count, const std::string& name) {
    std::ofstream out(name);
    char hex[16];
    for (std::size_t i = 0; i < count; ++i) {
      std::snprintf(hex, sizeof hex, "0x%x\n", vas[i]);
      out << hex;
    }
  };
  writeInput(1, tmp + "/one.txt");
  writeInput(vas.size(), tmp + "/all.txt");
  auto run = [&](const std::string& input) {
    const auto t0 = Clock::now();
    const int rc = std::system((command + " <" + input + " >" + tmp + "/out.txt 2>/dev/null").c_str());
    return std::make_pair(rc == 0, Seconds(t0));
  };
  double startup = 1e9;
  for (int i = 0; i < 3; ++i) startup = std::min(startup, run(tmp + "/one.txt").second);
  const auto [ok, all] = run(tmp + "/all.txt");
  return {ok, std::max(all - startup, 1e-9), ReadLines(tmp + "/out.txt")};
}

// addr2line -a -f -i: an address line "0x...", then function and location
// lines for each inline level.
std::vector<Chain> ParseAddr2line(const std::vector<std::string>& lines, std::size_t count) {
  std::vector<Chain> chains;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].rfind("0x", 0) == 0 && lines[i].find(':') == std::string::npos) {
      chains.emplace_back();
      continue;
    }
    if (!chains.empty() && i + 1 < lines.size()) chains.back().push_back(ParseLocation(lines[++i]));
  }
  chains.resize(count);
  return chains;
}

// llvm-symbolizer --print-address: the address, function and location lines
// for each level, an empty line.
std::vector<Chain> ParseSymbolizer(const std::vector<std::string>& lines, std::size_t count) {
  std::vector<Chain> chains;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].empty()) continue;
    if (lines[i].rfind("0x", 0) == 0 && lines[i].find(':') == std::string::npos) {
      chains.emplace_back();
      continue;
    }
    if (!chains.empty() && i + 1 < lines.size()) chains.back().push_back(ParseLocation(lines[++i]));
  }
  chains.resize(count);
  return chains;
}

void PrintRate(const char* what, std::size_t count, double seconds, const char* note = "") {
  std::printf("  %-44s %10.0f lookups/s%s\n", what, static_cast<double>(count) / seconds, note);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM.exe [COUNT]\n", argv[0]);
    return 2;
  }
  const std::string program = argv[1];
  const std::size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 10000;
  const bool listDifferences = argc > 3 && std::string(argv[3]) == "--differences";
  std::ifstream in(program, std::ios::binary);
  const std::vector<std::uint8_t> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const tracira::PeImage image(file);
  auto resources = image.ReadResources();
  const auto& block =
      resources[tracira::ResKey(std::uint16_t{10})][tracira::ResKey(std::u16string(u"TRDATA"))][0].Data;
  if (block.empty()) {
    std::fprintf(stderr, "%s has no data block\n", program.c_str());
    return 1;
  }
  std::uint32_t textRva = 0, textSize = 0, lineSize = 0;
  for (const auto& s : image.Sections()) {
    if (s.Name == ".text") textRva = s.VirtualAddress, textSize = s.VirtualSize;
    if (s.Name == ".debug_line") lineSize = s.VirtualSize;
  }

  // The project's DWARF reader picks the addresses: random ones in .text
  // that it names (inside functions with line information).
  auto t0 = Clock::now();
  const tracira::TTrDebugInfoDwarf dwarf(file);
  const double dwarfLoad = Seconds(t0);
  if (!dwarf.ValidData()) {
    std::fprintf(stderr, "%s has no DWARF line table (give the unstripped program)\n", program.c_str());
    return 1;
  }
  std::mt19937 rng(20240517);
  std::vector<std::uint32_t> rvas;
  while (rvas.size() < count) {
    const std::uint32_t rva = textRva + static_cast<std::uint32_t>(rng() % textSize);
    if (dwarf.GetLocationInfo(rva)) rvas.push_back(rva);
  }

  tracira::TTraciraModuleOptions options;
  t0 = Clock::now();
  const tracira::TTraciraExtraInformation info = tracira::LoadData(block.data(), block.size(), options);
  const double blockLoad = Seconds(t0);

  std::printf("%s: %zu addresses inside its functions (fixed seed)\n\n", program.c_str(), rvas.size());
  std::printf("lookups per second (native, one thread):\n");

  // The block, through the index that the crash reporter builds per module.
  std::vector<Answer> blockAnswers(rvas.size());
  t0 = Clock::now();
  const tracira::TTrUnitIndex index = tracira::IndexUnits(info);
  const double indexTime = Seconds(t0);
  double blockFirst = 0, blockBest = 1e9;
  for (int round = 0; round < 5; ++round) {
    t0 = Clock::now();
    for (std::size_t i = 0; i < rvas.size(); ++i) {
      auto found = tracira::GetSourceInfoByAddr(info, index, rvas[i] - 0x1000);
      if (round == 0 && found)
        blockAnswers[i] = {
            found->UnitName, found->Line,
            found->ClassName.empty() ? found->ProcedureName : found->ClassName + "." + found->ProcedureName};
    }
    const double s = Seconds(t0);
    if (round == 0) blockFirst = s;
    blockBest = std::min(blockBest, s);
  }
  PrintRate("data block, first pass (names decoded)", rvas.size(), blockFirst);
  PrintRate("data block, best of 5 passes", rvas.size(), blockBest);

  std::vector<Answer> dwarfAnswers(rvas.size());
  double dwarfBest = 1e9;
  for (int round = 0; round < 5; ++round) {
    t0 = Clock::now();
    for (std::size_t i = 0; i < rvas.size(); ++i) {
      auto found = dwarf.GetLocationInfo(rvas[i]);
      if (round == 0 && found)
        dwarfAnswers[i] = {found->UnitName, found->LineNumber, Stored(found->ProcedureName)};
    }
    dwarfBest = std::min(dwarfBest, Seconds(t0));
  }
  PrintRate("DWARF reader, best of 5 passes", rvas.size(), dwarfBest);

  std::vector<std::uint32_t> vas;
  for (const std::uint32_t rva : rvas) vas.push_back(image.ImageBase() + rva);
  const std::filesystem::path tmp =
      std::filesystem::temp_directory_path() / ("trdata_bench." + std::to_string(::getpid()));
  std::filesystem::create_directories(tmp);
  const ToolRun a2l =
      RunTool("i686-w64-mingw32-addr2line -a -f -i -C -e '" + program + "'", vas, tmp.string());
  PrintRate("addr2line -a -f -i -C (start-up subtracted)", vas.size(), a2l.Seconds,
            a2l.Ok ? "" : "  (failed)");
  const ToolRun sym = RunTool("llvm-symbolizer --print-address --obj='" + program + "'", vas, tmp.string());
  PrintRate("llvm-symbolizer (start-up subtracted)", vas.size(), sym.Seconds, sym.Ok ? "" : "  (failed)");
  std::filesystem::remove_all(tmp);

  const std::vector<Chain> a2lChains = ParseAddr2line(a2l.Output, vas.size());
  const std::vector<Chain> symChains = ParseSymbolizer(sym.Output, vas.size());
  std::size_t sameAsDwarf = 0, inlinedDiffer = 0, otherDiffer = 0, unnamed = 0, blockA2l = 0, blockSym = 0,
              dwarfA2l = 0, dwarfSym = 0, symA2l = 0;
  for (std::size_t i = 0; i < rvas.size(); ++i) {
    const Answer& b = blockAnswers[i];
    const Answer& d = dwarfAnswers[i];
    const Answer byRule = BlockRuleAnswer(symChains[i]);
    unnamed += !b.Named();
    const bool same = b.SameLine(d) && b.Procedure == d.Procedure;
    const bool inlined = !same && b.Procedure == d.Procedure && b.SameLine(byRule) &&
                         !LineTableAnswer(symChains[i]).SameLine(byRule);
    sameAsDwarf += same;
    inlinedDiffer += inlined;
    otherDiffer += !same && !inlined;
    blockA2l += b.SameLine(BlockRuleAnswer(a2lChains[i]));
    blockSym += b.SameLine(byRule);
    dwarfA2l += d.SameLine(LineTableAnswer(a2lChains[i]));
    dwarfSym += d.SameLine(LineTableAnswer(symChains[i]));
    symA2l += LineTableAnswer(symChains[i]).SameLine(LineTableAnswer(a2lChains[i]));
    if (listDifferences && ((!same && !inlined) || !b.SameLine(BlockRuleAnswer(a2lChains[i])))) {
      std::printf("%08x block %s:%u %s | DWARF reader %s:%u %s | addr2line", vas[i], b.File.c_str(), b.Line,
                  b.Procedure.c_str(), d.File.c_str(), d.Line, d.Procedure.c_str());
      for (const Location& l : a2lChains[i]) std::printf(" %s:%u", BaseName(l.Path).c_str(), l.Line);
      std::printf(" | llvm-symbolizer");
      for (const Location& l : symChains[i]) std::printf(" %s:%u", BaseName(l.Path).c_str(), l.Line);
      std::printf("\n");
    }
  }
  const std::size_t n = rvas.size();
  std::printf("\nagreement on the %zu addresses (file and line; with the DWARF reader also the procedure):\n",
              n);
  std::printf("  block = DWARF reader                                      %6zu\n", sameAsDwarf);
  std::printf("  block names code inlined from a header by the caller's line %4zu\n", inlinedDiffer);
  std::printf("  block differs otherwise                                   %6zu (unnamed: %zu)\n",
              otherDiffer, unnamed);
  std::printf("  block = addr2line, llvm-symbolizer by the block's rule    %6zu, %zu\n", blockA2l, blockSym);
  std::printf("  DWARF reader = addr2line, llvm-symbolizer (line table)    %6zu, %zu\n", dwarfA2l, dwarfSym);
  std::printf("  llvm-symbolizer = addr2line (line table)                  %6zu\n", symA2l);

  std::printf("\nsize:\n");
  std::printf("  data block %zu bytes (debug stream %zu bytes uncompressed, read in %.1f ms)\n", block.size(),
              info.DebugInformation.size(), blockLoad * 1000);
  std::printf("  .text %u bytes: block / .text = %.2f\n", textSize, double(block.size()) / textSize);
  std::printf("  .debug_line %u bytes: block / .debug_line = %.2f\n", lineSize,
              double(block.size()) / lineSize);
  std::printf("  unit index built in %.2f ms (%zu units); DWARF reader loaded in %.1f ms\n", indexTime * 1000,
              index.UnitCount(), dwarfLoad * 1000);
  return 0;
}
