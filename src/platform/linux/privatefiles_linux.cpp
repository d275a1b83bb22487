#include "privatefiles_linux.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QSet>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

using PrivateFiles::logOnce;

// Closes a descriptor on every way out of a scope.
class FdCloser
{
public:
    explicit FdCloser(int fd)
        : m_fd(fd)
    {
    }
    ~FdCloser()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FdCloser(const FdCloser &) = delete;
    FdCloser &operator=(const FdCloser &) = delete;
    int get() const { return m_fd; }
    int release() { return std::exchange(m_fd, -1); }

private:
    int m_fd = -1;
};

bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += written;
        size -= written;
    }
    return true;
}

QByteArray utcStamp()
{
    return QDateTime::currentDateTimeUtc()
            .toString(QStringLiteral("yyyyMMddTHHmmsszzzZ"))
            .toLatin1();
}

enum class FolderCheck { Usable, Missing, Refused };

// Opens a folder (following links on the way: the folder may be a managed link) and checks that
// it is this user's and writable by nobody else, tightening it when it is this user's.
FolderCheck openCheckedFolder(const QByteArray &folder, int *fdOut)
{
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? FolderCheck::Missing : FolderCheck::Refused;
    FdCloser closer(fd);
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return FolderCheck::Refused;
    if (info.st_uid != ::geteuid()) {
        logOnce("not using " + folder + ": it belongs to another user (uid "
                + QByteArray::number(info.st_uid) + "), not to uid "
                + QByteArray::number(::geteuid()));
        return FolderCheck::Refused;
    }
    if (info.st_mode & (S_IWGRP | S_IWOTH)) {
        if (::fchmod(fd, info.st_mode & 0700) != 0) {
            logOnce("not using " + folder + ": others can write to it and it cannot be changed");
            return FolderCheck::Refused;
        }
        logOnce(folder + " was writable by others; it is now private to this user");
    }
    *fdOut = closer.release();
    return FolderCheck::Usable;
}

void syncFolder(int folderFd)
{
    // Makes the rename itself durable. Failure only weakens durability after a power cut, so it
    // is not an error for the caller.
    ::fsync(folderFd);
}

bool isAlive(pid_t pid)
{
    return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM);
}

// Moves the entry `name` in the folder aside under name + suffix + time, never replacing.
bool moveAsideAt(int folderFd, const QByteArray &name, const QByteArray &newStem)
{
    const QByteArray stem = newStem + utcStamp();
    for (int attempt = 1; attempt < 100; ++attempt) {
        const QByteArray candidate = attempt == 1 ? stem : stem + '-' + QByteArray::number(attempt);
        if (::renameat2(folderFd, name.constData(), folderFd, candidate.constData(),
                        RENAME_NOREPLACE)
            == 0)
            return true;
        if (errno != EEXIST)
            return false;
    }
    return false;
}

} // namespace

namespace PrivateFiles {

void logOnce(const QByteArray &line)
{
    // A store read many times a second must not flood the log with the same complaint.
    static QMutex mutex;
    static QSet<QByteArray> logged;
    QMutexLocker locker(&mutex);
    if (logged.contains(line))
        return;
    logged.insert(line);
    std::fprintf(stderr, "vorn: %s\n", line.constData());
}

namespace {

ReadResult readOpened(int fd, qint64 maxBytes)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return {ReadStatus::Unreadable, {}};
    if (!S_ISREG(info.st_mode))
        return {ReadStatus::NotAFile, {}};
    if (info.st_size > maxBytes)
        return {ReadStatus::TooLarge, {}};

    // The size is only a hint: another process may be growing the file while it is read.
    QByteArray bytes;
    bytes.reserve(qsizetype(info.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return {ReadStatus::Unreadable, {}};
        }
        if (got == 0)
            break;
        if (bytes.size() + got > maxBytes)
            return {ReadStatus::TooLarge, {}};
        bytes.append(chunk, got);
    }
    return {ReadStatus::Ok, bytes};
}

ReadStatus openFailure()
{
    if (errno == ENOENT || errno == ENOTDIR)
        return ReadStatus::Missing;
    if (errno == ENXIO || errno == ELOOP) // a socket, a link
        return ReadStatus::NotAFile;
    return ReadStatus::Unreadable;
}

} // namespace

ReadResult readFile(const QString &path, qint64 maxBytes)
{
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK keeps a FIFO from blocking the open; it has no effect on regular files.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return {openFailure(), {}};
    FdCloser closer(fd);
    return readOpened(fd, maxBytes);
}

