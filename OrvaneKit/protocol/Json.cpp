#include "OrvaneKit/protocol/Json.h"

#include <cfloat>
#include <charconv>
#include <cstdlib>

#include "OrvaneKit/base/Base64.h"

namespace orvane::json {

namespace {

const char* kindName(const Value& v) {
    switch (v.type()) {
        case Value::value_t::null:
            return "null";
        case Value::value_t::object:
            return "an object";
        case Value::value_t::array:
            return "a list";
        case Value::value_t::string:
            return "a text";
        case Value::value_t::boolean:
            return "a Boolean";
        case Value::value_t::number_integer:
        case Value::value_t::number_unsigned:
            return "an integer";
        case Value::value_t::number_float:
            return "a number";
        default:
            return "an unknown value";
    }
}

// The parser itself keeps its own stack, but copying, comparing and dumping a value recurse,
// so a hostile body must not nest deeper than we are prepared to walk.
bool nestingWithinLimit(ByteView bytes) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (auto b : bytes) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (b == '\\')
                escaped = true;
            else if (b == '"')
                inString = false;
            continue;
        }
        if (b == '"') {
            inString = true;
        } else if (b == '[' || b == '{') {
            if (++depth > maxDepth) return false;
        } else if ((b == ']' || b == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

bool allFinite(const Value& v) {
    switch (v.type()) {
        case Value::value_t::number_float:
            return std::isfinite(v.get<double>());
        case Value::value_t::array:
        case Value::value_t::object:
            for (const auto& e : v)
                if (!allFinite(e)) return false;
            return true;
        default:
            return true;
    }
}

}  // namespace

void fail(const std::string& description) {
    throw DecodeError(description);
}

void typeMismatch(const char* expected, const Value& got) {
    fail(std::string("expected ") + expected + ", found " + kindName(got));
}

std::optional<Value> parse(ByteView bytes) {
    if (!nestingWithinLimit(bytes)) return std::nullopt;
    try {
        Value v = Value::parse(bytes.begin(), bytes.end(), nullptr, /*allow_exceptions=*/false,
                               /*ignore_comments=*/false);
        if (v.is_discarded()) return std::nullopt;
        return v;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::optional<Value> parse(std::string_view text) {
    return parse(asBytes(text));
}

std::optional<std::string> dump(const Value& v) {
    if (!allFinite(v)) return std::nullopt;
    std::string text;
    try {
        text = v.dump(-1, ' ', /*ensure_ascii=*/false, Value::error_handler_t::strict);
    } catch (const std::exception&) {
        return std::nullopt;  // a text that is not valid UTF-8
    }
    // Compact output has no "/" outside strings, so escaping every one is exact.
    std::size_t slashes = 0;
    for (char c : text) slashes += c == '/';
    if (slashes == 0) return text;
    std::string out;
    out.reserve(text.size() + slashes);
    for (char c : text) {
        if (c == '/') out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

Value encodeDouble(double v) {
    if (!std::isfinite(v)) throw EncodeError("a non-finite number cannot be encoded");
    // Integral values within the exact range of a double read best as integers, as the viewers
    // write them; -0.0 keeps its sign as a float.
    constexpr double exact = 9007199254740992.0;  // 2^53
    if (v == std::trunc(v) && std::fabs(v) < exact && !(v == 0 && std::signbit(v)))
        return Value(static_cast<std::int64_t>(v));
    return Value(v);
}

double decodeDouble(const Value& in) {
    if (!in.is_number()) typeMismatch("a number", in);
    double d = in.get<double>();
    if (!std::isfinite(d)) fail("number out of range");
    return d;
}

Value Codec<float>::encode(float v) {
    if (!std::isfinite(v)) throw EncodeError("a non-finite number cannot be encoded");
    char buf[32];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    *res.ptr = '\0';
    return encodeDouble(std::strtod(buf, nullptr));
}

float Codec<float>::decode(const Value& in) {
    double d = decodeDouble(in);
    if (std::fabs(d) > static_cast<double>(FLT_MAX)) fail("number does not fit a 32-bit float");
    return static_cast<float>(d);
}

Uuid Codec<Uuid>::decode(const Value& in) {
    if (!in.is_string()) typeMismatch("a UUID text", in);
    auto u = Uuid::parse(in.get_ref<const std::string&>());
    if (!u) fail("invalid UUID text");
    return *u;
}

Value Codec<Bytes>::encode(const Bytes& v) {
    return Value(base64Encode(v));
}

Bytes Codec<Bytes>::decode(const Value& in) {
    if (!in.is_string()) typeMismatch("a base64 text", in);
    auto b = base64Decode(in.get_ref<const std::string&>());
    if (!b) fail("invalid base64 text");
    return std::move(*b);
}

void requireObject(const Value& in) {
    if (!in.is_object()) typeMismatch("an object", in);
}

CaseBody requireCase(const Value& obj, std::initializer_list<std::string_view> cases) {
    requireObject(obj);
    const Value* body = nullptr;
    std::string_view name;
    std::size_t found = 0;
    for (auto c : cases) {
        auto it = obj.find(std::string(c));
        if (it == obj.end()) continue;
        ++found;
        name = c;
        body = &*it;
    }
    if (found != 1) fail(std::string(invalidCaseKeysText));
    if (!body->is_object()) {
        throw DecodeError(std::string("expected an object, found ") + kindName(*body),
                          std::string(name));
    }
    return {name, *body};
}

Value makeCase(std::string_view name, Value body) {
    Value out = Value::object();
    out[std::string(name)] = std::move(body);
    return out;
}

}  // namespace orvane::json
