// Implementation notes
//
// One inotify descriptor, read on this thread through a QSocketNotifier. Two watches:
// - the folder itself: entry events (create, modify, close-after-write, move in/out, delete) and
//   its own deletion or move;
// - the nearest existing ancestor of the folder (normally its parent), for the name of the next
//   path component only, so that a folder that is removed, moved away or created later is watched
//   again as soon as it reappears.
//
// Own writes: the store writes a temporary file named with its private prefix and renames it over
// the key. inotify reports such a rename as IN_MOVED_FROM (temporary name) and IN_MOVED_TO (key)
// sharing one cookie, so a MOVED_TO whose cookie came with one of our temporary names is ours,
// however many other changes happen around it. Every other event on a key's name is foreign:
// the store never writes a key's file in place, never creates it under its own name and never
// deletes it. Names starting with '.' are temporary files of some writer and are ignored until
// they are renamed to a key.
//
// When the folder appears (created, moved in, or recreated after removal) files may already be in
// it before the watch exists, so it is listed once: any key file whose inode the store did not put
// there itself counts as a change. After the folder disappears that memory is cleared, so a folder
// moved away and back again is reported too.
//
// Bursts: a foreign event that leaves a complete value (a rename into place, a closed write, a
// deletion, the folder replaced) is reported at once, and opens a short window; whatever arrives
// within it is reported with one more changed() when it closes. A file only created or written to
// so far may be half written: it starts the window, reported when the window closes (or earlier,
// when its write completes). Limits: without inotify (descriptor or watch limit
// reached) nothing is reported; an event queue overflow is reported as a change.

#include "cloudfolderwatcher_linux.h"

#include "inotify_linux.h"

#include <QFile>
#include <QMutexLocker>
#include <QSocketNotifier>
#include <QTimer>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kCoalesceMs = 10;
// Events that may leave a key's file half written: its closing event follows.
constexpr uint32_t kPartialWrite = IN_CREATE | IN_MODIFY;
constexpr qsizetype kMaxRememberedCookies = 1024;

constexpr uint32_t kFolderMask = IN_CREATE | IN_DELETE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE
        | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kAncestorMask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO
        | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
constexpr uint32_t kFolderGone = IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED | IN_UNMOUNT;

QByteArray parentOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0)
        return QByteArrayLiteral("/");
    return path.left(slash);
}

QByteArray lastComponent(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

bool isKeyName(const QByteArray &name)
{
    return !name.isEmpty() && !name.startsWith('.');
}

} // namespace

CloudFolderWatcher::CloudFolderWatcher(const QString &folder, const QByteArray &ownTempPrefix,
                                       QObject *parent)
    : QThread(parent)
    , m_folder(QFile::encodeName(folder))
    , m_ownTempPrefix(ownTempPrefix)
{
    setObjectName(QStringLiteral("CloudFolderWatcher"));
    m_fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    // Armed before the thread starts, so that a change made right after construction is queued.
    if (m_fd >= 0)
        rearm();
}

CloudFolderWatcher::~CloudFolderWatcher()
{
    quit();
    wait();
    if (m_fd >= 0)
        ::close(m_fd);
}

void CloudFolderWatcher::noteOwnFile(const QByteArray &name, quint64 inode)
{
    QMutexLocker locker(&m_ownFilesMutex);
    m_ownFiles.insert(name, inode);
}

void CloudFolderWatcher::run()
{
    if (m_fd < 0) {
        exec();
        return;
    }
    QSocketNotifier notifier(m_fd, QSocketNotifier::Read);
    QTimer window;
    window.setSingleShot(true);
    window.setInterval(kCoalesceMs);
    bool reportedInWindow = false;
    bool unreported = false;
    connect(&notifier, &QSocketNotifier::activated, &notifier, [&] {
        const Drained drained = drainEvents();
        if (drained == Drained::Nothing)
            return;
        if (drained == Drained::Complete && !reportedInWindow) {
            reportedInWindow = true;
            unreported = false;
            Q_EMIT changed();
        } else {
            unreported = true;
        }
        if (!window.isActive())
            window.start();
    });
    connect(&window, &QTimer::timeout, &window, [&] {
        reportedInWindow = false;
        if (!unreported)
            return;
        // What came within the window; a burst still going on is reported once per window.
        unreported = false;
        reportedInWindow = true;
        Q_EMIT changed();
        window.start();
    });
    exec();
}

