#include "model/StrictJson.h"

#include "model/JsonWriter.h"
#include "model/Utf8Text.h"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <unordered_set>

namespace vornconv::json
{

namespace
{

// Line and column of the byte at offset in text, both from 1; the column counts characters, not
// bytes.
juce::String lineAndColumn (const char* begin, const char* at)
{
    int line = 1;
    const char* lineStart = begin;
    for (const char* q = begin; q < at; ++q)
        if (*q == '\n')
        {
            ++line;
            lineStart = q + 1;
        }
    int column = 1;
    for (const char* q = lineStart; q < at; ++q)
        if (((unsigned char) *q & 0xC0) != 0x80)
            ++column;
    return "line " + juce::String (line) + ", column " + juce::String (column);
}

// A recursive descent over the UTF-8 bytes of the text. The text came through the checked
// conversion, so its bytes are well-formed UTF-8 without NUL; recursion is bounded by maxDepth.
struct Parser
{
    const char* begin = nullptr;
    const char* p = nullptr;
    const char* end = nullptr;
    int maxDepth = 0;
    juce::String reason;
    std::unordered_set<std::string> keyNames;
    KeyOffsets* keyOffsets = nullptr;

    juce::String where (const char* at) const { return lineAndColumn (begin, at); }

    bool fail (const char* at, const juce::String& what)
    {
        reason = what + " at " + where (at);
        return false;
    }

    // What stands at a position, for a message: the character itself when it is printable ASCII.
    juce::String describe (const char* at) const
    {
        if (at >= end)
            return "end of the document";
        const auto c = (unsigned char) *at;
        if (c == '\'')
            return "a single quote";
        if (c > 0x20 && c < 0x7F)
            return juce::String ("'") + (char) c + "'";
        juce::String text;
        const char* q = at + 1;
        while (q < end && ((unsigned char) *q & 0xC0) == 0x80)
            ++q;
        utf8::toText (at, (size_t) (q - at), text);
        const auto code = text.isNotEmpty() ? (juce::uint32) text[0] : (juce::uint32) c;
        return "U+" + juce::String::toHexString ((int) code).toUpperCase().paddedLeft ('0', 4);
    }

    bool unexpected (const char* at)
    {
        return fail (at, at >= end ? juce::String ("unexpected end of the document") : "unexpected " + describe (at));
    }

    void space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }

    bool hexQuad (unsigned int& value)
    {
        value = 0;
        for (int i = 0; i < 4; ++i, ++p)
        {
            if (p >= end)
                return false;
            const auto digit = juce::CharacterFunctions::getHexDigitValue ((juce::juce_wchar) (unsigned char) *p);
            if (digit < 0)
                return false;
            value = (value << 4) | (unsigned int) digit;
        }
        return true;
    }

    static void appendUtf8 (std::string& out, unsigned int code)
    {
        if (code < 0x80)
        {
            out += (char) code;
        }
        else if (code < 0x800)
        {
            out += (char) (0xC0 | (code >> 6));
            out += (char) (0x80 | (code & 0x3F));
        }
        else if (code < 0x10000)
        {
            out += (char) (0xE0 | (code >> 12));
            out += (char) (0x80 | ((code >> 6) & 0x3F));
            out += (char) (0x80 | (code & 0x3F));
        }
        else
        {
            out += (char) (0xF0 | (code >> 18));
            out += (char) (0x80 | ((code >> 12) & 0x3F));
            out += (char) (0x80 | ((code >> 6) & 0x3F));
            out += (char) (0x80 | (code & 0x3F));
        }
    }

    // A string at p (which holds the opening quote), its bytes into out.
    bool string (std::string& out)
    {
        ++p;
        out.clear();
        for (;;)
        {
            if (p >= end)
                return fail (p, "unterminated string");
            const auto c = (unsigned char) *p;
            if (c == '"')
            {
                ++p;
                return true;
            }
            if (c < 0x20)
                return fail (p, "control character " + describe (p) + " in a string");
            if (c != '\\')
            {
                out += (char) c;
                ++p;
                continue;
            }
            const char* escape = p++;
            if (p >= end)
                return fail (p, "unterminated string");
            const char e = *p++;
            switch (e)
            {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u':
                {
                    unsigned int code = 0;
                    if (! hexQuad (code))
                        return fail (escape, "invalid \\u escape");
                    if (code >= 0xDC00 && code <= 0xDFFF)
                        return fail (escape, "unpaired surrogate in a \\u escape");
                    if (code >= 0xD800 && code <= 0xDBFF)
                    {
                        unsigned int low = 0;
                        if (end - p < 2 || p[0] != '\\' || p[1] != 'u')
                            return fail (escape, "unpaired surrogate in a \\u escape");
                        p += 2;
                        if (! hexQuad (low))
                            return fail (p, "invalid \\u escape");
                        if (low < 0xDC00 || low > 0xDFFF)
                            return fail (escape, "unpaired surrogate in a \\u escape");
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                    }
                    if (code == 0)
                        return fail (escape, "a NUL character (\\u0000) in a string");
                    appendUtf8 (out, code);
                    break;
                }
                default:
                    return fail (escape, "invalid escape: a backslash followed by " + describe (p - 1));
            }
        }
    }

