#include "appblocker.h"

#include "blocklist.h"
#include "cloudkeyvaluestore.h"
#include "deviceidentity.h"
#include "deviceregistry.h"
#include "enforcementlog.h"
#include "phonepairing.h"
#include "referencedate.h"
#include "userdefaults.h"
#include "workspace.h"

#include <algorithm>
#include <cmath>

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
    , m_clock(services.sessionClock)
{
    if (!services.stateFolder.isEmpty())
        m_pairing = std::make_unique<PhonePairing>(services.stateFolder
                                                   + QStringLiteral("/pairing.json"));
    m_recoveryTimer.setSingleShot(true);
    connect(&m_recoveryTimer, &QTimer::timeout, this, &AppBlocker::checkRecovery);
    // Restored only: applications already running are left alone until a state is applied.
    m_isBlocking = m_userDefaults->boolForKey(isBlockingKey);
    if (m_clock) {
        const std::optional<QByteArray> saved = m_clock->loadState();
        const std::optional<SessionState> session
                = saved ? SessionState::decode(*saved) : std::nullopt;
        if (session) {
            m_session = *session;
            m_savedSession = *saved;
        } else {
            m_session.phoneBlocking = m_isBlocking;
        }
        m_sessionTimer.setSingleShot(true);
        m_sessionTimer.setTimerType(Qt::PreciseTimer);
        connect(&m_sessionTimer, &QTimer::timeout, this, &AppBlocker::updateSession);
    }

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
    // A start refused before it ran is logged as a closed application is.
    m_refusalObserver = connect(
            m_workspace, &Workspace::launchRefused, this,
            [this](const QString &bundleID) { EnforcementLog::blocking(m_systemLog, bundleID); });
    m_workspace->setSafetyNetEnabled(m_isBlocking);
    // A session that ended or a window that started while Vorn was not running.
    if (m_clock)
        updateSession();
    checkRecovery();
    forwardPairings();
}

AppBlocker::~AppBlocker()
{
    m_remoteChangeGuard.close();
    if (m_launchObserver)
        disconnect(m_launchObserver);
    if (m_refusalObserver)
        disconnect(m_refusalObserver);
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
    const std::optional<QByteArray> bytes = admit(syncKey, m_kvStore->dataForKey(syncKey));
    std::optional<SyncedBlockState> state = bytes ? SyncedBlockState::decode(*bytes) : std::nullopt;
    if (m_clock) {
        // The schedule, and a record for other devices that a running lock holds back.
        const std::optional<QByteArray> scheduleBytes
                = admit(scheduleKey, m_kvStore->dataForKey(scheduleKey));
        const std::optional<BlockSchedule> schedule
                = scheduleBytes ? BlockSchedule::decode(*scheduleBytes) : std::nullopt;
        const QString deviceID = m_identity->currentDeviceID();
        QMetaObject::invokeMethod(
                this,
                [this, schedule, state, deviceID, bytes, scheduleBytes] {
                    // The exec guard, where one runs, times sessions by the same records.
                    if (bytes)
                        m_workspace->forwardRecord(syncKey, *bytes, deviceID);
                    if (scheduleBytes)
                        m_workspace->forwardRecord(scheduleKey, *scheduleBytes, deviceID);
                    m_sessionDeviceID = deviceID;
                    m_schedule = schedule;
                    if (state && !state->targetDeviceIDs.contains(deviceID)) {
                        QList<QByteArray> log;
                        SessionRules::applyRecord(m_session, *state, false, m_clock->read(), log);
                        writeLog(log);
                    }
                    updateSession();
                },
                Qt::QueuedConnection);
        if (state && !state->targetDeviceIDs.contains(deviceID))
            return;
    }
    if (!state)
        return;
    if (!m_clock && !state->targetDeviceIDs.contains(m_identity->currentDeviceID()))
        return;
    // Always queued, even on the main thread: the state changes in posting order there.
    QMetaObject::invokeMethod(
            this, [this, state = *state] { applySyncedState(state); }, Qt::QueuedConnection);
}

