#pragma once

// The binary shape of the VST3 plug-in factory as a loaded module hands it out.
//
// A factory is a C++ object with a single vtable pointer (Itanium C++ ABI, no virtual destructor,
// single inheritance), so it is described here as plain structs of function pointers: calling a
// member function on this platform is calling a function whose first argument is the object.
// Declaring the interfaces as C++ classes of our own would make every call a member call on an
// object of an unrelated dynamic type, and the tool never needs the plug-in's RTTI.

#include <cstdint>

namespace vornconv::vst3catalog::abi
{

using int32 = std::int32_t;
using uint32 = std::uint32_t;
using tresult = std::int32_t;

constexpr tresult kResultOk = 0;

// Interface ids: 16 bytes, each of the four published 32-bit words stored big-endian
// (the non-COM byte order used on Linux).
using InterfaceId = unsigned char[16];

constexpr unsigned char iidPluginFactory2[16] = {
    0x00, 0x07, 0xB6, 0x50, 0xF2, 0x4B, 0x4C, 0x0B, 0xA4, 0x64, 0xED, 0xB9, 0xF0, 0x0B, 0x2A, 0xBB };

constexpr unsigned char iidPluginFactory3[16] = {
    0x45, 0x55, 0xA2, 0xAB, 0xC1, 0x23, 0x4E, 0x57, 0x9B, 0x12, 0x29, 0x10, 0x36, 0x87, 0x89, 0x31 };

struct PFactoryInfo
{
    char vendor[64];
    char url[256];
    char email[128];
    int32 flags;
};

struct PClassInfo
{
    unsigned char cid[16];
    int32 cardinality;
    char category[32];
    char name[64];
};

struct PClassInfo2
{
    unsigned char cid[16];
    int32 cardinality;
    char category[32];
    char name[64];
    uint32 classFlags;
    char subCategories[128];
    char vendor[64];
    char version[64];
    char sdkVersion[64];
};

// The wide-text class information: names, vendor and versions in UTF-16.
struct PClassInfoW
{
    unsigned char cid[16];
    int32 cardinality;
    char category[32];
    char16_t name[64];
    uint32 classFlags;
    char subCategories[128];
    char16_t vendor[64];
    char16_t version[64];
    char16_t sdkVersion[64];
};

static_assert (sizeof (PFactoryInfo) == 452, "PFactoryInfo layout");
static_assert (sizeof (PClassInfoW) == 696, "PClassInfoW layout");
static_assert (sizeof (PClassInfo) == 116, "PClassInfo layout");
static_assert (sizeof (PClassInfo2) == 440, "PClassInfo2 layout");

struct UnknownTable
{
    tresult (*queryInterface) (void* self, const unsigned char* iid, void** object);
    uint32 (*addRef) (void* self);
    uint32 (*release) (void* self);
};

struct PluginFactoryTable
{
    UnknownTable unknown;
    tresult (*getFactoryInfo) (void* self, PFactoryInfo* info);
    int32 (*countClasses) (void* self);
    tresult (*getClassInfo) (void* self, int32 index, PClassInfo* info);
    tresult (*createInstance) (void* self, const char* cid, const char* iid, void** object);
};

struct PluginFactory2Table
{
    PluginFactoryTable factory;
    tresult (*getClassInfo2) (void* self, int32 index, PClassInfo2* info);
};

struct PluginFactory3Table
{
    PluginFactory2Table factory2;
    tresult (*getClassInfoUnicode) (void* self, int32 index, PClassInfoW* info);
    tresult (*setHostContext) (void* self, void* context);
};

// Any interface pointer: the object starts with its table pointer.
struct InterfaceObject
{
    const void* table;
};

using GetPluginFactoryFunction = void* (*)();
using ModuleEntryFunction = bool (*) (void* libraryHandle);
using ModuleExitFunction = bool (*)();

} // namespace vornconv::vst3catalog::abi
