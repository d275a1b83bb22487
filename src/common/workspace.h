#pragma once

#include "execguardprotocol.h"

#include "runningapplication.h"

#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

// The desktop's running applications: launch notices, the running list and forced termination.
//
// Promises:
// - didLaunchApplication() is emitted on the main thread, once for each application that starts
//   after the workspace was created (once per root of an application's process tree).
// - runningApplications() is a snapshot of the applications of this user running now.
// - forceTerminate() kills the application at once (SIGKILL to its root and the descendants that
//   share its identity) after checking that the PID still names the same process; it never
//   touches another user's process, PID 1 or this process. Returns whether a signal was sent.
// - setWatchedBundleIDs() names the applications whose launches must be noticed fastest (the
//   block list); launches of every other application are still reported.
// - launchRefused() is emitted on the main thread when an application's start was refused before
//   it ran (by the exec guard, where one is installed); nothing is left to close.
// - forwardRecord() hands a record as received from the store to the exec guard, where one
//   runs, so that it times sessions by the same rules without this process.
// - forwardPairings() hands the exec guard the phones paired at this computer (each a "pair"
//   message), so that it takes only what they signed; forwardRecovery() a recovery code typed here.
// - setSafetyNetEnabled(true) (while blocking) makes the workspace also look, at most every 2 s
//   and only at processes started since its last look or whose identifier may have changed, for
//   an application whose launch notice was missed, and report it as a launch then.
class Workspace : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    virtual QList<RunningApplication> runningApplications() = 0;
    virtual bool forceTerminate(const RunningApplication &application) = 0;
    virtual void setWatchedBundleIDs(const QSet<QString> &bundleIDs) = 0;
    virtual void setSafetyNetEnabled(bool enabled) { Q_UNUSED(enabled) }
    virtual void forwardRecord(const QString &key, const QByteArray &json, const QString &deviceID)
    {
        Q_UNUSED(key)
        Q_UNUSED(json)
        Q_UNUSED(deviceID)
    }
    virtual void forwardPairings(const QList<ExecGuardProtocol::Pairing> &phones)
    {
        Q_UNUSED(phones)
    }
    virtual void forwardRecovery(const QString &code) { Q_UNUSED(code) }

Q_SIGNALS:
    void didLaunchApplication(const RunningApplication &application);
    void launchRefused(const QString &bundleID);
};
