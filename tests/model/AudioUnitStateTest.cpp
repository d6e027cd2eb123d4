#include "model/AudioUnitState.h"
#include "model/PropertyList.h"

#include "RackBuilders.h"
#include "ReaperFixtures.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace vornconv;
using vorntest::bytesOf;
using vorntest::fourCc;
using vorntest::makeAudioUnitWrapper;
using vorntest::sequentialMasks;

namespace
{

std::string str (const juce::MemoryBlock& b)
{
    return b.isEmpty() ? std::string() : std::string (static_cast<const char*> (b.getData()), b.getSize());
}

// A ClassInfo-like dictionary written by libplist, an independent writer of both forms.
juce::MemoryBlock libplistDocument (bool binary, juce::uint64 manufacturer = fourCc ("Acme"))
{
    plist_t dict = plist_new_dict();
    plist_dict_set_item (dict, "type", plist_new_uint (fourCc ("aufx")));
    plist_dict_set_item (dict, "subtype", plist_new_uint (fourCc ("ABCD")));
    plist_dict_set_item (dict, "manufacturer", plist_new_uint (manufacturer));
    plist_dict_set_item (dict, "name", plist_new_string ("Untitled"));
    plist_dict_set_item (dict, "version", plist_new_uint (0));
    plist_dict_set_item (dict, "data", plist_new_data ("\0\1\2\3", 4));
    plist_dict_set_item (dict, "gain", plist_new_real (-0.5));
    plist_dict_set_item (dict, "on", plist_new_bool (1));
    plist_t inner = plist_new_dict();
    plist_t list = plist_new_array();
    plist_array_append_item (list, plist_new_string ("é"));
    plist_array_append_item (list, plist_new_uint (7));
    plist_dict_set_item (inner, "list", list);
    plist_dict_set_item (dict, "vstdata", inner);

    char* out = nullptr;
    uint32_t length = 0;
    if (binary)
        plist_to_bin (dict, &out, &length);
    else
        plist_to_xml (dict, &out, &length);
    juce::MemoryBlock block (out, length);
    std::free (out);
    plist_free (dict);
    return block;
}

const std::string plistHeader = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";

juce::MemoryBlock xmlPlist (const std::string& body) { return bytesOf (plistHeader + body + "\n</plist>\n"); }

std::string identityXml (const std::string& manufacturer)
{
    return "<key>type</key><integer>1635083896</integer><key>subtype</key><integer>1094861636</integer>"
           "<key>manufacturer</key>" + manufacturer;
}

// Writes bplist00 documents object by object, with free control over the trailer.
struct BinaryPlist
{
    std::vector<std::string> objects;
    int offsetSize = 2;
    int refSize = 1;
    juce::uint64 topObject = 0;
    juce::int64 numObjectsOverride = -1;
    juce::int64 offsetTableOverride = -1;
    juce::int64 lastOffsetOverride = -1;

    static std::string be (juce::uint64 v, int n)
    {
        std::string s;
        for (int i = n - 1; i >= 0; --i)
            s += (char) (juce::uint8) (v >> (8 * i));
        return s;
    }

    static std::string ascii (const std::string& s) { return std::string (1, (char) (0x50 | s.size())) + s; }

