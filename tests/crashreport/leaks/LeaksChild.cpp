// A program with leak catching on, run by the leak tests: each scenario
// leaks (or does not leak) known blocks and ends normally; the report goes
// to the log file in the folder given. The lines that allocate the leaks
// are written to lines.txt there, one "name line" each.
#include <malloc.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "crashreport/engine/ExceptionLog.h"

using namespace tracira;

namespace {

std::string gFolder;

void Line(const char* name, int line) {
  std::ofstream(gFolder + "\\lines.txt", std::ios::app) << name << " " << line << "\n";
}

// Kept where the compiler can't see them unused.
std::vector<void*>* gKeep;
void Keep(void* p) {
  static std::vector<void*> keep;
  gKeep = &keep;
  keep.push_back(p);
}

class TOwner {
 public:
  TOwner() {
    fName = static_cast<char*>(std::malloc(40));
    fValues = static_cast<int*>(std::malloc(24));
  }
  virtual ~TOwner() = default;  // never run: the object leaks

 private:
  char* fName;
  int* fValues;
};

struct alignas(64) TWide {
  char Bytes[64];
};

__attribute__((noinline)) void ThreeFromOneSite() {
  for (int i = 0; i < 3; ++i) {
    Line("three", __LINE__ + 1);
    Keep(std::malloc(40));
  }
}

__attribute__((noinline)) void AnOwner() {
  Line("owner", __LINE__ + 1);
  Keep(new TOwner);
}

__attribute__((noinline)) void ReallocOfNull() {
  Line("realloc", __LINE__ + 1);
  Keep(std::realloc(nullptr, 72));
}

// Each thread's own, made on its first use there and ended with it.
thread_local std::string tLocal;

// What a program does that leaves nothing behind: threads, thread_local
// data, a static mutex, an exception thrown and caught, blocks of the C
// runtime's own freed with free, over-aligned objects.
int CleanWork() {
  static std::mutex mutex;
  int bad = 0;
  {
    std::lock_guard lock(mutex);
    tLocal.assign(100, 'x');
  }
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      thread_local std::vector<int> own(100, 1);
      std::lock_guard lock(mutex);
      tLocal.assign(200, 'y');
    });
  for (auto& t : threads) t.join();
  try {
    throw std::runtime_error(std::string(100, 'e'));
  } catch (const std::exception&) {
  }
  char* copy = _strdup("a copy the C runtime made");
  std::free(copy);
  auto wide = std::make_unique<TWide>();
  if (reinterpret_cast<std::uintptr_t>(wide.get()) % alignof(TWide) != 0) bad = 3;
  auto wides = std::make_unique<TWide[]>(3);
  if (reinterpret_cast<std::uintptr_t>(wides.get()) % alignof(TWide) != 0) bad = 3;
  // Every ordinary block keeps the allocator's alignment.
  for (std::size_t size : {1, 7, 16, 33, 1000}) {
    void* p = std::malloc(size);
    if (reinterpret_cast<std::uintptr_t>(p) % (2 * sizeof(void*)) != 0) bad = 4;
    p = std::realloc(p, size * 3);
    if (reinterpret_cast<std::uintptr_t>(p) % (2 * sizeof(void*)) != 0) bad = 4;
    std::free(p);
  }
  return bad;
}

// Threads allocating and freeing at once, blocks passed between them.
int Threads() {
  std::atomic<void*> passed[64] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5000; ++i) {
        void* p = (i & 1) ? std::malloc(16 + (i % 100)) : static_cast<void*>(new std::string(40, 'z'));
        if (i & 1) {
          if (void* old = passed[(i + t) % 64].exchange(p)) std::free(old);
        } else {
          delete static_cast<std::string*>(p);
        }
      }
    });
  for (auto& t : threads) t.join();
  for (auto& p : passed)
    if (void* old = p.exchange(nullptr)) std::free(old);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string scenario = argv[1];
  gFolder = argv[2];
  TTraciraModuleOptions& o = CurrentTraciraLogOptions();
  o.SetOutputPath(gFolder);
  o.SetExceptionDialogType(edtNone);
  o.SetAutoCrashOperation(tbNone);
  const int clean = CleanWork();
  if (clean) return clean;
  if (scenario == "none") return 0;
  if (scenario == "threads") return Threads();
  if (scenario == "leaks") {
    ThreeFromOneSite();
    AnOwner();
    ReallocOfNull();
    return 0;
  }
  if (scenario == "overrun") {
    char* volatile p = static_cast<char*>(std::malloc(40));
    volatile std::size_t past = 40;  // one byte behind the block
    p[past] = 0;
    Line("overrun", __LINE__ + 1);
    std::free(p);
    std::printf("went on\n");
    return 0;
  }
  if (scenario == "twice") {
    // Through a volatile pointer: the compiler may not pair the calls away.
    void* volatile p = std::malloc(40);
    std::free(p);
    Line("twice", __LINE__ + 1);
    std::free(p);
    // The block given back once is the allocator's again: no harm came of
    // the second release.
    void* q = std::malloc(40);
    std::free(q);
    return 0;
  }
  if (scenario == "many") {
    for (int i = 0; i < 2000; ++i) Keep(std::malloc(8 + static_cast<std::size_t>(i)));
    return 0;
  }
  return 2;
}
