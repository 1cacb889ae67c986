#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "OrvaneKit/cloud/CloudStore.h"

namespace orvane {

// Which store holds the owner's records and who the owner is: cloud.json, made on first use.
struct CloudAccountFile {
    std::string backend = "sqlite";
    // Stands for the signed-in user; every device of the owner shares it.
    std::string userRecordName;
    // "available", or "none" for a machine without an account.
    std::string account = "available";
    // For "postgres": where the server is and whom to log in as; the password is in the
    // keychain ("cloud.postgres").
    std::string server;
    int port = 5432;
    std::string database;
    std::string role;

    // $XDG_CONFIG_HOME/orvane/cloud.json
    static std::filesystem::path standardPath();
    // The record file of the SQLite store: $XDG_DATA_HOME/orvane/cloud/<container>.sqlite
    static std::filesystem::path standardStoreFile();
    // Reads the file, or writes a new one with a fresh user when there is none. Throws
    // CloudError with the reason when it cannot.
    static CloudAccountFile loadOrCreate(const std::filesystem::path& path);

    int accountStatus() const;
};

// A store that could not be opened: every call fails with the reason.
class UnavailableCloudStore final : public CloudStore {
public:
    explicit UnavailableCloudStore(std::string reason) : reason_(std::move(reason)) {}
    int accountStatus() override { throw error(); }
    std::string currentUserRecordName() override { throw error(); }
    std::shared_ptr<CloudDatabase> database(CloudScope scope) override;
    void setPushHandler(asio::any_io_executor, std::function<void()>) override {}
    void addShareParticipant(const CloudZoneID&, const std::string&) override { throw error(); }
    CloudZoneID acceptShare(const std::string&) override { throw error(); }
    CloudError error() const { return CloudError(CloudErrorCode::internalError, reason_); }

private:
    std::string reason_;
};

}  // namespace orvane