    juce::MemoryBlock bytes() const
    {
        std::string out = "bplist00";
        std::vector<size_t> offsets;
        for (const auto& o : objects)
        {
            offsets.push_back (out.size());
            out += o;
        }
        const size_t table = out.size();
        if (lastOffsetOverride >= 0)
            offsets.back() = (size_t) lastOffsetOverride;
        for (auto o : offsets)
            out += be (o, offsetSize);
        out += std::string (6, '\0');
        out += (char) offsetSize;
        out += (char) refSize;
        out += be (numObjectsOverride >= 0 ? (juce::uint64) numObjectsOverride : objects.size(), 8);
        out += be (topObject, 8);
        out += be (offsetTableOverride >= 0 ? (juce::uint64) offsetTableOverride : table, 8);
        return bytesOf (out);
    }
};

// {type, subtype, manufacturer} with the manufacturer object given raw.
BinaryPlist identityBinary (const std::string& manufacturerObject)
{
    BinaryPlist p;
    p.objects = { std::string ("\xD3\x01\x02\x03\x04\x05\x06", 7), BinaryPlist::ascii ("type"), BinaryPlist::ascii ("subtype"),
                  BinaryPlist::ascii ("manufacturer"), "\x12" + BinaryPlist::be (fourCc ("aufx"), 4),
                  "\x12" + BinaryPlist::be (fourCc ("ABCD"), 4), manufacturerObject };
    return p;
}

void expectIdentity (const juce::MemoryBlock& plist, const char* what)
{
    audioUnit::Identity id;
    juce::String error;
    ASSERT_TRUE (audioUnit::parsePropertyList (plist, id, error)) << what << ": " << error;
    EXPECT_EQ (id.type, fourCc ("aufx")) << what;
    EXPECT_EQ (id.subtype, fourCc ("ABCD")) << what;
}

void expectFailure (const juce::MemoryBlock& plist, const juce::String& message, const std::string& what)
{
    audioUnit::Identity id;
    juce::String error;
    EXPECT_FALSE (audioUnit::parsePropertyList (plist, id, error)) << what;
    EXPECT_EQ (error, message) << what;
    EXPECT_TRUE (id.type == 0 && id.subtype == 0 && id.manufacturer == 0) << what;
}

const juce::String notADictionary = "AudioUnit state is not a property-list dictionary";
const juce::String noIdentity = "AudioUnit property list has no complete component identity";

} // namespace

TEST (AudioUnitPropertyList, XmlAndBinaryFormsGiveTheSameIdentity)
{
    for (bool binary : { false, true })
    {
        const auto doc = libplistDocument (binary);
        audioUnit::Identity id;
        juce::String error;
        ASSERT_TRUE (audioUnit::parsePropertyList (doc, id, error)) << binary << ": " << error;
        EXPECT_EQ (id.type, fourCc ("aufx"));
        EXPECT_EQ (id.subtype, fourCc ("ABCD"));
        EXPECT_EQ (id.manufacturer, fourCc ("Acme"));
    }

    // The upper bound, in the 4-byte unsigned binary integer and in XML.
    audioUnit::Identity id;
    juce::String error;
    ASSERT_TRUE (audioUnit::parsePropertyList (identityBinary ("\x12\xFF\xFF\xFF\xFF").bytes(), id, error)) << error;
    EXPECT_EQ (id.manufacturer, 0xFFFFFFFFu);
    ASSERT_TRUE (audioUnit::parsePropertyList (xmlPlist ("<dict>" + identityXml ("<integer> 4294967295 </integer>") + "</dict>"), id, error)) << error;
    EXPECT_EQ (id.manufacturer, 0xFFFFFFFFu);

    // Values that are shared between keys and values (as Apple's writer does) are fine.
    auto shared = identityBinary ("\x12" + BinaryPlist::be (fourCc ("Acme"), 4));
    shared.objects[0] = std::string ("\xD4\x01\x02\x03\x07\x04\x05\x06\x04", 9);
    shared.objects.push_back (BinaryPlist::ascii ("other"));
    expectIdentity (shared.bytes(), "shared objects");
}

