#include "tests/support/PostgresServer.h"

#include <netinet/in.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <mutex>

namespace orvane {

namespace fs = std::filesystem;

namespace {

int freePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

fs::path findBin() {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator("/usr/lib/postgresql", ec)) {
        const auto bin = e.path() / "bin";
        if (fs::exists(bin / "initdb") && fs::exists(bin / "postgres") && fs::exists(bin / "psql"))
            return bin;
    }
    return {};
}

std::unique_ptr<PostgresServer> instance;
std::string failure;
bool binariesMissing = false;

}  // namespace

bool PostgresServer::missing() {
    std::string why;
    shared(why);
    return binariesMissing;
}

PostgresServer* PostgresServer::shared(std::string& whyNot) {
    static std::once_flag once;
    std::call_once(once, [] {
        std::unique_ptr<PostgresServer> s(new PostgresServer);
        s->bin_ = findBin();
        if (s->bin_.empty()) {
            failure = "PostgreSQL's server binaries are not installed (postgresql-15)";
            binariesMissing = true;
            return;
        }
        s->root_ = ::geteuid() == 0;
        char tmpl[] = "/tmp/orvane-pg-XXXXXX";
        if (!::mkdtemp(tmpl)) {
            failure = "no temporary folder";
            return;
        }
        s->dir_ = tmpl;
        if (s->root_) {
            const passwd* pw = ::getpwnam("postgres");
            if (!pw) {
                failure = "there is no postgres system user to run the server as";
                return;
            }
            if (::chown(tmpl, pw->pw_uid, pw->pw_gid) != 0) {
                failure = "the server's folder cannot be handed to postgres";
                return;
            }
        }
        const std::string data = (s->dir_ / "data").string();
        s->run((s->bin_ / "initdb").string() + " -D " + data +
               " -A trust -U postgres -E UTF8 --no-sync --locale=C.UTF-8 >/dev/null 2>&1");
        if (!fs::exists(s->dir_ / "data" / "PG_VERSION")) {
            failure = "initdb failed in " + s->dir_.string();
            return;
        }
        // Another program may take the free port first: try a few.
        bool up = false;
        for (int attempt = 0; attempt < 3 && !up; ++attempt) {
            s->port_ = freePort();
            s->startCommand_ = (s->bin_ / "pg_ctl").string() + " -D " + data + " -l " +
                               (s->dir_ / "log").string() + " -w -t 30 -o \"-p " +
                               std::to_string(s->port_) + " -k " + s->dir_.string() +
                               " -c listen_addresses=127.0.0.1 -c fsync=off" +
                               " -c max_connections=200\" start >/dev/null 2>&1";
            s->start();
            up = s->psql("postgres", "SELECT 1").find('1') != std::string::npos;
        }
        if (!up) {
            failure = "the private server did not start (see " + (s->dir_ / "log").string() + ")";
            return;
        }
        instance = std::move(s);
        std::atexit([] { instance.reset(); });
    });
    whyNot = failure;
    return instance.get();
}

PostgresServer::~PostgresServer() {
    run((bin_ / "pg_ctl").string() + " -D " + (dir_ / "data").string() +
        " -m immediate -w stop >/dev/null 2>&1");
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void PostgresServer::stop() {
    run((bin_ / "pg_ctl").string() + " -D " + (dir_ / "data").string() +
        " -m fast -w stop >/dev/null 2>&1");
}

void PostgresServer::start() {
    run(startCommand_);
}

std::string PostgresServer::run(const std::string& command) {
    const std::string full =
        root_ ? "runuser -u postgres -- sh -c 'cd / && " + command + "'" : command;
    std::string out;
    if (FILE* p = ::popen(full.c_str(), "r")) {
        std::array<char, 4096> buf{};
        std::size_t n;
        while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
        ::pclose(p);
    }
    return out;
}

std::string PostgresServer::newDatabase() {
    const std::string name = "t" + std::to_string(::getpid()) + "_" + std::to_string(++databases_);
    psql("postgres", "CREATE DATABASE " + name);
    return "host=127.0.0.1 port=" + std::to_string(port_) + " dbname=" + name +
           " user=postgres connect_timeout=5";
}

std::string PostgresServer::psql(const std::string& database, const std::string& sql,
                                 const std::string& role) {
    // Written to a file so that no quoting of the SQL is needed.
    const fs::path file = dir_ / ("q" + std::to_string(::getpid()) + ".sql");
    if (FILE* f = std::fopen(file.c_str(), "w")) {
        std::fputs(sql.c_str(), f);
        std::fclose(f);
    }
    ::chmod(file.c_str(), 0644);
    return run((bin_ / "psql").string() + " -X -q -t -A -h 127.0.0.1 -p " + std::to_string(port_) +
               " -U " + role + " -d " + database + " -f " + file.string() + " 2>&1");
}

}  // namespace orvane
