// trdata: writes the crash reporter's data block into a linked program.
//
//   trdata [--options FILE] [--codepage N] [--password TEXT]
//          [--symbol NUMBER=NAME]... [--dump] IMAGE
//   trdata --dump-options [--codepage N] IMAGE
//
// Reads the image's DWARF line tables, inlined calls and function symbols,
// builds the block (UnitBuilder.h: units are runs of functions from one
// source file, inlined code is named by its caller's line; procedures are
// the demangled function names) and stores it as the RCDATA resource
// "TRDATA", so that the program can be stripped and still name every line.
// --symbol adds a routine to the block's symbol table by its demangled name
// (a suffix such as "Application::HandleException" is enough); --dump
// prints the units.
//
// The stored options come from an options file (--options,
// crashreport/core/TrOptionsFile.h), its texts stored in the program's code
// page (--codepage, 1251 unless given). Without a file they are the
// defaults with the log on and the freeze timeout 0. An image that already
// carries a block keeps its debug data and symbol table and takes the new
// options only, so a built (even stripped) program can be given other
// options without relinking. --dump-options prints a program's stored
// options in the options file's form. Nothing is written unless everything
// succeeds, and the program file is replaced in one step.
#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>

#include "crashreport/core/TrOptionsFile.h"
#include "crashreport/core/TrText.h"
#include "crashreport/debug/TrDataWriter.h"
#include "crashreport/debug/TrDwarfInlines.h"
#include "crashreport/debug/TrDwarfLines.h"
#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrProcNames.h"
#include "tools/trdata/UnitBuilder.h"

namespace {

constexpr std::uint32_t kCodeStart = 0x1000;  // the module's code start: handle + 4096

struct Function {
  std::uint32_t Rva;
  std::string Name;  // "Class.Proc" or "Proc"
  std::string Readable;
};

std::vector<std::uint8_t> ReadFile(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + name);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFileAtomically(const std::string& name, std::span<const std::uint8_t> data) {
  const std::string temp = name + ".trdata.tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + temp);
  }
  std::filesystem::permissions(temp, std::filesystem::status(name).permissions());
  std::filesystem::rename(temp, name);
}

std::vector<Function> Functions(const tracira::PeImage& image) {
  std::vector<Function> out;
  for (const tracira::NamedFunction& f : tracira::FunctionSymbols(image.Symbols(), !image.Is64()))
    if (f.Rva >= kCodeStart) out.push_back({f.Rva, tracira::StoredProcedureName(f.Readable), f.Readable});
  return out;
}

tracira::DwarfSections ReadDwarfSections(const tracira::PeImage& pe) {
  auto section = [&](const char* name) { return pe.SectionData(name).value_or(std::vector<std::uint8_t>{}); };
  return {section(".debug_info"),     section(".debug_abbrev"), section(".debug_line"),
          section(".debug_line_str"), section(".debug_str"),    section(".debug_ranges"),
          section(".debug_rnglists"), section(".debug_addr")};
}

double BuildTime() {
  // SOURCE_DATE_EPOCH makes the block, and so the program, reproducible.
  std::time_t now = std::time(nullptr);
  if (const char* epoch = std::getenv("SOURCE_DATE_EPOCH"))
    now = static_cast<std::time_t>(std::strtoll(epoch, nullptr, 10));
  return static_cast<double>(now) / 86400.0 + 25569.0;
}

constexpr const char* kUsage =
    "usage: trdata [--options FILE] [--codepage N] [--password TEXT] [--symbol NUMBER=NAME]... [--dump] "
    "IMAGE\n"
    "       trdata --dump-options [--codepage N] IMAGE\n";

const tracira::ResKey kRcData{std::uint16_t{10}};
const tracira::ResKey kTrDataName{std::u16string(u"TRDATA")};

// The image's "TRDATA" resource, if it has one.
const std::vector<std::uint8_t>* FindBlock(const tracira::ResourceTree& resources) {
  const auto type = resources.find(kRcData);
  if (type == resources.end()) return nullptr;
  const auto name = type->second.find(kTrDataName);
  if (name == type->second.end() || name->second.empty()) return nullptr;
  return &name->second.begin()->second.Data;
}

struct Arguments {
  std::string Image, Password, OptionsFile;
  unsigned CodePage = 1251;
  std::vector<std::pair<int, std::string>> SymbolNames = {
      // The application object's exception routines, in the project's GUI library.
      {tracira::VCL1_ID, "gui::Application::HandleException"},
      {tracira::VCL2_ID, "gui::Application::ShowException"},
  };
  bool ExtraSymbols = false;
  bool Dump = false;
  bool DumpOptions = false;
};

