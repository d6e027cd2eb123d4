// The REAPER project text, spoken by both the reader and the writer, so that every line form is
// spelled once. The reader's side works on the bytes of the whole file: lines are spans of those
// bytes, the block tree records byte positions, and every walk is linear in the bytes it covers;
// the long base64 lines of plug-in states are crossed eight bytes at a time and decoded through
// tables.
//
// The private helpers come first (line ends, base64, stable ids, routing line forms); then the
// functions of ReaperRppText.h, under that header's own section names.
//
// In this file, in order:
//   - line ends: the next CR or LF, eight bytes at a time.
//   - base64: the tables, the encoder and the strict one-line decoder with its refusals.
//   - stable ids: the GUID text of a converter id and hexadecimal digits.
//   - routing line forms: the fixed token forms of REC, HWOUT and AUXRECV, written and matched.
//   - lines and tokens
//   - blocks: the block tree, its nodes and walks, and the commands in a block's body.
//   - strict values
//   - base64 bodies: the base64 lines of a plug-in block, decoded and written.
//   - stable ids: the converter's track and effect ids.
//   - the converter's EXT markers
//   - routing lines of fixed form: with the BYPASS, FXID, FX and VST lines.

#include "readers/ReaperRppText.h"

#include "model/StrictDecimal.h"
#include "model/Utf8Text.h"
#include "model/Vst3ClassId.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vornconv
{

namespace
{

// ---- line ends ---------------------------------------------------------------------------------

bool isSpace (char c) noexcept
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool isLineEnd (char c) noexcept
{
    return c == '\n' || c == '\r';
}

// The first CR or LF at or after from, or size. Eight bytes at a time: only a word that holds a
// byte below 14 (a line end, a TAB, a control character) is looked at byte by byte, so the long
// lines of plug-in states pass at memory speed.
size_t findLineEnd (const char* data, size_t from, size_t size) noexcept
{
    constexpr juce::uint64 ones = 0x0101010101010101ull;
    constexpr juce::uint64 highs = 0x8080808080808080ull;
    size_t i = from;
    while (i + 8 <= size)
    {
        juce::uint64 word;
        std::memcpy (&word, data + i, 8);
        if (((word - ones * 14) & ~word & highs) != 0)
        {
            for (size_t k = 0; k < 8; ++k)
                if (isLineEnd (data[i + k]))
                    return i + k;
        }
        i += 8;
    }
    while (i < size && ! isLineEnd (data[i]))
        ++i;
    return i;
}

// ---- base64 ------------------------------------------------------------------------------------

const char* const base64Alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

struct Base64Table
{
    signed char value[256];

    Base64Table() noexcept
    {
        std::memset (value, -1, sizeof (value));
        for (int i = 0; i < 64; ++i)
            value[(unsigned char) base64Alphabet[i]] = (signed char) i;
    }
};

const Base64Table& base64Table() noexcept
{
    static const Base64Table table;
    return table;
}

// Pairs of base64 characters for every 12-bit value: two lookups per three bytes.
struct Base64Pairs
{
    char pair[4096][2];

    Base64Pairs() noexcept
    {
        for (int v = 0; v < 4096; ++v)
        {
            pair[v][0] = base64Alphabet[v >> 6];
            pair[v][1] = base64Alphabet[v & 63];
        }
    }
};

const Base64Pairs& base64Pairs() noexcept
{
    static const Base64Pairs pairs;
    return pairs;
}

// Encodes size bytes into out (which has room for (size + 2) / 3 * 4 characters).
void encodeBase64 (const juce::uint8* data, size_t size, char* out) noexcept
{
    const auto& pairs = base64Pairs().pair;
    size_t i = 0;
    for (; i + 3 <= size; i += 3)
    {
        const juce::uint32 word = ((juce::uint32) data[i] << 16) | ((juce::uint32) data[i + 1] << 8) | data[i + 2];
        std::memcpy (out, pairs[word >> 12], 2);
        std::memcpy (out + 2, pairs[word & 0xFFF], 2);
        out += 4;
    }
    if (i < size)
    {
        const bool two = size - i == 2;
        const juce::uint32 word = ((juce::uint32) data[i] << 16) | (two ? (juce::uint32) data[i + 1] << 8 : 0u);
        *out++ = base64Alphabet[(word >> 18) & 63];
        *out++ = base64Alphabet[(word >> 12) & 63];
        *out++ = two ? base64Alphabet[(word >> 6) & 63] : '=';
        *out++ = '=';
    }
}

std::string encodeBase64 (const juce::MemoryBlock& bytes)
{
    std::string text ((bytes.getSize() + 2) / 3 * 4, '\0');
    if (! text.empty())
        encodeBase64 (static_cast<const juce::uint8*> (bytes.getData()), bytes.getSize(), text.data());
    return text;
}

// The decoded size of one strict base64 line, or the refusal met before decoding.
const char* checkBase64Line (std::string_view line, size_t& decodedSize) noexcept
{
    if (line.empty() || line.size() % 4 != 0)
        return "base64 line length is invalid";
    const auto& table = base64Table();
    size_t padding = 0;
    for (const char ch : line)
    {
        if (ch == '=')
            ++padding;
        else if (padding > 0 || table.value[(unsigned char) ch] < 0)
            return "base64 line contains invalid characters or padding";
    }
    if (padding >= 3)
        return "base64 line has excessive padding";
    decodedSize = line.size() / 4 * 3 - padding;
    return nullptr;
}

// Decodes a line of whole units whose trailing "=" (at most two) have been counted into out:
// 0 when it is strict base64 and canonical, 1 when a character is not base64 (or a "=" stands
// before the end), 2 when the bits below the last unit's bytes are not zero.
int decodeBase64Line (std::string_view line, size_t padding, juce::uint8* out) noexcept
{
    const auto& table = base64Table();
    const auto* p = reinterpret_cast<const unsigned char*> (line.data());
    const size_t units = line.size() / 4;
    int invalid = 0;
    for (size_t u = 0; u + 1 < units; ++u, p += 4)
    {
        const int a = table.value[p[0]], b = table.value[p[1]], c = table.value[p[2]], d = table.value[p[3]];
        invalid |= a | b | c | d;
        const juce::uint32 word = ((juce::uint32) a << 18) | ((juce::uint32) b << 12) | ((juce::uint32) c << 6) | (juce::uint32) d;
        *out++ = (juce::uint8) (word >> 16);
        *out++ = (juce::uint8) (word >> 8);
        *out++ = (juce::uint8) word;
    }
    const int pad = (int) padding;
    const int a = table.value[p[0]], b = table.value[p[1]];
    const int c = pad < 2 ? table.value[p[2]] : 0;
    const int d = pad < 1 ? table.value[p[3]] : 0;
    if ((invalid | a | b | c | d) < 0)
        return 1;
    const juce::uint32 word = ((juce::uint32) a << 18) | ((juce::uint32) b << 12) | ((juce::uint32) c << 6) | (juce::uint32) d;
    *out++ = (juce::uint8) (word >> 16);
    if (pad < 2) *out++ = (juce::uint8) (word >> 8);
    if (pad < 1) *out++ = (juce::uint8) word;
    const juce::uint32 unusedBits = pad == 2 ? 0xFFFFu : (pad == 1 ? 0xFFu : 0u);
    return (word & unusedBits) == 0 ? 0 : 2;
}

// ---- stable ids --------------------------------------------------------------------------------

const char* const trackIdTag = "564F524E52505401";
const char* const fxIdTag = "564F524E52505001";

juce::String guidText (const char* tag, juce::uint32 a, juce::uint32 b, juce::uint32 c)
{
    char digits[40];
    std::snprintf (digits, sizeof (digits), "%s%08X%04X%04X", tag, (unsigned) a, (unsigned) (b & 0xFFFFu),
                   (unsigned) (c & 0xFFFFu));
    char guid[40];
    std::snprintf (guid, sizeof (guid), "{%.8s-%.4s-%.4s-%.4s-%.12s}", digits, digits + 8, digits + 12, digits + 16,
                   digits + 20);
    return juce::String (guid);
}

int hexValue (char c) noexcept
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

juce::uint32 hexNumber (const char* digits, int count) noexcept
{
    juce::uint32 value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 4) | (juce::uint32) hexValue (digits[i]);
    return value;
}

// ---- routing line forms ------------------------------------------------------------------------

// The value positions of a form are "%"; every other token must be matched exactly.
const char* const recForm[] = { "0", "%", "1", "0", "0", "0", "0", "0" };
const char* const hwOutForm[] = { "%", "0", "1", "0", "0", "0", "%", "-1:U", "-1" };
const char* const auxRecvForm[] = { "%", "0", "1", "0", "0", "0", "0", "0", "2", "-1:U", "31", "-1", "''" };

template <size_t N>
juce::String formatLine (const char* command, const char* const (&form)[N], std::initializer_list<juce::String> values)
{
    juce::String line (command);
    auto value = values.begin();
    for (const char* token : form)
        line << " " << (std::strcmp (token, "%") == 0 ? *value++ : juce::String (token));
    return line;
}

template <size_t N>
bool matchForm (const std::vector<std::string>& values, const char* const (&form)[N], std::vector<const std::string*>& slots)
{
    if (values.size() != N)
        return false;
    slots.clear();
    for (size_t i = 0; i < N; ++i)
    {
        if (std::strcmp (form[i], "%") == 0)
            slots.push_back (&values[i]);
        else if (values[i] != form[i])
            return false;
    }
    return true;
}

} // namespace

