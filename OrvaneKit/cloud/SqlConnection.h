#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orvane {

// The little of SQL the record store needs, so that one store logic runs on every database
// engine. Placeholders are written "?" and numbered from 1. Failures throw CloudError.
class SqlStatement {
public:
    virtual ~SqlStatement() = default;
    virtual void bind(int index, std::int64_t value) = 0;
    virtual void bind(int index, const std::string& value) = 0;
    virtual void bindNull(int index) = 0;
    // True while a row is there to read.
    virtual bool step() = 0;
    virtual bool isNull(int column) = 0;
    virtual std::int64_t integer(int column) = 0;
    virtual std::string text(int column) = 0;
};

class SqlConnection {
public:
    virtual ~SqlConnection() = default;
    virtual void execute(const std::string& sql) = 0;
    virtual std::unique_ptr<SqlStatement> prepare(const std::string& sql) = 0;
    // A transaction that holds off every other writer from its start.
    virtual void begin() = 0;
    virtual void commit() = 0;
    virtual void rollback() = 0;
};

}  // namespace orvane
