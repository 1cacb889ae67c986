#include "OrvaneKit/protocol/MacCommand.h"

namespace orvane {

namespace mac_command_cases {
void toJson(json::Value& out, const OpenApp& v) {
    json::putField(out, "name", v.name);
}
void fromJson(const json::Value& in, OpenApp& v) {
    v.name = json::requireField<std::string>(in, "name");
}
void toJson(json::Value& out, const OpenURL& v) {
    json::putField(out, "_0", v.url);
}
void fromJson(const json::Value& in, OpenURL& v) {
    v.url = json::requireField<std::string>(in, "_0");
}
void toJson(json::Value& out, const RunShortcut& v) {
    json::putField(out, "name", v.name);
}
void fromJson(const json::Value& in, RunShortcut& v) {
    v.name = json::requireField<std::string>(in, "name");
}
}  // namespace mac_command_cases

void toJson(json::Value& out, const MacCommand& v) {
    out = json::encodeCases(v);
}
void fromJson(const json::Value& in, MacCommand& v) {
    json::decodeCases(in, v);
}

}  // namespace orvane