TEST (AudioUnitPropertyList, IdentityMustBeThreeIntegersInRange)
{
    struct Case { std::string what; juce::MemoryBlock plist; };
    const std::vector<Case> cases = {
        { "xml 0", xmlPlist ("<dict>" + identityXml ("<integer>0</integer>") + "</dict>") },
        { "xml -1", xmlPlist ("<dict>" + identityXml ("<integer>-1</integer>") + "</dict>") },
        { "xml 2^32", xmlPlist ("<dict>" + identityXml ("<integer>4294967296</integer>") + "</dict>") },
        { "xml 2^64-1", xmlPlist ("<dict>" + identityXml ("<integer>18446744073709551615</integer>") + "</dict>") },
        { "xml string", xmlPlist ("<dict>" + identityXml ("<string>Acme</string>") + "</dict>") },
        { "xml true", xmlPlist ("<dict>" + identityXml ("<true/>") + "</dict>") },
        { "xml real", xmlPlist ("<dict>" + identityXml ("<real>1094937957</real>") + "</dict>") },
        { "xml missing", xmlPlist ("<dict><key>type</key><integer>1</integer><key>subtype</key><integer>1</integer></dict>") },
        { "xml key case", xmlPlist (std::string ("<dict>") + "<key>Type</key><integer>1</integer><key>subtype</key><integer>1</integer><key>manufacturer</key><integer>1</integer>" + "</dict>") },
        { "xml duplicate", xmlPlist ("<dict>" + identityXml ("<integer>1</integer>") + "<key>manufacturer</key><integer>2</integer></dict>") },
        { "xml manufacturer nested only", xmlPlist ("<dict><key>type</key><integer>1</integer><key>subtype</key><integer>1</integer>"
                                                    "<key>x</key><dict><key>manufacturer</key><integer>1</integer></dict></dict>") },
        { "binary 0", identityBinary (std::string ("\x10\x00", 2)).bytes() },
        { "binary 8-byte -1", identityBinary ("\x13" + BinaryPlist::be (~0ull, 8)).bytes() },
        { "binary 8-byte 2^32", identityBinary ("\x13" + BinaryPlist::be (1ull << 32, 8)).bytes() },
        { "binary 16-byte 2^64+1", identityBinary ("\x14" + BinaryPlist::be (1, 8) + BinaryPlist::be (1, 8)).bytes() },
        { "binary real", identityBinary ("\x23" + BinaryPlist::be (0x41D0000000000000ull, 8)).bytes() },
        { "binary string", identityBinary (BinaryPlist::ascii ("Acme")).bytes() },
        { "binary true", identityBinary ("\x09").bytes() },
        { "binary ASCII key type NUL x", [] { auto p = identityBinary ("\x12" + BinaryPlist::be (1, 4));
                                             p.objects[1] = BinaryPlist::ascii (std::string ("type\0x", 6)); return p.bytes(); }() },
        { "binary UTF-16 key type NUL", [] { auto p = identityBinary ("\x12" + BinaryPlist::be (1, 4));
                                            p.objects[1] = std::string ("\x65\0t\0y\0p\0e\0\0", 11); return p.bytes(); }() },
    };
    for (const auto& c : cases)
        expectFailure (c.plist, noIdentity, c.what);

    // A 16-byte integer holding a small value is still that value.
    audioUnit::Identity id;
    juce::String error;
    EXPECT_TRUE (audioUnit::parsePropertyList (identityBinary ("\x14" + BinaryPlist::be (0, 8) + BinaryPlist::be (5, 8)).bytes(), id, error)) << error;
    EXPECT_EQ (id.manufacturer, 5u);
}

TEST (AudioUnitPropertyList, RefusesAnythingButOneWellFormedDictionary)
{
    const std::string ok = "<dict>" + identityXml ("<integer>1</integer>");
    std::string deepXml = plistHeader + ok + "<key>deep</key>";
    for (int i = 0; i < 300000; ++i) deepXml += "<array>";
    for (int i = 0; i < 300000; ++i) deepXml += "</array>";
    deepXml += "</dict></plist>";
    std::string nestedOk = plistHeader + ok + "<key>deep</key>";
    for (int i = 0; i < 200; ++i) nestedOk += "<array>";
    for (int i = 0; i < 200; ++i) nestedOk += "</array>";
    nestedOk += "</dict></plist>";
    expectIdentity (bytesOf (nestedOk), "200 levels");

    struct Case { std::string what; juce::MemoryBlock plist; };
    const std::vector<Case> cases = {
        { "garbage", bytesOf ("hello world") },
        { "array root", xmlPlist ("<array/>") },
        { "string root", xmlPlist ("<string>x</string>") },
        { "bare dict without plist", bytesOf ("<dict>" + identityXml ("<integer>1</integer>") + "</dict>") },
        { "two values", xmlPlist (ok + "</dict><dict/>") },
        { "trailing text", bytesOf (plistHeader + ok + "</dict></plist>junk") },
        { "integer junk", xmlPlist (ok + "<key>v</key><integer>12abc</integer></dict>") },
        { "integer too big", xmlPlist (ok + "<key>v</key><integer>99999999999999999999999</integer></dict>") },
        { "integer empty", xmlPlist (ok + "<key>v</key><integer></integer></dict>") },
        { "real junk", xmlPlist (ok + "<key>v</key><real>abc</real></dict>") },
        { "data junk", xmlPlist (ok + "<key>v</key><data>!!!!</data></dict>") },
        { "date junk", xmlPlist (ok + "<key>v</key><date>notadate</date></dict>") },
        { "true with text", xmlPlist (ok + "<key>v</key><true>x</true></dict>") },
        { "key without value", xmlPlist (ok + "<key>v</key></dict>") },
        { "two values for a key", xmlPlist (ok + "<key>v</key><integer>1</integer><integer>2</integer></dict>") },
        { "unknown element", xmlPlist (ok + "<key>v</key><foo/></dict>") },
        { "text in a dict", xmlPlist (ok + "loose</dict>") },
        { "element in a string", xmlPlist (ok + "<key>v</key><string>a<b/></string></dict>") },
        { "NUL in a key", xmlPlist (ok + std::string ("<key>v\0</key><string/></dict>", 28)) },
        { "internal DTD", bytesOf ("<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaa\">]><plist>" + ok + "<key>k</key><string>&a;</string></dict></plist>") },
        { "unknown entity", xmlPlist (ok + "<key>k</key><string>&bogus;</string></dict>") },
        { "mismatched tags", xmlPlist (ok + "<key>k</key><string>x</data></dict>") },
        { "UTF-16", bytesOf (std::string ("\xFF\xFE<\0p\0", 6)) },
        { "300k nested arrays", bytesOf (deepXml) },
        { "bplist header only", bytesOf ("bplist00") },
        { "bplist15", bytesOf ("bplist15" + std::string (40, '\0')) },
    };
    for (const auto& c : cases)
        expectFailure (c.plist, notADictionary, c.what);

    expectFailure ({}, "AudioUnit property list is empty or exceeds the safety limit", "empty");
    juce::MemoryBlock tooBig (audioUnit::maxPropertyListBytes + 1, true);
    expectFailure (tooBig, "AudioUnit property list is empty or exceeds the safety limit", "64 MiB + 1");
}

