#include "Orvane_Host/system/linux/AutostartLoginItem.h"

#include <fstream>
#include <string_view>

#include "OrvaneKit/base/Paths.h"

namespace orvane {

namespace {

std::string trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return std::string(s);
}

}  // namespace

AutostartLoginItem::AutostartLoginItem(std::filesystem::path executable,
                                       std::filesystem::path folder)
    : executable_(std::move(executable)), folder_(std::move(folder)) {}

std::filesystem::path AutostartLoginItem::standardFolder() {
    return Paths::config() / "autostart";
}

std::string AutostartLoginItem::execValue(const std::string& executable) {
    static constexpr std::string_view reserved = " \t\n\"'\\><~|&;$*?#()`";
    bool quote = executable.find_first_of(reserved) != std::string::npos;
    std::string arg;
    for (char c : executable) {
        if (c == '%') {
            arg += "%%";
            continue;
        }
        if (quote && (c == '"' || c == '`' || c == '$' || c == '\\')) arg += '\\';
        arg += c;
    }
    if (quote) arg = "\"" + arg + "\"";
    // The value is itself a string of the format, whose escapes come on top.
    std::string value;
    for (char c : arg) {
        if (c == '\\')
            value += "\\\\";
        else if (c == '\n')
            value += "\\n";
        else if (c == '\t')
            value += "\\t";
        else if (c == '\r')
            value += "\\r";
        else
            value += c;
    }
    return value;
}

LoginItem::Status AutostartLoginItem::status() const {
    std::ifstream in(entry());
    if (!in) return Status::notRegistered;
    bool inEntry = false;
    for (std::string line; std::getline(in, line);) {
        std::string t = trimmed(line);
        if (t.empty() || t[0] == '#') continue;
        if (t[0] == '[') {
            inEntry = t == "[Desktop Entry]";
            continue;
        }
        if (!inEntry) continue;
        auto eq = t.find('=');
        if (eq == std::string::npos) continue;
        std::string key = trimmed(std::string_view(t).substr(0, eq));
        std::string value = trimmed(std::string_view(t).substr(eq + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return Status::notRegistered;
    }
    return Status::enabled;
}

std::optional<std::string> AutostartLoginItem::registerItem() {
    std::string text = "[Desktop Entry]\nType=Application\nName=Orvane Host\nExec=" +
                       execValue(executable_.string()) + "\nX-GNOME-Autostart-enabled=true\n";
    if (!writeFileAtomically(entry(), text.data(), text.size(), 0644))
        return "The autostart entry " + entry().string() + " could not be written.";
    return std::nullopt;
}

std::optional<std::string> AutostartLoginItem::unregisterItem() {
    std::error_code ec;
    std::filesystem::remove(entry(), ec);
    if (ec)
        return "The autostart entry " + entry().string() +
               " could not be removed: " + ec.message() + ".";
    return std::nullopt;
}

}  // namespace orvane
