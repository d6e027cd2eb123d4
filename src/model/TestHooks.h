#pragma once

// Points where a test can make the program meet, at the worst moment, what another process does:
// a file changed in place just after its bytes were read, a folder made by another run just before
// this run makes it. Without them such tests would race. Every hook is empty unless a test sets
// it: in-process by assigning it (before any worker thread starts), or, in a build made for tests
// only (VORN_TEST_HOOKS), through the program's environment:
//
//   VORN_TEST_CHANGE_WHILE_READ=<name>  every file of that name is changed in place after its
//                                       bytes were read: one byte in its middle, size unchanged;
//   VORN_TEST_FOLDER_MADE_MEANWHILE=<name>  a folder of that name is made just before the run
//                                           makes it itself.
namespace vornconv::testHooks
{

// Called with a file's path after all its bytes were read and before they are proven unchanged.
extern void (*afterFileRead) (const char* path);

// Called with a folder's path just before the run makes that folder.
extern void (*beforeFolderMade) (const char* path);

// In a build made for tests, sets the hooks that the environment asks for; elsewhere nothing.
void installFromEnvironment();

// What the environment hooks do to a path of the name asked for, for tests in-process too: the
// file at path changed in place (one byte in its middle, size unchanged), the folder at path made.
void changeOneByteInPlace (const char* path);
void makeFolderNow (const char* path);

} // namespace vornconv::testHooks
