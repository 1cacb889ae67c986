// orvane-peer cloud server and cloud key: the administrator's set-up of a PostgreSQL cloud
// server, logged in as the database's owner that cloud.json names (password in the keychain,
// "cloud.postgres"), and the keys a machine keeps.
//
//   orvane-peer cloud server init [--cloud FILE] [--keychain FILE]
//   orvane-peer cloud server add-user ROLE USERRECORD --password P [--cloud FILE] [--keychain FILE]
//   orvane-peer cloud key export | import HEX | password P [--keychain FILE]

#include <iostream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/cloud/CloudAccountFile.h"
#include "OrvaneKit/cloud/SqlCloudStore.h"
#include "OrvaneKit/cloud/postgres/PostgresCloudStore.h"
#include "OrvaneKit/security/Keychain.h"
#include "OrvaneKit/security/file/FileSecretStore.h"
#include "SubcommandArgs.h"

using namespace orvane;

// Exit status: 0 done, 1 the server failed, 64 bad usage.
int runCloudServerCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 3, argv + argc);
    const SubcommandArgs parsed(args, {"--cloud", "--keychain", "--password"});
    const std::string accountFile =
        parsed.value("--cloud", CloudAccountFile::standardPath().string());
    const std::string keychainFile =
        parsed.value("--keychain", FileSecretStore::standardFile().string());
    const std::string password = parsed.value("--password");
    const auto& words = parsed.words;
    const bool bad = parsed.bad;
    const std::string verb = words.empty() ? "" : words[0];
    if (bad || !((verb == "init" && words.size() == 1) ||
                 (verb == "add-user" && words.size() == 3 && !password.empty()))) {
        std::cerr << "usage: orvane-peer cloud server init [--cloud FILE] [--keychain FILE]\n"
                     "       orvane-peer cloud server add-user ROLE USERRECORD --password P "
                     "[--cloud FILE] [--keychain FILE]\n";
        return 64;
    }
    try {
        auto account = CloudAccountFile::loadOrCreate(accountFile);
        if (account.backend != "postgres")
            throw CloudError(CloudErrorCode::internalError,
                             accountFile + " names no PostgreSQL server.");
        FileSecretStore keychain{std::filesystem::path(keychainFile)};
        const auto info = postgresConnInfo(
            account, Keychain::read(postgresPasswordAccount, SqlCloudStore::keychainService,
                                    std::nullopt, keychain)
                         .value_or(""));
        if (verb == "init") {
            initPostgresServer(info);
            std::cout << nlohmann::json{{"event", "initialised"}}.dump() << std::endl;
        } else {
            addPostgresUser(info, words[1], words[2], password);
            std::cout << nlohmann::json{{"event", "user-added"}, {"role", words[1]}}.dump()
                      << std::endl;
        }
    } catch (const CloudError& e) {
        std::cout
            << nlohmann::json{{"event", "error"}, {"code", e.code}, {"message", e.what()}}.dump()
            << std::endl;
        std::cerr << "orvane-peer: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}

// orvane-peer cloud key: carries the key of encrypted fields to the owner's other machines,
// which otherwise read those fields as absent, and keeps the server password of cloud.json.
int runCloudKeyCommand(int argc, char** argv) {
    std::vector<std::string> args(argv + 3, argv + argc);
    // --cloud is taken and ignored: the keys are the machine's, whatever store it uses.
    const SubcommandArgs parsed(args, {"--cloud", "--keychain"});
    const std::string keychainFile =
        parsed.value("--keychain", FileSecretStore::standardFile().string());
    const auto& words = parsed.words;
    const std::string verb = words.empty() ? "" : words[0];
    if (parsed.bad ||
        !((verb == "export" && words.size() == 1) || (verb == "import" && words.size() == 2))) {
        std::cerr << "usage: orvane-peer cloud key export | import HEX [--keychain FILE]\n";
        return 64;
    }
    FileSecretStore keychain{std::filesystem::path(keychainFile)};
    constexpr const char* service = SqlCloudStore::keychainService;
    if (verb == "export") {
        auto key = Keychain::read(SqlCloudStore::fieldKeyAccount, service, std::nullopt, keychain);
        if (!key) {
            std::cerr << "orvane-peer: this machine holds no key for encrypted fields\n";
            return 1;
        }
        std::cout << *key << std::endl;
        return 0;
    }
    auto key = fromHex(words[1]);
    if (!key || key->size() != 32) {
        std::cerr << "orvane-peer: the key is 64 hexadecimal digits\n";
        return 64;
    }
    if (!Keychain::set(toHex(*key), SqlCloudStore::fieldKeyAccount, service, true, std::nullopt,
                       keychain)) {
        std::cerr << "orvane-peer: the keychain could not be written\n";
        return 1;
    }
    std::cout << nlohmann::json{{"event", "imported"}}.dump() << std::endl;
    return 0;
}