TEST (AudioUnitPropertyList, HostileBinaryPlistsFailCleanly)
{
    using P = BinaryPlist;
    const auto valid = identityBinary ("\x12" + P::be (fourCc ("Acme"), 4));
    expectIdentity (valid.bytes(), "valid binary");

    auto with = [&valid] (auto change) { auto p = valid; change (p); return p.bytes(); };
    const auto good = valid.bytes();
    auto truncatedTrailer = juce::MemoryBlock (good.getData(), good.getSize() - 5);

    // A chain of 100,000 arrays, each holding the next.
    P deep;
    deep.refSize = 4;
    deep.offsetSize = 4;
    for (juce::uint32 i = 0; i + 1 < 100000; ++i)
        deep.objects.push_back ("\xA1" + P::be (i + 1, 4));
    deep.objects.push_back ("\xD0");

    // 60 arrays, each holding the next one twice: 2^60 paths through 60 objects.
    P diamond;
    for (int i = 0; i + 1 < 60; ++i)
        diamond.objects.push_back (std::string ("\xA2", 1) + (char) (i + 1) + (char) (i + 1));
    diamond.objects.push_back ("\xD0");

    struct Case { std::string what; juce::MemoryBlock plist; };
    const std::vector<Case> cases = {
        { "dict holds itself", with ([] (P& p) { p.objects[6] = std::string ("\xA1\x00", 2); }) },
        { "indirect cycle", with ([] (P& p) { p.objects[6] = "\xA1\x07"; p.objects.push_back ("\xA1\x06"); }) },
        { "unreachable cycle", with ([] (P& p) { p.objects.push_back ("\xA1\x08"); p.objects.push_back ("\xA1\x07"); }) },
        { "100k nested", deep.bytes() },
        { "shared diamond of 60 levels, array root", diamond.bytes() },
        { "truncated trailer", truncatedTrailer },
        { "offset table at INT64_MAX", with ([] (P& p) { p.offsetTableOverride = 0x7FFFFFFFFFFFFFFFll; }) },
        { "object count INT64_MAX", with ([] (P& p) { p.numObjectsOverride = 0x7FFFFFFFFFFFFFFFll; }) },
        { "object count wraps with offset size", with ([] (P& p) { p.numObjectsOverride = 0x2000000000000001ll; p.offsetSize = 8; }) },
        { "top object out of range", with ([] (P& p) { p.topObject = 7; }) },
        { "offset size 0", with ([] (P& p) { p.offsetSize = 0; }) },
        { "ref size 0", with ([] (P& p) { p.refSize = 0; }) },
        { "ref out of range", with ([] (P& p) { p.objects[0][4] = 0x40; }) },
        { "object offset in the offset table", with ([] (P& p) { p.lastOffsetOverride = 80; }) },
        { "object offset 2^48", with ([] (P& p) { p.offsetSize = 8; p.lastOffsetOverride = 1ll << 48; }) },
        { "object offset in the header", with ([] (P& p) { p.lastOffsetOverride = 3; }) },
        { "array count INT64_MAX", with ([] (P& p) { p.objects[6] = "\xAF\x13" + P::be (0x7FFFFFFFFFFFFFFFull, 8); }) },
        { "array count negative", with ([] (P& p) { p.objects[6] = "\xAF\x13" + P::be (~0ull, 8); }) },
        { "data count 2^60", with ([] (P& p) { p.objects[6] = "\x4F\x13" + P::be (1ull << 60, 8); }) },
        { "UTF-16 count past end", with ([] (P& p) { p.objects[6] = "\x6F\x12" + P::be (0x7FFFFFFF, 4); }) },
        { "count is not an integer", with ([] (P& p) { p.objects[6] = "\xAF\x22\x00\x00\x00\x00"; }) },
        { "truncated integer", with ([] (P& p) { p.objects[6] = "\x13\x00"; }) },
        { "32-byte integer", with ([] (P& p) { p.objects[6] = "\x15" + std::string (32, '\0'); }) },
        { "non-string key", with ([] (P& p) { p.objects[1] = "\x10\x05"; }) },
        { "non-ASCII ASCII string", with ([] (P& p) { p.objects[6] = "\x51\xC3"; }) },
        { "null object", with ([] (P& p) { p.objects[6] = std::string (1, '\0'); }) },
        { "unknown marker", with ([] (P& p) { p.objects[6] = "\x70"; }) },
        { "array root", [] { P p; p.objects = { "\xA0" }; return p.bytes(); }() },
    };
    for (const auto& c : cases)
        expectFailure (c.plist, notADictionary, c.what);
}

