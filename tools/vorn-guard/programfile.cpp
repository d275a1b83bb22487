#include "programfile.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace ProgramFile {

namespace {

qint64 nanoseconds(const struct statx_timestamp &time)
{
    return qint64(time.tv_sec) * 1000000000 + time.tv_nsec;
}

int openProgram(const QString &path)
{
    return ::open(QFile::encodeName(path).constData(),
                  O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
}

bool isProgram(int fd)
{
    struct stat status
    {
    };
    return ::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && (status.st_mode & 0111) != 0;
}

} // namespace

ProgramContent::Reader readerFor(int fd)
{
    return [fd](char *buffer, qint64 size, qint64 offset) -> qint64 {
        for (;;) {
            const ssize_t count = ::pread(fd, buffer, size_t(size), off_t(offset));
            if (count >= 0 || errno != EINTR)
                return count;
        }
    };
}

std::optional<FileKey> keyOf(int fd, bool cachedOnly)
{
    struct statx status
    {
    };
    const int flags = AT_EMPTY_PATH | (cachedOnly ? AT_STATX_DONT_SYNC : AT_STATX_SYNC_AS_STAT);
    if (::statx(fd, "", flags, STATX_BASIC_STATS, &status) != 0)
        return std::nullopt;
    return FileKey{makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino,
                   qint64(status.stx_size), nanoseconds(status.stx_mtime),
                   nanoseconds(status.stx_ctime)};
}

std::optional<FileContent> contentOf(int fd, qint64 size, bool wantDigest,
                                     std::chrono::steady_clock::time_point deadline)
{
    const ProgramContent::Reader read = readerFor(fd);
    FileContent content;
    content.buildId = ProgramContent::elfBuildId(read);
    if (wantDigest && content.buildId.isEmpty()) {
        const std::optional<QByteArray> digest = ProgramContent::sha256(read, size, deadline);
        if (!digest)
            return std::nullopt;
        content.sha256 = *digest;
        content.digestRead = true;
    }
    return content;
}

std::optional<ProgramRule> resolve(const QString &id, const QString &path,
                                   QHash<FileKey, FileContent> *known)
{
    if (GuardRules::isSharedProgram(path))
        return std::nullopt;
    const int fd = openProgram(path);
    if (fd < 0)
        return std::nullopt;
    std::optional<ProgramRule> rule;
    const std::optional<FileKey> key = keyOf(fd, false);
    if (key && isProgram(fd) && !GuardRules::isSharedProgram(pathOf(fd))) {
        std::optional<FileContent> content;
        if (const auto it = known->constFind(*key); it != known->cend() && it->digestRead)
            content = *it;
        else
            content = contentOf(fd, key->size, true, std::chrono::steady_clock::time_point::max());
        // Unreadable content still leaves the program refused by inode.
        rule = ProgramRule{id, path, key->device, key->inode, key->size, {}, {}};
        if (content) {
            known->insert(*key, *content);
            rule->buildId = content->buildId;
            rule->sha256 = content->sha256;
        }
    }
    ::close(fd);
    return rule;
}

ProgramRule refreshed(const ProgramRule &stored, QHash<FileKey, FileContent> *known)
{
    struct stat status
    {
    };
    if (::stat(QFile::encodeName(stored.path).constData(), &status) != 0
        || !S_ISREG(status.st_mode)) {
        ProgramRule gone = stored;
        gone.device = gone.inode = 0;
        return gone;
    }
    if (qint64(status.st_size) == stored.size) {
        ProgramRule same = stored;
        same.device = status.st_dev;
        same.inode = status.st_ino;
        return same;
    }
    return resolve(stored.id, stored.path, known).value_or(stored);
}

QString pathOf(int fd)
{
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
    char buffer[4096];
    const ssize_t length = ::readlink(link.constData(), buffer, sizeof buffer);
    return length > 0 ? QFile::decodeName(QByteArray(buffer, length)) : QString();
}

} // namespace ProgramFile
