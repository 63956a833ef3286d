// The XML copy of a stored report, read back by expat: every character of
// the report comes back as itself, whatever the program's code page.
#include <expat.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "crashreport/core/TrText.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"
#include "rtl/Exceptions.h"

namespace tracira {
namespace {

// The text of each <Item Number="..."> of the document, as UTF-8.
struct TItems {
  std::map<std::string, std::string> Values;
  std::string Current;
  bool InItem = false;
};

std::map<std::string, std::string> ParseItems(const std::string& xml, std::string& error) {
  TItems items;
  const std::unique_ptr<XML_ParserStruct, decltype(&XML_ParserFree)> parser(XML_ParserCreate("UTF-8"),
                                                                            &XML_ParserFree);
  XML_SetUserData(parser.get(), &items);
  XML_SetElementHandler(
      parser.get(),
      [](void* data, const XML_Char* name, const XML_Char** attributes) {
        auto& it = *static_cast<TItems*>(data);
        if (std::string(name) != "Item") return;
        for (int i = 0; attributes[i]; i += 2)
          if (std::string(attributes[i]) == "Number") it.Current = attributes[i + 1];
        it.InItem = true;
        it.Values[it.Current].clear();
      },
      [](void* data, const XML_Char*) { static_cast<TItems*>(data)->InItem = false; });
  XML_SetCharacterDataHandler(parser.get(), [](void* data, const XML_Char* text, int length) {
    auto& it = *static_cast<TItems*>(data);
    if (it.InItem) it.Values[it.Current].append(text, static_cast<std::size_t>(length));
  });
  if (XML_Parse(parser.get(), xml.data(), static_cast<int>(xml.size()), XML_TRUE) == XML_STATUS_ERROR)
    error = XML_ErrorString(XML_GetErrorCode(parser.get()));
  return items.Values;
}

TEST(XMLCopy, AStrictParserReadsEveryCharacterBack) {
  const std::wstring messages[] = {
      L"\u041F\u043E\u0440\u0442 COM41 \u043D\u0435 \u043E\u0442\u0432\u0435\u0447\u0430\u0435\u0442",
      L"Ger\u00E4t \u00FCberf\u00E4llig & <unbekannt>",
      L"\u626B\u63CF\u4EEA \U0001F4E6 \"quoted\" 'single'",
  };
  for (const std::wstring& message : messages) {
    TReportParts parts;
    parts.ShowOptions = TShowOptions::FromBits((1ull << 11) | (1ull << 12));
    parts.General.ExcMessage = ToAnsi(message);
    parts.General.ExcID = "9DD6";
    TLogFile log;
    log.Append(CreateLogText(DefaultTraciraTexts(), parts), -1);
    const std::string xml = log.GetXML(0);
    std::string error;
    const auto items = ParseItems(xml, error);
    EXPECT_EQ(error, "") << xml;
    ASSERT_TRUE(items.contains("2.6")) << xml;
    EXPECT_EQ(rtl::FromUtf8(items.at("2.6")), message) << xml;
    EXPECT_EQ(items.at("2.7"), "9DD6");
  }
}

}  // namespace
}  // namespace tracira
