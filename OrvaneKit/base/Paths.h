#pragma once

#include <filesystem>

namespace orvane {

// Where the product keeps its files, following the XDG base directories.
namespace Paths {
std::filesystem::path home();
std::filesystem::path applicationSupport();  // $XDG_DATA_HOME, else ~/.local/share
std::filesystem::path config();              // $XDG_CONFIG_HOME, else ~/.config
std::filesystem::path state();               // $XDG_STATE_HOME, else ~/.local/state
std::filesystem::path downloads();  // XDG_DOWNLOAD_DIR from user-dirs.dirs, else ~/Downloads
std::filesystem::path temp();       // $TMPDIR, else /tmp
}  // namespace Paths

// Writes a file so that readers see the old or the new content, never a part: temp file in the
// same folder, fsync, rename. Creates missing parent folders. Returns false on failure, with
// the old file untouched.
bool writeFileAtomically(const std::filesystem::path& path, const void* data, std::size_t size,
                         unsigned mode = 0600);

}  // namespace orvane