TEST (ReaperAudioUnitWrapper, BuildThenSplitGivesTheSameBytes)
{
    for (bool binary : { false, true })
    {
        const auto plist = libplistDocument (binary);
        juce::MemoryBlock wrapper;
        juce::String error;
        ASSERT_TRUE (audioUnit::buildReaperState (plist, wrapper, error)) << error;
        // The plain shape: two inputs and two outputs on their own channels, no preset name.
        EXPECT_EQ (wrapper, makeAudioUnitWrapper (sequentialMasks (2), sequentialMasks (2), plist));
        ASSERT_EQ (wrapper.getSize(), plist.getSize() + 62);

        const auto split = audioUnit::splitReaperState (wrapper);
        ASSERT_TRUE (split.ok) << split.error;
        EXPECT_EQ (str (split.plist), str (plist));
        EXPECT_TRUE (split.presetName.isEmpty());
        EXPECT_EQ (split.identity.manufacturer, fourCc ("Acme"));
        EXPECT_FALSE (split.pinMapRouted);

        juce::MemoryBlock again;
        ASSERT_TRUE (audioUnit::buildReaperState (split.plist, again, error)) << error;
        EXPECT_EQ (again, wrapper);
    }

    juce::MemoryBlock untouched ("keep", 4);
    juce::String error;
    EXPECT_FALSE (audioUnit::buildReaperState (xmlPlist ("<dict/>"), untouched, error));
    EXPECT_EQ (error, noIdentity);
    EXPECT_EQ (str (untouched), "keep");
}

