// The XML text builder and the XML copy of a stored report.
#include <gtest/gtest.h>

#include "crashreport/core/TrText.h"
#include "crashreport/report/TrLogManager.h"
#include "crashreport/report/TrLogText.h"
#include "crashreport/report/TrXMLBuilder.h"

namespace tracira {
namespace {

TEST(XMLBuilder, EncodesMarkupControlsAndHighBytes) {
  const struct {
    std::string text, encoded;
  } cases[] = {
      {"plain text 123", "plain text 123"},
      {"<a & 'b'>", "&#060;a &#038; &#039;b&#039;&#062;"},
      {"q\"\r\n\t", "q&#034;&#013;&#010;&#009;"},
      // XML has no form for NUL and the like.
      {std::string("\0\x01\x7F", 3), "&#65533;&#65533;&#127;"},
      // Every character beyond ASCII by its code point, whatever the code page.
      {ToAnsi(L"\u041F\u0440\u0438"), "&#1055;&#1088;&#1080;"},
      {ToAnsi(L"\u2116 5"), "&#8470; 5"},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodedString(c.text), c.encoded) << c.text;
}

TEST(XMLBuilder, Tree) {
  TXMLItem root("Log");
  root.AddField("Version", "6.0.6");
  root.AddField("Note", "a<b");
  TXMLItem& general = root.AddItem("General");
  TXMLItem& item = general.AddItem("Item");
  item.AddField("Number", "1.1");
  item.SetValue("x & y");
  general.AddItem("Empty");
  root.AddItem("CPU").SetValue("EAX");
  EXPECT_EQ(&item.Parent()->Parent()[0], &root);
  EXPECT_EQ(root.GetXMLText(),
            "<Log Version=\"6.0.6\" Note=\"a&#060;b\">\r\n"
            "  <General>\r\n"
            "    <Item Number=\"1.1\">x &#038; y</Item>\r\n"
            "    <Empty/>\r\n"
            "  </General>\r\n"
            "  <CPU>EAX</CPU>\r\n"
            "</Log>\r\n");
}

TEST(XMLCopy, StoredReportSections) {
  const TTraciraTexts texts = DefaultTraciraTexts();
  TReportParts parts;
  parts.ShowOptions = TShowOptions::FromBits((1ull << 11) | (1ull << 12));
  parts.General.ExcMessage = "a: b\r\nc";
  parts.General.ExcID = "9DD6";
  TTraciraDebugInfo e;
  e.DebugDetail = ddSourceCode, e.ThreadID = 7, e.ErrorLine = true, e.Addr = 0x401000, e.ProcedureName = "Go";
  e.Line = 5;
  parts.Stack = {e};
  parts.Modules = {{0x400000, "C:\\T\\Tavrix.exe", "", "1.0", 10, {2026, 1, 2, 3, 4, 5}}};
  parts.SaveAssemblerAndCPU = false;
  std::string report = CreateLogText(texts, parts);
  report = InsertCustomSection(report, CustomHeaderText(7, texts[mtReproduceDialog_Caption], "Clicked <OK>"),
                               texts[mtDialog_CallStackHeader]);
  TLogFile log;
  log.Append(report, -1);
  EXPECT_EQ(
      log.GetXML(0),
      "<Log Version=\"6.0.6\">\r\n"
      "  <General>\r\n"
      "    <Group Name=\"Exception\" Number=\"2\">\r\n"
      "      <Item Number=\"2.6\" Name=\"Message\">a: b&#013;&#010;c</Item>\r\n"
      "      <Item Number=\"2.7\" Name=\"ID\">9DD6</Item>\r\n"
      "    </Group>\r\n"
      "  </General>\r\n"
      "  <HoToReproduce>Clicked &#060;OK&#062;</HoToReproduce>\r\n"
      "  <CallStack>\r\n"
      "    <Thread Text=\"*Exception Thread: ID=7; Priority=??; Class=\">\r\n"
      "      <Row Address=\"00401000\" Module=\"\" Unit=\"\" Class=\"\" Procedure=\"Go\" Line=\"5[0]\"/>\r\n"
      "    </Thread>\r\n"
      "  </CallStack>\r\n"
      "  <Modules>\r\n"
      "    <Row Handle=\"00400000\" Name=\"Tavrix.exe\" Description=\"\" Version=\"1.0\" Size=\"10\" "
      "Modified=\"2026-01-02 03:04:05\" Path=\"C:\\T\\\"/>\r\n"
      "  </Modules>\r\n"
      "  <Processes/>\r\n"
      "  <Assembler/>\r\n"
      "  <CPU/>\r\n"
      "</Log>\r\n");
  EXPECT_EQ(log.GetXML(3), "");

  // With the assembler and CPU sections their bodies are copied.
  parts.SaveAssemblerAndCPU = true;
  parts.Disassembly = "00401000  nop  ; <-- EXCEPTION";
  log.Append(CreateLogText(texts, parts), -1);
  const std::string xml = log.GetXML(1);
  EXPECT_NE(xml.find("  <Assembler>00401000  nop  ; &#060;-- EXCEPTION</Assembler>\r\n  <CPU>EAX: ????   "),
            std::string::npos)
      << xml;
  EXPECT_NE(
      xml.find(
          "------------------   ---------------------------------------------------------------------------"
          "</CPU>\r\n</Log>\r\n"),
      std::string::npos)
      << xml;
}

}  // namespace
}  // namespace tracira
