#include "OrvaneKit/protocol/Messages.h"

#include "OrvaneKit/protocol/RecordHash.h"

namespace orvane {

void toJson(json::Value& out, const SharerInfo& v) {
    json::putField(out, "orientation", v.orientation);
}
void fromJson(const json::Value& in, SharerInfo& v) {
    v.orientation = json::requireField<std::uint32_t>(in, "orientation");
}

void toJson(json::Value& out, const Clipboard& v) {
    json::putField(out, "text", v.text);
}
void fromJson(const json::Value& in, Clipboard& v) {
    v.text = json::requireField<std::string>(in, "text");
}

void toJson(json::Value& out, const Bye& v) {
    json::putField(out, "reason", v.reason);
}
void fromJson(const json::Value& in, Bye& v) {
    v.reason = json::requireField<std::string>(in, "reason");
}

void toJson(json::Value& out, const FileOffer& v) {
    json::putField(out, "id", v.id);
    json::putField(out, "name", v.name);
    json::putField(out, "size", v.size);
    json::putOptional(out, "purpose", v.purpose);
}
void fromJson(const json::Value& in, FileOffer& v) {
    v.id = json::requireField<Uuid>(in, "id");
    v.name = json::requireField<std::string>(in, "name");
    v.size = json::requireField<std::int64_t>(in, "size");
    v.purpose = json::optionalField<std::string>(in, "purpose");
}

void toJson(json::Value& out, const FileEnd& v) {
    json::putField(out, "id", v.id);
    json::putField(out, "cancelled", v.cancelled);
}
void fromJson(const json::Value& in, FileEnd& v) {
    v.id = json::requireField<Uuid>(in, "id");
    v.cancelled = json::requireField<bool>(in, "cancelled");
}

void toJson(json::Value& out, const ChatMessage& v) {
    json::putField(out, "id", v.id);
    json::putField(out, "text", v.text);
    json::putField(out, "sender", v.sender);
    json::putField(out, "sentAt", v.sentAt);
}
void fromJson(const json::Value& in, ChatMessage& v) {
    v.id = json::requireField<Uuid>(in, "id");
    v.text = json::requireField<std::string>(in, "text");
    v.sender = json::requireField<std::string>(in, "sender");
    v.sentAt = json::requireField<Date>(in, "sentAt");
}

void toJson(json::Value& out, const SessionPermissions& v) {
    json::putField(out, "canControl", v.canControl);
    json::putField(out, "isSupportSession", v.isSupportSession);
}
void fromJson(const json::Value& in, SessionPermissions& v) {
    v.canControl = json::requireField<bool>(in, "canControl");
    v.isSupportSession = json::requireField<bool>(in, "isSupportSession");
}

void toJson(json::Value& out, const ScreenText& v) {
    json::putField(out, "lines", v.lines);
    json::putOptional(out, "frontmostApp", v.frontmostApp);
}
void fromJson(const json::Value& in, ScreenText& v) {
    v.lines = json::requireField<std::vector<std::string>>(in, "lines");
    v.frontmostApp = json::optionalField<std::string>(in, "frontmostApp");
}

}  // namespace orvane

std::size_t std::hash<orvane::ChatMessage>::operator()(
    const orvane::ChatMessage& m) const noexcept {
    return orvane::hashValues(m.id, m.text, m.sender, m.sentAt.secondsSince2001());
}
