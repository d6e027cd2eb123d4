#pragma once

#include <juce_core/juce_core.h>

#include <functional>
#include <memory>
#include <string_view>

// A guard in front of JUCE's XmlDocument for untrusted XML. JUCE's parser recurses once per
// nesting level without a limit, accepts text after the root element, mismatched close tags and
// DTDs with entity definitions. Here the bytes are first checked to be one well-formed UTF-8
// document: optional declaration (first), comments, exactly one root element with matching close
// tags, nesting no deeper than maxDepth, attribute values quoted, only the five predefined and
// numeric character references, no DOCTYPE, no NUL byte, and nothing but white space or comments
// after the root; no processing instruction but the declaration. Only then is JUCE's parser run,
// from memory (never from a file, so nothing outside the bytes is resolved).
namespace vornconv::strictXml
{

constexpr int defaultMaxDepth = 256;

// True when the bytes pass the rules above; otherwise false with a short reason in error.
bool isWellFormed (const void* data, size_t size, int maxDepth, juce::String& error);

// Called for every attribute of every start tag, in document order: the element's name, the
// attribute's name (both exactly as written), the byte offsets of the value between its quotes,
// and whether the value holds no reference (its bytes are then its value as they stand). A
// refused document may have been visited in part.
using AttributeVisitor = std::function<void (std::string_view element, std::string_view attribute,
                                             size_t valueBegin, size_t valueEnd, bool plain)>;

// As isWellFormed, telling visitor every attribute on the way.
bool isWellFormed (const void* data, size_t size, int maxDepth, juce::String& error, const AttributeVisitor& visitor);

// The document's root element, or null (with the reason in error) when the bytes are refused.
std::unique_ptr<juce::XmlElement> parse (const void* data, size_t size, int maxDepth, juce::String& error);

// As parse, for a document already held in text (size bytes, then its terminator), which JUCE
// then parses where it is instead of from a copy. The size is what is checked: a NUL byte among
// those bytes, which the text itself would end at, is refused as above.
std::unique_ptr<juce::XmlElement> parseText (const juce::String& text, size_t size, int maxDepth, juce::String& error);

// As above, but one DOCTYPE naming an external DTD is allowed before the root (the standard
// header of XML property lists). An internal subset ("[...]", where entities are defined) is
// still refused, and the DTD is never read.
bool isWellFormedAllowingExternalDoctype (const void* data, size_t size, int maxDepth, juce::String& error);
std::unique_ptr<juce::XmlElement> parseAllowingExternalDoctype (const void* data, size_t size, int maxDepth, juce::String& error);

} // namespace vornconv::strictXml
