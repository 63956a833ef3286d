// The Class and Procedure cells of C++ names, and their shortening to a
// call stack entry's 64 characters.
#include <cxxabi.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <typeinfo>

#include "crashreport/debug/TrDebug.h"
#include "crashreport/debug/TrProcNames.h"

using namespace tracira;

namespace tracira {
void PrintTo(const ProcedureCells& cells, std::ostream* out) {
  *out << '{' << cells.Class << " | " << cells.Procedure << '}';
}
}  // namespace tracira

namespace {

// Names as GCC's demangler writes them for the 64-bit program.
const char* const kTryFinally =
    "void rtl::TryFinally<TfmMain::chkDeviceEnabledClick(rtl::Object&)::{lambda()#2}>"
    "(TfmMain::chkDeviceEnabledClick(rtl::Object&)::{lambda()#2}&&)";
const char* const kGuardedFun =
    "rtl::Guarded<gui::Control::Dispatch(unsigned int, unsigned long long, long long)::{lambda()#2}&&>"
    "(gui::Control::Dispatch(unsigned int, unsigned long long, long long)::{lambda()#2}&&)"
    "::{lambda(void*)#1}::_FUN(void*)";

TEST(ProcedureCells, OfDemangledNames) {
  const struct Case {
    const char* Readable;
    ProcedureCells Expected;
  } cases[] = {
      // The three rows of a report that lost "chkDeviceEnabledClick" and
      // "Dispatch" to the cut.
      {kTryFinally, {"rtl", "TryFinally<TfmMain::chkDeviceEnabledClick, lambda 2>"}},
      {kGuardedFun, {"rtl", "Guarded<gui::Control::Dispatch, lambda 2>, lambda 1"}},
      {"gui::Control::WndProc(unsigned int, unsigned long long, long long)", {"gui::Control", "WndProc"}},
      // A lambda and its thunk are named by the function that holds them.
      {"TfmMain::chkDeviceEnabledClick(rtl::Object&)::{lambda()#2}::operator()() const",
       {"TfmMain", "chkDeviceEnabledClick, lambda 2"}},
      {"TfmMain::chkDeviceEnabledClick(rtl::Object&)::{lambda(void*)#1}::_FUN(void*)",
       {"TfmMain", "chkDeviceEnabledClick, lambda 1"}},
      {"TfmMain::Scan(int) const::{lambda(int)#2}::operator()(int) const::{lambda(int)#1}::operator()(int) "
       "const",
       {"TfmMain", "Scan, lambda 2, lambda 1"}},
      {"ns::gDefaultHandler::{lambda(int)#1}::operator()(int) const", {"ns", "gDefaultHandler, lambda 1"}},
      {"TfmMain::Build()::Local::Run(int)", {"TfmMain", "Build, Local::Run"}},
      // Template classes keep their arguments, a lambda among them as above.
      {"std::_Function_handler<void (), "
       "TfmMain::FormCreate(rtl::Object&)::{lambda()#1}>::_M_invoke(std::_Any_data "
       "const&)",
       {"std::_Function_handler<void (), TfmMain::FormCreate, lambda 1>", "_M_invoke"}},
      {"std::vector<int, std::allocator<int> >::push_back(int const&)",
       {"std::vector<int, std::allocator<int>>", "push_back"}},
      // Return types, operators, constructors, destructors, conversions.
      {"std::remove_reference<int&>::type&& std::move<int&>(int&)", {"std", "move<int&>"}},
      {"std::basic_ostream<char, std::char_traits<char> >& std::operator<< <std::char_traits<char> >"
       "(std::basic_ostream<char, std::char_traits<char> >&, char const*)",
       {"std", "operator<< <std::char_traits<char>>"}},
      {"bool std::operator< <int>(std::vector<int> const&, std::vector<int> const&)",
       {"std", "operator< <int>"}},
      {"gui::Control::operator()(int)", {"gui::Control", "operator()"}},
      {"operator<<(std::ostream&, gui::Control const&)", {"", "operator<<"}},
      {"operator new(unsigned long long, void*)", {"", "operator new"}},
      {"gui::Control::operator bool() const", {"gui::Control", "operator bool"}},
      {"gui::Control::operator std::vector<int, std::allocator<int> >() const",
       {"gui::Control", "operator std::vector<int, std::allocator<int> >"}},
      {"gui::Control::~Control()", {"gui::Control", "~Control"}},
      {"non-virtual thunk to gui::Control::~Control()", {"gui::Control", "~Control"}},
      {"(anonymous namespace)::Helper(int)", {"(anonymous namespace)", "Helper"}},
      {"TfmMain::Caption[abi:cxx11]() const", {"TfmMain", "Caption"}},
      {"WinMain", {"", "WinMain"}},
      // What isn't understood splits at its last "::" as it always did.
      {"void (*ns::signal(int, void (*)(int)))(int)", {"", "(*ns::signal(int, void (*)(int)))"}},
      {"ns::f.part.0", {"ns", "f.part.0"}},
      {"a::b)(", {"a", "b)("}},
  };
  for (const Case& c : cases) EXPECT_EQ(CppProcedureCells(c.Readable), c.Expected) << c.Readable;
}

// The demangler's own spelling of a lambda's type in a member function, as
// the native compiler mangles it (the same rules as GCC's for mingw).
struct TDevices {
  static std::string LambdaType() {
    auto scan = [](int port) { return port + 1; };
    const std::string mangled = std::string("_Z") + typeid(scan).name();
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> d(
        abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && d ? d.get() : mangled;
  }
};

TEST(ProcedureCells, OfTheDemanglersLambdaTypes) {
  const std::string type = TDevices::LambdaType();
  // "LambdaType[abi:cxx11]()": the tag of its std::string result.
  ASSERT_TRUE(type.starts_with("(anonymous namespace)::TDevices::LambdaType[abi:cxx11]()::{lambda(int)#1}"))
      << type;
  const ProcedureCells expected{"(anonymous namespace)::TDevices", "LambdaType, lambda 1"};
  EXPECT_EQ(CppProcedureCells(type + "::operator()(int) const"), expected);
  EXPECT_EQ(CppProcedureCells(type + "::_FUN(int)"), expected);
  EXPECT_EQ(CppProcedureCells("void rtl::TryFinally<" + type + "&>(" + type + "&)").Procedure,
            "TryFinally<(anonymous namespace)::TDevices::LambdaType, lambda 1>");
}

TEST(ProcedureCells, StoredAsClassDotProcedure) {
  EXPECT_EQ(StoredProcedureName("ns::TFoo::Bar(int)"), "ns::TFoo.Bar");
  EXPECT_EQ(StoredProcedureName(kGuardedFun), "rtl.Guarded<gui::Control::Dispatch, lambda 2>, lambda 1");
  EXPECT_EQ(StoredProcedureName("Plain"), "Plain");
  // The reader splits at the first ".": none may come from the name.
  EXPECT_EQ(StoredProcedureName("ns::f.part.0"), "ns.f_part_0");
}

TEST(ProcedureCells, ShortenedToACellKeepIdentifiers) {
  const struct Case {
    const char* Cell;
    const char* Expected;
  } cases[] = {
      {"TryFinally<TfmMain::chkDeviceEnabledClick, lambda 2>",
       "TryFinally<TfmMain::chkDeviceEnabledClick, lambda 2>"},
      // Parameter lists go first; "(anonymous namespace)" is none.
      {"TfmMain::chkDeviceEnabledClick(rtl::Object&, unsigned int) const::{lambda(int, int)#2}",
       "TfmMain::chkDeviceEnabledClick::{lambda#2}"},
      {"(anonymous namespace)::TfmMainWindow::chkDeviceEnabledClick(rtl::Object&)",
       "(anonymous namespace)::TfmMainWindow::chkDeviceEnabledClick"},
      // Then scopes inside template arguments, then nested arguments, then all.
      {"TryFinally<gui::TfmDeviceSettings::chkDeviceEnabledClick, lambda 2>",
       "TryFinally<chkDeviceEnabledClick, lambda 2>"},
      {"std::map<std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char>>, "
       "gui::Control*>",
       "std::map<basic_string<~~>, Control*>"},
      {"std::map<TDeviceSettingsKeyWithAVeryLongName, TDeviceSettingsValueWithALongName>", "std::map<~~>"},
      // Then the numbers of nested lambdas, then leading scopes.
      {"chkDeviceEnabledClickAndSomethingElseThatIsLong, lambda 2, lambda 1",
       "chkDeviceEnabledClickAndSomethingElseThatIsLong, lambda"},
      {"tavrix::drivers::scanner::protocol::detail::TScannerProtocolHandler",
       "~~::drivers::scanner::protocol::detail::TScannerProtocolHandler"},
      // Only an identifier too long by itself loses its middle.
      {"ns::TThisClassNameIsMuchTooLongForAnyCellOfTheReportAndMustLoseItsMiddle",
       "ns::TThisClassNameIsMuchTooLong~~OfTheReportAndMustLoseItsMiddle"},
      // Brackets that don't pair: the middle cut alone.
      {"rtl::Guarded<gui::Control::Dispatch(unsigned int, long long)::{lambda()#2}&&)::{lambda(void*)#1}",
       "rtl::Guarded<gui::Control::Disp~~mbda()#2}&&)::{lambda(void*)#1}"},
  };
  for (const Case& c : cases) {
    const std::string got = ShortenProcedureCell(c.Cell, 64);
    EXPECT_EQ(got, c.Expected) << c.Cell;
    EXPECT_LE(got.size(), 64u) << c.Cell;
  }
}

TEST(ProcedureCells, AnyPrefixOfANameStaysWithinItsCell) {
  // Cut names and stray brackets: whatever comes out, nothing breaks.
  for (const std::string& whole : {std::string(kGuardedFun), std::string(kTryFinally),
                                   std::string("a::operator<<(b<c>::operator()(d)::{lambda(e)#1})")}) {
    for (std::size_t n = 0; n <= whole.size(); ++n) {
      const ProcedureCells cells = CppProcedureCells(whole.substr(0, n));
      EXPECT_LE(ShortenProcedureCell(cells.Class, 64).size(), 64u);
      EXPECT_LE(ShortenProcedureCell(cells.Procedure, 64).size(), 64u);
      EXPECT_LE(ShortenProcedureCell(whole.substr(n), 20).size(), 20u);
    }
  }
  // Deep template arguments are written as they come beyond a few levels.
  std::string nested = "x";
  for (int i = 0; i < 2000; ++i) nested = "f<" + nested + ">";
  EXPECT_EQ(CppProcedureCells(nested + "()"), (ProcedureCells{"", nested}));
}

}  // namespace
