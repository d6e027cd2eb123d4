#include "vst3catalog/CatalogText.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace vornconv::vst3catalog;

TEST (CatalogText, QuotesPathsWithEscapedQuotesAndBackslashes)
{
    const struct { const char* path; const char* quoted; } cases[] = {
        { "/a/b.vst3", "\"/a/b.vst3\"" },
        { "", "\"\"" },
        { "/a \"b\"/c\\d.vst3", "\"/a \\\"b\\\"/c\\\\d.vst3\"" },
    };
    for (const auto& c : cases)
        EXPECT_EQ (quotedPath (c.path), c.quoted) << c.path;
}

TEST (CatalogText, FieldsStopAtNulStayInsideTheirSizeAndLoseLineBreaks)
{
    char field[8];
    std::memcpy (field, "ab\tc\0zz", 8);
    EXPECT_EQ (catalogField (field, sizeof field), "ab c");

    std::memcpy (field, "x\ry\nz\t12", 8);   // no NUL at all: exactly the field's size is read
    EXPECT_EQ (catalogField (field, sizeof field), "x y z 12");

    const unsigned char cid[16] = { 0x00, 0x01, 0x7f, 0x80, 0xab, 0xcd, 0xef, 0xff, 0x10, 0x20, 0x30, 0x40, 0x5a, 0x6b, 0x7c, 0x8d };
    EXPECT_EQ (classIdText (cid), "00017F80ABCDEFFF102030405A6B7C8D");
}

TEST (CatalogText, MalformedUtf8InFieldsBecomesOneReplacementCharacterPerByte)
{
    const std::string r = "\xEF\xBF\xBD";   // U+FFFD
    const struct { std::string field; std::string text; } cases[] = {
        // Well-formed text stays as it is, up to the largest value and around the surrogates.
        { "K\xC3\xB6rper \xE2\x82\xAC \xF0\x9F\x8E\xB9", "K\xC3\xB6rper \xE2\x82\xAC \xF0\x9F\x8E\xB9" },
        { "\xF4\x8F\xBF\xBF \xED\x9F\xBF \xEE\x80\x80", "\xF4\x8F\xBF\xBF \xED\x9F\xBF \xEE\x80\x80" },
        // Bytes that never start a character.
        { "\x80" "a\xBF" "b\xF8" "c\xFF", r + "a" + r + "b" + r + "c" + r },
        { "\xC0\xAF", r + r },                          // overlong slash
        { "\xC1\xBF", r + r },
        { "\xE0\x80\xAF", r + r + r },                  // overlong, three bytes
        { "\xF0\x80\x80\xAF", r + r + r + r },          // overlong, four bytes
        { "\xED\xA0\x80", r + r + r },                  // surrogate
        { "\xED\xBF\xBF", r + r + r },
        { "\xF4\x90\x80\x80", r + r + r + r },          // above U+10FFFF
        { "\xF5\x80\x80\x80", r + r + r + r },
        // Sequences cut short, by another character or by the end of the text.
        { "\xE2\x82" "x", r + r + "x" },
        { "ab\xF0\x9F\x8E", "ab" + r + r + r },
        { "\xC3\t\xC3", r + " " + r },                 // TAB still becomes a space
    };
    for (const auto& c : cases)
    {
        std::vector<char> field (c.field.begin(), c.field.end());
        field.push_back (0);
        EXPECT_EQ (catalogField (field.data(), field.size()), c.text) << c.field;
    }

    // A character cut off by the field's own size.
    const char cut[] = { 'a', '\xC3', '\xB6' };
    EXPECT_EQ (catalogField (cut, 2), "a" + r);
    EXPECT_EQ (catalogField (cut, 3), "a\xC3\xB6");
}

TEST (CatalogText, BundlePathsThatCannotBeReadBackFromARowAreRefused)
{
    const struct { std::string path; bool safe; } cases[] = {
        { "/plugins/Good One.vst3", true },
        { "/plugins/K\xC3\xB6rper.vst3", true },
        { "", false },
        { "/plugins/Ta\tb.vst3", false },
        { "/plugins/Line\nBreak.vst3", false },
        { "/plugins/Carriage\rReturn.vst3", false },
        { "/plugins/Trailing.vst3 ", false },
        { "/plugins/Latin1-\xF6.vst3", false },
        { "/plugins/Overlong-\xC0\xAF.vst3", false },
        { "/plugins/Cut-\xE2\x82", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (isRowSafeBundlePath (c.path), c.safe) << c.path;
}

TEST (CatalogText, RecognisesOnlyFiveColumnRowsWithAnUpperCaseClassId)
{
    const std::string cid = "0123456789ABCDEF0123456789ABCDEF";
    EXPECT_EQ (catalogRow (cid, "N", "V", "1", "/b.vst3"), cid + "\tN\tV\t1\t/b.vst3\n");

    const struct { std::string line; bool row; } cases[] = {
        { cid + "\tN\tV\t1\t/b.vst3", true },
        { cid + "\t\t\t\t/b.vst3", true },
        { cid + "\tN\tV\t1\t", false },
        { cid + "\tN\tV\t/b.vst3", false },
        { cid + "\tN\tV\t1\t/b.vst3\t1", false },
        { "0123456789abcdef0123456789ABCDEF\tN\tV\t1\t/b.vst3", false },
        { "0123456789ABCDEF0123456789ABCDE\tN\tV\t1\t/b.vst3", false },
        { cid + "\tN\r\tV\t1\t/b.vst3", false },
        { cid + "\tN\xC0\xAF\tV\t1\t/b.vst3", false },
        { "hello from the plug-in", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (isCatalogRow (c.line), c.row) << c.line;
}
