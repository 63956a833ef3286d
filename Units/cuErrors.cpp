#include "Units/cuErrors.h"

#include <array>
#include <limits>
#include <stdexcept>

namespace {

constexpr std::array kCommonErrors{
    TErrorEntry{0, L"Ошибок нет"},
    TErrorEntry{-1, L"Нет связи"},
    TErrorEntry{-2, L"Операция зарезервирована для будущих версий"},
    TErrorEntry{-3, L"Порт недоступен"},
    TErrorEntry{-5, L"Работа драйвера прервана пользователем"},
    TErrorEntry{-6, L"Недопустимое значение"},
    TErrorEntry{-7, L"Невозможно добавить устройство"},
    TErrorEntry{-8, L"Невозможно удалить устройство"},
    TErrorEntry{-9, L"Логическое устройство не найдено"},
    TErrorEntry{-10, L"Неверная последовательность команд"},
    TErrorEntry{-11, L"Устройство не включено"},
    TErrorEntry{-12, L"Не поддерживается в данной версии оборудования"},
    TErrorEntry{-13, L"Драйвер не смог загрузить необходимые модули"},
    TErrorEntry{-14, L"Порт занят приложением"},
    TErrorEntry{-199, L"Неопознанная ошибка"},
};

// Another unit's start-up may register its table before this unit's has run,
// so the list comes into being on first demand, whoever asks first.
TErrorList& GlobalList() {
  if (!ErrorList) {
    ErrorList = std::make_unique<TErrorList>();
    ErrorList->RegisterErrors(CommonErrors);
  }
  return *ErrorList;
}

}  // namespace

constinit const std::span<const TErrorEntry> CommonErrors{kCommonErrors};

constinit std::unique_ptr<TErrorList> ErrorList{};

// The unit's start-up: the list exists before the program's windows do. The
// linker is told to keep this symbol (Units/CMakeLists.txt), so the unit
// starts up in every program that links the error list, even one that never
// names it.
extern "C" {
extern const bool cuErrorsStartUp;
const bool cuErrorsStartUp = (GlobalList(), true);
}

void TErrorList::RegisterErrors(std::span<const TErrorEntry> ErrorArr) {
  // The stored highest index is a 32-bit word; a larger table cannot be named.
  if (ErrorArr.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("error table too large");
  }
  fItems.push_back(TErrorTable{ErrorArr.data(), static_cast<std::int32_t>(ErrorArr.size()) - 1});
}

const wchar_t* TErrorList::Find(std::int32_t Code) const noexcept {
  for (const TErrorTable& table : fItems) {
    for (const TErrorEntry& entry : table.Entries()) {
      if (entry.Code == Code) return entry.Message;
    }
  }
  return nullptr;
}

void RegisterErrorConsts(std::span<const TErrorEntry> ErrorArr) { GlobalList().RegisterErrors(ErrorArr); }
