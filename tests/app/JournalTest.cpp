// The event journal in the real program, driven from this process, with the
// driver stand-in and scans fed through a serial pair (COM45 for the
// device, COM46 for the test; COM49 has no line): rows as the window shows
// them, copy, "Копировать последнее событие", saving as CSV, clearing, the
// ring of 10,000, catching up after the main window was minimised, and the
// window's place kept per user.
//
// The CSV files are checked once more after this program by Python's csv
// module (journal-test.sh, check_journal_csv.py): this program leaves each
// file beside the rows it expects, taken from the window.
#include <windows.h>
// commctrl.h needs windows.h first.
#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Fmu/fmuJournal.h"
#include "Fmu/fmuMain.h"
#include "gui/Application.h"
#include "rtl/Exceptions.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/UiDriver.h"

namespace {

using namespace apptest;
using uidriver::FindControl;
using uidriver::GetText;

constexpr int kDevicePort = 45;
constexpr int kMissingPort = 49;
const wchar_t kFeedPort[] = L"\\\\.\\COM46";
const std::wstring kMainCaption = L"Тест: драйвер сканера штрих-кода";
const std::wstring kJournalCaption = L"Журнал событий";
const std::wstring kDevicesCaption = L"Тест свойств устройств";
constexpr DWORD kTimeout = 20000;

// Where journal-test.sh wants the CSV files (a Unix path), or empty.
std::filesystem::path OutputFolder() {
  const char* folder = std::getenv("TAVRIX_JOURNAL_OUT");
  if (folder == nullptr || *folder == '\0') return {};
  return std::filesystem::path(apptest::WinPath(folder));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// "2024-05-17 14:03:21.045"
bool LooksLikeATime(const std::wstring& text) {
  if (text.size() != 23) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const wchar_t expected = i == 4 || i == 7     ? L'-'
                             : i == 10            ? L' '
                             : i == 13 || i == 16 ? L':'
                             : i == 19            ? L'.'
                                                  : 0;
    if (expected ? text[i] != expected : !std::iswdigit(text[i])) return false;
  }
  return true;
}

using Row = std::vector<std::wstring>;

class JournalProgram : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    gui::Application::Instance().Initialize();
    gui::Application::Instance().SetTitle(kMainCaption);
  }
  void SetUp() override {
    apptest::IsolateDriverSettings();
    apptest::DeleteFontKey();
    apptest::RegisterDriver();
    RegDeleteTreeW(HKEY_CURRENT_USER, kRegJournalKey);
  }
  void TearDown() override {
    if (process_ && process_->Running()) {
      uidriver::Click(Main(L"btnClose"));
      if (!process_->Wait(kTimeout)) process_->Kill();
    }
  }

  void Start() {
    process_ = std::make_unique<uidriver::Process>(uidriver::Process::Start(apptest::TavrixExe()));
    main_ = uidriver::WaitForTopWindow(process_->Id(), kMainCaption, L"", kTimeout);
    ASSERT_NE(main_, nullptr);
  }
  void Stop() {
    uidriver::Click(Main(L"btnClose"));
    ASSERT_TRUE(process_->Wait(kTimeout));
    EXPECT_EQ(process_->ExitCode(), 0u);
  }
  // The window menu's item, as the operator chooses it.
  void OpenJournal() {
    PostMessageW(main_, WM_SYSCOMMAND, kSysJournal, 0);
    journal_ = uidriver::WaitForTopWindow(process_->Id(), kJournalCaption, L"", kTimeout);
    ASSERT_NE(journal_, nullptr);
  }
  HWND Main(const wchar_t* name) const { return FindControl(main_, name); }
  HWND Journal(const wchar_t* name) const { return FindControl(journal_, name); }
  HWND List() const { return Journal(L"lvJournal"); }
  int Rows() const { return uidriver::ListViewRowCount(List()); }
  bool WaitRows(int count) const {
    return uidriver::WaitUntil([&] { return Rows() == count; }, kTimeout);
  }
  Row ReadRow(int row) const {
    Row cells;
    for (int column = 0; column < 10; ++column) cells.push_back(uidriver::ListViewText(List(), row, column));
    return cells;
  }
  std::vector<Row> ReadRows() const {
    std::vector<Row> rows;
    for (int row = 0; row < Rows(); ++row) rows.push_back(ReadRow(row));
    return rows;
  }
  void EnableDevice(bool enabled) {
    uidriver::Click(Main(L"chkDeviceEnabled"));
    ASSERT_TRUE(uidriver::WaitUntil([&] { return uidriver::IsChecked(Main(L"chkDeviceEnabled")) == enabled; },
                                    kTimeout))
        << rtl::ToUtf8(GetText(Main(L"edtResultDescription")));
  }
  // In the devices dialog: the value typed into the parameter's edit and
  // Enter, then the dialog closed.
  void SetInDevicesDialog(const wchar_t* edit, const wchar_t* value) {
    uidriver::Click(Main(L"btnDevices"));
    const HWND dialog = uidriver::WaitForTopWindow(process_->Id(), kDevicesCaption, L"", kTimeout);
    ASSERT_NE(dialog, nullptr);
    const HWND field = FindControl(dialog, edit);
    uidriver::SetFocusTo(field);
    SendMessageW(field, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(value));
    // Enter writes the value; the click after it is handled after it.
    uidriver::PressKey(field, VK_RETURN);
    uidriver::Click(FindControl(dialog, L"btnClose"));
    ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, kTimeout));
  }
  // Saves through "Сохранить…" and the system's dialog.
  void SaveAs(const std::filesystem::path& file) {
    std::filesystem::remove(file);
    uidriver::Click(Journal(L"btnSave"));
    const HWND dialog = uidriver::WaitForTopWindow(process_->Id(), L"", L"#32770", kTimeout);
    ASSERT_NE(dialog, nullptr);
    // The file name box: the dialog's one visible edit (alone, or inside
    // the file name combo box).
    HWND name = nullptr;
    EnumChildWindows(
        dialog, [](HWND wnd, LPARAM lp) __attribute__((stdcall))->BOOL {
          if (_wcsicmp(uidriver::GetClassName(wnd).c_str(), L"Edit") != 0 || !IsWindowVisible(wnd))
            return TRUE;
          *reinterpret_cast<HWND*>(lp) = wnd;
          return FALSE;
        },
        reinterpret_cast<LPARAM>(&name));
    ASSERT_NE(name, nullptr) << "no file name box in the save dialog";
    const std::wstring path = file.wstring();
    SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(path.c_str()));
    uidriver::PressDialogButton(dialog, IDOK);
    ASSERT_TRUE(uidriver::WaitUntil([&] { return std::filesystem::exists(file); }, kTimeout));
    ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindow(dialog); }, kTimeout));
  }

  std::unique_ptr<uidriver::Process> process_;
  HWND main_ = nullptr;
  HWND journal_ = nullptr;
};