    bool number (juce::var& out)
    {
        const char* start = p;
        const bool negative = p < end && *p == '-';
        if (negative)
            ++p;
        if (p >= end || *p < '0' || *p > '9')
            return p >= end ? fail (p, "unexpected end of the document") : fail (p, "a digit expected, not " + describe (p));
        const char* digits = p;
        if (*p == '0' && p + 1 < end && p[1] >= '0' && p[1] <= '9')
            return fail (start, "number with a leading zero");
        while (p < end && *p >= '0' && *p <= '9')
            ++p;
        const char* integerEnd = p;
        bool fractional = false;
        if (p < end && *p == '.')
        {
            fractional = true;
            ++p;
            if (p >= end || *p < '0' || *p > '9')
                return fail (p, "a digit expected after '.'");
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        if (p < end && (*p == 'e' || *p == 'E'))
        {
            fractional = true;
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (p >= end || *p < '0' || *p > '9')
                return fail (p, "a digit expected in the exponent");
            while (p < end && *p >= '0' && *p <= '9')
                ++p;
        }
        if (fractional)
        {
            const std::string literal (start, (size_t) (p - start));
            const double value = std::strtod (literal.c_str(), nullptr);
            if (! std::isfinite (value))
                return fail (start, "number out of range");
            out = value;
            return true;
        }
        // An integer: its magnitude must fit a signed 64-bit value.
        const auto limit = negative ? (juce::uint64) std::numeric_limits<juce::int64>::max() + 1
                                    : (juce::uint64) std::numeric_limits<juce::int64>::max();
        juce::uint64 magnitude = 0;
        for (const char* q = digits; q < integerEnd; ++q)
        {
            const auto digit = (juce::uint64) (*q - '0');
            if (magnitude > (limit - digit) / 10)
                return fail (start, "integer out of range");
            magnitude = magnitude * 10 + digit;
        }
        const auto value = negative ? (magnitude == limit ? std::numeric_limits<juce::int64>::min() : -(juce::int64) magnitude)
                                    : (juce::int64) magnitude;
        if (value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max())
            out = (int) value;
        else
            out = value;
        return true;
    }

    bool literal (const char* word, juce::var value, juce::var& out)
    {
        const auto n = std::strlen (word);
        if ((size_t) (end - p) < n || std::memcmp (p, word, n) != 0)
            return unexpected (p);
        p += n;
        out = value;
        return true;
    }

    bool object (juce::var& out, int depth)
    {
        auto* object = new juce::DynamicObject();
        out = juce::var (object);
        ++p;
        space();
        if (p < end && *p == '}')
        {
            ++p;
            return true;
        }
        std::set<std::string> keys;
        for (;;)
        {
            space();
            if (p >= end || *p != '"')
                return p >= end ? unexpected (p) : fail (p, "a key in double quotes expected, not " + describe (p));
            const char* keyStart = p;
            std::string key;
            if (! string (key))
                return false;
            juce::String name;
            if (key.empty() || ! utf8::toText (key.data(), key.size(), name))
                return fail (keyStart, "empty key");
            if (! keys.insert (key).second)
                return fail (keyStart, "duplicate key " + quotedForMessage (name));
            if ((int) keys.size() > maxStrictJsonKeysPerObject)
                return fail (keyStart, "an object with more than " + juce::String (maxStrictJsonKeysPerObject) + " keys");
            if (keyNames.insert (key).second && (int) keyNames.size() > maxStrictJsonKeyNames)
                return fail (keyStart, "more than " + juce::String (maxStrictJsonKeyNames) + " distinct key names");
            if (keyOffsets != nullptr)
                keyOffsets->offsets.emplace (std::make_pair (object, key), (size_t) (keyStart - begin));
            space();
            if (p >= end || *p != ':')
                return p >= end ? unexpected (p) : fail (p, "':' expected, not " + describe (p));
            ++p;
            juce::var member;
            if (! value (member, depth))
                return false;
            object->setProperty (juce::Identifier (name), member);
            space();
            if (p < end && *p == ',')
            {
                ++p;
                continue;
            }
            if (p < end && *p == '}')
            {
                ++p;
                return true;
            }
            return p >= end ? unexpected (p) : fail (p, "',' or '}' expected, not " + describe (p));
        }
    }

    bool array (juce::var& out, int depth)
    {
        juce::Array<juce::var> items;
        ++p;
        space();
        if (p < end && *p == ']')
        {
            ++p;
            out = items;
            return true;
        }
        for (;;)
        {
            juce::var item;
            if (! value (item, depth))
                return false;
            items.add (std::move (item));
            space();
            if (p < end && *p == ',')
            {
                ++p;
                continue;
            }
            if (p < end && *p == ']')
            {
                ++p;
                out = std::move (items);
                return true;
            }
            return p >= end ? unexpected (p) : fail (p, "',' or ']' expected, not " + describe (p));
        }
    }

    // depth: the arrays and objects this value stands in.
    bool value (juce::var& out, int depth)
    {
        space();
        if (p >= end)
            return unexpected (p);
        const char c = *p;
        if (c == '{' || c == '[')
        {
            if (depth + 1 > maxDepth)
                return fail (p, "nesting deeper than " + juce::String (maxDepth));
            return c == '{' ? object (out, depth + 1) : array (out, depth + 1);
        }
        if (c == '"')
        {
            std::string bytes;
            if (! string (bytes))
                return false;
            juce::String text;
            utf8::toText (bytes.data(), bytes.size(), text); // well-formed, and \u0000 was refused
            out = text;
            return true;
        }
        if (c == '-' || (c >= '0' && c <= '9'))
            return number (out);
        if (c == 't')
            return literal ("true", true, out);
        if (c == 'f')
            return literal ("false", false, out);
        if (c == 'n')
            return literal ("null", juce::var(), out);
        return unexpected (p);
    }
};

} // namespace

juce::String KeyOffsets::placeOf (const juce::String& text, const juce::DynamicObject* object, const juce::String& key) const
{
    const auto found = offsets.find (std::make_pair (object, key.toStdString()));
    const auto* begin = text.toRawUTF8();
    if (found == offsets.end() || found->second >= text.getNumBytesAsUTF8())
        return {};
    return lineAndColumn (begin, begin + found->second);
}

Expected<void> checkKnownKeys (const juce::var& value, const char* const* keys, const juce::String& path, const juce::String& text,
                               const KeyOffsets& offsets)
{
    auto* object = value.getDynamicObject();
    if (object == nullptr)
        return success();
    for (const auto& property : object->getProperties())
    {
        const auto key = property.name.toString();
        bool known = false;
        for (auto* k = keys; *k != nullptr && ! known; ++k)
            known = key == *k;
        if (known)
            continue;
        const auto place = offsets.placeOf (text, object, key);
        return failure ("unknown key " + quotedForMessage (key) + " in " + path + (place.isNotEmpty() ? " at " + place : juce::String()));
    }
    return success();
}

juce::var parseStrictJson (const juce::String& text, size_t maxBytes, int maxDepth, juce::String& reason, KeyOffsets* keys)
{
    reason = {};
    if (keys != nullptr)
        keys->offsets.clear();
    const auto size = text.getNumBytesAsUTF8();
    if (size > maxBytes)
    {
        reason = "the document is larger than " + juce::String ((juce::int64) maxBytes) + " bytes";
        return {};
    }
    Parser parser;
    parser.begin = parser.p = text.toRawUTF8();
    parser.end = parser.begin + size;
    parser.maxDepth = maxDepth;
    parser.keyOffsets = keys;
    parser.space();
    if (parser.p >= parser.end)
    {
        reason = "no JSON document";
        return {};
    }
    juce::var result;
    if (! parser.value (result, 0))
    {
        reason = parser.reason;
        return {};
    }
    parser.space();
    if (parser.p < parser.end)
    {
        const char c = *parser.p;
        parser.fail (parser.p, c == '{' || c == '[' ? juce::String ("a second JSON document") : juce::String ("text after the JSON document"));
        reason = parser.reason;
        return {};
    }
    return result;
}

} // namespace vornconv::json