// ---- lines and tokens --------------------------------------------------------------------------

std::string_view trimRppLine (std::string_view line) noexcept
{
    size_t start = 0, end = line.size();
    while (start < end && isSpace (line[start]))
        ++start;
    while (end > start && isSpace (line[end - 1]))
        --end;
    return line.substr (start, end - start);
}

bool nextRppLine (std::string_view text, size_t& pos, std::string_view& line) noexcept
{
    const size_t size = text.size();
    const char* data = text.data();
    while (pos < size)
    {
        const size_t start = pos;
        const size_t end = findLineEnd (data, start, size);
        pos = end;
        if (pos < size)
        {
            if (data[pos] == '\r' && pos + 1 < size && data[pos + 1] == '\n')
                ++pos;
            ++pos;
        }
        const auto trimmed = trimRppLine (text.substr (start, end - start));
        if (! trimmed.empty())
        {
            line = trimmed;
            return true;
        }
    }
    return false;
}

std::vector<std::string> tokenise (std::string_view line)
{
    std::vector<std::string> tokens;
    std::string current;
    bool quoted = false;
    for (const char c : line)
    {
        if (c == '"')
        {
            quoted = ! quoted;
            continue;
        }
        if (! quoted && isSpace (c))
        {
            if (! current.empty())
                tokens.push_back (std::move (current));
            current.clear();
            continue;
        }
        current += c;
    }
    if (! current.empty())
        tokens.push_back (std::move (current));
    return tokens;
}