std::wstring Tsv(const std::vector<Row>& rows) {
  std::wstring text;
  for (const Row& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) text += (i ? L"\t" : L"") + row[i];
    text += L"\r\n";
  }
  return text;
}

TEST_F(JournalProgram, EveryEventArrivesInOrderByteExactAndIsCopiedSavedAndCleared) {
  ConfigureDevice(kDevicePort, 1);  // a card reader: whole lines as data, tracks where it finds them
  Start();
  // The window's layout is untouched: the journal is in its window menu.
  OpenJournal();
  EXPECT_EQ(GetWindow(journal_, GW_OWNER), main_);
  EXPECT_TRUE(GetWindowLongW(journal_, GWL_STYLE) & WS_THICKFRAME);
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(GetText(Journal(L"lbScans")), L"Сканирований: 0");
  EXPECT_EQ(GetText(Journal(L"lbErrors")), L"Ошибок: 0");
  EXPECT_EQ(GetText(Journal(L"lbCapacity")),
            L"Записей: 0 (хранятся последние 10 000, более ранние удаляются)");
  std::vector<std::wstring> titles;
  for (const wchar_t* button : {L"btnCopy", L"btnSave", L"btnClear", L"btnClose"})
    titles.push_back(GetText(Journal(button)));
  EXPECT_EQ(titles, (std::vector<std::wstring>{L"Копировать", L"Сохранить…", L"Очистить", L"Закрыть"}));

  EnableDevice(true);
  // Bytes as the device sends them (code page 1251), each line ended by CR.
  FeedSerial(kFeedPort,
             "\x02]C1\x1D"
             "0104601234567893\x1D"
             "21AB\x1F\x03\r"
             "  A<B\tC\nD  \r"
             "\xC0\xE1\xE2 \x98\xA0,\"q\"\r"
             "%B4276123456789012^IVANOV/IVAN^2512?;4276123456789012=2512?+0123456789?\r");
  ASSERT_TRUE(WaitRows(4)) << Rows();
  const std::wstring device = L"№01 Сканер штрих-кода, COM 45";
  const std::vector<Row> scans = {
      {L"1", L"", L"Данные", device, L"<STX>]C1<GS>0104601234567893<GS>21AB<0x1F><ETX>", L"", L"", L"", L"0",
       L"Ошибок нет"},
      {L"2", L"", L"Данные", device, L"<SP><SP>A<0x3C>B<TAB>C<LF>D<SP><SP>", L"", L"", L"", L"0",
       L"Ошибок нет"},
      {L"3", L"", L"Данные", device, L"Абв <0x98><0xA0>,\"q\"", L"", L"", L"", L"0", L"Ошибок нет"},
      {L"4", L"", L"Данные", device,
       L"%B4276123456789012^IVANOV/IVAN^2512?;4276123456789012=2512?+0123456789?",
       L"B4276123456789012^IVANOV/IVAN^2512", L"4276123456789012=2512", L"0123456789", L"0", L"Ошибок нет"},
  };
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    Row row = ReadRow(i);
    EXPECT_TRUE(LooksLikeATime(row[1])) << rtl::ToUtf8(row[1]);
    row[1].clear();
    EXPECT_EQ(row, scans[static_cast<std::size_t>(i)]);
  }
  EXPECT_TRUE(
      uidriver::WaitUntil([&] { return GetText(Journal(L"lbScans")) == L"Сканирований: 4"; }, kTimeout));
  EXPECT_EQ(GetText(Journal(L"lbScansMinute")), L"За последнюю минуту: 4");

  // A key event: the same device as a keyboard.
  SetInDevicesDialog(L"edtModelID", L"5");
  // The dialog may change the current device: the journal names it again
  // once the main window's next once-a-second refresh has read it.
  Sleep(1500);
  FeedSerial(kFeedPort, "A");
  ASSERT_TRUE(WaitRows(5)) << Rows();
  Row key = ReadRow(4);
  key[1].clear();
  EXPECT_EQ(key, (Row{L"5", L"", L"Клавиша", device, L"65", L"", L"", L"", L"",
                      L"KeyDown, источник: Сканер штрих-кода"}));

  // A refused switch-on: the crash reporter reports it, the journal keeps it.
  EnableDevice(false);
  SetInDevicesDialog(L"edtPortNumber", std::to_wstring(kMissingPort).c_str());
  ASSERT_TRUE(uidriver::WaitUntil([&] { return GetText(Main(L"edtPortNumber")) == L"COM 49"; }, kTimeout));
  uidriver::Click(Main(L"chkDeviceEnabled"));
  const uidriver::CrashDialogInfo box = uidriver::WaitForCrashDialog(process_->Id(), kTimeout);
  ASSERT_NE(box.Window, nullptr) << "no dialog of the crash reporter";
  EXPECT_EQ(box.Caption, L"Error occurred");
  uidriver::CloseCrashDialog(box);
  ASSERT_TRUE(WaitRows(6)) << Rows();
  Row error = ReadRow(5);
  error[1].clear();
  EXPECT_EQ(error, (Row{L"6", L"", L"Ошибка", L"№01 Сканер штрих-кода, COM 49", L"DeviceEnabled := True", L"",
                        L"", L"", L"-3", L"Порт недоступен"}));
  EXPECT_TRUE(uidriver::WaitUntil([&] { return GetText(Journal(L"lbErrors")) == L"Ошибок: 1"; }, kTimeout));
  EXPECT_EQ(GetText(Journal(L"lbScans")), L"Сканирований: 4");
  EXPECT_EQ(GetText(Journal(L"lbCapacity")),
            L"Записей: 6 (хранятся последние 10 000, более ранние удаляются)");

  const std::vector<Row> rows = ReadRows();
  ASSERT_EQ(rows.size(), 6u);

  // Copy: the selected rows, tab-separated.
  uidriver::EmptyClipboardNow();
  uidriver::ListViewSelect(List(), 1, true);
  uidriver::ListViewSelect(List(), 3, true);
  uidriver::Click(Journal(L"btnCopy"));
  EXPECT_TRUE(uidriver::WaitUntil(
      [&] {
        return uidriver::ClipboardText() == Tsv({rows[1], rows[3]});
      },
      kTimeout))
      << rtl::ToUtf8(uidriver::ClipboardText());
  uidriver::ListViewSelect(List(), -1, true);
  uidriver::Click(Journal(L"btnCopy"));
  EXPECT_TRUE(uidriver::WaitUntil([&] { return uidriver::ClipboardText() == Tsv(rows); }, kTimeout))
      << rtl::ToUtf8(uidriver::ClipboardText());
  // The main window's menu item copies the last event alone.
  uidriver::EmptyClipboardNow();
  PostMessageW(main_, WM_SYSCOMMAND, kSysCopyLastEvent, 0);
  EXPECT_TRUE(uidriver::WaitUntil([&] { return uidriver::ClipboardText() == Tsv({rows[5]}); }, kTimeout))
      << rtl::ToUtf8(uidriver::ClipboardText());

  // Save: a UTF-8 file with a byte-order mark; its rows are checked by
  // Python afterwards against those of the window, titles first.
  std::filesystem::path folder = OutputFolder();
  if (folder.empty()) folder = std::filesystem::temp_directory_path();
  const std::filesystem::path csv = folder / L"journal.csv";
  SaveAs(csv);
  const std::string bytes = ReadFile(csv);
  EXPECT_TRUE(bytes.starts_with("\xEF\xBB\xBF" + rtl::ToUtf8(L"№,Время,Вид,Текущее устройство,Данные,")))
      << bytes.substr(0, 80);
  std::vector<Row> expected{{L"№", L"Время", L"Вид", L"Текущее устройство", L"Данные", L"Трек 1", L"Трек 2",
                             L"Трек 3", L"Код", L"Текст"}};
  expected.insert(expected.end(), rows.begin(), rows.end());
  std::ofstream(folder / L"journal.expected.tsv", std::ios::binary) << rtl::ToUtf8(Tsv(expected));

  // Clear: no rows, counts from zero, numbers go on.
  uidriver::Click(Journal(L"btnClear"));
  ASSERT_TRUE(WaitRows(0));
  EXPECT_TRUE(
      uidriver::WaitUntil([&] { return GetText(Journal(L"lbScans")) == L"Сканирований: 0"; }, kTimeout));
  EXPECT_EQ(GetText(Journal(L"lbErrors")), L"Ошибок: 0");
  EXPECT_EQ(GetText(Journal(L"lbScansMinute")), L"За последнюю минуту: 0");

  // Escape closes the journal; the program goes on.
  uidriver::PressKey(List(), VK_ESCAPE);
  EXPECT_TRUE(uidriver::WaitUntil([&] { return !IsWindowVisible(journal_); }, kTimeout));
  Stop();
}

