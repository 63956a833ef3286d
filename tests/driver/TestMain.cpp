// Test programs of the driver: one COM apartment on the main thread, and the
// built Dravix.dll registered through regsvr32 before the tests run.
#include <gtest/gtest.h>

#include "DriverClient.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  if (const DWORD rc = dravix::test::RunRegsvr32(false); rc != 0) {
    fprintf(stderr, "regsvr32 failed: %lu\n", static_cast<unsigned long>(rc));
    return 3;
  }
  const int result = RUN_ALL_TESTS();
  CoUninitialize();
  return result;
}
