#pragma once

// The one JSON format of the process: every message body, and the JSON files we keep.
//
// Format (both ends of a session rely on it):
//   - compact UTF-8; keys named exactly like the fields; key order free;
//   - "/" inside a text is written "\/"; input accepts either;
//   - a Date is a number of seconds since 2001-01-01T00:00:00Z; a Uuid is its upper-case text
//     (any case accepted on input); Bytes are standard base64 with padding (strict on input);
//   - an absent optional is left out; on input a missing key and null both mean absent;
//   - unknown keys are ignored;
//   - integers must fit the field's width; an integral number written as 1.0 or 1e2 is
//     accepted (up to 2^53), 1.5 is not; no coercion between numbers, Booleans and texts;
//   - a non-finite floating-point value cannot be encoded;
//   - any JSON value may stand at the top level (a bare string, for example).
// Decoding gives a whole value or nothing. All functions are stateless and thread-safe.
//
// Adding a record type Foo: declare these two beside Foo in its header, in Foo's namespace, so
// argument-dependent lookup finds them (Foo must be default-constructible):
//
//   void toJson(json::Value& out, const Foo& v) {
//       json::putField(out, "name", v.name);
//       json::putOptional(out, "purpose", v.purpose);
//   }
//   void fromJson(const json::Value& in, Foo& v) {
//       json::requireObject(in);
//       v.name = json::requireField<std::string>(in, "name");
//       v.purpose = json::optionalField<std::string>(in, "purpose");
//   }
//
// then `json::encode(foo)` gives the body bytes (nothing for a non-finite number) and
// `json::decode<Foo>(bytes)` the value (nothing for any bad input). Inside fromJson, fail by
// throwing json::DecodeError (the helpers do); it never escapes decode(). Fields of type
// std::vector<T>, std::optional<T> and any type with its own toJson/fromJson nest freely.
// A type that is not a JSON object (an enumeration written as text) works the same way; a type
// with alternatives uses encodeCases/decodeCases below.

#include <cmath>
#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "OrvaneKit/base/Bytes.h"
#include "OrvaneKit/base/Date.h"
#include "OrvaneKit/base/Uuid.h"

namespace orvane::json {

using Value = nlohmann::json;

// A body that does not fit the expected type. `path` names where (e.g. "displays.0.id").
struct DecodeError : std::runtime_error {
    std::string path;
    explicit DecodeError(const std::string& description, std::string path_ = {})
        : std::runtime_error(description), path(std::move(path_)) {}
};

// A value that has no JSON form (a non-finite floating-point number).
struct EncodeError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Bytes to a JSON value: strict UTF-8, the whole input, nesting at most `maxDepth` deep.
std::optional<Value> parse(ByteView bytes);
std::optional<Value> parse(std::string_view text);
// A JSON value to compact text with "/" escaped; nothing when the value holds a non-finite
// number or a text that is not valid UTF-8.
std::optional<std::string> dump(const Value& v);

inline constexpr std::size_t maxDepth = 512;

// ---- Per-type coding -----------------------------------------------------------------------

// Specialise Codec<T> for a type that cannot have toJson/fromJson found by lookup; record
// types just provide the two functions (see the top of this file).
template <class T>
struct Codec {
    static Value encode(const T& v) {
        Value out;
        toJson(out, v);
        return out;
    }
    static T decode(const Value& in) {
        T out{};
        fromJson(in, out);
        return out;
    }
};

[[noreturn]] void fail(const std::string& description);
[[noreturn]] void typeMismatch(const char* expected, const Value& got);

template <>
struct Codec<bool> {
    static Value encode(bool v) { return Value(v); }
    static bool decode(const Value& in) {
        if (!in.is_boolean()) typeMismatch("a Boolean", in);
        return in.get<bool>();
    }
};

template <>
struct Codec<std::string> {
    static Value encode(const std::string& v) { return Value(v); }
    static std::string decode(const Value& in) {
        if (!in.is_string()) typeMismatch("a text", in);
        return in.get<std::string>();
    }
};

template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) struct Codec<T> {
    static Value encode(T v) {
        if constexpr (std::is_signed_v<T>)
            return Value(static_cast<std::int64_t>(v));
        else
            return Value(static_cast<std::uint64_t>(v));
    }
    static T decode(const Value& in) {
        if (in.is_number_unsigned()) {
            auto u = in.get<std::uint64_t>();
            if (!std::in_range<T>(u)) outOfRange(in);
            return static_cast<T>(u);
        }
        if (in.is_number_integer()) {
            auto i = in.get<std::int64_t>();
            if (!std::in_range<T>(i)) outOfRange(in);
            return static_cast<T>(i);
        }
        if (in.is_number_float()) {
            // Accept an integral value written as 1.0 or 1e2, but only within 2^53: beyond it
            // the double may be a rounding of a text that does not fit the field. Integers in
            // plain form are parsed exactly above. The bounds are powers of two, so exact.
            double d = in.get<double>();
            constexpr int bits =
                std::numeric_limits<T>::digits < 53 ? std::numeric_limits<T>::digits : 53;
            const double hi = std::ldexp(1.0, bits);
            const double lo = std::is_signed_v<T> ? -hi : 0.0;
            if (!std::isfinite(d) || d != std::trunc(d) || d < lo || d >= hi) outOfRange(in);
            return static_cast<T>(d);
        }
        typeMismatch("an integer", in);
    }

private:
    [[noreturn]] static void outOfRange(const Value& in) {
        fail("number " + in.dump() + " does not fit the field");
    }
};

