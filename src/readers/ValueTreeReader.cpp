#include "readers/ValueTreeReader.h"

#include "model/UntrustedFile.h"

#include <cstring>

namespace vornconv
{

namespace
{

struct Cursor
{
    const juce::uint8* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    juce::String error;

    size_t remaining() const noexcept { return size - pos; }

    bool fail (const juce::String& message)
    {
        if (error.isEmpty())
            error = message + " at byte " + juce::String ((juce::int64) pos);
        return false;
    }

    bool failWith (const juce::String& fullMessage)
    {
        if (error.isEmpty())
            error = fullMessage;
        return false;
    }

    bool readByte (juce::uint8& out)
    {
        if (remaining() < 1)
            return fail ("value tree is truncated");
        out = data[pos++];
        return true;
    }

    bool readBytes (void* out, size_t n)
    {
        if (remaining() < n)
            return fail ("value tree is truncated");
        std::memcpy (out, data + pos, n);
        pos += n;
        return true;
    }

    bool readCompressedInt (juce::int64& out)
    {
        juce::uint8 head = 0;
        if (! readByte (head))
            return false;
        if (head == 0)
        {
            out = 0;
            return true;
        }
        const int numBytes = head & 0x7f;
        if (numBytes < 1 || numBytes > 4)
            return fail ("value tree holds an invalid compressed integer");
        juce::uint8 bytes[4] = {};
        if (! readBytes (bytes, (size_t) numBytes))
            return false;
        juce::int64 magnitude = 0;
        for (int i = numBytes; --i >= 0;)
            magnitude = (magnitude << 8) | bytes[i];
        out = (head & 0x80) != 0 ? -magnitude : magnitude;
        return true;
    }

    bool readCount (juce::int64 minimumBytesEach, juce::int64& out)
    {
        if (! readCompressedInt (out))
            return false;
        if (out < 0)
            return fail ("value tree holds a negative count");
        if (out > (juce::int64) remaining() / minimumBytesEach)
            return fail ("value tree count exceeds the bytes that remain");
        return true;
    }

