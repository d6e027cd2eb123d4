// Apple property lists from untrusted plug-in states, read strictly. The whole document, XML
// ("<plist>") or binary ("bplist00"), is checked before anything is handed out: every value must
// be well-formed, binary references must stay in range and form no cycle, and nesting is limited.
// Only the entries of the root dictionary are handed out; the values below them are checked, never
// built.
//
// In this file, in order:
//   - Binary form: the trailer, the offset table and every object, each checked once (its height
//     is kept, so an object shared at several depths is held to the nesting limit everywhere),
//     then the root dictionary's entries.
//   - XML form: <plist> around one value, checked element by element (integers, reals, base64
//     data, dates) over the tree that the strict XML guard lets JUCE build.
//   - Entry point: readDictionary, which tells the two forms apart by the binary magic.

#include "model/PropertyList.h"

#include "model/StrictXml.h"

#include <cstring>
#include <limits>
#include <vector>

namespace vornconv::propertyList
{

namespace
{

using uint128 = unsigned __int128;

//==============================================================================
// Binary form: "bplist00", objects, offset table, 32-byte trailer (all big-endian).

struct BinaryReader
{
    const juce::uint8* b = nullptr;
    size_t size = 0;
    unsigned offsetSize = 0;
    unsigned refSize = 0;
    juce::uint64 numObjects = 0;
    juce::uint64 topObject = 0;
    juce::uint64 offsetTable = 0; // the object area is [8, offsetTable)
    std::vector<juce::uint8> state;  // 0 unseen, 1 on the current path, 2 checked
    std::vector<juce::uint16> height; // levels of nesting at and below a checked object
    juce::String error;

    bool fail (const char* why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }

    static juce::uint64 readBigEndian (const juce::uint8* p, unsigned n) noexcept
    {
        juce::uint64 v = 0;
        for (unsigned i = 0; i < n; ++i)
            v = (v << 8) | p[i];
        return v;
    }

    bool readTrailer()
    {
        if (size < 8 + 1 + 1 + 32)
            return fail ("binary property list is too short");
        const auto* t = b + size - 32;
        offsetSize = t[6];
        refSize = t[7];
        numObjects = readBigEndian (t + 8, 8);
        topObject = readBigEndian (t + 16, 8);
        offsetTable = readBigEndian (t + 24, 8);

        const juce::uint64 trailerStart = size - 32;
        if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8)
            return fail ("binary property list trailer has invalid integer sizes");
        if (offsetTable < 9 || offsetTable > trailerStart)
            return fail ("binary property list offset table is out of range");
        if (numObjects < 1 || numObjects > (trailerStart - offsetTable) / offsetSize)
            return fail ("binary property list object count does not fit its offset table");
        if (refSize < 8 && numObjects > ((juce::uint64) 1 << (8 * refSize)))
            return fail ("binary property list object count does not fit its reference size");
        if (topObject >= numObjects)
            return fail ("binary property list top object is out of range");
        state.assign ((size_t) numObjects, 0);
        height.assign ((size_t) numObjects, 0);
        return true;
    }

    bool objectOffset (juce::uint64 index, juce::uint64& offset)
    {
        offset = readBigEndian (b + offsetTable + index * offsetSize, offsetSize);
        return (offset >= 8 && offset < offsetTable) || fail ("binary property list object offset is out of range");
    }

    // The element count of a data, string or container object; pos moves past the marker and an
    // extended count.
    bool readCount (juce::uint8 marker, juce::uint64& pos, juce::uint64& count)
    {
        count = marker & 0x0F;
        if (count != 0x0F)
            return true;
        if (pos >= offsetTable)
            return fail ("binary property list count is truncated");
        const juce::uint8 intMarker = b[pos++];
        if ((intMarker & 0xF0) != 0x10 || (intMarker & 0x0F) > 3)
            return fail ("binary property list count is not an integer");
        const unsigned n = 1u << (intMarker & 0x0F);
        if (offsetTable - pos < n)
            return fail ("binary property list count is truncated");
        count = readBigEndian (b + pos, n);
        if (n == 8 && count > (juce::uint64) std::numeric_limits<juce::int64>::max())
            return fail ("binary property list count is negative");
        pos += n;
        return true;
    }

