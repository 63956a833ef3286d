#include "crashreport/delivery/TrTrackerPages.h"

#include <algorithm>
#include <charconv>
#include <vector>

#include "crashreport/core/TrText.h"

namespace tracira {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

std::size_t FindText(std::string_view text, std::string_view what, std::size_t from = 0) {
  if (from > text.size()) return std::string_view::npos;
  const auto it = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), what.begin(),
                              what.end(), [](char x, char y) { return Lower(x) == Lower(y); });
  return it == text.end() && !what.empty() ? std::string_view::npos
                                           : static_cast<std::size_t>(it - text.begin());
}

bool Contains(std::string_view text, std::string_view what) {
  return FindText(text, what) != std::string_view::npos;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

// ---- A tag scanner: just enough HTML to find form elements ----

struct TTag {
  std::string_view Name;  // without "/"
  bool Closing = false;
  std::vector<std::pair<std::string_view, std::string_view>> Attributes;  // raw values
  std::size_t End = 0;                                                    // after ">"

  std::optional<std::string_view> Attribute(std::string_view name) const {
    for (const auto& [n, v] : Attributes)
      if (SameText(n, name)) return v;
    return std::nullopt;
  }
  bool Is(std::string_view name) const { return SameText(Name, name); }
};

// The next tag at or after pos; nullopt at the end of the page. Comments are
// skipped; an unterminated tag or quote ends the page.
std::optional<TTag> NextTag(std::string_view page, std::size_t& pos) {
  while (true) {
    const std::size_t open = page.find('<', pos);
    if (open == std::string_view::npos) return std::nullopt;
    if (page.substr(open, 4) == "<!--") {
      const std::size_t close = page.find("-->", open + 4);
      if (close == std::string_view::npos) return std::nullopt;
      pos = close + 3;
      continue;
    }
    std::size_t p = open + 1;
    TTag tag;
    if (p < page.size() && page[p] == '/') {
      tag.Closing = true;
      ++p;
    }
    const std::size_t nameStart = p;
    while (p < page.size() && !IsSpace(page[p]) && page[p] != '>' && page[p] != '/') ++p;
    tag.Name = page.substr(nameStart, p - nameStart);
    while (true) {
      while (p < page.size() && (IsSpace(page[p]) || page[p] == '/')) ++p;
      if (p >= page.size()) return std::nullopt;
      if (page[p] == '>') break;
      const std::size_t attrStart = p;
      while (p < page.size() && !IsSpace(page[p]) && page[p] != '=' && page[p] != '>' && page[p] != '/') ++p;
      const std::string_view attrName = page.substr(attrStart, p - attrStart);
      while (p < page.size() && IsSpace(page[p])) ++p;
      std::string_view value;
      if (p < page.size() && page[p] == '=') {
        ++p;
        while (p < page.size() && IsSpace(page[p])) ++p;
        if (p < page.size() && (page[p] == '"' || page[p] == '\'')) {
          const std::size_t close = page.find(page[p], p + 1);
          if (close == std::string_view::npos) return std::nullopt;
          value = page.substr(p + 1, close - p - 1);
          p = close + 1;
        } else {
          const std::size_t valueStart = p;
          while (p < page.size() && !IsSpace(page[p]) && page[p] != '>') ++p;
          value = page.substr(valueStart, p - valueStart);
        }
      }
      if (!attrName.empty()) tag.Attributes.emplace_back(attrName, value);
    }
    tag.End = p + 1;
    pos = tag.End;
    if (tag.Name.empty() && !tag.Closing) continue;  // a bare "<" in text
    return tag;
  }
}

// The first element <element name="name">, its tag's end in pos.
std::optional<TTag> FindNamed(std::string_view page, std::string_view element, std::string_view name,
                              std::size_t& pos) {
  pos = 0;
  while (auto tag = NextTag(page, pos)) {
    if (tag->Closing || !tag->Is(element)) continue;
    const auto n = tag->Attribute("name");
    if (n && ConvertSpecialHTMLChars(*n) == name) return tag;
  }
  return std::nullopt;
}

struct TOption {
  std::string Value;
  std::string Text;
  bool Selected = false;
};

// The options of <select name="name">, up to its end.
std::optional<std::vector<TOption>> ListOptions(std::string_view page, std::string_view name) {
  std::size_t pos = 0;
  if (!FindNamed(page, "select", name, pos)) return std::nullopt;
  std::vector<TOption> options;
  while (auto tag = NextTag(page, pos)) {
    if (tag->Is("select")) break;  // its end, or a next list: this one ended
    if (tag->Closing || !tag->Is("option")) continue;
    const std::size_t textEnd = std::min(page.find('<', tag->End), page.size());
    TOption option;
    option.Text = ConvertSpecialHTMLChars(Trim(page.substr(tag->End, textEnd - tag->End)));
    const auto value = tag->Attribute("value");
    option.Value = value ? ConvertSpecialHTMLChars(*value) : option.Text;
    option.Selected = tag->Attribute("selected").has_value();
    options.push_back(std::move(option));
  }
  return options;
}

std::optional<std::string> DefaultOf(const std::vector<TOption>& options) {
  for (const TOption& o : options)
    if (o.Selected) return o.Value;
  if (options.empty()) return std::nullopt;
  return options.front().Value;
}

// The digits right after marker, searched from `from`; a bug number.
std::optional<std::string> NumberAfter(std::string_view page, std::string_view marker, std::size_t from) {
  const std::size_t at = FindText(page, marker, from);
  if (at == std::string_view::npos) return std::nullopt;
  std::size_t end = at + marker.size();
  while (end < page.size() && IsDigit(page[end])) ++end;
  const std::size_t digits = end - at - marker.size();
  if (digits == 0 || digits > 9) return std::nullopt;
  return std::string(page.substr(at + marker.size(), digits));
}

std::optional<std::string> NumberAfterBoth(std::string_view page, std::string_view first,
                                           std::string_view second) {
  const std::size_t at = FindText(page, first);
  if (at == std::string_view::npos) return std::nullopt;
  return NumberAfter(page, second, at + first.size());
}

constexpr std::string_view kNowrapCell = "<td style=\"white-space: nowrap\">";

}  // namespace

