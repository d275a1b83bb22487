#include "privatefiles_linux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace {

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

void syncFolder(const QByteArray &folder)
{
    // Makes the rename itself durable. Failure only weakens durability after a power cut, so it
    // is not an error for the caller.
    const int fd = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);
    ::close(fd);
}

} // namespace

namespace PrivateFiles {

ReadResult readFile(const QString &path, qint64 maxBytes)
{
    const QByteArray native = QFile::encodeName(path);
    // O_NONBLOCK keeps a FIFO from blocking the open; it has no effect on regular files.
    const int fd = ::open(native.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {ReadStatus::Missing, {}};
        if (errno == ENXIO) // a socket
            return {ReadStatus::NotAFile, {}};
        return {ReadStatus::Unreadable, {}};
    }
    FdCloser closer(fd);

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
    struct stat info = {};
    return ::stat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool replaceAtomically(const QString &path, const QByteArray &bytes, const QByteArray &tempPrefix,
                       const std::function<void(quint64 inode)> &beforeRename)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray folder = QFile::encodeName(QFileInfo(path).path());
    QByteArray temp = folder + '/' + tempPrefix + "XXXXXX";

    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    FdCloser closer(fd);

    bool ok = ::fchmod(fd, 0600) == 0 && writeAll(fd, bytes.constData(), bytes.size())
            && ::fsync(fd) == 0;
    if (ok && beforeRename) {
        struct stat info = {};
        ok = ::fstat(fd, &info) == 0;
        if (ok)
            beforeRename(quint64(info.st_ino));
    }
    // close() can report a deferred write error (NFS); treat it like a failed write.
    ok = ::close(closer.release()) == 0 && ok;
    if (ok)
        ok = ::rename(temp.constData(), target.constData()) == 0;
    if (!ok) {
        ::unlink(temp.constData());
        return false;
    }
    syncFolder(folder);
    return true;
}

QString resolvedPath(const QString &path)
{
    QString current = path;
    for (int depth = 0; depth < 16; ++depth) {
        char resolved[PATH_MAX];
        if (::realpath(QFile::encodeName(current).constData(), resolved) != nullptr)
            return QFile::decodeName(resolved);
        // A link to a file that does not exist yet: the file belongs where the link points.
        const QString target = QFile::symLinkTarget(current);
        if (target.isEmpty())
            return current;
        current = target;
    }
    return path;
}

} // namespace PrivateFiles
