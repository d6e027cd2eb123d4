#pragma once

#include <juce_core/juce_core.h>
#include <memory>

// Parsing of XML that comes from files we do not trust. JUCE's XmlDocument recurses once per
// nesting level, resolves SYSTEM DTDs and external entities when it parses from a file, and
// accepts text after the root element. Here the bytes are checked first (UTF-8, nesting depth,
// no DOCTYPE or other declarations, nothing but blanks, comments and processing instructions
// around the one root element) and then parsed from memory, where no entity can reach a file;
// any parse error JUCE reports is fatal.
namespace vornconv
{

// On false, error names the fault and out is empty.
bool parseUntrustedXml (const char* utf8, size_t numBytes, int maxDepth,
                        std::unique_ptr<juce::XmlElement>& out, juce::String& error);

} // namespace vornconv