std::string ConvertSpecialHTMLChars(std::string_view text) {
  static constexpr std::pair<std::string_view, char> kNamed[] = {
      {"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", ' '}};
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    // An entity is short: looking further for its ";" would make a page of
    // "&" without one cost time by the square of its length.
    const std::size_t near = text[i] == '&' ? text.substr(i + 1, 10).find(';') : std::string_view::npos;
    const std::size_t semi = near == std::string_view::npos ? near : i + 1 + near;
    if (semi == std::string_view::npos) {
      out += text[i];
      continue;
    }
    const std::string_view entity = text.substr(i + 1, semi - i - 1);
    bool done = false;
    for (const auto& [name, c] : kNamed) {
      if (entity == name) {
        out += c;
        done = true;
      }
    }
    if (!done && entity.size() >= 2 && entity[0] == '#') {
      const bool hex = entity[1] == 'x' || entity[1] == 'X';
      const std::string_view digits = entity.substr(hex ? 2 : 1);
      unsigned code = 0;
      const auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), code, hex ? 16 : 10);
      if (!digits.empty() && error == std::errc() && end == digits.data() + digits.size()) {
        if (code < 0x80)
          out += static_cast<char>(code);
        else if (code <= 0xFFFF && (code < 0xD800 || code > 0xDFFF))
          out += ToAnsi(std::wstring(1, static_cast<wchar_t>(code)));
        else
          out += '?';
        done = true;
      }
    }
    if (done)
      i = semi;
    else
      out += text[i];
  }
  return out;
}

std::optional<std::string> GetFieldValue(std::string_view page, std::string_view name) {
  std::size_t pos = 0;
  const auto tag = FindNamed(page, "input", name, pos);
  if (!tag) return std::nullopt;
  const auto value = tag->Attribute("value");
  return value ? ConvertSpecialHTMLChars(*value) : std::string();
}