CloudFolderWatcher::Drained CloudFolderWatcher::drainEvents()
{
    bool foreign = false;
    bool complete = false;
    bool rearmNeeded = false;
    Inotify::forEachEvent(m_fd, [&](const inotify_event &event, const QByteArray &name) {
        if (event.mask & IN_Q_OVERFLOW) {
            foreign = complete = true;
            rearmNeeded = true;
        } else if (event.wd == m_folderWd) {
            if (event.mask & kFolderGone) {
                foreign = complete = true;
                rearmNeeded = true;
            } else if ((event.mask & IN_MOVED_FROM) && name.startsWith(m_ownTempPrefix)) {
                if (m_ownRenameCookies.size() >= kMaxRememberedCookies)
                    m_ownRenameCookies.clear();
                m_ownRenameCookies.insert(event.cookie);
            } else if (isKeyName(name)
                       && !((event.mask & IN_MOVED_TO)
                            && m_ownRenameCookies.remove(event.cookie))) {
                foreign = true;
                complete = complete || !(event.mask & kPartialWrite);
            }
        } else if (event.wd == m_ancestorWd) {
            if ((event.mask & kFolderGone) || name == m_ancestorChild)
                rearmNeeded = true;
        }
        // Anything else belongs to a watch that was already replaced.
    });
    if (rearmNeeded && rearm())
        foreign = complete = true;
    if (!foreign)
        return Drained::Nothing;
    return complete ? Drained::Complete : Drained::Partial;
}

bool CloudFolderWatcher::rearm()
{
    bool changed = false;
    // A few rounds: folders above may be created while the watches are being placed.
    for (int round = 0; round < 16; ++round) {
        const int wd = ::inotify_add_watch(m_fd, m_folder.constData(), kFolderMask);
        if (wd != m_folderWd) {
            if (m_folderWd >= 0) {
                ::inotify_rm_watch(m_fd, m_folderWd);
                QMutexLocker locker(&m_ownFilesMutex);
                m_ownFiles.clear();
                changed = true;
            }
            m_folderWd = wd < 0 ? -1 : wd;
            if (m_folderWd >= 0 && folderHoldsForeignFiles())
                changed = true;
        }

        // Watch the nearest folder above that exists, for the next component of the path.
        const Inotify::AncestorWatch above = Inotify::watchPathOrAncestor(
                m_fd, parentOf(m_folder), kAncestorMask, kAncestorMask);
        const int ancestorWd = above.wd;
        m_ancestorChild = above.next.isEmpty() ? lastComponent(m_folder) : above.next;
        const QByteArray child
                = (above.path == "/" ? QByteArray() : above.path) + '/' + m_ancestorChild;
        if (m_ancestorWd >= 0 && m_ancestorWd != ancestorWd)
            ::inotify_rm_watch(m_fd, m_ancestorWd);
        m_ancestorWd = ancestorWd;

        // Done unless the next component appeared before its parent was watched.
        struct stat info = {};
        if (m_folderWd >= 0 || ancestorWd < 0 || ::stat(child.constData(), &info) != 0)
            break;
    }
    return changed;
}

bool CloudFolderWatcher::folderHoldsForeignFiles() const
{
    const int dirFd = ::open(m_folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return false;
    DIR *dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return false;
    }
    bool foreign = false;
    QMutexLocker locker(&m_ownFilesMutex);
    while (const struct dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!isKeyName(name))
            continue;
        struct stat info = {};
        if (::fstatat(dirFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0)
            continue;
        const auto own = m_ownFiles.constFind(name);
        if (own == m_ownFiles.constEnd() || *own != quint64(info.st_ino)) {
            foreign = true;
            break;
        }
    }
    ::closedir(dir);
    return foreign;
}
