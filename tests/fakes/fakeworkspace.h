#pragma once

#include "workspace.h"

// The desktop's applications in memory: `running` is what runs, forceTerminate() ends one (and
// records it), launch() starts one and reports it the way the platform does.
class FakeWorkspace : public Workspace
{
public:
    QList<RunningApplication> runningApplications() override { return running; }
    bool forceTerminate(const RunningApplication &application) override
    {
        terminated.append(application.bundleIdentifier);
        return running.removeIf([&](const RunningApplication &a) {
            return a.pid == application.pid;
        }) > 0;
    }
    void setWatchedBundleIDs(const QSet<QString> &bundleIDs) override { watched = bundleIDs; }

    void launch(const QString &bundleID)
    {
        const RunningApplication application{++m_lastPid, 1, bundleID};
        running.append(application);
        Q_EMIT didLaunchApplication(application);
    }

    QList<RunningApplication> running;
    QStringList terminated;
    QSet<QString> watched;

private:
    qint64 m_lastPid = 1000;
};