std::optional<std::string> GetTextAreaValue(std::string_view page, std::string_view name) {
  std::size_t pos = 0;
  const auto tag = FindNamed(page, "textarea", name, pos);
  if (!tag) return std::nullopt;
  const std::size_t end = FindText(page, "</textarea", tag->End);
  if (end == std::string_view::npos) return std::nullopt;
  return ConvertSpecialHTMLChars(page.substr(tag->End, end - tag->End));
}

std::optional<std::string> GetListDefault(std::string_view page, std::string_view name) {
  const auto options = ListOptions(page, name);
  return options ? DefaultOf(*options) : std::nullopt;
}

std::optional<std::string> GetOptionsValue(std::string_view page, std::string_view name,
                                           std::string_view title) {
  const auto options = ListOptions(page, name);
  if (!options) return std::nullopt;
  for (const TOption& o : *options)
    if (o.Text == Trim(title)) return o.Value;
  return DefaultOf(*options);
}

std::string PageNameOfURL(std::string_view url) {
  url = url.substr(0, std::min(url.find_first_of("?#"), url.size()));
  const std::size_t schemeEnd = url.find("://");
  if (schemeEnd != std::string_view::npos) {
    const std::size_t pathStart = url.find('/', schemeEnd + 3);
    url = pathStart == std::string_view::npos ? std::string_view() : url.substr(pathStart);
  }
  const std::size_t slash = url.rfind('/');
  return std::string(slash == std::string_view::npos ? url : url.substr(slash + 1));
}

bool IsSuccessfulSend(std::string_view pageName, std::string_view page, std::string_view expectedPage,
                      std::string_view mustContain, std::string_view mustNotContain) {
  return (expectedPage.empty() || SameText(pageName, expectedPage)) &&
         (mustContain.empty() || Contains(page, mustContain)) &&
         (mustNotContain.empty() || !Contains(page, mustNotContain));
}

bool StepSucceeded(TTracker tracker, TTrackerStep step, std::string_view pageName, std::string_view page,
                   std::string_view project) {
  // Every step's answer is a page: an empty one shows nothing.
  if (Trim(page).empty()) return false;
  using S = TTrackerStep;
  switch (tracker) {
    case TTracker::Mantis:
      switch (step) {
        case S::Login:
          return IsSuccessfulSend(pageName, page, "login_select_proj_page.php", "name=\"project_id\"");
        case S::SelectProject:
          return !project.empty() && (IsSuccessfulSend(pageName, page, "my_view_page.php",
                                                       ">" + std::string(project) + "</option>") ||
                                      IsSuccessfulSend(pageName, page, "my_view_page.php",
                                                       " " + std::string(project) + "</option>"));
        case S::Search:
          return IsSuccessfulSend(pageName, page, "view_all_bug_page.php", "name=\"reset_query_button\"") ||
                 IsSuccessfulSend(pageName, page, "view_all_bug_page.php", "[Reset Filter]");
        case S::NewBugForm:
          return IsSuccessfulSend(pageName, page, {}, "name=\"file\" type=\"file\"");
        case S::NewBugPosted:
          return IsSuccessfulSend(pageName, page, "bug_report.php", "href=\"view.php?id=");
        case S::EditForm:
          return IsSuccessfulSend(pageName, page, {}, "name=\"severity\"");
        case S::BugUpdated:
          return IsSuccessfulSend(pageName, page, "bug_update.php", "href=\"view.php?id=");
      }
      break;
    case TTracker::Bugzilla:
      switch (step) {
        case S::Login:
          return !SameText(pageName, "relogin.cgi") &&
                 IsSuccessfulSend(pageName, page, {}, {}, "relogin.cgi");
        case S::SelectProject:
          return true;  // the product goes with the login
        case S::Search:
          return IsSuccessfulSend(pageName, page, {}, "href=\"query.cgi?");
        case S::NewBugForm:
          return IsSuccessfulSend(pageName, page, {}, "action=\"post_bug.cgi\"");
        case S::NewBugPosted:
        case S::BugUpdated:
          return IsSuccessfulSend(pageName, page, {}, "show_bug.cgi?id=");
        case S::EditForm:
          return IsSuccessfulSend(pageName, page, {}, "name=\"form_name\"");
      }
      break;
    case TTracker::FogBugz:
      switch (step) {
        case S::Login:
          return IsSuccessfulSend(pageName, page, {}, "pre=preLogOff");
        case S::SelectProject:
        case S::Search:
        case S::NewBugForm:
          return true;  // nothing named to look for beyond a page
        case S::NewBugPosted:
        case S::BugUpdated:
          return IsSuccessfulSend(pageName, page, {}, "command=resolve");
        case S::EditForm:
          return IsSuccessfulSend(pageName, page, {}, "name=\"OK\"");
      }
      break;
  }
  return false;
}

