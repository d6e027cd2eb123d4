#include "vst3catalog/CatalogText.h"

#include <cstring>
#include <filesystem>
#include <system_error>

namespace vornconv::vst3catalog
{
namespace
{

bool isUpperHexDigit (char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// The length of the well-formed UTF-8 sequence that starts at bytes[i], or 0 when the byte there
// cannot start one: a stray continuation byte, a lead byte that is never used, a sequence cut
// short, an overlong form, a surrogate or a value above U+10FFFF.
std::size_t wellFormedLength (const unsigned char* bytes, std::size_t size, std::size_t i)
{
    const unsigned char lead = bytes[i];
    if (lead < 0x80)
        return 1;

    // The allowed range of the second byte narrows for the leads whose sequences could
    // otherwise be overlong, surrogates or too large.
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)       length = 2;
    else if (lead == 0xE0)                  { length = 3; low = 0xA0; }
    else if (lead == 0xED)                  { length = 3; high = 0x9F; }
    else if (lead >= 0xE1 && lead <= 0xEF)  length = 3;
    else if (lead == 0xF0)                  { length = 4; low = 0x90; }
    else if (lead == 0xF4)                  { length = 4; high = 0x8F; }
    else if (lead >= 0xF1 && lead <= 0xF3)  length = 4;
    else                                    return 0;

    if (length > size - i)
        return 0;
    if (bytes[i + 1] < low || bytes[i + 1] > high)
        return 0;
    for (std::size_t k = 2; k < length; ++k)
        if ((bytes[i + k] & 0xC0) != 0x80)
            return 0;
    return length;
}

bool isValidUtf8 (const std::string& text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*> (text.data());
    for (std::size_t i = 0; i < text.size();)
    {
        const std::size_t length = wellFormedLength (bytes, text.size(), i);
        if (length == 0)
            return false;
        i += length;
    }
    return true;
}

} // namespace

std::string quotedPath (const std::string& path)
{
    std::string quoted;
    quoted.reserve (path.size() + 2);
    quoted += '"';
    for (char c : path)
    {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

std::string catalogField (const char* field, std::size_t size)
{
    const void* nul = std::memchr (field, 0, size);
    const std::size_t length = nul != nullptr ? static_cast<std::size_t> (static_cast<const char*> (nul) - field) : size;
    const auto* bytes = reinterpret_cast<const unsigned char*> (field);
    std::string text;
    text.reserve (length);
    for (std::size_t i = 0; i < length;)
    {
        const std::size_t sequence = wellFormedLength (bytes, length, i);
        if (sequence == 0)
        {
            text += "\xEF\xBF\xBD";   // U+FFFD for each byte that is not part of a well-formed character
            ++i;
            continue;
        }
        const char c = field[i];
        if (sequence == 1 && (c == '\t' || c == '\r' || c == '\n'))
            text += ' ';
        else
            text.append (field + i, sequence);
        i += sequence;
    }
    return text;
}

std::string classIdText (const unsigned char* cid)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve (32);
    for (int i = 0; i < 16; ++i)
    {
        text += digits[cid[i] >> 4];
        text += digits[cid[i] & 0x0F];
    }
    return text;
}

bool isRowSafeBundlePath (const std::string& path)
{
    if (path.empty() || path.find_first_of ("\t\r\n") != std::string::npos)
        return false;
    const char last = path.back();
    if (last == ' ' || last == '\v' || last == '\f')
        return false;
    return isValidUtf8 (path);
}

std::string catalogRow (const std::string& cid, const std::string& name, const std::string& vendor,
                        const std::string& version, const std::string& bundlePath)
{
    return cid + '\t' + name + '\t' + vendor + '\t' + version + '\t' + bundlePath + '\n';
}

bool isCatalogRow (const std::string& line)
{
    std::size_t columns = 1;
    std::size_t lastTab = 0;
    for (std::size_t i = 0; i < line.size(); ++i)
    {
        if (line[i] == '\r' || line[i] == '\n')
            return false;
        if (line[i] == '\t')
        {
            ++columns;
            lastTab = i;
        }
    }
    if (columns != 5 || line.size() < 33 || line[32] != '\t' || lastTab + 1 >= line.size())
        return false;
    for (std::size_t i = 0; i < 32; ++i)
        if (! isUpperHexDigit (line[i]))
            return false;
    return isValidUtf8 (line);
}

std::string rowBundlePathOf (const std::string& line)
{
    const std::size_t lastTab = line.rfind ('\t');
    return lastTab == std::string::npos ? std::string() : line.substr (lastTab + 1);
}

std::string catalogBundlePath (const std::string& bundlePath)
{
    std::string path = bundlePath;
    if (path.empty() || path.front() != '/')
    {
        std::error_code ec;
        const std::filesystem::path folder = std::filesystem::current_path (ec);
        if (! ec)
            path = folder.string() + "/" + path;
    }
    if (path.empty())
        return path;
    std::string normal;
    std::size_t start = 0;
    while (start <= path.size())
    {
        std::size_t end = path.find ('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr (start, end - start);
        if (! part.empty() && part != ".")
            normal += "/" + part;
        start = end + 1;
    }
    if (normal.empty())
        return path.front() == '/' ? "/" : ".";
    return path.front() == '/' ? normal : normal.substr (1);
}

} // namespace vornconv::vst3catalog
