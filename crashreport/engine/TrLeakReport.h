// The reporting side of the leak detector: a release that overran its block
// or released it again is reported where it happened, and the program's
// leaks are reported at its end as one exception whose call-stack section
// has the leaks' rows.
#pragma once

#include <memory>

#include "crashreport/core/TrCore.h"
#include "rtl/Exceptions.h"

namespace tracira {

class EMemoryLeak : public rtl::Exception {
 public:
  using Exception::Exception;
};
class EMemoryOverrun : public rtl::Exception {
 public:
  using Exception::Exception;
};
class EMultiFree : public rtl::Exception {
 public:
  using Exception::Exception;
};

// Connects the detector's in-place reports to the handling (Init).
void ConnectLeakDetector();

// The start of the crash reporter's teardown: new blocks are no longer
// tracked, and the options the program runs with are kept for the leak
// report (null when the detector is off, or for the report's own teardown).
std::unique_ptr<TTraciraModuleOptions> StopLeakTracking(const TTraciraModuleOptions& current);

// The end of the program, after the crash reporter's teardown: every
// block of the crash reporter's is back, so what the detector still holds is
// the program's (and the runtime's). The crash reporter is set up once
// more, with the kept options, for the report and taken down again.
void FinishLeakDetector(std::unique_ptr<TTraciraModuleOptions> options);

}  // namespace tracira