std::optional<QByteArray> AppBlocker::admit(const QString &key,
                                            const std::optional<QByteArray> &bytes)
{
    if (!m_pairing)
        return bytes;
    const PhonePairing::Admission admission = m_pairing->admit(key, bytes);
    if (admission.heldBack) {
        const double updatedAt = *admission.heldBack;
        QMetaObject::invokeMethod(
                this,
                [this, key, updatedAt] {
                    // Said once a record, not again at every change of the store (NaN: a
                    // record without a readable updatedAt).
                    const auto logged = m_loggedHeldBack.constFind(key);
                    if (logged != m_loggedHeldBack.cend()
                        && (*logged == updatedAt || (std::isnan(*logged) && std::isnan(updatedAt))))
                        return;
                    m_loggedHeldBack.insert(key, updatedAt);
                    EnforcementLog::line(m_systemLog,
                                         "Held back " + key.toUtf8()
                                                 + ": not signed by a paired phone, or not newer "
                                                   "than the last one applied");
                    if (std::isfinite(updatedAt))
                        m_deviceRegistry->setHeldBack(
                                HeldBack{updatedAt, HeldBack::unsignedReason, std::nullopt});
                },
                Qt::QueuedConnection);
    } else if (admission.fresh && m_pairing->isActive()) {
        QMetaObject::invokeMethod(
                this,
                [this] {
                    const std::optional<HeldBack> &held = m_deviceRegistry->heldBack();
                    if (held && held->reason == HeldBack::unsignedReason)
                        m_deviceRegistry->setHeldBack(std::nullopt);
                },
                Qt::QueuedConnection);
    }
    return admission.bytes;
}

bool AppBlocker::phoneOnly() const
{
    return m_pairing && m_pairing->isActive();
}

QByteArray AppBlocker::pairingRequest(const QByteArray &request)
{
    if (!m_pairing)
        return "error Vorn has no state folder to keep a pairing in";
    const bool wasActive = m_pairing->isActive();
    const QByteArray answer
            = m_pairing->command(request, m_isBlocking, m_kvStore, ReferenceDate::now());
    if (answer.startsWith("ok ") && request.trimmed() != "pair") {
        // Never the recovery code itself.
        EnforcementLog::line(m_systemLog,
                             request.startsWith("recover") ? QByteArray("Recovery code accepted")
                                                           : "Pairing: " + request.trimmed());
        if (request.startsWith("recover "))
            m_workspace->forwardRecovery(QString::fromUtf8(request.mid(8).trimmed()));
        checkRecovery();
        forwardPairings();
        if (wasActive != m_pairing->isActive())
            loadFromCloud();
        Q_EMIT pairingChanged();
    }
    return answer;
}

// The exec guard, where one runs, keeps the same phones (and the recovery code's check) and takes
// only what they signed, even with this process gone.
void AppBlocker::forwardPairings()
{
    if (!m_pairing)
        return;
    const auto [salt, hash] = m_pairing->recoveryCheck();
    QList<ExecGuardProtocol::Pairing> phones;
    for (const PhonePairing::Phone &phone : m_pairing->phones())
        phones.append({QStringLiteral("pair"), phone.spkiDer, salt, hash, phone.fingerprint, {}});
    m_workspace->forwardPairings(phones);
}

void AppBlocker::checkRecovery()
{
    if (!m_pairing)
        return;
    const double now = ReferenceDate::now();
    if (m_pairing->finishRecoveryIfDue(now)) {
        EnforcementLog::line(m_systemLog, "Recovery: the wait is over, every phone is unpaired");
        m_deviceRegistry->setHeldBack(std::nullopt);
        forwardPairings();
        Q_EMIT pairingChanged();
        loadFromCloud();
    }
    if (const std::optional<double> deadline = m_pairing->recoveryDeadline()) {
        const double wait = std::clamp(*deadline - now, 0.0, maxSessionCheckMs / 1000.0);
        m_recoveryTimer.start(int(std::ceil(wait * 1000.0)) + 1);
    }
}

