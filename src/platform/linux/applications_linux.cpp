// Implementation notes
//
// An installed application is a desktop entry: the folders are the XDG application directories,
// an entry is a "*.desktop" file directly inside one of them, and its bundle identifier is its
// desktop-file ID without ".desktop". Which entries count, and which of two entries with one
// identifier wins, is decided by DesktopEntry::forEachApplication(), which the index of programs
// shares. This file adds the name and the icon.
//
// Nothing is filtered beyond that: NoDisplay=true entries (helpers, settings panels) are listed,
// and so are entries whose TryExec program is missing or whose OnlyShowIn names another desktop,
// because the picker lists what is installed, not what a menu would show.

#include "applications_linux.h"

#include "desktopentry_linux.h"
#include "xdgpaths_linux.h"

LinuxApplications::LinuxApplications(QObject *parent)
    : Applications(parent)
{
}

LinuxApplications::LinuxApplications(const QStringList &folders, QObject *parent)
    : Applications(parent)
    , m_folders(folders)
{
}

QList<InstalledApp> LinuxApplications::installedApplications() const
{
    QList<InstalledApp> apps;
    DesktopEntry::forEachApplication(
            m_folders.value_or(XdgPaths::applicationFolders()),
            [&apps](const QString &id, const QString &path, const DesktopEntry &entry) {
                // A present Name, even an empty one, is taken as it is; only a missing one falls
                // back to the file name, with every ".desktop" in it removed.
                std::optional<QString> name = entry.localeString("Name");
                if (!name) {
                    name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
                    name->remove(QStringLiteral(".desktop"));
                }
                apps.append(InstalledApp{id, *name, entry.iconName()});
            });
    return apps;
}
