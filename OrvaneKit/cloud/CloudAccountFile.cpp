#include "OrvaneKit/cloud/CloudAccountFile.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/crypto/Random.h"

namespace orvane {

std::filesystem::path CloudAccountFile::standardPath() {
    return Paths::config() / "orvane" / "cloud.json";
}

std::filesystem::path CloudAccountFile::standardStoreFile() {
    return Paths::applicationSupport() / "orvane" / "cloud" / "iCloud.com.nimbrel.kelsap.sqlite";
}

CloudAccountFile CloudAccountFile::loadOrCreate(const std::filesystem::path& path) {
    CloudAccountFile f;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) {
        f.userRecordName = "_" + toHex(randomBytes(16));
        const std::string text = nlohmann::json{{"backend", f.backend},
                                                {"userRecordName", f.userRecordName},
                                                {"account", f.account}}
                                     .dump(2) +
                                 "\n";
        if (!writeFileAtomically(path, text.data(), text.size(), 0600))
            throw CloudError(CloudErrorCode::internalError,
                             "The cloud settings " + path.string() + " could not be written.");
        return f;
    }
    std::ifstream in(path);
    std::stringstream buf;
    buf << in.rdbuf();
    auto j = nlohmann::json::parse(buf.str(), nullptr, false);
    if (!in || !j.is_object())
        throw CloudError(CloudErrorCode::internalError,
                         "The cloud settings " + path.string() + " cannot be read.");
    auto text = [&](const char* key, const std::string& fallback) {
        auto it = j.find(key);
        return it != j.end() && it->is_string() ? it->get<std::string>() : fallback;
    };
    f.backend = text("backend", f.backend);
    f.userRecordName = text("userRecordName", "");
    f.account = text("account", f.account);
    f.server = text("server", "");
    f.database = text("database", "");
    f.role = text("role", "");
    if (auto it = j.find("port"); it != j.end() && it->is_number_integer()) f.port = it->get<int>();
    if (f.userRecordName.empty() && f.account != "none")
        throw CloudError(CloudErrorCode::internalError,
                         "The cloud settings " + path.string() + " name no user.");
    return f;
}

int CloudAccountFile::accountStatus() const {
    return account == "none" ? CloudAccountStatus::noAccount : CloudAccountStatus::available;
}

std::shared_ptr<CloudDatabase> UnavailableCloudStore::database(CloudScope) {
    throw error();
}

}  // namespace orvane
