// Address lookups per second through a program's embedded data block,
// against addr2line over the same addresses on the unstripped program.
//   trdata_lookup_bench PROGRAM.exe [COUNT]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrPeImage.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM.exe [COUNT]\n", argv[0]);
    return 2;
  }
  const int count = argc > 2 ? std::atoi(argv[2]) : 2000;
  std::ifstream in(argv[1], std::ios::binary);
  tracira::PeImage image({std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()});
  auto resources = image.ReadResources();
  const auto& block =
      resources[tracira::ResKey(std::uint16_t{10})][tracira::ResKey(std::u16string(u"TRDATA"))][0].Data;
  if (block.empty()) {
    std::fprintf(stderr, "%s has no TRDATA block\n", argv[1]);
    return 1;
  }
  tracira::TTraciraModuleOptions options;
  auto t0 = std::chrono::steady_clock::now();
  const auto info = tracira::LoadData(block.data(), block.size(), options);
  const double loadMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();

  std::uint32_t textSize = 0;
  for (const auto& s : image.Sections())
    if (s.Name == ".text") textSize = s.VirtualSize;
  std::mt19937 rng(42);
  std::vector<std::uint32_t> offsets(static_cast<std::size_t>(count));
  for (auto& o : offsets) o = rng() % textSize;

  t0 = std::chrono::steady_clock::now();
  int found = 0;
  for (const std::uint32_t o : offsets) found += tracira::GetSourceInfoByAddr(info, o).has_value();
  const double blockS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  std::string command =
      "i686-w64-mingw32-addr2line -f -C -e '" + std::string(argv[1]) + "' >/dev/null <<'EOF'\n";
  char hex[16];
  for (const std::uint32_t o : offsets) {
    std::snprintf(hex, sizeof hex, "%x\n", image.ImageBase() + 0x1000 + o);
    command += hex;
  }
  command += "EOF\n";
  t0 = std::chrono::steady_clock::now();
  const int rc = std::system(command.c_str());
  const double a2lS = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  std::printf("block: %zu bytes, debug stream %zu bytes, loaded in %.1f ms\n", block.size(),
              info.DebugInformation.size(), loadMs);
  std::printf("embedded block: %d lookups (%d named) in %.3f s = %.0f lookups/s\n", count, found, blockS,
              count / blockS);
  std::printf("addr2line:      %d lookups in %.3f s = %.0f lookups/s (exit %d)\n", count, a2lS, count / a2lS,
              rc);
  return 0;
}
