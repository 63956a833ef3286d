// The error list: the driver's common codes, registration by reference and
// the process-wide list's start-up.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "Units/cuErrors.h"

// Registered by another unit's start-up, which runs before the error list's
// own (this file links first); see EarlyTable below.
extern const std::array<TErrorEntry, 2> kEarlyTable;

TEST(CommonErrors, HoldsTheDriverCodesInOrder) {
  const std::vector<std::pair<std::int32_t, std::wstring>> expected = {
      {0, L"Ошибок нет"},
      {-1, L"Нет связи"},
      {-2, L"Операция зарезервирована для будущих версий"},
      {-3, L"Порт недоступен"},
      {-5, L"Работа драйвера прервана пользователем"},
      {-6, L"Недопустимое значение"},
      {-7, L"Невозможно добавить устройство"},
      {-8, L"Невозможно удалить устройство"},
      {-9, L"Логическое устройство не найдено"},
      {-10, L"Неверная последовательность команд"},
      {-11, L"Устройство не включено"},
      {-12, L"Не поддерживается в данной версии оборудования"},
      {-13, L"Драйвер не смог загрузить необходимые модули"},
      {-14, L"Порт занят приложением"},
      {-199, L"Неопознанная ошибка"},
  };
  ASSERT_EQ(CommonErrors.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(CommonErrors[i].Code, expected[i].first) << "entry " << i;
    EXPECT_EQ(std::wstring(CommonErrors[i].Message), expected[i].second) << "entry " << i;
  }
}

TEST(ErrorList, ExistsFromStartUpWithCommonErrorsFirst) {
  ASSERT_NE(ErrorList, nullptr);
  ASSERT_GE(ErrorList->Count(), 1u);
  EXPECT_EQ(ErrorList->Items(0).First, CommonErrors.data());
  EXPECT_EQ(ErrorList->Items(0).HighIndex, 14);
  EXPECT_STREQ(ErrorList->Find(-14), L"Порт занят приложением");
}

TEST(ErrorList, TableRegisteredBeforeTheListsOwnStartUpIsKept) {
  // The early unit asked first; the list was made on its demand and still
  // got CommonErrors at the front.
  ASSERT_GE(ErrorList->Count(), 2u);
  EXPECT_EQ(ErrorList->Items(0).First, CommonErrors.data());
  EXPECT_EQ(ErrorList->Items(1).First, kEarlyTable.data());
  EXPECT_EQ(ErrorList->Items(1).HighIndex, 1);
  EXPECT_STREQ(ErrorList->Find(-1001), L"ранняя таблица");
}

TEST(ErrorList, RegisterErrorsRefersToTheCallersArray) {
  TErrorList list;
  std::array<TErrorEntry, 3> table{{{-500, L"первая"}, {-501, L"вторая"}, {-502, L"третья"}}};
  list.RegisterErrors(table);
  ASSERT_EQ(list.Count(), 1u);
  EXPECT_EQ(list.Items(0).First, table.data());
  EXPECT_EQ(list.Items(0).HighIndex, 2);
  // Not a copy: a change to the caller's array is what the list sees.
  table[1].Message = L"изменена";
  EXPECT_STREQ(list.Find(-501), L"изменена");
  EXPECT_EQ(list.Find(-503), nullptr);
}

TEST(ErrorList, EarlierTableWinsAndEmptyTablesAreHarmless) {
  TErrorList list;
  const std::array<TErrorEntry, 1> first{{{-7, L"своя"}}};
  list.RegisterErrors(first);
  list.RegisterErrors(std::span<const TErrorEntry>{});
  list.RegisterErrors(CommonErrors);
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Items(1).HighIndex, -1);
  EXPECT_TRUE(list.Items(1).Entries().empty());
  EXPECT_STREQ(list.Find(-7), L"своя");
  EXPECT_STREQ(list.Find(-8), L"Невозможно удалить устройство");
  EXPECT_STREQ(list.Find(0), L"Ошибок нет");
  EXPECT_THROW(list.Items(3), std::out_of_range);
}

TEST(ErrorList, RegisterErrorConstsAppendsToTheGlobalList) {
  static const std::array<TErrorEntry, 1> table{{{-777, L"из теста"}}};
  const std::size_t before = ErrorList->Count();
  RegisterErrorConsts(table);
  ASSERT_EQ(ErrorList->Count(), before + 1);
  EXPECT_EQ(ErrorList->Items(before).First, table.data());
  EXPECT_STREQ(ErrorList->Find(-777), L"из теста");
}
