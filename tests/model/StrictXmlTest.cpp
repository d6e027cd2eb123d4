#include "model/StrictXml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace vornconv;

TEST (StrictXml, AcceptsOrdinaryDocumentsAndRefusesWhatJuceWouldMisread)
{
    struct Case { const char* xml; bool ok; bool externalDoctype; };
    const Case cases[] = {
        { "<a/>", true, false },
        { "<?xml version=\"1.0\"?>\n<!-- c --><a x='1' y=\"&amp;&#60;&#x3E;\">t&lt;<![CDATA[<raw>]]><b/></a>\n<!-- end -->\n", true, false },
        { "  <?xml version=\"1.0\" encoding=\"UTF-8\"?><a/>", true, false },
        // Processing instructions: JUCE's parser loops for ever on one inside content that text
        // follows, so none is let through but the declaration, and that only first.
        { "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VornLiveScene version=\"1\"><?x y?>t</VornLiveScene>", false, false },
        { "<a><?pi x?></a>", false, false },
        { "<key><?x?>name</key>", false, false },
        { "<?pi x?><a/>", false, false },
        { "<a/><?pi x?>", false, false },
        { "<!-- c --><?xml version=\"1.0\"?><a/>", false, false },
        { "<?xml version=\"1.0\"?><?xml version=\"1.0\"?><a/>", false, false },
        { "<?xml-stylesheet href=\"x\"?><a/>", false, false },
        { "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><a/>", true, true },
        { "<!DOCTYPE plist PUBLIC \"x\" \"y\"><a/>", false, false },
        { "<!DOCTYPE a [<!ENTITY e \"<b/>\">]><a>&e;</a>", false, true },
        { "<!DOCTYPE a \"x>y\"><a/>", false, true },
        { "<a/><!DOCTYPE a>", false, true },
        { "<a></b>", false, false },
        { "<a><b></a></b>", false, false },
        { "<a>", false, false },
        { "<a/>x", false, false },
        { "<a/><a/>", false, false },
        { "<a x=1/>", false, false },
        { "<a x='1'y='2'/>", false, false },
        { "<a x='1' x='2'/>", false, false },
        { "<a x='<'/>", false, false },
        { "<a>&nbsp;</a>", false, false },
        { "<a>&#0;</a>", false, false },
        { "<a>&#xD800;</a>", false, false },
        { "<a>&#x110000;</a>", false, false },
        { "<a>&#123456789;</a>", false, false },
        { "<a><!-- open</a>", false, false },
        { "<a><![CDATA[open</a>", false, false },
        { "\xEF\xBB\xBF<a/>", false, false },
        { "<a>\xC0\xAF</a>", false, false },
        { "<a>\xED\xA0\x80</a>", false, false },
        { "<a>\xF4\x90\x80\x80</a>", false, false },
        { "<a>\xE2\x82</a>", false, false },
        { "<a>\xE2\x82\xAC</a>", true, false },
        { "", false, false },
    };
    for (const auto& c : cases)
    {
        juce::String error;
        const bool ok = c.externalDoctype ? strictXml::isWellFormedAllowingExternalDoctype (c.xml, std::strlen (c.xml), 8, error)
                                          : strictXml::isWellFormed (c.xml, std::strlen (c.xml), 8, error);
        EXPECT_EQ (ok, c.ok) << c.xml << ": " << error;
        EXPECT_EQ (error.isEmpty(), c.ok) << c.xml;
    }

    // The depth limit bounds the tree JUCE builds, empty elements included.
    juce::String error;
    for (const char* xml : { "<a><b><c/></b></a>", "<a><b><c></c></b></a>" })
    {
        const auto size = std::strlen (xml);
        EXPECT_TRUE (strictXml::parse (xml, size, 3, error) != nullptr) << xml << ": " << error;
        EXPECT_TRUE (strictXml::parse (xml, size, 2, error) == nullptr) << xml;
        EXPECT_EQ (error, "elements are nested too deeply") << xml;
    }
    const char* withText = "<a x='&amp;'>t&#x41;<![CDATA[<b>]]></a>";
    const auto root = strictXml::parse (withText, std::strlen (withText), 4, error);
    ASSERT_NE (root, nullptr);
    EXPECT_EQ (root->getStringAttribute ("x"), "&");
    EXPECT_EQ (root->getAllSubText(), "tA<b>");
}

