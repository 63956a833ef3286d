#include <gtest/gtest.h>

#include "rtl/Exceptions.h"
#include "rtl/Object.h"

namespace {

TEST(Utf8, RoundTripsCyrillicAndAstralText) {
  const std::wstring text = L"Нет связи \u20AC \U0001F600 end";
  const std::string utf8 = rtl::ToUtf8(text);
  EXPECT_EQ(
      utf8,
      "\xD0\x9D\xD0\xB5\xD1\x82 \xD1\x81\xD0\xB2\xD1\x8F\xD0\xB7\xD0\xB8 \xE2\x82\xAC \xF0\x9F\x98\x80 end");
  EXPECT_EQ(rtl::FromUtf8(utf8), text);
}

TEST(Utf8, DamagedInputBecomesReplacementCharacters) {
  EXPECT_EQ(rtl::FromUtf8("a\xC3"), L"a\uFFFD");
  EXPECT_EQ(rtl::FromUtf8("\xE2\x28\xA1z"), L"\uFFFD(\uFFFDz");
  EXPECT_EQ(rtl::FromUtf8("\xFF"), L"\uFFFD");
}

TEST(Exception, KeepsMessageAndDerivedType) {
  try {
    throw rtl::EConvertError(L"\"abc\" не является целым числом");
  } catch (const rtl::Exception& e) {
    EXPECT_EQ(e.Message(), L"\"abc\" не является целым числом");
    EXPECT_STREQ(e.what(), rtl::ToUtf8(e.Message()).c_str());
    EXPECT_NE(dynamic_cast<const rtl::EConvertError*>(&e), nullptr);
  }
}

TEST(ApplicationHandleException, ReachesInstalledHandlerWithSender) {
  rtl::Object sender;
  rtl::Object* seen = nullptr;
  std::wstring message;
  rtl::SetApplicationHandleException([&](rtl::Object* s) {
    seen = s;
    try {
      throw;
    } catch (const rtl::Exception& e) {
      message = e.Message();
    }
  });
  try {
    throw rtl::EAbort(L"stop");
  } catch (...) {
    rtl::ApplicationHandleException(&sender);
  }
  rtl::SetApplicationHandleException(nullptr);
  EXPECT_EQ(seen, &sender);
  EXPECT_EQ(message, L"stop");
}

}  // namespace