TEST (ReaperAudioUnitWrapper, ShapesOfRealSavesAreReadOrRefusedByTheirPinMaps)
{
    const auto plist = libplistDocument (false);
    const auto routedMessage = "REAPER AudioUnit pin-map is not the observed sequential topology";
    struct Case
    {
        const char* what;
        std::vector<juce::uint64> inputs, outputs;
        std::string presetName;
        bool routed;
        juce::uint32 connectedInputs; // 0 when the inputs are routed
        const char* routing = "";     // where the pins go, for a routed map
    };
    const Case cases[] = {
        { "2 in / 2 out", sequentialMasks (2), sequentialMasks (2), "", false, 2 },
        { "instrument, 0 in / 34 out", {}, sequentialMasks (34), "", false, 0 },
        { "instrument, 0 in / 2 out", {}, sequentialMasks (2), "", false, 0 },
        { "sidechain pair unconnected", { 1, 2, 0, 0 }, sequentialMasks (2), "", false, 2 },
        { "no input connected", { 0, 0 }, sequentialMasks (2), "", false, 0 },
        { "64 in / 64 out", sequentialMasks (64), sequentialMasks (64), "", false, 64 },
        { "a preset name", sequentialMasks (2), sequentialMasks (2), "Freeze 1", false, 2 },
        { "a preset name in UTF-8", { 1, 2, 0, 0 }, sequentialMasks (2), "No Autogain \xec\xb9\xb4", false, 2 },
        { "routed to channels 3/4", { 4, 8 }, { 4, 8 }, "", true, 0,
          "input pin 1 is fed by channel 3, input pin 2 is fed by channel 4, output pin 1 feeds channel 3, output pin 2 feeds channel 4" },
        { "routed to channels 9/10", { 0x100, 0x200 }, { 0x100, 0x200 }, "", true, 0,
          "input pin 1 is fed by channel 9, input pin 2 is fed by channel 10, output pin 1 feeds channel 9, output pin 2 feeds channel 10" },
        { "outputs routed only", sequentialMasks (2), { 1, 4 }, "", true, 2, "output pin 2 feeds channel 3" },
        { "input after an unconnected one", { 1, 0, 4 }, sequentialMasks (2), "", true, 0, "input pin 2 is fed by no channel" },
        { "an output unconnected", sequentialMasks (2), { 1, 0 }, "", true, 2, "output pin 2 feeds no channel" },
        { "mono onto both outputs", sequentialMasks (2), { 3, 2 }, "Default", true, 2, "output pin 1 feeds channels 1 and 2" },
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE (c.what);
        const auto split = audioUnit::splitReaperState (makeAudioUnitWrapper (c.inputs, c.outputs, plist, c.presetName));
        EXPECT_EQ (split.ok, ! c.routed);
        EXPECT_EQ (split.pinMapRouted, c.routed);
        EXPECT_EQ (split.error, c.routed ? juce::String (routedMessage) : juce::String());
        EXPECT_EQ (split.routing, c.routed ? juce::String (c.routing) + " (pins and track channels count from 1)" : juce::String());
        // Either way the rest of the wrapper was read whole.
        EXPECT_EQ (str (split.plist), str (plist));
        EXPECT_EQ (split.identity.type, fourCc ("aufx"));
        EXPECT_EQ (split.identity.subtype, fourCc ("ABCD"));
        EXPECT_EQ (split.identity.manufacturer, fourCc ("Acme"));
        EXPECT_EQ (split.presetName, juce::String::fromUTF8 (c.presetName.c_str()));
        EXPECT_EQ (split.inputPins, (juce::uint32) c.inputs.size());
        EXPECT_EQ (split.outputPins, (juce::uint32) c.outputs.size());
        EXPECT_EQ (split.connectedInputs, c.connectedInputs);

        // What the converter writes back is always the plain shape.
        if (split.ok)
        {
            juce::MemoryBlock rebuilt;
            juce::String error;
            ASSERT_TRUE (audioUnit::buildReaperState (split.plist, rebuilt, error)) << error;
            EXPECT_EQ (rebuilt, makeAudioUnitWrapper (sequentialMasks (2), sequentialMasks (2), plist));
        }
    }
}

