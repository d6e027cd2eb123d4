#include "vst3catalog/CatalogText.h"

#include <cstdint>
#include <cstring>

namespace vornconv::vst3catalog
{
namespace
{

bool isUpperHexDigit (char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

bool isValidUtf8 (const std::string& text)
{
    const auto* bytes = reinterpret_cast<const unsigned char*> (text.data());
    const std::size_t size = text.size();
    std::size_t i = 0;
    while (i < size)
    {
        const unsigned char lead = bytes[i];
        std::size_t length = 0;
        std::uint32_t code = 0;
        if (lead < 0x80)           { ++i; continue; }
        else if ((lead & 0xE0) == 0xC0) { length = 2; code = lead & 0x1F; }
        else if ((lead & 0xF0) == 0xE0) { length = 3; code = lead & 0x0F; }
        else if ((lead & 0xF8) == 0xF0) { length = 4; code = lead & 0x07; }
        else return false;

        if (length > size - i)
            return false;
        for (std::size_t k = 1; k < length; ++k)
        {
            if ((bytes[i + k] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (bytes[i + k] & 0x3F);
        }
        const std::uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
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
    std::string text (field, length);
    for (char& c : text)
        if (c == '\t' || c == '\r' || c == '\n')
            c = ' ';
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
    return true;
}

} // namespace vornconv::vst3catalog
