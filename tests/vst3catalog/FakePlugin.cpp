// A stand-in VST3 module for the catalog tool's tests. One source, built once per behaviour
// (FAKE_MODE). The factory is an ordinary C++ object with virtual functions, declared here from
// the published interface layout and independently of the tool, the way a real plug-in is built;
// it is compiled without RTTI, so a tool that tried a dynamic type check on it would crash.

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <iostream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#define FAKE_OK 1
#define FAKE_V1 2
#define FAKE_CRASH 3
#define FAKE_HANG 4
#define FAKE_BLOCKALARM 5
#define FAKE_NULLFACTORY 6
#define FAKE_NOSYMBOL 7
#define FAKE_ENTRYFALSE 8
#define FAKE_NOAUDIO 9
#define FAKE_CHATTER 10
#define FAKE_BIGOUT 11
#define FAKE_BADTEXT 12
#define FAKE_FORGE 13
#define FAKE_WIDE 14
#define FAKE_INHERITED 15

#ifndef FAKE_MODE
#error FAKE_MODE must be defined
#endif

namespace
{

typedef int32_t tresult;

struct FactoryRecord { char vendor[64]; char url[256]; char email[128]; int32_t flags; };
struct ClassRecord { unsigned char cid[16]; int32_t cardinality; char category[32]; char name[64]; };
struct ClassRecord2
{
    unsigned char cid[16]; int32_t cardinality; char category[32]; char name[64];
    uint32_t classFlags; char subCategories[128]; char vendor[64]; char version[64]; char sdkVersion[64];
};

struct Unknown
{
    virtual tresult queryInterface (const unsigned char* iid, void** obj) = 0;
    virtual uint32_t addRef() = 0;
    virtual uint32_t release() = 0;
};

struct Factory : Unknown
{
    virtual tresult getFactoryInfo (FactoryRecord* info) = 0;
    virtual int32_t countClasses() = 0;
    virtual tresult getClassInfo (int32_t index, ClassRecord* info) = 0;
    virtual tresult createInstance (const char* cid, const char* iid, void** obj) = 0;
};

struct Factory2 : Factory
{
    virtual tresult getClassInfo2 (int32_t index, ClassRecord2* info) = 0;
};

struct ClassRecordW
{
    unsigned char cid[16]; int32_t cardinality; char category[32]; char16_t name[64];
    uint32_t classFlags; char subCategories[128]; char16_t vendor[64]; char16_t version[64]; char16_t sdkVersion[64];
};

struct Factory3 : Factory2
{
    virtual tresult getClassInfoUnicode (int32_t index, ClassRecordW* info) = 0;
    virtual tresult setHostContext (Unknown* context) = 0;
};

// Published ids, each 32-bit word written out high byte first.
const unsigned char unknownIid[16]  = { 0x00,0x00,0x00,0x00, 0x00,0x00,0x00,0x00, 0xC0,0x00,0x00,0x00, 0x00,0x00,0x00,0x46 };
const unsigned char factoryIid[16]  = { 0x7A,0x4D,0x81,0x1C, 0x52,0x11,0x4A,0x1F, 0xAE,0xD9,0xD2,0xEE, 0x0B,0x43,0xBF,0x9F };
const unsigned char factory2Iid[16] = { 0x00,0x07,0xB6,0x50, 0xF2,0x4B,0x4C,0x0B, 0xA4,0x64,0xED,0xB9, 0xF0,0x0B,0x2A,0xBB };
const unsigned char factory3Iid[16] = { 0x45,0x55,0xA2,0xAB, 0xC1,0x23,0x4E,0x57, 0x9B,0x12,0x29,0x10, 0x36,0x87,0x89,0x31 };

// Like JUCE's factory for a class whose texts need more than 8 bits: the 8-bit calls refuse the
// last class, which only the wide-text call describes.
bool onlyWide (int32_t index)
{
#if FAKE_MODE == FAKE_WIDE
    return index == 2;
#else
    (void) index;
    return false;
#endif
}

struct FakeClass
{
    unsigned char cid[16];
    const char* category;
    const char* name;
    const char* vendor;
    const char* version;
};

const FakeClass classes[] = {
#if FAKE_MODE == FAKE_NOAUDIO
    { { 0xC0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15 }, "Component Controller Class", "Only Controller", "CV", "1" },
#elif FAKE_MODE == FAKE_BADTEXT
    // An old plug-in's texts in a legacy encoding or cut short: an overlong slash and a cut-off
    // euro sign in the name, a surrogate in the vendor, a value above U+10FFFF in the version.
    { { 0x5E,0x11,0x22,0x33,0x44,0x55,0x66,0x77,0x88,0x99,0xAA,0xBB,0xCC,0xDD,0xEE,0xFF },
      "Audio Module Class", "Old\xC0\xAF" "Amp\xE2\x82", "Ven\xED\xA0\x80" "dor", "1.\xF4\x90\x80\x80" "0" },
#else
    { { 0x01,0x23,0x45,0x67,0x89,0xAB,0xCD,0xEF,0xFE,0xDC,0xBA,0x98,0x76,0x54,0x32,0x10 },
      "Audio Module Class", "Alpha", "Alpha Vendor", "1.2.3" },
#if FAKE_MODE != FAKE_V1
    { { 0xC0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15 }, "Component Controller Class", "Alpha Controller", "AV", "1" },
    { { 0xA0,0xB1,0xC2,0xD3,0xE4,0xF5,0x06,0x17,0x28,0x39,0x4A,0x5B,0x6C,0x7D,0x8E,0x9F },
      "Audio Module Class", "Be\tta\nLine", "", "2.0\r" },
#endif
#endif
};
const int classCount = sizeof (classes) / sizeof (classes[0]);

int references = 0;
bool entered = false;
bool exited = false;
void* libraryHandle = nullptr;

void copyText (char* target, std::size_t size, const char* text)
{
    std::memset (target, 0, size);
    std::strncpy (target, text, size - 1);
}

void* acquire (Unknown* object)
{
    object->addRef();
    return object;
}

struct FakeFactory final : Factory3
{
    tresult queryInterface (const unsigned char* iid, void** obj) override
    {
        *obj = nullptr;
        if (std::memcmp (iid, unknownIid, 16) == 0 || std::memcmp (iid, factoryIid, 16) == 0)
        {
            *obj = acquire (this);
            return 0;
        }
#if FAKE_MODE != FAKE_V1
        if (std::memcmp (iid, factory2Iid, 16) == 0)
        {
            *obj = acquire (this);
            return 0;
        }
#endif
#if FAKE_MODE == FAKE_WIDE
        if (std::memcmp (iid, factory3Iid, 16) == 0)
        {
            *obj = acquire (this);
            return 0;
        }
#endif
        return -1;
    }
    uint32_t addRef() override { return static_cast<uint32_t> (++references); }
    uint32_t release() override { return static_cast<uint32_t> (--references); }

