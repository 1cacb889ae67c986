#include "Orvane_Host/session/MacActions.h"

#include <algorithm>
#include <asio/post.hpp>
#include <cctype>
#include <cmath>

#include "OrvaneKit/base/Paths.h"
#include "OrvaneKit/media/FrameBuffer.h"
#include "OrvaneKit/protocol/Json.h"
#include "Orvane_Host/session/RemoteClient.h"

namespace orvane {

namespace {

bool isSchemeChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
}

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The characters an address may hold as written: RFC 3986's unreserved and reserved ones, and
// percent escapes. Spaces, quotes, controls and anything beyond ASCII make it no address.
bool isAddressText(const std::string& s) {
    static const std::string allowed = "-._~:/?#[]@!$&'()*+,;=";
    for (std::size_t i = 0; i < s.size(); ++i) {
        char c = s[i];
        if (c == '%') {
            if (i + 2 >= s.size() || !isHex(s[i + 1]) || !isHex(s[i + 2])) return false;
            i += 2;
        } else if (!std::isalnum(static_cast<unsigned char>(c)) &&
                   allowed.find(c) == std::string::npos) {
            return false;
        }
    }
    return true;
}

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The picture's luma as 8-bit grey: the Y plane itself, or a copy for 10-bit frames.
GreyImage greyOf(const FrameBuffer& f, std::vector<std::uint8_t>& scratch) {
    if (f.format() != PixelFormat::yuv420p10)
        return {f.data(0), f.width(), f.height(), f.stride(0)};
    scratch.resize(static_cast<std::size_t>(f.width()) * static_cast<std::size_t>(f.height()));
    for (int y = 0; y < f.height(); ++y) {
        auto* row = reinterpret_cast<const std::uint16_t*>(f.data(0) + y * f.stride(0));
        for (int x = 0; x < f.width(); ++x)
            scratch[static_cast<std::size_t>(y) * static_cast<std::size_t>(f.width()) +
                    static_cast<std::size_t>(x)] = static_cast<std::uint8_t>(row[x] >> 2);
    }
    return {scratch.data(), f.width(), f.height(), f.width()};
}

// Limited ("video") range Y'CbCr to full-range R'G'B' for one colour matrix, in 16.16 fixed
// point: libyuv's tables are a dozen steps off on saturated blues, which a snapshot would show.
struct YuvToRgb {
    int bits;       // 8 or 10
    double kr, kb;  // the matrix's luma weights
};
constexpr YuvToRgb bt709{8, 0.2126, 0.0722};
constexpr YuvToRgb bt2020{10, 0.2627, 0.0593};

template <class Sample>
void convertRows(const FrameBuffer& f, const YuvToRgb& m, std::uint8_t* out, int outStride) {
    const double scale = double(1 << (m.bits - 8));
    const double ys = 255.0 / (219.0 * scale), cs = 255.0 / (224.0 * scale);
    const double kg = 1.0 - m.kr - m.kb;
    auto fix = [](double v) { return static_cast<std::int64_t>(std::lround(v * 65536.0)); };
    const std::int64_t yk = fix(ys), rv = fix(cs * 2 * (1 - m.kr)), bu = fix(cs * 2 * (1 - m.kb)),
                       gu = fix(cs * 2 * (1 - m.kb) * m.kb / kg),
                       gv = fix(cs * 2 * (1 - m.kr) * m.kr / kg);
    const int y0 = 16 << (m.bits - 8), c0 = 128 << (m.bits - 8);
    auto clamp = [](std::int64_t v) {
        v = (v + 32768) >> 16;
        return static_cast<std::uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    };
    const bool interleaved = f.format() == PixelFormat::nv12;
    for (int row = 0; row < f.height(); ++row) {
        auto* y = reinterpret_cast<const Sample*>(f.data(0) + row * f.stride(0));
        auto* u = reinterpret_cast<const Sample*>(f.data(1) + (row / 2) * f.stride(1));
        auto* v = interleaved
                      ? u + 1
                      : reinterpret_cast<const Sample*>(f.data(2) + (row / 2) * f.stride(2));
        const int step = interleaved ? 2 : 1;
        std::uint8_t* o = out + static_cast<std::ptrdiff_t>(row) * outStride;
        for (int x = 0; x < f.width(); ++x, o += 4) {
            const std::int64_t yy = (std::int64_t(y[x]) - y0) * yk;
            const std::int64_t cb = std::int64_t(u[(x / 2) * step]) - c0;
            const std::int64_t cr = std::int64_t(v[(x / 2) * step]) - c0;
            o[0] = clamp(yy + bu * cb);
            o[1] = clamp(yy - gu * cb - gv * cr);
            o[2] = clamp(yy + rv * cr);
            o[3] = 255;
        }
    }
}

// B, G, R, unused bytes of the frame, in its own colour matrix (the HDR path's BT.2020 picture
// shown without tone mapping).
void toBGRX(const FrameBuffer& f, std::vector<std::uint8_t>& out, int stride) {
    out.resize(static_cast<std::size_t>(stride) * static_cast<std::size_t>(f.height()));
    if (f.format() == PixelFormat::yuv420p10)
        convertRows<std::uint16_t>(f, bt2020, out.data(), stride);
    else
        convertRows<std::uint8_t>(f, bt709, out.data(), stride);
}

}  // namespace

