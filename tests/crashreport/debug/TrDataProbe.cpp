// Names code addresses through the data block embedded in a program: its own
// image, or with --module PATH another program, opened as data so that none
// of its code runs. Given RVAs in hexadecimal (as arguments, or one a line
// in the file of --rvas FILE), prints "rva|unit|class|procedure|line" for
// each, through the index that the crash reporter uses. Run on a stripped
// program, it proves the block alone names the lines. With --dwarf IMAGE it
// adds what the DWARF reader names in that (unstripped) image:
// "|unit|procedure|line".
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "crashreport/debug/TrDebugWin.h"
#include "crashreport/debug/TrSymbols.h"

namespace probe {

class TProbeClass {
 public:
  __attribute__((noinline)) int FirstMethod(int n);
  __attribute__((noinline)) int SecondMethod(int n);
};

int TProbeClass::FirstMethod(int n) {
  int sum = 0;
  for (int i = 0; i < n; ++i) sum += i * 3;
  if (sum > 1000) sum -= n;
  return sum;
}

int TProbeClass::SecondMethod(int n) {
  volatile int product = 1;
  for (int i = 1; i <= n; ++i) product = product * i % 9973;
  return product;
}

__attribute__((noinline)) int FreeFunction(int a, int b) {
  int r = a;
  while (b-- > 0) r = (r * 31 + 7) % 1013;
  return r;
}

}  // namespace probe

int main(int argc, char** argv) {
  probe::TProbeClass p;
  volatile int keep = p.FirstMethod(argc) + p.SecondMethod(argc + 3) + probe::FreeFunction(argc, 5);
  (void)keep;
  HMODULE module = GetModuleHandleW(nullptr);
  std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)> other(nullptr, &FreeLibrary);
  std::unique_ptr<tracira::TTrDebugInfoDwarf> dwarf;
  std::vector<std::uint32_t> rvas;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--module") == 0 && i + 1 < argc) {
      other.reset(LoadLibraryExA(argv[++i], nullptr, LOAD_LIBRARY_AS_DATAFILE));
      module = other.get();
      if (!module) {
        std::fprintf(stderr, "cannot open %s: error %lu\n", argv[i], GetLastError());
        return 1;
      }
    } else if (std::strcmp(argv[i], "--dwarf") == 0 && i + 1 < argc) {
      std::ifstream in(argv[++i], std::ios::binary);
      const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in),
                                            std::istreambuf_iterator<char>()};
      dwarf = std::make_unique<tracira::TTrDebugInfoDwarf>(image);
      if (!dwarf->ValidData()) {
        std::fprintf(stderr, "no DWARF line table in %s\n", argv[i]);
        return 1;
      }
    } else if (std::strcmp(argv[i], "--rvas") == 0 && i + 1 < argc) {
      std::ifstream in(argv[++i]);
      for (std::string line; std::getline(in, line);)
        if (!line.empty())
          rvas.push_back(static_cast<std::uint32_t>(std::strtoul(line.c_str(), nullptr, 16)));
    } else {
      rvas.push_back(static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 16)));
    }
  }
  tracira::TTraciraModuleOptions options;
  std::wstring error;
  const auto info = tracira::LoadDebugInformation(module, options, {}, &error);
  if (!info) {
    std::fprintf(stderr, "no data block: %ls\n", error.c_str());
    return 1;
  }
  std::printf("version=%u activatelog=%d freezetimeout=%d symbols=%zu\n", info->TraciraVersion,
              options.ActivateLog(), options.FreezeTimeout(), info->Symbols.size());
  const tracira::TTrUnitIndex index(*info);
  for (const std::uint32_t rva : rvas) {
    const auto found = rva >= 0x1000 ? index.Lookup(*info, rva - 0x1000) : std::nullopt;
    if (found)
      std::printf("%x|%s|%s|%s|%u", rva, found->UnitName.c_str(), found->ClassName.c_str(),
                  found->ProcedureName.c_str(), found->Line);
    else
      std::printf("%x||||", rva);
    if (dwarf) {
      const auto location = dwarf->GetLocationInfo(rva);
      if (location)
        std::printf("|%s|%s|%u", location->UnitName.c_str(), location->ProcedureName.c_str(),
                    location->LineNumber);
      else
        std::printf("|||");
    }
    std::printf("\n");
  }
  return 0;
}
