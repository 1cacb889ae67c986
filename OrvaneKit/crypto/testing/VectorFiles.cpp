#include "OrvaneKit/crypto/testing/VectorFiles.h"

#include <cstdio>
#include <fstream>
#include <memory>
#include <stdexcept>

namespace orvane::testvectors {

std::string path(std::string_view relative) {
    return std::string(ORVANE_VECTORS_DIR) + "/" + std::string(relative);
}

nlohmann::json loadJson(std::string_view relative) {
    const std::string p = path(relative);
    std::ifstream in(p);
    if (!in) throw std::runtime_error("cannot open vector file " + p);
    return nlohmann::json::parse(in);
}

std::vector<std::string> gzipLines(std::string_view relative) {
    const std::string p = path(relative);
    {
        std::ifstream probe(p);
        if (!probe) throw std::runtime_error("cannot open vector file " + p);
    }
    const std::string cmd = "gzip -dc '" + p + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    if (!pipe) throw std::runtime_error("cannot run gzip for " + p);
    std::vector<std::string> lines;
    std::string line;
    char buf[8192];
    std::size_t n;
    std::string all;
    while ((n = std::fread(buf, 1, sizeof(buf), pipe.get())) > 0) all.append(buf, n);
    if (pclose(pipe.release()) != 0) throw std::runtime_error("gzip failed for " + p);
    std::size_t start = 0;
    while (start < all.size()) {
        std::size_t end = all.find('\n', start);
        if (end == std::string::npos) end = all.size();
        std::string l = all.substr(start, end - start);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        if (!l.empty()) lines.push_back(std::move(l));
        start = end + 1;
    }
    return lines;
}

Bytes hex(std::string_view text) {
    auto b = fromHex(text);
    if (!b) throw std::runtime_error("malformed hex in vector file");
    return *b;
}

}  // namespace orvane::testvectors
