#include "workspace_linux.h"

LinuxWorkspace::LinuxWorkspace(QObject *parent)
    : Workspace(parent)
{
}

LinuxWorkspace::~LinuxWorkspace() = default;

QList<RunningApplication> LinuxWorkspace::runningApplications()
{
    return {};
}

bool LinuxWorkspace::forceTerminate(const RunningApplication &application)
{
    Q_UNUSED(application);
    return false;
}

void LinuxWorkspace::setWatchedBundleIDs(const QSet<QString> &bundleIDs)
{
    m_watchedBundleIDs = bundleIDs;
}
