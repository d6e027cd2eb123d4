#pragma once

#include "model/RackModel.h"

// The fields of a strip and of a plug-in slot that carry a session's meaning, each with the
// coverage flag by which a reader says it proved the field. The read-back comparison, the
// conversion ledger, the preflight's count of unproven fields and the manifest all walk these
// tables, each in its own order and words; a field added here reaches all four, and every walk
// that does not yet know its kind is named by the compiler (the walks switch over the kinds).
namespace vornconv::rackFields
{

//==============================================================================
// Coverage flags, by the names the manifest and the preflight give them.

struct StripFlag
{
    const char* name;
    bool StripCoverage::* proven;
};

inline constexpr StripFlag stripFlags[] = {
    { "name", &StripCoverage::name },         { "inputGain", &StripCoverage::inputGain },
    { "outputGain", &StripCoverage::outputGain }, { "pan", &StripCoverage::pan },
    { "mute", &StripCoverage::mute },         { "solo", &StripCoverage::solo },
    { "bypass", &StripCoverage::bypass },     { "channelLayout", &StripCoverage::channelLayout },
    { "route", &StripCoverage::route },
};

struct SlotFlag
{
    const char* name;
    bool PluginCoverage::* proven;
};

inline constexpr SlotFlag slotFlags[] = {
    { "identity", &PluginCoverage::identity }, { "activation", &PluginCoverage::activation },
    { "mute", &PluginCoverage::mute },         { "sidechain", &PluginCoverage::sidechain },
    { "state", &PluginCoverage::state },
};

//==============================================================================
// A strip's fields.

enum class StripKind
{
    text,      // a name
    level,     // a float: a gain in dB or the pan, the same within tolerance::level
    flag,      // a bool
    count,     // a whole number: a channel count
    routing,   // the physical routing: the summary routes and the patches, as one canonical patch set
    colour     // hasColour and colour
};

struct StripField
{
    const char* key;                            // the manifest's key
    StripKind kind;
    bool StripCoverage::* proven = nullptr;     // null for a field no reader proves
    // The value, by kind (routing and colour have members of their own).
    juce::String RackStrip::* text = nullptr;
    float RackStrip::* level = nullptr;
    bool RackStrip::* flag = nullptr;
    juce::int32 RackStrip::* count = nullptr;
};

namespace row
{
constexpr StripField text (const char* key, juce::String RackStrip::* m, bool StripCoverage::* proven)
{
    StripField f { key, StripKind::text, proven };
    f.text = m;
    return f;
}
constexpr StripField level (const char* key, float RackStrip::* m, bool StripCoverage::* proven)
{
    StripField f { key, StripKind::level, proven };
    f.level = m;
    return f;
}
constexpr StripField flag (const char* key, bool RackStrip::* m, bool StripCoverage::* proven)
{
    StripField f { key, StripKind::flag, proven };
    f.flag = m;
    return f;
}
constexpr StripField count (const char* key, juce::int32 RackStrip::* m, bool StripCoverage::* proven)
{
    StripField f { key, StripKind::count, proven };
    f.count = m;
    return f;
}
} // namespace row

// In the manifest's order. The colour, which no reader proves, is compared by the ledger only.
inline constexpr StripField stripFields[] = {
    row::text ("name", &RackStrip::name, &StripCoverage::name),
    row::level ("inputGainDb", &RackStrip::inputGainDb, &StripCoverage::inputGain),
    row::level ("outputGainDb", &RackStrip::outputGainDb, &StripCoverage::outputGain),
    row::level ("pan", &RackStrip::pan, &StripCoverage::pan),
    row::flag ("muted", &RackStrip::muted, &StripCoverage::mute),
    row::flag ("soloed", &RackStrip::soloed, &StripCoverage::solo),
    row::flag ("bypassed", &RackStrip::bypassed, &StripCoverage::bypass),
    row::count ("inputChannels", &RackStrip::inputChannels, &StripCoverage::channelLayout),
    row::count ("outputChannels", &RackStrip::outputChannels, &StripCoverage::channelLayout),
    { "routePatches", StripKind::routing, &StripCoverage::route },
    { "colour", StripKind::colour },
};

//==============================================================================
// A slot's fields.

enum class SlotKind
{
    text,       // a name
    identity,   // the format and the ids that name the plug-in's class, compared as one
    flag,       // a bool
    sidechain,  // the sidechain's source strip, with its kind and whether it is enabled
    state       // the state streams and the parameter mirror
};

struct SlotField
{
    const char* key;                             // the manifest's key, or the group's name
    SlotKind kind;
    bool PluginCoverage::* proven = nullptr;     // null for a field no reader proves
    // False for what the ledger leaves to others: the host's own identifiers, and what the run
    // itself decides (a plug-in found unavailable is written inactive).
    bool inLedger = true;
    juce::String PluginRef::* text = nullptr;
    bool PluginRef::* flag = nullptr;

    constexpr SlotField outsideLedger() const
    {
        auto f = *this;
        f.inLedger = false;
        return f;
    }
};

namespace row
{
constexpr SlotField text (const char* key, juce::String PluginRef::* m)
{
    SlotField f { key, SlotKind::text };
    f.text = m;
    return f;
}
constexpr SlotField flag (const char* key, bool PluginRef::* m, bool PluginCoverage::* proven)
{
    SlotField f { key, SlotKind::flag, proven };
    f.flag = m;
    return f;
}
} // namespace row

// In the manifest's order.
inline constexpr SlotField slotFields[] = {
    row::text ("name", &PluginRef::name),
    row::text ("vendor", &PluginRef::vendor),
    SlotField { "identity", SlotKind::identity, &PluginCoverage::identity }.outsideLedger(),
    row::flag ("bypassed", &PluginRef::bypassed, &PluginCoverage::activation),
    row::flag ("inactive", &PluginRef::inactive, &PluginCoverage::activation).outsideLedger(),
    row::flag ("unavailable", &PluginRef::unavailable, nullptr).outsideLedger(),
    row::flag ("muted", &PluginRef::muted, &PluginCoverage::mute),
    { "sidechainSource", SlotKind::sidechain, &PluginCoverage::sidechain },
    { "state", SlotKind::state, &PluginCoverage::state },
};

} // namespace vornconv::rackFields
