#include "readers/ReaperRppReader.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vornconv
{

namespace
{

// ---- text layer -------------------------------------------------------------------------------

const char* const base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value (juce::juce_wchar c) noexcept
{
    if (c >= 'A' && c <= 'Z') return (int) (c - 'A');
    if (c >= 'a' && c <= 'z') return (int) (c - 'a') + 26;
    if (c >= '0' && c <= '9') return (int) (c - '0') + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Plain RFC 4648 decoding of whole four-character units with at most two trailing "=" in the
// last unit; false on anything else.
bool decodeBase64Units (const std::string& text, std::vector<juce::uint8>& out)
{
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    out.reserve (text.size() / 4 * 3);
    for (size_t i = 0; i < text.size(); i += 4)
    {
        int v[4];
        int pad = 0;
        for (int k = 0; k < 4; ++k)
        {
            const auto c = (juce::juce_wchar) (unsigned char) text[i + (size_t) k];
            if (c == '=')
            {
                if (i + 4 != text.size() || k < 2)
                    return false;
                v[k] = 0;
                ++pad;
                continue;
            }
            if (pad > 0)
                return false;
            v[k] = base64Value (c);
            if (v[k] < 0)
                return false;
        }
        const juce::uint32 word = ((juce::uint32) v[0] << 18) | ((juce::uint32) v[1] << 12)
                                | ((juce::uint32) v[2] << 6) | (juce::uint32) v[3];
        out.push_back ((juce::uint8) (word >> 16));
        if (pad < 2) out.push_back ((juce::uint8) (word >> 8));
        if (pad < 1) out.push_back ((juce::uint8) word);
    }
    return true;
}

std::string encodeBase64 (const juce::uint8* data, size_t size)
{
    std::string text;
    text.reserve ((size + 2) / 3 * 4);
    for (size_t i = 0; i < size; i += 3)
    {
        const size_t n = juce::jmin ((size_t) 3, size - i);
        juce::uint32 word = (juce::uint32) data[i] << 16;
        if (n > 1) word |= (juce::uint32) data[i + 1] << 8;
        if (n > 2) word |= (juce::uint32) data[i + 2];
        text += base64Alphabet[(word >> 18) & 63];
        text += base64Alphabet[(word >> 12) & 63];
        text += n > 1 ? base64Alphabet[(word >> 6) & 63] : '=';
        text += n > 2 ? base64Alphabet[word & 63] : '=';
    }
    return text;
}

// The first token of a line by the rules of tokenise, without building the others.
juce::String firstToken (const juce::String& line)
{
    juce::String token;
    bool quoted = false;
    auto runStart = line.getCharPointer();
    bool inRun = false;
    auto p = line.getCharPointer();
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        const bool quote = c == '"';
        const bool separator = ! quoted && ! quote && juce::CharacterFunctions::isWhitespace (c);
        if (quote || separator)
        {
            if (inRun)
                token += juce::String (runStart, p);
            inRun = false;
            if (quote)
                quoted = ! quoted;
            else if (token.isNotEmpty())
                return token;
            continue;
        }
        if (! inRun)
        {
            runStart = p;
            inRun = true;
        }
    }
    if (inRun)
        token += juce::String (runStart, p);
    return token;
}

struct OpenBlock
{
    RppNode node;
    juce::StringArray pendingBypass;
};

RppNode openNode (const juce::String& line)
{
    RppNode node;
    auto tokens = tokenise (line.substring (1));
    if (! tokens.isEmpty())
    {
        node.tag = tokens[0];
        tokens.remove (0);
        node.params = std::move (tokens);
    }
    return node;
}

// Body line bookkeeping: BYPASS values wait for the next child, FXID goes to the last child.
void takeBodyLine (OpenBlock& block, const juce::String& line)
{
    block.node.lines.add (line);
    const auto first = firstToken (line);
    if (first == "BYPASS")
    {
        auto tokens = tokenise (line);
        tokens.remove (0);
        block.pendingBypass = std::move (tokens);
    }
    else if (first == "FXID")
    {
        const auto tokens = tokenise (line);
        if (tokens.size() == 2 && ! block.node.children.empty())
            block.node.children.back().fxid = tokens[1];
    }
}

// ---- stable ids -------------------------------------------------------------------------------

const char* const trackIdTag = "564F524E52505401";
const char* const fxIdTag = "564F524E52505001";

juce::String guidText (const char* tag, juce::uint32 a, juce::uint32 b, juce::uint32 c)
{
    char fields[32];
    std::snprintf (fields, sizeof (fields), "%08X%04X%04X", (unsigned) a, (unsigned) (b & 0xFFFFu), (unsigned) (c & 0xFFFFu));
    const juce::String digits = juce::String (tag) + juce::String (fields);
    return "{" + digits.substring (0, 8) + "-" + digits.substring (8, 12) + "-" + digits.substring (12, 16)
         + "-" + digits.substring (16, 20) + "-" + digits.substring (20, 32) + "}";
}

} // namespace

juce::StringArray tokenise (const juce::String& line)
{
    juce::StringArray tokens;
    juce::String current;
    bool quoted = false;
    auto runStart = line.getCharPointer();
    bool inRun = false;
    auto flushRun = [&] (juce::CharPointer_UTF8 end)
    {
        if (inRun)
            current += juce::String (runStart, end);
        inRun = false;
    };
    auto p = line.getCharPointer();
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c == '"')
        {
            flushRun (p);
            quoted = ! quoted;
            continue;
        }
        if (! quoted && juce::CharacterFunctions::isWhitespace (c))
        {
            flushRun (p);
            if (current.isNotEmpty())
                tokens.add (current);
            current.clear();
            continue;
        }
        if (! inRun)
        {
            runStart = p;
            inRun = true;
        }
    }
    flushRun (p);
    if (current.isNotEmpty())
        tokens.add (current);
    return tokens;
}