    bool readRef (juce::uint64 pos, juce::uint64& ref)
    {
        ref = readBigEndian (b + pos, refSize);
        return ref < numObjects || fail ("binary property list object reference is out of range");
    }

    bool isStringObject (juce::uint64 index)
    {
        juce::uint64 offset = 0;
        if (! objectOffset (index, offset))
            return false;
        const auto kind = b[offset] >> 4;
        return kind == 0x5 || kind == 0x6;
    }

    bool checkChild (juce::uint64 ref, int depth, int& maxChildHeight)
    {
        int h = 0;
        if (! check (ref, depth + 1, h))
            return false;
        maxChildHeight = juce::jmax (maxChildHeight, h);
        return true;
    }

    // Checks one object and everything below it. depth counts the containers above it; the
    // height of each checked object is kept, so an object shared at several depths is checked
    // once and still held to the nesting limit everywhere it appears.
    bool check (juce::uint64 index, int depth, int& objectHeight)
    {
        if (state[index] == 1)
            return fail ("binary property list contains a reference cycle");
        if (state[index] == 2)
        {
            objectHeight = height[index];
            return depth + objectHeight <= maxNestingDepth || fail ("binary property list is nested too deeply");
        }
        if (depth >= maxNestingDepth)
            return fail ("binary property list is nested too deeply");

        juce::uint64 offset = 0;
        if (! objectOffset (index, offset))
            return false;
        const juce::uint8 marker = b[offset];
        juce::uint64 pos = offset + 1;
        const juce::uint64 room = offsetTable - pos;
        int childHeight = 0;
        state[index] = 1;

        switch (marker >> 4)
        {
            case 0x0:
                if (marker != 0x08 && marker != 0x09)
                    return fail ("binary property list has an unsupported simple object");
                break;
            case 0x1:
                if ((marker & 0x0F) > 4 || room < (1u << (marker & 0x0F)))
                    return fail ("binary property list integer is malformed");
                break;
            case 0x2:
                if ((marker != 0x22 || room < 4) && (marker != 0x23 || room < 8))
                    return fail ("binary property list real is malformed");
                break;
            case 0x3:
                if (marker != 0x33 || room < 8)
                    return fail ("binary property list date is malformed");
                break;
            case 0x4:
            case 0x5:
            case 0x6:
            {
                juce::uint64 count = 0;
                if (! readCount (marker, pos, count))
                    return false;
                const juce::uint64 unit = (marker >> 4) == 0x6 ? 2 : 1;
                if (count > (offsetTable - pos) / unit)
                    return fail ("binary property list data or string runs past its area");
                if ((marker >> 4) == 0x5)
                    for (juce::uint64 i = 0; i < count; ++i)
                        if (b[pos + i] >= 0x80)
                            return fail ("binary property list ASCII string has a non-ASCII byte");
                break;
            }
            case 0x8:
                if (room < (juce::uint64) (marker & 0x0F) + 1)
                    return fail ("binary property list UID is malformed");
                break;
            case 0xA:
            case 0xC:
            case 0xD:
            {
                juce::uint64 count = 0;
                if (! readCount (marker, pos, count))
                    return false;
                const bool isDict = (marker >> 4) == 0xD;
                const juce::uint64 refsPerEntry = isDict ? 2 : 1;
                if (count > (offsetTable - pos) / (refsPerEntry * refSize))
                    return fail ("binary property list container runs past its area");
                for (juce::uint64 i = 0; i < count; ++i)
                {
                    juce::uint64 ref = 0;
                    if (! readRef (pos + i * refSize, ref))
                        return false;
                    if (isDict && ! isStringObject (ref))
                        return fail ("binary property list dictionary key is not a string");
                    if (! checkChild (ref, depth, childHeight))
                        return false;
                    if (isDict)
                    {
                        if (! readRef (pos + (count + i) * refSize, ref) || ! checkChild (ref, depth, childHeight))
                            return false;
                    }
                }
                break;
            }
            default:
                return fail ("binary property list has an unknown object type");
        }

        state[index] = 2;
        height[index] = (juce::uint16) (childHeight + 1);
        objectHeight = childHeight + 1;
        return true;
    }

