#include "publish/xml_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using tallowfin::publish::ParseXmlDocument;
using tallowfin::publish::XmlError;
using tallowfin::publish::XmlLimits;
using tallowfin::publish::XmlNode;
using tallowfin::publish::XmlNodeKind;

namespace {

std::string Utf16(const std::string& ascii, bool bigEndian)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char c : ascii) {
        if (bigEndian) out.push_back('\0');
        out.push_back(c);
        if (!bigEndian) out.push_back('\0');
    }
    return out;
}

}  // namespace

TEST(XmlReader, KeepsTheKindOfEveryNode)
{
    const XmlNode root = ParseXmlDocument(
        "<?xml version=\"1.0\" encoding=\"utf-8\" standalone=\"yes\"?>\n<!-- before -->\n<?pi before?>\n"
        "<list version='2'>\n  <!--note-->\n  <?step go?>\n  <item><![CDATA[<raw> & ]]></item>\n  loose\n"
        "  <empty/>\n</list>\n<!-- after -->\n");
    EXPECT_EQ(root.name, "list");
    ASSERT_EQ(root.attributes.size(), 1u);
    EXPECT_EQ(root.attributes[0].value, "2");
    // White space between the children is gone, as the updater's parser drops it.
    ASSERT_EQ(root.children.size(), 5u);
    EXPECT_EQ(root.children[0].kind, XmlNodeKind::Comment);
    EXPECT_EQ(root.children[0].value, "note");
    EXPECT_EQ(root.children[1].kind, XmlNodeKind::ProcessingInstruction);
    EXPECT_EQ(root.children[1].name, "step");
    EXPECT_EQ(root.children[1].value, "go");
    EXPECT_EQ(root.children[2].kind, XmlNodeKind::Element);
    ASSERT_EQ(root.children[2].children.size(), 1u);
    EXPECT_EQ(root.children[2].children[0].kind, XmlNodeKind::CData);
    EXPECT_EQ(root.children[2].children[0].value, "<raw> & ");
    EXPECT_EQ(root.children[3].kind, XmlNodeKind::Text);
    EXPECT_EQ(root.children[3].value, "\n  loose\n  ");
    EXPECT_EQ(root.children[4].name, "empty");
    EXPECT_TRUE(root.children[4].children.empty());
    EXPECT_EQ(root.children[2].line, 7u);
}

TEST(XmlReader, ReferencesJoinTheSurroundingText)
{
    const XmlNode root =
        ParseXmlDocument("<a x=\"1&amp;&#x41;\t&#10;2\">&lt;&gt;&amp;&apos;&quot; &#54620;&#xAD6D;\r\nend</a>");
    ASSERT_EQ(root.children.size(), 1u);
    EXPECT_EQ(root.children[0].value, "<>&'\" \xED\x95\x9C\xEA\xB5\xAD\nend");
    // A literal tab becomes a blank in an attribute; a referenced line feed stays.
    EXPECT_EQ(root.attributes[0].value, "1&A \n2");
    const XmlNode first = ParseXmlDocument("<e><v>1</v><w/><v>2</v></e>");
    ASSERT_NE(first.FirstChildElement("v"), nullptr);
    EXPECT_EQ(first.FirstChildElement("v")->children[0].value, "1");
    EXPECT_EQ(first.FirstChildElement("V"), nullptr);
}

TEST(XmlReader, ReadsUtf8AndUtf16WithByteOrderMarks)
{
    const std::string text = "<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>&#xD55C;x</a>";
    for (const bool bigEndian : {false, true}) {
        const XmlNode root = ParseXmlDocument(Utf16(text, bigEndian));
        ASSERT_EQ(root.children.size(), 1u);
        EXPECT_EQ(root.children[0].value, "\xED\x95\x9C" "x");
    }
    // A character outside the basic plane arrives as a surrogate pair.
    const XmlNode pair = ParseXmlDocument(std::string("\xFF\xFE<\0a\0>\0\x3D\xD8\x00\xDE<\0/\0a\0>\0", 20));
    EXPECT_EQ(pair.children[0].value, "\xF0\x9F\x98\x80");
    EXPECT_EQ(ParseXmlDocument("\xEF\xBB\xBF<a>\xED\x95\x9C</a>").children[0].value, "\xED\x95\x9C");
}

TEST(XmlReader, RefusesMalformedDocumentsWithTheirPlace)
{
    struct Case {
        std::string document;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "no document element"},
        {"<a><b></a>", "does not close"},
        {"<a>", "never closed"},
        {"<a/><b/>", "second document element"},
        {"x<a/>", "text before"},
        {"<a>&nbsp;</a>", "undefined entity"},
        {"<a>&#0;</a>", "does not allow"},
        {"<a>&#xZ1;</a>", "malformed character reference"},
        {"<a><!-- a -- b --></a>", "\"--\" inside a comment"},
        {"<a>]]></a>", "\"]]>\" in text"},
        {"<a x='1' x='2'/>", "given twice"},
        {"<a x='<'/>", "inside an attribute value"},
        {"<a x='1'y='2'/>", "white space before an attribute"},
        {"<a>\xC3\x28</a>", "not valid UTF-8"},
        {"<a>\x01</a>", "does not allow (U+0001)"},
        {"<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>", "DOCTYPE"},
        {"<a><![CDATA[x</a>", "unterminated CDATA"},
        {"<a/><?xml version='1.0'?>", "very start"},
        {" <?xml version='1.0'?><a/>", "white space before the XML declaration"},
        {"<?xml version='2.0'?><a/>", "unsupported XML version"},
        {"<?xml version='1.0' encoding='EUC-KR'?><a/>", "not supported"},
        {"<?xml version='1.0' encoding='UTF-16'?><a/>", "no UTF-16 byte-order mark"},
        {std::string("<\0a\0/\0>\0", 8), "without a byte-order mark"},
        {Utf16("<?xml version='1.0' encoding='UTF-8'?><a/>", false), "starts with a UTF-16 byte-order mark"},
        {std::string("\xFF\xFE\x00\xD8<\0/\0>\0", 10), "unpaired UTF-16 surrogate"},
    };
    for (const auto& c : cases) {
        try {
            ParseXmlDocument(c.document);
            ADD_FAILURE() << "accepted: " << c.document;
        } catch (const XmlError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos)
                << c.document << " -> " << error.what();
        }
    }
    try {
        ParseXmlDocument("<a>\n  <b>\n    <c></b>\n</a>");
        ADD_FAILURE();
    } catch (const XmlError& error) {
        EXPECT_EQ(error.Line(), 3u);
        EXPECT_EQ(error.Column(), 8u);
    }
}

TEST(XmlReader, LimitsBoundDepthSizeAndNodeCount)
{
    XmlLimits limits;
    limits.maxDepth = 3;
    EXPECT_NO_THROW(ParseXmlDocument("<a><b><c/></b></a>", limits));
    EXPECT_THROW(ParseXmlDocument("<a><b><c><d/></c></b></a>", limits), XmlError);
    // Far deeper than the stack would take without the limit.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    EXPECT_THROW(ParseXmlDocument(deep), XmlError);

    limits = {};
    limits.maxBytes = 16;
    EXPECT_THROW(ParseXmlDocument("<a>0123456789ab</a>", limits), XmlError);
    limits = {};
    limits.maxNodes = 3;
    EXPECT_NO_THROW(ParseXmlDocument("<a><b/><c/></a>", limits));
    EXPECT_THROW(ParseXmlDocument("<a><b/><c/><d/></a>", limits), XmlError);
}
