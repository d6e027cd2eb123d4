#pragma once

#include "model/RackModel.h"
#include "rapp/RappConversionPlan.h"
#include "writers/OutputHost.h"
#include "writers/WriteOptions.h"
#include "writers/WriteResult.h"

#include <juce_core/juce_core.h>

#include <sqlite3.h>

#include <array>
#include <map>

// The SuperRack Performer session writer: what it says of SuperRack (superRackSprkOutput), the
// write of a session as a new .sprk session into a copy of a host-saved template, its check (the
// same steps without an output) that a plan runs, and the encodings of the plug-in rows it writes.
// Like every writer it is declared in namespace rapp, the namespace of the conversion it completes
// (the README's "RAPP"): it takes that conversion's plan as its verdict.
//
// Every VST3 row that SuperRack saves in its plug table carries two host-made values beside
// the class id: plugin_4cc and additional_info. The writer takes them only from verified
// places, in this order: a plug-in of the same class in the host-saved template, the built-in
// table of known plug-ins, or another plug-in of the same vendor in the template.
namespace vornconv::rapp
{

struct Vst3ModuleIndex;

// SuperRack Performer as its writer names it: "SuperRack" "sessions", read back with the
// SuperRack reader (a database: from a file only).
extern const OutputHost superRackSprkOutput;

// The plugin_4cc and additional_info values of one VST3 class.
struct TemplatePluginEncoding
{
    juce::String plugin4cc;
    juce::String additionalInfo;
};

struct TemplatePluginMetadata
{
    // Upper-case 32-hex class id -> the template's values for that class.
    std::map<juce::String, TemplatePluginEncoding> byCid;
    // Vendor name (exact, case-sensitive) -> the 4cc all of that vendor's rows agree on; an
    // empty text marks a vendor whose rows disagree and that gives no usable 4cc.
    std::map<juce::String, juce::String> byVendor;
};

namespace SuperRackNativeProfile
{
struct Plugin
{
    const char* cid;       // 32 upper-case hexadecimal digits
    const char* vendor;
    const char* plugin4cc;
};

// Plug-ins whose SuperRack values are known without a template row.
extern const std::array<Plugin, 17> plugins;
} // namespace SuperRackNativeProfile

// Reads the plug-ins of the template's working copy (every snapshot, every chainer). A row whose
// preset text does not parse, or names no class, is skipped. Fails on a class whose rows
// disagree, on a value that is neither text nor NULL or is too long, and on SQLite errors. out
// is cleared first and left empty on failure.
bool collectTemplatePluginEncodings (sqlite3* db, TemplatePluginMetadata& out, juce::String& error);

// Base64 of class-id bytes 0..2, "\n", Base64 of bytes 3..15; empty for a text that is not
// exactly 32 hexadecimal digits.
juce::String makeAdditionalInfo (juce::StringRef classId);

// The built-in row for this class id (compared in upper case), or null.
const SuperRackNativeProfile::Plugin* nativePluginForCid (juce::StringRef classId);

struct PluginEncodingResolution
{
    bool ok = false;
    juce::String error;
    // Every class the writer may meet: the template's classes plus those added for the slots.
    std::map<juce::String, TemplatePluginEncoding> byCid;
    // Classes served by another plug-in of the same vendor (each class counted once).
    int vendorFallbacks = 0;
};

// The values for every occupied "VST3" slot of the session (strips in order, slots ascending);
// the first slot that no verified source serves ends the resolution with an error.
PluginEncodingResolution resolvePluginEncodings (const RackSession& session, const Vst3ModuleIndex& index,
                                                 const TemplatePluginMetadata& templateMetadata);

// The writer takes plan, the preflight of source for SuperRack Performer (rapp::inspect), as its
// verdict: a plan that blocks is "RAPP preflight blocked SuperRack output". Of the options it
// takes the template (options.templateFile, a session the host saved itself, without which it
// refuses) and the output.

// Everything writeSuperRackSprk does before it needs the output path, run the same way: the
// template's checks and plug-in encodings, and the session written into a private copy of the
// template, read back and verified. ok with the notes the write would give (all but the last), or
// the refusal with the exact text the write would give. Leaves nothing behind.
WriteResult checkSuperRackSprkWrite (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                     const WriteOptions& options);

// Writes source as a SuperRack Performer session built from a copy of the host-saved template: a
// checked copy of the template, one transaction that replaces its session content, a read-back
// that must match the source, and an exclusive commit. The template and the source are only read;
// on failure nothing is left at the output or beside it.
WriteResult writeSuperRackSprk (const RackReadResult& source, const Vst3ModuleIndex& index, const ConversionPlan& plan,
                                const WriteOptions& options);

} // namespace vornconv::rapp