std::filesystem::path MacActions::standardShortcutsFolder() {
    return Paths::config() / "orvane-host" / "shortcuts";
}

MacActions::MacActions(Services services, Config config)
    : s_(std::move(services)), config_(std::move(config)) {}

// ---- Power ----

void MacActions::performPowerCommand(const HostAction& action) {
    ORVANE_ASSERT_MAIN_ACTOR(s_.mainActor);
    switch (action) {
        case HostAction::lockScreen: {
            // Keys still held would reach whatever has the focus once the screen is locked.
            s_.injector.releaseAll();
            PowerActions& power = s_.power;
            s_.injector.afterPending([&power] { power.lockScreen(); });
            return;
        }
        case HostAction::sleepDisplay:
            asio::post(s_.work, [this] {
                if (!s_.display.sleepDisplay())
                    log_.notice("the display could not be turned off: it has no power control");
            });
            return;
        case HostAction::restart:
            asio::post(s_.work, [this] { s_.power.restart(); });
            return;
    }
}

// ---- Commands ----

std::optional<std::string> MacActions::webAddress(const std::string& text) {
    std::string url = text.find("://") != std::string::npos ? text : "https://" + text;
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(url[0])) ||
        !std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), isSchemeChar))
        return std::nullopt;
    std::string scheme = lower(url.substr(0, colon));
    if (scheme != "http" && scheme != "https") return std::nullopt;
    if (!isAddressText(url) || url.compare(colon + 1, 2, "//") != 0) return std::nullopt;
    // The host: what lies between "//" and the path, without user information and port.
    std::size_t start = colon + 3;
    std::size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
    if (auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
    std::size_t hostEnd = authority.size();
    if (!authority.empty() && authority[0] == '[') {
        hostEnd = authority.find(']');
        if (hostEnd == std::string::npos || hostEnd == 1) return std::nullopt;
        ++hostEnd;
    } else if (auto c = authority.find(':'); c != std::string::npos) {
        hostEnd = c;
    }
    std::string port = authority.substr(hostEnd);
    if (!port.empty() && (port[0] != ':' || !std::all_of(port.begin() + 1, port.end(), [](char d) {
                              return std::isdigit(static_cast<unsigned char>(d)) != 0;
                          })))
        return std::nullopt;
    if (hostEnd == 0) return std::nullopt;
    return url;
}

bool MacActions::isSafeShortcutName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void MacActions::runMacCommand(const MacCommand& command, std::function<void(std::string)> reply) {
    std::visit(
        [&](const auto& c) {
            using C = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<C, MacCommand::OpenApp>) {
                const std::string name = c.name;
                auto entry = DesktopEntries(config_.applicationFolders).find(name);
                if (!entry) {
                    reply("Couldn't find an app called " + name + ".");
                    return;
                }
                s_.processes.run(config_.appLauncher, {"launch", entry->file.string()},
                                 [reply, name](bool ok) {
                                     reply(ok ? "Opened " + name + "."
                                              : "Couldn't find an app called " + name + ".");
                                 });
            } else if constexpr (std::is_same_v<C, MacCommand::OpenURL>) {
                auto url = webAddress(c.url);
                if (!url) {
                    reply(notAWebAddress);
                    return;
                }
                // Whether the opener manages makes no difference to the reply.
                s_.processes.run(config_.urlOpener, {*url}, [](bool) {});
                reply("Opened " + *url + ".");
            } else {
                const std::string name = c.name;
                auto failed = "Couldn't run a shortcut called \u201C" + name + "\u201D.";
                if (!isSafeShortcutName(name)) {
                    reply(failed);
                    return;
                }
                s_.processes.run(
                    (config_.shortcutsFolder / name).string(), {}, [reply, name, failed](bool ok) {
                        reply(ok ? "Ran the \u201C" + name + "\u201D shortcut." : failed);
                    });
            }
        },
        static_cast<const MacCommand::variant&>(command));
}

