#pragma once

#include "handlerguard.h"
#include "platformservices.h"
#include "runningapplication.h"
#include "syncedblockstate.h"

#include <QMetaObject>
#include <QObject>
#include <QString>

#include <memory>

class BlockList;
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
// Lives on the main thread; isBlocking changes there only, and every assignment emits
// isBlockingChanged, even when the value stays the same.
class AppBlocker : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool isBlocking READ isBlocking NOTIFY isBlockingChanged)

public:
    static inline const QString syncKey = QStringLiteral("syncedBlockState");
    static inline const QString isBlockingKey = QStringLiteral("isBlocking");

    // Uses the cloud store, user defaults, keychain and workspace of `services`, and the block
    // list the views edit; all of them must outlive the blocker.
    AppBlocker(const PlatformServices &services, BlockList *blockList, QObject *parent = nullptr);
    ~AppBlocker() override;

    bool isBlocking() const { return m_isBlocking; }
    DeviceRegistry *deviceRegistry() const { return m_deviceRegistry.get(); }
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

private:
    void handleRemoteChange();
    void enforce(const RunningApplication &application);

    bool m_isBlocking = false;
    CloudKeyValueStore *m_kvStore = nullptr;
    UserDefaults *m_userDefaults = nullptr;
    Workspace *m_workspace = nullptr;
    SystemLog *m_systemLog = nullptr;
    BlockList *m_blockList = nullptr;
    std::unique_ptr<DeviceIdentity> m_identity;
    std::unique_ptr<DeviceRegistry> m_deviceRegistry;
    QMetaObject::Connection m_launchObserver;
    HandlerGuard m_remoteChangeGuard;
};
