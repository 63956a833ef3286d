// A small element tree that writes the XML copy of a report. Values and
// attributes are ANSI text (the program's code page); every character that
// could break the markup or a code page (controls, quotes, '&', '<', '>' and
// everything beyond ASCII) is written as a character reference naming its
// Unicode code point (at least three digits), so the copy is plain ASCII.
// Characters XML cannot hold at all (other controls) become U+FFFD.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tracira {

std::string EncodedString(std::string_view text);

class TXMLItem;
// The child list; it owns its items.
using TXMLItems = std::vector<std::unique_ptr<TXMLItem>>;

class TXMLItem {
 public:
  explicit TXMLItem(std::string name, TXMLItem* parent = nullptr) : fName(std::move(name)), fParent(parent) {}
  const std::string& Name() const { return fName; }
  TXMLItem* Parent() const { return fParent; }
  const TXMLItems& Items() const { return fItems; }

  void SetValue(std::string_view value) { fValue = EncodedString(value); }
  void AddField(std::string_view name, std::string_view value);
  TXMLItem& AddItem(std::string name);
  void AppendXMLText(std::string& text) const;
  std::string GetXMLText() const;

 private:
  std::string fName;
  std::string fValue;           // encoded
  std::string fFields;          // " name=\"value\"" ...
  mutable std::string fSpaces;  // indentation, set by the parent while writing
  TXMLItems fItems;
  TXMLItem* fParent;
};

}  // namespace tracira
