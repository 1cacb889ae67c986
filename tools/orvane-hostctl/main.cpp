// Asks the running Orvane Host for its access code, a new code, or to disconnect everyone, over
// the session bus. Prints the host's sentence, or with --value only the code.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <string>

#include "Orvane_Host/system/dbus/HostBusService.h"

namespace {

constexpr int unavailable = 69;  // EX_UNAVAILABLE

int usage() {
    std::cerr << "usage: orvane-hostctl get-code|new-code|disconnect-all [--value] [--no-start]\n"
              << "  get-code        print the access code\n"
              << "  new-code        make a new access code (every session ends)\n"
              << "  disconnect-all  end every session, waiting ones too\n"
              << "  --value         print only the code\n"
              << "  --no-start      do not start the host when it is not running\n";
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    const std::map<std::string, std::string> methods = {{"get-code", "GetAccessCode"},
                                                        {"new-code", "ChangeAccessCode"},
                                                        {"disconnect-all", "DisconnectEveryone"}};
    std::string command;
    bool valueOnly = false, allowStart = true;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--value")
            valueOnly = true;
        else if (a == "--no-start")
            allowStart = false;
        else if (a == "-h" || a == "--help")
            return usage(), 0;
        else if (command.empty() && methods.count(a))
            command = a;
        else
            return usage();
    }
    if (command.empty()) return usage();
    auto r = orvane::callHostBus(methods.at(command), allowStart);
    if (!r.reached) {
        std::cerr << "Orvane Host is not running." << std::endl;
        return unavailable;
    }
    if (!r.error.empty()) {
        std::cerr << "orvane-hostctl: " << r.error << std::endl;
        return 1;
    }
    if (r.strings.empty()) return 1;
    // Two strings: the value, then the sentence; one: the sentence alone.
    bool hasValue = r.strings.size() == 2;
    if (valueOnly && hasValue)
        std::cout << r.strings[0] << "\n";
    else
        std::cout << r.strings.back() << "\n";
    return 0;
}
