#include "crashreport/report/TrXMLBuilder.h"

#include <cstdio>

#include "crashreport/core/TrText.h"

namespace tracira {

namespace {

bool IsEncodedChar(char32_t c) {
  return c < 0x20 || c == '"' || c == '&' || c == '\'' || c == '<' || c == '>' || c >= 0x7F;
}

// XML has no form at all for the other control characters, nor for a
// surrogate half: they are written as the replacement character.
char32_t XmlChar(char32_t c) {
  const bool control = c < 0x20 && c != '\t' && c != '\n' && c != '\r';
  const bool surrogate = c >= 0xD800 && c <= 0xDFFF;
  return control || surrogate || c > 0x10FFFF ? U'\uFFFD' : c;
}

}  // namespace

std::string EncodedString(std::string_view text) {
  // The report's bytes are in the program's code page; a reference names the
  // character itself, whatever the code page of whoever reads the copy.
  const std::wstring wide = FromAnsi(text);
  std::string result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    char32_t c = static_cast<char32_t>(wide[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF)
        c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(wide[++i]) - 0xDC00);
    }
    if (!IsEncodedChar(c)) {
      result += static_cast<char>(c);
      continue;
    }
    char reference[16];
    std::snprintf(reference, sizeof reference, "&#%03u;", static_cast<unsigned>(XmlChar(c)));
    result += reference;
  }
  return result;
}

void TXMLItem::AddField(std::string_view name, std::string_view value) {
  fFields.append(" ").append(name).append("=\"").append(EncodedString(value)).append("\"");
}

TXMLItem& TXMLItem::AddItem(std::string name) {
  fItems.push_back(std::make_unique<TXMLItem>(std::move(name), this));
  return *fItems.back();
}

void TXMLItem::AppendXMLText(std::string& text) const {
  text.append(fSpaces).append("<").append(fName).append(fFields);
  if (fValue.empty() && fItems.empty()) {
    text.append("/>\r\n");
    return;
  }
  text.append(">").append(fValue);
  if (!fItems.empty()) {
    text.append("\r\n");
    for (const auto& item : fItems) {
      item->fSpaces = fSpaces + "  ";
      item->AppendXMLText(text);
    }
    text.append(fSpaces);
  }
  text.append("</").append(fName).append(">\r\n");
}

std::string TXMLItem::GetXMLText() const {
  std::string text;
  AppendXMLText(text);
  return text;
}

}  // namespace tracira
