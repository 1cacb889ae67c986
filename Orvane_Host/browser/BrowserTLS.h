#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneKit/base/Logger.h"
#include "OrvaneKit/base/SettingsStore.h"
#include "OrvaneKit/crypto/Random.h"
#include "OrvaneKit/net/openssl/TlsCertContext.h"

namespace orvane {

// The browser server's own certificate: a self-signed RSA 2048 identity for serverAuth, made
// once with the openssl tool, kept as a passphrase-protected PKCS#12 file (mode 0600) whose
// passphrase lives in the settings, loaded at every server start and cached once loaded.
class BrowserTLS {
public:
    static constexpr const char* passphraseKey = "browserTLSPassphrase";
    static constexpr const char* fileName = "browser-tls.p12";
    static constexpr const char* folderName = "Orvane Host";

    struct Environment {
        SettingsStore& settings;
        std::filesystem::path identityFile = standardIdentityFile();
        std::filesystem::path tempFolder;  // empty: the system's temporary folder
        std::function<std::string()> machineName;
        std::string tool = "/usr/bin/openssl";
        RandomSource* random = &systemRandom();
    };

    explicit BrowserTLS(Environment env);

    // The cached identity, else the stored one, else a newly made one; null when none can be
    // had (nothing is cached then, so the next call tries again). Blocks while the tool runs.
    std::shared_ptr<TlsCertContext> identity();
    std::shared_ptr<TlsCertContext> loadIdentity();
    bool makeIdentity();

    // $XDG_DATA_HOME/Orvane Host/browser-tls.p12
    static std::filesystem::path standardIdentityFile();
    // Keeps the ASCII characters of `name` except "/".
    static std::string subjectSafeName(std::string_view name);
    // "/CN=Orvane Host (<name>)" for the tool's -subj, with the characters it would read as
    // syntax ("+", "=", "\") escaped.
    static std::string subjectArgument(std::string_view safeName);
    // Runs the tool with its output discarded; `secret`, when given, is readable by the tool on
    // file descriptor 3 (so it never appears on a command line). True on exit status 0.
    bool runTool(const std::vector<std::string>& args, const std::string* secret = nullptr) const;

private:
    Environment env_;
    const Logger log_{"com.nimbrel.kelsap.host", "browser"};
    std::mutex mutex_;
    std::shared_ptr<TlsCertContext> cached_;
};

}  // namespace orvane
