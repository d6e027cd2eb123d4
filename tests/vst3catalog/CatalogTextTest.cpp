#include "vst3catalog/CatalogText.h"

#include <gtest/gtest.h>

#include <cstring>

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
        { "hello from the plug-in", false },
    };
    for (const auto& c : cases)
        EXPECT_EQ (isCatalogRow (c.line), c.row) << c.line;
}
