#pragma once

#include <filesystem>
#include <memory>
#include <string>

namespace orvane {

// A private PostgreSQL server for the test program: a fresh cluster in a temporary folder,
// listening on 127.0.0.1 at a free port, started on first use and stopped at exit. As root it
// runs as the "postgres" system user, since the server refuses root.
class PostgresServer {
public:
    // The server, or null with `whyNot` set when it cannot run here (binaries missing, ...).
    static PostgresServer* shared(std::string& whyNot);
    // Whether the server's binaries are absent: the only reason to skip rather than fail.
    static bool missing();
    ~PostgresServer();

    // A new empty database owned by the superuser "postgres"; its connection string.
    std::string newDatabase();
    // Runs SQL through psql on `database` as `role`; its output.
    std::string psql(const std::string& database, const std::string& sql,
                     const std::string& role = "postgres");
    int port() const { return port_; }
    // Stops the server and starts it again on the same port and data.
    void stop();
    void start();

private:
    PostgresServer() = default;
    std::string run(const std::string& command);
    std::string startCommand_;
    std::filesystem::path bin_;
    std::filesystem::path dir_;
    int port_ = 0;
    int databases_ = 0;
    bool root_ = false;
};

}  // namespace orvane
