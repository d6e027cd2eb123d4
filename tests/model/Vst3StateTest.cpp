#include "model/Vst3State.h"

#include "model/StrictXml.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <limits>

using namespace vornconv;

namespace
{

// MemoryBlock's own operator== passes a null pointer to memcmp for empty blocks.
std::string str (const juce::MemoryBlock& b)
{
    return b.isEmpty() ? std::string() : std::string (static_cast<const char*> (b.getData()), b.getSize());
}

juce::MemoryBlock bytesOf (const char* text) { return juce::MemoryBlock (text, std::strlen (text)); }

juce::MemoryBlock randomBlock (size_t n, int seed)
{
    juce::Random r (seed);
    juce::MemoryBlock b (n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (char) r.nextInt (256);
    return b;
}

// A JUCE VST3 container around the given XML text, with a correct length and terminator.
juce::MemoryBlock container (const juce::String& xml)
{
    juce::MemoryOutputStream out;
    out.write ("VC2!", 4);
    out.writeInt ((int) xml.getNumBytesAsUTF8());
    out.write (xml.toRawUTF8(), xml.getNumBytesAsUTF8());
    out.writeByte (0);
    return out.getMemoryBlock();
}

// The same for raw bytes that need not be valid UTF-8.
juce::MemoryBlock rawContainer (const char* xml)
{
    juce::MemoryOutputStream out;
    out.write ("VC2!", 4);
    out.writeInt ((int) std::strlen (xml));
    out.write (xml, std::strlen (xml));
    out.writeByte (0);
    return out.getMemoryBlock();
}

juce::MemoryBlock withBytes (juce::MemoryBlock b, size_t offset, const void* data, size_t n)
{
    b.copyFrom (data, (int) offset, n);
    return b;
}

juce::MemoryBlock withInt64 (juce::MemoryBlock b, size_t offset, juce::int64 v)
{
    juce::uint8 le[8];
    for (int i = 0; i < 8; ++i)
        le[i] = (juce::uint8) ((juce::uint64) v >> (8 * i));
    return withBytes (std::move (b), offset, le, 8);
}

juce::String presetText (const juce::MemoryBlock& blob)
{
    return juce::Base64::toBase64 ("VST", 3) + "\n" + juce::Base64::toBase64 (blob.getData(), blob.getSize());
}

juce::MemoryBlock presetBlob (const juce::String& text)
{
    const auto p = vst3::parseSuperRackPreset (text);
    EXPECT_TRUE (p.ok) << p.error;
    return p.blob;
}

const char* const classId = "0123456789abcdef0123456789ABCDEF";

} // namespace

TEST (JuceMemoryBlockText, DecodesOnlyCanonicalText)
{
    struct Case { const char* text; size_t maxBytes; const char* error; const char* bytes; };
    const Case cases[] = {
        { "0.", 100, nullptr, "" },
        { "3.gI1X", 100, nullptr, "abc" },
        { "3.gI1X", 3, nullptr, "abc" },
        { "03.gI1X", 100, "JUCE base64 payload is not canonical", nullptr },
        { "1.AD", 100, "JUCE base64 payload is not canonical", nullptr },
        { ".AAA", 100, "JUCE base64 length prefix is missing", nullptr },
        { "3gI1X", 100, "JUCE base64 length prefix is missing", nullptr },
        { "", 100, "JUCE base64 length prefix is missing", nullptr },
        { "3a.xxxx", 100, "JUCE base64 length prefix is invalid", nullptr },
        { " 3.gI1X", 100, "JUCE base64 length prefix is invalid", nullptr },
        { "-1.", 100, "JUCE base64 length prefix is invalid", nullptr },
        { "123456789012345678901234567890.", std::numeric_limits<size_t>::max(), "JUCE base64 decoded size exceeds limit", nullptr },
        { "3.gI1X", 2, "JUCE base64 decoded size exceeds limit", nullptr },
        { "3.gI1", 100, "JUCE base64 payload length does not match prefix", nullptr },
        { "3.gI1XA", 100, "JUCE base64 payload length does not match prefix", nullptr },
        { "3.gI1-", 100, "JUCE base64 payload contains an invalid character", nullptr },
        { "3.gI1=", 100, "JUCE base64 payload contains an invalid character", nullptr },
        { "3.gI1\xc3\xa9", 100, "JUCE base64 payload contains an invalid character", nullptr },
    };
    for (const auto& c : cases)
    {
        juce::MemoryBlock out ("junk", 4);
        juce::String error;
        const auto text = juce::String::fromUTF8 (c.text);
        const bool ok = vst3::decodeJuceMemoryBlock (text, out, c.maxBytes, error);
        if (c.error == nullptr)
        {
            EXPECT_TRUE (ok) << c.text << ": " << error;
            EXPECT_EQ (str (out), str (bytesOf (c.bytes))) << c.text;
        }
        else
        {
            EXPECT_FALSE (ok) << c.text;
            EXPECT_EQ (error, c.error) << c.text;
            EXPECT_TRUE (out.isEmpty()) << c.text;
        }
    }
}

TEST (JuceMemoryBlockText, RoundTripsJuceEncoderOutput)
{
    for (size_t n : { 1u, 2u, 3u, 4u, 5u, 6u, 7u, 100u, 4097u })
    {
        const auto block = randomBlock (n, (int) n);
        juce::MemoryBlock out;
        juce::String error;
        ASSERT_TRUE (vst3::decodeJuceMemoryBlock (block.toBase64Encoding(), out, vst3::maxStateBytes, error)) << n << error;
        EXPECT_EQ (str (out), str (block)) << n;
    }
}

// The canonical form is defined by JUCE itself: a text is canonical exactly when JUCE's decoder
// followed by its encoder gives the same text back. The decoder proves that without encoding;
// this compares the two on edge and random texts, including every last character of the sizes
// whose last character carries unused bits.
TEST (JuceMemoryBlockText, CanonicalCheckAgreesWithJuceRoundTrip)
{
    const juce::String alphabet = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";
    const auto payloadChars = [] (int n) { return (8 * n + 5) / 6; };
    juce::Random random (20240611);
    const auto randomPayload = [&] (int chars)
    {
        juce::String p;
        for (int i = 0; i < chars; ++i)
            p << alphabet[random.nextInt (64)];
        return p;
    };

    juce::StringArray texts;
    for (int n : { 1, 2, 3, 4, 5, 301, 302, 303 })
        for (int last = 0; last < 64; ++last)
            texts.add (juce::String (n) + "." + randomPayload (payloadChars (n) - 1) + alphabet[last]);
    for (const char* edge : { "0.", "00.", "0.A", "01.A.", "1.A.", "1.D.", "1.E.", "2.AAA", "2.AAP", "2.AAQ", "3.++++",
                              "1.+.", "1.++", "10.", "010.AAAAAAAAAAAAAA" })
        texts.add (edge);
    for (int i = 0; i < 20000; ++i)
    {
        const int n = random.nextInt (5) == 0 ? 500 + random.nextInt (20) : random.nextInt (40);
        juce::String prefix (n);
        if (random.nextInt (20) == 0)
            prefix = "0" + prefix;
        int chars = payloadChars (n);
        if (random.nextInt (20) == 0)
            chars += random.nextBool() ? 1 : -1;
        auto payload = randomPayload (juce::jmax (0, chars));
        if (payload.isNotEmpty() && random.nextInt (20) == 0)
        {
            const int at = random.nextInt (payload.length());
            const juce::juce_wchar strangers[] = { '-', '=', '/', ' ', 0xE9 };
            payload = payload.replaceSection (at, 1, juce::String::charToString (strangers[random.nextInt (5)]));
        }
        texts.add (prefix + "." + payload);
    }

    int accepted = 0, refused = 0;
    for (const auto& text : texts)
    {
        juce::MemoryBlock reference;
        reference.fromBase64Encoding (text);
        const bool canonical = reference.toBase64Encoding() == text;

        juce::MemoryBlock out;
        juce::String error;
        const bool ok = vst3::decodeJuceMemoryBlock (text, out, vst3::maxStateBytes, error);
        ASSERT_EQ (ok, canonical) << text << ": " << error;
        if (ok)
        {
            EXPECT_EQ (str (out), str (reference)) << text;
            ++accepted;
        }
        else
        {
            ++refused;
        }
    }
    // Both outcomes must be well represented, or the comparison proves little.
    EXPECT_GT (accepted, 1000);
    EXPECT_GT (refused, 1000);
}

TEST (JuceVst3Container, BuildThenParseGivesSameStreams)
{
    const juce::MemoryBlock comp = randomBlock (5000, 1), cont = randomBlock (77, 2);
    struct Case { juce::MemoryBlock component, controller; };
    for (const auto& c : { Case { comp, cont }, Case { comp, {} }, Case { bytesOf ("x"), bytesOf ("y") } })
    {
        const auto built = vst3::buildJuceVst3State (c.component, c.controller);
        EXPECT_TRUE (vst3::looksLikeJuceXmlContainer (built));
        const auto split = vst3::parseJuceVst3State (built);
        ASSERT_TRUE (split.ok) << split.error;
        EXPECT_EQ (str (split.component), str (c.component));
        EXPECT_EQ (str (split.controller), str (c.controller));
        EXPECT_EQ (split.chunkCount, 0);
    }

    // The exact bytes for a small state: JUCE's declaration, one blank, single-line elements.
    const auto small = vst3::buildJuceVst3State (bytesOf ("abc"), {});
    const juce::String xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?> <VST3PluginState><IComponent>3.gI1X</IComponent></VST3PluginState>";
    EXPECT_EQ (str (small), str (container (xml)));
}

TEST (JuceMemoryBlockText, WriterGivesJuceEncoderText)
{
    for (size_t size : { 0, 1, 2, 3, 4, 5, 6, 7, 64, 65, 66, 49151, 49152, 49153, 200000 })
    {
        const auto block = randomBlock ((int) size, (int) size + 3);
        juce::MemoryOutputStream out;
        ASSERT_TRUE (vst3::writeJuceMemoryBlockText (out, block.getData(), block.getSize()));
        EXPECT_EQ (out.toString(), block.toBase64Encoding()) << size;
    }
}

TEST (JuceVst3Container, BuilderWritesWhatJuceXmlWrites)
{
    // The container built through JUCE's own XML writer, kept here as the reference form.
    auto viaJuce = [] (const juce::MemoryBlock& component, const juce::MemoryBlock& controller) {
        juce::XmlElement root ("VST3PluginState");
        if (! component.isEmpty())
            root.createNewChildElement ("IComponent")->addTextElement (component.toBase64Encoding());
        if (! controller.isEmpty())
            root.createNewChildElement ("IEditController")->addTextElement (controller.toBase64Encoding());
        const auto xml = root.toString (juce::XmlElement::TextFormat().singleLine());
        return str (container (xml));
    };
    const juce::MemoryBlock none;
    for (int size : { 1, 2, 3, 100, 4099 })
        for (int other : { 0, 1, 5, 300 })
        {
            const auto a = randomBlock (size, size * 7 + other), b = randomBlock (other, other + 11);
            EXPECT_EQ (str (vst3::buildJuceVst3State (a, b)), viaJuce (a, b)) << size << " " << other;
            EXPECT_EQ (str (vst3::buildJuceVst3State (b, a)), viaJuce (b, a)) << size << " " << other;
        }
    EXPECT_EQ (str (vst3::buildJuceVst3State (none, none)), viaJuce (none, none));
}

TEST (JuceVst3Container, RefusesMalformedContainers)
{
    const juce::String good = "<VST3PluginState><IComponent>3.gI1X</IComponent><IEditController>0.</IEditController></VST3PluginState>";
    const auto valid = container (good);
    auto lengthMinusOne = valid;
    lengthMinusOne[4] = (char) (lengthMinusOne[4] - 1);
    auto badTerminator = valid;
    badTerminator[valid.getSize() - 1] = 'x';
    auto withNul = valid;
    withNul[20] = 0;

    juce::MemoryOutputStream nested;
    nested << "<VST3PluginState>";
    for (int i = 0; i < 200000; ++i) nested << "<a>";
    for (int i = 0; i < 200000; ++i) nested << "</a>";
    nested << "</VST3PluginState>";

    const juce::String parseFailed = "embedded xml did not parse";
    struct Case { const char* what; juce::MemoryBlock data; juce::String error; };
    const Case cases[] = {
        { "8 bytes", juce::MemoryBlock ("VC2!\0\0\0\0", 8), "not a JUCE xml-binary container" },
        { "bad magic", withBytes (valid, 0, "VC3!", 4), "not a JUCE xml-binary container" },
        { "length one short", lengthMinusOne, "embedded xml length/container terminator is invalid" },
        { "last byte not 0", badTerminator, "embedded xml length/container terminator is invalid" },
        { "zero length", juce::MemoryBlock ("VC2!\0\0\0\0\0", 9), "embedded xml length/container terminator is invalid" },
        { "huge length", withBytes (valid, 4, "\xff\xff\xff\xff", 4), "embedded xml length/container terminator is invalid" },
        { "not xml", container ("hello"), parseFailed },
        { "NUL inside", withNul, parseFailed },
        { "trailing text", container (good + "junk"), parseFailed },
        { "second root", container (good + "<VST3PluginState/>"), parseFailed },
        { "doctype", container ("<!DOCTYPE x [<!ENTITY e \"3.gI1X\">]><VST3PluginState><IComponent>&e;</IComponent></VST3PluginState>"), parseFailed },
        { "mismatched close", container ("<VST3PluginState><IComponent>3.gI1X</x></VST3PluginState>"), parseFailed },
        { "invalid utf-8", rawContainer ("<VST3PluginState a=\"\xc0\xaf\"><IComponent>3.gI1X</IComponent></VST3PluginState>"), parseFailed },
        { "200k nested", container (nested.toUTF8()), parseFailed },
        { "root", container ("<Other><IComponent>3.gI1X</IComponent></Other>"), "unexpected root tag: Other" },
        { "controller only", container ("<VST3PluginState><IEditController>3.gI1X</IEditController></VST3PluginState>"), "IComponent stream missing or empty" },
        { "empty component", container ("<VST3PluginState><IComponent>0.</IComponent></VST3PluginState>"), "IComponent stream missing or empty" },
        { "non-canonical", container ("<VST3PluginState><IComponent>03.gI1X</IComponent></VST3PluginState>"), "IComponent stream is invalid: JUCE base64 payload is not canonical" },
        { "bad controller", container ("<VST3PluginState><IComponent>3.gI1X</IComponent><IEditController>3.gI1</IEditController></VST3PluginState>"), "IEditController stream is invalid: JUCE base64 payload length does not match prefix" },
        { "two components", container ("<VST3PluginState><IComponent>3.gI1X</IComponent><icomponent>1.A.</icomponent></VST3PluginState>"), "IComponent stream is invalid: element appears more than once" },
        { "two controllers", container ("<VST3PluginState><IComponent>3.gI1X</IComponent><IEditController>0.</IEditController><IEditController>0.</IEditController></VST3PluginState>"), "IEditController stream is invalid: element appears more than once" },
    };
    for (const auto& c : cases)
    {
        const auto split = vst3::parseJuceVst3State (c.data);
        EXPECT_FALSE (split.ok) << c.what;
        EXPECT_EQ (split.error, c.error) << c.what;
        EXPECT_TRUE (split.component.isEmpty() && split.controller.isEmpty()) << c.what;
    }
}

TEST (JuceVst3Container, AcceptsJuceStyleVariants)
{
    // Root compared without regard to case, surrounding blanks in the text, comments and CDATA.
    const juce::String xml = "<?xml version=\"1.0\"?>\n<!-- saved -->\n<vst3pluginstate version='1'>\n  <IComponent>\n 3.gI1X\n </IComponent>"
                             "<IEditController><![CDATA[1.A.]]></IEditController></vst3pluginstate>\n";
    const auto split = vst3::parseJuceVst3State (container (xml));
    ASSERT_TRUE (split.ok) << split.error;
    EXPECT_EQ (str (split.component), str (bytesOf ("abc")));
    EXPECT_EQ (str (split.controller), str (juce::MemoryBlock ("\x01", 1)));
}

// Containers in the plain shape that state writers produce are read without building JUCE's
// tree. Whatever the shape, the result must be what the tree gives: the first IComponent and
// IEditController child (names compared as JUCE compares them), their whole text trimmed, decoded
// as memory-block text. This compares the parser with that reading on plain shapes and on every
// kind of near miss.
TEST (JuceVst3Container, PlainShapeReadsAsJuceTreeWould)
{
    struct Reading { bool ok = false; juce::String error; std::string component, controller; };
    const auto throughTree = [] (const juce::String& xml)
    {
        Reading r;
        juce::String detail;
        const auto root = strictXml::parse (xml.toRawUTF8(), xml.getNumBytesAsUTF8(), strictXml::defaultMaxDepth, detail);
        if (root == nullptr)
        {
            r.error = "embedded xml did not parse";
            return r;
        }
        if (! root->hasTagName ("VST3PluginState"))
        {
            r.error = "unexpected root tag: " + root->getTagName();
            return r;
        }
        for (const char* name : { "IComponent", "IEditController" })
        {
            juce::Array<juce::XmlElement*> found;
            for (auto* e : root->getChildIterator())
                if (e->hasTagName (name))
                    found.add (e);
            if (found.size() > 1)
            {
                r = Reading();
                r.error = juce::String (name) + " stream is invalid: element appears more than once";
                return r;
            }
            if (found.isEmpty())
                continue;
            juce::MemoryBlock block;
            juce::String error;
            if (! vst3::decodeJuceMemoryBlock (found[0]->getAllSubText().trim(), block, vst3::maxStateBytes, error))
            {
                r = Reading();
                r.error = juce::String (name) + " stream is invalid: " + error;
                return r;
            }
            (juce::String (name) == "IComponent" ? r.component : r.controller) = str (block);
        }
        if (r.component.empty())
        {
            r.controller.clear();
            r.error = "IComponent stream missing or empty";
            return r;
        }
        r.ok = true;
        return r;
    };

    const juce::String comp = randomBlock (301, 7).toBase64Encoding(), cont = randomBlock (2, 8).toBase64Encoding();
    const juce::String decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    const auto plain = [&] (const juce::String& c, const juce::String& e)
    {
        return "<VST3PluginState><IComponent>" + c + "</IComponent><IEditController>" + e + "</IEditController></VST3PluginState>";
    };
    const juce::String body = plain (comp, cont);
    juce::StringArray variants {
        decl + " " + body,
        body,
        decl + body,
        "<?xml?>" + body,
        decl + "\r\n" + body + "\r\n \t",
        decl + "\n<VST3PluginState>\n  <IComponent>" + comp + "</IComponent>\n  <IEditController>" + cont + "</IEditController>\n</VST3PluginState>\n",
        "<VST3PluginState><IEditController>" + cont + "</IEditController><IComponent>" + comp + "</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp + "</IComponent></VST3PluginState>",
        "<VST3PluginState></VST3PluginState>",
        "<VST3PluginState><IComponent></IComponent></VST3PluginState>",
        plain (comp, ""),
        plain ("0" + comp, cont),
        plain (comp.dropLastCharacters (1), cont),
        plain (comp, cont + "A"),
        plain (comp, "1.+."),
        "<VST3PluginState><IComponent>" + comp + "</IComponent><IComponent>" + comp + "</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp + "</IComponent><icomponent>0.</icomponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp + "</IComponent><IEditController>0.</IEditController><IEditController>0.</IEditController></VST3PluginState>",
        "<vst3pluginstate><IComponent>" + comp + "</IComponent></vst3pluginstate>",
        "<VST3PluginState><IComponent> " + comp + "\n</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp.substring (0, 10) + "\r\n" + comp.substring (10) + "</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp.substring (0, 10) + "<!-- x -->" + comp.substring (10) + "</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent><![CDATA[" + comp + "]]></IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp.replace ("+", "&#43;") + "</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp + "<x/></IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent >" + comp + "</IComponent ></VST3PluginState>",
        "<VST3PluginState v=\"1\"><IComponent a='b'>" + comp + "</IComponent></VST3PluginState>",
        "<VST3PluginState><Other>x</Other><IComponent>" + comp + "</IComponent></VST3PluginState>",
        "<VST3PluginState>text<IComponent>" + comp + "</IComponent></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp + "</IEditController></VST3PluginState>",
        "<VST3PluginState><IComponent>" + comp + "</IComponent>",
        "<VST3PluginState><IComponent>" + comp,
        body + "x",
        body + body,
        body + "<!-- end -->",
        "<?xml version=\"1.0\"" + body,
        "<?xml \xe2\x80\x94?>" + body,
        "<!-- c -->" + body,
        " " + body,
        "<Other><IComponent>" + comp + "</IComponent></Other>",
    };
    // Anything but memory-block characters, at every position of the first bytes of a stream.
    for (const char* stranger : { " ", "\r\n", "&#46;", "<!---->", "/" })
        for (int at = 0; at <= 17; ++at)
            variants.add (plain (comp.substring (0, at) + stranger + comp.substring (at), cont));
    // Blanks that trimming removes, after streams of every length modulo the scan's stride.
    for (int n = 1; n <= 24; ++n)
        for (const char* blank : { " ", "\r\n" })
            variants.add (plain (randomBlock ((size_t) n, n).toBase64Encoding() + blank, cont));
    for (const auto& xml : variants)
    {
        const auto expected = throughTree (xml);
        const auto split = vst3::parseJuceVst3State (container (xml));
        EXPECT_EQ (split.ok, expected.ok) << xml;
        EXPECT_EQ (split.error, expected.error) << xml;
        EXPECT_EQ (str (split.component), expected.component) << xml;
        EXPECT_EQ (str (split.controller), expected.controller) << xml;
    }
}

TEST (SuperRackPreset, BuildParseAndChunksRoundTrip)
{
    const auto comp = randomBlock (300, 3), cont = randomBlock (41, 4);
    for (bool withController : { true, false })
    {
        const auto controller = withController ? cont : juce::MemoryBlock();
        const auto text = vst3::buildSuperRackPreset (classId, comp, controller);
        ASSERT_TRUE (text.startsWith ("VlNU\n"));
        EXPECT_FALSE (text.endsWithChar ('\n'));

        const auto preset = vst3::parseSuperRackPreset (text);
        ASSERT_TRUE (preset.ok) << preset.error;
        EXPECT_EQ (preset.formatTag, "VST");
        EXPECT_EQ (preset.marker, 307);
        EXPECT_EQ (preset.classId, juce::String (classId).toUpperCase());
        EXPECT_EQ (preset.bodyOffset, 45u);
        EXPECT_EQ (preset.body.getSize(), comp.getSize() + controller.getSize() + (withController ? 48u : 28u));
        EXPECT_EQ (preset.blob.getSize(), 45 + preset.body.getSize());

        const auto chunks = vst3::extractSteinbergChunks (preset.blob, 45);
        ASSERT_TRUE (chunks.ok) << chunks.error;
        EXPECT_EQ (chunks.delta, -3);
        EXPECT_EQ (chunks.chunkCount, withController ? 2 : 1);
        EXPECT_EQ (str (chunks.component), str (comp));
        EXPECT_EQ (str (chunks.controller), str (controller));

        // Windows line ends, the blob split over lines and blank lines in between change nothing.
        const auto b64 = text.fromFirstOccurrenceOf ("\n", false, false);
        const auto messy = "\r\n  VlNU \r\n\r\n" + b64.substring (0, 10) + "\r\n \t\r\n" + b64.substring (10) + "\r\n\r\n";
        const auto again = vst3::parseSuperRackPreset (messy);
        ASSERT_TRUE (again.ok) << again.error;
        EXPECT_EQ (str (again.blob), str (preset.blob));
    }
}

TEST (SuperRackPreset, BuilderRefusesBadInput)
{
    const auto comp = bytesOf ("c");
    EXPECT_EQ (vst3::buildSuperRackPreset ("0123456789abcdef0123456789ABCDE", comp, {}), "");
    EXPECT_EQ (vst3::buildSuperRackPreset ("0123456789abcdef0123456789ABCDEG", comp, {}), "");
    EXPECT_EQ (vst3::buildSuperRackPreset ("0123456789abcdef0123456789ABCDEF0", comp, {}), "");
    EXPECT_EQ (vst3::buildSuperRackPreset (classId, {}, bytesOf ("t")), "");
}

TEST (SuperRackPreset, RefusesMalformedText)
{
    const auto blob = presetBlob (vst3::buildSuperRackPreset (classId, bytesOf ("component"), bytesOf ("ctl")));
    const auto b64 = juce::Base64::toBase64 (blob.getData(), blob.getSize());
    const juce::String body = "\n" + b64;
    auto marker306 = blob;
    marker306[0] = (char) 50;

    struct Case { const char* what; juce::String text; const char* error; };
    const Case cases[] = {
        { "one line", "VlNU", "preset text has fewer than two base64 sections" },
        { "blank second line", "VlNU\n  \n", "preset text has fewer than two base64 sections" },
        { "bad tag base64", "VlN" + body, "format tag base64 decode failed" },
        { "VST with NUL", "VlNUAA==" + body, "preset format tag is not VST" },
        { "VS2", juce::Base64::toBase64 ("VS2", 3) + body, "preset format tag is not VST" },
        { "bad blob base64", "VlNU\n" + b64 + "!", "blob base64 decode failed" },
        { "47-byte blob", presetText (juce::MemoryBlock (blob.getData(), 47)), "blob base64 decode failed" },
        { "marker 306", presetText (marker306), "preset wrapper marker/layout is invalid" },
        { "byte 4", presetText (withBytes (blob, 4, "\x01", 1)), "preset wrapper marker/layout is invalid" },
        { "G in class id", presetText (withBytes (blob, 10, "G", 1)), "preset class id is invalid" },
        { "L one too large", presetText (withInt64 (blob, 37, (juce::int64) blob.getSize() - 44)), "preset body length does not match wrapper" },
        { "L one too small", presetText (withInt64 (blob, 37, (juce::int64) blob.getSize() - 46)), "preset body length does not match wrapper" },
        { "L zero", presetText (withInt64 (blob, 37, 0)), "preset body length does not match wrapper" },
        { "L negative", presetText (withInt64 (blob, 37, std::numeric_limits<juce::int64>::min())), "preset body length does not match wrapper" },
    };
    for (const auto& c : cases)
    {
        const auto preset = vst3::parseSuperRackPreset (c.text);
        EXPECT_FALSE (preset.ok) << c.what;
        EXPECT_EQ (preset.error, c.error) << c.what;
        EXPECT_TRUE (preset.body.isEmpty()) << c.what;
    }
}

TEST (SteinbergChunks, RefusesInconsistentTables)
{
    // Blob layout with a controller: 45 header, comp (9 bytes) at 45, cont (3) at 54, table at 57.
    const auto two = presetBlob (vst3::buildSuperRackPreset (classId, bytesOf ("component"), bytesOf ("ctl")));
    const auto one = presetBlob (vst3::buildSuperRackPreset (classId, bytesOf ("component"), {}));
    const size_t t2 = two.getSize() - 48, t1 = one.getSize() - 28;
    const juce::int64 int64Max = std::numeric_limits<juce::int64>::max();

    struct Case { const char* what; juce::MemoryBlock blob; size_t base; juce::String error; };
    const Case cases[] = {
        { "base + 23 bytes", juce::MemoryBlock (one.getData(), 45 + 23), 45, "blob too small for a chunk list" },
        { "base beyond the blob", one, one.getSize() + 1, "blob too small for a chunk list" },
        { "huge base", one, std::numeric_limits<size_t>::max(), "blob too small for a chunk list" },
        { "tag Lisx", withBytes (one, t1, "Lisx", 4), 45, "chunk table count/tags/layout are invalid" },
        { "count 2 in a short table", withBytes (one, t1 + 4, "\x02", 1), 45, "chunk table count/tags/layout are invalid" },
        { "second id not Cont", withBytes (two, t2 + 28, "Comp", 4), 45, "chunk table count/tags/layout are invalid" },
        { "comp size 0", withInt64 (one, t1 + 20, 0), 45, "Comp chunk has non-positive size" },
        { "comp size -1", withInt64 (two, t2 + 20, -1), 45, "Comp chunk has non-positive size" },
        { "comp one short", withInt64 (one, t1 + 20, 8), 45, "chunk regions fell outside the body (base=-3 comp=48+8 limit=" + juce::String ((int) t1) + ")" },
        { "comp offset INT64_MAX", withInt64 (one, t1 + 12, int64Max), 45,
          "chunk regions fell outside the body (base=-9223372036854775762 comp=9223372036854775807+9 limit=" + juce::String ((int) t1) + ")" },
        { "comp offset negative", withInt64 (one, t1 + 12, -1), 45, "chunk regions fell outside the body (base=46 comp=-1+9 limit=" + juce::String ((int) t1) + ")" },
        { "comp size INT64_MAX", withInt64 (one, t1 + 20, int64Max), 45,
          "chunk regions fell outside the body (base=-3 comp=48+9223372036854775807 limit=" + juce::String ((int) t1) + ")" },
        { "cont offset INT64_MAX", withInt64 (two, t2 + 32, int64Max), 45, "chunk regions fell outside the body (base=-3 comp=48+9 limit=" + juce::String ((int) t2) + ")" },
        { "cont size INT64_MAX", withInt64 (two, t2 + 40, int64Max), 45, "chunk regions fell outside the body (base=-3 comp=48+9 limit=" + juce::String ((int) t2) + ")" },
        { "cont not adjacent", withInt64 (two, t2 + 32, 58), 45, "chunk regions fell outside the body (base=-3 comp=48+9 limit=" + juce::String ((int) t2) + ")" },
        { "cont one short", withInt64 (two, t2 + 40, 2), 45, "chunk regions fell outside the body (base=-3 comp=48+9 limit=" + juce::String ((int) t2) + ")" },
    };
    for (const auto& c : cases)
    {
        const auto split = vst3::extractSteinbergChunks (c.blob, c.base);
        EXPECT_FALSE (split.ok) << c.what;
        EXPECT_EQ (split.error, c.error) << c.what;
        EXPECT_TRUE (split.component.isEmpty() && split.controller.isEmpty()) << c.what;
    }

    // Two entries whose controller is empty: accepted, with no controller bytes.
    auto emptyCont = presetBlob (vst3::buildSuperRackPreset (classId, bytesOf ("component"), bytesOf ("ctl")));
    emptyCont.removeSection (54, 3);
    const size_t t = emptyCont.getSize() - 48;
    emptyCont = withInt64 (withInt64 (emptyCont, t + 40, 0), t + 32, 57);
    const auto split = vst3::extractSteinbergChunks (emptyCont, 45);
    ASSERT_TRUE (split.ok) << split.error;
    EXPECT_EQ (split.chunkCount, 2);
    EXPECT_EQ (str (split.component), str (bytesOf ("component")));
    EXPECT_TRUE (split.controller.isEmpty());
}

namespace
{

// What a preset text gives when it is read with JUCE's own functions: lines as
// StringArray::addLines splits them, the blank ones left out and the others trimmed, the first
// and the joined rest decoded with Base64::convertFromBase64. error is empty when the wrapper was
// decoded; the checks of the wrapper itself come after this.
struct JuceReading
{
    juce::String error;
    juce::String formatTag;
    std::string blob;
};

JuceReading readWithJuce (const juce::String& text)
{
    JuceReading r;
    juce::StringArray lines;
    lines.addLines (text);
    juce::StringArray sections;
    for (const auto& line : lines)
        if (line.containsNonWhitespaceChars())
            sections.add (line.trim());
    if (sections.size() < 2)
    {
        r.error = "preset text has fewer than two base64 sections";
        return r;
    }
    juce::MemoryOutputStream tag;
    if (! juce::Base64::convertFromBase64 (tag, sections[0]))
    {
        r.error = "format tag base64 decode failed";
        return r;
    }
    r.formatTag = juce::String::createStringFromData (tag.getData(), (int) tag.getDataSize());
    if (tag.getDataSize() != 3 || std::memcmp (tag.getData(), "VST", 3) != 0)
    {
        r.error = "preset format tag is not VST";
        return r;
    }
    sections.remove (0);
    juce::MemoryOutputStream blob;
    if (! juce::Base64::convertFromBase64 (blob, sections.joinIntoString ("")) || blob.getDataSize() <= 47)
    {
        r.error = "blob base64 decode failed";
        return r;
    }
    r.blob.assign (static_cast<const char*> (blob.getData()), blob.getDataSize());
    return r;
}

// The blob in base64 groups of one or two bytes each, every group padded: JUCE reads on past a
// padded group, so the text decodes to the blob all the same. With strayBits, each one-byte group
// also sets the bits a canonical encoder leaves zero.
juce::String paddedGroups (const juce::MemoryBlock& blob, size_t bytesPerGroup, bool strayBits)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    const auto* b = static_cast<const juce::uint8*> (blob.getData());
    juce::String text;
    for (size_t i = 0; i < blob.getSize(); i += bytesPerGroup)
    {
        if (bytesPerGroup == 2 && i + 1 < blob.getSize())
        {
            text << juce::Base64::toBase64 (b + i, 2);
            continue;
        }
        const int c = b[i];
        text << juce::String::charToString (alphabet[c >> 2])
             << juce::String::charToString (alphabet[((c & 3) << 4) | (strayBits ? 0x0F : 0)]) << "==";
    }
    return text;
}

} // namespace

