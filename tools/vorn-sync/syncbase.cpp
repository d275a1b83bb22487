#include "syncbase.h"

#include "cloudkeyvaluestore_linux.h"
#include "incomingvalue.h"
#include "privatefiles_linux.h"
#include "xdgpaths_linux.h"

#include <QDir>
#include <QFile>

namespace {

const QString identityFile = QStringLiteral(".broker");
const QByteArray tempPrefix = QByteArrayLiteral(".base-");

} // namespace

QString SyncBase::defaultFolder()
{
    return XdgPaths::vornStateFolder() + QStringLiteral("/sync/base");
}

SyncBase::SyncBase(const QString &folder, const QString &brokerIdentity)
    : m_folder(folder)
{
    PrivateFiles::makePrivateFolder(m_folder);
    const QByteArray identity = brokerIdentity.toUtf8();
    const QString identityPath = m_folder + QLatin1Char('/') + identityFile;
    const PrivateFiles::ReadResult stored = PrivateFiles::readFile(identityPath, 4096);
    const QStringList names = QDir(m_folder).entryList(QDir::Files);
    if (stored.status != PrivateFiles::ReadStatus::Ok || stored.bytes != identity) {
        for (const QString &name : names)
            QFile::remove(m_folder + QLatin1Char('/') + name);
        PrivateFiles::replaceAtomically(identityPath, identity, tempPrefix);
        return;
    }
    for (const QString &name : names) {
        if (!LinuxCloudKeyValueStore::isSafeKey(name))
            continue;
        PrivateFiles::ReadResult read = PrivateFiles::readFile(m_folder + QLatin1Char('/') + name,
                                                               IncomingValue::maxValueBytes);
        if (read.status == PrivateFiles::ReadStatus::Ok)
            m_values.insert(name, read.bytes);
    }
}

std::optional<QByteArray> SyncBase::value(const QString &key) const
{
    const auto found = m_values.constFind(key);
    if (found == m_values.cend())
        return std::nullopt;
    return *found;
}

void SyncBase::setValue(const QString &key, const QByteArray &bytes)
{
    const auto found = m_values.constFind(key);
    if (found != m_values.cend() && *found == bytes)
        return;
    m_values.insert(key, bytes);
    PrivateFiles::makePrivateFolder(m_folder);
    PrivateFiles::replaceAtomically(m_folder + QLatin1Char('/') + key, bytes, tempPrefix);
}
