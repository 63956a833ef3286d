// Call-stack figures (run under Wine):
//  - scanning and naming the stacks of all threads of a process with 8
//    threads (each waiting a few calls deep), first with cold module
//    information, then warm;
//  - name lookups per second of each source: the embedded data block, this
//    program's own DWARF and GNU map, generated TD32 data, JCL data and a
//    Borland map of comparable size, and kernel32's exports.
//   tracira_stack_bench [LOOKUPS]
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "crashreport/debug/TrPeImage.h"
#include "crashreport/debug/TrStack.h"
#include "tests/crashreport/debug/DebugFormatWriters.h"

namespace {

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

HANDLE gRelease;
volatile int gSink;

__attribute__((noinline)) void Deep(int depth) {
  if (depth == 0) {
    WaitForSingleObject(gRelease, INFINITE);
    return;
  }
  Deep(depth - 1);
  gSink = gSink + depth;
}

DWORD WINAPI Worker(void* p) {
  Deep(static_cast<int>(reinterpret_cast<std::uintptr_t>(p)));
  return 0;
}

void BenchThreads() {
  gRelease = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  std::vector<HANDLE> threads;
  std::vector<DWORD> ids;
  for (int i = 0; i < 7; ++i) {  // with the main thread: 8
    DWORD id = 0;
    threads.push_back(CreateThread(nullptr, 0, Worker,
                                   reinterpret_cast<void*>(static_cast<std::uintptr_t>(5 + 3 * i)), 0, &id));
    ids.push_back(id);
  }
  Sleep(200);
  auto scanAll = [&] {
    std::size_t entries = 0, named = 0;
    tracira::TTraciraStackList own = tracira::GetCurrentCallStack();
    entries += own.size();
    for (std::size_t i = 0; i < threads.size(); ++i) {
      tracira::TTraciraStackList list;
      tracira::GetThreadCallStack(threads[i], ids[i], list);
      entries += list.size();
      for (const auto& e : list) named += e.DebugDetail == tracira::ddSourceCode;
    }
    return std::make_pair(entries, named);
  };
  auto t0 = Clock::now();
  const auto cold = scanAll();
  const double coldS = Seconds(t0);
  const int rounds = 20;
  t0 = Clock::now();
  for (int i = 0; i < rounds; ++i) scanAll();
  const double warmS = Seconds(t0) / rounds;
  std::printf(
      "8 threads: %zu entries (%zu with source lines); cold %.1f ms (module information read), warm %.2f "
      "ms\n",
      cold.first, cold.second, coldS * 1000, warmS * 1000);
  SetEvent(gRelease);
  for (HANDLE t : threads) {
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
  }
  CloseHandle(gRelease);
}

void Report(const char* source, int count, int named, double seconds) {
  std::printf("%-28s %7d lookups (%6d named) in %.3f s = %10.0f lookups/s\n", source, count, named, seconds,
              count / seconds);
}

template <typename F>
void Measure(const char* source, const std::vector<std::uint32_t>& rvas, F lookup) {
  int named = 0;
  const auto t0 = Clock::now();
  for (std::uint32_t rva : rvas) named += lookup(rva) ? 1 : 0;
  Report(source, static_cast<int>(rvas.size()), named, Seconds(t0));
}

std::vector<std::uint32_t> RandomRvas(std::uint32_t from, std::uint32_t size, int count) {
  std::mt19937 rng(42);
  std::vector<std::uint32_t> out(static_cast<std::size_t>(count));
  for (auto& r : out) r = from + rng() % size;
  return out;
}

void BenchSources(int count) {
  wchar_t name[MAX_PATH];
  GetModuleFileNameW(nullptr, name, MAX_PATH);
  const std::filesystem::path self(name);
  std::ifstream in(self, std::ios::binary);
  const std::vector<std::uint8_t> image{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const tracira::PeImage pe(image);
  std::uint32_t textRva = 0, textSize = 0;
  for (const auto& s : pe.Sections())
    if (s.Name == ".text") textRva = s.VirtualAddress, textSize = s.VirtualSize;
  const std::vector<std::uint32_t> rvas = RandomRvas(textRva, textSize, count);
  const auto base = static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(GetModuleHandleW(nullptr)));

  Measure("embedded block (full entry)", rvas, [&](std::uint32_t rva) {
    tracira::TTraciraDebugInfo e;
    tracira::GetDebugInfosByAddr(base + rva, 0, e, false, true);
    return e.DebugDetail == tracira::ddSourceCode;
  });
  {
    auto t0 = Clock::now();
    const tracira::TTrDebugInfoDwarf dwarf(image);
    std::printf("DWARF of this program read in %.1f ms\n", Seconds(t0) * 1000);
    Measure("DWARF in the image", rvas,
            [&](std::uint32_t rva) { return dwarf.GetLocationInfo(rva).has_value(); });
  }
  {
    std::ifstream mapFile(std::filesystem::path(self).replace_extension(".map"), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(mapFile), std::istreambuf_iterator<char>()};
    auto t0 = Clock::now();
    const tracira::TTrDebugInfoMap map(text, pe.ImageBase());
    std::printf("GNU map (%zu KB) read in %.1f ms\n", text.size() / 1024, Seconds(t0) * 1000);
    Measure("GNU ld map", rvas, [&](std::uint32_t rva) { return map.GetLocationInfo(rva).has_value(); });
  }
  // Generated sources of a similar size: 200 units of 25 procedures, 8
  // lines each, over the same code range.
  const std::uint32_t procSize = textSize / 5000 ? textSize / 5000 : 16;
  std::vector<tracira::testing::TD32Module> td32;
  tracira::testing::JclDebugData jcl;
  std::vector<tracira::testing::BorlandMapUnit> borland;
  for (int u = 0; u < 200; ++u) {
    const std::string unit = "Unit" + std::to_string(u);
    tracira::testing::TD32Module m{unit, {}, {{unit + ".pas", 1, {}}}};
    tracira::testing::BorlandMapUnit b{
        unit, unit + ".pas", static_cast<std::uint32_t>(u * 25 * procSize), 25 * procSize, {}, {}};
    jcl.Units.emplace_back(u * 25 * procSize, unit);
    jcl.SourceNames.emplace_back(u * 25 * procSize, unit + ".pas");
    for (int p = 0; p < 25; ++p) {
      const std::uint32_t offset = static_cast<std::uint32_t>((u * 25 + p) * procSize);
      const std::string proc = "Proc" + std::to_string(p);
      m.Procedures.push_back({1, offset, procSize, "@" + unit + "@" + proc + "$qqrv"});
      jcl.Symbols.emplace_back(offset, "", proc);
      b.Publics.emplace_back(offset, unit + "." + proc);
      for (std::uint32_t l = 0; l < 8; ++l) {
        const std::uint32_t at = offset + l * procSize / 8, line = 10 + p * 20 + l;
        m.Files[0].Lines.emplace_back(at, static_cast<std::uint16_t>(line));
        jcl.Lines.emplace_back(at, line);
        b.Lines.emplace_back(line, at);
      }
    }
    td32.push_back(std::move(m));
    borland.push_back(std::move(b));
  }
  const auto td32Data = tracira::testing::WriteTD32(td32);
  tracira::TTrSegmentMap segments{{textRva}};
  const tracira::TTrDebugInfoTD32 td32Source(td32Data.data(), td32Data.size(), segments);
  Measure("TD32 (5000 procedures)", rvas,
          [&](std::uint32_t rva) { return td32Source.GetLocationInfo(rva).has_value(); });
  const auto jclData = tracira::testing::WriteJclDebug(jcl);
  const tracira::TTrDebugInfoJedy jclSource(jclData.data(), jclData.size());
  Measure("JCL data (5000 procedures)", rvas,
          [&](std::uint32_t rva) { return jclSource.GetLocationInfo(rva).has_value(); });
  const std::string borlandText = tracira::testing::WriteBorlandMap(0x00400000 + textRva, textSize, borland);
  const tracira::TTrDebugInfoMap borlandSource(borlandText, 0x00400000);
  Measure("Borland map (5000 procs)", rvas,
          [&](std::uint32_t rva) { return borlandSource.GetLocationInfo(rva).has_value(); });

  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  tracira::TTraciraModuleInfo* k = tracira::ProcessModules().ModuleInfoByAddr(
      static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(kernel)));
  if (k) {
    const std::vector<std::uint32_t> kr = RandomRvas(
        k->FunctionsList.front().Addr, k->FunctionsList.back().Addr - k->FunctionsList.front().Addr, count);
    Measure("kernel32 exports", kr, [&](std::uint32_t rva) {
      const tracira::TTraciraFunctionInfo* f = tracira::FindFunction(k->FunctionsList, rva);
      return f && tracira::GetDebugPartialInfo(f->Name).Detail > tracira::ddModule;
    });
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  BenchThreads();
  BenchSources(count);
  return 0;
}
