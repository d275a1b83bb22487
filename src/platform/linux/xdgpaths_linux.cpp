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

} // namespace XdgPaths
