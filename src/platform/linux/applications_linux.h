#pragma once

#include "applications.h"

#include <QStringList>

// The installed applications on Linux: the application entries of the XDG application folders
// (see DesktopEntry::forEachApplication, which the launch watcher's program index shares, so that
// both always agree on what is installed).
class LinuxApplications : public Applications
{
    Q_OBJECT

public:
    // Folders in order of precedence; by default XdgPaths::applicationFolders(), read at each call.
    explicit LinuxApplications(QObject *parent = nullptr);
    explicit LinuxApplications(const QStringList &folders, QObject *parent = nullptr);

    QList<InstalledApp> installedApplications() const override;

private:
    std::optional<QStringList> m_folders;
};
