// Tests of the XML layer: XPath selection and iteration, attributes and text, and the errors of
// unreadable files, broken text and bad expressions.
#include <gtest/gtest.h>

#include "outside/xml/CXMLParser.h"
#include "tests/support/Caught.h"
#include "tests/support/TempDir.h"

using OS::x_wstring;

namespace {

const wchar_t kSchema[] =
    L"<?xml version=\"1.0\"?>\n"
    L"<database><schema>\n"
    L"  <table name=\"QV_VirusScan\"><column name=\"VS_ACTION\" type=\"int16\"/></table>\n"
    L"  <other name=\"skipped\"/>\n"
    L"  <table name=\"QV_\u00C9t\u00E9\u4E2D\"/>\n"
    L"  <table name=\"QV_INMEMORY\">in <![CDATA[memory]]> text</table>\n"
    L"</schema></database>";

const auto CodeOf = [](auto f) { return testsupport::CaughtCode<CXMLException>(f); };

}  // namespace

TEST(XmlParser, SelectsNodesInDocumentOrderWithAttributesAndText) {
    CXMLParser parser;
    EXPECT_TRUE(parser.LoadXML(kSchema));
    CXMLNodeList list = parser.XPathSelectNodes(L"//database/schema/table");
    ASSERT_EQ(3, list.GetLength());

    std::vector<x_wstring> names;
    for (CXMLNode n = list.NextNode(); !n.IsNull(); n = list.NextNode()) {
        names.push_back(n.GetAttribute(L"name"));
    }
    EXPECT_EQ((std::vector<x_wstring>{L"QV_VirusScan", L"QV_\u00C9t\u00E9\u4E2D", L"QV_INMEMORY"}),
              names);
    EXPECT_TRUE(list.NextNode().IsNull());  // stays at the end

    CXMLNode first = list.GetItem(0);
    x_wstring value = L"untouched";
    EXPECT_FALSE(first.GetAttribute(L"missing", value));
    EXPECT_EQ(x_wstring(L"untouched"), value);
    EXPECT_EQ(x_wstring(L"int16"), first.SelectSingleNode(L"column").GetAttribute(L"type"));
    EXPECT_EQ(x_wstring(L"in memory text"), list.GetItem(2).GetText());

    EXPECT_TRUE(parser.XPathSelectSingleNode(L"/database/nothing").IsNull());
}

TEST(XmlParser, ErrorsCarryTheirCodeAndLeaveNoDocument) {
    testsupport::CTempDir dir;
    CXMLParser parser;
    const auto absent = testsupport::Caught<CXMLException>(
        [&] { parser.Load(x_wstring::FromUtf8((dir / "absent.xml").string())); });
    ASSERT_TRUE(absent);
    EXPECT_EQ(CXMLException::kFileUnreadable, absent->GetErrorCode());
    EXPECT_NE(x_wstring::npos, absent->GetErrorMsg().find(L"absent.xml"));
    EXPECT_EQ(CXMLException::kNoDocument, CodeOf([&] { parser.XPathSelectNodes(L"//a"); }));

    testsupport::WriteFile(dir / "broken.xml", "<database><schema></database>");
    EXPECT_EQ(CXMLException::kNotWellFormed,
              CodeOf([&] { parser.Load(x_wstring::FromUtf8((dir / "broken.xml").string())); }));
    EXPECT_FALSE(parser.IsLoaded());
    EXPECT_EQ(CXMLException::kNotWellFormed, CodeOf([&] { parser.LoadXML(L"not xml at all"); }));
    EXPECT_EQ(CXMLException::kNoDocument, CodeOf([&] { parser.GetXML(); }));

    parser.LoadXML(L"<a><b/></a>");
    EXPECT_EQ(CXMLException::kBadXPath, CodeOf([&] { parser.XPathSelectNodes(L"//b[@"); }));
}