bool firstTokenIs (std::string_view line, std::string_view name)
{
    // Compares while tokenising, so a line that differs early (a base64 line, say) costs a byte.
    size_t matched = 0;
    bool quoted = false;
    for (const char c : line)
    {
        if (c == '"')
        {
            quoted = ! quoted;
            continue;
        }
        if (! quoted && isSpace (c))
        {
            if (matched > 0)
                return matched == name.size();
            continue;
        }
        if (matched >= name.size() || name[matched] != c)
            return false;
        ++matched;
    }
    return matched > 0 && matched == name.size();
}

// ---- blocks ------------------------------------------------------------------------------------

bool parseRppBlock (std::string_view text, size_t& pos, RppDocument& document)
{
    document.text = text;
    if (document.blocks.empty())
    {
        // One record per opening line at most: count them first so the array is sized once. An
        // opening line is a "<" with nothing but whitespace before it on its line; plug-in states
        // hold no "<", so the search skips them whole.
        size_t openings = 0;
        const char* data = text.data();
        for (const char* at = data + pos; (at = static_cast<const char*> (std::memchr (at, '<', (size_t) (data + text.size() - at)))) != nullptr; ++at)
        {
            const char* before = at;
            while (before > data + pos && isSpace (before[-1]) && ! isLineEnd (before[-1]))
                --before;
            openings += before == data + pos || isLineEnd (before[-1]) ? 1 : 0;
        }
        document.blocks.reserve (openings);
    }

    std::vector<juce::uint32> open;
    std::string_view line;
    if (! nextRppLine (text, pos, line) || line[0] != '<')
        return false;
    auto startBlock = [&] (std::string_view opening)
    {
        RppBlock block;
        block.openAt = (juce::uint32) (opening.data() - text.data());
        block.closeAt = (juce::uint32) text.size();
        open.push_back ((juce::uint32) document.blocks.size());
        document.blocks.push_back (block);
    };
    auto finishBlock = [&] (juce::uint32 closeAt)
    {
        const auto index = open.back();
        open.pop_back();
        auto& block = document.blocks[index];
        block.closeAt = closeAt;
        block.descendants = (juce::uint32) (document.blocks.size() - index - 1);
    };

    startBlock (line);
    while (nextRppLine (text, pos, line))
    {
        if (line == ">")
        {
            finishBlock ((juce::uint32) (line.data() - text.data()));
            if (open.empty())
                return true;
            continue;
        }
        if (line[0] == '<')
        {
            if ((int) open.size() >= maxRppBlockDepth)
            {
                pos = text.size();
                break;
            }
            startBlock (line);
        }
    }
    while (! open.empty())
        finishBlock ((juce::uint32) text.size());
    return false;
}

