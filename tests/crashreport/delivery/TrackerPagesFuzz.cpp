// Fuzzes the trackers' page readers with arbitrary pages. Beyond not
// crashing or reading outside the page: a bug number found is 1 to 9 digits,
// and a raised occurrence count reads back one higher.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "crashreport/delivery/TrTrackerPages.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tracira;
  const std::string_view page(reinterpret_cast<const char*>(data), size);

  for (const char* name : {"summary", "bug_id", "status", "handler_id", "description"}) {
    (void)GetFieldValue(page, name);
    (void)GetTextAreaValue(page, name);
    (void)GetListDefault(page, name);
    (void)GetOptionsValue(page, name, "Tavrix");
  }
  (void)ConvertSpecialHTMLChars(page);
  (void)PageNameOfURL(page);

  for (const TTracker tracker : {TTracker::Mantis, TTracker::Bugzilla, TTracker::FogBugz}) {
    const TSearchResult result = ScanSearchResult(tracker, page);
    if (result.Kind == TSearchResult::TKind::Existing)
      Check(!result.BugId.empty() && result.BugId.size() <= 9 &&
            result.BugId.find_first_not_of("0123456789") == std::string::npos);
    else
      Check(result.BugId.empty());
    (void)IsClosedBug(tracker, page);
    for (int step = 0; step <= static_cast<int>(TTrackerStep::BugUpdated); ++step)
      (void)StepSucceeded(tracker, static_cast<TTrackerStep>(step), "page.php", page, "Tavrix");
  }

  const TBugCount count = IncreaseBugCount(page, 0);
  if (count.Kind == TBugCount::TKind::Increased) {
    const TBugCount again = IncreaseBugCount(count.Summary, 0);
    Check(again.Kind != TBugCount::TKind::Unreadable);
  }
  return 0;
}