RppNode parseBlock (const juce::StringArray& lines, int& index, bool& ok)
{
    // An explicit stack instead of recursion, so no nesting depth reaches the call stack; the depth
    // is still capped because the finished tree is freed recursively.
    std::vector<OpenBlock> open;
    open.reserve (16);
    open.push_back ({ openNode (lines[index]), {} });
    ++index;
    const int count = lines.size();
    while (index < count)
    {
        const auto& line = lines.getReference (index);
        if (line == ">")
        {
            ++index;
            OpenBlock done = std::move (open.back());
            open.pop_back();
            if (open.empty())
                return std::move (done.node);
            auto& parent = open.back();
            done.node.bypass = std::move (parent.pendingBypass);
            parent.pendingBypass.clear();
            parent.node.children.push_back (std::move (done.node));
            continue;
        }
        if (line.startsWithChar ('<'))
        {
            if ((int) open.size() >= maxRppBlockDepth)
            {
                index = count;
                break;
            }
            open.push_back ({ openNode (line), {} });
            ++index;
            continue;
        }
        takeBodyLine (open.back(), line);
        ++index;
    }

    // Out of lines (or too deep): close what is open so the caller still gets the partial tree.
    ok = false;
    while (open.size() > 1)
    {
        OpenBlock done = std::move (open.back());
        open.pop_back();
        auto& parent = open.back();
        done.node.bypass = std::move (parent.pendingBypass);
        parent.pendingBypass.clear();
        parent.node.children.push_back (std::move (done.node));
    }
    return std::move (open.back().node);
}

int countCommand (const RppNode& node, juce::StringRef name)
{
    int n = 0;
    for (const auto& line : node.lines)
        if (firstToken (line) == name)
            ++n;
    return n;
}

juce::StringArray findCommand (const RppNode& node, juce::StringRef name)
{
    for (const auto& line : node.lines)
    {
        if (firstToken (line) == name)
        {
            auto tokens = tokenise (line);
            tokens.remove (0);
            return tokens;
        }
    }
    return {};
}

bool hasExactUniqueCommand (const RppNode& node, juce::StringRef name, juce::StringRef line)
{
    if (countCommand (node, name) != 1)
        return false;
    for (const auto& own : node.lines)
        if (own == line)
            return true;
    return false;
}