RppNode rppRoot (const RppDocument& document)
{
    return { &document, 0 };
}

std::string_view rppOpeningLine (RppNode node)
{
    const auto& text = node.document->text;
    size_t pos = node.document->blocks[node.index].openAt;
    std::string_view line;
    nextRppLine (text, pos, line);
    return line;
}

std::string rppTag (RppNode node)
{
    auto tokens = tokenise (rppOpeningLine (node).substr (1));
    return tokens.empty() ? std::string() : std::move (tokens[0]);
}

std::vector<std::string> rppParams (RppNode node)
{
    auto tokens = tokenise (rppOpeningLine (node).substr (1));
    if (! tokens.empty())
        tokens.erase (tokens.begin());
    return tokens;
}

bool rppHasChildren (RppNode node)
{
    return node.document->blocks[node.index].descendants > 0;
}

RppWalk startRppWalk (RppNode node)
{
    const auto& block = node.document->blocks[node.index];
    RppWalk walk;
    walk.node = node;
    walk.pos = block.openAt;
    std::string_view opening;
    nextRppLine (node.document->text, walk.pos, opening);
    walk.end = block.closeAt;
    walk.nextChild = node.index + 1;
    walk.childrenEnd = node.index + 1 + block.descendants;
    return walk;
}

bool nextRppItem (RppWalk& walk, RppItem& item)
{
    const auto& doc = *walk.node.document;
    const size_t childAt = walk.nextChild < walk.childrenEnd ? doc.blocks[walk.nextChild].openAt : walk.end;
    std::string_view line;
    size_t pos = walk.pos;
    // Only the span up to the next child (or the closing line) holds this node's own lines.
    if (nextRppLine (doc.text.substr (0, childAt), pos, line))
    {
        walk.pos = pos;
        item.isBlock = false;
        item.line = line;
        return true;
    }
    if (walk.nextChild >= walk.childrenEnd)
    {
        walk.pos = walk.end;
        return false;
    }
    const auto& child = doc.blocks[walk.nextChild];
    item.isBlock = true;
    item.block = { &doc, walk.nextChild };
    // Past the child's closing ">" (the rest of that line is blank).
    walk.pos = juce::jmin ((size_t) child.closeAt + 1, walk.end);
    walk.nextChild += 1 + child.descendants;
    return true;
}

int countCommand (RppNode node, std::string_view name)
{
    int n = 0;
    auto walk = startRppWalk (node);
    RppItem item;
    while (nextRppItem (walk, item))
        if (! item.isBlock && firstTokenIs (item.line, name))
            ++n;
    return n;
}

