#pragma once

#include "workspace.h"

// The Linux workspace: running applications of this user read from /proc, launch notices and
// forced termination through pidfds.
class LinuxWorkspace : public Workspace
{
    Q_OBJECT

public:
    explicit LinuxWorkspace(QObject *parent = nullptr);
    ~LinuxWorkspace() override;

    QList<RunningApplication> runningApplications() override;
    bool forceTerminate(const RunningApplication &application) override;
    void setWatchedBundleIDs(const QSet<QString> &bundleIDs) override;

private:
    QSet<QString> m_watchedBundleIDs;
};