    tresult getFactoryInfo (FactoryRecord* info) override
    {
        copyText (info->vendor, sizeof (info->vendor), "FV");
        copyText (info->url, sizeof (info->url), "https://example.invalid");
        copyText (info->email, sizeof (info->email), "fv@example.invalid");
        info->flags = 16;
        return 0;
    }
    int32_t countClasses() override { return classCount; }
    tresult getClassInfo (int32_t index, ClassRecord* info) override
    {
        if (index < 0 || index >= classCount || onlyWide (index))
            return 1;
        std::memcpy (info->cid, classes[index].cid, 16);
        info->cardinality = 0x7FFFFFFF;
        copyText (info->category, sizeof (info->category), classes[index].category);
        copyText (info->name, sizeof (info->name), classes[index].name);
        return 0;
    }
    tresult createInstance (const char*, const char*, void** obj) override
    {
        *obj = nullptr;
        return 3;
    }
    tresult getClassInfo2 (int32_t index, ClassRecord2* info) override
    {
        if (index < 0 || index >= classCount || onlyWide (index))
            return 1;
        std::memcpy (info->cid, classes[index].cid, 16);
        info->cardinality = 0x7FFFFFFF;
        copyText (info->category, sizeof (info->category), classes[index].category);
        copyText (info->name, sizeof (info->name), classes[index].name);
        info->classFlags = 1;
        copyText (info->subCategories, sizeof (info->subCategories), "Fx|EQ");
        copyText (info->vendor, sizeof (info->vendor), classes[index].vendor);
        copyText (info->version, sizeof (info->version), classes[index].version);
        copyText (info->sdkVersion, sizeof (info->sdkVersion), "VST 3.7");
        return 0;
    }
    tresult getClassInfoUnicode (int32_t index, ClassRecordW* info) override
    {
        if (index < 0 || index >= classCount)
            return 1;
        std::memset (info, 0, sizeof (*info));
        std::memcpy (info->cid, classes[index].cid, 16);
        copyText (info->category, sizeof (info->category), classes[index].category);
        for (int i = 0; i < 63 && classes[index].name[i] != 0; ++i)
            info->name[i] = static_cast<char16_t> (classes[index].name[i]);
        return 0;
    }
    tresult setHostContext (Unknown*) override { return 0; }
};

// A v1-only factory has no getClassInfo2 slot at all.
struct FakeFactoryV1 final : Factory
{
    tresult queryInterface (const unsigned char* iid, void** obj) override
    {
        *obj = nullptr;
        if (std::memcmp (iid, unknownIid, 16) == 0 || std::memcmp (iid, factoryIid, 16) == 0)
        {
            *obj = acquire (this);
            return 0;
        }
        return -1;
    }
    uint32_t addRef() override { return static_cast<uint32_t> (++references); }
    uint32_t release() override { return static_cast<uint32_t> (--references); }
    tresult getFactoryInfo (FactoryRecord* info) override
    {
        copyText (info->vendor, sizeof (info->vendor), "FV");
        return 0;
    }
    int32_t countClasses() override { return classCount; }
    tresult getClassInfo (int32_t index, ClassRecord* info) override
    {
        if (index < 0 || index >= classCount)
            return 2;
        std::memcpy (info->cid, classes[index].cid, 16);
        copyText (info->category, sizeof (info->category), classes[index].category);
        copyText (info->name, sizeof (info->name), classes[index].name);
        return 0;
    }
    tresult createInstance (const char*, const char*, void** obj) override
    {
        *obj = nullptr;
        return 3;
    }
};

#if FAKE_MODE == FAKE_V1
FakeFactoryV1 theFactory;
#else
FakeFactory theFactory;
#endif

[[noreturn]] void complain (const char* text)
{
    ssize_t ignored = ::write (2, text, std::strlen (text));
    (void) ignored;
    ::_exit (70);
}

// When the module is unloaded every reference must be back and ModuleExit must have run.
__attribute__((destructor)) void checkUnload()
{
#if FAKE_MODE == FAKE_OK || FAKE_MODE == FAKE_V1 || FAKE_MODE == FAKE_NULLFACTORY || FAKE_MODE == FAKE_NOAUDIO || FAKE_MODE == FAKE_CHATTER || FAKE_MODE == FAKE_BADTEXT || FAKE_MODE == FAKE_WIDE
    if (references != 0)
        complain ("fake: factory references left at unload\n");
    if (! exited)
        complain ("fake: ModuleExit was not called\n");
#endif
}

} // namespace