// The journal window is owned by the main window and hidden with it: scans
// that arrive meanwhile are all listed once it is restored. They are labels
// a spreadsheet would run as formulas: copied and saved, they stay inert.
TEST_F(JournalProgram, ScansWhileMinimisedAreListedOnRestoreAndFormulasStayInert) {
  ConfigureDevice(kDevicePort, 0);
  Start();
  OpenJournal();
  EnableDevice(true);
  // Windows hides the owned windows of a window it minimises and shows them
  // again when it is restored, by these messages (which DefWindowProc turns
  // into hiding and showing); Wine without a window manager sends none.
  ShowWindow(main_, SW_MINIMIZE);
  SendMessageW(journal_, WM_SHOWWINDOW, FALSE, SW_PARENTCLOSING);
  ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindowVisible(journal_); }, kTimeout));
  FeedSerial(kFeedPort, "=HYPERLINK(\"http://example.com\",\"x\")\r+1+1\r-2+3\r@SUM(1+1)\r");
  ASSERT_TRUE(uidriver::WaitUntil([&] { return GetText(Main(L"Answer")) == L"@SUM(1+1)"; }, kTimeout))
      << rtl::ToUtf8(GetText(Main(L"Answer")));
  EXPECT_EQ(Rows(), 0);  // hidden: nothing done yet
  ShowWindow(main_, SW_RESTORE);
  SendMessageW(journal_, WM_SHOWWINDOW, TRUE, SW_PARENTOPENING);
  ASSERT_TRUE(uidriver::WaitUntil([&] { return IsWindowVisible(journal_) != FALSE; }, kTimeout));
  ASSERT_TRUE(WaitRows(4)) << Rows();
  const std::vector<Row> rows = ReadRows();
  const std::wstring data[] = {L"<0x3D>HYPERLINK(\"http://example.com\",\"x\")", L"<0x2B>1+1", L"<0x2D>2+3",
                               L"<0x40>SUM(1+1)"};
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], std::to_wstring(i + 1));
    EXPECT_EQ(rows[i][4], data[i]);
  }
  EXPECT_TRUE(
      uidriver::WaitUntil([&] { return GetText(Journal(L"lbScans")) == L"Сканирований: 4"; }, kTimeout));

  uidriver::EmptyClipboardNow();
  uidriver::ListViewSelect(List(), -1, true);
  uidriver::Click(Journal(L"btnCopy"));
  EXPECT_TRUE(uidriver::WaitUntil([&] { return uidriver::ClipboardText() == Tsv(rows); }, kTimeout))
      << rtl::ToUtf8(uidriver::ClipboardText());
  // The saved file is read back by Python, which also finds no formula in it.
  std::filesystem::path folder = OutputFolder();
  if (folder.empty()) folder = std::filesystem::temp_directory_path();
  SaveAs(folder / L"formulas.csv");
  std::vector<Row> expected{{L"№", L"Время", L"Вид", L"Текущее устройство", L"Данные", L"Трек 1", L"Трек 2",
                             L"Трек 3", L"Код", L"Текст"}};
  expected.insert(expected.end(), rows.begin(), rows.end());
  std::ofstream(folder / L"formulas.expected.tsv", std::ios::binary) << rtl::ToUtf8(Tsv(expected));
  EnableDevice(false);
  Stop();
}

