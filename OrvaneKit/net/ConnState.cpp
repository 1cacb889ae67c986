#include "OrvaneKit/net/ConnState.h"

#include <cstring>

namespace orvane {

const NetError* stateError(const ConnState& state) {
    if (auto* w = std::get_if<conn::Waiting>(&state)) return &w->error;
    if (auto* f = std::get_if<conn::Failed>(&state)) return &f->error;
    return nullptr;
}

bool isTlsFailure(const ConnState& state) {
    const NetError* e = stateError(state);
    return e && e->kind == NetError::Kind::tls;
}

std::string describe(const NetError& error) {
    const char* kind = error.kind == NetError::Kind::tls   ? "tls"
                       : error.kind == NetError::Kind::dns ? "dns"
                                                           : "posix";
    std::string out = std::string(kind) + " " + std::to_string(error.code);
    if (!error.text.empty()) out += ": " + error.text;
    return out;
}

std::string describe(const ConnState& state) {
    struct Visitor {
        std::string operator()(const conn::Setup&) const { return "setup"; }
        std::string operator()(const conn::Preparing&) const { return "preparing"; }
        std::string operator()(const conn::Waiting& w) const {
            return "waiting(" + describe(w.error) + ")";
        }
        std::string operator()(const conn::Ready&) const { return "ready"; }
        std::string operator()(const conn::Failed& f) const {
            return "failed(" + describe(f.error) + ")";
        }
        std::string operator()(const conn::Cancelled&) const { return "cancelled"; }
    };
    return std::visit(Visitor{}, state);
}

NetError posixError(int code, std::string text) {
    if (text.empty()) text = std::strerror(code);
    return NetError{NetError::Kind::posix, code, std::move(text)};
}

NetError tlsError(int code, std::string text) {
    return NetError{NetError::Kind::tls, code, std::move(text)};
}

}  // namespace orvane
