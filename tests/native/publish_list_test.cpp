// Lists read as the updater reads them, through libxml2: what the checks rely
// on (node kinds, white space, text as delivered) and the updater's limits.
#include "common/limits.h"
#include "publish/list_document.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tallowfin::publish;

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

std::string Nested(int depth)
{
    std::string xml;
    for (int i = 0; i < depth; ++i) xml += "<a>";
    for (int i = 0; i < depth; ++i) xml += "</a>";
    return xml;
}

}  // namespace

TEST(ListDocument, KeepsTheKindOfEveryNodeTheUpdaterSees)
{
    const XmlNode root = ReadListBytes(
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- before -->\n<list version='2'>\n  <!--note-->\n"
        "  <?step go?>\n  <item>a &amp; &#xD55C;<![CDATA[<raw>]]></item>\n  loose\n  <empty/>\n</list>\n<!-- after -->\n");
    EXPECT_EQ(root.name, "list");
    ASSERT_EQ(root.children.size(), 5u);
    EXPECT_EQ(root.children[0].kind, XmlNodeKind::Comment);
    EXPECT_EQ(root.children[1].kind, XmlNodeKind::ProcessingInstruction);
    EXPECT_EQ(root.children[1].name, "step");
    EXPECT_EQ(root.children[1].value, "go");
    // References join the text around them; a CDATA section stays apart.
    const XmlNode& item = root.children[2];
    ASSERT_EQ(item.children.size(), 2u);
    EXPECT_EQ(item.children[0].value, "a & \xED\x95\x9C");
    EXPECT_EQ(item.children[1].kind, XmlNodeKind::CData);
    EXPECT_EQ(root.children[3].kind, XmlNodeKind::Text);
    EXPECT_EQ(root.children[3].value, "\n  loose\n  ");
    EXPECT_EQ(root.children[4].name, "empty");
    EXPECT_EQ(UpdaterValue(root.children[4], "x"), std::nullopt);

    // UTF-16 with either byte order reads the same.
    for (const bool bigEndian : {false, true}) {
        const XmlNode wide = ReadListBytes(Utf16("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a><v> &#xD55C; </v></a>", bigEndian));
        EXPECT_EQ(UpdaterValue(wide, "v"), "\xED\x95\x9C");
    }
}

TEST(ListDocument, RefusesWhatTheUpdaterRefusesWithItsPlace)
{
    struct Case {
        std::string document;
        std::string message;
    };
    std::string laughs = "<!DOCTYPE l [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]><l>&b;</l>";
    const std::vector<Case> cases = {
        {"", ""},
        {"<a><b></a>", "mismatch"},
        {laughs, "document type"},
        {"<!DOCTYPE a SYSTEM \"http://127.0.0.1:9/x.dtd\"><a/>", "document type"},
        {"<a>&e;</a>", "Entity 'e' not defined"},
        {Nested(tallowfin::limits::kDeepestNesting + 1), "nested more than 64 deep"},
    };
    for (const auto& c : cases) {
        try {
            ReadListBytes(c.document);
            ADD_FAILURE() << "accepted: " << c.document;
        } catch (const ListDocumentError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << c.document << " -> " << error.what();
        }
    }
    EXPECT_NO_THROW(ReadListBytes(Nested(tallowfin::limits::kDeepestNesting)));
    try {
        ReadListBytes("<a>\n  <b>\n    <c></b>\n</a>");
        ADD_FAILURE();
    } catch (const ListDocumentError& error) {
        EXPECT_EQ(error.Line(), 3u);
        EXPECT_GT(error.Column(), 0u);
    }
}

TEST(ListDocument, ATagWithManyAttributesIsRefusedBeforeParsing)
{
    std::string crowded = "<filelist>\n<file";
    for (int i = 0; i < 160000; ++i) crowded += " a" + std::to_string(i) + "='x'";
    crowded += "/></filelist>";
    try {
        ReadListBytes(crowded);
        ADD_FAILURE();
    } catch (const ListDocumentError& error) {
        EXPECT_EQ(error.Line(), 2u);
        EXPECT_NE(std::string(error.what()).find("more than 64 attributes"), std::string::npos);
    }

    // Only attributes count: "=" in quoted values, text, comments, CDATA and
    // instructions do not, in UTF-8 or UTF-16.
    const std::string many(200, '=');
    std::string fine = "<?pi " + many + "?><a x=\"" + many + "\" y='" + many + "'>" + many + "<!--" + many +
                       "--><![CDATA[" + many + "]]>";
    std::string full = "<b";
    for (std::size_t i = 0; i < kMostAttributesInATag; ++i) full += " a" + std::to_string(i) + "=''";
    fine += full + "/></a>";
    EXPECT_EQ(LineOfCrowdedTag(fine), 0u);
    EXPECT_NO_THROW(ReadListBytes(fine));
    EXPECT_EQ(LineOfCrowdedTag(Utf16(fine, true)), 0u);
    const std::string over = "<a>\n\n" + full + " z=''/></a>";
    EXPECT_EQ(LineOfCrowdedTag(over), 3u);
    EXPECT_EQ(LineOfCrowdedTag(Utf16(over, false)), 3u);
}
