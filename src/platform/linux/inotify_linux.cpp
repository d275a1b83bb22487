#include "inotify_linux.h"

#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace Inotify {

void forEachEvent(
        int fd,
        const std::function<void(const inotify_event &event, const QByteArray &name)> &handle)
{
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return; // EAGAIN: everything queued so far has been read
        for (const char *p = buffer; p < buffer + got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(p);
            p += sizeof(inotify_event) + event->len;
            handle(*event,
                   QByteArray(event->name, event->len ? qstrnlen(event->name, event->len) : 0));
        }
    }
}

AncestorWatch watchPathOrAncestor(int fd, const QByteArray &path, uint32_t mask,
                                  uint32_t ancestorMask)
{
    AncestorWatch watch{-1, path, {}};
    while (watch.path.startsWith('/')) {
        watch.wd = ::inotify_add_watch(fd, watch.path.constData(),
                                       watch.next.isEmpty() ? mask : ancestorMask);
        if (watch.wd >= 0 || (errno != ENOENT && errno != ENOTDIR) || watch.path == "/")
            break;
        const qsizetype slash = watch.path.lastIndexOf('/');
        watch.next = watch.path.mid(slash + 1);
        watch.path = slash == 0 ? QByteArrayLiteral("/") : watch.path.left(slash);
    }
    return watch;
}

} // namespace Inotify
