#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace orvane {

// The words and options after a subcommand: "--name VALUE" for the options named in `valued`,
// "--flag" for those in `flags`. Any other option, or a valued one without its value, is bad.
struct SubcommandArgs {
    std::vector<std::string> words;
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
    bool bad = false;

    SubcommandArgs(const std::vector<std::string>& args, const std::set<std::string>& valued,
                   const std::set<std::string>& flagNames = {}) {
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (valued.contains(a) && i + 1 < args.size())
                values[a] = args[++i];
            else if (flagNames.contains(a))
                flags.insert(a);
            else if (a.rfind("--", 0) == 0)
                bad = true;
            else
                words.push_back(a);
        }
    }

    std::string value(const std::string& option, std::string otherwise = "") const {
        auto it = values.find(option);
        return it == values.end() ? otherwise : it->second;
    }
    bool has(const std::string& option) const { return values.contains(option); }
};

}  // namespace orvane
