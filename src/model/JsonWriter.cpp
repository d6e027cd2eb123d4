#include "model/JsonWriter.h"

#include <cmath>

namespace vornconv::json
{

namespace
{

void writeEscapedUnit (juce::MemoryOutputStream& out, unsigned int unit)
{
    out << "\\u" << juce::String::toHexString ((int) unit).paddedLeft ('0', 4);
}

// keepText: every character from U+0080 on is written as it is (for a message, not a document).
void writeString (juce::MemoryOutputStream& out, const juce::String& text, bool keepText = false)
{
    out << '"';
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = (juce::uint32) p.getAndAdvance();
        switch (c)
        {
            case '"':  out << "\\\""; break;
            case '\\': out << "\\\\"; break;
            case '\b': out << "\\b"; break;
            case '\f': out << "\\f"; break;
            case '\t': out << "\\t"; break;
            case '\r': out << "\\r"; break;
            case '\n': out << "\\n"; break;
            default:
                if (c >= 32 && c < 127)
                {
                    out << (char) c;
                }
                else if (keepText && c >= 0xA0 && c <= 0x10FFFF)
                {
                    out << juce::String::charToString ((juce::juce_wchar) c);
                }
                else if (c >= 0x10000 && c <= 0x10FFFF)
                {
                    const auto v = c - 0x10000;
                    writeEscapedUnit (out, 0xD800 + (v >> 10));
                    writeEscapedUnit (out, 0xDC00 + (v & 0x3FF));
                }
                else if (c < 0x10000)
                {
                    writeEscapedUnit (out, c);
                }
                else
                {
                    writeEscapedUnit (out, 0xFFFD); // not a Unicode scalar value
                }
                break;
        }
    }
    out << '"';
}

void writeValue (juce::MemoryOutputStream& out, const juce::var& v, int depth)
{
    if (depth > maxJsonDepth)
    {
        out << "null";
        return;
    }
    if (v.isString())
    {
        writeString (out, v.toString());
    }
    else if (v.isBool())
    {
        out << ((bool) v ? "true" : "false");
    }
    else if (v.isInt())
    {
        out << juce::String ((int) v);
    }
    else if (v.isInt64())
    {
        out << juce::String ((juce::int64) v);
    }
    else if (v.isDouble())
    {
        const auto d = (double) v;
        if (std::isfinite (d))
            out << juce::JSON::toString (juce::var (d), true); // JUCE's number form for a finite double
        else
            out << "null";
    }
    else if (auto* array = v.getArray())
    {
        out << '[';
        for (int i = 0; i < array->size(); ++i)
        {
            if (i > 0)
                out << ", ";
            writeValue (out, array->getReference (i), depth + 1);
        }
        out << ']';
    }
    else if (auto* object = v.getDynamicObject())
    {
        out << '{';
        const auto& properties = object->getProperties();
        for (int i = 0; i < properties.size(); ++i)
        {
            if (i > 0)
                out << ", ";
            writeString (out, properties.getName (i).toString());
            out << ": ";
            writeValue (out, properties.getValueAt (i), depth + 1);
        }
        out << '}';
    }
    else
    {
        out << "null";
    }
}

} // namespace

juce::String toJsonLine (const juce::var& value)
{
    juce::MemoryOutputStream out (1024);
    writeValue (out, value, 0);
    return out.toUTF8();
}

juce::String jsonQuoted (const juce::String& text)
{
    juce::MemoryOutputStream out;
    writeString (out, text);
    return out.toUTF8();
}

juce::String quotedForMessage (const juce::String& text)
{
    juce::MemoryOutputStream out;
    writeString (out, text, true);
    return out.toUTF8();
}

juce::var parseBoundedJson (const juce::String& text, size_t maxBytes, int maxDepth)
{
    constexpr int maxNumberDigits = 18;
    constexpr int maxExponentDigits = 8;
    if (text.getNumBytesAsUTF8() > maxBytes)
        return {};
    int depth = 0, digits = 0;
    bool inExponent = false, escaped = false;
    juce::juce_wchar quote = 0, previous = 0, beforePrevious = 0;
    for (auto p = text.getCharPointer(); ! p.isEmpty();)
    {
        const auto c = p.getAndAdvance();
        if (quote != 0)
        {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == quote)
                quote = 0;
            continue;
        }
        const bool digit = c >= '0' && c <= '9';
        if (digit)
        {
            if (digits == 0)
                inExponent = previous == 'e' || previous == 'E'
                          || ((previous == '+' || previous == '-') && (beforePrevious == 'e' || beforePrevious == 'E'));
            if (++digits > (inExponent ? maxExponentDigits : maxNumberDigits))
                return {};
        }
        else
        {
            digits = 0;
        }
        // JUCE folds whatever follows a lone minus sign into a number.
        if (previous == '-' && ! digit)
            return {};
        if (c == '"' || c == '\'')
            quote = c;
        else if ((c == '[' || c == '{') && ++depth > maxDepth)
            return {};
        else if (c == ']' || c == '}')
            depth = std::max (0, depth - 1);
        beforePrevious = previous;
        previous = c;
    }
    if (previous == '-')
        return {};
    juce::var parsed;
    if (juce::JSON::parse (text, parsed).failed())
        return {};
    return parsed;
}

} // namespace vornconv::json
