#include "syncbridge.h"

#include "appblocker.h"
#include "cloudkeyvaluestore_linux.h"
#include "deviceregistry.h"
#include "printabletext.h"
#include "syncbase.h"
#include "synclog.h"
#include "syncstatus.h"

#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <unistd.h>

namespace {

// A broker that sends ever new bad keys must not fill the log or the memory.
constexpr qsizetype kMaxRefusalsLogged = 1000;

// Tests end the bridge at a named step (VORN_SYNC_EXIT_AT), as a kill there would.
void exitPoint(const char *step)
{
    static const QByteArray exitAt = qgetenv("VORN_SYNC_EXIT_AT");
    if (!exitAt.isEmpty() && exitAt == step)
        ::_exit(86);
}

} // namespace

SyncBridge::SyncBridge(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
{
    const QByteArray user = m_options.connection.user.toUtf8();
    m_kvPrefix = "vorn/" + user + "/kv/";
    m_markerTopic = "vorn/" + user + "/sync/" + m_options.connection.clientId.toUtf8();
    m_store = std::make_unique<LinuxCloudKeyValueStore>(m_options.cloudFolder);
    m_base = std::make_unique<SyncBase>(m_options.baseFolder,
                                        m_options.connection.broker.url() + QLatin1Char(' ')
                                                + m_options.connection.user);
    m_status = std::make_unique<SyncStatus>(m_options.statusFile);
    m_status->setBroker(m_options.connection.broker.url(), m_options.connection.user);
    m_connection = std::make_unique<MqttConnection>(m_options.connection);
    const QFileInfoList files = QDir(m_options.cloudFolder).entryInfoList(QDir::Files);
    for (const QFileInfo &file : files) {
        if (LinuxCloudKeyValueStore::isSafeKey(file.fileName())) {
            m_folderSizes.insert(file.fileName(), file.size());
            m_folderBytes += file.size();
        }
    }

    // The store notices on its watcher thread; the exchange runs on this object's thread.
    connect(
            m_store.get(), &CloudKeyValueStore::didChangeExternally, this,
            [this] {
                if (m_inStep)
                    publishLocalChanges(false);
            },
            Qt::QueuedConnection);
    connect(m_connection.get(), &MqttConnection::connected, this, &SyncBridge::handleConnected);
    connect(m_connection.get(), &MqttConnection::connectFailed, this,
            [this](MqttConnection::Failure failure, const QString &message) {
                m_status->setState(QStringLiteral("offline"), message);
                // A broker that stays away is said once, not at every attempt.
                if (message == m_failureLogged) {
                    qCDebug(lcSync).noquote() << message;
                    return;
                }
                m_failureLogged = message;
                if (failure == MqttConnection::Failure::NotAuthorised)
                    qCWarning(lcSync).noquote()
                            << QStringLiteral("the broker refused the credentials of %1: %2")
                                       .arg(m_options.connection.user, message);
                else
                    qCWarning(lcSync).noquote() << message;
            });
    connect(m_connection.get(), &MqttConnection::connectionLost, this,
            [this](const QString &reason) {
                qCWarning(lcSync).noquote()
                        << QStringLiteral("lost the broker: %1; reconnecting").arg(reason);
                m_status->setState(QStringLiteral("offline"), reason);
                resetExchange();
            });
    connect(m_connection.get(), &MqttConnection::messageReceived, this,
            &SyncBridge::handleBrokerMessage);
    connect(m_connection.get(), &MqttConnection::subscribeAcknowledged, this,
            &SyncBridge::handleSubscribed);
    connect(m_connection.get(), &MqttConnection::publishAcknowledged, this,
            &SyncBridge::handlePublished);

    m_markerTimeout.setSingleShot(true);
    connect(&m_markerTimeout, &QTimer::timeout, this, [this] {
        qCWarning(lcSync) << "the broker did not return the end-of-values marker; reconciling "
                             "with the values received so far";
        finishReconciliation(false);
    });
}

const QStringList &SyncBridge::vornKeys()
{
    static const QStringList keys{AppBlocker::syncKey, AppBlocker::scheduleKey,
                                  DeviceRegistry::registryKey};
    return keys;
}

SyncBridge::~SyncBridge()
{
    m_store->disconnect(this);
    m_connection->stop();
}

void SyncBridge::start()
{
    m_status->setState(QStringLiteral("connecting"));
    m_connection->start(true);
}

void SyncBridge::stop()
{
    m_connection->stop();
    resetExchange();
    m_status->setState(QStringLiteral("offline"), QStringLiteral("vorn-sync stopped"));
}

void SyncBridge::resetExchange()
{
    const bool wasInStep = m_inStep;
    m_inStep = false;
    m_reconciling = false;
    // A marker of an earlier connection, still queued in the session, must not end this one's
    // reconciliation.
    m_markerToken.clear();
    m_markerTimeout.stop();
    m_pending.clear();
    m_inFlight.clear();
    m_seenThisConnection.clear();
    if (wasInStep)
        Q_EMIT outOfStep();
}

void SyncBridge::handleConnected()
{
    m_failureLogged.clear();
    qCInfo(lcSync).noquote() << QStringLiteral("connected to %1 as %2")
                                        .arg(m_options.connection.broker.url(),
                                             m_options.connection.user);
    m_status->setState(QStringLiteral("connected"));
    resetExchange();
    m_reconciling = true;
    QByteArrayList filters;
    for (const QString &key : vornKeys())
        filters.append(m_kvPrefix + key.toUtf8());
    m_subscribeMid
            = m_connection->subscribe(filters + QByteArrayList{m_kvPrefix + '+', m_markerTopic});
    m_markerTimeout.start(m_options.markerTimeoutMs);
}

void SyncBridge::handleSubscribed(int mid, const QList<int> &granted)
{
    if (mid != m_subscribeMid)
        return;
    qCDebug(lcSync) << "subscribed, granted" << granted;
    const qsizetype wildcard = vornKeys().size();
    if (granted.value(wildcard, 0x80) >= 0x80)
        qCWarning(lcSync).noquote()
                << QStringLiteral("the broker does not let %1 read %2+ (check its ACL)")
                           .arg(m_options.connection.user, QString::fromUtf8(m_kvPrefix));
    if (granted.value(wildcard + 1, 0x80) >= 0x80) {
        finishReconciliation(false);
        return;
    }
    // The broker queued the retained values right after its SUBACK; this marker comes after them.
    m_markerToken = QByteArray::number(QRandomGenerator::global()->generate64(), 36);
    if (m_connection->publish(m_markerTopic, m_markerToken, false) < 0) {
        qCWarning(lcSync) << "could not send the end-of-values marker";
        finishReconciliation(false);
    }
}

void SyncBridge::handleBrokerMessage(const QByteArray &topic, const QByteArray &payload)
{
    if (topic == m_markerTopic) {
        if (m_reconciling && !m_markerToken.isEmpty() && payload == m_markerToken)
            finishReconciliation(true);
        return;
    }
    const IncomingValue incoming = IncomingValue::classify(m_kvPrefix, topic, payload);
    switch (incoming.verdict) {
    case IncomingValue::Verdict::NotOurs:
    case IncomingValue::Verdict::Deletion:
        return;
    case IncomingValue::Verdict::UnsafeKey:
        refuseOnce(incoming.key, QStringLiteral("not a usable key name"));
        return;
    case IncomingValue::Verdict::TooLarge:
        refuseOnce(incoming.key, QStringLiteral("larger than 1 MiB"));
        return;
    case IncomingValue::Verdict::Store:
        break;
    }
    const QString &key = incoming.key;
    qCDebug(lcSync).noquote() << "received" << PrintableText::escaped(key) << payload.size()
                              << "bytes";
    if (!withinBounds(key, payload.size()))
        return;
    m_seenThisConnection.insert(key);

    const QByteArray digest = SyncBase::digestOf(payload);
    QList<QByteArray> &pending = m_pending[key];
    if (!pending.isEmpty()) {
        const qsizetype echo = pending.indexOf(digest);
        if (echo >= 0)
            pending.remove(0, echo + 1); // ours, and any of ours the broker has since overtaken
        // Otherwise a foreign value the broker ordered before ours: ours follows and wins.
        m_base->setValue(key, payload);
        if (pending.isEmpty())
            m_pending.remove(key);
        return;
    }
    m_pending.remove(key);

    // A value this computer sent before it was stopped or killed is its own, not a change made
    // elsewhere.
    const std::optional<QByteArray> base
            = m_base->wasSent(key, payload) ? digest : m_base->digest(key);
    const std::optional<QByteArray> local = localValue(key);
    // Changed only here while offline: the broker still has the old value; ours is sent when the
    // reconciliation ends.
    const bool changedOnlyHere = m_reconciling && local && base
            && SyncBase::digestOf(*local) != *base && digest == *base;
    // The folder first, the base after: a kill between the two leaves the folder holding the
    // broker's value, which the next start takes as in step, never as a change to send back.
    if (local != payload && !changedOnlyHere) {
        m_store->setData(payload, key);
        noteFolderSize(key, payload.size());
        exitPoint("received-folder-written");
        m_status->noteReceived(key);
    }
    if (m_base->setValue(key, payload))
        exitPoint("received-base-written");
}

void SyncBridge::finishReconciliation(bool sawEveryValue)
{
    if (!m_reconciling)
        return;
    qCDebug(lcSync) << "reconciled";
    m_reconciling = false;
    m_markerTimeout.stop();
    // Only when the broker is known to have sent every value it holds is a key it did not send
    // taken as lost by the broker and sent again.
    publishLocalChanges(sawEveryValue);
    m_inStep = true;
    Q_EMIT inStep();
}

void SyncBridge::publishLocalChanges(bool republishMissing)
{
    if (m_connection->state() != MqttConnection::State::Connected)
        return;
    for (const QString &key : localKeys()) {
        const std::optional<QByteArray> bytes = localValue(key);
        if (!bytes)
            continue;
        const QList<QByteArray> pending = m_pending.value(key);
        const std::optional<QByteArray> last
                = pending.isEmpty() ? m_base->digest(key) : std::optional(pending.last());
        // A key the broker no longer holds (it lost its store) is sent again.
        const bool missing = republishMissing && !m_seenThisConnection.contains(key);
        if (last != SyncBase::digestOf(*bytes) || missing)
            publishValue(key, *bytes);
    }
}

void SyncBridge::publishValue(const QString &key, const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return; // an empty retained message would delete the key on the broker
    if (bytes.size() > IncomingValue::maxValueBytes) {
        refuseOnce(key, QStringLiteral("larger than 1 MiB, not sent"));
        return;
    }
    // Noted before it can reach the broker: after a kill, the broker's copy is known as ours.
    m_base->noteSending(key, bytes);
    const int mid = m_connection->publish(m_kvPrefix + key.toUtf8(), bytes, true);
    qCDebug(lcSync).noquote() << "sent" << PrintableText::escaped(key) << bytes.size()
                              << "bytes, message" << mid;
    if (mid < 0)
        return;
    m_pending[key].append(SyncBase::digestOf(bytes));
    m_inFlight.insert(mid, {key, bytes});
    m_status->noteSent(key);
    exitPoint("sent");
}

void SyncBridge::handlePublished(int mid, int reasonCode)
{
    const auto found = m_inFlight.constFind(mid);
    if (found == m_inFlight.cend())
        return;
    const Pending sent = *found;
    m_inFlight.erase(found);
    if (reasonCode < 0x80) {
        m_base->setValue(sent.key, sent.bytes);
        return;
    }
    refuseOnce(sent.key,
               QStringLiteral("the broker did not take our value (reason %1)").arg(reasonCode));
    auto pending = m_pending.find(sent.key);
    if (pending != m_pending.end()) {
        pending->removeOne(SyncBase::digestOf(sent.bytes));
        if (pending->isEmpty())
            m_pending.erase(pending);
    }
}

QStringList SyncBridge::localKeys() const
{
    QStringList keys;
    const QStringList names = QDir(m_options.cloudFolder).entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        if (LinuxCloudKeyValueStore::isSafeKey(name) && PrintableText::isPlainKey(name))
            keys.append(name);
    }
    return keys;
}