std::vector<std::string> findCommand (RppNode node, std::string_view name)
{
    auto walk = startRppWalk (node);
    RppItem item;
    while (nextRppItem (walk, item))
    {
        if (! item.isBlock && firstTokenIs (item.line, name))
        {
            auto tokens = tokenise (item.line);
            tokens.erase (tokens.begin());
            return tokens;
        }
    }
    return {};
}

bool hasExactUniqueCommand (RppNode node, std::string_view name, std::string_view line)
{
    if (countCommand (node, name) != 1)
        return false;
    auto walk = startRppWalk (node);
    RppItem item;
    while (nextRppItem (walk, item))
        if (! item.isBlock && item.line == line)
            return true;
    return false;
}

// ---- strict values -----------------------------------------------------------------------------

bool parseStrictInt (std::string_view text, int& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal (text, DecimalForm::signedDigits, -2147483648ll, 2147483647, value))
        return false;
    out = (int) value;
    return true;
}

bool parseStrictDouble (std::string_view text, double& out)
{
    if (text.empty() || text.find ('\0') != std::string_view::npos)
        return false;
    const std::string copy (text);
    const char* begin = copy.c_str();
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod (begin, &end);
    if (errno == ERANGE || end != begin + copy.size() || ! std::isfinite (value))
        return false;
    out = value;
    return true;
}

bool parseUnsignedDecimal (std::string_view text, juce::uint32& out)
{
    juce::int64 value = 0;
    if (! parseStrictDecimal (text, DecimalForm::digits, 0, 0xffffffffll, value))
        return false;
    out = (juce::uint32) value;
    return true;
}

double leadingDecimal (std::string_view text)
{
    return juceDoubleValue (text);
}

bool parseReaperIdField (std::string_view text, juce::uint32& id, juce::String& classId)
{
    const auto brace = text.find ('{');
    if (brace == std::string_view::npos || brace < 1 || text.back() != '}' || text.size() != brace + 34)
        return false;
    const auto inner = text.substr (brace + 1, 32);
    juce::uint32 value = 0;
    if (! parseUnsignedDecimal (text.substr (0, brace), value))
        return false;
    if (! isHexClassIdBytes (inner.data(), inner.size()))
        return false;
    id = value;
    classId = storedClassId (juce::String (inner.data(), inner.size()));
    return true;
}

bool rppTextValue (std::string_view bytes, juce::String& out)
{
    return utf8::toText (bytes.data(), bytes.size(), out);
}

// ---- base64 bodies -----------------------------------------------------------------------------

bool decodeReaperPluginLines (RppNode node, juce::MemoryBlock& out, juce::String& error)
{
    // Sized once, from the block's bytes (four characters give at most three bytes), and never
    // beyond the limit: a line that would cross it is refused before it is decoded.
    const auto& block = node.document->blocks[node.index];
    const size_t span = block.closeAt - block.openAt;
    out.reset();
    out.setSize (juce::jmin (span / 4 * 3 + 3, maxReaperPluginStateBytes));
    auto* data = static_cast<juce::uint8*> (out.getData());
    size_t written = 0;
    auto finish = [&] (const char* message)
    {
        out.setSize (written);
        if (message != nullptr)
            error = message;
        return message == nullptr;
    };

    auto walk = startRppWalk (node);
    RppItem item;
    while (nextRppItem (walk, item))
    {
        if (item.isBlock)
            continue;
        const auto line = item.line;
        size_t trailing = 0;
        while (trailing < line.size() && line[line.size() - 1 - trailing] == '=')
            ++trailing;
        const size_t size = line.size() / 4 * 3 - juce::jmin (trailing, (size_t) 2);
        const bool fast = ! line.empty() && line.size() % 4 == 0 && trailing <= 2 && size <= maxReaperPluginStateBytes - written;
        if (fast)
        {
            const int result = decodeBase64Line (line, trailing, data + written);
            if (result == 0)
            {
                written += size;
                continue;
            }
            if (result == 2)
                return finish ("base64 line is not canonical");
        }
        // The refusal, in the order the checks are made.
        size_t checkedSize = 0;
        if (const char* refusal = checkBase64Line (line, checkedSize))
            return finish (refusal);
        if (checkedSize > maxReaperPluginStateBytes - written)
            return finish ("decoded VST3 state exceeds limit");
        return finish ("base64 line decode failed");
    }
    if (written == 0)
        return finish ("VST3 state block is empty");
    return finish (nullptr);
}

