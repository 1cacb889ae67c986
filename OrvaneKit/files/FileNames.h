#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace orvane {

// Names that a peer chose for a file, made safe to create in our folder.
namespace FileNames {

// The longest file name the system takes, in bytes.
inline constexpr std::size_t maxBytes = 255;

// A plain name of at most maxBytes: the last path component, "/" and ":" made "-", white space,
// dots and spaces trimmed at both ends, control and direction-changing characters and broken
// UTF-8 made "-", cut on a character boundary keeping a short extension; "File" when nothing
// is left.
std::string safe(std::string_view offered);

// The n-th candidate for `name` (a safe name): the name itself for n = 1, else "stem n.ext"
// ("report 2.pdf", "notes 2"), cut to fit maxBytes.
std::string numbered(const std::string& name, int n);

// Moves `from` into `folder` under `name`, or its first numbered form that nothing occupies,
// never replacing a file that is there, even one that appears meanwhile. Returns the path it
// got; throws FileTransferError (system) when the move fails for another reason.
std::filesystem::path moveToFreeName(const std::filesystem::path& from,
                                     const std::filesystem::path& folder, const std::string& name);

}  // namespace FileNames

}  // namespace orvane
