#include "keychain_linux.h"

#include "privatefiles_linux.h"
#include "secretserviceclient_linux.h"

#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>

namespace {

// Generic-password items are small; anything larger in the fallback folder is not one of ours.
constexpr qint64 kMaxFallbackBytes = 1024 * 1024;

bool isSafePathComponent(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
            && !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

} // namespace

LinuxKeychain::LinuxKeychain(const QString &fallbackFolder)
    : m_fallbackFolder(fallbackFolder)
    , m_secretService(std::make_unique<SecretServiceClient>())
{
}

LinuxKeychain::~LinuxKeychain() = default;

std::optional<QByteArray> LinuxKeychain::find(const QString &service, const QString &account)
{
    QMutexLocker locker(&m_mutex);
    const QDeadlineTimer deadline(secretServiceTimeoutMs);
    const QString path = fallbackPath(service, account);
    const std::optional<QByteArray> fromFile = readFallback(path);

    const auto fromService = m_secretService->lookup(service, account, deadline);
    switch (fromService.status) {
    case SecretServiceClient::Status::Ok:
        if (fromFile != fromService.secret)
            writeFallback(path, fromService.secret);
        return fromService.secret;
    case SecretServiceClient::Status::NoItem:
        // Written while the Secret Service was away: hand it over now.
        if (fromFile)
            m_secretService->store(service, account, *fromFile, deadline);
        return fromFile;
    case SecretServiceClient::Status::Unavailable:
        break;
    }
    return fromFile;
}

void LinuxKeychain::remove(const QString &service, const QString &account)
{
    QMutexLocker locker(&m_mutex);
    const QString path = fallbackPath(service, account);
    if (!path.isEmpty())
        QFile::remove(path);
    m_secretService->clear(service, account, QDeadlineTimer(secretServiceTimeoutMs));
}

void LinuxKeychain::add(const QString &service, const QString &account, const QByteArray &data)
{
    QMutexLocker locker(&m_mutex);
    writeFallback(fallbackPath(service, account), data);
    m_secretService->store(service, account, data, QDeadlineTimer(secretServiceTimeoutMs));
}

QString LinuxKeychain::fallbackPath(const QString &service, const QString &account) const
{
    if (!isSafePathComponent(service) || !isSafePathComponent(account))
        return {};
    return m_fallbackFolder + QLatin1Char('/') + service + QLatin1Char('/') + account;
}

std::optional<QByteArray> LinuxKeychain::readFallback(const QString &path) const
{
    if (path.isEmpty())
        return std::nullopt;
    auto read = PrivateFiles::readFile(path, kMaxFallbackBytes);
    if (read.status != PrivateFiles::ReadStatus::Ok)
        return std::nullopt;
    return std::move(read.bytes);
}

void LinuxKeychain::writeFallback(const QString &path, const QByteArray &data) const
{
    if (path.isEmpty() || !PrivateFiles::makePrivateFolder(QFileInfo(path).path()))
        return;
    PrivateFiles::replaceAtomically(path, data, QByteArrayLiteral(".tmp-"));
}
