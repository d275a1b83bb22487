// Implementation notes
//
// The reader lives on its own thread and owns everything it reads: the blocked programs'
// identities and the cache of what each file (by device, inode, size, mtime, ctime) turned out to
// be. Work arrives as queued calls, in order, so a look at a process always meets the identities
// of the last list handed over. A look costs one stat of /proc/PID/exe when no blocked program
// could match by content (no build-id among them and no program of that size); else the ELF
// header, program headers and notes (a few small reads, once per file), and a whole file is
// hashed only when it has no build-id and the size of a blocked program without one.

#include "programidentitymatcher_linux.h"

#include "programcontent.h"
#include "programs_linux.h"

#include <QFile>
#include <QSet>
#include <QThread>

#include <algorithm>
#include <optional>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

void log(const QByteArray &line)
{
    const QByteArray bytes = "vorn: " + line + '\n';
    [[maybe_unused]] const ssize_t written
            = ::write(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
}

// owner, when given, receives the file's owner.
std::optional<FileKey> keyOf(const QByteArray &path, uint *owner = nullptr)
{
    struct stat status
    {
    };
    if (::stat(path.constData(), &status) != 0 || !S_ISREG(status.st_mode))
        return std::nullopt;
    if (owner)
        *owner = uint(status.st_uid);
    return FileKey{quint64(status.st_dev), quint64(status.st_ino), qint64(status.st_size),
                   qint64(status.st_mtim.tv_sec) * 1000000000 + status.st_mtim.tv_nsec,
                   qint64(status.st_ctim.tv_sec) * 1000000000 + status.st_ctim.tv_nsec};
}

// Installed by the system: writing there needs root.
bool isSystemFile(const QString &path, uint owner)
{
    static const QStringList folders{"/usr/",          "/bin/", "/sbin/", "/lib/",
                                     "/lib64/",        "/opt/", "/snap/", "/var/lib/flatpak/",
                                     "/var/lib/snapd/"};
    return owner == 0
            && std::any_of(folders.cbegin(), folders.cend(),
                           [&path](const QString &folder) { return path.startsWith(folder); });
}

} // namespace

struct ProgramIdentityMatcher::Reader
{
    struct Content
    {
        QByteArray buildId;
        QByteArray sha256;
        bool digestRead = false;
    };

    QByteArray procRoot;
    QHash<std::pair<quint64, quint64>, QString> byInode;
    QHash<QByteArray, QString> byBuildId;
    QHash<QByteArray, QString> byDigest; // programs without a build-id
    QSet<qint64> sizesWithoutBuildId;
    QHash<FileKey, Content> known;
    QSet<std::pair<quint64, quint64>> unreadable; // logged already

    // What is needed of the file at path (the build-id, and the digest when wanted and there is
    // no build-id), from the cache or read now; nothing when it cannot be read.
    std::optional<Content> contentOf(const QByteArray &path, const FileKey &key, bool wantDigest,
                                     const QString &name)
    {
        const auto cached = known.constFind(key);
        if (cached != known.cend() && (cached->digestRead || !wantDigest))
            return *cached;
        const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            const std::pair<quint64, quint64> inode{key.device, key.inode};
            if ((errno == EACCES || errno == EPERM) && !unreadable.contains(inode)) {
                unreadable.insert(inode);
                log("cannot read " + QFile::encodeName(name) + " to identify it by its content");
            }
            return std::nullopt;
        }
        const ProgramContent::Reader read = [fd](char *buffer, qint64 size, qint64 offset) {
            for (;;) {
                const ssize_t count = ::pread(fd, buffer, size_t(size), off_t(offset));
                if (count >= 0 || errno != EINTR)
                    return qint64(count);
            }
        };
        Content content = cached != known.cend() ? *cached : Content{};
        if (cached == known.cend())
            content.buildId = ProgramContent::elfBuildId(read);
        if (wantDigest && content.buildId.isEmpty()) {
            const std::optional<QByteArray> digest = ProgramContent::sha256(read, key.size);
            if (digest) {
                content.sha256 = *digest;
                content.digestRead = true;
            }
        }
        ::close(fd);
        if (wantDigest && content.buildId.isEmpty() && !content.digestRead)
            return std::nullopt;
        // Bounded: a build that runs thousands of new programs must not grow it without end.
        if (known.size() >= 4096)
            known.clear();
        known.insert(key, content);
        return content;
    }

    void setPrograms(const QHash<QString, QStringList> &programs)
    {
        byInode.clear();
        byBuildId.clear();
        byDigest.clear();
        sizesWithoutBuildId.clear();
        for (auto it = programs.cbegin(); it != programs.cend(); ++it) {
            for (const QString &path : it.value()) {
                const QByteArray encoded = QFile::encodeName(path);
                const std::optional<FileKey> key = keyOf(encoded);
                if (!key || Programs::isShared(path))
                    continue;
                byInode.insert({key->device, key->inode}, it.key());
                const std::optional<Content> content = contentOf(encoded, *key, true, path);
                if (!content) {
                    continue;
                } else if (!content->buildId.isEmpty()) {
                    byBuildId.insert(content->buildId, it.key());
                } else {
                    byDigest.insert(content->sha256, it.key());
                    sizesWithoutBuildId.insert(key->size);
                }
            }
        }
    }

    QString bundleIDFor(qint64 pid, const QString &executable)
    {
        const QByteArray path = procRoot + '/' + QByteArray::number(pid) + "/exe";
        uint owner = 0;
        const std::optional<FileKey> key = keyOf(path, &owner);
        if (!key)
            return {};
        if (const auto it = byInode.constFind({key->device, key->inode}); it != byInode.cend())
            return *it;
        const bool sizeMatters = sizesWithoutBuildId.contains(key->size);
        if ((byBuildId.isEmpty() && !sizeMatters) || Programs::isShared(executable)
            || isSystemFile(executable, owner))
            return {};
        const std::optional<Content> content = contentOf(path, *key, sizeMatters, executable);
        if (!content)
            return {};
        if (!content->buildId.isEmpty())
            return byBuildId.value(content->buildId);
        return sizeMatters ? byDigest.value(content->sha256) : QString();
    }
};

ProgramIdentityMatcher::ProgramIdentityMatcher(const QString &procRoot, QObject *parent)
    : QObject(parent)
    , m_thread(new QThread(this))
    , m_context(new QObject)
    , m_reader(std::make_shared<Reader>())
{
    m_reader->procRoot = QFile::encodeName(procRoot);
    m_thread->setObjectName(QStringLiteral("vorn-program-identity"));
    m_context->moveToThread(m_thread);
    connect(m_thread, &QThread::finished, m_context, &QObject::deleteLater);
    m_thread->start(QThread::LowPriority);
}

ProgramIdentityMatcher::~ProgramIdentityMatcher()
{
    m_thread->quit();
    m_thread->wait();
}

void ProgramIdentityMatcher::setPrograms(const QHash<QString, QStringList> &programs)
{
    if (programs == m_programs)
        return;
    m_programs = programs;
    QMetaObject::invokeMethod(m_context,
                              [reader = m_reader, programs] { reader->setPrograms(programs); });
}

void ProgramIdentityMatcher::lookAt(qint64 pid, quint64 startTime, const QString &executable)
{
    if (!isActive())
        return;
    QMetaObject::invokeMethod(m_context, [this, reader = m_reader, pid, startTime, executable] {
        const QString bundleID = reader->bundleIDFor(pid, executable);
        if (!bundleID.isEmpty())
            QMetaObject::invokeMethod(
                    this, [=, this] { Q_EMIT matched(pid, startTime, bundleID); },
                    Qt::QueuedConnection);
    });
}