void appendReaperBase64Lines (juce::StringArray& lines, const juce::MemoryBlock& bytes, const juce::String& indent)
{
    constexpr size_t lineBytes = 96;   // 128 characters, a whole number of units
    const auto* data = static_cast<const juce::uint8*> (bytes.getData());
    const std::string prefix = indent.toStdString();
    std::vector<char> line (prefix.size() + 128);
    std::memcpy (line.data(), prefix.data(), prefix.size());
    char* text = line.data() + prefix.size();
    lines.ensureStorageAllocated (lines.size() + (int) ((bytes.getSize() + lineBytes - 1) / lineBytes));
    for (size_t at = 0; at < bytes.getSize(); at += lineBytes)
    {
        const size_t n = juce::jmin (lineBytes, bytes.getSize() - at);
        encodeBase64 (data + at, n, text);
        lines.add (juce::String (juce::CharPointer_UTF8 (line.data()), juce::CharPointer_UTF8 (text + (n + 2) / 3 * 4)));
    }
}

juce::String reaperBase64 (const juce::MemoryBlock& bytes)
{
    const auto text = encodeBase64 (bytes);
    return juce::String (juce::CharPointer_UTF8 (text.data()), juce::CharPointer_UTF8 (text.data() + text.size()));
}

// ---- stable ids --------------------------------------------------------------------------------

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

bool parseReaperStableFxId (std::string_view text, int& track, int& slot)
{
    char digits[32];
    int count = 0;
    for (const char c : trimRppLine (text))
    {
        if (c == '{' || c == '}' || c == '-')
            continue;
        if (count == 32 || hexValue (c) < 0)
            return false;
        digits[count++] = (char) juce::CharacterFunctions::toUpperCase ((juce::juce_wchar) c);
    }
    if (count != 32 || std::memcmp (digits, fxIdTag, 16) != 0)
        return false;
    const auto t = hexNumber (digits + 16, 8);
    const auto s = hexNumber (digits + 24, 4);
    const auto check = hexNumber (digits + 28, 4);
    if (t >= 0x80000000u || s >= 0x80000000u)
        return false;
    if (((check ^ (t * 257u + s * 17u + 0xA5C3u)) & 0xFFFFu) != 0)
        return false;
    track = (int) t;
    slot = (int) s;
    return true;
}

// ---- the converter's EXT markers ---------------------------------------------------------------

juce::String utf8Hex (const juce::String& text)
{
    if (text.isEmpty())
        return "-";
    static const char* const digits = "0123456789ABCDEF";
    const auto* bytes = text.toRawUTF8();
    const size_t size = text.getNumBytesAsUTF8();
    std::string hex (size * 2, '0');
    for (size_t i = 0; i < size; ++i)
    {
        const auto b = (juce::uint8) bytes[i];
        hex[2 * i] = digits[b >> 4];
        hex[2 * i + 1] = digits[b & 15];
    }
    return juce::String (hex);
}

bool decodeMarkerText (std::string_view value, juce::String& out)
{
    if (value == "-")
    {
        out.clear();
        return true;
    }
    if (value.empty() || value.size() > (size_t) maxRppMarkerHexChars || value.size() % 2 != 0)
        return false;
    std::string raw (value.size() / 2, '\0');
    for (size_t i = 0; i < raw.size(); ++i)
    {
        const char high = value[2 * i], low = value[2 * i + 1];
        // Upper-case digits only: the text must be the one utf8Hex writes.
        if ((high >= 'a' && high <= 'f') || (low >= 'a' && low <= 'f') || hexValue (high) < 0 || hexValue (low) < 0)
            return false;
        raw[i] = (char) ((hexValue (high) << 4) | hexValue (low));
    }
    return rppTextValue (raw, out);
}

