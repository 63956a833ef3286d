// Reading the bug trackers' pages (Mantis, Bugzilla, FogBugz): the form
// values a request carries over from the page before it, the checks that
// tell whether a step worked, the bug found by a search and whether it is
// closed, and the occurrence counter in a bug's summary. The pages come from
// the network: every reader here works on any bytes, and a page without what
// a step needs is that step's failure, never a guess.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tracira {

enum TSendResult : std::uint8_t {
  srOK,
  srBugClosed,
  srUnknownError,
  srInvalidLogin,
  srInvalidSelection,
  srInvalidSearch,
  srInvalidInsert,
  srInvalidModify
};

enum class TTracker : std::uint8_t { Mantis, Bugzilla, FogBugz };

// ---- HTML form values (first element of that name; entities decoded) ----

// &amp; &lt; &gt; &quot; &apos; &#39; &nbsp; and numeric references; a
// character the code page lacks becomes "?"; an unknown entity stays.
std::string ConvertSpecialHTMLChars(std::string_view text);
// The value of <input name="name" value="...">; "" when it has no value.
std::optional<std::string> GetFieldValue(std::string_view page, std::string_view name);
// The content of <textarea name="name">...</textarea>.
std::optional<std::string> GetTextAreaValue(std::string_view page, std::string_view name);
// The value of the selected option of <select name="name"> (the first
// option when none is marked selected, as a browser sends it).
std::optional<std::string> GetListDefault(std::string_view page, std::string_view name);
// The value of the option whose text is title, else the list's default.
std::optional<std::string> GetOptionsValue(std::string_view page, std::string_view name,
                                           std::string_view title);

// ---- Steps ----

// The final page's name of a response URL: the last path segment, without
// query or fragment.
std::string PageNameOfURL(std::string_view url);

// True when (expectedPage is empty or equals pageName, case-insensitive) and
// the page contains mustContain and not mustNotContain (both
// case-insensitive; an empty text is no condition).
bool IsSuccessfulSend(std::string_view pageName, std::string_view page, std::string_view expectedPage,
                      std::string_view mustContain, std::string_view mustNotContain = {});

enum class TTrackerStep : std::uint8_t {
  Login,          // the answer to the login post
  SelectProject,  // the answer to choosing the project (Mantis)
  Search,         // the search result
  NewBugForm,     // the empty report form
  NewBugPosted,   // the answer to posting a new bug
  EditForm,       // an existing bug's edit form
  BugUpdated      // the answer to posting the edit
};

// Whether the page answering that step shows success. project: the project's
// title, for the selection step. A step the tracker doesn't have holds no
// condition.
bool StepSucceeded(TTracker tracker, TTrackerStep step, std::string_view pageName, std::string_view page,
                   std::string_view project = {});
// The result a failed step gives.
TSendResult FailureOf(TTrackerStep step);

struct TSearchResult {
  enum class TKind : std::uint8_t { NewBug, Existing, Unreadable };
  TKind Kind = TKind::NewBug;
  std::string BugId;  // Existing: its number
};
// What a (successful) search page shows: no bug yet, a bug and its number,
// or a bug link whose number can't be read.
TSearchResult ScanSearchResult(TTracker tracker, std::string_view page);

// Whether an existing bug's edit form shows it resolved or closed.
bool IsClosedBug(TTracker tracker, std::string_view editPage);

// ---- Summaries ----

inline constexpr std::int32_t kMaxBugOccurrences = 9999;

// "[v<version> - 1]: <type> (<bug ID>)" and "<type> (<bug ID>)".
std::string BugSummary(std::string_view version, std::string_view type, std::string_view bugId);
std::string SearchText(std::string_view type, std::string_view bugId);

struct TBugCount {
  enum class TKind : std::uint8_t { Increased, LimitReached, Unreadable };
  TKind Kind = TKind::Unreadable;
  std::string Summary;  // Increased: the summary with the count one higher
};
// The occurrence count of a summary: the number after " - " up to "]".
// Below the limit (or with a limit of 0) it is raised by one.
TBugCount IncreaseBugCount(std::string_view summary, std::int32_t maxOccurrences = kMaxBugOccurrences);

}  // namespace tracira