// Finite numbers only. Integral values are written without a fraction ("100", not "100.0").
Value encodeDouble(double v);
double decodeDouble(const Value& in);

template <>
struct Codec<double> {
    static Value encode(double v) { return encodeDouble(v); }
    static double decode(const Value& in) { return decodeDouble(in); }
};

// Written with the shortest digits that read back as the same float ("0.1", not
// "0.100000001"). A number beyond the float range fails to decode.
template <>
struct Codec<float> {
    static Value encode(float v);
    static float decode(const Value& in);
};

template <>
struct Codec<Uuid> {
    static Value encode(const Uuid& v) { return Value(v.string()); }
    static Uuid decode(const Value& in);
};

template <>
struct Codec<Date> {
    static Value encode(const Date& v) { return encodeDouble(v.secondsSince2001()); }
    static Date decode(const Value& in) { return Date::fromReference(decodeDouble(in)); }
};

// Byte strings as base64; a list of numbers is never meant.
template <>
struct Codec<Bytes> {
    static Value encode(const Bytes& v);
    static Bytes decode(const Value& in);
};

// A raw JSON value passes through unchanged (non-finite numbers are caught by dump()).
template <>
struct Codec<Value> {
    static Value encode(const Value& v) { return v; }
    static Value decode(const Value& in) { return in; }
};

template <class T>
struct Codec<std::vector<T>> {
    static Value encode(const std::vector<T>& v) {
        Value out = Value::array();
        for (const auto& e : v) out.push_back(Codec<T>::encode(e));
        return out;
    }
    static std::vector<T> decode(const Value& in);
};

// Null for absent; only for optionals nested in lists. Fields use putOptional/optionalField.
template <class T>
struct Codec<std::optional<T>> {
    static Value encode(const std::optional<T>& v) { return v ? Codec<T>::encode(*v) : Value(); }
    static std::optional<T> decode(const Value& in) {
        if (in.is_null()) return std::nullopt;
        return Codec<T>::decode(in);
    }
};

template <class T>
Value toValue(const T& v) {
    return Codec<T>::encode(v);
}
template <class T>
T fromValue(const Value& v) {
    return Codec<T>::decode(v);
}

// ---- Field helpers for toJson / fromJson ---------------------------------------------------

// Fails unless `in` is a JSON object.
void requireObject(const Value& in);

template <class T>
void putField(Value& obj, const char* key, const T& v) {
    obj[key] = Codec<T>::encode(v);
}

template <class T>
void putOptional(Value& obj, const char* key, const std::optional<T>& v) {
    if (v) obj[key] = Codec<T>::encode(*v);
}

// Decodes `fn()` with `key` prepended to the path of any failure.
template <class F>
auto atPath(std::string_view key, F&& fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (DecodeError& e) {
        e.path = e.path.empty() ? std::string(key) : std::string(key) + "." + e.path;
        throw;
    }
}