std::optional<Arguments> ParseArguments(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--password" && hasValue) {
      a.Password = argv[++i];
    } else if (arg == "--options" && hasValue) {
      a.OptionsFile = argv[++i];
    } else if (arg == "--codepage" && hasValue) {
      const std::string value = argv[++i];
      char* end = nullptr;
      const unsigned long n = std::strtoul(value.c_str(), &end, 10);
      if (value.empty() || *end != '\0' || n == 0 || n > 65535)
        throw std::runtime_error("--codepage wants a Windows code page number, such as 1251");
      a.CodePage = static_cast<unsigned>(n);
      if (!tracira::Utf8ToCodePage("A", a.CodePage))
        throw std::runtime_error("code page " + value + " is not known here");
    } else if (arg == "--symbol" && hasValue) {
      const std::string assignment = argv[++i];
      const std::size_t eq = assignment.find('=');
      if (eq == std::string::npos) throw std::runtime_error("--symbol wants NUMBER=NAME");
      a.SymbolNames.emplace_back(std::stoi(assignment.substr(0, eq)), assignment.substr(eq + 1));
      a.ExtraSymbols = true;
    } else if (arg == "--dump") {
      a.Dump = true;
    } else if (arg == "--dump-options") {
      a.DumpOptions = true;
    } else if (!arg.empty() && arg[0] != '-' && a.Image.empty()) {
      a.Image = arg;
    } else {
      return std::nullopt;
    }
  }
  if (a.Image.empty()) return std::nullopt;
  if (a.DumpOptions && (a.Dump || !a.OptionsFile.empty() || !a.Password.empty() || a.ExtraSymbols))
    return std::nullopt;
  return a;
}

// The block of a program that doesn't carry one yet, from its DWARF.
std::vector<std::uint8_t> BuildBlock(const Arguments& args, const tracira::PeImage& pe,
                                     const tracira::TTraciraModuleOptions& options,
                                     bool leaksFromMainModule) {
  const std::string& image = args.Image;
  const tracira::DwarfSections dwarf = ReadDwarfSections(pe);
  if (dwarf.Line.empty())
    throw std::runtime_error(image + " has no DWARF line table (build it with -g, before stripping)");
  const auto tables = tracira::ReadLineTables(dwarf.Line, dwarf.LineStr, dwarf.Str);
  std::vector<std::string> paths;
  const std::vector<tracira::AddressRow> rows = tracira::RowsByAddress(tables, paths);
  std::vector<tracira::InlinedCall> calls;
  try {
    calls = tracira::ReadInlinedCalls(dwarf, tables, paths);
  } catch (const std::exception& e) {
    // Without them inlined code keeps the line table's file and line.
    std::fprintf(stderr, "trdata: warning: %s: inlined calls not read: %s\n", image.c_str(), e.what());
  }
  const std::vector<Function> functions = Functions(pe);
  std::vector<trdata::Function> starts;
  for (const Function& f : functions) starts.push_back({f.Rva - kCodeStart, f.Name});

  tracira::TTrBlockSource source;
  source.CompilationDate = BuildTime();
  source.Password = args.Password;
  source.Units = trdata::BuildUnits(trdata::AttributeInlinedCode(rows, std::move(calls), paths), paths,
                                    pe.ImageBase() + kCodeStart, starts);
  for (const auto& [number, name] : args.SymbolNames) {
    for (std::size_t i = 0; i < functions.size(); ++i) {
      const std::string& r = functions[i].Readable;
      const std::string bare = r.substr(0, r.find('('));
      if (bare.size() >= name.size() && bare.compare(bare.size() - name.size(), name.size(), name) == 0) {
        const std::uint32_t end = i + 1 < functions.size() ? functions[i + 1].Rva : functions[i].Rva;
        source.Symbols.push_back(
            {static_cast<std::uint8_t>(number), functions[i].Rva - kCodeStart, end - functions[i].Rva});
        break;
      }
    }
  }
  // The crash reporter's own code, by where its sources live: call stacks
  // hide it. Adjacent stretches are stored as one.
  for (const tracira::TTrUnit& u : source.Units) {
    if (!tracira::IsCrashReporterSource(u.SourcePath)) continue;
    tracira::TTrSymbol* last = source.Symbols.empty() ? nullptr : &source.Symbols.back();
    if (last && last->Number == tracira::TraciraCode_ID && last->Offset + last->Size == u.Offset)
      last->Size += u.Size;
    else
      source.Symbols.push_back({tracira::TraciraCode_ID, u.Offset, u.Size});
  }
  source.LeaksOptions = options.LeaksOptions();
  source.LeaksFromMainModule = leaksFromMainModule;
  std::vector<std::uint8_t> block = tracira::WriteDataBlock(source, options);
  if (args.Dump) {
    for (const tracira::TTrUnit& u : source.Units)
      std::printf("%08X %6X %s (%zu rows)\n", u.Offset, u.Size, u.Name.c_str(), u.Rows.size());
  }
  std::printf("trdata: %s: %zu units, %zu procedures, %zu symbols, block of %zu bytes\n", image.c_str(),
              source.Units.size(), functions.size(), source.Symbols.size(), block.size());
  return block;
}

