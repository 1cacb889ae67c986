#include "Orvane_Host/update/UpdateChecker.h"

#include <cmath>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace orvane {

namespace {

using json = nlohmann::json;

std::string lower(std::string_view s) {
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool endsWithIgnoringCase(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() &&
           lower(text.substr(text.size() - suffix.size())) == lower(suffix);
}

const json* field(const json& object, const char* key, bool required) {
    auto it = object.find(key);
    // An explicit null counts as absent, as for any optional key.
    if (it == object.end() || it->is_null()) {
        if (required) throw std::invalid_argument(std::string("\"") + key + "\" is missing");
        return nullptr;
    }
    return &*it;
}

std::string text(const json& object, const char* key) {
    const json* v = field(object, key, true);
    if (!v->is_string()) throw std::invalid_argument(std::string("\"") + key + "\" is not a text");
    return v->get<std::string>();
}

std::optional<std::string> optionalText(const json& object, const char* key) {
    const json* v = field(object, key, false);
    if (!v) return std::nullopt;
    if (!v->is_string()) throw std::invalid_argument(std::string("\"") + key + "\" is not a text");
    return v->get<std::string>();
}

std::int64_t integer(const json& object, const char* key) {
    const json* v = field(object, key, true);
    auto bad = [&] {
        return std::invalid_argument(std::string("\"") + key + "\" is not a whole number");
    };
    if (v->is_number_integer() && !v->is_number_unsigned()) return v->get<std::int64_t>();
    if (v->is_number_unsigned()) {
        auto u = v->get<std::uint64_t>();
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) throw bad();
        return static_cast<std::int64_t>(u);
    }
    if (v->is_number_float()) {
        // 12.0 is the whole number 12; 12.5, or a number beyond 64 bits, is not.
        double d = v->get<double>();
        if (std::isfinite(d) && d == std::trunc(d) && d >= -9223372036854775808.0 &&
            d < 9223372036854775808.0)
            return static_cast<std::int64_t>(d);
    }
    throw bad();
}

}  // namespace

UpdateChecker::Release UpdateChecker::Release::decode(std::string_view body) {
    json doc = json::parse(body, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded()) throw std::invalid_argument("the answer is not JSON");
    if (!doc.is_object()) throw std::invalid_argument("the answer is not a JSON object");
    Release r;
    r.shortVersion = text(doc, "shortVersion");
    r.build = integer(doc, "build");
    r.url = text(doc, "url");
    r.notes = optionalText(doc, "notes");
    r.minimumSystemVersion = optionalText(doc, "minimumSystemVersion");
    return r;
}

UpdateChecker::Feed UpdateChecker::Feed::fromSettings(
    const SettingsStore& settings, const std::function<const char*(const char*)>& environment) {
    auto pick = [&](std::string_view key, const char* variable) -> std::optional<std::string> {
        if (const char* v = environment ? environment(variable) : nullptr; v && *v)
            return std::string(v);
        if (auto s = settings.string(key); s && !s->empty()) return s;
        return std::nullopt;
    };
    Feed f;
    if (auto s = pick(serverKey, serverVariable)) f.server = *s;
    while (!f.server.empty() && f.server.back() == '/') f.server.pop_back();
    if (auto c = pick(caFileKey, caFileVariable)) f.caFile = *c;
    return f;
}

std::string UpdateChecker::Feed::downloadPageText() const {
    auto at = server.find("://");
    return (at == std::string::npos ? server : server.substr(at + 3)) + "/download";
}

std::int64_t UpdateChecker::parseBuild(std::string_view s) {
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) return 0;
    // Gathered as a negative number, so the most negative value fits too.
    std::int64_t v = 0;
    constexpr auto lowest = std::numeric_limits<std::int64_t>::min();
    for (char c : s) {
        if (c < '0' || c > '9') return 0;
        int d = c - '0';
        if (v < (lowest + d) / 10) return 0;
        v = v * 10 - d;
    }
    if (negative) return v;
    return v == lowest ? 0 : -v;
}

bool UpdateChecker::isWebAddress(std::string_view url) {
    for (char ch : url) {
        auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7f) return false;
        if (std::string_view("\"<>\\^`{|}").find(ch) != std::string_view::npos) return false;
    }
    auto sep = url.find("://");
    if (sep == std::string_view::npos) return false;
    std::string scheme = lower(url.substr(0, sep));
    if (scheme != "http" && scheme != "https") return false;
    std::string_view rest = url.substr(sep + 3);
    std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    std::string_view host = authority.substr(authority.rfind('@') + 1);
    return !host.empty() && host.front() != ':';
}

std::shared_ptr<UpdateChecker> UpdateChecker::make(Environment env, Feed feed, Bundle bundle) {
    return std::shared_ptr<UpdateChecker>(
        new UpdateChecker(env, std::move(feed), std::move(bundle)));
}

UpdateChecker::UpdateChecker(Environment env, Feed feed, Bundle bundle)
    : env_(env), feed_(std::move(feed)), bundle_(std::move(bundle)) {}