ReadResult readPrivateFile(const QString &path, qint64 maxBytes)
{
    const QFileInfo file(path);
    int folderFd = -1;
    switch (openCheckedFolder(QFile::encodeName(file.path()), &folderFd)) {
    case FolderCheck::Missing:
        return {ReadStatus::Missing, {}};
    case FolderCheck::Refused:
        return {ReadStatus::Unreadable, {}};
    case FolderCheck::Usable:
        break;
    }
    FdCloser folderCloser(folderFd);
    const int fd = ::openat(folderFd, QFile::encodeName(file.fileName()).constData(),
                            O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (fd < 0)
        return {openFailure(), {}};
    FdCloser closer(fd);
    return readOpened(fd, maxBytes);
}

bool makePrivateFolder(const QString &path)
{
    const QByteArray native = QFile::encodeName(QDir::cleanPath(path));
    if (native.isEmpty())
        return false;

    // Walk the components so that every folder created here, parents included, is private.
    for (qsizetype slash = native.indexOf('/', 1);; slash = native.indexOf('/', slash + 1)) {
        const QByteArray prefix = slash < 0 ? native : native.left(slash);
        if (::mkdir(prefix.constData(), 0700) == 0) {
            ::chmod(prefix.constData(), 0700);
        } else if (errno != EEXIST) {
            return false;
        }
        if (slash < 0)
            break;
    }
    int fd = -1;
    if (openCheckedFolder(native, &fd) != FolderCheck::Usable)
        return false;
    ::close(fd);
    return true;
}

bool replaceAtomically(const QString &path, const QByteArray &bytes, const QByteArray &tempPrefix,
                       const std::function<void(quint64 inode)> &beforeRename,
                       Durability durability)
{
    const bool synced = durability == Durability::Synced;
    const QFileInfo file(path);
    const QByteArray folder = QFile::encodeName(file.path());
    const QByteArray name = QFile::encodeName(file.fileName());
    int folderFd = -1;
    if (openCheckedFolder(folder, &folderFd) != FolderCheck::Usable)
        return false;
    FdCloser folderCloser(folderFd);

    // A link or anything else that is not a regular file stands where the file belongs: it is
    // kept, out of the way and untouched, never followed.
    struct stat existing = {};
    if (::fstatat(folderFd, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISREG(existing.st_mode)) {
        const QByteArray aside = '.' + name + ".moved-aside-";
        if (!moveAsideAt(folderFd, name, aside)) {
            logOnce("not writing " + folder + '/' + name + ": it is not a regular file");
            return false;
        }
        logOnce("moved " + folder + '/' + name + ", which was not a regular file, aside to "
                + folder + '/' + aside + "*");
    }

    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = tempPrefix + QByteArray::number(::getpid()) + '-'
                + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        fd = ::openat(folderFd, temp.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    FdCloser closer(fd);

    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes.constData(), bytes.size())
            && (!synced || ::fsync(fd) == 0);
    if (ok && beforeRename) {
        struct stat info = {};
        ok = ::fstat(fd, &info) == 0;
        if (ok)
            beforeRename(quint64(info.st_ino));
    }
    // close() can report a deferred write error (NFS); treat it like a failed write.
    ok = ::close(closer.release()) == 0 && ok;
    // renameat replaces the name itself: a link that appeared there meanwhile is replaced, not
    // followed.
    if (ok)
        ok = ::renameat(folderFd, temp.constData(), folderFd, name.constData()) == 0;
    if (!ok) {
        ::unlinkat(folderFd, temp.constData(), 0);
        return false;
    }
    if (synced)
        syncFolder(folderFd);
    return true;
}

bool moveAside(const QString &path, const QString &suffix)
{
    const QFileInfo file(path);
    const int folderFd = ::open(QFile::encodeName(file.path()).constData(),
                                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folderFd < 0)
        return false;
    FdCloser closer(folderFd);
    const QByteArray name = QFile::encodeName(file.fileName());
    return moveAsideAt(folderFd, name, name + QFile::encodeName(suffix));
}

void sweepTemporaries(const QString &folder, const QByteArray &tempPrefix)
{
    int folderFd = -1;
    if (openCheckedFolder(QFile::encodeName(folder), &folderFd) != FolderCheck::Usable)
        return;
    DIR *dir = ::fdopendir(folderFd);
    if (!dir) {
        ::close(folderFd);
        return;
    }
    const time_t hourAgo = ::time(nullptr) - 3600;
    while (const struct dirent *entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        if (!name.startsWith(tempPrefix))
            continue;
        struct stat info = {};
        if (::fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0
            || !S_ISREG(info.st_mode))
            continue;
        const QByteArray rest = name.mid(tempPrefix.size());
        bool numbered = false;
        const qint64 pid = rest.left(rest.indexOf('-')).toLongLong(&numbered);
        const bool writerGone = numbered ? !isAlive(pid_t(pid)) : info.st_mtime < hourAgo;
        if (writerGone)
            ::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

} // namespace PrivateFiles
