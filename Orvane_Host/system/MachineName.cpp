#include "Orvane_Host/system/MachineName.h"

#include <unistd.h>

#include <climits>
#include <fstream>

namespace orvane {

namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// One value of a shell-style assignment, as hostnamectl writes them: "…" with \" \\ \$ \`
// escapes, '…' verbatim, or bare words with backslash escapes; unquoted trailing blanks dropped.
std::string shellValue(std::string_view v) {
    std::string out;
    std::string pendingBlanks;
    enum { bare, dquote, squote } mode = bare;
    for (std::size_t i = 0; i < v.size(); ++i) {
        char c = v[i];
        switch (mode) {
            case bare:
                if (isBlank(c)) {
                    pendingBlanks += c;
                    continue;
                }
                out += pendingBlanks;
                pendingBlanks.clear();
                if (c == '"') {
                    mode = dquote;
                } else if (c == '\'') {
                    mode = squote;
                } else if (c == '\\' && i + 1 < v.size()) {
                    out += v[++i];
                } else {
                    out += c;
                }
                break;
            case dquote:
                if (c == '"') {
                    mode = bare;
                } else if (c == '\\' && i + 1 < v.size() &&
                           std::string_view("\"\\`$").find(v[i + 1]) != std::string_view::npos) {
                    out += v[++i];
                } else {
                    out += c;
                }
                break;
            case squote:
                if (c == '\'') {
                    mode = bare;
                } else {
                    out += c;
                }
                break;
        }
    }
    return out;
}

}  // namespace

std::string MachineName::displayName() {
    return displayName(machineInfoPath, &MachineName::systemHostName);
}

std::string MachineName::displayName(const std::filesystem::path& machineInfo,
                                     const std::function<std::optional<std::string>()>& hostName) {
    if (auto pretty = prettyHostname(machineInfo)) return *pretty;
    if (auto host = hostName ? hostName() : std::nullopt; host && !host->empty()) return *host;
    return fallback;
}

std::optional<std::string> MachineName::prettyHostname(const std::filesystem::path& machineInfo) {
    std::ifstream in(machineInfo);
    if (!in) return std::nullopt;
    std::optional<std::string> found;
    std::string line;
    while (std::getline(in, line)) {
        std::string_view l = line;
        while (!l.empty() && isBlank(l.front())) l.remove_prefix(1);
        if (l.empty() || l.front() == '#' || l.front() == ';') continue;
        auto eq = l.find('=');
        if (eq == std::string_view::npos) continue;
        auto key = l.substr(0, eq);
        while (!key.empty() && isBlank(key.back())) key.remove_suffix(1);
        if (key != "PRETTY_HOSTNAME") continue;
        auto value = l.substr(eq + 1);
        while (!value.empty() && isBlank(value.front())) value.remove_prefix(1);
        found = shellValue(value);  // a later assignment wins, as in the shell
    }
    if (!found || found->empty()) return std::nullopt;
    return found;
}

std::optional<std::string> MachineName::systemHostName() {
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return std::nullopt;
    std::string name(buf);
    if (name.empty() || name == "(none)") return std::nullopt;
    return name;
}

}  // namespace orvane