    bool readName (juce::String& out)
    {
        const auto* start = data + pos;
        const auto* end = static_cast<const juce::uint8*> (std::memchr (start, 0, remaining()));
        if (end == nullptr)
            return fail ("value tree is truncated");
        const auto length = (size_t) (end - start);
        if (length == 0)
            return fail ("value tree holds an empty name");
        if (! juce::CharPointer_UTF8::isValidString (reinterpret_cast<const char*> (start), (int) length))
            return fail ("value tree holds a name that is not UTF-8");
        out = juce::String::fromUTF8 (reinterpret_cast<const char*> (start), (int) length);
        pos += length + 1;
        return true;
    }
};

bool readValue (Cursor& in, int depth, juce::var& out);

bool readPayload (Cursor& in, int depth, juce::uint8 marker, size_t payloadSize, juce::var& out)
{
    const auto* payload = in.data + in.pos;
    switch (marker)
    {
        case 1: // int32
        {
            if (payloadSize != 4)
                return in.fail ("value tree int has the wrong size");
            out = (int) juce::ByteOrder::littleEndianInt (payload);
            break;
        }
        case 2:
        case 3:
            if (payloadSize != 0)
                return in.fail ("value tree bool has the wrong size");
            out = (marker == 2);
            break;
        case 4:
        {
            if (payloadSize != 8)
                return in.fail ("value tree double has the wrong size");
            const auto bits = juce::ByteOrder::littleEndianInt64 (payload);
            double d;
            std::memcpy (&d, &bits, sizeof (d));
            out = d;
            break;
        }
        case 5:
        {
            if (payloadSize < 1 || payload[payloadSize - 1] != 0
                || std::memchr (payload, 0, payloadSize - 1) != nullptr)
                return in.fail ("value tree string is not NUL-terminated");
            const auto length = payloadSize - 1;
            if (length > (size_t) std::numeric_limits<int>::max()
                || ! juce::CharPointer_UTF8::isValidString (reinterpret_cast<const char*> (payload), (int) length))
                return in.fail ("value tree string is not UTF-8");
            out = juce::String::fromUTF8 (reinterpret_cast<const char*> (payload), (int) length);
            break;
        }
        case 6:
        {
            if (payloadSize != 8)
                return in.fail ("value tree int64 has the wrong size");
            out = (juce::int64) juce::ByteOrder::littleEndianInt64 (payload);
            break;
        }
        case 7:
        {
            // The elements must fill the payload exactly.
            Cursor inner { payload, payloadSize, 0, {} };
            juce::int64 count = 0;
            if (! inner.readCount (1, count))
                return in.failWith (inner.error);
            juce::Array<juce::var> items;
            items.ensureStorageAllocated ((int) count);
            for (juce::int64 i = 0; i < count; ++i)
            {
                juce::var item;
                if (! readValue (inner, depth + 1, item))
                    return in.failWith (inner.error);
                items.add (std::move (item));
            }
            if (inner.remaining() != 0)
                return in.fail ("value tree array size does not match its elements");
            out = std::move (items);
            break;
        }
        case 8:
            out = juce::var (payload, payloadSize);
            break;
        case 9:
            if (payloadSize != 0)
                return in.fail ("value tree undefined value has the wrong size");
            out = juce::var::undefined();
            break;
        default:
            return in.fail ("value tree holds an unknown value marker " + juce::String ((int) marker));
    }
    in.pos += payloadSize;
    return true;
}

bool readValue (Cursor& in, int depth, juce::var& out)
{
    if (depth > maxValueTreeDepth)
        return in.fail ("value tree is nested too deeply");
    juce::int64 numBytes = 0;
    if (! in.readCompressedInt (numBytes))
        return false;
    if (numBytes < 0)
        return in.fail ("value tree holds a negative value size");
    if (numBytes == 0)
    {
        out = juce::var();
        return true;
    }
    if ((juce::uint64) numBytes > in.remaining())
        return in.fail ("value tree is truncated");
    juce::uint8 marker = 0;
    in.readByte (marker);
    return readPayload (in, depth, marker, (size_t) numBytes - 1, out);
}

// The node is built as it is read; a caller never sees it unless the whole input was accepted.
bool readNode (Cursor& in, int depth, juce::ValueTree& node)
{
    if (depth > maxValueTreeDepth)
        return in.fail ("value tree is nested too deeply");
    juce::String type;
    if (! in.readName (type))
        return false;
    node = juce::ValueTree { juce::Identifier (type) };

    // A property needs at least a one-character name, its NUL and a size byte.
    juce::int64 numProps = 0;
    if (! in.readCount (3, numProps))
        return false;
    for (juce::int64 i = 0; i < numProps; ++i)
    {
        juce::String name;
        if (! in.readName (name))
            return false;
        const juce::Identifier id (name);
        if (node.hasProperty (id))
            return in.fail ("value tree node repeats the property " + name);
        juce::var value;
        if (! readValue (in, depth + 1, value))
            return false;
        node.setProperty (id, value, nullptr);
    }

    // A child needs at least a one-character type, its NUL and two count bytes.
    juce::int64 numChildren = 0;
    if (! in.readCount (4, numChildren))
        return false;
    for (juce::int64 i = 0; i < numChildren; ++i)
    {
        juce::ValueTree child;
        if (! readNode (in, depth + 1, child))
            return false;
        node.appendChild (child, nullptr);
    }
    return true;
}

} // namespace

bool readValueTreeBytes (const void* data, size_t size, juce::ValueTree& out, juce::String& error)
{
    out = juce::ValueTree();
    error.clear();
    Cursor in { static_cast<const juce::uint8*> (data), size, 0, {} };
    if (size == 0 || data == nullptr)
    {
        error = "value tree is empty";
        return false;
    }
    juce::ValueTree root;
    if (! readNode (in, 0, root))
    {
        error = in.error;
        return false;
    }
    if (in.remaining() != 0)
    {
        error = "value tree is followed by " + juce::String ((juce::int64) in.remaining()) + " trailing bytes";
        return false;
    }
    out = root;
    return true;
}

bool readValueTreeFile (const juce::File& file, juce::ValueTree& out, juce::String& error)
{
    out = juce::ValueTree();
    if (! file.existsAsFile())
    {
        error = "value tree file does not exist";
        return false;
    }
    juce::MemoryBlock bytes;
    if (! readUntrustedBytes (file, maxValueTreeFileBytes, bytes, error))
        return false;
    return readValueTreeBytes (bytes.getData(), bytes.getSize(), out, error);
}

} // namespace vornconv