void MacActions::sendChat(const std::shared_ptr<RemoteClient>& client, const std::string& text) {
    ChatMessage message{Uuid::random(), text, chatSender, Date::fromTimePoint(s_.clock.wallNow())};
    if (auto body = json::encode(message))
        client->connection->send(MessageType::chat, std::move(*body));
}

void MacActions::performMacCommand(const MacCommand& command,
                                   const std::shared_ptr<RemoteClient>& client) {
    enqueue(client->id, [this, command, client](std::function<void()> finished) {
        runMacCommand(command, [this, client, finished](std::string text) {
            sendChat(client, text);
            finished();
        });
    });
}

// ---- Screen text and snapshots ----

bool MacActions::screenTextOrder(const TextObservation& a, const TextObservation& b) {
    if (std::abs(a.y - b.y) > 0.01) return a.y > b.y;
    return a.x < b.x;
}

std::vector<std::string> MacActions::readingOrder(std::vector<TextObservation> observations) {
    // The pairwise rule is not transitive (a chain of boxes each within 0.01 of the next), so
    // sorting with it alone is undefined. Rows are formed instead: from the top, a box joins the
    // current row while it is within 0.01 of the row's highest box; rows are read left to right.
    // Wherever the pairwise rule is consistent, both give the same order.
    std::stable_sort(observations.begin(), observations.end(),
                     [](const TextObservation& a, const TextObservation& b) { return a.y > b.y; });
    std::vector<std::string> lines;
    auto rowStart = observations.begin();
    while (rowStart != observations.end() && lines.size() < maxScreenTextLines) {
        auto rowEnd = std::find_if(rowStart, observations.end(), [&](const TextObservation& o) {
            return rowStart->y - o.y > 0.01;
        });
        std::stable_sort(rowStart, rowEnd, [](const TextObservation& a, const TextObservation& b) {
            return a.x < b.x;
        });
        for (auto it = rowStart; it != rowEnd && lines.size() < maxScreenTextLines; ++it)
            if (!it->text.empty()) lines.push_back(it->text);
        rowStart = rowEnd;
    }
    return lines;
}

ScreenText MacActions::recognizeScreenText(const Frame& frame) {
    ScreenText result;
    // Read before recognising, whatever recognition gives.
    result.frontmostApp = s_.frontmost.frontmostAppName();
    if (!frame) return result;
    std::vector<std::uint8_t> scratch;
    auto observations = s_.recognizer.recognize(greyOf(*frame, scratch));
    if (!observations) return result;
    result.lines = readingOrder(std::move(*observations));
    return result;
}

Bytes MacActions::jpegSnapshot(const Frame& frame) {
    if (!frame || frame->width() <= 0 || frame->height() <= 0) return {};
    std::vector<std::uint8_t> pixels;
    const int stride = frame->width() * 4;
    toBGRX(*frame, pixels, stride);
    return s_.jpeg.encodeBGRX(pixels.data(), frame->width(), frame->height(), stride, jpegQuality);
}

void MacActions::replyScreenText(const std::shared_ptr<RemoteClient>& client, Frame frame) {
    enqueue(client->id, [this, client, frame](std::function<void()> finished) {
        if (auto body = json::encode(recognizeScreenText(frame)))
            client->connection->send(MessageType::screenText, std::move(*body));
        finished();
    });
}

void MacActions::replyScreenshot(const std::shared_ptr<RemoteClient>& client, Frame frame) {
    enqueue(client->id, [this, client, frame](std::function<void()> finished) {
        client->connection->send(MessageType::screenshot, jpegSnapshot(frame));
        finished();
    });
}

// ---- One client's requests, in order ----

void MacActions::enqueue(const Uuid& client, Job job) {
    {
        std::lock_guard lock(mutex_);
        auto& queue = queues_[client];
        queue.jobs.push_back(std::move(job));
        if (queue.running) return;
        queue.running = true;
    }
    startNext(client);
}

void MacActions::startNext(const Uuid& client) {
    Job job;
    {
        std::lock_guard lock(mutex_);
        auto it = queues_.find(client);
        if (it == queues_.end()) return;
        if (it->second.jobs.empty()) {
            queues_.erase(it);
            return;
        }
        job = std::move(it->second.jobs.front());
        it->second.jobs.pop_front();
    }
    asio::post(s_.work, [this, client, job = std::move(job)] {
        job([this, client] { startNext(client); });
    });
}

}  // namespace orvane
