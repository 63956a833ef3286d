// The program registered for "mailto:" addresses in the delivery tests: it
// appends its command line to the file named by TAVRIX_MAILTO_OUT.
#include <windows.h>

#include <cstdlib>
#include <fstream>

int main() {
  const char* out = std::getenv("TAVRIX_MAILTO_OUT");
  if (!out) return 2;
  std::ofstream(out, std::ios::binary | std::ios::app) << GetCommandLineA() << "\n";
  return 0;
}