TEST_F(JournalProgram, TheTenThousandAndFirstEntryDropsTheFirstAndSelectionsStayWithTheirEntries) {
  ConfigureDevice(kDevicePort, 0);
  Start();
  OpenJournal();
  EnableDevice(true);
  // In batches, so that the driver's own queue never fills.
  constexpr int kScans = 10001;
  for (int first = 1; first <= kScans; first += 1000) {
    std::string batch;
    const int last = std::min(first + 999, kScans);
    for (int i = first; i <= last; ++i) batch += std::to_string(i) + "\r";
    FeedSerial(kFeedPort, batch);
    const std::wstring expected = L"Сканирований: " + std::to_wstring(last);
    ASSERT_TRUE(uidriver::WaitUntil([&] { return GetText(Journal(L"lbScans")) == expected; }, 60000))
        << rtl::ToUtf8(GetText(Journal(L"lbScans")));
  }
  ASSERT_TRUE(WaitRows(10000));
  EXPECT_EQ(uidriver::ListViewText(List(), 0, 0), L"2");
  EXPECT_EQ(uidriver::ListViewText(List(), 0, 4), L"2");
  EXPECT_EQ(uidriver::ListViewText(List(), 9999, 0), L"10001");
  EXPECT_EQ(uidriver::ListViewText(List(), 9999, 4), L"10001");
  EXPECT_EQ(GetText(Journal(L"lbCapacity")),
            L"Записей: 10000 (хранятся последние 10 000, более ранние удаляются)");
  EXPECT_TRUE(uidriver::WaitUntil([&] { return GetText(Main(L"edtDataCount")) == L"0"; }, kTimeout));

  // The selection stays with its entries while the oldest ones leave:
  // every row selected, then 500 scans more (entries 10002 to 10501).
  const auto selected = [&](int row) {
    return SendMessageW(List(), LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) != 0;
  };
  uidriver::ListViewSelect(List(), -1, true);
  std::string more;
  for (int i = 10002; i <= 10501; ++i) more += std::to_string(i) + "\r";
  FeedSerial(kFeedPort, more);
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return uidriver::ListViewText(List(), 9999, 0) == L"10501"; }, 60000));
  EXPECT_EQ(uidriver::ListViewText(List(), 0, 0), L"502");
  EXPECT_EQ(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0), 9500);
  EXPECT_TRUE(selected(0));
  EXPECT_TRUE(selected(9499));  // entry 10001, the last one selected
  EXPECT_FALSE(selected(9500));
  // Two rows chosen by the operator keep their entries too.
  uidriver::ListViewSelect(List(), -1, false);
  uidriver::ListViewSelect(List(), 100, true);   // entry 602
  uidriver::ListViewSelect(List(), 9000, true);  // entry 9502
  FeedSerial(kFeedPort, "10502\r10503\r10504\r");
  ASSERT_TRUE(
      uidriver::WaitUntil([&] { return uidriver::ListViewText(List(), 9999, 0) == L"10504"; }, kTimeout));
  EXPECT_EQ(SendMessageW(List(), LVM_GETSELECTEDCOUNT, 0, 0), 2);
  EXPECT_TRUE(selected(97));
  EXPECT_TRUE(selected(8997));
  EXPECT_EQ(uidriver::ListViewText(List(), 97, 0), L"602");
  EnableDevice(false);
  Stop();
}

