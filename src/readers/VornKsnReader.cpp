// The reader of Vorn Live scenes (.ksn): the file goes once through the untrusted-file loader and
// the strict XML guard into a JUCE tree, and the tree into the rack model. Every attribute the
// model takes is read strictly (canonical integers, plain decimals, 32-bit hexadecimal), where
// JUCE's own readers would guess. A scene is complete only when its snapshot status, its
// persistence counts, every slot's state and the routing prove it; a readable scene that falls
// short is partial, with a note saying why.
//
// In this file, in order:
//   - Limits and note texts
//   - Attribute values: integers, decimals, floats and hexadecimal ids as JUCE writes them, and
//     the slot position in messages.
//   - The read's state: what the walk over the strips learns, and the failed result.
//   - Slots: the sidechain attributes, and the PLUGIN child with the plug-in and parameter states.
//   - Scene checks and loading: a pristine inactive channel, a slot's complete converter state,
//     the states lifted out of the text, and loadScene (of a text, or of bytes it may overwrite).
//   - The read of a scene's text: the root and setup, the audio device, strips and slots, the
//     persistence counts, routing, the converter's own shape and the inactive channels in turn,
//     then the notes and the grade.
//   - The readers: readVornKsn (through the untrusted-file loader), readVornKsnBytes and
//     readVornKsnDocument.

#include "readers/VornKsnReader.h"

#include "model/AudioUnitState.h"
#include "model/ParameterSnapshot.h"
#include "model/StrictXml.h"
#include "model/StrictDecimal.h"
#include "model/UntrustedFile.h"
#include "model/Utf8Text.h"
#include "model/Vst3State.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <set>

namespace vornconv
{

namespace
{

//==============================================================================
// Limits and note texts

constexpr int sceneStrips = 64;
constexpr int sceneSlots = 8;
constexpr int physicalSidechainLimit = 256;
constexpr double pristineTolerance = 1e-6;

const char* const noteConverterShape = "구형 VornLiveScene v1에는 snapshotStatus/root count가 없지만 모든 occupied VST3 slot의 Comp/Cont와 전체 routing payload가 완전하다";
const char* const noteStripColour = "Vorn Live 는 스트립 색상을 저장하지 않는다";
const char* const noteIdentity = "VST3 Class ID는 저장돼 있지 않다 — PluginDescription의 uniqueId/uid 32비트 해시를 설치된 moduleinfo/factory로 검증해 해소하기 전에는 타 호스트 출력이 불가하다";
const char* const notSceneText = "scene text is not valid UTF-8 without NUL bytes";
const char* const noteBlocked = "Vorn snapshot이 confirmed가 아니거나 slot Comp/Cont 상태가 완전하지 않아 strict writer를 차단한다 (status=";

//==============================================================================
// Attribute values

// Integers in a scene are plain decimal as JUCE writes them: an optional minus, digits, no
// leading zero, within 32 bits. JUCE's own attribute reading would take "3abc" as 3 and "abc"
// as 0; such text is refused instead.
bool parseCanonicalInt (const juce::String& text, int& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal (utf8Bytes (text), DecimalForm::signedCanonical, std::numeric_limits<juce::int32>::min(),
                              std::numeric_limits<juce::int32>::max(), value))
        return false;
    out = (int) value;
    return true;
}

// An absent attribute gives fallback; a present one must be canonical.
bool readIntAttribute (const juce::XmlElement& e, const char* name, int fallback, int& out)
{
    if (! e.hasAttribute (name))
    {
        out = fallback;
        return true;
    }
    return parseCanonicalInt (e.getStringAttribute (name), out);
}

// A decimal number: sign, digits, optional fraction, optional exponent. Refuses "nan", "inf",
// hexadecimal and trailing text, all of which JUCE would read as some number.
bool parseDecimalDouble (const juce::String& text, double& out)
{
    auto p = text.getCharPointer();
    if (*p == '-' || *p == '+')
        ++p;
    int digits = 0;
    while (*p >= '0' && *p <= '9') { ++p; ++digits; }
    if (*p == '.')
    {
        ++p;
        while (*p >= '0' && *p <= '9') { ++p; ++digits; }
    }
    if (digits == 0)
        return false;
    if (*p == 'e' || *p == 'E')
    {
        ++p;
        if (*p == '-' || *p == '+')
            ++p;
        int exponentDigits = 0;
        while (*p >= '0' && *p <= '9') { ++p; ++exponentDigits; }
        if (exponentDigits == 0)
            return false;
    }
    if (! p.isEmpty())
        return false;
    out = juceDoubleValue (utf8Bytes (text));
    return std::isfinite (out);
}

bool readDoubleAttribute (const juce::XmlElement& e, const char* name, double& out)
{
    if (! e.hasAttribute (name))
    {
        out = 0.0;
        return true;
    }
    return parseDecimalDouble (e.getStringAttribute (name), out);
}

// A float field of the model: the double must stay finite as a float too.
bool readFloatAttribute (const juce::XmlElement& e, const char* name, float& out)
{
    double value = 0.0;
    if (! readDoubleAttribute (e, name, value))
        return false;
    out = (float) value;
    return std::isfinite (out);
}

// PLUGIN uniqueId and uid: JUCE writes them as hexadecimal text of a 32-bit value.
bool parseHex32 (const juce::String& text, juce::uint32& out)
{
    if (text.isEmpty() || text.length() > 8 || ! text.containsOnly ("0123456789abcdefABCDEF"))
        return false;
    out = (juce::uint32) text.getHexValue32();
    return true;
}

bool readHexAttribute (const juce::XmlElement& e, const char* name, juce::uint32& out)
{
    if (! e.hasAttribute (name))
    {
        out = 0;
        return true;
    }
    return parseHex32 (e.getStringAttribute (name), out);
}

juce::String at (int strip, int slot)
{
    return " at strip " + juce::String (strip) + ", slot " + juce::String (slot);
}

bool isCanonicalDecimal (const juce::String& text)
{
    if (text.isEmpty() || ! text.containsOnly ("0123456789"))
        return false;
    return text == "0" || text[0] != '0';
}

//==============================================================================
// The read's state

struct SceneReadState
{
    bool legacyRoot = false;
    bool converterShapeRoot = false; // version "1", no status, no root counts
    bool strictCandidate = false;
    int mirrorIncomplete = 0;
    int opaquePending = 0;