    // JUCE text cannot hold U+0000, and would end at it: a NUL is kept as U+FFFD instead, so a
    // key such as "type\0x" never reads as the identity key "type".
    juce::String stringAt (juce::uint64 index)
    {
        juce::uint64 offset = 0;
        objectOffset (index, offset);
        const juce::uint8 marker = b[offset];
        juce::uint64 pos = offset + 1, count = 0;
        readCount (marker, pos, count);
        const juce::juce_wchar nulStandIn = 0xFFFD;
        if ((marker >> 4) == 0x5)
        {
            const juce::String text (juce::CharPointer_ASCII (reinterpret_cast<const char*> (b + pos)), (size_t) count);
            if ((juce::uint64) text.length() == count)
                return text;
            juce::String kept;
            for (juce::uint64 i = 0; i < count; ++i)
                kept << juce::String::charToString (b[pos + i] == 0 ? nulStandIn : (juce::juce_wchar) b[pos + i]);
            return kept;
        }

        juce::String text;
        for (juce::uint64 i = 0; i < count; ++i)
        {
            juce::juce_wchar unit = (juce::juce_wchar) readBigEndian (b + pos + 2 * i, 2);
            if (unit == 0)
                unit = nulStandIn;
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count)
            {
                const auto low = (juce::juce_wchar) readBigEndian (b + pos + 2 * (i + 1), 2);
                if (low >= 0xDC00 && low <= 0xDFFF)
                {
                    unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
            if (unit >= 0xD800 && unit <= 0xDFFF)
                unit = 0xFFFD;
            text << juce::String::charToString (unit);
        }
        return text;
    }

    TopLevelEntry entryFor (const juce::String& key, juce::uint64 index)
    {
        TopLevelEntry entry;
        entry.key = key;
        juce::uint64 offset = 0;
        objectOffset (index, offset);
        const juce::uint8 marker = b[offset];
        switch (marker >> 4)
        {
            case 0x0: entry.kind = ValueKind::boolean; break;
            case 0x1:
            {
                entry.kind = ValueKind::integer;
                const unsigned n = 1u << (marker & 0x0F);
                if (n <= 8)
                {
                    const juce::uint64 v = readBigEndian (b + offset + 1, n);
                    // 1-, 2- and 4-byte integers are unsigned, 8-byte ones signed.
                    entry.integerFitsInt64 = true;
                    std::memcpy (&entry.integerValue, &v, sizeof v);
                }
                else
                {
                    const juce::uint64 high = readBigEndian (b + offset + 1, 8);
                    const juce::uint64 low = readBigEndian (b + offset + 9, 8);
                    const bool topBit = (low >> 63) != 0;
                    entry.integerFitsInt64 = (high == 0 && ! topBit) || (high == ~(juce::uint64) 0 && topBit);
                    std::memcpy (&entry.integerValue, &low, sizeof low);
                }
                break;
            }
            case 0x2: entry.kind = ValueKind::real; break;
            case 0x3: entry.kind = ValueKind::date; break;
            case 0x4: entry.kind = ValueKind::data; break;
            case 0x5:
            case 0x6: entry.kind = ValueKind::string; break;
            case 0x8: entry.kind = ValueKind::uid; break;
            case 0xA: entry.kind = ValueKind::array; break;
            case 0xC: entry.kind = ValueKind::set; break;
            default: entry.kind = ValueKind::dictionary; break;
        }
        return entry;
    }

    bool read (juce::Array<TopLevelEntry>& entries)
    {
        if (! readTrailer())
            return false;

        // Every object in the table is checked, reachable or not.
        int h = 0;
        if (! check (topObject, 0, h))
            return false;
        for (juce::uint64 i = 0; i < numObjects; ++i)
            if (state[i] == 0 && ! check (i, 0, h))
                return false;

        juce::uint64 offset = 0;
        objectOffset (topObject, offset);
        const juce::uint8 marker = b[offset];
        if ((marker >> 4) != 0xD)
            return fail ("property list root is not a dictionary");

        juce::uint64 pos = offset + 1, count = 0;
        readCount (marker, pos, count);
        for (juce::uint64 i = 0; i < count; ++i)
        {
            juce::uint64 keyRef = 0, valueRef = 0;
            readRef (pos + i * refSize, keyRef);
            readRef (pos + (count + i) * refSize, valueRef);
            entries.add (entryFor (stringAt (keyRef), valueRef));
        }
        return true;
    }
};

//==============================================================================
// XML form: <plist> around one value, checked element by element over a bounded JUCE tree.

bool hasOnlyText (const juce::XmlElement& e)
{
    for (auto* child : e.getChildIterator())
        if (! child->isTextElement())
            return false;
    return true;
}

bool isDigit (juce::juce_wchar c) noexcept { return c >= '0' && c <= '9'; }

// Decimal, optional sign, within [-2^63, 2^64 - 1].
bool parseXmlInteger (const juce::String& raw, TopLevelEntry& entry)
{
    const auto text = raw.trim();
    auto p = text.getCharPointer();
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = p.getAndAdvance() == '-';
    if (! isDigit (*p))
        return false;
    uint128 magnitude = 0;
    for (; ! p.isEmpty(); ++p)
    {
        if (! isDigit (*p))
            return false;
        magnitude = magnitude * 10 + (uint128) (*p - '0');
        if (magnitude > ((uint128) 1 << 64))
            return false;
    }
    const uint128 int64Limit = (uint128) std::numeric_limits<juce::int64>::max();
    if (negative)
    {
        if (magnitude > int64Limit + 1)
            return false;
        entry.integerFitsInt64 = true;
        entry.integerValue = magnitude == int64Limit + 1 ? std::numeric_limits<juce::int64>::min() : -(juce::int64) magnitude;
        return true;
    }
    if (magnitude > (uint128) std::numeric_limits<juce::uint64>::max())
        return false;
    entry.integerFitsInt64 = magnitude <= int64Limit;
    entry.integerValue = entry.integerFitsInt64 ? (juce::int64) magnitude : 0;
    return true;
}

bool isXmlReal (const juce::String& raw)
{
    const auto text = raw.trim();
    for (const char* special : { "nan", "inf", "+inf", "-inf", "infinity", "+infinity", "-infinity" })
        if (text.equalsIgnoreCase (special))
            return true;
    auto p = text.getCharPointer();
    if (*p == '+' || *p == '-')
        ++p;
    int mantissaDigits = 0;
    while (isDigit (*p)) { ++p; ++mantissaDigits; }
    if (*p == '.')
    {
        ++p;
        while (isDigit (*p)) { ++p; ++mantissaDigits; }
    }
    if (mantissaDigits == 0)
        return false;
    if (*p == 'e' || *p == 'E')
    {
        ++p;
        if (*p == '+' || *p == '-')
            ++p;
        if (! isDigit (*p))
            return false;
        while (isDigit (*p))
            ++p;
    }
    return p.isEmpty();
}

// Standard base64 with white space anywhere and padding only at the end.
bool isXmlData (const juce::String& text)
{
    int count = 0, padding = 0;
    for (auto c : text)
    {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
            continue;
        const bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || isDigit (c) || c == '+' || c == '/';
        if (c == '=')
            ++padding;
        else if (! alphabet || padding > 0)
            return false;
        ++count;
    }
    return count % 4 == 0 && padding <= 2;
}

// YYYY-MM-DDTHH:MM:SSZ
bool isXmlDate (const juce::String& raw)
{
    const auto text = raw.trim();
    const char* pattern = "dddd-dd-ddTdd:dd:ddZ";
    if (text.length() != 20)
        return false;
    for (int i = 0; i < 20; ++i)
    {
        const auto c = text[i];
        if (pattern[i] == 'd' ? ! isDigit (c) : c != (juce::juce_wchar) pattern[i])
            return false;
    }
    auto field = [&text] (int start, int length) { return text.substring (start, start + length).getIntValue(); };
    const int month = field (5, 2), day = field (8, 2);
    return month >= 1 && month <= 12 && day >= 1 && day <= 31 && field (11, 2) <= 23 && field (14, 2) <= 59 && field (17, 2) <= 60;
}

bool checkXmlValue (const juce::XmlElement& e, int depth, TopLevelEntry* entry)
{
    if (e.isTextElement() || depth > maxNestingDepth)
        return false;
    const auto tag = e.getTagName();
    TopLevelEntry scratch;
    auto& out = entry != nullptr ? *entry : scratch;

    if (tag == "dict" || tag == "array")
    {
        out.kind = tag == "dict" ? ValueKind::dictionary : ValueKind::array;
        int position = 0;
        for (auto* child : e.getChildIterator())
        {
            const bool isKey = tag == "dict" && position % 2 == 0;
            if (isKey ? (child->getTagName() != "key" || ! hasOnlyText (*child)) : ! checkXmlValue (*child, depth + 1, nullptr))
                return false;
            ++position;
        }
        return tag == "array" || position % 2 == 0;
    }
    if (tag == "true" || tag == "false")
    {
        out.kind = ValueKind::boolean;
        return e.getNumChildElements() == 0;
    }
    if (! hasOnlyText (e))
        return false;
    const auto text = e.getAllSubText();
    if (tag == "string") { out.kind = ValueKind::string; return true; }
    if (tag == "integer") { out.kind = ValueKind::integer; return parseXmlInteger (text, out); }
    if (tag == "real") { out.kind = ValueKind::real; return isXmlReal (text); }
    if (tag == "data") { out.kind = ValueKind::data; return isXmlData (text); }
    if (tag == "date") { out.kind = ValueKind::date; return isXmlDate (text); }
    return false;
}

bool readXml (const void* data, size_t size, juce::Array<TopLevelEntry>& entries, juce::String& error)
{
    juce::String xmlError;
    const auto root = strictXml::parseAllowingExternalDoctype (data, size, maxNestingDepth + 2, xmlError);
    if (root == nullptr)
    {
        error = "XML property list is not well-formed: " + xmlError;
        return false;
    }
    if (root->getTagName() != "plist" || root->getNumChildElements() != 1)
    {
        error = "XML property list must hold exactly one value in <plist>";
        return false;
    }
    const auto& top = *root->getChildElement (0);
    if (! checkXmlValue (top, 1, nullptr))
    {
        error = "XML property list holds a malformed value";
        return false;
    }
    if (top.getTagName() != "dict")
    {
        error = "property list root is not a dictionary";
        return false;
    }

    for (int i = 0; i + 1 < top.getNumChildElements(); i += 2)
    {
        TopLevelEntry entry;
        entry.key = top.getChildElement (i)->getAllSubText();
        checkXmlValue (*top.getChildElement (i + 1), 2, &entry);
        entries.add (entry);
    }
    return true;
}

} // namespace

//==============================================================================
// Entry point

bool readDictionary (const void* data, size_t size, juce::Array<TopLevelEntry>& entries, juce::String& error)
{
    entries.clearQuick();
    error.clear();
    if (data == nullptr || size == 0)
    {
        error = "property list is empty";
        return false;
    }

    static const char binaryMagic[] = "bplist00";
    if (size >= 8 && std::memcmp (data, binaryMagic, 8) == 0)
    {
        BinaryReader reader;
        reader.b = static_cast<const juce::uint8*> (data);
        reader.size = size;
        if (! reader.read (entries))
        {
            entries.clearQuick();
            error = reader.error;
            return false;
        }
        return true;
    }

    if (! readXml (data, size, entries, error))
    {
        entries.clearQuick();
        return false;
    }
    return true;
}

} // namespace vornconv::propertyList
