#pragma once

#include "handlerguard.h"
#include "platformservices.h"
#include "runningapplication.h"
#include "sessionrules.h"
#include "syncedblockstate.h"

#include <QDateTime>
#include <QHash>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>

class BlockList;
class PhonePairing;
class CloudKeyValueStore;
class DeviceIdentity;
class DeviceRegistry;
class UserDefaults;
class Workspace;

// Knows whether this computer is blocking. Follows the block state the phone publishes under
// "syncedBlockState", applies it only when it names this computer, mirrors it in the user defaults
// under "isBlocking", and while blocking closes the applications on the block list: the running
// ones at each applied state and every one launched afterwards.
//
// With a session clock it also follows timed and locked sessions (the record's endsAt and
// locked) and the weekly windows under "blockSchedule" (SessionRules has the rules): a timer
// ends a session on time by itself, with no network, and starts and ends schedule windows.
//
// Lives on the main thread; isBlocking changes there only, and every assignment emits
// isBlockingChanged, even when the value stays the same.
class AppBlocker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isBlocking READ isBlocking NOTIFY isBlockingChanged)
    // While blocking: when it ends (invalid: no end known), whether it is locked, and whether the
    // schedule rather than the phone decides the end.
    Q_PROPERTY(QDateTime sessionUntil READ sessionUntil NOTIFY sessionChanged)
    Q_PROPERTY(bool sessionLocked READ sessionLocked NOTIFY sessionChanged)
    // When the lock ends (invalid: not locked): the session's end, or its 24-hour cap if sooner.
    Q_PROPERTY(QDateTime sessionLockedUntil READ sessionLockedUntil NOTIFY sessionChanged)
    Q_PROPERTY(bool sessionScheduled READ sessionScheduled NOTIFY sessionChanged)
    // A phone is paired: only records it signed apply (PhonePairing).
    Q_PROPERTY(bool phoneOnly READ phoneOnly NOTIFY pairingChanged)

public:
    static inline const QString syncKey = QStringLiteral("syncedBlockState");
    static inline const QString scheduleKey = QStringLiteral("blockSchedule");
    static inline const QString isBlockingKey = QStringLiteral("isBlocking");
    // The longest the blocker waits before it looks at the clocks again (suspend and clock
    // changes are noticed within this time).
    static constexpr int maxSessionCheckMs = 60000;

    // Uses the cloud store, user defaults, keychain and workspace of `services`, and the block
    // list the views edit; all of them must outlive the blocker.
    AppBlocker(const PlatformServices &services, BlockList *blockList, QObject *parent = nullptr);
    ~AppBlocker() override;

    bool isBlocking() const { return m_isBlocking; }
    QDateTime sessionUntil() const;
    bool sessionLocked() const { return m_decision.blocking && m_decision.locked; }
    QDateTime sessionLockedUntil() const;
    bool sessionScheduled() const
    {
        return m_decision.blocking && m_decision.reason == SessionDecision::Reason::schedule;
    }
    DeviceRegistry *deviceRegistry() const { return m_deviceRegistry.get(); }
    // None when the services name no state folder.
    PhonePairing *pairing() const { return m_pairing.get(); }
    CloudKeyValueStore *cloudStore() const { return m_kvStore; }
    bool phoneOnly() const;
    // Main thread: a pairing command (PhonePairing::command) with this computer's blocking state;
    // a change of the pairing is applied at once.
    QByteArray pairingRequest(const QByteArray &request);
    DeviceIdentity *deviceIdentity() const { return m_identity.get(); }

    // Reads, decodes and checks the published state; when it names this computer, queues
    // applySyncedState() on the main thread. Runs on the caller's thread (the store's notifier).
    void loadFromCloud();
    // Main thread: assigns isBlocking, persists it, and closes running blocked applications.
    void applySyncedState(const SyncedBlockState &state);

    // Launch enforcement, main thread.
    void handleAppLaunch(const RunningApplication &application);
    void terminateBlockedRunningApps();

    // The name this computer announces itself under: its host name, else "Mac".
    static QString deviceName(const QString &hostName);

Q_SIGNALS:
    void isBlockingChanged();
    void sessionChanged();
    void pairingChanged();

private:
    void handleRemoteChange();
    void enforce(const RunningApplication &application);
    void setBlocking(bool blocking);
    // Main thread: looks at the clocks, applies what ended or started, and re-arms the timer.
    void updateSession();
    void publishSession(const SessionDecision &decision, const SessionClock::Reading &now);
    void announceHeldBack();
    QString sessionDeviceID();
    void writeLog(const QList<QByteArray> &lines);
    // In phone-only mode, what of the stored bytes under the key may apply; says so when a record
    // is held back. Runs on the caller's thread.
    std::optional<QByteArray> admit(const QString &key, const std::optional<QByteArray> &bytes);
    void checkRecovery();
    void forwardPairings();

    bool m_isBlocking = false;
    CloudKeyValueStore *m_kvStore = nullptr;
    UserDefaults *m_userDefaults = nullptr;
    Workspace *m_workspace = nullptr;
    SystemLog *m_systemLog = nullptr;
    BlockList *m_blockList = nullptr;
    std::unique_ptr<DeviceIdentity> m_identity;
    std::unique_ptr<DeviceRegistry> m_deviceRegistry;
    QMetaObject::Connection m_launchObserver;
    QMetaObject::Connection m_refusalObserver;
    HandlerGuard m_remoteChangeGuard;

    SessionClock *m_clock = nullptr;
    SessionState m_session;
    std::optional<BlockSchedule> m_schedule;
    SessionDecision m_decision;
    std::optional<SessionClock::Reading> m_lastReading;
    QString m_sessionDeviceID;
    QByteArray m_savedSession;
    QTimer m_sessionTimer;

    std::unique_ptr<PhonePairing> m_pairing;
    QTimer m_recoveryTimer;
    QHash<QString, double> m_loggedHeldBack; // per key: updatedAt of the last held back, logged
};