    // What the root says: the channels the setup makes active, and the persistence counts (-1 where
    // the root has none).
    int activeChannels = sceneStrips;
    int dirtyCount = -1, opaqueCount = -1, incompleteCount = -1;
};

RackReadResult failure (RackReadResult result, const juce::String& message)
{
    result.ok = false;
    result.status = readFailed;
    result.error = message;
    return result;
}

// The large plug-in states of a scene, taken out of its text before JUCE parses it. JUCE's parser
// copies every attribute value into the tree, which held each state's text a second time beside
// the file's text, and copying them was most of the reading time. Each pluginState value of a
// Slot element that holds no character reference is decoded straight from the file's bytes (as
// JUCE would have given it to the decoder) and replaced in the text by a stand-in: "@", a nonce of this read, "@" and its number. The
// stand-in is not memory-block text, and without the nonce no file can spell one.
struct LiftedState
{
    bool decoded = false;
    juce::MemoryBlock bytes;      // what the value decodes to
    juce::String error;           // or the decoder's refusal
};

struct LiftedStates
{
    juce::String prefix;
    std::vector<LiftedState> states;

    // The state a pluginState value stands in for, or null when it is the value itself.
    LiftedState* find (const juce::String& value)
    {
        if (prefix.isEmpty() || ! value.startsWith (prefix))
            return nullptr;
        const auto number = value.substring (prefix.length());
        juce::int64 index = -1;
        if (! parseStrictDecimal (utf8Bytes (number), DecimalForm::canonical, 0, (juce::int64) states.size() - 1, index))
            return nullptr;
        return &states[(size_t) index];
    }
};

//==============================================================================
// Slots

// The sidechain attributes of one slot; false with error set on a refusal.
bool readSidechain (const juce::XmlElement& e, int s, int k, PluginRef& slot, juce::String& error)
{
    slot.sidechainKind = sidechainStrip;
    slot.sidechainEnabled = true;
    if (! (e.hasAttribute ("sidechainSchema") || e.hasAttribute ("sidechainKind")
           || e.hasAttribute ("sidechainIndex") || e.hasAttribute ("sidechainEnabled")))
    {
        int legacySource = 0;
        if (! readIntAttribute (e, "sidechainSrc", 0, legacySource) || legacySource < 0 || legacySource > sceneStrips)
        {
            // The legacy form names a 1-based strip number; it gets the same bound as the current form.
            error = "invalid Vorn legacy sidechain" + at (s, k);
            return false;
        }
        slot.sidechainSource = legacySource - 1;
        return true;
    }
    // The schema-2 form: its own rule below decides about sidechainSrc, which must be "0".

    const auto kindText = e.getStringAttribute ("sidechainKind");
    const auto indexText = e.getStringAttribute ("sidechainIndex");
    const auto enabledText = e.getStringAttribute ("sidechainEnabled");
    const juce::StringArray kinds { "legacy", "physical", "rackPre", "rackPost" };
    const int kind = kinds.indexOf (kindText);
    bool valid = e.getStringAttribute ("sidechainSchema") == "2"
              && e.getStringAttribute ("sidechainSrc") == "0"
              && isCanonicalDecimal (indexText) && indexText.length() <= 3
              && (enabledText == "0" || enabledText == "1")
              && kind >= 0;
    if (valid)
    {
        const int index = indexText.getIntValue();
        valid = index < (kind == sidechainPhysical ? physicalSidechainLimit : sceneStrips);
        if (valid)
        {
            slot.sidechainSource = index;
            slot.sidechainEnabled = enabledText == "1";
            slot.sidechainKind = kind;
        }
    }
    if (! valid)
        error = "invalid Vorn sidechain schema 2" + at (s, k);
    return valid;
}

// The PLUGIN child: the plug-in's identity, its description, its file (relative to the scene's
// folder) and, for an AudioUnit, the identity its descriptor file names.
bool readPluginDescriptor (const juce::XmlElement& plugin, const juce::File& sceneFolder, int s, int k, PluginRef& slot,
                          juce::String& error)
{
    slot.occupied = true;
    slot.name = plugin.getStringAttribute ("name");
    slot.vendor = plugin.getStringAttribute ("manufacturer");
    slot.format = plugin.getStringAttribute ("format");
    if (! readHexAttribute (plugin, "uniqueId", slot.uniqueId) || ! readHexAttribute (plugin, "uid", slot.deprecatedUid))
    {
        error = "invalid PLUGIN uniqueId/uid" + at (s, k);
        return false;
    }
    slot.descriptionXml = plugin.toString();
    const auto fileText = plugin.getStringAttribute ("file");
    if (fileText.isNotEmpty())
    {
        // Only a leading "/" makes a path absolute: a relative text (even one that starts
        // with "~") stays under the scene's folder.
        slot.file = fileText.startsWithChar ('/') ? juce::File (fileText)
                                                  : sceneFolder.getChildFile ("./" + fileText);
    }
    if (isAudioUnitFormat (slot.format))
    {
        slot.format = "AU";
        // The descriptor is the raw attribute text, not the path it was resolved to.
        audioUnit::Identity descriptor;
        if (audioUnit::parseDescriptorFile (fileText, descriptor))
        {
            slot.auType = descriptor.type;
            slot.auSubtype = descriptor.subtype;
            slot.auManufacturer = descriptor.manufacturer;
        }
    }
    return true;
}

// The slot's decoded state as its kind keeps it: a VST3 container split into its component and
// controller streams, an AudioUnit property list whose identity must agree with the descriptor's,
// or bytes only the host reads.
bool parsePluginState (PluginRef& slot, int s, int k, juce::String& error)
{
    auto& state = slot.state;
    if (vst3::looksLikeJuceXmlContainer (state.raw))
    {
        state.encoding = PluginStateEncoding::juceVst3Xml;
        auto split = vst3::parseJuceVst3State (state.raw);
        if (! split.ok)
        {
            error = "invalid VST3 state" + at (s, k) + ": " + split.error;
            return false;
        }
        state.component = std::move (split.component);
        state.controller = std::move (split.controller);
        // The container is rebuilt from its two streams wherever it is written again, and
        // nothing reads it back: holding it beside them would double every state in memory.
        state.raw.reset();
    }
    else if (slot.format == "AU")
    {
        audioUnit::Identity identity;
        juce::String plistError;
        if (! audioUnit::parsePropertyList (state.raw, identity, plistError))
        {
            error = "invalid AudioUnit state" + at (s, k) + ": " + plistError;
            return false;
        }
        const auto agrees = [] (juce::uint32 described, juce::uint32 stored) { return described == 0 || described == stored; };
        if (! agrees (slot.auType, identity.type) || ! agrees (slot.auSubtype, identity.subtype)
            || ! agrees (slot.auManufacturer, identity.manufacturer))
        {
            error = "AudioUnit descriptor/state identity mismatch" + at (s, k);
            return false;
        }
        slot.auType = identity.type;
        slot.auSubtype = identity.subtype;
        slot.auManufacturer = identity.manufacturer;
        state.encoding = PluginStateEncoding::audioUnitPlist;
    }
    else
    {
        state.encoding = PluginStateEncoding::hostSpecific;
    }
    return true;
}

// The PLUGIN child and the state attributes; false with error set on a refusal.
bool readSlotContents (juce::XmlElement& e, const juce::File& sceneFolder, LiftedStates& lifted, int s, int k,
                       PluginRef& slot, juce::String& error)
{
    if (auto* plugin = e.getChildByName ("PLUGIN"))
        if (! readPluginDescriptor (*plugin, sceneFolder, s, k, slot, error))
            return false;

    const auto pluginStateText = e.getStringAttribute ("pluginState");
    if (pluginStateText.isNotEmpty())
    {
        if (! slot.occupied)
        {
            error = "pluginState without PLUGIN descriptor" + at (s, k);
            return false;
        }
        juce::String decodeError;
        auto* taken = lifted.find (pluginStateText);
        if (taken != nullptr)
        {
            decodeError = taken->error;
            slot.state.raw = std::move (taken->bytes);
        }
        if (taken != nullptr ? ! taken->decoded
                             : ! vst3::decodeJuceMemoryBlock (pluginStateText, slot.state.raw, vst3::maxStateBytes, decodeError))
        {
            error = "invalid JUCE pluginState encoding" + at (s, k) + ": " + decodeError;
            return false;
        }
        if (! parsePluginState (slot, s, k, error))
            return false;
    }
    // The text is no longer needed; dropping it keeps a large scene's peak memory down.
    e.removeAttribute ("pluginState");

    const auto parameterText = e.getStringAttribute ("parameterState");
    if (parameterText.isNotEmpty())
    {
        juce::String decodeError;
        if (! vst3::decodeJuceMemoryBlock (parameterText, slot.state.parameters, vst3::maxStateBytes, decodeError))
        {
            error = "invalid Vorn parameterState" + at (s, k) + ": " + decodeError;
            return false;
        }
    }
    e.removeAttribute ("parameterState");
    return true;
}

//==============================================================================
// Scene checks and loading

bool isPristine (const RackStrip& strip, int position)
{
    if (strip.index != position)
        return false;
    if (strip.name.isNotEmpty() && strip.name != "Ch " + juce::String (strip.index + 1))
        return false;
    for (const auto& slot : strip.plugins)
        if (slot.occupied)
            return false;
    return strip.routePatches.isEmpty()
        && std::abs (strip.inputGainDb) <= pristineTolerance
        && std::abs (strip.outputGainDb) <= pristineTolerance
        && std::abs (strip.pan - 0.5f) <= pristineTolerance
        && ! strip.muted && ! strip.soloed && ! strip.bypassed;
}

bool hasCompleteConverterState (const PluginRef& slot)
{
    if (! slot.coverage.state)
        return false;
    if (slot.format == "VST3")
        return ! slot.state.component.isEmpty();
    return slot.format == "AU" && slot.state.encoding == PluginStateEncoding::audioUnitPlist && ! slot.state.raw.isEmpty();
}

// Every large pluginState value of a Slot lifted out of the scene text in bytes (size bytes and a
// NUL after them): each is decoded where it stands and the rest of the text moves up over it, so
// that the text left (its length in left, a NUL after it) is all JUCE's parser reads. The guard
// checks the whole document first and says where each value lies; false when it refuses it.
bool liftStates (char* bytes, size_t size, LiftedStates& lifted, size_t& left)
{
    constexpr size_t smallestLifted = 64;
    std::vector<std::pair<size_t, size_t>> spans;
    juce::String detail;
    // A value with a reference in it is left to JUCE, which resolves it first.
    const strictXml::AttributeVisitor visit = [&spans] (std::string_view element, std::string_view attribute,
                                                        size_t begin, size_t end, bool plain) {
        if (plain && attribute == "pluginState" && end - begin >= smallestLifted && element.size() == 4
            && juce::String (juce::CharPointer_UTF8 (element.data()), 4).equalsIgnoreCase ("Slot"))
            spans.emplace_back (begin, end);
    };
    if (! strictXml::isWellFormed (bytes, size, maxVornKsnXmlDepth, detail, visit))
        return false;

    left = size;
    if (spans.empty())
        return true;
    lifted.prefix = "@" + juce::Uuid().toString() + "@";
    const auto prefix = lifted.prefix.toStdString();
    lifted.states.resize (spans.size());
    size_t to = 0, from = 0;
    for (size_t n = 0; n < spans.size(); ++n)
    {
        const auto [begin, end] = spans[n];
        std::memmove (bytes + to, bytes + from, begin - from);
        to += begin - from;
        // The value is decoded where it stands (its closing quote briefly made its end).
        auto& state = lifted.states[n];
        const char quote = bytes[end];
        bytes[end] = 0;
        state.decoded = vst3::decodeJuceMemoryBlock (juce::StringRef (bytes + begin), state.bytes, vst3::maxStateBytes, state.error);
        bytes[end] = quote;
        const auto standIn = prefix + std::to_string (n);
        std::memcpy (bytes + to, standIn.data(), standIn.size()); // never longer than the value
        to += standIn.size();
        from = end;
    }
    std::memmove (bytes + to, bytes + from, size - from);
    to += size - from;
    bytes[to] = 0;
    left = to;
    return true;
}

std::unique_ptr<juce::XmlElement> parseScene (const juce::String& text)
{
    juce::String detail;
    return strictXml::parseText (text, std::strlen (text.toRawUTF8()), maxVornKsnXmlDepth, detail);
}

// The whole scene text into root; false with the message. The text (read once, straight into it)
// is the one JUCE's parser reads once the states are lifted out of it, and it is released as
// soon as the tree is built. Anything that is not a scene document is "XML parse failed".
bool loadScene (juce::String text, std::unique_ptr<juce::XmlElement>& root, LiftedStates& lifted, juce::String& error)
{
    error = "XML parse failed";
    auto* bytes = text.getCharPointer().getAddress();
    const size_t size = std::strlen (bytes);
    size_t left = 0;
    if (! liftStates (bytes, size, lifted, left))
        return false;
    // Most of the text was states: the rest goes into text of its own size.
    if (left < size / 2)
        text = juce::String (juce::CharPointer_UTF8 (bytes), left);
    root = parseScene (text);
    return root != nullptr;
}

// The same for a scene's bytes (UTF-8 without a NUL byte) that the read may overwrite, and the
// byte after them: the states are lifted out of them where they lie, only the rest becomes text of
// its own, and the bytes go before it is parsed, so that the read never holds the scene twice.
bool loadSceneDocument (char* bytes, size_t size, const std::function<void()>& release, std::unique_ptr<juce::XmlElement>& root,
                        LiftedStates& lifted, juce::String& error)
{
    error = "XML parse failed";
    bytes[size] = 0;
    size_t left = 0;
    juce::String text;
    const bool loaded = liftStates (bytes, size, lifted, left) && utf8::toText (bytes, left, text);
    release();
    if (! loaded)
        return false;
    root = parseScene (text);
    return root != nullptr;
}

//==============================================================================
// The read of a scene's text

// The result before anything of the scene is known: what every read, failed or not, names.
RackReadResult startRead (const juce::File& file)
{
    RackReadResult result;
    auto& session = result.session;
    session.sourceFormat = vornKsnFormatId;
    session.sourceApp = "Vorn Live";
    session.sourceFile = file.getFullPathName();
    session.capacityStrips = sceneStrips;
    session.capacitySlots = sceneSlots;
    return result;
}

// What gives a read the document's tree and the states lifted out of its text, or the refusal.
using SceneLoader = std::function<bool (std::unique_ptr<juce::XmlElement>& root, LiftedStates& lifted, juce::String& error)>;

// A refusal of the scene: error says why.
bool refuse (juce::String& error, const juce::String& message)
{
    error = message;
    return false;
}

// The root and what it says of the whole scene: the snapshot status, the active channels of the
// setup, the persistence counts, and the audio device.
bool readSceneRoot (const juce::XmlElement& root, RackSession& session, SceneReadState& read, juce::String& error)
{
    auto& activeChannels = read.activeChannels;
    auto& dirtyCount = read.dirtyCount;
    auto& opaqueCount = read.opaqueCount;
    auto& incompleteCount = read.incompleteCount;
    if (root.hasTagName ("VornLegacyScene"))
        read.legacyRoot = true;
    else if (! root.hasTagName ("VornLiveScene"))
        return refuse (error, "unexpected root tag: " + root.getTagName());

    session.sourceVersion = root.getStringAttribute ("version", "1");
    session.sourceSnapshotStatus = root.getStringAttribute ("snapshotStatus", read.legacyRoot ? "legacy" : "");

    if (auto* setup = root.getChildByName ("Setup"))
    {
        int mode = -1;
        if (! setup->hasAttribute ("channelMode") || ! readIntAttribute (*setup, "channelMode", -1, mode) || mode < 0 || mode > 2)
            return refuse (error, "invalid Vorn channelMode");
        activeChannels = mode == 0 ? 16 : (mode == 1 ? 32 : 64);
    }

    if (! readIntAttribute (root, "dirtyPluginStateCount", -1, dirtyCount)
        || ! readIntAttribute (root, "opaqueStatePendingCount", -1, opaqueCount)
        || ! readIntAttribute (root, "incompleteParameterMirrorCount", -1, incompleteCount))
        return refuse (error, "Vorn root persistence counts disagree with occupied slot flags");
    read.strictCandidate = ! read.legacyRoot
                        && (session.sourceSnapshotStatus == "confirmed" || session.sourceSnapshotStatus == "convertedCanonical");
    read.converterShapeRoot = ! read.legacyRoot && session.sourceVersion == "1" && dirtyCount < 0 && opaqueCount < 0
                           && incompleteCount < 0 && session.sourceSnapshotStatus.isEmpty();

    if (auto* device = root.getChildByName ("AudioDevice"))
    {
        if (! readDoubleAttribute (*device, "sampleRate", session.sampleRate) || session.sampleRate < 0.0)
            return refuse (error, "invalid Vorn sampleRate");
        if (! readIntAttribute (*device, "bufferSize", 0, session.bufferSize) || session.bufferSize < 0)
            return refuse (error, "invalid Vorn bufferSize");
        session.inputDevice = device->getStringAttribute ("inputDevice");
        session.outputDevice = device->getStringAttribute ("outputDevice");
    }
    return true;
}

// One Slot of a strip into slot: its sidechain, activation and contents (plug-in and states), its
// parameter mirror's provenance, and what it adds to the counts the root must agree with.
bool readSlot (juce::XmlElement& slotNode, int s, int k, const juce::File& sceneFolder, LiftedStates& lifted, SceneReadState& read,
              PluginRef& slot, juce::String& error)
{
    if (! readSidechain (slotNode, s, k, slot, error))
        return false;

    int activation = 0;
    if (! readIntAttribute (slotNode, "state", 0, activation) || activation < 0 || activation > 2)
        return refuse (error, "invalid plugin activation state" + at (s, k));
    slot.bypassed = activation == 1;
    slot.inactive = activation == 2;

    if (! readSlotContents (slotNode, sceneFolder, lifted, s, k, slot, error))
        return false;

    slot.state.parameterMirrorComplete = slotNode.getBoolAttribute ("parameterMirrorComplete");
    if (read.converterShapeRoot && ! slotNode.hasAttribute ("parameterMirrorComplete")
        && slotNode.hasAttribute ("vornconvParameterMirrorComplete"))
    {
        parameterState::Snapshot snapshot;
        juce::String snapshotError;
        if (slotNode.getStringAttribute ("vornconvParameterMirrorComplete") != "1"
            || ! parameterState::decode (slot.state.parameters, snapshot, snapshotError))
            return refuse (error, "invalid converter parameter mirror provenance" + at (s, k));
        slot.state.parameterMirrorComplete = true;
    }

    slot.state.opaqueStatePending = slotNode.getBoolAttribute ("opaqueStatePending");
    slot.coverage.identity = slot.occupied;
    slot.coverage.activation = slot.coverage.mute = slot.coverage.sidechain = true;
    slot.coverage.state = slot.occupied
                       && (! slot.state.component.isEmpty()
                           || (slot.format == "AU" && slot.state.encoding == PluginStateEncoding::audioUnitPlist));

    if (slot.occupied)
    {
        if (! slot.state.parameterMirrorComplete)
            ++read.mirrorIncomplete;
        if (slot.state.opaqueStatePending)
            ++read.opaquePending;
        if (slot.state.opaqueStatePending || (slot.format == "VST3" && slot.state.component.isEmpty()))
            read.strictCandidate = false;
    }
    return true;
}

// One Strip, at an index no other strip has: its name, gains, pan, flags and channel layout, and
// its slots, each at an index no other slot of the strip has.
bool readStrip (juce::XmlElement& stripNode, int capacitySlots, const juce::File& sceneFolder, LiftedStates& lifted,
               std::set<int>& stripIndices, SceneReadState& read, RackStrip& strip, juce::String& error)
{
    int s = -1;
    if (! readIntAttribute (stripNode, "index", -1, s) || s < 0 || s >= sceneStrips || stripIndices.count (s) != 0)
        return refuse (error, "invalid or duplicate Strip index: "
                                  + stripNode.getStringAttribute ("index", "-1"));
    stripIndices.insert (s);
    strip.index = s;
    const juce::String where = " at strip " + juce::String (s);

    strip.name = stripNode.getStringAttribute ("name");
    if (! readFloatAttribute (stripNode, "trimDb", strip.inputGainDb))
        return refuse (error, "invalid Vorn trimDb" + where);
    if (! readFloatAttribute (stripNode, "outTrimDb", strip.outputGainDb))
        return refuse (error, "invalid Vorn outTrimDb" + where);
    float pan = 0.0f;
    if (! readFloatAttribute (stripNode, "pan", pan) || std::abs (pan) > 1.0f)
        return refuse (error, "invalid Vorn pan" + where);
    strip.pan = (pan + 1.0f) / 2.0f;

    strip.muted = stripNode.getBoolAttribute ("muted");
    strip.soloed = stripNode.getBoolAttribute ("soloed");
    strip.bypassed = stripNode.getBoolAttribute ("bypassed");
    strip.inputChannels = stripNode.getBoolAttribute ("inputStereo") ? 2 : 1;
    strip.outputChannels = stripNode.getBoolAttribute ("outputStereo") ? 2 : 1;
    auto& cover = strip.coverage;
    cover.name = cover.inputGain = cover.outputGain = cover.pan = true;
    cover.mute = cover.solo = cover.bypass = cover.channelLayout = true;

    std::set<int> slotIndices;
    for (auto* slotNode : stripNode.getChildWithTagNameIterator ("Slot"))
    {
        int k = -1;
        if (! readIntAttribute (*slotNode, "index", -1, k) || k < 0 || k >= capacitySlots || slotIndices.count (k) != 0)
            return refuse (error, "invalid or duplicate Slot index in strip " + juce::String (s) + ": "
                                      + slotNode->getStringAttribute ("index", "-1"));
        slotIndices.insert (k);

        PluginRef slot;
        if (! readSlot (*slotNode, s, k, sceneFolder, lifted, read, slot, error))
            return false;
        while (strip.plugins.size() <= k)
            strip.plugins.add (PluginRef());
        strip.plugins.getReference (k) = std::move (slot);
    }
    return true;
}

// The root's persistence counts, where it has them, must agree with the slots' flags.
bool checkPersistenceCounts (const RackSession& session, SceneReadState& read, juce::String& error)
{
    const auto dirtyCount = read.dirtyCount, opaqueCount = read.opaqueCount, incompleteCount = read.incompleteCount;
    read.strictCandidate = read.strictCandidate && session.strips.size() == sceneStrips;
    if (! read.legacyRoot)
    {
        if (dirtyCount >= 0 && opaqueCount >= 0)
        {
            if (dirtyCount != opaqueCount || opaqueCount != read.opaquePending
                || (incompleteCount >= 0 && incompleteCount != read.mirrorIncomplete))
                return refuse (error, "Vorn root persistence counts disagree with occupied slot flags");
        }
        else
        {
            read.strictCandidate = false;
        }
    }
    return true;
}

// The routing: one Route per strip at most, each naming a strip of the scene, as its summary routes
// and physical patches.
bool readRouting (const juce::XmlElement& root, RackSession& session, SceneReadState& read, juce::String& error)
{
    if (auto* routing = root.getChildByName ("Routing"))
    {
        std::set<int> routed;
        int routeCount = 0;
        for (auto* route : routing->getChildWithTagNameIterator ("Route"))
        {
            ++routeCount;
            int index = -1;
            RackStrip* target = nullptr;
            if (readIntAttribute (*route, "strip", -1, index) && routed.count (index) == 0)
                for (auto& strip : session.strips)
                    if (strip.index == index)
                        target = &strip;
            if (target == nullptr)
                return refuse (error, "invalid or duplicate Vorn Route index: "
                                          + route->getStringAttribute ("strip", "-1"));
            routed.insert (index);

            int channels[4] = { -1, -1, -1, -1 };
            const char* const names[4] = { "inL", "inR", "outL", "outR" };
            for (int i = 0; i < 4; ++i)
                if (! readIntAttribute (*route, names[i], -1, channels[i]) || channels[i] < -1)
                    return refuse (error, "invalid Vorn route " + juce::String (names[i])
                                              + " at strip " + juce::String (index));
            auto& strip = *target;
            strip.routeInL = channels[0];
            strip.routeInR = channels[1];
            strip.routeOutL = channels[2];
            strip.routeOutR = channels[3];
            strip.coverage.route = true;
            if (strip.routeInL >= 0)
                strip.routePatches.add ({ true, 0, strip.routeInL });
            if (strip.routeInR >= 0 && strip.inputChannels >= 2)
                strip.routePatches.add ({ true, 1, strip.routeInR });
            if (strip.routeOutL >= 0)
                strip.routePatches.add ({ false, 0, strip.routeOutL });
            if (strip.routeOutR >= 0 && strip.outputChannels >= 2)
                strip.routePatches.add ({ false, 1, strip.routeOutR });
            // A mono side's right route, which a scene repeats from the left, is no route.
            normaliseRoutes (strip);
        }
        read.strictCandidate = read.strictCandidate && routeCount == session.strips.size();
    }
    else
    {
        read.strictCandidate = false;
    }
    return true;
}

// A scene of the converter's own shape whose every slot holds a complete converter state and
// every strip a route is a strict candidate after all.
void checkConverterShape (RackSession& session, SceneReadState& read)
{
    if (read.converterShapeRoot && read.opaquePending == 0 && session.strips.size() == sceneStrips)
    {
        bool complete = true;
        for (const auto& strip : session.strips)
        {
            complete = complete && strip.coverage.route;
            for (const auto& slot : strip.plugins)
                if (slot.occupied)
                    complete = complete && hasCompleteConverterState (slot);
        }
        if (complete)
        {
            session.notes.add (Fidelity::lossless, "source.snapshot", juce::String::fromUTF8 (noteConverterShape));
            read.strictCandidate = true;
        }
    }
}

// file names the scene: its folder is where relative plug-in files lie, and its name is the
// snapshot's.
RackReadResult readScene (const juce::File& file, const SceneLoader& load)
{
    auto result = startRead (file);
    auto& session = result.session;

    std::unique_ptr<juce::XmlElement> root;
    LiftedStates lifted;
    juce::String error;
    if (! load (root, lifted, error))
        return failure (std::move (result), error);

    SceneReadState read;
    if (! readSceneRoot (*root, session, read, error))
        return failure (std::move (result), error);
    const int activeChannels = read.activeChannels;

    auto* stripsNode = root->getChildByName ("Strips");
    if (stripsNode == nullptr)
        return failure (std::move (result), "missing Strips node");

    const auto sceneFolder = file.getParentDirectory();
    std::set<int> stripIndices;
    for (auto* stripNode : stripsNode->getChildWithTagNameIterator ("Strip"))
    {
        RackStrip strip;
        if (! readStrip (*stripNode, session.capacitySlots, sceneFolder, lifted, stripIndices, read, strip, error))
            return failure (std::move (result), error);
        session.strips.add (std::move (strip));
    }

    if (session.strips.isEmpty())
        return failure (std::move (result), "Strips node contains no Strip records");
    if (! checkPersistenceCounts (session, read, error) || ! readRouting (*root, session, read, error))
        return failure (std::move (result), error);
    checkConverterShape (session, read);

    for (int p = activeChannels; p < session.strips.size(); ++p)
        if (! isPristine (session.strips.getReference (p), p))
            return failure (std::move (result), "inactive Vorn channel contains session data");
    if (session.strips.size() > activeChannels)
        session.strips.removeRange (activeChannels, session.strips.size() - activeChannels);

    session.snapshots.add ({ 0, file.getFileNameWithoutExtension(), {} });
    session.notes.add (Fidelity::dropped, "strip.colour", juce::String::fromUTF8 (noteStripColour));
    session.notes.add (Fidelity::approx, "plugin.identity", juce::String::fromUTF8 (noteIdentity));

    result.ok = true;
    if (read.strictCandidate)
    {
        result.status = readComplete;
    }
    else
    {
        session.notes.add (Fidelity::dropped, "source.snapshot",
                           juce::String::fromUTF8 (noteBlocked) + session.sourceSnapshotStatus + ")");
        result.status = readPartial;
    }
    return result;
}

} // namespace

