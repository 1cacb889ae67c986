#include "Orvane_Host/print/inotify/InotifyFolderWatcher.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

namespace orvane {

namespace {

// Entries added, finished, renamed or removed; not every write, which would be one event each.
constexpr std::uint32_t watchedEvents =
    IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_ONLYDIR;

std::optional<FolderEvent::Kind> kindOf(std::uint32_t mask) {
    using Kind = FolderEvent::Kind;
    if (mask & IN_Q_OVERFLOW) return Kind::overflow;
    if (mask & IN_CLOSE_WRITE) return Kind::closedAfterWriting;
    if (mask & IN_MOVED_TO) return Kind::movedIn;
    if (mask & IN_CREATE) return Kind::created;
    if (mask & IN_MOVED_FROM) return Kind::movedOut;
    if (mask & IN_DELETE) return Kind::removed;
    return std::nullopt;
}

}  // namespace

struct InotifyFolderWatcher::Reader : std::enable_shared_from_this<Reader> {
    asio::posix::stream_descriptor fd;
    std::function<void(const FolderEvent&)> onEvent;

    Reader(asio::any_io_executor ex, int inotify, std::function<void(const FolderEvent&)> f)
        : fd(ex, inotify), onEvent(std::move(f)) {}

    void next() {
        fd.async_wait(asio::posix::stream_descriptor::wait_read,
                      [self = shared_from_this()](const std::error_code& ec) {
                          if (ec) return;  // closed
                          self->readAll();
                          self->next();
                      });
    }

    void readAll() {
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            ssize_t n = ::read(fd.native_handle(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // drained (the descriptor does not block)
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
                auto kind = kindOf(e->mask);
                if (!kind) continue;
                FolderEvent event;
                event.kind = *kind;
                if (e->len) event.name.assign(e->name, ::strnlen(e->name, e->len));
                onEvent(event);
            }
        }
    }
};

InotifyFolderWatcher::~InotifyFolderWatcher() {
    if (!reader_) return;
    std::error_code ignored;
    reader_->fd.close(ignored);
}

bool InotifyFolderWatcher::watch(const std::filesystem::path& folder,
                                 std::function<void(const FolderEvent&)> onEvent) {
    int inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify < 0) return false;
    if (::inotify_add_watch(inotify, folder.c_str(), watchedEvents) < 0) {
        ::close(inotify);
        return false;
    }
    if (reader_) {
        std::error_code ignored;
        reader_->fd.close(ignored);
    }
    reader_ = std::make_shared<Reader>(mainActor_.executor(), inotify, std::move(onEvent));
    reader_->next();
    return true;
}

}  // namespace orvane
