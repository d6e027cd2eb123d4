#include "app/CommandLine.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace
{

// An argument's bytes as text. Arguments are UTF-8, but the system passes any bytes: every byte
// that does not begin a well-formed UTF-8 sequence becomes U+FFFD. JUCE takes UTF-8 bytes as
// they are, and a cut-off sequence would let its character walks run past the argument's end.
juce::String argumentText (const char* argument)
{
    const auto* bytes = reinterpret_cast<const unsigned char*> (argument);
    const size_t size = std::strlen (argument);
    std::string text;
    text.reserve (size);
    for (size_t i = 0; i < size;)
    {
        const unsigned lead = bytes[i];
        const size_t extra = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2
                           : (lead & 0xF8) == 0xF0 ? 3 : 4;
        bool valid = extra <= 3 && extra < size - i;
        if (valid && extra > 0)
        {
            juce::uint32 value = lead & (0x3Fu >> extra);
            for (size_t k = 1; k <= extra && valid; ++k)
            {
                valid = (bytes[i + k] & 0xC0) == 0x80;
                value = (value << 6) | (bytes[i + k] & 0x3Fu);
            }
            const juce::uint32 smallest = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
            valid = valid && value >= smallest && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
        }
        if (valid)
        {
            text.append (argument + i, extra + 1);
            i += extra + 1;
        }
        else
        {
            text.append ("\xEF\xBF\xBD");
            ++i;
        }
    }
    return juce::String::fromUTF8 (text.data(), (int) text.size());
}

} // namespace

int main (int argc, char* argv[])
{
    int status = 1;
    try
    {
        juce::StringArray arguments;
        for (int i = 1; i < argc; ++i)
            arguments.add (argumentText (argv[i]));
        status = vornconv::app::runVornconv (arguments);
    }
    catch (...)
    {
        std::fputs ("ERROR   internal error: could not read the arguments\n", stdout);
        status = 1;
    }
    std::fflush (stdout);
    return status;
}
