// The bounded parse of untrusted JSON, the strict parse of selection files, and the JSON writer on
// whatever they give: every document the program prints must be valid JSON (RFC 8259), checked
// here by a plain validator. The strict parse takes only what that validator takes, and refuses
// a valid document only for a rule of its own (a repeated key, a number it cannot hold, ...).

#include "FuzzSupport.h"

#include <cctype>

#include "model/JsonWriter.h"
#include "model/StrictJson.h"
#include "model/Utf8Text.h"

using namespace vornconv;

namespace
{

constexpr int maxDepth = 32;

// A strict RFC 8259 validator over bytes that are already well-formed UTF-8.
struct JsonValidator
{
    const char* p;
    const char* end;

    void space()
    {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r'))
            ++p;
    }

    bool literal (const char* word)
    {
        const auto n = std::strlen (word);
        if ((size_t) (end - p) < n || std::memcmp (p, word, n) != 0)
            return false;
        p += n;
        return true;
    }

    bool digits()
    {
        const auto* start = p;
        while (p < end && *p >= '0' && *p <= '9')
            ++p;
        return p > start;
    }

    bool number()
    {
        if (p < end && *p == '-')
            ++p;
        if (p < end && *p == '0')
            ++p;
        else if (p >= end || *p < '1' || *p > '9' || ! digits())
            return false;
        if (p < end && *p == '.')
        {
            ++p;
            if (! digits())
                return false;
        }
        if (p < end && (*p == 'e' || *p == 'E'))
        {
            ++p;
            if (p < end && (*p == '+' || *p == '-'))
                ++p;
            if (! digits())
                return false;
        }
        return true;
    }

    bool string()
    {
        if (p >= end || *p != '"')
            return false;
        ++p;
        while (p < end)
        {
            const auto c = (unsigned char) *p++;
            if (c == '"')
                return true;
            if (c < 0x20)
                return false;
            if (c != '\\')
                continue;
            if (p >= end)
                return false;
            const char e = *p++;
            if (e == 'u')
            {
                for (int i = 0; i < 4; ++i, ++p)
                    if (p >= end || ! std::isxdigit ((unsigned char) *p))
                        return false;
            }
            else if (std::strchr ("\"\\/bfnrt", e) == nullptr || e == '\0')
            {
                return false;
            }
        }
        return false;
    }

    bool value (int depth)
    {
        space();
        if (p >= end || depth > 200)
            return false;
        const char c = *p;
        bool ok = false;
        if (c == '{' || c == '[')
        {
            const char close = c == '{' ? '}' : ']';
            ++p;
            space();
            if (p < end && *p == close)
            {
                ++p;
                ok = true;
            }
            else
            {
                for (;;)
                {
                    if (c == '{')
                    {
                        space();
                        if (! string())
                            return false;
                        space();
                        if (p >= end || *p++ != ':')
                            return false;
                    }
                    if (! value (depth + 1))
                        return false;
                    space();
                    if (p < end && *p == ',')
                    {
                        ++p;
                        continue;
                    }
                    if (p < end && *p == close)
                    {
                        ++p;
                        ok = true;
                    }
                    break;
                }
            }
        }
        else if (c == '"')
            ok = string();
        else if (c == 't')
            ok = literal ("true");
        else if (c == 'f')
            ok = literal ("false");
        else if (c == 'n')
            ok = literal ("null");
        else
            ok = number();
        space();
        return ok;
    }

    static bool isDocument (const juce::String& text)
    {
        JsonValidator v { text.toRawUTF8(), text.toRawUTF8() + text.getNumBytesAsUTF8() };
        return v.value (0) && v.p == v.end;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::String text;
    if (! utf8::toText (data, size, text))
        return 0;

    juce::String reason;
    const auto strict = json::parseStrictJson (text, 1 << 20, maxDepth, reason);
    const bool valid = JsonValidator::isDocument (text);
    if (reason.isEmpty())
    {
        FUZZ_CHECK (valid);
        FUZZ_CHECK (JsonValidator::isDocument (json::toJsonLine (strict)));
    }
    else
    {
        FUZZ_CHECK (strict.isVoid() && utf8::isValid (reason.toRawUTF8(), reason.getNumBytesAsUTF8()) && ! reason.containsChar ('\n'));
        if (valid)
        {
            const char* const ownRules[] = { "duplicate key", "empty key", "integer out of range", "number out of range", "unpaired surrogate",
                                             "a NUL character", "nesting deeper than", "an object with more than", "more than " };
            bool own = false;
            for (const auto* rule : ownRules)
                own = own || reason.startsWith (rule);
            if (! own)
                std::fprintf (stderr, "refused: %s\n", reason.toRawUTF8());
            FUZZ_CHECK (own);
        }
    }

    const auto parsed = json::parseBoundedJson (text, 1 << 20, maxDepth);
    if (parsed.isVoid())
        return 0;

    const auto line = json::toJsonLine (parsed);
    if (! JsonValidator::isDocument (line))
    {
        std::fprintf (stderr, "written: %s\n", line.toRawUTF8());
        FUZZ_CHECK (! "the JSON writer wrote a document that is not JSON");
    }
    FUZZ_CHECK (! line.containsChar ('\n'));

    // Every string the parse produced is quoted into valid JSON as well.
    if (parsed.isString())
        FUZZ_CHECK (JsonValidator::isDocument (json::jsonQuoted (parsed.toString())));
    return 0;
}
