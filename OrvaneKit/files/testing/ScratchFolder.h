#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Uuid.h"

namespace orvane {

// A fresh folder under the temporary folder, removed with everything in it.
struct ScratchFolder {
    std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("orvane-files-" + Uuid::random().string());

    ScratchFolder() { std::filesystem::create_directories(path); }
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    std::filesystem::path operator/(const std::string& name) const { return path / name; }

    // A file of `size` bytes whose content depends on `seed` and each byte's offset.
    std::filesystem::path write(const std::string& name, std::size_t size, int seed = 1) const {
        std::ofstream out(path / name, std::ios::binary);
        std::vector<char> block(size);
        for (std::size_t i = 0; i < size; ++i)
            block[i] = static_cast<char>((i * 31 + static_cast<std::size_t>(seed) * 7) % 251);
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
        return path / name;
    }
    static Bytes read(const std::filesystem::path& file) {
        std::ifstream in(file, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    // Names in the folder, hidden ones included, sorted.
    std::vector<std::string> names(const std::string& sub = "") const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(path / sub, ec))
            out.push_back(e.path().filename().string());
        std::sort(out.begin(), out.end());
        return out;
    }
};

}  // namespace orvane
