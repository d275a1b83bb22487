#include "registrybackup.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace RegistryBackup {

QString keep(const QString &folder, const QByteArray &bytes)
{
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return {};

    const QString stamp
            = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QString path = QStringLiteral("%1/deviceRegistry.undecodable-%2").arg(folder, stamp);
    for (int n = 1; QFile::exists(path); ++n)
        path = QStringLiteral("%1/deviceRegistry.undecodable-%2-%3").arg(folder, stamp).arg(n);

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    if (file.write(bytes) != bytes.size() || !file.commit())
        return {};
    return path;
}

} // namespace RegistryBackup
