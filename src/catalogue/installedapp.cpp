// Implementation notes
//
// On Linux an installed application is a desktop entry: the folders are the XDG application
// directories, an entry is a "*.desktop" file directly inside one of them, and its bundle
// identifier is its desktop-file ID without ".desktop". Which entries count, and which of two
// entries with one identifier wins, is decided by DesktopEntry::forEachApplication(), which the
// index of programs shares so that both always agree. This file adds the name and the order.
//
// Nothing is filtered beyond that: NoDisplay=true entries (helpers, settings panels) are listed,
// and so are entries whose TryExec program is missing or whose OnlyShowIn names another desktop,
// because the picker lists what is installed, not what a menu would show.

#include "installedapp.h"

#include "desktopentry_linux.h"
#include "xdgpaths_linux.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QDir>
#include <QLocale>

#include <algorithm>
#include <optional>
#include <vector>

QStringList applicationFolders()
{
    QStringList folders{XdgPaths::dataHome() + QStringLiteral("/applications")};
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

QList<InstalledApp> loadInstalledApps()
{
    return loadInstalledApps(applicationFolders());
}

QList<InstalledApp> loadInstalledApps(const QStringList &folders)
{
    QList<InstalledApp> apps;
    DesktopEntry::forEachApplication(
            folders, [&apps](const QString &id, const QString &path, const DesktopEntry &entry) {
                // A present Name, even an empty one, is taken as it is; only a missing one falls
                // back to the file name, with every ".desktop" in it removed.
                std::optional<QString> name = entry.localeString("Name");
                if (!name) {
                    name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
                    name->remove(QStringLiteral(".desktop"));
                }
                apps.append(InstalledApp{id, *name, path});
            });

    // The C locale has no collation of its own: Qt then orders by code point (and its sort keys
    // even ignore the case setting), which would put "Äpfel" after "Zoo". Names are then collated
    // with the language-neutral rules instead, which English uses unchanged.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    // Sort keys turn each of the n log n comparisons into a plain byte comparison.
    std::vector<std::pair<QCollatorSortKey, qsizetype>> keys;
    keys.reserve(size_t(apps.size()));
    for (qsizetype i = 0; i < apps.size(); ++i)
        keys.emplace_back(collator.sortKey(apps.at(i).name), i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto &a, const auto &b) { return a.first.compare(b.first) < 0; });

    QList<InstalledApp> sorted;
    sorted.reserve(apps.size());
    for (const auto &key : keys)
        sorted.append(std::move(apps[key.second]));
    return sorted;
}
