#include "xdgpaths_linux.h"

#include <QDir>

namespace {

QString homeDir()
{
    return QDir::homePath();
}

QString fromEnv(const char *name, const QString &fallbackUnderHome)
{
    const QString value = qEnvironmentVariable(name);
    // The XDG rules say relative paths are invalid and must be ignored.
    if (!value.isEmpty() && QDir::isAbsolutePath(value))
        return QDir::cleanPath(value);
    return QDir::cleanPath(homeDir() + QLatin1Char('/') + fallbackUnderHome);
}

} // namespace

namespace XdgPaths {

QString dataHome()
{
    return fromEnv("XDG_DATA_HOME", QStringLiteral(".local/share"));
}

QString configHome()
{
    return fromEnv("XDG_CONFIG_HOME", QStringLiteral(".config"));
}

QString stateHome()
{
    return fromEnv("XDG_STATE_HOME", QStringLiteral(".local/state"));
}

QString cacheHome()
{
    return fromEnv("XDG_CACHE_HOME", QStringLiteral(".cache"));
}

QString cloudFolder()
{
    const QString overridden = qEnvironmentVariable("VORN_CLOUD_DIR");
    if (!overridden.isEmpty())
        return QDir::cleanPath(QDir::current().absoluteFilePath(overridden));
    return dataHome() + QStringLiteral("/vorn/cloud");
}

QString defaultsFile()
{
    return configHome() + QStringLiteral("/vorn/defaults.json");
}

QString keychainFolder()
{
    return dataHome() + QStringLiteral("/vorn/keychain");
}

QString vornStateFolder()
{
    return stateHome() + QStringLiteral("/vorn");
}

QStringList applicationFolders()
{
    QStringList folders{dataHome() + QStringLiteral("/applications")};
    QString dataDirs = qEnvironmentVariable("XDG_DATA_DIRS");
    if (dataDirs.isEmpty())
        dataDirs = QStringLiteral("/usr/local/share/:/usr/share/");
    for (const QString &dir : dataDirs.split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        // Relative entries are invalid under the XDG rules and are ignored.
        if (!QDir::isAbsolutePath(dir))
            continue;
        const QString folder = QDir::cleanPath(dir + QStringLiteral("/applications"));
        // A folder named twice would only be scanned twice with the same outcome.
        if (!folders.contains(folder))
            folders.append(folder);
    }
    return folders;
}

} // namespace XdgPaths