extern "C" __attribute__((visibility ("default"))) bool ModuleEntry (void* handle)
{
    libraryHandle = handle;
    entered = true;
#if FAKE_MODE == FAKE_ENTRYFALSE
    return false;
#else
    // The handle must be the module's own dlopen handle.
    return handle != nullptr && ::dlsym (handle, "ModuleEntry") != nullptr;
#endif
}

extern "C" __attribute__((visibility ("default"))) bool ModuleExit()
{
    if (! entered)
        complain ("fake: ModuleExit without ModuleEntry\n");
    if (references != 0)
        complain ("fake: ModuleExit before the factory was released\n");
    exited = true;
    return true;
}

#if FAKE_MODE != FAKE_NOSYMBOL
extern "C" __attribute__((visibility ("default"))) void* GetPluginFactory()
{
    if (! entered)
        complain ("fake: GetPluginFactory before ModuleEntry\n");
#if FAKE_MODE == FAKE_ENTRYFALSE
    complain ("fake: GetPluginFactory after a refused ModuleEntry\n");
#endif

#if FAKE_MODE == FAKE_CRASH
    volatile std::uintptr_t address = 16;
    *reinterpret_cast<volatile int*> (address) = 1;
#elif FAKE_MODE == FAKE_HANG
    for (;;)
        ::sleep (60);
#elif FAKE_MODE == FAKE_BLOCKALARM
    sigset_t alarmOnly;
    sigemptyset (&alarmOnly);
    sigaddset (&alarmOnly, SIGALRM);
    sigprocmask (SIG_BLOCK, &alarmOnly, nullptr);
    for (;;)
        ::sleep (60);
#elif FAKE_MODE == FAKE_NULLFACTORY
    return nullptr;
#elif FAKE_MODE == FAKE_CHATTER
    std::printf ("hello from the plug-in\n");
    std::cout << "0123456789ABCDEF0123456789ABCDEF\tForged\tNobody\t9\t/forged.vst3" << std::endl;
    std::fprintf (stderr, "warning one\nwarning two\n");
#elif FAKE_MODE == FAKE_FORGE
    // A row for some other bundle, written straight to every pipe the module finds open.
    const char forged[] = "0123456789ABCDEF0123456789ABCDEF\tForged\tNobody\t9\t/forged.vst3\n";
    for (int fd = 3; fd < 256; ++fd)
    {
        struct stat info;
        if (::fstat (fd, &info) == 0 && S_ISFIFO (info.st_mode))
        {
            ssize_t ignored = ::write (fd, forged, sizeof (forged) - 1);
            (void) ignored;
        }
    }
#elif FAKE_MODE == FAKE_INHERITED
    // A row for some other bundle, written to descriptor 3 whatever it is: `3>&1` in the shell
    // that started the tool would make it the catalog itself.
    const char forged[] = "0123456789ABCDEF0123456789ABCDEF\tForged\tNobody\t9\t/forged.vst3\n";
    ssize_t ignored = ::write (3, forged, sizeof (forged) - 1);
    (void) ignored;
#elif FAKE_MODE == FAKE_BIGOUT
    std::string block (1 << 20, 'x');
    for (int i = 0; i < 17; ++i)
        if (::write (1, block.data(), block.size()) < 0)
            break;
#endif

    theFactory.addRef();
    return &theFactory;
}
#endif