juce::String channelLayoutMarkerLine (int inputChannels, int outputChannels)
{
    return juce::String (rppMarker::channelLayout) + " " + juce::String (inputChannels) + "," + juce::String (outputChannels);
}

juce::String sharedMonoInputMarkerLine (int channel)
{
    return juce::String (rppMarker::sharedMonoInput) + " " + juce::String (channel);
}

juce::String pluginNameMarkerLine (int slot, const juce::String& name)
{
    return juce::String (rppMarker::pluginName) + juce::String (slot) + " " + utf8Hex (name);
}

juce::String pluginVendorMarkerLine (int slot, const juce::String& vendor)
{
    return juce::String (rppMarker::pluginVendor) + juce::String (slot) + " " + utf8Hex (vendor);
}

juce::String sidechainMarkerLine (int slot, int source)
{
    return juce::String (rppMarker::sidechainSlot) + juce::String (slot) + " " + juce::String (source);
}

// ---- routing lines of fixed form ---------------------------------------------------------------

const char* const defaultRecLine = "REC 0 0 1 0 0 0 0 0";
const char* const defaultPhaseLine = "IPHASE 0";
const char* const defaultPlayOffsetLine = "PLAYOFFS 0 1";

juce::String recLine (juce::int64 recordInput)
{
    return formatLine ("REC", recForm, { juce::String (recordInput) });
}

bool matchRecLine (const std::vector<std::string>& values, int& recordInput)
{
    std::vector<const std::string*> slots;
    return matchForm (values, recForm, slots) && parseStrictInt (*slots[0], recordInput);
}

juce::String hwOutLine (juce::int64 output, bool mono)
{
    return formatLine ("HWOUT", hwOutForm, { juce::String (output), mono ? "1024" : "0" });
}

bool matchHwOutLine (const std::vector<std::string>& values, int& output, int& sourceFlag)
{
    std::vector<const std::string*> slots;
    return matchForm (values, hwOutForm, slots) && parseStrictInt (*slots[0], output) && parseStrictInt (*slots[1], sourceFlag);
}

juce::String auxRecvLine (int source)
{
    return formatLine ("AUXRECV", auxRecvForm, { juce::String (source) });
}

bool matchAuxRecvLine (const std::vector<std::string>& values, int& source)
{
    std::vector<const std::string*> slots;
    return matchForm (values, auxRecvForm, slots) && parseStrictInt (*slots[0], source);
}

juce::String mainSendLine (bool hardwareOutput)
{
    return hardwareOutput ? "MAINSEND 0 0" : "MAINSEND 1 0";
}

juce::String nchanLine (bool sidechain)
{
    return sidechain ? "NCHAN 4" : "NCHAN 2";
}

juce::String bypassLine (bool off)
{
    return juce::String ("BYPASS ") + (off ? "1" : "0") + " 0 0";
}

juce::String fxIdLine (int track, int slot)
{
    return "FXID " + makeReaperStableFxId (track, slot);
}

juce::String fxLine (bool stripBypassed)
{
    return juce::String ("FX ") + (stripBypassed ? "0" : "1");
}

namespace
{
const char* const instrumentMarker = "!!!VSTi";
}

bool canQuoteInRpp (const juce::String& text)
{
    return ! text.containsAnyOf ("\"\r\n");
}

juce::String vst3DisplayName (const juce::String& cacheName)
{
    if (cacheName.endsWith (instrumentMarker))
        return "VST3i: " + cacheName.dropLastCharacters ((int) std::strlen (instrumentMarker));
    return "VST3: " + cacheName;
}

juce::String vst3Line (const juce::String& indent, const juce::String& cacheName, const juce::String& file,
                       juce::uint32 hostId, const juce::String& cid)
{
    return indent + "<VST \"" + vst3DisplayName (cacheName) + "\" \"" + file + "\" 0 \"\" " + juce::String (hostId) + "{"
         + cid + "} \"\"";
}

bool isVst3Format (std::string_view format) noexcept
{
    return format == "VST3" || format == "VST3i";
}

} // namespace vornconv