TEST (SuperRackPreset, TextsReadAsJuceReadsThem)
{
    const auto blob = presetBlob (vst3::buildSuperRackPreset (classId, bytesOf ("component"), bytesOf ("ctl")));
    const auto b64 = juce::Base64::toBase64 (blob.getData(), blob.getSize());
    const auto head = b64.substring (0, 7), middle = b64.substring (7, 22), tail = b64.substring (22);
    const auto u = [] (const char* utf8) { return juce::String::fromUTF8 (utf8); };

    // expected: the error, empty for a text that reads as the wrapper; null: whatever JUCE's
    // functions make of it (white space outside ASCII is the C library's to decide).
    struct Case { const char* what; juce::String text; const char* expected; };
    const Case cases[] = {
        { "LF", "VlNU\n" + b64, "" },
        { "CR LF and a final line break", "VlNU\r\n" + b64 + "\r\n", "" },
        { "lone CR", "VlNU\r" + b64, "" },
        { "CR CR LF", "VlNU\r\r\n" + b64, "" },
        { "wrapper over three lines, groups cut across them", "VlNU\n" + head + "\n\n" + middle + "\r\n \t\r\n" + tail, "" },
        { "blank lines and padding", "\n\n \tVlNU \x0b\x0c\n  " + b64 + "\t\n \n", "" },
        { "padded groups of two bytes", "VlNU\n" + paddedGroups (blob, 2, false), "" },
        { "padded groups of one byte", "VlNU\n" + paddedGroups (blob, 1, false), "" },
        { "pad bits set", "VlNU\n" + paddedGroups (blob, 1, true), "" },
        { "pad then a character in one group", "VlNU\n" + b64 + "QQ=A", "preset body length does not match wrapper" },
        { "tag in two lines", "Vl\nNU\n" + b64, "format tag base64 decode failed" },
        { "empty text", "", "preset text has fewer than two base64 sections" },
        { "only blank lines", " \n\t\r\n\x0b\r", "preset text has fewer than two base64 sections" },
        { "one section", "  VlNU  ", "preset text has fewer than two base64 sections" },
        { "tag not a whole group", "VlNUQ\n" + b64, "format tag base64 decode failed" },
        { "pad at the start of a group", "VlNU====\n" + b64, "format tag base64 decode failed" },
        { "tag VST and NUL", "VlNUAA==\n" + b64, "preset format tag is not VST" },
        { "tag VS", "VlM=\n" + b64, "preset format tag is not VST" },
        { "tag AU", "QVU=\n" + b64, "preset format tag is not VST" },
        { "blank inside a line", "VlNU\n" + head + " " + middle + tail, "blob base64 decode failed" },
        { "URL-safe alphabet", "VlNU\n" + b64.replaceCharacter ('+', '-').replaceCharacter ('/', '_') + "-_-_", "blob base64 decode failed" },
        { "one character too many", "VlNU\n" + b64 + "A", "blob base64 decode failed" },
        { "second character a pad", "VlNU\n" + b64 + "Q===", "blob base64 decode failed" },
        { "letter outside ASCII", "VlNU\n" + head + u ("\xc3\xa9") + "AAA" + middle + tail, "blob base64 decode failed" },
        { "47 bytes", "VlNU\n" + juce::Base64::toBase64 (blob.getData(), 47), "blob base64 decode failed" },
        { "48 bytes", "VlNU\n" + juce::Base64::toBase64 (blob.getData(), 48), "preset body length does not match wrapper" },
        { "ideographic spaces around the tag", u ("\xe3\x80\x80VlNU\xe3\x80\x80\n") + b64, nullptr },
        { "no-break spaces around the wrapper", "VlNU\n" + u ("\xc2\xa0") + b64 + u ("\xc2\xa0"), nullptr },
        { "a line of en quads", "VlNU\n" + u ("\xe2\x80\x80\xe2\x80\x80\n") + b64, nullptr },
        { "line separator is no line break", "VlNU" + u ("\xe2\x80\xa8") + b64, nullptr },
        { "next line is no line break", "VlNU" + u ("\xc2\x85") + b64, nullptr },
    };
    int read = 0;
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto juce = readWithJuce (c.text);
        const auto fromText = vst3::parseSuperRackPreset (c.text);
        const auto fromBytes = vst3::parseSuperRackPresetBytes (c.text.toRawUTF8(), c.text.getNumBytesAsUTF8());
        for (const auto* preset : { &fromText, &fromBytes })
        {
            EXPECT_EQ (preset->formatTag, juce.formatTag);
            if (juce.error.isNotEmpty())
            {
                EXPECT_FALSE (preset->ok);
                EXPECT_EQ (preset->error, juce.error);
                EXPECT_TRUE (preset->blob.isEmpty());
            }
            else
            {
                EXPECT_EQ (str (preset->blob), juce.blob);
            }
        }
        EXPECT_EQ (fromText.error, fromBytes.error);
        EXPECT_EQ (fromText.ok, fromBytes.ok);
        if (c.expected != nullptr)
            EXPECT_EQ (fromText.error, c.expected);
        if (fromText.ok)
        {
            ++read;
            EXPECT_EQ (str (fromText.blob), str (blob));
            EXPECT_EQ (fromText.classId, fromBytes.classId);
            // Only the text form copies the body out of the wrapper.
            EXPECT_EQ (str (fromText.body), str (blob).substr (45));
            EXPECT_TRUE (fromBytes.body.isEmpty());
            EXPECT_EQ (fromBytes.bodyOffset, 45u);
        }
    }
    EXPECT_GE (read, 9);

    // Bytes end at a NUL, as a text made of them would.
    const auto text = "VlNU\n" + b64;
    std::string bytes = text.toStdString() + std::string ("\0\nQQ==", 6);
    const auto cut = vst3::parseSuperRackPresetBytes (bytes.data(), bytes.size());
    ASSERT_TRUE (cut.ok) << cut.error;
    EXPECT_EQ (str (cut.blob), str (blob));
    EXPECT_EQ (vst3::parseSuperRackPresetBytes (nullptr, 0).error, "preset text has fewer than two base64 sections");
}

