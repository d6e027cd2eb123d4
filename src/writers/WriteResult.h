#pragma once

#include "model/RackModel.h"

#include <juce_core/juce_core.h>

#include <memory>

// What every writer's check and write returns (WriteResult), what its proof compared
// (ProvenDocument), and which of the caller's paths a refusal is about (RefusedPath). Declared in
// namespace rapp with the writers.
namespace vornconv::rapp
{

// What a writer's proof compared: its document as the target's own reader read it back (the
// state bytes the comparison does not read already released: an AudioUnit's component and
// controller, any other plug-in's raw block) and the session it was proven against. The same for
// a writer's check (a plan) and its write (a convert), for what looks at the read-back after the
// proof.
struct ProvenDocument
{
    RackReadResult readBack;
    RackSession expected;
    // Once the proof held: every field the output holds differently from the session the
    // conversion carried, one note each (ConversionLedger.h).
    NoteList ledger;
};

// The file or folder the caller gave that a refusal is about, when it is not the writer's work:
// the template (the file as such, or what it holds as a template whatever the session), or the
// output's place (its folder, a file standing at its name, the temporary beside it, the commit).
enum class RefusedPath
{
    none,
    templateFile,
    output
};

// What every writer returns: ok only once the output is committed; notes are sentences for
// the user, printed as warnings by the convert runner, in the order added, and notedFields the
// fields of the ledger (ConversionLedger.h) that those notes already account for. compared is
// what the proof compared, once it got that far (also when it then refused).
struct WriteResult
{
    bool ok = false;
    juce::String error;
    juce::StringArray notes;
    juce::StringArray notedFields;
    std::shared_ptr<const ProvenDocument> compared;
    // The refusal is a fault of the temporary folder (a private copy it could not take, a
    // document in it changed), not of the writer: a plan names the folder, not the writer.
    bool temporaryFolderFault = false;
    // The refusal is about the template or the output given (RefusedPath): the caller names them.
    RefusedPath refusedPath = RefusedPath::none;
};

} // namespace vornconv::rapp
