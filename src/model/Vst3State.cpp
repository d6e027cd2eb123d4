// The codecs of a VST3 plug-in's two state streams in the wrappers hosts keep them in: JUCE's
// memory-block text ("<size>.<JUCE base64>", accepted only as JUCE itself writes it), JUCE's VST3
// state container ("VC2!" and an XML document holding both streams), SuperRack's preset text
// (standard base64 around a wrapper and a VST3 preset body) and the Steinberg chunk list that ends
// such a body. States of many megabytes pass through here, so the hot loops work on bytes: a
// table-driven base64 decoder (sixteen characters a step where the processor has SSSE3), a scan
// that reads the streams of a plainly written container in place, and a preset reader that finds
// the lines of the text in place and decodes them straight into the wrapper.
//
// In this file, in order:
//   - JUCE base64: the alphabet table and the wide and byte-wise decoders.
//   - Standard base64: JUCE's lax reading of RFC 4648 text, fed in pieces.
//   - Preset lines: the non-blank, trimmed lines of a preset text, found in place.
//   - Binary fields: little-endian integers, tags, hexadecimal digits, 128-bit bounds.
//   - Memory-block text: the strict, canonical decoding of one memory-block text.
//   - Plain containers: the in-place scan of a container as state writers produce it.
//   - Base64 and memory blocks: decodeStandardBase64 and decodeJuceMemoryBlock.
//   - JUCE's VST3 state: recognising, splitting and building the container, and writing the
//     memory-block text of a stream.
//   - SuperRack preset text: parsed (from text or from bytes) and built.
//   - Steinberg chunk list: locating the chunks, then extractSteinbergChunks copying them out of
//     the blob or cutting the component out of it.

#include "model/Vst3State.h"

#include "model/Utf8Text.h"

#include "model/LittleEndian.h"
#include "model/StrictXml.h"
#include "model/Vst3ClassId.h"

#include <cstring>
#include <limits>
#include <string_view>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
 #define VORNCONV_WIDE_BASE64 1
 #include <immintrin.h>
#endif

