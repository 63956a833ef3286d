// The crash reporter's log file (".tlf"): the last reports of the program,
// one after the other, each followed by three CR LF. Read whole when opened,
// searched item by item for duplicates and versions, and saved atomically.
#pragma once

#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "crashreport/report/TrSafeSave.h"

namespace tracira {

inline constexpr std::string_view kReportSeparator = "\r\n\r\n\r\n";

class TLogFile {
 public:
  // A log in memory only; Save needs a file name.
  TLogFile() = default;
  // Reads the file when it exists (ELogFileError when it can't be read).
  explicit TLogFile(std::filesystem::path fileName);

  const std::filesystem::path& FileName() const { return fFileName; }

  // Replaces the stored reports with those of a whole file's contents.
  void LoadFromStream(std::istream& stream);
  void LoadFromBuffer(std::string_view buffer);
  // The reports of a file's contents, each with its separator. Pieces that
  // don't look like a report (no rule line followed by a table row) are
  // skipped; everything else is kept.
  static std::vector<std::string> ParseBuffer(std::string_view buffer);

  void SaveToStream(std::ostream& stream) const;
  // Writes every stored report to the file, replacing it atomically.
  void Save() const;
  // Removes the file and forgets the stored reports.
  void Delete();

  // Adds a report at the end; with maximum != -1, first drops the oldest
  // reports until maximum - 1 remain.
  void Append(std::string_view text, int maximum);

  int GetCount() const { return static_cast<int>(fItems.size()); }
  // Report index with its separator.
  const std::string& GetReport(int index) const { return fItems.at(static_cast<std::size_t>(index)); }
  // All stored reports, as the file holds them.
  std::string GetText() const;

  // The value of item "S.I" of a report, unescaped and trimmed; empty when
  // the report or the item doesn't exist.
  std::string GetItemValue(std::string_view item, int report) const;
  bool HasItem(std::string_view item, int report) const;
  // Replaces an item's value, or inserts the item after the last item of its
  // section. False when the report or the section doesn't exist.
  bool SetItemValue(std::string_view item, std::string_view value, int report, std::string_view label);
  // The last report in which one of the (item, value) pairs matches; -1 if none.
  int FindItem(const std::vector<std::pair<std::string, std::string>>& pairs) const;
  // The library version written in a report's first line ("6.0.6").
  std::string GetLogVersion(int report) const;

  // The XML copy of a stored report: <Log Version=...> with General (its
  // groups and items), HoToReproduce, CallStack (rows in Thread blocks),
  // Modules, Processes, Assembler and CPU.
  std::string GetXML(int report) const;
  // Writes it to a file (atomically).
  void SaveXMLCopy(int report, const std::filesystem::path& fileName) const;

 private:
  std::filesystem::path fFileName;
  std::vector<std::string> fItems;
};

// What the log file's name is made of, as the system gives it (ANSI texts).
// Every name here is UTF-8, so that no character of a folder or a user name
// is lost on its way to the file system.
struct TLogNameParts {
  std::string ModuleName;  // the module's full file name
  std::string OutputPath;  // the option: a folder, or a whole ".tlf" file name
  std::string Extension = ".tlf";
  // NT family from major version 6 on: the log goes to the user's profile.
  bool ProfileSystem = true;
  std::string ProfileFolder;
  bool AddComputerName = false;  // loAddComputerNameInLogFileName
  std::string ComputerName;
};
// The module's file name with the extension, in OutputPath when set, else
// in ProfileFolder\TraciraLog on a profile system, else beside the module;
// an OutputPath that ends in ".tlf" is the whole name (its extension
// replaced by another one asked for). With AddComputerName, "_" and the
// computer's name go before the extension. Variables are not expanded yet.
std::string LogFileName(const TLogNameParts& parts);

// Looks the exception ID up in the log (item 2.7). When found and counting,
// increases that report's count (item 2.8, labelled countLabel) and saves the
// log. True when the exception is a duplicate.
bool CalcDuplicatedException(TLogFile& log, std::string_view exceptionID, bool count,
                             std::string_view countLabel);

// The version (item 1.3) of the log's last report differs from the current
// one. A last report without that item (hidden by the options) tells no
// version: false.
bool IsLogOfAnotherVersion(const TLogFile& log, std::string_view currentVersion);
// Deletes the log when IsLogOfAnotherVersion; true when it was deleted.
bool DeleteLogAtVersionChange(TLogFile& log, std::string_view currentVersion);

}  // namespace tracira