TEST (ReaperAudioUnitWrapper, RefusesCorruptWrappers)
{
    const auto plist = libplistDocument (true);
    const size_t p = plist.getSize();
    // 0 in / 3 out: P at 40, the property list at 44, L at 44 + p, the name "Freeze 1" and its
    // NUL at 48 + p, the zero bytes at 57 + p.
    const auto wrapper = makeAudioUnitWrapper ({}, sequentialMasks (3), plist, "Freeze 1");
    ASSERT_EQ (wrapper.getSize(), 62 + p);
    ASSERT_TRUE (audioUnit::splitReaperState (wrapper).ok);
    auto changed = [&wrapper] (size_t at, juce::uint8 value) { auto w = wrapper; w[at] = (char) value; return w; };
    auto withU32 = [&wrapper] (size_t at, juce::uint32 value)
    {
        auto w = wrapper;
        for (int i = 0; i < 4; ++i)
            w[at + (size_t) i] = (char) (juce::uint8) (value >> (8 * i));
        return w;
    };
    auto cut = [] (const juce::MemoryBlock& w, size_t size) { return juce::MemoryBlock (w.getData(), size); };
    auto withName = [&plist] (const std::string& name) { return makeAudioUnitWrapper ({}, sequentialMasks (3), plist, name); };
    auto withNameField = [&] (const std::string& field)
    {
        // The name field as given, its length counting every byte of it.
        juce::MemoryBlock w (wrapper.getData(), 44 + p);
        juce::MemoryOutputStream s (w, true);
        vorntest::putU32 (s, (juce::uint32) field.size());
        s.write (field.data(), field.size());
        s.write ("\0\0\0\0\0", 5);
        s.flush();
        return w;
    };

    const auto noIdentityWrapper = makeAudioUnitWrapper ({}, sequentialMasks (3), xmlPlist ("<dict><key>type</key><integer>1</integer></dict>"));
    // Routed, but the property list is broken as well: the broken list is what is reported.
    auto routedBroken = makeAudioUnitWrapper ({ 4, 8 }, { 4, 8 }, plist);
    routedBroken[52] = 'x';

    juce::MemoryBlock hugeCount = cut (wrapper, 8);
    hugeCount.append ("\x41\0\0\0", 4);
    hugeCount.append (juce::MemoryBlock (65 * 8 + 40, true).getData(), 65 * 8 + 40);
    // 64 output pins announced, 24 bytes left.
    auto masksBeyond = cut (wrapper, 40);
    masksBeyond[12] = 64;

    struct Case { const char* what; juce::MemoryBlock data; const char* error; };
    const Case cases[] = {
        { "38 bytes", juce::MemoryBlock (38, true), "REAPER AudioUnit wrapper size is invalid" },
        { "too large", juce::MemoryBlock (audioUnit::maxPropertyListBytes + audioUnit::maxReaperPresetNameBytes + 2048, true),
          "REAPER AudioUnit wrapper size is invalid" },
        { "61 zero bytes", juce::MemoryBlock (61, true), "REAPER AudioUnit pin-map header is unsupported" },
        { "version 1000", changed (0, 0xE8), "REAPER AudioUnit pin-map header is unsupported" },
        { "version's high word", changed (5, 1), "REAPER AudioUnit pin-map header is unsupported" },
        { "65 input pins", hugeCount, "REAPER AudioUnit pin-map header is unsupported" },
        { "output masks beyond the bytes", masksBeyond, "REAPER AudioUnit pin-map header is unsupported" },
        { "no output pin", makeAudioUnitWrapper ({}, {}, plist), "REAPER AudioUnit pin-map header is unsupported" },
        { "output count cut off", cut (makeAudioUnitWrapper (sequentialMasks (4), sequentialMasks (2), plist), 46),
          "REAPER AudioUnit pin-map header is unsupported" },
        { "P beyond the bytes", withU32 (40, (juce::uint32) p + 65536), "REAPER AudioUnit property-list length is inconsistent" },
        { "P = 0", withU32 (40, 0), "REAPER AudioUnit property-list length is inconsistent" },
        { "P leaves no room for the name", cut (wrapper, 44 + 9), "REAPER AudioUnit property-list length is inconsistent" },
        { "P one too large", withU32 (40, (juce::uint32) p + 1), "REAPER AudioUnit preset-name length is inconsistent" },
        { "P one too small", withU32 (40, (juce::uint32) p - 1), "REAPER AudioUnit preset-name length is inconsistent" },
        { "L = 0", withU32 (44 + p, 0), "REAPER AudioUnit preset-name length is inconsistent" },
        { "L one too large", withU32 (44 + p, 10), "REAPER AudioUnit preset-name length is inconsistent" },
        { "L one too small", withU32 (44 + p, 8), "REAPER AudioUnit preset-name length is inconsistent" },
        { "L above the name limit", withName (std::string (audioUnit::maxReaperPresetNameBytes, 'n')),
          "REAPER AudioUnit preset-name length is inconsistent" },
        { "one zero byte missing", cut (wrapper, wrapper.getSize() - 1), "REAPER AudioUnit preset-name length is inconsistent" },
        { "a zero byte is not zero", changed (57 + p, 1), "REAPER AudioUnit wrapper tail is unsupported" },
        { "the last byte is not zero", changed (61 + p, 0x10), "REAPER AudioUnit wrapper tail is unsupported" },
        { "name without its NUL", withNameField ("Freeze 1"), "REAPER AudioUnit preset name is not NUL-terminated" },
        { "name with a NUL inside", withNameField (std::string ("Free\0ze\0", 8)), "REAPER AudioUnit preset name is not NUL-terminated" },
        { "name not UTF-8", withNameField (std::string ("Caf\xe9\0", 5)), "REAPER AudioUnit preset name is not valid UTF-8" },
        { "name an overlong form", withNameField (std::string ("\xc0\xaf\0", 3)), "REAPER AudioUnit preset name is not valid UTF-8" },
        { "plist without identity", noIdentityWrapper, "AudioUnit property list has no complete component identity" },
        { "plist corrupt", changed (44, 'x'), "AudioUnit state is not a property-list dictionary" },
        { "routed and plist corrupt", routedBroken, "AudioUnit state is not a property-list dictionary" },
    };
    for (const auto& c : cases)
    {
        const auto split = audioUnit::splitReaperState (c.data);
        EXPECT_FALSE (split.ok) << c.what;
        EXPECT_FALSE (split.pinMapRouted) << c.what;
        EXPECT_EQ (split.error, c.error) << c.what;
        EXPECT_TRUE (split.plist.isEmpty()) << c.what;
        EXPECT_TRUE (split.presetName.isEmpty()) << c.what;
        EXPECT_EQ (split.identity.type, 0u) << c.what;
    }

    // The longest name there is room for is read.
    const auto longest = std::string (audioUnit::maxReaperPresetNameBytes - 1, 'n');
    const auto split = audioUnit::splitReaperState (withName (longest));
    ASSERT_TRUE (split.ok) << split.error;
    EXPECT_EQ (split.presetName.getNumBytesAsUTF8(), longest.size());
}