TEST (StandardBase64, DecodesAsJuceReadsItWithinTheLimit)
{
    // A text longer than the limit allows, at three bytes for every four characters, is refused
    // before it is decoded, whatever its padding would have made of it.
    struct Case { juce::String text; size_t maxBytes; };
    const size_t any = std::numeric_limits<size_t>::max();
    const Case cases[] = {
        { "", any }, { "QQ==", any }, { "QUI=", any }, { "QUJD", any }, { "QR==", any }, { "QQ==QQ==", any },
        { "QQ=A", any }, { "QUJDQQ", any }, { "Q===", any }, { "=QQQ", any }, { "QQ==\n", any }, { " QQ==", any },
        { "QU-D", any }, { "QU_D", any }, { "+/+/", any }, { juce::String::fromUTF8 ("QU\xc3\xa9"), any },
        { "QUJDREVG", 6 }, { "QUJDREVG", 5 }, { "QUJDREVGQQ==", 6 }, { "QUJDREVGQQ==", 7 }, { "QQ==QQ==QQ==", 2 }, { "QQ==QQ==QQ==", 3 }, { "QUJD", 0 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.text.toStdString() + " / " + std::to_string (c.maxBytes));
        juce::MemoryOutputStream expected;
        const bool fits = c.maxBytes == any || (size_t) c.text.length() / 4 * 3 <= c.maxBytes + 2;
        const bool juceReads = fits && juce::Base64::convertFromBase64 (expected, c.text) && expected.getDataSize() <= c.maxBytes;
        juce::MemoryBlock out = bytesOf ("stale");
        EXPECT_EQ (vst3::decodeStandardBase64 (c.text, out, c.maxBytes), juceReads);
        if (juceReads)
            EXPECT_EQ (str (out), std::string (static_cast<const char*> (expected.getData()), expected.getDataSize()));
        else
            EXPECT_TRUE (out.isEmpty());
    }
}

