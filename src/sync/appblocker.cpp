#include "appblocker.h"

#include "blocklist.h"
#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "deviceregistry.h"
#include "enforcementlog.h"
#include "userdefaults.h"
#include "workspace.h"

AppBlocker::AppBlocker(const PlatformServices &services, BlockList *blockList, QObject *parent)
    : QObject(parent)
    , m_kvStore(services.cloudStore)
    , m_userDefaults(services.userDefaults)
    , m_workspace(services.workspace)
    , m_systemLog(services.systemLog)
    , m_blockList(blockList)
    , m_identity(std::make_unique<DeviceIdentity>(services.keychain))
    , m_deviceRegistry(
              std::make_unique<DeviceRegistry>(m_kvStore, m_identity.get(), services.stateFolder))
{
    // Restored only: applications already running are left alone until a state is applied.
    m_isBlocking = m_userDefaults->boolForKey(isBlockingKey);

    // Also makes sure this computer's identifier exists before the first load compares with it.
    m_deviceRegistry->announce(SyncDeviceType::mac, deviceName(services.hostName));

    connect(m_kvStore, &CloudKeyValueStore::didChangeExternally, this,
            m_remoteChangeGuard.wrap([this] { handleRemoteChange(); }), Qt::DirectConnection);
    m_kvStore->synchronize();
    loadFromCloud();

    // Launch enforcement. The workspace reports launches on the main thread; the block list tells
    // it which applications' launches to watch most closely.
    m_workspace->setWatchedBundleIDs(blockList->blockedBundleIDs());
    connect(blockList, &BlockList::blockedBundleIDsChanged, this,
            [this, blockList] { m_workspace->setWatchedBundleIDs(blockList->blockedBundleIDs()); });
    m_launchObserver = connect(m_workspace, &Workspace::didLaunchApplication, this,
                               &AppBlocker::handleAppLaunch);
    m_workspace->setSafetyNetEnabled(m_isBlocking);
}

AppBlocker::~AppBlocker()
{
    m_remoteChangeGuard.close();
    if (m_launchObserver)
        disconnect(m_launchObserver);
    disconnect(m_kvStore, nullptr, this, nullptr);
}

QString AppBlocker::deviceName(const QString &hostName)
{
    return hostName.isEmpty() ? QStringLiteral("Mac") : hostName;
}

void AppBlocker::handleRemoteChange()
{
    loadFromCloud();
}

void AppBlocker::loadFromCloud()
{
    const std::optional<QByteArray> bytes = m_kvStore->dataForKey(syncKey);
    if (!bytes)
        return;
    const std::optional<SyncedBlockState> state = SyncedBlockState::decode(*bytes);
    if (!state)
        return;
    if (!state->targetDeviceIDs.contains(m_identity->currentDeviceID()))
        return;
    // Always queued, even on the main thread: the state changes in posting order there.
    QMetaObject::invokeMethod(
            this, [this, state = *state] { applySyncedState(state); }, Qt::QueuedConnection);
}

void AppBlocker::applySyncedState(const SyncedBlockState &state)
{
    m_isBlocking = state.isBlocking;
    Q_EMIT isBlockingChanged();
    m_userDefaults->setBool(m_isBlocking, isBlockingKey);
    m_workspace->setSafetyNetEnabled(m_isBlocking);
    terminateBlockedRunningApps();
}

void AppBlocker::handleAppLaunch(const RunningApplication &application)
{
    if (!m_isBlocking || !application.hasBundleIdentifier())
        return;
    enforce(application);
}

void AppBlocker::terminateBlockedRunningApps()
{
    if (!m_isBlocking)
        return;
    const QList<RunningApplication> running = m_workspace->runningApplications();
    for (const RunningApplication &application : running) {
        if (application.hasBundleIdentifier())
            enforce(application);
    }
}

void AppBlocker::enforce(const RunningApplication &application)
{
    // Read afresh each time: an edit of the list takes effect at the next launch or pass.
    if (!m_blockList->contains(application.bundleIdentifier))
        return;
    EnforcementLog::blocking(m_systemLog, application.bundleIdentifier);
    m_workspace->forceTerminate(application);
}