//==============================================================================
// The readers

// A file the loader refuses (a folder, not a regular file, too large, not UTF-8) says why; a
// missing one is "XML parse failed".
RackReadResult readVornKsn (const juce::File& file)
{
    juce::String text, error ("XML parse failed");
    if (! file.exists() || ! readUntrustedText (file, maxVornKsnFileBytes, text, error))
        return failure (startRead (file), error);
    return readScene (file, [&text] (auto& root, auto& lifted, auto& loadError)
                      { return loadScene (std::move (text), root, lifted, loadError); });
}

RackReadResult readVornKsnBytes (const juce::File& file, std::string_view bytes)
{
    juce::String text;
    if (bytes.size() > (size_t) maxVornKsnFileBytes || ! utf8::toText (bytes.data(), bytes.size(), text))
        return failure (startRead (file), notSceneText);
    return readScene (file, [&text] (auto& root, auto& lifted, auto& loadError)
                      { return loadScene (std::move (text), root, lifted, loadError); });
}

RackReadResult readVornKsnDocument (const juce::File& file, char* bytes, size_t size, const std::function<void()>& release)
{
    if (size > (size_t) maxVornKsnFileBytes || utf8::checkText (bytes, size).fault != utf8::TextFault::none)
        return failure (startRead (file), notSceneText);
    return readScene (file, [bytes, size, &release] (auto& root, auto& lifted, auto& loadError)
                      { return loadSceneDocument (bytes, size, release, root, lifted, loadError); });
}

} // namespace vornconv