TEST (SteinbergChunks, TakingTheBlobSplitsItAsCopyingDoes)
{
    const auto two = presetBlob (vst3::buildSuperRackPreset (classId, randomBlock (5000, 7), randomBlock (33, 8)));
    const auto one = presetBlob (vst3::buildSuperRackPreset (classId, randomBlock (700, 9), {}));
    auto emptyCont = presetBlob (vst3::buildSuperRackPreset (classId, bytesOf ("component"), bytesOf ("ctl")));
    emptyCont.removeSection (54, 3);
    const size_t t = emptyCont.getSize() - 48;
    emptyCont = withInt64 (withInt64 (emptyCont, t + 40, 0), t + 32, 57);

    struct Case { const char* what; juce::MemoryBlock blob; size_t base; };
    const Case cases[] = {
        { "two chunks", two, 45 },
        { "one chunk", one, 45 },
        { "empty controller", emptyCont, 45 },
        { "body at the start", juce::MemoryBlock (static_cast<const char*> (one.getData()) + 45, one.getSize() - 45), 0 },
        { "too small", juce::MemoryBlock (one.getData(), 45 + 23), 45 },
        { "no table", withBytes (one, one.getSize() - 28, "Lisx", 4), 45 },
        { "component one short", withInt64 (one, one.getSize() - 8, 699), 45 },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto copied = vst3::extractSteinbergChunks (c.blob, c.base);
        auto blob = c.blob;
        const auto taken = vst3::extractSteinbergChunks (std::move (blob), c.base);
        EXPECT_EQ (taken.ok, copied.ok);
        EXPECT_EQ (taken.error, copied.error);
        EXPECT_EQ (taken.delta, copied.delta);
        EXPECT_EQ (taken.chunkCount, copied.chunkCount);
        EXPECT_EQ (str (taken.component), str (copied.component));
        EXPECT_EQ (str (taken.controller), str (copied.controller));
        // Taken on success; left as it was on failure.
        EXPECT_EQ (str (blob), copied.ok ? std::string() : str (c.blob));
    }
}
