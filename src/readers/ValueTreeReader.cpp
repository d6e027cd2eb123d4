// The bounded reader of JUCE's binary value-tree stream form, and its writer. The reader walks the
// bytes once with a cursor that checks every count and length against the bytes that remain and
// against the limits of ValueTreeReader.h before anything is allocated, limits the nesting of
// nodes and arrays together, and refuses truncated input and trailing bytes; it builds plain
// TreeNode values in time linear in the input. A file is read through a window that holds only
// the bytes being looked at, and a binary value (a plug-in state) is read straight into its own
// block, so the file's bytes are not held beside the tree made of them. The writer makes the same
// calls, in the same order, as JUCE's own.
//
// In this file, in order:
//   - Cursor and values: the bytes held in memory or a window on the file, compressed integers,
//     counts, names, and the nine value kinds (arrays read with a cursor of their own that they
//     must fill exactly).
//   - Nodes: property names proven unique in linear time for numbered lists, a node with its
//     properties and children, and a name written with its NUL.
//   - Tree access: finding, reading, setting and removing properties, and finding children.
//   - Properties read as their kind: text, integers and finite numbers, never converted from
//     another kind, the refusal that names a property of another kind, and the text of any value.
//   - Reading: bytes and files (every byte of a file read before its contents are judged), the
//     fault told apart.
//   - Writing: writeValueTree.

#include "readers/ValueTreeReader.h"

