// The trackers' pages: form values, step checks, the bug a search finds, a
// closed bug, and the occurrence counter.
#include <gtest/gtest.h>

#include "crashreport/delivery/TrTrackerPages.h"

namespace tracira {
namespace {

// A Mantis edit form, shortened, with the quirks real pages have: single
// quotes, unquoted values, entities, a commented-out element, upper case.
const std::string kEditForm = R"html(<html><body>
<!-- <input name="bug_id" value="0"> -->
<form method="post" action="bug_update.php">
<INPUT type=hidden name=bug_id value=42>
<input type="text" name='summary' value="[v1.0.0.0 - 7]: EAccessViolation (9DD6-1A2B)" size=105>
<input name="update_mode" type="hidden">
<select name="severity"><option value="10">feature</option><option value="50" selected="selected">minor</option></select>
<select name="status"><option value="10">new</option>
<option value="80" SELECTED>resolved</option></select>
<select name="handler_id"><option value="0"></option><option value="3">dev &amp; ops</option><option value="5">Ivan</option></select>
<select name="category"><option>General</option><option>Crash</option></select>
<textarea name="description" cols="80">Access violation at &lt;0x0040&gt; &#8470;&#x35; &quot;x&quot;</textarea>
<textarea name="additional_information"></textarea>
</form></body></html>)html";

TEST(TrackerPages, FormValues) {
  EXPECT_EQ(GetFieldValue(kEditForm, "bug_id"), "42");
  EXPECT_EQ(GetFieldValue(kEditForm, "summary"), "[v1.0.0.0 - 7]: EAccessViolation (9DD6-1A2B)");
  EXPECT_EQ(GetFieldValue(kEditForm, "update_mode"), "");
  EXPECT_EQ(GetFieldValue(kEditForm, "missing"), std::nullopt);
  EXPECT_EQ(GetListDefault(kEditForm, "severity"), "50");
  EXPECT_EQ(GetListDefault(kEditForm, "status"), "80");
  EXPECT_EQ(GetListDefault(kEditForm, "handler_id"), "0");  // none selected: the first
  EXPECT_EQ(GetListDefault(kEditForm, "category"), "General");
  EXPECT_EQ(GetOptionsValue(kEditForm, "handler_id", "dev & ops"), "3");
  EXPECT_EQ(GetOptionsValue(kEditForm, "handler_id", "Ivan"), "5");
  EXPECT_EQ(GetOptionsValue(kEditForm, "handler_id", "nobody"), "0");
  EXPECT_EQ(GetOptionsValue(kEditForm, "category", "Crash"), "Crash");
  EXPECT_EQ(GetListDefault(kEditForm, "priority"), std::nullopt);
  EXPECT_EQ(GetTextAreaValue(kEditForm, "description"),
            "Access violation at <0x0040> \xE2\x84\x96"
            "5 \"x\"");
  EXPECT_EQ(GetTextAreaValue(kEditForm, "additional_information"), "");
  EXPECT_EQ(GetTextAreaValue(kEditForm, "bugnote_text"), std::nullopt);
}

TEST(TrackerPages, BrokenPagesGiveNoValues) {
  for (const std::string& page :
       {std::string("<input name=\"summary\" value=\"unterminated"), std::string("<input name=\"summary"),
        std::string("<"), std::string("<<<>>>"), std::string("<textarea name=\"summary\">no end"),
        std::string()}) {
    EXPECT_EQ(GetFieldValue(page, "summary"), std::nullopt) << page;
    EXPECT_EQ(GetTextAreaValue(page, "summary"), std::nullopt) << page;
  }
  // A list with no end still yields the options it has.
  EXPECT_EQ(GetListDefault("<select name=a><option value=1>x<option value=2 selected>y", "a"), "2");
  EXPECT_EQ(GetListDefault("<select name=a></select><option value=1>", "a"), std::nullopt);
  EXPECT_EQ(ConvertSpecialHTMLChars("&unknown; & &#; &#99999999; &#xD800; &amp;amp;"),
            "&unknown; & &#; ? ? &amp;");
}

TEST(TrackerPages, PageNames) {
  EXPECT_EQ(PageNameOfURL("http://h.test/mantis/bug_report.php?x=1#top"), "bug_report.php");
  EXPECT_EQ(PageNameOfURL("http://h.test"), "");
  EXPECT_EQ(PageNameOfURL("/mantis/my_view_page.php"), "my_view_page.php");
  EXPECT_TRUE(IsSuccessfulSend("Bug_Report.PHP", "a HREF=\"view.php?id=7\"", "bug_report.php",
                               "href=\"view.php?id="));
  EXPECT_FALSE(
      IsSuccessfulSend("other.php", "href=\"view.php?id=7\"", "bug_report.php", "href=\"view.php?id="));
  EXPECT_FALSE(IsSuccessfulSend("", "x relogin.cgi", "", "", "relogin.cgi"));
}

TEST(TrackerPages, StepChecks) {
  using S = TTrackerStep;
  const struct {
    TTracker tracker;
    S step;
    std::string pageName, page;
    bool ok;
  } cases[] = {
      {TTracker::Mantis, S::Login, "login_select_proj_page.php", "<select name=\"project_id\">", true},
      {TTracker::Mantis, S::Login, "login_page.php", "<select name=\"project_id\">", false},
      {TTracker::Mantis, S::Login, "login_select_proj_page.php", "Your account may be disabled", false},
      {TTracker::Mantis, S::SelectProject, "my_view_page.php", "<option value=\"2\" selected>Tavrix</option>",
       true},
      {TTracker::Mantis, S::SelectProject, "my_view_page.php", "<option value=\"2\">Other</option>", false},
      {TTracker::Mantis, S::Search, "view_all_bug_page.php", "<a>[Reset Filter]</a>", true},
      {TTracker::Mantis, S::Search, "view_all_bug_page.php", "<p>nothing</p>", false},
      {TTracker::Mantis, S::NewBugForm, "", "<input name=\"file\" type=\"file\">", true},
      {TTracker::Mantis, S::BugUpdated, "bug_update.php", "<a href=\"view.php?id=42\">", true},
      {TTracker::Bugzilla, S::Login, "enter_bug.cgi", "<form action=\"post_bug.cgi\">", true},
      {TTracker::Bugzilla, S::Login, "enter_bug.cgi", "<a href=\"relogin.cgi\">log in again</a>", false},
      {TTracker::Bugzilla, S::Login, "relogin.cgi", "Invalid Username Or Password", false},
      {TTracker::Bugzilla, S::Login, "enter_bug.cgi", "", false},
      {TTracker::Bugzilla, S::Search, "buglist.cgi", "<a href=\"query.cgi?format=x\">Edit search</a>", true},
      {TTracker::Bugzilla, S::NewBugPosted, "post_bug.cgi", "Bug <a href=\"show_bug.cgi?id=12\">12</a>",
       true},
      {TTracker::Bugzilla, S::EditForm, "show_bug.cgi", "<input name=\"form_name\" value=\"process_bug\">",
       true},
      {TTracker::FogBugz, S::Login, "default.asp", "<a href=\"default.asp?pre=preLogOff\">Log Off</a>", true},
      {TTracker::FogBugz, S::Login, "default.asp", "<form>sPassword</form>", false},
      {TTracker::FogBugz, S::NewBugPosted, "default.asp", "<a href=\"?command=resolve\">", true},
      {TTracker::FogBugz, S::EditForm, "default.asp", "<input type=submit name=\"OK\">", true},
      {TTracker::FogBugz, S::EditForm, "default.asp", "<input type=submit name=\"Cancel\">", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(StepSucceeded(c.tracker, c.step, c.pageName, c.page, "Tavrix"), c.ok)
        << static_cast<int>(c.tracker) << "/" << static_cast<int>(c.step) << ": " << c.page;
  EXPECT_EQ(FailureOf(S::Login), srInvalidLogin);
  EXPECT_EQ(FailureOf(S::NewBugPosted), srInvalidInsert);
  EXPECT_EQ(FailureOf(S::EditForm), srInvalidModify);
}

TEST(TrackerPages, SearchResults) {
  using K = TSearchResult::TKind;
  const struct {
    TTracker tracker;
    std::string page;
    K kind;
    std::string id;
  } cases[] = {
      {TTracker::Mantis, "<table><tr><td>No bugs</td></tr></table>", K::NewBug, ""},
      {TTracker::Mantis,
       "<td class=\"center\"><u><a title=\"open\">x</a></u></td><td><a "
       "href=\"bug_update_page.php?bug_id=0042\">",
       K::Existing, "0042"},
      // A link without the row marker, or without a number: the search can't be read.
      {TTracker::Mantis, "<a href=\"bug_update_page.php?bug_id=42\">", K::Unreadable, ""},
      {TTracker::Mantis, "<td class=\"center\"><u><a title=\"open\">bug_update_page.php?bug_id=x",
       K::Unreadable, ""},
      {TTracker::Bugzilla, "<td style=\"white-space: nowrap\"><a href=\"show_bug.cgi?id=17\">17</a>",
       K::Existing, "17"},
      {TTracker::Bugzilla, "<a href=\"query.cgi?x\">Zarro Boogs found.</a>", K::NewBug, ""},
      {TTracker::Bugzilla, "<td style=\"white-space: nowrap\">show_bug.cgi?id=1234567890", K::Unreadable, ""},
      {TTracker::FogBugz, "<td style=\"white-space: nowrap\"><a href=\"default.asp?pgx=EV&amp;ixBug=8\">",
       K::Existing, "8"},
      {TTracker::FogBugz, "<a href=\"default.asp?pg=pgEditBug&command=edit&ixBug=9\">", K::Unreadable, ""},
      {TTracker::FogBugz, "<p>No cases</p>", K::NewBug, ""},
  };
  for (const auto& c : cases) {
    const TSearchResult result = ScanSearchResult(c.tracker, c.page);
    EXPECT_EQ(result.Kind, c.kind) << c.page;
    EXPECT_EQ(result.BugId, c.id) << c.page;
  }
}

TEST(TrackerPages, ClosedBugs) {
  EXPECT_TRUE(IsClosedBug(TTracker::Mantis, kEditForm));  // status 80: resolved
  EXPECT_FALSE(
      IsClosedBug(TTracker::Mantis, "<select name=status><option value=50 selected>assigned</select>"));
  EXPECT_TRUE(IsClosedBug(TTracker::Mantis, "<select name=status><option value=90 selected>closed</select>"));
  EXPECT_FALSE(IsClosedBug(TTracker::Mantis, "no status at all"));
  EXPECT_TRUE(IsClosedBug(TTracker::Bugzilla, "<input type=radio name=knob value=\"reopen\">"));
  EXPECT_FALSE(IsClosedBug(TTracker::Bugzilla, "<input type=radio name=knob value=\"resolve\">"));
  EXPECT_TRUE(IsClosedBug(TTracker::FogBugz, "<a href=\"default.asp?pg=pgEditReleaseNotes&ixBug=3\">"));
}

TEST(TrackerPages, SummariesAndTheOccurrenceCount) {
  EXPECT_EQ(BugSummary("1.0.0.0", "EAccessViolation", "9DD6-1A2B"),
            "[v1.0.0.0 - 1]: EAccessViolation (9DD6-1A2B)");
  EXPECT_EQ(SearchText("EAccessViolation", "9DD6-1A2B"), "EAccessViolation (9DD6-1A2B)");
  using K = TBugCount::TKind;
  const struct {
    std::string summary;
    std::int32_t limit;
    K kind;
    std::string increased;
  } cases[] = {
      {"[v1.0 - 1]: E (X)", 9999, K::Increased, "[v1.0 - 2]: E (X)"},
      {"[v1.0 - 9998]: E (X)", 9999, K::Increased, "[v1.0 - 9999]: E (X)"},
      {"[v1.0 - 9999]: E (X)", 9999, K::LimitReached, ""},
      {"[v1.0 - 9999]: E (X)", 0, K::Increased, "[v1.0 - 10000]: E (X)"},
      {"[v1.0 - 2147483647]: E", 0, K::LimitReached, ""},
      {"[v1.0 - x]: E", 9999, K::Unreadable, ""},
      {"[v1.0 - ]: E", 9999, K::Unreadable, ""},
      {"[v1.0 - 5: E", 9999, K::Unreadable, ""},
      {"E (X)", 9999, K::Unreadable, ""},
  };
  for (const auto& c : cases) {
    const TBugCount count = IncreaseBugCount(c.summary, c.limit);
    EXPECT_EQ(count.Kind, c.kind) << c.summary;
    EXPECT_EQ(count.Summary, c.increased) << c.summary;
  }
}

}  // namespace
}  // namespace tracira
