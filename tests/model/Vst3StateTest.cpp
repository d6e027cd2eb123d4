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
