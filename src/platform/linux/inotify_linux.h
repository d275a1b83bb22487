#pragma once

#include <QByteArray>

#include <cstdint>
#include <functional>

#include <sys/inotify.h>

// The two things every inotify user here needs: draining a non-blocking descriptor, and watching a
// path that may not exist yet.
namespace Inotify {

// Reads every event queued on the non-blocking descriptor fd, in order, and hands each to handle
// with its name (empty for an event about the watched object itself). Returns when the queue is
// empty. An overflow arrives as an event with IN_Q_OVERFLOW and no watch (wd -1).
void forEachEvent(
        int fd,
        const std::function<void(const inotify_event &event, const QByteArray &name)> &handle);

// Where watchPathOrAncestor() placed its watch.
struct AncestorWatch
{
    int wd = -1; // -1: none (inotify refused, or nothing on the way exists)
    QByteArray path; // the folder watched: the path itself, or its nearest existing ancestor
    QByteArray next; // the component of the path just below `path`; empty when it is the path
};

// Watches path with mask when it exists; otherwise its nearest existing ancestor with
// ancestorMask, where only the name `next` leads towards path. Stops climbing at a failure other
// than a missing component (the watch limit, no permission).
AncestorWatch watchPathOrAncestor(int fd, const QByteArray &path, uint32_t mask,
                                  uint32_t ancestorMask);

} // namespace Inotify
