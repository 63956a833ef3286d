// Names code addresses through the data block embedded in a program: its own
// image, or with --module PATH another program, opened as data so that none
// of its code runs. Given RVAs in hexadecimal, prints
// "rva|unit|class|procedure|line" for each. Run on a stripped program, it
// proves the block alone names the lines.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <type_traits>

#include "crashreport/debug/TrDebugWin.h"

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
  int first = 1;
  if (argc > 2 && std::strcmp(argv[1], "--module") == 0) {
    other.reset(LoadLibraryExA(argv[2], nullptr, LOAD_LIBRARY_AS_DATAFILE));
    module = other.get();
    if (!module) {
      std::fprintf(stderr, "cannot open %s: error %lu\n", argv[2], GetLastError());
      return 1;
    }
    first = 3;
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
  for (int i = first; i < argc; ++i) {
    const auto rva = static_cast<std::uint32_t>(std::strtoul(argv[i], nullptr, 16));
    const auto found = tracira::GetSourceInfoByAddr(*info, rva - 0x1000);
    if (found)
      std::printf("%x|%s|%s|%s|%u\n", rva, found->UnitName.c_str(), found->ClassName.c_str(),
                  found->ProcedureName.c_str(), found->Line);
    else
      std::printf("%x|||||\n", rva);
  }
  return 0;
}