std::optional<QByteArray> SyncBridge::localValue(const QString &key)
{
    const QFileInfo file(m_options.cloudFolder + QLatin1Char('/') + key);
    if (file.size() > IncomingValue::maxValueBytes) {
        refuseOnce(key, QStringLiteral("the local value is larger than 1 MiB, not sent"));
        return std::nullopt;
    }
    if (file.exists())
        noteFolderSize(key, file.size());
    return m_store->dataForKey(key);
}

bool SyncBridge::withinBounds(const QString &key, qint64 bytes)
{
    const qint64 before = m_folderSizes.value(key, -1);
    const qint64 total = m_folderBytes - std::max<qint64>(before, 0) + bytes;
    const qsizetype keys = m_folderSizes.size() + (before < 0 ? 1 : 0);
    if (!vornKeys().contains(key) && (keys > m_options.maxKeys || total > m_options.maxBytes)) {
        if (!m_boundsLogged)
            qCWarning(lcSync).noquote()
                    << QStringLiteral("the folder holds what it may take from the broker (%1 keys, "
                                      "%2 MiB); further new values are refused")
                               .arg(m_options.maxKeys)
                               .arg(m_options.maxBytes / (1024 * 1024));
        m_boundsLogged = true;
        return false;
    }
    return true;
}

void SyncBridge::noteFolderSize(const QString &key, qint64 bytes)
{
    m_folderBytes += bytes - m_folderSizes.value(key, 0);
    m_folderSizes.insert(key, bytes);
}

void SyncBridge::refuseOnce(const QString &key, const QString &reason)
{
    const QString entry = reason + QLatin1Char('\n') + key;
    if (m_refusalsLogged.contains(entry) || m_refusalsLogged.size() > kMaxRefusalsLogged)
        return;
    m_refusalsLogged.insert(entry);
    if (m_refusalsLogged.size() > kMaxRefusalsLogged) {
        qCWarning(lcSync) << "too many refused values; further refusals are not logged";
        return;
    }
    qCWarning(lcSync).noquote() << QStringLiteral("refused key \"%1\": %2")
                                           .arg(PrintableText::escaped(key.left(80)), reason);
}
