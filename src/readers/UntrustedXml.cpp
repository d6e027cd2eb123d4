#include "readers/UntrustedXml.h"

#include <cstring>

namespace vornconv
{

namespace
{

bool startsWith (const char* p, const char* end, const char* word)
{
    const auto n = std::strlen (word);
    return (size_t) (end - p) >= n && std::memcmp (p, word, n) == 0;
}

// Position just past the first occurrence of terminator at or after p, or nullptr.
const char* skipPast (const char* p, const char* end, const char* terminator)
{
    const auto n = std::strlen (terminator);
    for (; (size_t) (end - p) >= n; ++p)
        if (std::memcmp (p, terminator, n) == 0)
            return p + n;
    return nullptr;
}

bool isBlank (char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool checkStructure (const char* p, const char* end, int maxDepth, juce::String& error)
{
    if (startsWith (p, end, "\xEF\xBB\xBF"))
        p += 3; // a UTF-8 byte-order mark
    int depth = 0;
    bool rootSeen = false;
    while (p < end)
    {
        if (*p != '<')
        {
            if (depth == 0 && ! isBlank (*p))
            {
                error = "text outside the root element";
                return false;
            }
            ++p;
            continue;
        }
        const char* next = nullptr;
        if (startsWith (p, end, "<?"))
        {
            next = skipPast (p + 2, end, "?>");
        }
        else if (startsWith (p, end, "<!--"))
        {
            next = skipPast (p + 4, end, "-->");
        }
        else if (startsWith (p, end, "<![CDATA["))
        {
            if (depth == 0)
            {
                error = "text outside the root element";
                return false;
            }
            next = skipPast (p + 9, end, "]]>");
        }
        else if (startsWith (p, end, "<!"))
        {
            error = "document type declarations are refused";
            return false;
        }
        else if (startsWith (p, end, "</"))
        {
            next = skipPast (p + 2, end, ">");
            if (--depth < 0)
            {
                error = "unbalanced end tag";
                return false;
            }
        }
        else
        {
            if (depth == 0 && rootSeen)
            {
                error = "more than one root element";
                return false;
            }
            rootSeen = true;
            char quote = 0;
            const char* q = p + 1;
            for (; q < end; ++q)
            {
                if (quote != 0)
                {
                    if (*q == quote)
                        quote = 0;
                }
                else if (*q == '"' || *q == '\'')
                {
                    quote = *q;
                }
                else if (*q == '>')
                {
                    break;
                }
            }
            if (q >= end)
            {
                error = "unterminated start tag";
                return false;
            }
            if (q[-1] != '/' && ++depth > maxDepth)
            {
                error = "elements are nested too deeply";
                return false;
            }
            next = q + 1;
        }
        if (next == nullptr)
        {
            error = "unterminated markup";
            return false;
        }
        p = next;
    }
    if (! rootSeen || depth != 0)
    {
        error = rootSeen ? "unclosed element" : "no root element";
        return false;
    }
    return true;
}

} // namespace

bool parseUntrustedXml (const char* utf8, size_t numBytes, int maxDepth,
                        std::unique_ptr<juce::XmlElement>& out, juce::String& error)
{
    out.reset();
    error.clear();
    if (utf8 == nullptr || numBytes == 0)
    {
        error = "empty document";
        return false;
    }
    if (numBytes > (size_t) std::numeric_limits<int>::max() - 1
        || ! juce::CharPointer_UTF8::isValidString (utf8, (int) numBytes)
        || std::memchr (utf8, 0, numBytes) != nullptr)
    {
        error = "document is not UTF-8 text";
        return false;
    }
    if (! checkStructure (utf8, utf8 + numBytes, maxDepth, error))
        return false;
    if (startsWith (utf8, utf8 + numBytes, "\xEF\xBB\xBF"))
    {
        utf8 += 3; // JUCE takes a byte-order mark in a text as content before the root
        numBytes -= 3;
    }

    juce::XmlDocument document (juce::String::fromUTF8 (utf8, (int) numBytes));
    auto root = document.getDocumentElement();
    if (root == nullptr || document.getLastParseError().isNotEmpty())
    {
        error = document.getLastParseError().isNotEmpty() ? document.getLastParseError() : juce::String ("no root element");
        return false;
    }
    out = std::move (root);
    return true;
}

} // namespace vornconv
