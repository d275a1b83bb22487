#include "lockfiles_linux.h"

#include "privatefiles_linux.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <csignal>
#include <sys/stat.h>

namespace LockFiles {

namespace {

// The program a process runs, by file name; empty when it cannot be told.
QString programOf(const QString &pid)
{
    QString target = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
    target.remove(QStringLiteral(" (deleted)"));
    return QFileInfo(target).fileName();
}

bool ownerIsGone(const QLockFile &lock, qint64 *holder)
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!lock.getLockInfo(&pid, &host, &application) || pid <= 0)
        return true;
    *holder = pid;
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return true;
    // A live process with the owner's number: still the owner only if it runs the same program.
    const QString owner = programOf(QString::number(pid));
    const QString self = programOf(QStringLiteral("self"));
    return !owner.isEmpty() && !self.isEmpty() && owner != self;
}

} // namespace

Claim claim(QLockFile &lock, qint64 *holder)
{
    const QString path = lock.fileName();
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode))
        PrivateFiles::moveAside(path, QStringLiteral(".moved-aside-"));
    bool locked = lock.tryLock(0);
    qint64 pid = 0;
    if (!locked && lock.error() == QLockFile::LockFailedError && ownerIsGone(lock, &pid)
        && lock.removeStaleLockFile())
        locked = lock.tryLock(0);
    if (locked)
        return Claim::Taken;
    if (lock.error() != QLockFile::LockFailedError)
        return Claim::Unusable;
    if (holder)
        *holder = pid;
    return Claim::Held;
}

} // namespace LockFiles
