#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "OrvaneKit/base/Bytes.h"

namespace orvane {

// Runs tests/oracle/oracle.mjs (an independent implementation under node) as a child process
// and exchanges one JSON line per request. Test-only.
class NodeOracle {
public:
    // Why the oracle cannot run here (no node, no installed node_modules), or nullopt.
    static std::optional<std::string> unavailableReason();
    // A hex field of an answer; throws when the oracle sent something else.
    static Bytes hexField(const nlohmann::json& answer, const char* name);

    NodeOracle();
    ~NodeOracle();
    NodeOracle(const NodeOracle&) = delete;
    NodeOracle& operator=(const NodeOracle&) = delete;

    // Sends {"op": op, ...fields} and returns the answer; throws std::runtime_error when the
    // oracle reports an error or dies.
    nlohmann::json call(const std::string& op, nlohmann::json fields = nlohmann::json::object());

private:
    std::string readLine();

    int pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    long nextId_ = 1;
    std::string buffer_;
};

}  // namespace orvane
