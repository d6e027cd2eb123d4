#include "RackBuilders.h"
#include "TestSupport.h"

#include "app/StateExport.h"

#include <gtest/gtest.h>

using namespace vornconv;
using vorntest::bytesOf;
using vorntest::stripWith;

namespace
{

PluginRef slotWith (const juce::String& name, const char* component, const char* controller)
{
    auto p = vorntest::plugin ("VST3", name);
    p.state = vorntest::vst3State (PluginStateEncoding::none, component, controller);
    return p;
}

juce::StringArray listing (const juce::File& folder)
{
    juce::StringArray names;
    for (const auto& f : folder.findChildFiles (juce::File::findFilesAndDirectories, true, "*", juce::File::FollowSymlinks::no))
        names.add (f.getRelativePathFrom (folder));
    names.sort (false);
    return names;
}

TEST (StateExport, WritesEveryStateByteExact)
{
    vorntest::TempFolder tmp;
    RackSession session;
    session.strips.add (stripWith (3, { PluginRef(), slotWith ("Comp/EQ?", "abc", "") }));
    session.strips.add (stripWith (7, { slotWith ("~evil", "c1", "k1"), slotWith ("..", "c2", "") }));
    const auto target = tmp.file ("deep/er/out");
    juce::String error;
    ASSERT_TRUE (app::exportStates (session, target, error)) << error;
    EXPECT_EQ (listing (tmp.folder), juce::StringArray ({ "deep", "deep/er", "deep/er/out", "deep/er/out/..__7-1.comp",
                                                          "deep/er/out/CompEQ__3-1.comp", "deep/er/out/~evil__7-0.comp",
                                                          "deep/er/out/~evil__7-0.cont" }));
    EXPECT_EQ (target.getChildFile ("CompEQ__3-1.comp").loadFileAsString(), "abc");
    EXPECT_EQ (target.getChildFile ("./~evil__7-0.cont").loadFileAsString(), "k1");
}

TEST (StateExport, RefusesBeforeWritingAnything)
{
    vorntest::TempFolder tmp;
    auto auOnlyRaw = slotWith ("AU", "", "");
    auOnlyRaw.state.raw = bytesOf ("plist");
    struct Case { RackSession session; bool existingFile; juce::String error; };
    RackSession partial, existing, duplicate;
    partial.strips.add (stripWith (0, { slotWith ("A", "a", "") }));
    partial.strips.add (stripWith (2, { PluginRef(), PluginRef(), auOnlyRaw }));
    existing.strips.add (stripWith (0, { slotWith ("A", "a", "") }));
    duplicate.strips.add (stripWith (5, { slotWith ("Same", "a", "") }));
    duplicate.strips.add (stripWith (5, { slotWith ("Same", "b", "") }));
    const auto out = tmp.file ("out");
    const Case cases[] = {
        { partial, false, "refusing partial state export at strip 2, slot 2" },
        { existing, true, "refusing to replace existing state export: " + out.getChildFile ("A__0-0.comp").getFullPathName() },
        { duplicate, false, "duplicate state export target: " + out.getChildFile ("Same__5-0.comp").getFullPathName() },
    };
    for (const auto& c : cases)
    {
        if (c.existingFile)
        {
            ASSERT_TRUE (out.createDirectory());
            ASSERT_TRUE (out.getChildFile ("A__0-0.comp").replaceWithText ("old"));
        }
        juce::String error;
        EXPECT_FALSE (app::exportStates (c.session, out, error));
        EXPECT_EQ (error, c.error);
        if (c.existingFile)
        {
            EXPECT_EQ (listing (out), juce::StringArray ({ "A__0-0.comp" }));
            EXPECT_EQ (out.getChildFile ("A__0-0.comp").loadFileAsString(), "old");
            out.deleteRecursively();
        }
        EXPECT_FALSE (out.exists()) << c.error;
    }
}

TEST (StateExport, EmptySessionMakesTheFolderOnly)
{
    vorntest::TempFolder tmp;
    RackSession session;
    session.strips.add (stripWith (0, { PluginRef() }));
    juce::String error;
    ASSERT_TRUE (app::exportStates (session, tmp.file ("a/b"), error)) << error;
    EXPECT_EQ (listing (tmp.folder), juce::StringArray ({ "a", "a/b" }));

    ASSERT_TRUE (tmp.file ("file").replaceWithText ("x"));
    EXPECT_FALSE (app::exportStates (session, tmp.file ("file"), error));
    EXPECT_EQ (error, "could not create state export directory");
}

TEST (StateExport, AFailedWriteLeavesNothingBehind)
{
    vorntest::TempFolder tmp;
    // The second name is too long for the file system once its temporary suffix is added.
    RackSession session;
    session.strips.add (stripWith (0, { slotWith ("Fine", "a", "b"),
                                        slotWith (juce::String::repeatedString (juce::String::fromUTF8 ("가"), 120), "c", "") }));
    juce::String error;
    EXPECT_FALSE (app::exportStates (session, tmp.file ("new/out"), error));
    EXPECT_EQ (error, "could not write temporary state export");
    EXPECT_EQ (listing (tmp.folder), juce::StringArray());

    // Into a folder that exists already: the folder stays, and stays empty.
    ASSERT_TRUE (tmp.file ("kept").createDirectory());
    EXPECT_FALSE (app::exportStates (session, tmp.file ("kept"), error));
    EXPECT_EQ (listing (tmp.folder), juce::StringArray ({ "kept" }));
}

} // namespace