#include "model/UntrustedFile.h"
#include "model/StrictDecimal.h"
#include "model/Utf8Text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace vornconv
{

namespace
{

//==============================================================================
// Cursor and values

// A file read a window at a time: its descriptor, the window's storage and, once the file could
// not be read or changed while it was read, the loader's refusal.
struct FileSource
{
    const juce::File& file;
    int fd = -1;
    UntrustedFileStamp stamp; // what the file must still be once it is read to its end
    juce::HeapBlock<juce::uint8> buffer;
    size_t capacity = 0;
    juce::String error;

    explicit FileSource (const juce::File& f) : file (f) {}
    FileSource (const FileSource&) = delete;
    FileSource& operator= (const FileSource&) = delete;
    ~FileSource()
    {
        if (fd >= 0)
            ::close (fd);
    }
};

// Bytes read from the file at a time, unless one item needs more.
constexpr size_t fileWindowBytes = (size_t) 1 << 18;

struct Cursor
{
    const juce::uint8* data = nullptr; // the bytes held, from position start to position end
    size_t start = 0;
    size_t end = 0;
    size_t size = 0;                   // every byte: all held, or the rest still in the file
    size_t pos = 0;
    juce::String error;
    bool limitExceeded = false;
    FileSource* file = nullptr;        // null when every byte is held

    static Cursor over (const juce::uint8* bytes, size_t n)
    {
        Cursor c;
        c.data = bytes;
        c.end = c.size = n;
        return c;
    }

    size_t remaining() const noexcept { return size - pos; }
    const juce::uint8* here() const noexcept { return data + (pos - start); }

    // Holds the n bytes at pos (n at most remaining()) from here() on.
    bool hold (size_t n) { return pos + n <= end || refill (n); }

    // Moves the window to pos and reads until it holds at least n bytes, as many more as fit.
    bool refill (size_t n)
    {
        if (file == nullptr)
            return fail ("value tree is truncated"); // not reached: every byte is held
        const size_t kept = end - pos;
        const size_t wanted = std::min (std::max (n, fileWindowBytes), remaining());
        if (wanted > file->capacity)
        {
            const size_t capacity = std::max (wanted, std::min (file->capacity * 2, remaining()));
            juce::HeapBlock<juce::uint8> larger (capacity);
            if (kept > 0)
                std::memcpy (larger.get(), here(), kept);
            file->buffer.swapWith (larger);
            file->capacity = capacity;
        }
        else if (kept > 0 && here() != file->buffer.get())
        {
            std::memmove (file->buffer.get(), here(), kept);
        }
        const size_t more = std::min (file->capacity - kept, size - end);
        data = file->buffer.get();
        start = pos;
        end = pos + kept;
        if (! readUntrustedPiece (file->fd, file->file, file->buffer.get() + kept, more, file->error))
            return failFile();
        end += more;
        return true;
    }

    // The bytes of the file from end to end + n, straight into dest; the window is left empty at
    // the position after them.
    bool readPast (juce::uint8* dest, size_t n)
    {
        if (file == nullptr)
            return fail ("value tree is truncated"); // not reached: every byte is held
        if (! readUntrustedPiece (file->fd, file->file, dest, n, file->error))
            return failFile();
        start = end = end + n;
        return true;
    }

    // The file could not be read: its refusal is what the read reports.
    bool failFile()
    {
        if (error.isEmpty())
            error = file->error;
        return false;
    }

    bool fail (const juce::String& message)
    {
        if (error.isEmpty())
            error = message + " at byte " + juce::String ((juce::int64) pos);
        return false;
    }

    bool failLimit (const juce::String& message)
    {
        if (error.isEmpty())
            limitExceeded = true;
        return fail (message);
    }

    bool failWith (const Cursor& inner)
    {
        if (error.isEmpty())
        {
            error = inner.error;
            limitExceeded = inner.limitExceeded;
        }
        return false;
    }

    bool readByte (juce::uint8& out)
    {
        if (remaining() < 1)
            return fail ("value tree is truncated");
        if (! hold (1))
            return false;
        out = *here();
        ++pos;
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
        if (remaining() < (size_t) numBytes)
            return fail ("value tree is truncated");
        if (! hold ((size_t) numBytes))
            return false;
        const auto* bytes = here();
        juce::int64 magnitude = 0;
        for (int i = numBytes; --i >= 0;)
            magnitude = (magnitude << 8) | bytes[i];
        pos += (size_t) numBytes;
        out = (head & 0x80) != 0 ? -magnitude : magnitude;
        return true;
    }

    // A count of items that take at least minimumBytesEach bytes each, and of which at most
    // limit are allowed.
    bool readCount (juce::int64 minimumBytesEach, juce::int64 limit, const char* what, juce::int64& out)
    {
        if (! readCompressedInt (out))
            return false;
        if (out < 0)
            return fail ("value tree holds a negative count");
        if (out > (juce::int64) remaining() / minimumBytesEach)
            return fail ("value tree count exceeds the bytes that remain");
        if (out > limit)
            return failLimit (juce::String ("value tree ") + what + " holds more than " + juce::String (limit)
                              + (limit == 1 ? " item" : " items"));
        return true;
    }

    // A NUL-terminated, non-empty, UTF-8 name; the view points into the bytes held, and holds
    // only until the cursor reads on.
    bool readName (std::string_view& out)
    {
        size_t searched = 0;
        const juce::uint8* nul = nullptr;
        for (;;)
        {
            const size_t held = end - pos;
            if (held > searched)
                nul = static_cast<const juce::uint8*> (std::memchr (here() + searched, 0, held - searched));
            if (nul != nullptr)
                break;
            if (end == size)
                return fail ("value tree is truncated");
            searched = held;
            if (! refill (held + 1))
                return false;
        }
        const auto* start = here();
        const auto length = (size_t) (nul - start);
        if (length == 0)
            return fail ("value tree holds an empty name");
        if (! utf8::isValid (start, length))
            return fail ("value tree holds a name that is not UTF-8");
        out = std::string_view (reinterpret_cast<const char*> (start), length);
        pos += length + 1;
        return true;
    }
};

bool readValue (Cursor& in, int depth, juce::var& out);

bool readPayload (Cursor& in, int depth, juce::uint8 marker, size_t payloadSize, juce::var& out)
{
    // The payload is held only once its size is known to be right for its kind.
    const juce::uint8* payload = nullptr;
    const auto holdPayload = [&in, &payload, payloadSize]
    {
        if (! in.hold (payloadSize))
            return false;
        payload = in.here();
        return true;
    };
    switch (marker)
    {
        case 1: // int32
            if (payloadSize != 4)
                return in.fail ("value tree int has the wrong size");
            if (! holdPayload())
                return false;
            out = (int) juce::ByteOrder::littleEndianInt (payload);
            break;
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
            if (! holdPayload())
                return false;
            const auto bits = juce::ByteOrder::littleEndianInt64 (payload);
            double d;
            std::memcpy (&d, &bits, sizeof (d));
            out = d;
            break;
        }
        case 5:
        {
            if (! holdPayload())
                return false;
            if (payloadSize < 1 || payload[payloadSize - 1] != 0
                || std::memchr (payload, 0, payloadSize - 1) != nullptr)
                return in.fail ("value tree string is not NUL-terminated");
            const auto length = payloadSize - 1;
            if (length > (size_t) std::numeric_limits<int>::max() || ! utf8::isValid (payload, length))
                return in.fail ("value tree string is not UTF-8");
            out = juce::String::fromUTF8 (reinterpret_cast<const char*> (payload), (int) length);
            break;
        }
        case 6:
            if (payloadSize != 8)
                return in.fail ("value tree int64 has the wrong size");
            if (! holdPayload())
                return false;
            out = (juce::int64) juce::ByteOrder::littleEndianInt64 (payload);
            break;
        case 7:
        {
            // The elements must fill the payload exactly.
            if (! holdPayload())
                return false;
            auto inner = Cursor::over (payload, payloadSize);
            juce::int64 count = 0;
            if (! inner.readCount (1, maxValueTreeProperties, "array", count))
                return in.failWith (inner);
            juce::Array<juce::var> items;
            items.ensureStorageAllocated ((int) count);
            for (juce::int64 i = 0; i < count; ++i)
            {
                juce::var item;
                if (! readValue (inner, depth + 1, item))
                    return in.failWith (inner);
                items.add (std::move (item));
            }
            if (inner.remaining() != 0)
                return in.fail ("value tree array size does not match its elements");
            out = std::move (items);
            break;
        }
        case 8:
            if ((juce::int64) payloadSize > maxValueTreeBinaryBytes)
                return in.failLimit ("value tree binary value is larger than " + juce::String (maxValueTreeBinaryBytes) + " bytes");
            if (in.pos + payloadSize <= in.end)
            {
                out = juce::var (in.here(), payloadSize);
            }
            else
            {
                // Past the window of a file: what the window holds, then the rest of the value
                // straight from the file into its own block.
                juce::MemoryBlock block (payloadSize, false);
                const size_t held = in.end - in.pos;
                if (held > 0)
                    std::memcpy (block.getData(), in.here(), held);
                if (! in.readPast (static_cast<juce::uint8*> (block.getData()) + held, payloadSize - held))
                    return false;
                out = juce::var (std::move (block));
            }
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

//==============================================================================
// Nodes

// A canonical decimal number (no sign, no leading zero but for 0 itself) below limit, as the
// whole of text; -1 otherwise.
juce::int64 canonicalIndex (std::string_view text, juce::int64 limit) noexcept
{
    juce::int64 value = 0;
    return limit > 0 && parseStrictDecimal (text, DecimalForm::canonical, 0, limit - 1, value) ? value : -1;
}

// Whether no two properties share a name. Long lists are mostly numbered (P0, P1, ... for a
// plug-in's parameters): when every name is one prefix and a distinct index below the count, one
// pass over a bitmap proves them unique; any other long list is sorted.
bool namesAreUnique (const std::vector<TreeProperty>& properties)
{
    const size_t n = properties.size();
    if (n <= 16)
    {
        for (size_t i = 1; i < n; ++i)
            for (size_t j = 0; j < i; ++j)
                if (properties[i].name == properties[j].name)
                    return false;
        return true;
    }

    const auto prefixLength = [] (std::string_view name) {
        size_t end = name.size();
        while (end > 0 && name[end - 1] >= '0' && name[end - 1] <= '9')
            --end;
        return end;
    };
    const std::string_view first (properties.front().name);
    const std::string_view prefix = first.substr (0, prefixLength (first));
    std::vector<bool> seen (n, false);
    bool numbered = true;
    for (const auto& property : properties)
    {
        const std::string_view name (property.name);
        if (name.size() <= prefix.size() || name.compare (0, prefix.size(), prefix) != 0)
        {
            numbered = false;
            break;
        }
        const auto index = canonicalIndex (name.substr (prefix.size()), (juce::int64) n);
        if (index < 0)
        {
            numbered = false;
            break;
        }
        if (seen[(size_t) index])
            return false;
        seen[(size_t) index] = true;
    }
    if (numbered)
        return true;

    std::vector<std::string_view> names;
    names.reserve (n);
    for (const auto& property : properties)
        names.emplace_back (property.name);
    std::sort (names.begin(), names.end());
    return std::adjacent_find (names.begin(), names.end()) == names.end();
}

bool readNode (Cursor& in, int depth, TreeNode& node)
{
    if (depth > maxValueTreeDepth)
        return in.fail ("value tree is nested too deeply");
    std::string_view type;
    if (! in.readName (type))
        return false;
    node.type.assign (type);

    // A property needs at least a one-character name, its NUL and a size byte.
    juce::int64 numProps = 0;
    if (! in.readCount (3, maxValueTreeProperties, "node", numProps))
        return false;
    node.properties.reserve ((size_t) numProps);
    for (juce::int64 i = 0; i < numProps; ++i)
    {
        std::string_view name;
        if (! in.readName (name))
            return false;
        TreeProperty property { std::string (name), {} };
        if (! readValue (in, depth + 1, property.value))
            return false;
        node.properties.push_back (std::move (property));
    }
    if (! namesAreUnique (node.properties))
        return in.fail ("value tree node repeats a property name");

    // A child needs at least a one-character type, its NUL and two count bytes.
    juce::int64 numChildren = 0;
    if (! in.readCount (4, std::numeric_limits<juce::int64>::max(), "node", numChildren))
        return false;
    node.children.resize ((size_t) numChildren);
    for (auto& child : node.children)
        if (! readNode (in, depth + 1, child))
            return false;
    return true;
}

bool writeName (juce::OutputStream& out, const std::string& name)
{
    return out.write (name.data(), name.size()) && out.writeByte (0);
}

} // namespace

//==============================================================================
// Tree access

const juce::var* findProperty (const TreeNode& node, std::string_view name) noexcept
{
    for (const auto& property : node.properties)
        if (property.name == name)
            return &property.value;
    return nullptr;
}

juce::var* findProperty (TreeNode& node, std::string_view name) noexcept
{
    for (auto& property : node.properties)
        if (property.name == name)
            return &property.value;
    return nullptr;
}

juce::var propertyValue (const TreeNode& node, std::string_view name)
{
    const auto* value = findProperty (node, name);
    return value != nullptr ? *value : juce::var();
}

void setProperty (TreeNode& node, std::string_view name, juce::var value)
{
    if (auto* existing = findProperty (node, name))
        *existing = std::move (value);
    else
        node.properties.push_back ({ std::string (name), std::move (value) });
}

void removeProperty (TreeNode& node, std::string_view name)
{
    node.properties.erase (std::remove_if (node.properties.begin(), node.properties.end(),
                                           [name] (const TreeProperty& p) { return p.name == name; }),
                           node.properties.end());
}

const TreeNode* findChild (const TreeNode& node, std::string_view type) noexcept
{
    for (const auto& child : node.children)
        if (child.type == type)
            return &child;
    return nullptr;
}

TreeNode* findChild (TreeNode& node, std::string_view type) noexcept
{
    for (auto& child : node.children)
        if (child.type == type)
            return &child;
    return nullptr;
}

//==============================================================================
// Properties read as their kind

bool integerValue (const juce::var& value, juce::int64& out) noexcept
{
    out = 0;
    if (value.isInt() || value.isInt64())
    {
        out = (juce::int64) value;
        return true;
    }
    if (! value.isDouble())
        return false;
    // 2^63 is the first double past the int64 range; -2^63 is the last one in it.
    const double d = value;
    if (! std::isfinite (d) || d != std::trunc (d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return false;
    out = (juce::int64) d;
    return true;
}

bool numberValue (const juce::var& value, double& out) noexcept
{
    out = 0.0;
    if (value.isInt() || value.isInt64())
    {
        out = (double) value;
        return true;
    }
    if (! value.isDouble() || ! std::isfinite ((double) value))
        return false;
    out = value;
    return true;
}

PropertyRead readTextProperty (const TreeNode& node, std::string_view name, juce::String& out)
{
    out.clear();
    const auto* value = findProperty (node, name);
    if (value == nullptr)
        return PropertyRead::absent;
    if (! value->isString())
        return PropertyRead::wrongKind;
    out = value->toString();
    return PropertyRead::read;
}

PropertyRead readIntegerProperty (const TreeNode& node, std::string_view name, juce::int64& out)
{
    out = 0;
    const auto* value = findProperty (node, name);
    if (value == nullptr)
        return PropertyRead::absent;
    return integerValue (*value, out) ? PropertyRead::read : PropertyRead::wrongKind;
}

PropertyRead readNumberProperty (const TreeNode& node, std::string_view name, double& out)
{
    out = 0.0;
    const auto* value = findProperty (node, name);
    if (value == nullptr)
        return PropertyRead::absent;
    return numberValue (*value, out) ? PropertyRead::read : PropertyRead::wrongKind;
}

juce::String propertyKindFault (const TreeNode& node, std::string_view name, PropertyKind kind)
{
    const auto text = [] (std::string_view bytes) { return juce::String::fromUTF8 (bytes.data(), (int) bytes.size()); };
    return text (node.type) + " property " + text (name)
         + (kind == PropertyKind::text ? " is not text" : kind == PropertyKind::integer ? " is not an integer" : " is not a finite number");
}

juce::String valueText (const juce::var& value)
{
    if (value.isString())
        return value.toString();
    if (const auto* block = value.getBinaryData())
        return "<binary:" + juce::String ((juce::int64) block->getSize()) + ">";
    if (const auto* array = value.getArray())
        return "<array:" + juce::String (array->size()) + ">";
    if (value.isInt())
        return juce::String ((int) value);
    if (value.isInt64())
        return juce::String ((juce::int64) value);
    if (value.isBool())
        return (bool) value ? "1" : "0";
    if (value.isDouble())
    {
        const double d = value;
        if (std::isnan (d))
            return "nan";
        if (std::isinf (d))
            return d > 0 ? "inf" : "-inf";
        // JUCE's own text of a double, which is defined for every finite one.
        return juce::var (d).toString();
    }
    if (value.isUndefined())
        return "undefined";
    return {};
}

//==============================================================================
// Reading

namespace
{

// Reads one tree from the cursor's size bytes (at least one) into out, with the fault of a refusal.
bool readWholeTree (Cursor& in, TreeNode& out, juce::String& error, TreeReadFault& fault)
{
    TreeNode root;
    const bool read = readNode (in, 0, root);
    // A file is read to its end whatever its bytes made: one that cannot be read, or that
    // changes meanwhile, is refused as such before its contents are judged.
    if (in.file != nullptr && in.file->error.isEmpty())
    {
        const size_t rest = in.size - in.end;
        juce::HeapBlock<juce::uint8> scratch (std::min (rest, fileWindowBytes) + 1);
        for (size_t done = 0; done < rest && in.file->error.isEmpty();)
        {
            const size_t n = std::min (rest - done, fileWindowBytes);
            if (readUntrustedPiece (in.file->fd, in.file->file, scratch.get(), n, in.file->error))
                done += n;
        }
        if (in.file->error.isEmpty())
            finishUntrustedRead (in.file->fd, in.file->file, in.file->stamp, in.file->error);
    }
    if (in.file != nullptr && in.file->error.isNotEmpty())
    {
        error = in.file->error;
        fault = TreeReadFault::unreadableFile;
        return false;
    }
    if (! read)
    {
        error = in.error;
        if (in.limitExceeded)
            fault = TreeReadFault::overLimit;
        return false;
    }
    if (in.remaining() != 0)
    {
        error = "value tree is followed by " + juce::String ((juce::int64) in.remaining()) + " trailing bytes";
        return false;
    }
    out = std::move (root);
    return true;
}

} // namespace

bool readValueTreeBytes (const void* data, size_t size, TreeNode& out, juce::String& error, TreeReadFault& fault)
{
    out = TreeNode();
    error.clear();
    fault = TreeReadFault::malformed;
    if (size == 0 || data == nullptr)
    {
        error = "value tree is empty";
        return false;
    }
    auto in = Cursor::over (static_cast<const juce::uint8*> (data), size);
    return readWholeTree (in, out, error, fault);
}

bool readValueTreeBytes (const void* data, size_t size, TreeNode& out, juce::String& error)
{
    TreeReadFault fault;
    return readValueTreeBytes (data, size, out, error, fault);
}

bool readValueTreeFile (const juce::File& file, TreeNode& out, juce::String& error, TreeReadFault& fault)
{
    out = TreeNode();
    fault = TreeReadFault::unreadableFile;
    if (! file.exists())
    {
        error = "value tree file does not exist";
        return false;
    }
    FileSource source (file);
    juce::int64 size = 0;
    if (! openUntrustedFile (file, maxValueTreeFileBytes, source.fd, size, source.stamp, error))
        return false;
    if (size == 0)
    {
        if (! finishUntrustedRead (source.fd, file, source.stamp, error))
            return false;
        error = "value tree is empty";
        fault = TreeReadFault::malformed;
        return false;
    }
    error.clear();
    fault = TreeReadFault::malformed;
    Cursor in;
    in.size = (size_t) size;
    in.file = &source;
    return readWholeTree (in, out, error, fault);
}

bool readValueTreeFile (const juce::File& file, TreeNode& out, juce::String& error)
{
    TreeReadFault fault;
    return readValueTreeFile (file, out, error, fault);
}

//==============================================================================
// Writing

bool writeValueTree (const TreeNode& tree, juce::OutputStream& out)
{
    // The same calls, in the same order, as JUCE's own writer; the values write themselves. No
    // node at all comes out as JUCE writes an invalid tree: an empty type and no properties or
    // children.
    bool ok = writeName (out, tree.type) && out.writeCompressedInt ((int) tree.properties.size());
    for (const auto& property : tree.properties)
    {
        ok = ok && writeName (out, property.name);
        if (ok)
            property.value.writeToStream (out);
    }
    ok = ok && out.writeCompressedInt ((int) tree.children.size());
    for (const auto& child : tree.children)
        ok = ok && writeValueTree (child, out);
    return ok;
}

} // namespace vornconv
