#pragma once

// Texts of the catalog tool: catalog rows and the quoting of paths in its error lines.

#include <cstddef>
#include <string>

namespace vornconv::vst3catalog
{

// The path in double quotes, with every double quote and backslash inside escaped by a backslash.
std::string quotedPath (const std::string& path);

// A fixed-size text field of a factory record: read up to its first NUL (never past size bytes),
// with every TAB, CR and LF replaced by a space so that it cannot break a row, and every byte
// that is not part of a well-formed UTF-8 character replaced by U+FFFD, so that the row stays
// valid UTF-8 whatever the plug-in wrote.
std::string catalogField (const char* field, std::size_t size);

// The 16 bytes of a class id as 32 upper-case hexadecimal digits.
std::string classIdText (const unsigned char* cid);

// Whether a bundle path can stand as the last column of a row and be read back unchanged:
// no TAB, CR or LF, no trailing whitespace (readers trim it), and valid UTF-8.
bool isRowSafeBundlePath (const std::string& path);

// One row: CID, name, vendor, version and bundle path separated by TAB, ending with LF.
std::string catalogRow (const std::string& cid, const std::string& name, const std::string& vendor,
                        const std::string& version, const std::string& bundlePath);

// Whether line (without its LF) has the shape of a row this tool prints: valid UTF-8, five
// columns, an upper-case 32-digit CID and a non-empty bundle path.
bool isCatalogRow (const std::string& line);

// The bundle path column of such a row.
std::string rowBundlePathOf (const std::string& line);

// The one form in which a bundle's path is written into its rows, so that one bundle named in
// different ways ("./Ok.vst3", "Ok.vst3/", "dir//Ok.vst3") gives the same rows: absolute (a
// relative path is taken from the current folder), with no empty or "." parts and no trailing
// slash. ".." parts are kept: through a symbolic link they need not lead back where they came from.
std::string catalogBundlePath (const std::string& bundlePath);

} // namespace vornconv::vst3catalog
