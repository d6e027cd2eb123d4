// The guard in front of JUCE's XML parser for documents we did not write. The bytes are scanned
// once, front to back, without building anything; only a document that passes (one well-formed
// UTF-8 document of bounded depth, by the rules in StrictXml.h) is handed to JUCE, from memory.
//
// In this file, in order:
//   - Character classes: names, blanks and the tables that end a run of plain character data.
//   - The scanner: the declaration, comments, an optional external DOCTYPE, elements with their
//     attributes and references, CDATA sections, and what may follow the root.
//   - Checking and parsing: the byte checks around the scanner (empty, NUL, UTF-8) and the entry
//     points.

#include "model/StrictXml.h"

#include "model/Utf8Text.h"

#include <string_view>
#include <unordered_set>
#include <vector>

namespace vornconv::strictXml
{

namespace
{

//==============================================================================
// Character classes

bool isSpace (char c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool isNameStart (char c) noexcept
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
}

bool isNameChar (char c) noexcept
{
    return isNameStart (c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Bytes that end a run of plain character data: in content '<' and '&', in an attribute value
// also either quote (the one that does not close the value is then taken as a plain byte).
struct StopTable
{
    juce::uint8 stop[256];
};

constexpr StopTable makeStopTable (bool quotes)
{
    StopTable t {};
    t.stop[(unsigned char) '<'] = t.stop[(unsigned char) '&'] = 1;
    if (quotes)
        t.stop[(unsigned char) '"'] = t.stop[(unsigned char) '\''] = 1;
    return t;
}

constexpr StopTable contentStops = makeStopTable (false);
constexpr StopTable attributeStops = makeStopTable (true);

// The first byte at or after p that the table stops at, or end.
const char* skipPlainRun (const char* p, const char* end, const StopTable& table) noexcept
{
    const auto* stop = table.stop;
    while (end - p >= 8)
    {
        const auto* u = reinterpret_cast<const juce::uint8*> (p);
        if ((stop[u[0]] | stop[u[1]] | stop[u[2]] | stop[u[3]] | stop[u[4]] | stop[u[5]] | stop[u[6]] | stop[u[7]]) != 0)
            break;
        p += 8;
    }
    while (p < end && stop[(juce::uint8) *p] == 0)
        ++p;
    return p;
}

//==============================================================================
// The scanner

struct Scanner
{
    const char* p;
    const char* end;
    bool allowDoctype = false;
    bool seenDoctype = false;
    juce::String error;
    const AttributeVisitor* visitor = nullptr;
    const char* begin = nullptr;

    bool fail (const char* why)
    {
        if (error.isEmpty())
            error = why;
        return false;
    }

    bool atEnd() const noexcept { return p >= end; }
    size_t left() const noexcept { return (size_t) (end - p); }

    bool startsWith (std::string_view s) const noexcept
    {
        return left() >= s.size() && std::string_view (p, s.size()) == s;
    }

    void skipSpace() noexcept
    {
        while (p < end && isSpace (*p))
            ++p;
    }

    // Moves past the next occurrence of terminator; false when there is none.
    bool skipPast (std::string_view terminator) noexcept
    {
        const std::string_view rest (p, left());
        const auto at = rest.find (terminator);
        if (at == std::string_view::npos)
            return false;
        p += at + terminator.size();
        return true;
    }

    bool readName (std::string_view& name)
    {
        if (atEnd() || ! isNameStart (*p))
            return fail ("element or attribute name expected");
        const char* start = p;
        while (p < end && isNameChar (*p))
            ++p;
        name = std::string_view (start, (size_t) (p - start));
        return true;
    }

    // At '&': one of the predefined references or a numeric one naming a valid, non-NUL scalar.
    bool readReference()
    {
        ++p;
        for (const char* named : { "amp;", "lt;", "gt;", "quot;", "apos;" })
            if (startsWith (named))
            {
                p += std::char_traits<char>::length (named);
                return true;
            }

        if (atEnd() || *p != '#')
            return fail ("unknown entity reference");
        ++p;
        const bool hex = ! atEnd() && *p == 'x';
        if (hex)
            ++p;
        juce::int64 value = 0;
        int digits = 0;
        while (p < end && *p != ';')
        {
            int d = -1;
            const char c = *p;
            if (c >= '0' && c <= '9') d = c - '0';
            else if (hex && c >= 'a' && c <= 'f') d = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F') d = c - 'A' + 10;
            if (d < 0 || ++digits > 8)
                return fail ("malformed character reference");
            value = value * (hex ? 16 : 10) + d;
            ++p;
        }
        if (atEnd() || digits == 0 || value < 1 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return fail ("malformed character reference");
        ++p;
        return true;
    }

    bool skipComment()
    {
        p += 4;
        return skipPast ("-->") || fail ("unterminated comment");
    }

    bool skipProcessingInstruction()
    {
        p += 2;
        return skipPast ("?>") || fail ("unterminated processing instruction");
    }

    // <!DOCTYPE name PUBLIC "..." "..."> and the like, without an internal subset. No '<', '>'
    // or '[' may stand inside, which keeps JUCE's own skipping of the DOCTYPE in step with this.
    bool skipDoctype()
    {
        p += 9;
        while (p < end && *p != '>')
        {
            if (*p == '[' || *p == '<')
                return fail ("DOCTYPE with an internal subset is not accepted");
            ++p;
        }
        if (atEnd())
            return fail ("unterminated DOCTYPE");
        ++p;
        return true;
    }

    // White space, comments and processing instructions between or around the root element.
    bool skipMisc (bool beforeRoot)
    {
        for (;;)
        {
            skipSpace();
            if (startsWith ("<!--"))
            {
                if (! skipComment())
                    return false;
            }
            else if (startsWith ("<?"))
                return fail ("processing instructions are not accepted");
            else if (beforeRoot && allowDoctype && ! seenDoctype && startsWith ("<!DOCTYPE") && left() > 9 && isSpace (p[9]))
            {
                seenDoctype = true;
                if (! skipDoctype())
                    return false;
            }
            else if (startsWith ("<!"))
                return fail ("DOCTYPE and declarations are not accepted");
            else
                return true;
        }
    }

    // After the name of an open tag: attributes up to '>' or '/>'.
    bool readAttributes (std::string_view element, bool& selfClosing)
    {
        // Names seen in this tag; a hash set once there are many, so that a tag with a great
        // many attributes is still checked in linear time.
        std::vector<std::string_view> seen;
        std::unordered_set<std::string_view> many;
        for (;;)
        {
            const bool spaced = p < end && isSpace (*p);
            skipSpace();
            if (atEnd())
                return fail ("unterminated tag");
            if (*p == '>')
            {
                ++p;
                selfClosing = false;
                return true;
            }
            if (startsWith ("/>"))
            {
                p += 2;
                selfClosing = true;
                return true;
            }
            if (! spaced)
                return fail ("white space expected between attributes");

            std::string_view name;
            if (! readName (name))
                return false;
            if (seen.size() < 16)
            {
                for (auto other : seen)
                    if (other == name)
                        return fail ("duplicate attribute");
                seen.push_back (name);
                if (seen.size() == 16)
                    many.insert (seen.begin(), seen.end());
            }
            else if (! many.insert (name).second)
                return fail ("duplicate attribute");

            skipSpace();
            if (atEnd() || *p != '=')
                return fail ("'=' expected after attribute name");
            ++p;
            skipSpace();
            if (atEnd() || (*p != '"' && *p != '\''))
                return fail ("quoted attribute value expected");
            const char quote = *p++;
            const char* valueStart = p;
            bool plain = true;
            for (;;)
            {
                p = skipPlainRun (p, end, attributeStops);
                if (atEnd())
                    return fail ("unterminated attribute value");
                if (*p == quote)
                {
                    if (visitor != nullptr)
                        (*visitor) (element, name, (size_t) (valueStart - begin), (size_t) (p - begin), plain);
                    ++p;
                    break;
                }
                if (*p == '<')
                    return fail ("'<' inside an attribute value");
                if (*p == '&')
                {
                    plain = false;
                    if (! readReference())
                        return false;
                }
                else
                    ++p; // the other quote
            }
        }
    }

    bool readDocument (int maxDepth)
    {
        if (startsWith ("\xEF\xBB\xBF"))
            return fail ("byte order mark is not accepted");
        // The XML declaration is the one processing instruction accepted, and only first. JUCE's
        // parser loops for ever on an instruction inside element content that text follows.
        skipSpace();
        if (startsWith ("<?xml") && left() > 5 && (isSpace (p[5]) || p[5] == '?') && ! skipProcessingInstruction())
            return false;
        if (! skipMisc (true))
            return false;
        if (atEnd() || *p != '<')
            return fail ("root element expected");

        std::vector<std::string_view> open;
        bool rootDone = false;
        while (! rootDone)
        {
            // Here p is at '<' of an element's open tag.
            ++p;
            std::string_view name;
            if (! readName (name))
                return false;
            bool selfClosing = false;
            if (! readAttributes (name, selfClosing))
                return false;
            // An empty element is a level of the tree as much as one with content.
            if ((int) open.size() >= maxDepth)
                return fail ("elements are nested too deeply");
            if (selfClosing)
            {
                if (open.empty())
                    break;
            }
            else
            {
                open.push_back (name);
            }

            // Content until the next child open tag, or until the root is closed.
            for (;;)
            {
                p = skipPlainRun (p, end, contentStops);
                if (atEnd())
                    return fail ("unclosed element");
                const char c = *p;
                if (c == '&')
                {
                    if (! readReference())
                        return false;
                }
                else if (c != '<')
                {
                    ++p;
                }
                else if (startsWith ("<!--"))
                {
                    if (! skipComment())
                        return false;
                }
                else if (startsWith ("<![CDATA["))
                {
                    p += 9;
                    if (! skipPast ("]]>"))
                        return fail ("unterminated CDATA section");
                }
                else if (startsWith ("<!"))
                    return fail ("DOCTYPE and declarations are not accepted");
                else if (startsWith ("<?"))
                    return fail ("processing instructions are not accepted");
                else if (startsWith ("</"))
                {
                    p += 2;
                    std::string_view closing;
                    if (! readName (closing))
                        return false;
                    skipSpace();
                    if (atEnd() || *p != '>')
                        return fail ("unterminated close tag");
                    ++p;
                    if (open.empty() || open.back() != closing)
                        return fail ("close tag does not match its element");
                    open.pop_back();
                    if (open.empty())
                    {
                        rootDone = true;
                        break;
                    }
                }
                else
                    break; // a child element
            }
        }

        if (! skipMisc (false))
            return false;
        if (! atEnd())
            return fail ("content after the root element");
        return true;
    }
};

//==============================================================================
// Checking and parsing

bool check (const void* data, size_t size, int maxDepth, bool allowDoctype, juce::String& error,
            const AttributeVisitor* visitor = nullptr)
{
    error.clear();
    const auto* text = static_cast<const char*> (data);
    if (size == 0 || text == nullptr)
    {
        error = "empty document";
        return false;
    }
    if (std::string_view (text, size).find ('\0') != std::string_view::npos)
    {
        error = "NUL byte in document";
        return false;
    }
    if (size > (size_t) std::numeric_limits<int>::max() || ! utf8::isValid (data, size))
    {
        error = "document is not valid UTF-8";
        return false;
    }

    Scanner scanner { text, text + size, allowDoctype, false, {}, visitor, text };
    if (! scanner.readDocument (maxDepth))
    {
        error = scanner.error;
        return false;
    }
    return true;
}

std::unique_ptr<juce::XmlElement> parseChecked (const void* data, size_t size, int maxDepth, bool allowDoctype, juce::String& error)
{
    if (! check (data, size, maxDepth, allowDoctype, error))
        return {};

    auto root = juce::XmlDocument::parse (juce::String::fromUTF8 (static_cast<const char*> (data), (int) size));
    if (root == nullptr)
        error = "document did not parse";
    return root;
}

} // namespace

std::unique_ptr<juce::XmlElement> parseText (const juce::String& text, size_t size, int maxDepth, juce::String& error)
{
    if (! check (text.toRawUTF8(), size, maxDepth, false, error))
        return {};

    auto root = juce::XmlDocument::parse (text);
    if (root == nullptr)
        error = "document did not parse";
    return root;
}

bool isWellFormed (const void* data, size_t size, int maxDepth, juce::String& error, const AttributeVisitor& visitor)
{
    return check (data, size, maxDepth, false, error, &visitor);
}

bool isWellFormed (const void* data, size_t size, int maxDepth, juce::String& error)
{
    return check (data, size, maxDepth, false, error);
}

std::unique_ptr<juce::XmlElement> parse (const void* data, size_t size, int maxDepth, juce::String& error)
{
    return parseChecked (data, size, maxDepth, false, error);
}

bool isWellFormedAllowingExternalDoctype (const void* data, size_t size, int maxDepth, juce::String& error)
{
    return check (data, size, maxDepth, true, error);
}

std::unique_ptr<juce::XmlElement> parseAllowingExternalDoctype (const void* data, size_t size, int maxDepth, juce::String& error)
{
    return parseChecked (data, size, maxDepth, true, error);
}

} // namespace vornconv::strictXml