void UpdateChecker::check(bool userInitiated, std::function<void()> done) {
    ORVANE_ASSERT_MAIN_ACTOR(env_.mainActor);
    status_.set(Status::checking());
    if (!isWebAddress(feed_.manifestURL())) {
        fail("The update server's address is not a web address: " + feed_.server, userInitiated,
             std::move(done));
        return;
    }
    HttpRequest request;
    request.url = feed_.manifestURL();
    request.timeout = feed_.timeout;
    request.ignoreCache = true;
    request.caFile = feed_.caFile;
    env_.http.get(std::move(request),
                  [weak = weak_from_this(), actor = &env_.mainActor, userInitiated,
                   done = std::move(done)](HttpResult result) mutable {
                      actor->postTo(weak, [result = std::move(result), userInitiated,
                                           done = std::move(done)](UpdateChecker& self) mutable {
                          self.finish(std::move(result), userInitiated, std::move(done));
                      });
                  });
}

void UpdateChecker::finish(HttpResult result, bool userInitiated, std::function<void()> done) {
    if (!result.answered()) return fail(result.error, userInitiated, std::move(done));
    if (result.status != 200)
        return fail("The update server gave an unexpected answer (HTTP status " +
                        std::to_string(result.status) + ").",
                    userInitiated, std::move(done));
    Release release;
    try {
        release = Release::decode(result.body);
    } catch (const std::invalid_argument& e) {
        return fail(std::string("The update information could not be read: ") + e.what() + ".",
                    userInitiated, std::move(done));
    }

    if (currentBuild() >= release.build) {
        status_.set(Status::upToDate());
        if (userInitiated) return presentUpToDateAlert(std::move(done));
        if (done) done();
        return;
    }
    status_.set(Status::available(release.shortVersion));
    std::int64_t skipped = env_.settings.integer(dismissedKey);
    if (userInitiated || skipped < release.build)
        return presentUpdateAlert(release, std::move(done));
    if (done) done();
}

void UpdateChecker::fail(const std::string& why, bool userInitiated, std::function<void()> done) {
    log_.error("update check failed: {}", why);
    status_.set(Status::failed(why));
    if (userInitiated) return presentFailureAlert(std::move(done));
    if (done) done();
}

void UpdateChecker::presentUpdateAlert(const Release& release, std::function<void()> done) {
    bool package = endsWithIgnoringCase(release.url, packageSuffix);
    AlertSpec spec;
    spec.message = "Orvane Host " + release.shortVersion + " is available";
    spec.informativeText =
        "You have " + currentVersion() +
        (package ? ". Would you like to download the update?"
                 : ". A newer build is listed, but the Host disk image is not published on the "
                   "site, so this opens the download page instead of a missing file.");
    spec.buttons = {package ? "Download Update" : "Open Download Page", "Remind Me Later",
                    "Skip This Version"};
    std::string target = package ? release.url : feed_.downloadPage();
    std::string note = spec.message + " (you have " + currentVersion() + "): " + target;
    show(
        std::move(spec), std::move(note),
        [weak = weak_from_this(), target, build = release.build](int response) {
            auto self = weak.lock();
            if (!self) return;
            if (response == AlertResponse::firstButton) self->openWebPage(target);
            if (response == AlertResponse::thirdButton)
                self->env_.settings.setInteger(dismissedKey, build);
        },
        std::move(done));
}

void UpdateChecker::presentUpToDateAlert(std::function<void()> done) {
    AlertSpec spec;
    spec.message = "You're up to date";
    spec.informativeText = "Orvane Host " + currentVersion() + " is the latest version.";
    spec.buttons = {"OK"};
    std::string note = spec.message + ": " + spec.informativeText;
    show(
        std::move(spec), std::move(note), [](int) {}, std::move(done));
}

void UpdateChecker::presentFailureAlert(std::function<void()> done) {
    AlertSpec spec;
    spec.message = "Couldn't check for updates";
    spec.informativeText = "Please try again later, or visit " + feed_.downloadPageText() + ".";
    spec.buttons = {"OK", "Open Download Page"};
    show(
        std::move(spec), {},
        [weak = weak_from_this()](int response) {
            auto self = weak.lock();
            if (self && response == AlertResponse::secondButton)
                self->openWebPage(self->feed_.downloadPage());
        },
        std::move(done));
}

void UpdateChecker::show(AlertSpec spec, std::string unansweredNote,
                         std::function<void(int)> answered, std::function<void()> done) {
    // Any answer made up here would act for the person: skip a build, or open a browser.
    if (!env_.alerts.answeredByPerson()) {
        if (!unansweredNote.empty()) log_.notice("{}", unansweredNote);
        if (done) done();
        return;
    }
    env_.alerts.show(std::move(spec),
                     [answered = std::move(answered), done = std::move(done)](int response) {
                         answered(response);
                         if (done) done();
                     });
}

void UpdateChecker::openWebPage(const std::string& url) {
    if (!isWebAddress(url)) {
        log_.notice("not opening \"{}\": only http and https addresses are opened", url);
        return;
    }
    env_.workspace.openURL(url);
}

}  // namespace orvane