TEST_F(JournalProgram, TheWindowKeepsItsSizeAndPlaceForTheUser) {
  Start();
  OpenJournal();
  SetWindowPos(journal_, nullptr, 40, 60, 700, 300, SWP_NOZORDER | SWP_NOACTIVATE);
  RECT client{};
  RECT list{};
  // The list and the buttons follow the size.
  ASSERT_TRUE(uidriver::WaitUntil(
      [&] {
        GetClientRect(journal_, &client);
        GetWindowRect(List(), &list);
        MapWindowPoints(HWND_DESKTOP, journal_, reinterpret_cast<POINT*>(&list), 2);
        return list.right == client.right - 8 - 110 - 8;
      },
      kTimeout))
      << list.right << " in " << client.right;
  EXPECT_EQ(list.left, 8);
  EXPECT_EQ(list.right, client.right - 8 - 110 - 8);
  RECT close{};
  GetWindowRect(Journal(L"btnClose"), &close);
  MapWindowPoints(HWND_DESKTOP, journal_, reinterpret_cast<POINT*>(&close), 2);
  EXPECT_EQ(close.right, client.right - 8);
  EXPECT_LT(close.bottom, client.bottom);

  RECT placed{};
  GetWindowRect(journal_, &placed);
  uidriver::Click(Journal(L"btnClose"));
  ASSERT_TRUE(uidriver::WaitUntil([&] { return !IsWindowVisible(journal_); }, kTimeout));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kRegJournalKey, 0, KEY_READ, &key), ERROR_SUCCESS);
  DWORD width = 0;
  DWORD size = sizeof width;
  EXPECT_EQ(RegQueryValueExW(key, L"Width", nullptr, nullptr, reinterpret_cast<BYTE*>(&width), &size),
            ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(static_cast<LONG>(width), placed.right - placed.left);

  // Open again in this run, and in the next one.
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    if (run == 2) {
      Stop();
      Start();
    }
    OpenJournal();
    RECT now{};
    GetWindowRect(journal_, &now);
    EXPECT_EQ(now.left, placed.left);
    EXPECT_EQ(now.top, placed.top);
    EXPECT_EQ(now.right, placed.right);
    EXPECT_EQ(now.bottom, placed.bottom);
  }
  Stop();
}

}  // namespace