// The value under `key`; fails when the key is missing or null or the value does not decode.
template <class T>
T requireField(const Value& obj, const char* key) {
    if (!obj.is_object()) typeMismatch("an object", obj);
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) throw DecodeError("no value for key", key);
    return atPath(key, [&] { return Codec<T>::decode(*it); });
}

// Absent when the key is missing or null; fails when present with a value that does not decode.
template <class T>
std::optional<T> optionalField(const Value& obj, const char* key) {
    if (!obj.is_object()) typeMismatch("an object", obj);
    auto it = obj.find(key);
    if (it == obj.end() || it->is_null()) return std::nullopt;
    return atPath(key, [&] { return Codec<T>::decode(*it); });
}

template <class T>
std::vector<T> Codec<std::vector<T>>::decode(const Value& in) {
    if (!in.is_array()) typeMismatch("a list", in);
    std::vector<T> out;
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i)
        out.push_back(atPath(std::to_string(i), [&] { return Codec<T>::decode(in[i]); }));
    return out;
}

// ---- Enumerations with values --------------------------------------------------------------
// Written {"caseName":{label: value, ...}}; a value without a label stands under "_0".

// The text of the failure when an object names no case or several.
inline constexpr std::string_view invalidCaseKeysText =
    "Invalid number of keys found, expected one.";

// The one key of `obj` that names one of `cases` (other keys are not counted), and its value,
// which must be an object.
struct CaseBody {
    std::string_view name;  // one of `cases`
    const Value& body;
};
CaseBody requireCase(const Value& obj, std::initializer_list<std::string_view> cases);

// {name: body}; body defaults to the empty object of a case without values.
Value makeCase(std::string_view name, Value body = Value::object());

// For a std::variant (or a type derived from one) whose alternatives are small structs, each
// with `static constexpr std::string_view caseName` and its own toJson/fromJson for the inner
// object:
//   void toJson(Value& out, const Event& e) { out = json::encodeCases(e); }
//   void fromJson(const Value& in, Event& e) { json::decodeCases(in, e); }
template <class... Cases>
Value encodeCases(const std::variant<Cases...>& v) {
    return std::visit(
        [](const auto& c) {
            Value body = Codec<std::decay_t<decltype(c)>>::encode(c);
            if (body.is_null()) body = Value::object();
            return makeCase(std::decay_t<decltype(c)>::caseName, std::move(body));
        },
        v);
}

template <class... Cases>
void decodeCases(const Value& in, std::variant<Cases...>& out) {
    auto found = requireCase(in, {Cases::caseName...});
    auto tryCase = [&]<class C>(C*) {
        if (found.name != C::caseName) return false;
        out = atPath(C::caseName, [&] { return Codec<C>::decode(found.body); });
        return true;
    };
    (tryCase(static_cast<Cases*>(nullptr)) || ...);
}

// ---- Whole bodies --------------------------------------------------------------------------

template <class T>
std::optional<Value> encodeValue(const T& v) {
    try {
        return Codec<T>::encode(v);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

template <class T>
std::optional<std::string> encodeString(const T& v) {
    auto value = encodeValue(v);
    if (!value) return std::nullopt;
    return dump(*value);
}

// The body bytes of `v`; nothing when it holds a non-finite number or invalid UTF-8 (a send then
// completes with Err::invalid).
template <class T>
std::optional<Bytes> encode(const T& v) {
    auto text = encodeString(v);
    if (!text) return std::nullopt;
    return toBytes(*text);
}

// A whole value, or nothing; `error` (when given) receives the failure's description.
template <class T>
std::optional<T> decodeValue(const Value& in, std::string* error = nullptr) {
    try {
        return Codec<T>::decode(in);
    } catch (const DecodeError& e) {
        if (error) *error = e.path.empty() ? e.what() : e.path + ": " + e.what();
    } catch (const std::exception& e) {
        if (error) *error = e.what();
    }
    return std::nullopt;
}

template <class T>
std::optional<T> decode(ByteView bytes, std::string* error = nullptr) {
    auto value = parse(bytes);
    if (!value) {
        if (error) *error = "not valid JSON";
        return std::nullopt;
    }
    return decodeValue<T>(*value, error);
}

template <class T>
std::optional<T> decode(std::string_view text, std::string* error = nullptr) {
    return decode<T>(asBytes(text), error);
}

}  // namespace orvane::json
