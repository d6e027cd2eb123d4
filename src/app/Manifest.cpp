#include "app/Manifest.h"

#include "model/JsonWriter.h"
#include "model/ParameterSnapshot.h"
#include "model/RackFields.h"
#include "model/Vst3ClassId.h"

#include <juce_cryptography/juce_cryptography.h>

#include <cstring>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
 #define VORNCONV_SHA_EXTENSIONS 1
 #include <cpuid.h>
 #include <immintrin.h>
#endif

namespace vornconv::app
{

namespace
{

#if VORNCONV_SHA_EXTENSIONS

// The state streams of a large session are most of the manifest's work. Where the processor has
// the SHA extensions they digest several times faster than JUCE's portable code, which is kept for
// every other processor; both give the same digest.
bool hasShaExtensions() noexcept
{
    static const bool available = []
    {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid (1, &a, &b, &c, &d) == 0)
            return false;
        const bool ssse3 = (c & (1u << 9)) != 0, sse41 = (c & (1u << 19)) != 0;
        if (__get_cpuid_count (7, 0, &a, &b, &c, &d) == 0)
            return false;
        return ssse3 && sse41 && (b & (1u << 29)) != 0;
    }();
    return available;
}

alignas (16) const juce::uint32 sha256RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Runs the compression function over count 64-byte blocks. The eight state words are kept as
// the two lanes the instructions work on: ABEF and CDGH.
__attribute__ ((target ("sha,sse4.1,ssse3")))
void sha256Blocks (juce::uint32 state[8], const juce::uint8* data, size_t count) noexcept
{
    const __m128i byteSwap = _mm_set_epi64x (0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128 (reinterpret_cast<const __m128i*> (state));
    __m128i hgfe = _mm_loadu_si128 (reinterpret_cast<const __m128i*> (state + 4));
    const __m128i cdab = _mm_shuffle_epi32 (dcba, 0xB1);
    const __m128i efgh = _mm_shuffle_epi32 (hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8 (cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16 (efgh, cdab, 0xF0);

    for (; count > 0; --count, data += 64)
    {
        const __m128i abefBefore = abef, cdghBefore = cdgh;
        __m128i w[4];
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8 (_mm_loadu_si128 (reinterpret_cast<const __m128i*> (data + 16 * i)), byteSwap);

        // Sixteen groups of four rounds; the schedule is extended four words at a time, in the
        // group before the one that needs them.
        for (int i = 0; i < 16; ++i)
        {
            __m128i& current = w[i & 3];
            __m128i message = _mm_add_epi32 (current, _mm_load_si128 (reinterpret_cast<const __m128i*> (sha256RoundConstants + 4 * i)));
            cdgh = _mm_sha256rnds2_epu32 (cdgh, abef, message);
            if (i >= 3 && i <= 14)
            {
                __m128i& next = w[(i + 1) & 3];
                next = _mm_add_epi32 (next, _mm_alignr_epi8 (current, w[(i + 3) & 3], 4));
                next = _mm_sha256msg2_epu32 (next, current);
            }
            message = _mm_shuffle_epi32 (message, 0x0E);
            abef = _mm_sha256rnds2_epu32 (abef, cdgh, message);
            if (i >= 1 && i <= 12)
                w[(i + 3) & 3] = _mm_sha256msg1_epu32 (w[(i + 3) & 3], current);
        }

        abef = _mm_add_epi32 (abef, abefBefore);
        cdgh = _mm_add_epi32 (cdgh, cdghBefore);
    }

    const __m128i feba = _mm_shuffle_epi32 (abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32 (cdgh, 0xB1);
    dcba = _mm_blend_epi16 (feba, dchg, 0xF0);
    hgfe = _mm_alignr_epi8 (dchg, feba, 8);
    _mm_storeu_si128 (reinterpret_cast<__m128i*> (state), dcba);
    _mm_storeu_si128 (reinterpret_cast<__m128i*> (state + 4), hgfe);
}

// The digest of size bytes, read where they are: whole blocks straight from the input, then
// the padded tail (the last partial block, 0x80, zeros and the bit length) from a small buffer.
void sha256WithExtensions (const juce::uint8* data, size_t size, juce::uint8 digest[32]) noexcept
{
    juce::uint32 state[8] = { 0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19 };
    const size_t whole = size / 64;
    sha256Blocks (state, data, whole);

    juce::uint8 tail[128] = {};
    const size_t rest = size % 64;
    if (rest > 0)
        std::memcpy (tail, data + whole * 64, rest);
    tail[rest] = 0x80;
    const size_t tailSize = rest < 56 ? 64 : 128;
    const juce::uint64 bits = (juce::uint64) size * 8;
    for (int i = 0; i < 8; ++i)
        tail[tailSize - 1 - (size_t) i] = (juce::uint8) (bits >> (8 * i));
    sha256Blocks (state, tail, tailSize / 64);

    for (int i = 0; i < 8; ++i)
        for (int k = 0; k < 4; ++k)
            digest[4 * i + k] = (juce::uint8) (state[i] >> (24 - 8 * k));
}

#endif

juce::String encodingName (PluginStateEncoding encoding)
{
    const auto name = pluginStateEncodingName (encoding);
    return name.isEmpty() ? juce::String ("?") : name;
}

// The digest of the parameter values alone: the snapshot re-encoded with key 0, so that two
// mirrors with the same values agree whatever key they were stored with.
juce::String parameterValuesDigest (const PluginState& state)
{
    if (! state.parameterMirrorComplete)
        return {};
    parameterState::Snapshot snapshot;
    juce::String error;
    if (! parameterState::decode (state.parameters, snapshot, error))
        return {};
    return sha256Hex (parameterState::encode (snapshot.values, 0));
}

juce::var object()
{
    return juce::var (new juce::DynamicObject());
}

void put (juce::var& target, const char* key, const juce::var& value)
{
    target.getDynamicObject()->setProperty (key, value);
}

// What names the plug-in's class: its format, class id (in stored form) and the numeric ids.
void putIdentity (juce::var& o, const PluginRef& slot)
{
    put (o, "format", slot.format);
    put (o, "classId", storedClassId (slot.classId));
    put (o, "uniqueId", (int) (juce::int32) slot.uniqueId);
    put (o, "deprecatedUid", (int) (juce::int32) slot.deprecatedUid);
}

// The state by its encoding, sizes and digests.
void putState (juce::var& o, const PluginState& state)
{
    put (o, "encoding", encodingName (state.encoding));
    put (o, "componentBytes", (juce::int64) state.component.getSize());
    put (o, "controllerBytes", (juce::int64) state.controller.getSize());
    put (o, "componentSha256", sha256Hex (state.component));
    put (o, "controllerSha256", sha256Hex (state.controller));
    put (o, "parameterSha256", sha256Hex (state.parameters));
    put (o, "parameterValuesSha256", parameterValuesDigest (state));
    put (o, "parameterMirrorComplete", state.parameterMirrorComplete);
    put (o, "opaqueStatePending", state.opaqueStatePending);
}

juce::var pluginObject (const PluginRef& slot, int position)
{
    using rackFields::SlotKind;
    auto o = object();
    put (o, "slot", position);
    for (const auto& field : rackFields::slotFields)
    {
        switch (field.kind)
        {
            case SlotKind::text: put (o, field.key, slot.*field.text); break;
            case SlotKind::identity: putIdentity (o, slot); break;
            case SlotKind::flag: put (o, field.key, slot.*field.flag); break;
            case SlotKind::sidechain: put (o, field.key, (int) slot.sidechainSource); break;
            case SlotKind::state: putState (o, slot.state); break;
        }
    }
    auto coverage = object();
    for (const auto& flag : rackFields::slotFlags)
        put (coverage, flag.name, slot.coverage.*flag.proven);
    put (o, "coverage", coverage);
    return o;
}

// The summary routes, then every patch as written.
void putRouting (juce::var& o, const char* key, const RackStrip& strip)
{
    put (o, "routeInL", (int) strip.routeInL);
    put (o, "routeInR", (int) strip.routeInR);
    put (o, "routeOutL", (int) strip.routeOutL);
    put (o, "routeOutR", (int) strip.routeOutR);

    juce::Array<juce::var> patches;
    for (const auto& patch : strip.routePatches)
    {
        auto p = object();
        put (p, "direction", patch.isInput ? "input" : "output");
        put (p, "rackChannel", (int) patch.rackChannel);
        put (p, "physicalChannel", (int) patch.physicalChannel);
        patches.add (p);
    }
    put (o, key, patches);
}

juce::var stripObject (const RackStrip& strip)
{
    using rackFields::StripKind;
    auto o = object();
    put (o, "index", (int) strip.index);
    for (const auto& field : rackFields::stripFields)
    {
        switch (field.kind)
        {
            case StripKind::text: put (o, field.key, strip.*field.text); break;
            case StripKind::level: put (o, field.key, (double) (strip.*field.level)); break;
            case StripKind::flag: put (o, field.key, strip.*field.flag); break;
            case StripKind::count: put (o, field.key, (int) (strip.*field.count)); break;
            case StripKind::routing: putRouting (o, field.key, strip); break;
            case StripKind::colour: break; // a display attribute the manifest leaves out
        }
    }

    auto coverage = object();
    for (const auto& flag : rackFields::stripFlags)
        put (coverage, flag.name, strip.coverage.*flag.proven);
    put (o, "coverage", coverage);

    juce::Array<juce::var> plugins;
    for (int position = 0; position < strip.plugins.size(); ++position)
        if (strip.plugins.getReference (position).occupied)
            plugins.add (pluginObject (strip.plugins.getReference (position), position));
    put (o, "plugins", plugins);
    return o;
}

} // namespace

juce::String sha256Hex (const juce::MemoryBlock& bytes)
{
    if (bytes.isEmpty())
        return {};
#if VORNCONV_SHA_EXTENSIONS
    if (hasShaExtensions())
    {
        juce::uint8 digest[32];
        sha256WithExtensions (static_cast<const juce::uint8*> (bytes.getData()), bytes.getSize(), digest);
        return juce::String::toHexString (digest, (int) sizeof digest, 0);
    }
#endif
    return juce::SHA256 (bytes).toHexString();
}

juce::String buildManifestJson (const RackSession& session)
{
    auto root = object();
    put (root, "schema", "vorn-rack-manifest-v1");
    put (root, "sourceFormat", session.sourceFormat);
    put (root, "sourceApp", session.sourceApp);
    put (root, "sourceVersion", session.sourceVersion);
    put (root, "sourceSnapshotStatus", session.sourceSnapshotStatus);
    put (root, "sampleRate", session.sampleRate);
    put (root, "bufferSize", (int) session.bufferSize);
    put (root, "inputDevice", session.inputDevice);
    put (root, "outputDevice", session.outputDevice);
    put (root, "capacityStrips", (int) session.capacityStrips);
    put (root, "capacitySlots", (int) session.capacitySlots);
    juce::Array<juce::var> strips;
    for (const auto& strip : session.strips)
        strips.add (stripObject (strip));
    put (root, "strips", strips);
    return json::toJsonLine (root);
}

} // namespace vornconv::app
