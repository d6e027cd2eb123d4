// The guard in front of JUCE's XML parser for untrusted documents.

#include "FuzzSupport.h"

#include "model/StrictXml.h"

using namespace vornconv;

namespace
{

// Small, so that the depth limit is reached by small inputs too.
constexpr int maxDepth = 16;

int depthOf (const juce::XmlElement& element)
{
    int deepest = 0;
    for (auto* child : element.getChildIterator())
        if (! child->isTextElement())
            deepest = std::max (deepest, depthOf (*child));
    return deepest + 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput (const uint8_t* data, size_t size)
{
    juce::String error;
    const bool wellFormed = strictXml::isWellFormed (data, size, maxDepth, error);
    FUZZ_CHECK (wellFormed == error.isEmpty());

    juce::String doctypeError;
    const bool withDoctype = strictXml::isWellFormedAllowingExternalDoctype (data, size, maxDepth, doctypeError);
    // Allowing an external DTD only ever lets more documents through.
    if (wellFormed)
        FUZZ_CHECK (withDoctype);

    juce::String parseError;
    const auto root = strictXml::parse (data, size, maxDepth, parseError);
    // JUCE sees only what the guard passed, and parses all of it.
    FUZZ_CHECK ((root != nullptr) == wellFormed);
    if (root != nullptr)
        FUZZ_CHECK (depthOf (*root) <= maxDepth);

    if (withDoctype)
    {
        const auto withDtd = strictXml::parseAllowingExternalDoctype (data, size, maxDepth, parseError);
        FUZZ_CHECK (withDtd != nullptr);
    }

    if (wellFormed)
    {
        // The same document held as text parses where it is.
        const auto text = juce::String::fromUTF8 (reinterpret_cast<const char*> (data), (int) size);
        const auto fromText = strictXml::parseText (text, size, maxDepth, parseError);
        FUZZ_CHECK (fromText != nullptr && fromText->isEquivalentTo (root.get(), false));
    }
    return 0;
}
