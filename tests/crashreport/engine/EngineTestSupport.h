// Helpers of the engine tests: options for a test, the reports of the log.
#pragma once

#include <string>
#include <vector>

#include "crashreport/core/TrCore.h"

namespace enginetest {

// A fresh folder for this test's log file; the options point there, show
// no dialog and keep the crash loop guard off.
std::string PrepareOptions(const std::string& testName);
// The reports saved in the log file of the options, oldest first.
std::vector<std::string> SavedReports();

}  // namespace enginetest