// Plain runs of content and attribute text are skipped several bytes at a time; a byte that
// matters must be seen at every position of such a run. parseText must give what parse gives,
// from the text itself, and still see a NUL that would end the text early.
TEST (StrictXml, SeesEveryByteOfLongRunsAndParsesTextInPlace)
{
    struct Probe { const char* inserted; bool inContent; bool ok; };
    const Probe probes[] = {
        { "&amp;", true, true }, { "&bad;", true, false }, { "<b/>", true, true }, { "<", true, false },
        { "\xC0\xAF", true, false }, { "\x80", true, false }, { "\xE2\x82\xAC", true, true }, { ">", true, true },
        { "'", false, true }, { "<", false, false }, { "&lt;", false, true }, { "&x", false, false },
        { "\xED\xA0\x80", false, false }, { "\xFF", false, false }, { "\"", false, false },
    };
    for (const auto& probe : probes)
        for (int at = 0; at <= 20; ++at)
        {
            const juce::String before = juce::String::repeatedString ("x", at), after = juce::String::repeatedString ("y", 20 - at);
            const juce::String run = before + juce::String::fromUTF8 (probe.inserted) + after;
            juce::String xml = probe.inContent ? "<a>" + run + "</a>" : "<a v=\"" + run + "\"/>";
            // Invalid UTF-8 cannot pass through a String; build those documents byte by byte.
            juce::MemoryOutputStream bytes;
            bytes << (probe.inContent ? "<a>" : "<a v=\"") << before;
            bytes.write (probe.inserted, std::strlen (probe.inserted));
            bytes << after << (probe.inContent ? "</a>" : "\"/>");

            juce::String error;
            EXPECT_EQ (strictXml::isWellFormed (bytes.getData(), bytes.getDataSize(), 8, error), probe.ok)
                << probe.inserted << " at " << at << ": " << error;
            if (juce::CharPointer_UTF8::isValidString (static_cast<const char*> (bytes.getData()), (int) bytes.getDataSize()))
            {
                xml = juce::String::fromUTF8 (static_cast<const char*> (bytes.getData()), (int) bytes.getDataSize());
                juce::String textError;
                const auto fromText = strictXml::parseText (xml, xml.getNumBytesAsUTF8(), 8, textError);
                const auto fromBytes = strictXml::parse (bytes.getData(), bytes.getDataSize(), 8, error);
                EXPECT_EQ (fromText != nullptr, fromBytes != nullptr) << xml;
                EXPECT_EQ (textError, error) << xml;
                if (fromText != nullptr && fromBytes != nullptr)
                    EXPECT_TRUE (fromText->isEquivalentTo (fromBytes.get(), false)) << xml;
            }
        }

    // The text ends at the NUL; the size says there is more, and the document is refused.
    juce::String text ("<a>x</a>");
    text.preallocateBytes (16);
    std::memcpy (text.getCharPointer().getAddress(), "<a>x\0y</a>", 11);
    juce::String error;
    EXPECT_EQ (strictXml::parseText (text, 10, 8, error), nullptr);
    EXPECT_EQ (error, "NUL byte in document");
}

// The guard tells every attribute where its value lies, and whether its bytes are its value.
TEST (StrictXml, VisitsEveryAttributeWithItsValuesBytes)
{
    const std::string doc = "<?xml version=\"1.0\"?><a x='1'><Slot pluginState=\"AB.c\" n=\"&amp;q\"/><b y=\"\"/></a>";
    std::vector<std::string> seen;
    const strictXml::AttributeVisitor visit = [&] (std::string_view element, std::string_view attribute, size_t begin,
                                                   size_t end, bool plain) {
        seen.push_back (std::string (element) + "." + std::string (attribute) + "=" + doc.substr (begin, end - begin)
                        + (plain ? "" : " (references)"));
    };
    juce::String error;
    ASSERT_TRUE (strictXml::isWellFormed (doc.data(), doc.size(), 8, error, visit)) << error;
    EXPECT_EQ (seen, (std::vector<std::string> { "a.x=1", "Slot.pluginState=AB.c", "Slot.n=&amp;q (references)", "b.y=" }));

    // Many attributes on one tag are checked for repeats in linear time, and still refused.
    std::string many = "<a";
    for (int i = 0; i < 100000; ++i)
        many += " n" + std::to_string (i) + "=\"\"";
    const auto wide = many + "/>";
    EXPECT_TRUE (strictXml::isWellFormed (wide.data(), wide.size(), 8, error)) << error;
    const auto repeated = many + " n99999=\"\"/>";
    EXPECT_FALSE (strictXml::isWellFormed (repeated.data(), repeated.size(), 8, error));
    EXPECT_EQ (error, "duplicate attribute");
}
