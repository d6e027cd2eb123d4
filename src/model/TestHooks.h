#pragma once

// Points where a test can make the program meet, at the worst moment, what another process does,
// without racing it: a folder moved or made between two steps of a run, a file changed in place
// just after its bytes were read. Every hook does nothing unless a test asks for it: in-process
// by assigning a hook (before any worker thread starts), or, in a build made for tests only
// (configured with VORN_TEST_HOOKS), through the program's environment:
//
//   VORN_TEST_STOP=<point>:<n>             the run stops itself (SIGSTOP) the n-th time it reaches
//                                          the named point and goes on once the test continues it
//                                          (SIGCONT);
//   VORN_TEST_CHANGE_WHILE_READ=<name>     every file of that name is changed in place after its
//                                          bytes were read: one byte in its middle, size unchanged;
//   VORN_TEST_FOLDER_MADE_MEANWHILE=<name> a folder of that name is made just before the run
//                                          makes it itself.
namespace vornconv::testHooks
{

// True in a build whose environment hooks work.
constexpr bool available =
#if VORN_TEST_HOOKS
    true;
#else
    false;
#endif

// The point named point.
void stopPoint (const char* point);

// Called with a file's path after all its bytes were read and before they are proven unchanged.
extern void (*afterFileRead) (const char* path);

// Called with a folder's path just before the run makes that folder.
extern void (*beforeFolderMade) (const char* path);

// Called with the Waves transfer's finished session file between its write and the read-back
// that proves it.
extern void (*afterWavesSessionWritten) (const char* path);

// In a build made for tests, sets the hooks that the environment asks for; elsewhere nothing.
void installFromEnvironment();

// What the environment hooks do to a path of the name asked for, for tests in-process too: the
// file at path changed in place (one byte in its middle, size unchanged), the folder at path made.
void changeOneByteInPlace (const char* path);
void makeFolderNow (const char* path);

} // namespace vornconv::testHooks