TSendResult FailureOf(TTrackerStep step) {
  switch (step) {
    case TTrackerStep::Login:
      return srInvalidLogin;
    case TTrackerStep::SelectProject:
      return srInvalidSelection;
    case TTrackerStep::Search:
      return srInvalidSearch;
    case TTrackerStep::NewBugForm:
    case TTrackerStep::NewBugPosted:
      return srInvalidInsert;
    case TTrackerStep::EditForm:
    case TTrackerStep::BugUpdated:
      return srInvalidModify;
  }
  return srUnknownError;
}

TSearchResult ScanSearchResult(TTracker tracker, std::string_view page) {
  using K = TSearchResult::TKind;
  bool exists = false;
  std::optional<std::string> id;
  switch (tracker) {
    case TTracker::Mantis:
      exists = Contains(page, "bug_update_page.php?bug_id=");
      id = NumberAfterBoth(page, "<td class=\"center\"><u><a title=\"open\">", "bug_update_page.php?bug_id=");
      break;
    case TTracker::Bugzilla:
      exists = Contains(page, "show_bug.cgi?id=");
      id = NumberAfterBoth(page, kNowrapCell, "show_bug.cgi?id=");
      break;
    case TTracker::FogBugz:
      exists = Contains(page, "default.asp?pg=pgeditbug") || Contains(page, "default.asp?pgx=EV&amp;ixBug=");
      id = NumberAfterBoth(page, kNowrapCell, "ixBug=");
      break;
  }
  if (!exists) return {K::NewBug, {}};
  if (!id) return {K::Unreadable, {}};
  return {K::Existing, *id};
}

bool IsClosedBug(TTracker tracker, std::string_view editPage) {
  switch (tracker) {
    case TTracker::Mantis: {
      const auto status = GetListDefault(editPage, "status");
      return status && (*status == "80" || *status == "90");
    }
    case TTracker::Bugzilla:
      return Contains(editPage, "value=\"reopen\"");
    case TTracker::FogBugz:
      return Contains(editPage, "default.asp?pg=pgEditReleaseNotes");
  }
  return false;
}

std::string BugSummary(std::string_view version, std::string_view type, std::string_view bugId) {
  return "[v" + std::string(version) + " - 1]: " + std::string(type) + " (" + std::string(bugId) + ")";
}

std::string SearchText(std::string_view type, std::string_view bugId) {
  return std::string(type) + " (" + std::string(bugId) + ")";
}

TBugCount IncreaseBugCount(std::string_view summary, std::int32_t maxOccurrences) {
  using K = TBugCount::TKind;
  const std::size_t dash = summary.find(" - ");
  const std::size_t close = dash == std::string_view::npos ? dash : summary.find(']', dash + 3);
  if (close == std::string_view::npos) return {K::Unreadable, {}};
  const std::string_view digits = summary.substr(dash + 3, close - dash - 3);
  std::int32_t count = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() || count < 0)
    return {K::Unreadable, {}};
  if (maxOccurrences > 0 && count >= maxOccurrences) return {K::LimitReached, {}};
  if (count == INT32_MAX) return {K::LimitReached, {}};
  std::string out(summary.substr(0, dash + 3));
  out += std::to_string(count + 1);
  out += summary.substr(close);
  return {K::Increased, out};
}

}  // namespace tracira