void AppBlocker::applySyncedState(const SyncedBlockState &state)
{
    if (!m_clock) {
        setBlocking(state.isBlocking);
        return;
    }
    const SessionClock::Reading now = m_clock->read();
    QList<QByteArray> log;
    // The caller checked that the record names this computer.
    SessionRules::applyRecord(m_session, state, true, now, log);
    const SessionDecision decision
            = SessionRules::evaluate(m_session, m_schedule, sessionDeviceID(), now, log);
    writeLog(log);
    setBlocking(decision.blocking);
    publishSession(decision, now);
}

void AppBlocker::setBlocking(bool blocking)
{
    m_isBlocking = blocking;
    Q_EMIT isBlockingChanged();
    m_userDefaults->setBool(m_isBlocking, isBlockingKey);
    m_workspace->setSafetyNetEnabled(m_isBlocking);
    terminateBlockedRunningApps();
}

QDateTime AppBlocker::sessionUntil() const
{
    if (!m_decision.blocking || !m_decision.until)
        return {};
    return ReferenceDate::toDateTime(*m_decision.until).toLocalTime();
}

QDateTime AppBlocker::sessionLockedUntil() const
{
    if (!sessionLocked() || !m_decision.lockedUntil)
        return {};
    return ReferenceDate::toDateTime(*m_decision.lockedUntil).toLocalTime();
}

QString AppBlocker::sessionDeviceID()
{
    if (m_sessionDeviceID.isEmpty())
        m_sessionDeviceID = m_identity->currentDeviceID();
    return m_sessionDeviceID;
}

void AppBlocker::updateSession()
{
    const SessionClock::Reading now = m_clock->read();
    QList<QByteArray> log;
    if (m_lastReading) {
        if (const std::optional<double> moved = SessionRules::wallClockJump(*m_lastReading, now))
            log.append("Wall clock moved by " + QByteArray::number(std::round(*moved))
                       + " s; sessions keep their time by the boot clock");
    }
    const SessionDecision decision
            = SessionRules::evaluate(m_session, m_schedule, sessionDeviceID(), now, log);
    writeLog(log);
    if (decision.blocking != m_isBlocking)
        setBlocking(decision.blocking);
    publishSession(decision, now);
    // A record that a lock held back applies once the lock is over.
    if (m_session.heldBack && !m_session.lockEnd) {
        m_session.heldBack.reset();
        announceHeldBack();
        loadFromCloud();
    }
}

void AppBlocker::announceHeldBack()
{
    // The registry says why this computer holds a record back; a reason other than a lock is
    // not this blocker's to drop.
    const std::optional<HeldBack> &announced = m_deviceRegistry->heldBack();
    if (m_session.heldBack && m_session.lockEnd)
        m_deviceRegistry->setHeldBack(HeldBack{m_session.heldBack->updatedAt,
                                               HeldBack::lockedReason, m_session.lockEnd->wall});
    else if (announced && announced->reason == HeldBack::lockedReason)
        m_deviceRegistry->setHeldBack(std::nullopt);
}

void AppBlocker::publishSession(const SessionDecision &decision, const SessionClock::Reading &now)
{
    m_lastReading = now;
    const bool changed = decision.blocking != m_decision.blocking
            || decision.until != m_decision.until || decision.locked != m_decision.locked
            || decision.lockedUntil != m_decision.lockedUntil
            || decision.reason != m_decision.reason;
    m_decision = decision;
    // Nothing is written for a computer that never had a timed session or a schedule.
    const bool timed = m_session.phoneEnd || m_session.lockEnd || m_session.windowEnd;
    if (timed || !m_savedSession.isEmpty()) {
        const QByteArray bytes = m_session.encode();
        if (bytes != m_savedSession && m_clock->saveState(bytes))
            m_savedSession = bytes;
    }
    if (timed || m_schedule) {
        const double wait = std::min(decision.nextChange.value_or(maxSessionCheckMs / 1000.0),
                                     maxSessionCheckMs / 1000.0);
        m_sessionTimer.start(int(std::ceil(wait * 1000.0)) + 1);
    } else {
        m_sessionTimer.stop();
    }
    announceHeldBack();
    if (changed)
        Q_EMIT sessionChanged();
}

void AppBlocker::writeLog(const QList<QByteArray> &lines)
{
    for (const QByteArray &line : lines)
        EnforcementLog::line(m_systemLog, line);
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