int DumpOptions(const Arguments& args) {
  const tracira::PeImage pe(ReadFile(args.Image));
  const tracira::ResourceTree resources = pe.ReadResources();
  const std::vector<std::uint8_t>* block = FindBlock(resources);
  if (block == nullptr) throw std::runtime_error(args.Image + " carries no data block");
  tracira::TTraciraModuleOptions options;
  options.DisableSharedDataWrite();
  const tracira::TTraciraExtraInformation info =
      tracira::LoadData(block->data(), block->size(), options, {}, true);
  std::printf("; Crash reporter options stored in %s (data block version %u, texts in code page %u).\n",
              std::filesystem::path(args.Image).filename().string().c_str(), info.TraciraVersion,
              args.CodePage);
  const std::string text =
      tracira::WriteOptionsFile(options.Data(), {info.LeaksFromMainModule}, args.CodePage);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

// A build command of the options file, run by the shell; a failure is the build's.
void RunBuildCommand(const char* name, const std::string& command) {
  if (command.empty()) return;
  std::fflush(stdout);
  const int status = std::system(command.c_str());
  if (status != 0)
    throw std::runtime_error(std::string(name) + " failed (status " + std::to_string(status) +
                             "): " + command);
}

int Run(int argc, char** argv) {
  const std::optional<Arguments> parsed = ParseArguments(argc, argv);
  if (!parsed) {
    std::cerr << kUsage;
    return 2;
  }
  const Arguments& args = *parsed;
  if (args.DumpOptions) return DumpOptions(args);

  // The options first: a bad file stops the tool before the program is read.
  tracira::TTraciraModuleOptions options;
  options.DisableSharedDataWrite();
  bool leaksFromMainModule = true;
  if (!args.OptionsFile.empty()) {
    std::ifstream in(args.OptionsFile, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open the options file " + args.OptionsFile);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const tracira::TTrOptionsFile file = tracira::ReadOptionsFile(text, args.OptionsFile, args.CodePage);
    options.Assign(file.Options);
    leaksFromMainModule = file.Block.LeaksFromMainModule;
  } else {
    options.SetActivateLog(true);
    options.SetFreezeTimeout(0);
  }

  RunBuildCommand("PreBuildEvent", options.PreBuildEvent());
  try {
    tracira::PeImage pe(ReadFile(args.Image));
    tracira::ResourceTree resources = pe.ReadResources();
    std::vector<std::uint8_t> block;
    if (const std::vector<std::uint8_t>* current = FindBlock(resources)) {
      // The debug data was written from the program as it was linked, and
      // its names are encrypted with the password it was written with.
      if (!args.Password.empty() || args.ExtraSymbols || args.Dump)
        throw std::runtime_error(
            args.Image +
            " already carries a data block: only its options can be replaced (relink the "
            "program for new debug data, a password or symbols)");
      block = tracira::ReplaceBlockOptions(current->data(), current->size(), options, leaksFromMainModule);
      std::printf("trdata: %s: options replaced, debug data kept, block of %zu bytes\n", args.Image.c_str(),
                  block.size());
    } else {
      block = BuildBlock(args, pe, options, leaksFromMainModule);
    }
    resources[kRcData][kTrDataName] = {{std::uint16_t{0}, {block, 0}}};
    pe.WriteResources(resources);
    WriteFileAtomically(args.Image, pe.Bytes());
  } catch (...) {
    try {
      RunBuildCommand("PostFailureBuildEvent", options.PostFailureBuildEvent());
    } catch (const std::exception& e) {
      std::fprintf(stderr, "trdata: error: %s\n", e.what());
    }
    throw;
  }
  RunBuildCommand("PostSuccessfulBuildEvent", options.PostSuccessfulBuildEvent());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "trdata: error: %s\n", e.what());
    return 1;
  }
}