bool parseStrictInt (const juce::String& text, int& out)
{
    auto p = text.getCharPointer();
    bool negative = false;
    if (*p == '-')
    {
        negative = true;
        ++p;
    }
    if (p.isEmpty())
        return false;
    juce::int64 value = 0;
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (c - '0');
        if (value > ((juce::int64) 1 << 31))
            return false;
    }
    if (! negative && value > 2147483647)
        return false;
    out = (int) (negative ? -value : value);
    return true;
}

bool parseStrictDouble (const juce::String& text, double& out)
{
    if (text.isEmpty())
        return false;
    const std::string utf8 = text.toStdString();
    const char* begin = utf8.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod (begin, &end);
    if (errno == ERANGE || end != begin + utf8.size() || ! std::isfinite (value))
        return false;
    out = value;
    return true;
}

bool parseUnsignedDecimal (const juce::String& text, juce::uint32& out)
{
    auto p = text.getCharPointer();
    if (p.isEmpty())
        return false;
    juce::uint64 value = 0;
    for (; ! p.isEmpty(); ++p)
    {
        const auto c = *p;
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + (juce::uint64) (c - '0');
        if (value > 4294967295ull)
            return false;
    }
    out = (juce::uint32) value;
    return true;
}

bool decodeReaperPluginLines (const RppNode& node, juce::MemoryBlock& out, juce::String& error)
{
    juce::MemoryOutputStream decoded;
    auto finish = [&] (bool ok, const char* message)
    {
        out.reset();
        if (decoded.getDataSize() > 0)
            out.append (decoded.getData(), decoded.getDataSize());
        if (! ok)
            error = message;
        return ok;
    };

    std::vector<juce::uint8> unit;
    for (const auto& line : node.lines)
    {
        const std::string text = line.toStdString();
        if (text.empty() || text.size() % 4 != 0)
            return finish (false, "base64 line length is invalid");
        size_t padding = 0;
        for (const char ch : text)
        {
            if (ch == '=')
                ++padding;
            else if (padding > 0 || base64Value ((juce::juce_wchar) (unsigned char) ch) < 0)
                return finish (false, "base64 line contains invalid characters or padding");
        }
        if (padding >= 3)
            return finish (false, "base64 line has excessive padding");
        const size_t expected = text.size() / 4 * 3 - padding;
        if (expected > maxReaperPluginStateBytes - decoded.getDataSize())
            return finish (false, "decoded VST3 state exceeds limit");
        if (! decodeBase64Units (text, unit))
            return finish (false, "base64 line decode failed");
        if (encodeBase64 (unit.data(), unit.size()) != text)
            return finish (false, "base64 line is not canonical");
        if (unit.size() != expected)
            return finish (false, "base64 decoded length is inconsistent");
        if (! unit.empty())
            decoded.write (unit.data(), unit.size());
    }
    if (decoded.getDataSize() == 0)
        return finish (false, "VST3 state block is empty");
    return finish (true, "");
}

juce::String makeReaperStableTrackId (int trackIndex)
{
    const auto track = (juce::uint32) trackIndex;
    return guidText (trackIdTag, track, 0, track * 257u + 0x5A3Cu);
}

juce::String makeReaperStableFxId (int track, int slot)
{
    const auto t = (juce::uint32) track;
    const auto s = (juce::uint32) slot;
    return guidText (fxIdTag, t, s, t * 257u + s * 17u + 0xA5C3u);
}

bool parseReaperStableFxId (juce::StringRef text, int& track, int& slot)
{
    const auto digits = juce::String (text).trim().removeCharacters ("{}-").toUpperCase();
    if (digits.length() != 32 || ! digits.startsWith (fxIdTag) || ! digits.containsOnly ("0123456789ABCDEF"))
        return false;
    const auto t = (juce::uint32) digits.substring (16, 24).getHexValue64();
    const auto s = (juce::uint32) digits.substring (24, 28).getHexValue64();
    const auto check = (juce::uint32) digits.substring (28, 32).getHexValue64();
    if (t >= 0x80000000u || s >= 0x80000000u)
        return false;
    if (((check ^ (t * 257u + s * 17u + 0xA5C3u)) & 0xFFFFu) != 0)
        return false;
    track = (int) t;
    slot = (int) s;
    return true;
}

} // namespace vornconv
