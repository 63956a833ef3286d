#include "crashreport/report/TrXMLBuilder.h"

#include <cstdio>

namespace tracira {

namespace {

bool IsEncodedChar(unsigned char c) {
  return c < 0x20 || c == '"' || c == '&' || c == '\'' || c == '<' || c == '>' || c >= 0x7F;
}

}  // namespace

std::string EncodedString(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (!IsEncodedChar(c)) {
      result += ch;
      continue;
    }
    char reference[8];
    std::snprintf(reference, sizeof reference, "&#%03u;", unsigned{c});
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
