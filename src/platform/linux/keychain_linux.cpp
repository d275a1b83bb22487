#include "keychain_linux.h"

#include "privatefiles_linux.h"
#include "secretserviceclient_linux.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

namespace {

using Status = SecretServiceClient::Status;

// Generic-password items are small; anything larger in the fallback folder is not one of ours.
constexpr qint64 kMaxFallbackBytes = 1024 * 1024;

QByteArray tempPrefix()
{
    return QByteArrayLiteral(".tmp-");
}

bool isSafePathComponent(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

std::optional<QByteArray> readFallback(const QString &path)
{
    if (path.isEmpty())
        return std::nullopt;
    // Never through a link: a link here could hand another file's contents out as the secret.
    auto read = PrivateFiles::readPrivateFile(path, kMaxFallbackBytes);
    if (read.status != PrivateFiles::ReadStatus::Ok)
        return std::nullopt;
    return std::move(read.bytes);
}

void writeFallback(const QString &path, const QByteArray &data)
{
    if (path.isEmpty() || !PrivateFiles::makePrivateFolder(QFileInfo(path).path()))
        return;
    PrivateFiles::replaceAtomically(path, data, tempPrefix());
}

} // namespace

LinuxKeychain::LinuxKeychain(const QString &fallbackFolder)
    : m_fallbackFolder(fallbackFolder)
    , m_secretService(std::make_unique<SecretServiceClient>())
{
    // Left behind by writers that were killed between writing and renaming.
    const QStringList services
            = QDir(m_fallbackFolder)
                      .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &service : services)
        PrivateFiles::sweepTemporaries(m_fallbackFolder + QLatin1Char('/') + service, tempPrefix());
}

LinuxKeychain::~LinuxKeychain() = default;

std::optional<QByteArray> LinuxKeychain::find(const QString &service, const QString &account)
{
    QMutexLocker locker(&m_mutex);
    const QDeadlineTimer deadline(secretServiceTimeoutMs);
    const Paths paths = pathsFor(service, account);
    const std::optional<QByteArray> fromFile = readFallback(paths.item);

    if (!paths.unsynced.isEmpty() && QFileInfo::exists(paths.unsynced)) {
        // The last change happened while the Secret Service was away: it is the truth.
        const Status pushed = fromFile
                ? m_secretService->store(service, account, *fromFile, deadline)
                : m_secretService->clear(service, account, deadline);
        if (pushed == Status::Ok)
            setUnsynced(paths, false);
        return fromFile;
    }

    const auto fromService = m_secretService->lookup(service, account, deadline);
    switch (fromService.status) {
    case Status::Ok:
        if (fromFile != fromService.secret)
            writeFallback(paths.item, fromService.secret);
        return fromService.secret;
    case Status::NoItem:
        if (fromFile)
            m_secretService->store(service, account, *fromFile, deadline);
        return fromFile;
    case Status::Unavailable:
        break;
    }
    return fromFile;
}

void LinuxKeychain::remove(const QString &service, const QString &account)
{
    QMutexLocker locker(&m_mutex);
    const Paths paths = pathsFor(service, account);
    if (!paths.item.isEmpty())
        QFile::remove(paths.item);
    const Status cleared
            = m_secretService->clear(service, account, QDeadlineTimer(secretServiceTimeoutMs));
    setUnsynced(paths, cleared != Status::Ok);
}

void LinuxKeychain::add(const QString &service, const QString &account, const QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    const Paths paths = pathsFor(service, account);
    writeFallback(paths.item, data);
    const Status stored = m_secretService->store(service, account, data,
                                                 QDeadlineTimer(secretServiceTimeoutMs));
    setUnsynced(paths, stored != Status::Ok);
}

LinuxKeychain::Paths LinuxKeychain::pathsFor(const QString &service, const QString &account) const
{
    if (!isSafePathComponent(service) || !isSafePathComponent(account))
        return {};
    const QString folder = m_fallbackFolder + QLatin1Char('/') + service + QLatin1Char('/');
    return {folder + account, folder + QLatin1Char('.') + account + QStringLiteral(".unsynced")};
}

void LinuxKeychain::setUnsynced(const Paths &paths, bool unsynced) const
{
    if (paths.unsynced.isEmpty())
        return;
    if (unsynced)
        writeFallback(paths.unsynced, QByteArray());
    else if (QFileInfo::exists(paths.unsynced))
        QFile::remove(paths.unsynced);
}