namespace vornconv::vst3
{

namespace
{

using int128 = __int128;

constexpr juce::int64 int64Max = std::numeric_limits<juce::int64>::max();

//==============================================================================
// JUCE base64

// A base64 alphabet as a byte table: the 6-bit value of each character, 64 for the pad character
// when the alphabet has one, or 0xFF for a byte outside the alphabet (every non-ASCII byte
// included). A valid value never has bit 7 set, so OR-ing the values of a run tells at once
// whether any of them was invalid.
struct Base64Table
{
    juce::uint8 value[256];
};

constexpr Base64Table makeBase64Table (const char (&alphabet)[65], char pad = 0)
{
    Base64Table table {};
    for (int i = 0; i < 256; ++i)
        table.value[i] = 0xFF;
    for (int i = 0; i < 64; ++i)
        table.value[(juce::uint8) alphabet[i]] = (juce::uint8) i;
    if (pad != 0)
        table.value[(juce::uint8) pad] = 64;
    return table;
}

// JUCE's memory-block alphabet.
constexpr Base64Table juceBase64 = makeBase64Table (".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+");

#if VORNCONV_WIDE_BASE64

// Sixteen characters to twelve bytes per step, while at least 32 characters remain (so the
// 16-byte store stays inside the output). Stops early at a step with any character outside the
// alphabet, leaving it to the byte-wise decoder; returns the number of characters decoded.
__attribute__ ((target ("ssse3")))
size_t decodeJuceBase64Wide (const juce::uint8* text, size_t chars, juce::uint8* dest) noexcept
{
    const auto between = [] (__m128i c, char low, char high) // low <= c <= high, for ASCII c
    {
        return _mm_and_si128 (_mm_cmpgt_epi8 (c, _mm_set1_epi8 ((char) (low - 1))), _mm_cmplt_epi8 (c, _mm_set1_epi8 ((char) (high + 1))));
    };
    const __m128i compact = _mm_setr_epi8 (0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    size_t done = 0;
    for (; chars - done >= 32; done += 16, dest += 12)
    {
        // Bytes of 0x80 and above are negative here and fall in no class.
        const __m128i c = _mm_loadu_si128 (reinterpret_cast<const __m128i*> (text + done));
        const __m128i upper = between (c, 'A', 'Z'), lower = between (c, 'a', 'z'), digit = between (c, '0', '9');
        const __m128i dot = _mm_cmpeq_epi8 (c, _mm_set1_epi8 ('.')), plus = _mm_cmpeq_epi8 (c, _mm_set1_epi8 ('+'));
        const __m128i valid = _mm_or_si128 (_mm_or_si128 (upper, lower), _mm_or_si128 (digit, _mm_or_si128 (dot, plus)));
        if (_mm_movemask_epi8 (valid) != 0xFFFF)
            break;

        // The value is the character plus an offset per class: '.' 0, 'A' 1, 'a' 27, '0' 53, '+' 63.
        const __m128i offset = _mm_or_si128 (
            _mm_or_si128 (_mm_and_si128 (upper, _mm_set1_epi8 (1 - 'A')), _mm_and_si128 (lower, _mm_set1_epi8 (27 - 'a'))),
            _mm_or_si128 (_mm_and_si128 (digit, _mm_set1_epi8 (53 - '0')),
                          _mm_or_si128 (_mm_and_si128 (dot, _mm_set1_epi8 (-'.')), _mm_and_si128 (plus, _mm_set1_epi8 (63 - '+')))));
        const __m128i values = _mm_add_epi8 (c, offset);

        // Each 4 values a, b, c, d become a | b << 6 | c << 12 | d << 18: pairs first, then quads.
        const __m128i pairs = _mm_maddubs_epi16 (values, _mm_set1_epi32 (0x40014001));
        const __m128i quads = _mm_madd_epi16 (pairs, _mm_set1_epi32 (0x10000001));
        _mm_storeu_si128 (reinterpret_cast<__m128i*> (dest), _mm_shuffle_epi8 (quads, compact));
    }
    return done;
}

bool hasSsse3() noexcept
{
    static const bool available = __builtin_cpu_supports ("ssse3");
    return available;
}

#endif

// Decodes chars characters of JUCE base64 into (chars * 6) / 8 bytes. JUCE packs each character's
// 6 bits at ascending bit positions, lowest first, so 4 characters carry 3 whole bytes. Returns
// the OR of all character values (bit 7 set when any character was invalid) and, in lastValue,
// the value of the partial group at the end (0 when there is none): its bits above the last whole
// byte are the ones JUCE's encoder always writes as zero.
juce::uint32 decodeJuceBase64 (const juce::uint8* text, size_t chars, juce::uint8* dest, juce::uint32& lastValue) noexcept
{
    const auto* v = juceBase64.value;
    juce::uint32 seen = 0;
#if VORNCONV_WIDE_BASE64
    if (hasSsse3())
    {
        const size_t done = decodeJuceBase64Wide (text, chars, dest);
        text += done;
        dest += done / 4 * 3;
        chars -= done;
    }
#endif
    const size_t whole = chars / 4;
    for (size_t g = 0; g < whole; ++g)
    {
        const juce::uint32 a = v[text[0]], b = v[text[1]], c = v[text[2]], d = v[text[3]];
        seen |= a | b | c | d;
        const juce::uint32 bits = a | (b << 6) | (c << 12) | (d << 18);
        dest[0] = (juce::uint8) bits;
        dest[1] = (juce::uint8) (bits >> 8);
        dest[2] = (juce::uint8) (bits >> 16);
        text += 4;
        dest += 3;
    }

    lastValue = 0;
    const size_t rest = chars % 4;
    juce::uint32 bits = 0;
    for (size_t i = 0; i < rest; ++i)
    {
        const juce::uint32 x = v[text[i]];
        seen |= x;
        bits |= (x & 63u) << (6 * i);
    }
    for (size_t i = 0; i < rest * 6 / 8; ++i)
        dest[i] = (juce::uint8) (bits >> (8 * i));
    if (rest > 0)
        lastValue = bits;
    return seen;
}

//==============================================================================
// Standard base64

// RFC 4648, with its pad "=".
constexpr Base64Table standardBase64 = makeBase64Table ("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/", '=');

// Decodes standard base64 the way JUCE's Base64::convertFromBase64 reads it, with the text given
// in pieces that read as one text (the lines of a preset): groups of four characters; "=" is
// allowed from the third character of a group on, and a group whose third character is "=" gives
// one byte and one whose fourth is "=" two, whatever else the group holds; groups after a padded
// one are read on; any other character, or a text that ends inside a group, refuses the whole
// text. Nothing is checked for canonical form. dest must have room for three bytes for every
// four characters fed. The text must be well-formed UTF-8 (as every checked text is): JUCE
// refuses a text at its first non-ASCII character, and here its bytes, all 0x80 and above, are
// refused.
struct StandardBase64Decoder
{
    juce::uint8* dest = nullptr;
    size_t written = 0;
    juce::uint8 group[4] = {};
    int pending = 0;
    bool failed = false;

    void emitGroup() noexcept
    {
        dest[written++] = (juce::uint8) ((group[0] << 2) | (group[1] >> 4));
        if (group[2] < 64)
        {
            dest[written++] = (juce::uint8) ((group[1] << 4) | (group[2] >> 2));
            if (group[3] < 64)
                dest[written++] = (juce::uint8) ((group[2] << 6) | group[3]);
        }
    }

    void push (juce::uint8 c) noexcept
    {
        const auto x = standardBase64.value[c];
        if (x == 0xFF || (x == 64 && pending <= 1))
        {
            failed = true;
            return;
        }
        group[pending++] = x;
        if (pending == 4)
        {
            emitGroup();
            pending = 0;
        }
    }

    void feed (const juce::uint8* text, size_t size) noexcept
    {
        const auto* v = standardBase64.value;
        size_t i = 0;
        while (! failed && pending != 0 && i < size)
            push (text[i++]);
        while (! failed && size - i >= 4)
        {
            const juce::uint32 a = v[text[i]], b = v[text[i + 1]], c = v[text[i + 2]], d = v[text[i + 3]];
            if ((a | b | c | d) < 64)
            {
                const juce::uint32 bits = (a << 18) | (b << 12) | (c << 6) | d;
                dest[written] = (juce::uint8) (bits >> 16);
                dest[written + 1] = (juce::uint8) (bits >> 8);
                dest[written + 2] = (juce::uint8) bits;
                written += 3;
            }
            else
            {
                // A padded group or a character outside the alphabet: one character at a time.
                for (size_t k = 0; k < 4 && ! failed; ++k)
                    push (text[i + k]);
            }
            i += 4;
        }
        while (! failed && i < size)
            push (text[i++]);
    }

    bool finish() const noexcept { return ! failed && pending == 0; }
};

// Decodes the size bytes at text into out, sized to what they gave; false when the text does not
// decode.
bool decodeStandardBase64Bytes (const juce::uint8* text, size_t size, juce::MemoryBlock& out)
{
    out.reset();
    if (size == 0)
        return true;
    juce::MemoryBlock decoded (size / 4 * 3 + 1, false);
    StandardBase64Decoder decoder;
    decoder.dest = static_cast<juce::uint8*> (decoded.getData());
    decoder.feed (text, size);
    if (! decoder.finish())
        return false;
    decoded.setSize (decoder.written);
    out.swapWith (decoded);
    return true;
}

//==============================================================================
// Preset lines

// The sections of a preset text, in order: the text split into lines as StringArray::addLines
// splits it (at "\n", "\r\n" or a lone "\r"), each line trimmed as String::trim trims it, and the
// lines that hold nothing but white space (String::containsNonWhitespaceChars) left out. White
// space is what JUCE takes for it, CharacterFunctions::isWhitespace of each character: a base64
// line may be padded with any character the C library counts as a space, not only ASCII blanks.
// The sections are found in place, so a text of any number of lines costs no memory.
struct PresetLines
{
    const juce::uint8* text = nullptr;
    size_t size = 0;
    size_t pos = 0;
    bool asciiSpace[128] = {};

    PresetLines (const juce::uint8* t, size_t n) : text (t), size (n)
    {
        for (int c = 0; c < 128; ++c)
            asciiSpace[c] = juce::CharacterFunctions::isWhitespace ((juce::juce_wchar) c);
    }

    // The character starting at p, no further than end; length is its byte count. A byte that
    // starts no well-formed sequence counts as one character that is not white space.
    static juce::uint32 characterAt (const juce::uint8* p, const juce::uint8* end, size_t& length) noexcept
    {
        const juce::uint8 b = p[0];
        length = 1;
        if (b < 0x80)
            return b;
        size_t extra = 0;
        juce::uint32 cp = 0;
        if ((b & 0xE0) == 0xC0) { extra = 1; cp = b & 0x1Fu; }
        else if ((b & 0xF0) == 0xE0) { extra = 2; cp = b & 0x0Fu; }
        else if ((b & 0xF8) == 0xF0) { extra = 3; cp = b & 0x07u; }
        else return notACharacter;
        if ((size_t) (end - p) <= extra)
            return notACharacter;
        for (size_t k = 1; k <= extra; ++k)
        {
            if ((p[k] & 0xC0) != 0x80)
                return notACharacter;
            cp = (cp << 6) | (p[k] & 0x3Fu);
        }
        length = extra + 1;
        return cp;
    }

    static constexpr juce::uint32 notACharacter = 0xFFFFFFFFu;

    bool isSpace (juce::uint32 c) const noexcept
    {
        if (c < 128)
            return asciiSpace[c];
        return c != notACharacter && juce::CharacterFunctions::isWhitespace ((juce::juce_wchar) c);
    }

    // The first "\n" or "\r" at or after from, or size.
    size_t lineEnd (size_t from) const noexcept
    {
        size_t i = from;
        // Eight bytes at a time; only a word with a byte below 0x0E (base64 has none) is looked
        // into.
        constexpr juce::uint64 ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
        for (; size - i >= 8; i += 8)
        {
            juce::uint64 word;
            std::memcpy (&word, text + i, sizeof word);
            if (((word - ones * 0x0E) & ~word & highs) != 0)
                for (size_t k = i; k < i + 8; ++k)
                    if (text[k] == '\n' || text[k] == '\r')
                        return k;
        }
        for (; i < size; ++i)
            if (text[i] == '\n' || text[i] == '\r')
                return i;
        return size;
    }

    // The next section, or false when there is none.
    bool next (const juce::uint8*& start, size_t& length) noexcept
    {
        while (pos < size)
        {
            const size_t begin = pos;
            const size_t end = lineEnd (begin);
            if (end < size)
                pos = (text[end] == '\r' && end + 1 < size && text[end + 1] == '\n') ? end + 2 : end + 1;
            else
                pos = size;

            const auto* const lineStart = text + begin;
            const auto* const lineStop = text + end;
            const auto* first = lineStart;
            while (first < lineStop)
            {
                size_t n = 0;
                if (! isSpace (characterAt (first, lineStop, n)))
                    break;
                first += n;
            }
            if (first == lineStop)
                continue; // only white space

            // Back from the end, a character at a time, as String::trim steps back.
            const auto* last = lineStop;
            while (last > first)
            {
                const auto* p = last - 1;
                while (p > first && (*p & 0xC0) == 0x80 && last - p < 4)
                    --p;
                size_t n = 0;
                if (! isSpace (characterAt (p, last, n)))
                    break;
                last = p;
            }
            start = first;
            length = (size_t) (last - first);
            return true;
        }
        return false;
    }
};

//==============================================================================
// Binary fields

bool hasTag (const juce::uint8* p, const char* tag) noexcept
{
    return std::memcmp (p, tag, 4) == 0;
}

juce::String decimal (int128 v)
{
    if (v == 0)
        return "0";
    const bool negative = v < 0;
    char digits[48];
    int n = 0;
    while (v != 0)
    {
        const int d = (int) (v % 10);
        digits[n++] = (char) ('0' + (d < 0 ? -d : d));
        v /= 10;
    }
    juce::String s (negative ? "-" : "");
    while (n > 0)
        s << juce::String::charToString ((juce::juce_wchar) digits[--n]);
    return s;
}

bool fitsInt64 (int128 v) noexcept
{
    return v >= (int128) std::numeric_limits<juce::int64>::min() && v <= (int128) int64Max;
}

//==============================================================================
// Memory-block text

// Whole preset blob: wrapper header, component and controller streams and the chunk table.
constexpr size_t maxPresetBlobBytes = 45 + 2 * maxStateBytes + 48;

// The memory-block text held in size bytes (no terminator needed).
bool decodeMemoryBlockText (const juce::uint8* bytes, size_t size, juce::MemoryBlock& out, size_t maxBytes, juce::String& error)
{
    out.reset();

    size_t dot = 0;
    while (dot < size && bytes[dot] != '.')
        ++dot;
    if (dot == size || dot == 0)
    {
        error = "JUCE base64 length prefix is missing";
        return false;
    }

    for (size_t i = 0; i < dot; ++i)
        if (bytes[i] < '0' || bytes[i] > '9')
        {
            error = "JUCE base64 length prefix is invalid";
            return false;
        }

    size_t declared = 0;
    for (size_t i = 0; i < dot; ++i)
    {
        const size_t digit = (size_t) (bytes[i] - '0');
        if (digit > maxBytes || declared > (maxBytes - digit) / 10)
        {
            error = "JUCE base64 decoded size exceeds limit";
            return false;
        }
        declared = declared * 10 + digit;
    }

    // (8N + 4) / 6 without overflow for any N.
    const size_t expectedChars = declared / 3 * 4 + ((declared % 3) * 4 + 2) / 3;
    const auto* payload = bytes + dot + 1;
    const size_t payloadBytes = size - dot - 1;

    // The payload length counts characters, not bytes: a multi-byte character counts once (and is
    // then refused as invalid). Characters never outnumber bytes, so only a payload of more bytes
    // than expected needs counting here; one of exactly as many bytes is counted below, and only
    // when it holds a byte outside the alphabet.
    const auto countCharacters = [payload, payloadBytes]
    {
        size_t n = 0;
        for (size_t i = 0; i < payloadBytes; ++i)
            n += (payload[i] & 0xC0) != 0x80 ? 1 : 0;
        return n;
    };
    const auto lengthMismatch = [&error]
    {
        error = "JUCE base64 payload length does not match prefix";
        return false;
    };
    const auto invalidCharacter = [&error]
    {
        error = "JUCE base64 payload contains an invalid character";
        return false;
    };

    if (payloadBytes < expectedChars)
        return lengthMismatch();
    if (payloadBytes > expectedChars)
        return countCharacters() != expectedChars ? lengthMismatch() : invalidCharacter();

    juce::MemoryBlock decoded (declared, false);
    juce::uint32 lastValue = 0;
    const auto seen = decodeJuceBase64 (payload, payloadBytes, static_cast<juce::uint8*> (decoded.getData()), lastValue);
    if ((seen & 0x80u) != 0)
        return countCharacters() != expectedChars ? lengthMismatch() : invalidCharacter();

    // Canonical means JUCE's own encoder writes exactly this text. That encoder writes the size
    // as an unsigned 32-bit decimal without leading zeros, then one character per 6 bits of the
    // block, with the bits past its end as zero. The characters here already decode to the block,
    // so what is left to prove is the size form and the zero bits of a partial last group: of 2
    // characters (one byte) only the low 8 of 12 bits may be set, of 3 characters (two bytes) the
    // low 16 of 18.
    const size_t rest = expectedChars % 4;
    const bool strayBits = (rest == 2 && lastValue >= (1u << 8)) || (rest == 3 && lastValue >= (1u << 16));
    if ((bytes[0] == '0' && dot > 1) || (juce::uint64) declared > 0xFFFFFFFFu || strayBits)
    {
        error = "JUCE base64 payload is not canonical";
        return false;
    }

    out = std::move (decoded);
    return true;
}

//==============================================================================
// Plain containers

// The text of one state stream of a container: where it is, and how often its element appears.
struct StreamText
{
    const juce::uint8* data = nullptr;
    size_t size = 0;
    int count = 0;
    juce::String holder; // owns the text when it was taken from JUCE's tree
};

bool isXmlBlank (juce::uint8 c) noexcept { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The length of the run of memory-block characters at the start of the size bytes at p.
size_t memoryBlockTextRun (const juce::uint8* p, size_t size) noexcept
{
    const auto* v = juceBase64.value;
    size_t n = 0;
    while (size - n >= 8)
    {
        const auto* u = p + n;
        if (((v[u[0]] | v[u[1]] | v[u[2]] | v[u[3]] | v[u[4]] | v[u[5]] | v[u[6]] | v[u[7]]) & 0x80) != 0)
            break;
        n += 8;
    }
    while (n < size && v[p[n]] != 0xFF)
        ++n;
    return n;
}

// The plain shape state writers produce: an optional "<?xml ...?>" declaration of printable
// ASCII, then <VST3PluginState> with no attributes holding only <IComponent> and
// <IEditController> elements (exact names, no attributes) whose content is nothing but
// memory-block characters, with blanks between elements. Such a document is plain ASCII with one
// root, matching tags and depth 2, so the strict check accepts it; and JUCE's parser gives each
// child exactly its content as its only text, which has no blanks to trim. Reading the texts in
// place therefore gives what the tree would, without copying the streams through it. Any other
// document returns false and takes the full path.
bool scanPlainContainer (const juce::uint8* p, size_t size, StreamText (&streams)[2])
{
    const auto* const end = p + size;
    const auto startsWith = [&p, end] (std::string_view s)
    {
        return (size_t) (end - p) >= s.size() && std::memcmp (p, s.data(), s.size()) == 0;
    };
    const auto skipBlanks = [&p, end]
    {
        while (p < end && isXmlBlank (*p))
            ++p;
    };

    if (startsWith ("<?xml"))
    {
        p += 5;
        for (;;)
        {
            if (end - p < 2)
                return false;
            if (p[0] == '?' && p[1] == '>')
                break;
            if (*p < 0x20 || *p > 0x7E)
                return false;
            ++p;
        }
        p += 2;
    }
    skipBlanks();
    if (! startsWith ("<VST3PluginState>"))
        return false;
    p += 17;

    const std::string_view open[2] = { "<IComponent>", "<IEditController>" };
    const std::string_view close[2] = { "</IComponent>", "</IEditController>" };
    for (;;)
    {
        skipBlanks();
        if (startsWith ("</VST3PluginState>"))
        {
            p += 18;
            break;
        }
        const int which = startsWith (open[0]) ? 0 : (startsWith (open[1]) ? 1 : -1);
        if (which < 0)
            return false;
        p += open[which].size();
        const auto* text = p;
        p += memoryBlockTextRun (p, (size_t) (end - p));
        if (! startsWith (close[which]))
            return false;
        auto& stream = streams[which];
        if (stream.count++ == 0)
        {
            stream.data = text;
            stream.size = (size_t) (p - text);
        }
        p += close[which].size();
    }
    skipBlanks();
    return p == end;
}

} // namespace

//==============================================================================
// Base64 and memory blocks

bool decodeStandardBase64 (juce::StringRef text, juce::MemoryBlock& out, size_t maxBytes)
{
    out.reset();
    if (text.isEmpty())
        return true;
    // Four characters give at least one byte more than two less than three: refuse before
    // decoding what cannot fit. Bytes are counted, not characters: a text with a character
    // outside ASCII does not decode either way.
    const auto* bytes = reinterpret_cast<const juce::uint8*> (text.text.getAddress());
    const auto length = std::strlen (text.text.getAddress());
    if (maxBytes < std::numeric_limits<size_t>::max() - 2 && length / 4 * 3 > maxBytes + 2)
        return false;
    juce::MemoryBlock decoded;
    if (! decodeStandardBase64Bytes (bytes, length, decoded) || decoded.getSize() > maxBytes)
        return false;
    out.swapWith (decoded);
    return true;
}

bool decodeJuceMemoryBlock (juce::StringRef text, juce::MemoryBlock& out, size_t maxBytes, juce::String& error)
{
    const auto* bytes = reinterpret_cast<const juce::uint8*> (text.text.getAddress());
    const size_t size = bytes != nullptr ? std::strlen (reinterpret_cast<const char*> (bytes)) : 0;
    return decodeMemoryBlockText (bytes, size, out, maxBytes, error);
}

//==============================================================================
// JUCE's VST3 state

bool looksLikeJuceXmlContainer (const juce::MemoryBlock& data)
{
    return data.getSize() >= 9 && hasTag (static_cast<const juce::uint8*> (data.getData()), "VC2!");
}

JuceStateSplit parseJuceVst3State (const juce::MemoryBlock& data)
{
    JuceStateSplit result;
    if (! looksLikeJuceXmlContainer (data))
    {
        result.error = "not a JUCE xml-binary container";
        return result;
    }

    const auto* bytes = static_cast<const juce::uint8*> (data.getData());
    const juce::uint64 xmlLength = littleEndian::u32 (bytes + 4);
    if ((juce::uint64) data.getSize() != xmlLength + 9 || xmlLength < 1 || xmlLength > maxStateBytes
        || bytes[8 + xmlLength] != 0)
    {
        result.error = "embedded xml length/container terminator is invalid";
        return result;
    }

    const char* const childNames[2] = { "IComponent", "IEditController" };
    StreamText streams[2];
    if (! scanPlainContainer (bytes + 8, (size_t) xmlLength, streams))
    {
        streams[0] = streams[1] = StreamText();
        juce::String xmlError;
        const auto root = strictXml::parse (bytes + 8, (size_t) xmlLength, strictXml::defaultMaxDepth, xmlError);
        if (root == nullptr)
        {
            result.error = "embedded xml did not parse";
            return result;
        }
        if (! root->hasTagName ("VST3PluginState"))
        {
            result.error = "unexpected root tag: " + root->getTagName();
            return result;
        }
        for (int i = 0; i < 2; ++i)
            for (auto* e : root->getChildIterator())
            {
                if (! e->hasTagName (childNames[i]))
                    continue;
                auto& stream = streams[i];
                if (stream.count++ == 0)
                {
                    stream.holder = e->getAllSubText().trim();
                    stream.data = reinterpret_cast<const juce::uint8*> (stream.holder.toRawUTF8());
                    stream.size = std::strlen (stream.holder.toRawUTF8());
                }
            }
    }

    for (int i = 0; i < 2; ++i)
    {
        const auto& stream = streams[i];
        if (stream.count == 0)
            continue;
        if (stream.count > 1)
        {
            // Two copies of one stream cannot both be carried; refuse instead of picking one.
            result.component.reset();
            result.controller.reset();
            result.error = juce::String (childNames[i]) + " stream is invalid: element appears more than once";
            return result;
        }
        auto& block = i == 0 ? result.component : result.controller;
        juce::String error;
        if (! decodeMemoryBlockText (stream.data, stream.size, block, maxStateBytes, error))
        {
            result.component.reset();
            result.controller.reset();
            result.error = juce::String (childNames[i]) + " stream is invalid: " + error;
            return result;
        }
    }

    if (result.component.isEmpty())
    {
        result.controller.reset();
        result.error = "IComponent stream missing or empty";
        return result;
    }
    result.ok = true;
    return result;
}

bool writeJuceMemoryBlockText (juce::OutputStream& out, const void* data, size_t size)
{
    static const char alphabet[] = ".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+";
    const auto* bytes = static_cast<const juce::uint8*> (data);
    const juce::String prefix = juce::String ((juce::uint64) size) + ".";
    if (! out.write (prefix.toRawUTF8(), prefix.getNumBytesAsUTF8()))
        return false;

    // The bit stream is little-endian: each 3 bytes give 4 characters, lowest 6 bits first.
    char buffer[65536];
    size_t used = 0;
    const size_t whole = size - size % 3;
    for (size_t i = 0; i < whole; i += 3)
    {
        const juce::uint32 v = (juce::uint32) bytes[i] | ((juce::uint32) bytes[i + 1] << 8) | ((juce::uint32) bytes[i + 2] << 16);
        buffer[used++] = alphabet[v & 63];
        buffer[used++] = alphabet[(v >> 6) & 63];
        buffer[used++] = alphabet[(v >> 12) & 63];
        buffer[used++] = alphabet[(v >> 18) & 63];
        if (used + 4 > sizeof (buffer))
        {
            if (! out.write (buffer, used))
                return false;
            used = 0;
        }
    }
    const size_t rest = size - whole;
    if (rest > 0)
    {
        const juce::uint32 v = (juce::uint32) bytes[whole] | (rest == 2 ? ((juce::uint32) bytes[whole + 1] << 8) : 0u);
        buffer[used++] = alphabet[v & 63];
        buffer[used++] = alphabet[(v >> 6) & 63];
        if (rest == 2)
            buffer[used++] = alphabet[(v >> 12) & 63];
    }
    return used == 0 || out.write (buffer, used);
}

juce::MemoryBlock buildJuceVst3State (const juce::MemoryBlock& component, const juce::MemoryBlock& controller)
{
    // The single-line text JUCE's XmlElement writes for this tree; memory-block text needs no
    // escaping, so it is written straight into place.
    juce::MemoryOutputStream out (component.getSize() * 4 / 3 + controller.getSize() * 4 / 3 + 200);
    out.write ("VC2!", 4);
    out.writeInt (0);
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?> <VST3PluginState";
    if (component.isEmpty() && controller.isEmpty())
    {
        out << "/>";
    }
    else
    {
        out << ">";
        if (! component.isEmpty())
        {
            out << "<IComponent>";
            writeJuceMemoryBlockText (out, component.getData(), component.getSize());
            out << "</IComponent>";
        }
        if (! controller.isEmpty())
        {
            out << "<IEditController>";
            writeJuceMemoryBlockText (out, controller.getData(), controller.getSize());
            out << "</IEditController>";
        }
        out << "</VST3PluginState>";
    }
    out.writeByte (0);

    juce::MemoryBlock block = out.getMemoryBlock();
    const auto length = (juce::uint32) (block.getSize() - 9);
    auto* b = static_cast<juce::uint8*> (block.getData());
    for (int i = 0; i < 4; ++i)
        b[4 + i] = (juce::uint8) (length >> (8 * i));
    return block;
}

//==============================================================================
// SuperRack preset text

namespace
{

// The sections of a preset text: the first (the format tag), how many there are, and the length
// of the others, which together are the wrapper's base64.
struct PresetSections
{
    const juce::uint8* tagText = nullptr;
    size_t tagLength = 0, sections = 0, blobChars = 0;
};

PresetSections scanSections (const juce::uint8* text, size_t size)
{
    PresetSections found;
    auto& [tagText, tagLength, sections, blobChars] = found;
    PresetLines lines (text, size);
    {
        const juce::uint8* start = nullptr;
        size_t length = 0;
        while (lines.next (start, length))
        {
            if (sections++ == 0)
            {
                tagText = start;
                tagLength = length;
            }
            else
            {
                blobChars += length;
            }
        }
    }
    return found;
}

// The format tag, which must be "VST" byte for byte; the result keeps it as text.
bool decodeFormatTag (const juce::uint8* tagText, size_t tagLength, SuperRackPreset& result)
{
    juce::MemoryBlock tag;
    if (! decodeStandardBase64Bytes (tagText, tagLength, tag))
    {
        result.error = "format tag base64 decode failed";
        return false;
    }
    // The tag is any bytes the text decodes to. As text it ends at a NUL, as JUCE's reading of
    // it does; but JUCE would read a malformed one past its end, so malformed bytes are replaced.
    const auto* tagBytes = static_cast<const char*> (tag.getData());
    const auto* nul = static_cast<const char*> (std::memchr (tagBytes, 0, tag.getSize()));
    result.formatTag = utf8::toTextReplacingMalformed (tagBytes, nul != nullptr ? (size_t) (nul - tagBytes) : tag.getSize());
    // Compared as bytes: through text, "VST\0" would compare equal to "VST".
    if (tag.getSize() != 3 || std::memcmp (tag.getData(), "VST", 3) != 0)
    {
        result.error = "preset format tag is not VST";
        return false;
    }
    return true;
}

// The other sections decoded into the result's blob.
bool decodeBlob (const juce::uint8* text, size_t size, size_t blobChars, SuperRackPreset& result)
{
    // Second pass: the other sections decode as one text straight into the wrapper. A text that
    // cannot decode to within the largest possible blob is refused before decoding.
    bool decoded = false;
    if (blobChars <= (maxPresetBlobBytes + 2) / 3 * 4)
    {
        juce::MemoryBlock blob (blobChars / 4 * 3 + 1, false);
        StandardBase64Decoder decoder;
        decoder.dest = static_cast<juce::uint8*> (blob.getData());
        PresetLines rest (text, size);
        const juce::uint8* start = nullptr;
        size_t length = 0;
        rest.next (start, length);
        while (! decoder.failed && rest.next (start, length))
            decoder.feed (start, length);
        if (decoder.finish() && decoder.written > 47)
        {
            blob.setSize (decoder.written);
            result.blob.swapWith (blob);
            decoded = true;
        }
    }
    if (! decoded)
    {
        result.error = "blob base64 decode failed";
        return false;
    }
    return true;
}

// The wrapper: its marker, its class id and a body length that fills the rest of the blob; the
// result takes the class id and where the body starts.
bool readWrapper (SuperRackPreset& result)
{
    const auto* b = static_cast<const juce::uint8*> (result.blob.getData());
    const size_t blobSize = result.blob.getSize();
    result.marker = littleEndian::i32 (b);
    if (result.marker != 307 || b[4] != 0)
    {
        result.error = "preset wrapper marker/layout is invalid";
        return false;
    }

    if (! isHexClassIdBytes (b + 5, 32))
    {
        result.error = "preset class id is invalid";
        return false;
    }

    const juce::int64 bodyLength = littleEndian::i64 (b + 37);
    if (bodyLength < 1 || (juce::uint64) bodyLength != (juce::uint64) (blobSize - 45))
    {
        result.error = "preset body length does not match wrapper";
        return false;
    }

    result.classId = storedClassId (juce::String (reinterpret_cast<const char*> (b + 5), 32));
    result.bodyOffset = 45;
    return true;
}

} // namespace
SuperRackPreset parseSuperRackPresetBytes (const void* data, size_t size)
{
    SuperRackPreset result;
    const auto* text = static_cast<const juce::uint8*> (data);
    if (text == nullptr)
        size = 0;
    else if (const auto* nul = std::memchr (text, 0, size))
        size = (size_t) (static_cast<const juce::uint8*> (nul) - text);

    // First pass: the number of sections, the first one (the format tag) and the length of the
    // others, which together are the wrapper's base64.
    const auto [tagText, tagLength, sections, blobChars] = scanSections (text, size);
    if (sections < 2)
    {
        result.error = "preset text has fewer than two base64 sections";
        return result;
    }

    if (! decodeFormatTag (tagText, tagLength, result) || ! decodeBlob (text, size, blobChars, result) || ! readWrapper (result))
        return result;

    result.ok = true;
    return result;
}

SuperRackPreset parseSuperRackPreset (const juce::String& text)
{
    auto result = parseSuperRackPresetBytes (text.toRawUTF8(), text.getNumBytesAsUTF8());
    if (result.ok)
        result.body = juce::MemoryBlock (static_cast<const juce::uint8*> (result.blob.getData()) + result.bodyOffset,
                                         result.blob.getSize() - (size_t) result.bodyOffset);
    return result;
}

juce::String buildSuperRackPreset (juce::StringRef classId, const juce::MemoryBlock& component, const juce::MemoryBlock& controller)
{
    if (component.isEmpty())
        return {};
    const juce::String id (classId.text);
    if (! isHexClassId (id))
        return {};

    const auto compSize = (juce::int64) component.getSize();
    const auto contSize = (juce::int64) controller.getSize();
    const bool withController = contSize > 0;

    juce::MemoryOutputStream blob;
    blob.writeInt (307);
    blob.writeByte (0);
    blob.write (storedClassId (id).toRawUTF8(), 32);
    blob.writeInt64 (compSize + contSize + (withController ? 48 : 28));
    blob.write (component.getData(), component.getSize());
    if (withController)
        blob.write (controller.getData(), controller.getSize());
    blob.write ("List", 4);
    blob.writeInt (withController ? 2 : 1);
    blob.write ("Comp", 4);
    blob.writeInt64 (48);
    blob.writeInt64 (compSize);
    if (withController)
    {
        blob.write ("Cont", 4);
        blob.writeInt64 (compSize + 48);
        blob.writeInt64 (contSize);
    }

    return juce::Base64::toBase64 ("VST", 3) + "\n" + juce::Base64::toBase64 (blob.getData(), blob.getDataSize());
}

//==============================================================================
// Steinberg chunk list

namespace
{

// Where the streams of a checked chunk list lie in the blob.
struct ChunkPlaces
{
    size_t componentSize = 0;
    size_t controllerAt = 0;
    size_t controllerSize = 0; // 0 when there is no controller
};

// Checks the chunk list at the end of the size bytes at b for a body starting at base; sets
// result's error, or its delta and chunkCount and the places of the streams.
bool locateSteinbergChunks (const juce::uint8* b, size_t size, size_t base, JuceStateSplit& result, ChunkPlaces& places)
{
    if (size < base || size - base < 24)
    {
        result.error = "blob too small for a chunk list";
        return false;
    }

    const size_t room = size - base;
    size_t table = 0;
    if (room >= 48 && hasTag (b + size - 48, "List") && littleEndian::u32 (b + size - 44) == 2
        && hasTag (b + size - 40, "Comp") && hasTag (b + size - 20, "Cont"))
    {
        table = size - 48;
        result.chunkCount = 2;
    }
    else if (room >= 28 && hasTag (b + size - 28, "List") && littleEndian::u32 (b + size - 24) == 1
             && hasTag (b + size - 20, "Comp"))
    {
        table = size - 28;
        result.chunkCount = 1;
    }
    else
    {
        result.error = "chunk table count/tags/layout are invalid";
        return false;
    }

    const juce::int64 compOffset = littleEndian::i64 (b + table + 12);
    const juce::int64 compSize = littleEndian::i64 (b + table + 20);
    if (compSize <= 0)
    {
        result.error = "Comp chunk has non-positive size";
        return false;
    }

    // Everything below is exact 128-bit arithmetic; each 64-bit overflow is itself a refusal.
    const int128 basePos = (int128) base;
    const int128 tablePos = (int128) table;
    const int128 delta = basePos - compOffset;
    const int128 compEnd = basePos + compSize;

    bool fits = compOffset >= 0 && fitsInt64 (delta) && fitsInt64 ((int128) compOffset + compSize) && fitsInt64 (compEnd);
    int128 contPos = 0;
    juce::int64 contSize = 0;
    if (result.chunkCount == 1)
    {
        fits = fits && compEnd == tablePos;
    }
    else
    {
        const juce::int64 contOffset = littleEndian::i64 (b + table + 32);
        contSize = littleEndian::i64 (b + table + 40);
        contPos = (int128) contOffset + delta;
        fits = fits && contOffset >= 0 && contSize >= 0
               && fitsInt64 ((int128) contOffset + contSize) && fitsInt64 (contPos) && fitsInt64 (contPos + contSize)
               && compEnd <= tablePos && contPos >= basePos && contPos == compEnd && contPos + contSize == tablePos;
    }

    if (! fits)
    {
        result.error = "chunk regions fell outside the body (base=" + decimal (delta) + " comp=" + decimal (compOffset)
                       + "+" + decimal (compSize) + " limit=" + decimal (tablePos) + ")";
        return false;
    }

    result.delta = (juce::int64) delta;
    places.componentSize = (size_t) compSize;
    if (result.chunkCount == 2 && contSize >= 1)
    {
        places.controllerAt = (size_t) contPos;
        places.controllerSize = (size_t) contSize;
    }
    return true;
}

} // namespace

JuceStateSplit extractSteinbergChunks (const juce::MemoryBlock& blob, size_t base)
{
    JuceStateSplit result;
    ChunkPlaces places;
    const auto* b = static_cast<const juce::uint8*> (blob.getData());
    if (! locateSteinbergChunks (b, blob.getSize(), base, result, places))
        return result;
    result.component = juce::MemoryBlock (b + base, places.componentSize);
    if (places.controllerSize > 0)
        result.controller = juce::MemoryBlock (b + places.controllerAt, places.controllerSize);
    result.ok = true;
    return result;
}

JuceStateSplit extractSteinbergChunks (juce::MemoryBlock&& blob, size_t base)
{
    JuceStateSplit result;
    ChunkPlaces places;
    auto* b = static_cast<juce::uint8*> (blob.getData());
    if (! locateSteinbergChunks (b, blob.getSize(), base, result, places))
        return result;
    // The controller follows the component, so it is copied out before the component moves to
    // the front of the blob; the blob is then cut to the component, which keeps its storage.
    if (places.controllerSize > 0)
        result.controller = juce::MemoryBlock (b + places.controllerAt, places.controllerSize);
    if (base > 0)
        std::memmove (b, b + base, places.componentSize);
    blob.setSize (places.componentSize);
    result.component.swapWith (blob);
    blob.reset();
    result.ok = true;
    return result;
}

} // namespace vornconv::vst3
