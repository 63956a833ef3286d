// A library the live-report test loads from a folder with a Cyrillic name.
namespace {
volatile int gSink;
}

extern "C" __declspec(dllexport) __attribute__((noinline)) int LiveReportProbe(int x) {
  for (int i = 0; i < x; ++i) gSink = gSink * 31 + i;
  return gSink;
}
