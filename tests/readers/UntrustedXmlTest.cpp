#include "readers/UntrustedXml.h"

#include <gtest/gtest.h>

namespace
{

bool parse (const juce::String& text, std::unique_ptr<juce::XmlElement>& root, juce::String& error)
{
    const auto* bytes = text.toRawUTF8();
    return vornconv::parseUntrustedXml (bytes, std::strlen (bytes), 8, root, error);
}

juce::String nestedElements (int levels)
{
    return juce::String::repeatedString ("<a>", levels) + juce::String::repeatedString ("</a>", levels);
}

TEST (UntrustedXml, AcceptsOrdinaryDocuments)
{
    std::unique_ptr<juce::XmlElement> root;
    juce::String error;
    ASSERT_TRUE (parse (juce::String::fromUTF8 ("\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<!-- c -->\r\n"
                        "<Root note=\"a &gt; b &amp; c\" t='&quot;>'><![CDATA[x<y]]><Child/></Root>\n<!-- end -->\n"),
                        root, error)) << error;
    EXPECT_TRUE (root->hasTagName ("Root"));
    EXPECT_EQ (root->getStringAttribute ("note"), "a > b & c");
    EXPECT_EQ (root->getStringAttribute ("t"), "\">");
    EXPECT_NE (root->getChildByName ("Child"), nullptr);
    EXPECT_TRUE (parse (nestedElements (8), root, error)) << error;
}

TEST (UntrustedXml, RefusesWhatCouldHarmOrMislead)
{
    juce::TemporaryFile secret;
    ASSERT_TRUE (secret.getFile().replaceWithText ("SECRET"));
    const auto path = secret.getFile().getFullPathName();
    const juce::String cases[] = {
        "<!DOCTYPE r SYSTEM \"" + path + "\"><r/>",
        "<!DOCTYPE r [<!ENTITY e SYSTEM \"" + path + "\">]><r>&e;</r>",
        "<r>&unknown;</r>",
        "<r/>trailing text",
        "<r/><r/>",
        "<r><a></r>",
        "<r",
        "",
        "just text",
        nestedElements (9),
    };
    for (const auto& text : cases)
    {
        std::unique_ptr<juce::XmlElement> root;
        juce::String error;
        EXPECT_FALSE (parse (text, root, error)) << text;
        EXPECT_EQ (root, nullptr) << text;
        EXPECT_TRUE (error.isNotEmpty()) << text;
    }

    const char notUtf8[] = "<r a=\"\xff\"/>";
    std::unique_ptr<juce::XmlElement> root;
    juce::String error;
    EXPECT_FALSE (vornconv::parseUntrustedXml (notUtf8, sizeof (notUtf8) - 1, 8, root, error));
}

TEST (UntrustedXml, SurvivesNestingThatWouldOverflowTheStack)
{
    std::unique_ptr<juce::XmlElement> root;
    juce::String error;
    EXPECT_FALSE (parse (nestedElements (200000), root, error));
    EXPECT_TRUE (error.contains ("nested")) << error;
}

} // namespace