TEST (AudioUnitCodes, FourCcTextAndDescriptors)
{
    EXPECT_EQ (audioUnit::fourCcText (fourCc ("aufx")), "aufx");
    EXPECT_EQ (audioUnit::fourCcText (fourCc (" ~ ~")), " ~ ~");
    EXPECT_EQ (audioUnit::fourCcText (0x6175667F), "");
    EXPECT_EQ (audioUnit::fourCcText (0x1F756678), "");
    EXPECT_EQ (audioUnit::fourCcText (0), "");
    EXPECT_EQ (audioUnit::fourCcText (0x80818283), "");

    struct Case { const char* text; bool ok; juce::uint32 type, subtype, manufacturer; };
    const Case cases[] = {
        { "AudioUnit:Effects/aufx,ABCD,Acme", true, fourCc ("aufx"), fourCc ("ABCD"), fourCc ("Acme") },
        { "AudioUnit:/aufx,ABCD,Acme", true, fourCc ("aufx"), fourCc ("ABCD"), fourCc ("Acme") },
        { "AudioUnit:Effects/a/b/ abc,ABCD,Acme", false, 0, 0, 0 },
        { "AudioUnit:Effects/ abc,ABCD,Acm ", true, fourCc (" abc"), fourCc ("ABCD"), fourCc ("Acm ") },
        { "AudioUnit:Effects/aufx,ABCD", false, 0, 0, 0 },
        { "AudioUnit:Effects/aufx,ABCD,Acme,", false, 0, 0, 0 },
        { "AudioUnit:Effects aufx,ABCD,Acme", false, 0, 0, 0 },
        { "AudioUnit:Effects/auf,ABCD,Acme", false, 0, 0, 0 },
        { "AudioUnit:Effects/aufxx,ABCD,Acme", false, 0, 0, 0 },
        { "AudioUnit:Effects/aufx,ABC\xc3\xa9,Acme", false, 0, 0, 0 },
        { "AudioUnit:Effects/aufx,,Acme", false, 0, 0, 0 },
        { "VST3:Effects/aufx,ABCD,Acme", false, 0, 0, 0 },
        { "audiounit:Effects/aufx,ABCD,Acme", false, 0, 0, 0 },
    };
    for (const auto& c : cases)
    {
        audioUnit::Identity id { 1, 2, 3 };
        EXPECT_EQ (audioUnit::parseDescriptorFile (juce::String::fromUTF8 (c.text), id), c.ok) << c.text;
        EXPECT_EQ (id.type, c.type) << c.text;
        EXPECT_EQ (id.subtype, c.subtype) << c.text;
        EXPECT_EQ (id.manufacturer, c.manufacturer) << c.text;
    }
}
