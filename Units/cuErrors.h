// The driver's result codes with their Russian texts: a process-wide list of
// code tables. Modules that know further codes register their own tables.
// The tool shows the driver's own ResultDescription; the list is there for
// code that needs a text without asking the driver.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "rtl/Object.h"

struct TErrorEntry {
  std::int32_t Code;
  const wchar_t* Message;
};

// One registered table: where its first entry is and its highest index
// (entry count minus one, -1 for an empty table). The table itself stays the
// caller's.
struct TErrorTable {
  const TErrorEntry* First;
  std::int32_t HighIndex;

  std::span<const TErrorEntry> Entries() const noexcept {
    return {First, static_cast<std::size_t>(HighIndex + 1)};
  }
};

class TErrorList : public rtl::Object {
 public:
  TErrorList() = default;
  TErrorList(const TErrorList&) = delete;
  TErrorList& operator=(const TErrorList&) = delete;

  // Refers to ErrorArr without copying it: the array must outlive the list.
  void RegisterErrors(std::span<const TErrorEntry> ErrorArr);

  std::size_t Count() const noexcept { return fItems.size(); }
  const TErrorTable& Items(std::size_t index) const { return fItems.at(index); }
  // The text of Code from the first table that has it, or nullptr.
  const wchar_t* Find(std::int32_t Code) const noexcept;

 private:
  std::vector<TErrorTable> fItems;
};

// The driver's common result codes, in the driver's order.
extern const std::span<const TErrorEntry> CommonErrors;

// The process-wide list. It exists from this unit's start-up (with
// CommonErrors registered) until the process exits.
extern constinit std::unique_ptr<TErrorList> ErrorList;

// Registers ErrorArr in ErrorList; the array must live as long as the process.
void RegisterErrorConsts(std::span<const TErrorEntry> ErrorArr);
