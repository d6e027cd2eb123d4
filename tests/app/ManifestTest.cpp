#include "app/Manifest.h"
#include "model/ParameterSnapshot.h"

#include "RackBuilders.h"

#include <gtest/gtest.h>
#include <juce_cryptography/juce_cryptography.h>

#include <limits>

using namespace vornconv;
using vorntest::bytesOf;

namespace
{

TEST (Manifest, EmptySession)
{
    RackSession s;
    s.sourceFormat = "vorn.ksn";
    EXPECT_EQ (app::buildManifestJson (s),
               "{\"schema\": \"vorn-rack-manifest-v1\", \"sourceFormat\": \"vorn.ksn\", \"sourceApp\": \"\", "
               "\"sourceVersion\": \"\", \"sourceSnapshotStatus\": \"\", \"sampleRate\": 0.0, \"bufferSize\": 0, "
               "\"inputDevice\": \"\", \"outputDevice\": \"\", \"capacityStrips\": 0, \"capacitySlots\": 0, \"strips\": []}");
}

TEST (Manifest, StripsAndPluginsInFull)
{
    RackSession s;
    s.sourceFormat = "vorn.ksn";
    s.sourceApp = "Vorn Live";
    s.sourceVersion = "1";
    s.sampleRate = 48000.0;
    s.bufferSize = 64;
    s.capacityStrips = 64;
    s.capacitySlots = 8;
    s.sourceFile = "/never/printed.ksn";
    s.notes.add (Fidelity::dropped, "strip.colour", "not in the manifest");

    RackStrip strip;
    strip.index = 2;
    strip.name = juce::String::fromUTF8 ("킥\a");
    strip.inputGainDb = 0.1f;
    strip.outputGainDb = std::numeric_limits<float>::quiet_NaN();
    strip.pan = 0.5f;
    strip.muted = true;
    strip.inputChannels = 1;
    strip.routeInL = 4;
    strip.routePatches.add ({ true, 0, 4 });
    strip.routePatches.add ({ false, 1, 9 });
    strip.coverage.name = strip.coverage.route = true;

    auto first = vorntest::vst3Slot ("abcdef0123456789abcdef0123456789", "EQ", "Acme");
    first.uniqueId = 0xFFFFFFFFu;
    first.deprecatedUid = 0x80000000u;
    first.state.encoding = PluginStateEncoding::juceVst3Xml;
    first.state.component = bytesOf ("abc");
    first.state.raw = bytesOf ("not digested");
    first.coverage.identity = first.coverage.state = true;
    PluginRef fourth;
    fourth.occupied = true;
    fourth.format = "AU";
    fourth.inactive = true;
    fourth.sidechainSource = 3;
    fourth.state.encoding = (PluginStateEncoding) 9;
    strip.plugins.add (first, PluginRef(), PluginRef(), fourth);
    s.strips.add (strip);

    const juce::String pluginTail = "\"componentSha256\": \"\", \"controllerSha256\": \"\", \"parameterSha256\": \"\", "
                                    "\"parameterValuesSha256\": \"\", \"parameterMirrorComplete\": false, \"opaqueStatePending\": false, ";
    const auto expected =
        juce::String ("{\"schema\": \"vorn-rack-manifest-v1\", \"sourceFormat\": \"vorn.ksn\", \"sourceApp\": \"Vorn Live\", "
                      "\"sourceVersion\": \"1\", \"sourceSnapshotStatus\": \"\", \"sampleRate\": 48000.0, \"bufferSize\": 64, "
                      "\"inputDevice\": \"\", \"outputDevice\": \"\", \"capacityStrips\": 64, \"capacitySlots\": 8, \"strips\": ["
                      "{\"index\": 2, \"name\": \"\\ud0a5\\u0007\", \"inputGainDb\": 0.1000000014901161, \"outputGainDb\": null, "
                      "\"pan\": 0.5, \"muted\": true, \"soloed\": false, \"bypassed\": false, \"inputChannels\": 1, \"outputChannels\": 2, "
                      "\"routeInL\": 4, \"routeInR\": -1, \"routeOutL\": -1, \"routeOutR\": -1, \"routePatches\": ["
                      "{\"direction\": \"input\", \"rackChannel\": 0, \"physicalChannel\": 4}, "
                      "{\"direction\": \"output\", \"rackChannel\": 1, \"physicalChannel\": 9}], "
                      "\"coverage\": {\"name\": true, \"inputGain\": false, \"outputGain\": false, \"pan\": false, \"mute\": false, "
                      "\"solo\": false, \"bypass\": false, \"channelLayout\": false, \"route\": true}, \"plugins\": ["
                      "{\"slot\": 0, \"name\": \"EQ\", \"vendor\": \"Acme\", \"format\": \"VST3\", "
                      "\"classId\": \"ABCDEF0123456789ABCDEF0123456789\", \"uniqueId\": -1, \"deprecatedUid\": -2147483648, "
                      "\"bypassed\": false, \"inactive\": false, \"unavailable\": false, \"muted\": false, \"sidechainSource\": -1, "
                      "\"encoding\": \"juce-vst3-xml\", \"componentBytes\": 3, \"controllerBytes\": 0, "
                      "\"componentSha256\": \"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\", "
                      "\"controllerSha256\": \"\", \"parameterSha256\": \"\", \"parameterValuesSha256\": \"\", "
                      "\"parameterMirrorComplete\": false, \"opaqueStatePending\": false, "
                      "\"coverage\": {\"identity\": true, \"activation\": false, \"mute\": false, \"sidechain\": false, \"state\": true}}, "
                      "{\"slot\": 3, \"name\": \"\", \"vendor\": \"\", \"format\": \"AU\", \"classId\": \"\", \"uniqueId\": 0, "
                      "\"deprecatedUid\": 0, \"bypassed\": false, \"inactive\": true, \"unavailable\": false, \"muted\": false, "
                      "\"sidechainSource\": 3, \"encoding\": \"?\", \"componentBytes\": 0, \"controllerBytes\": 0, ")
        + pluginTail
        + "\"coverage\": {\"identity\": false, \"activation\": false, \"mute\": false, \"sidechain\": false, \"state\": false}}]}]}";
    const auto json = app::buildManifestJson (s);
    EXPECT_EQ (json, expected);
    EXPECT_EQ (app::buildManifestJson (s), json);
    EXPECT_TRUE (juce::JSON::parse (json).isObject());
}

TEST (Manifest, ParameterDigests)
{
    const juce::Array<float> values { 0.0f, 0.5f, 1.0f };
    const auto keyZero = parameterState::encode (values, 0);
    const auto keyFive = parameterState::encode (values, 5);
    const auto broken = bytesOf ("VNPM but not really");

    struct Case { juce::MemoryBlock stored; bool complete; bool storedDigest; bool valuesDigest; };
    const Case cases[] = {
        { keyFive, true, true, true },
        { keyZero, true, true, true },
        { keyFive, false, true, false },
        { broken, true, true, false },
        { {}, true, false, false },
    };
    const auto valuesDigest = app::sha256Hex (keyZero);
    for (const auto& c : cases)
    {
        RackSession s;
        RackStrip strip;
        PluginRef p;
        p.occupied = true;
        if (! c.stored.isEmpty()) // JUCE's copy assignment of an empty block calls memcpy with null
            p.state.parameters = c.stored;
        p.state.parameterMirrorComplete = c.complete;
        strip.plugins.add (p);
        s.strips.add (strip);
        const auto plugin = juce::JSON::parse (app::buildManifestJson (s))["strips"][0]["plugins"][0];
        EXPECT_EQ (plugin["parameterSha256"].toString(), c.storedDigest ? app::sha256Hex (c.stored) : juce::String());
        EXPECT_EQ (plugin["parameterValuesSha256"].toString(), c.valuesDigest ? valuesDigest : juce::String());
    }
    EXPECT_NE (app::sha256Hex (keyFive), valuesDigest);
    EXPECT_EQ (app::sha256Hex ({}), "");
    EXPECT_EQ (app::sha256Hex (bytesOf ("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

// The digest must agree with JUCE's SHA-256 (and the published vectors) at every length around
// the block and padding boundaries, and on a stream large enough to span many blocks.
TEST (Manifest, Sha256AgreesWithJuceAtEveryPaddingBoundary)
{
    juce::Random random (77);
    juce::MemoryBlock data (70000);
    for (size_t i = 0; i < data.getSize(); ++i)
        data[i] = (char) random.nextInt (256);

    juce::Array<size_t> sizes;
    for (size_t n = 1; n <= 260; ++n)
        sizes.add (n);
    for (size_t n : { 1000u, 4095u, 4096u, 4097u, 65536u, 69999u, 70000u })
        sizes.add (n);
    for (const auto n : sizes)
    {
        const juce::MemoryBlock block (data.getData(), n);
        EXPECT_EQ (app::sha256Hex (block), juce::SHA256 (block).toHexString()) << n;
    }

    const char* const twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ (app::sha256Hex (bytesOf (twoBlocks)), "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

} // namespace
