#include "syncstatus.h"

#include "printabletext.h"
#include "privatefiles_linux.h"
#include "xdgpaths_linux.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cerrno>
#include <signal.h>
#include <unistd.h>

namespace {

QString stamp(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODateWithMs);
}

QString shown(const QString &isoTime)
{
    const QDateTime time = QDateTime::fromString(isoTime, Qt::ISODateWithMs);
    return time.isValid() ? time.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                          : QStringLiteral("-");
}

} // namespace

SyncStatus::SyncStatus(const QString &path, QObject *parent)
    : QObject(parent)
    , m_path(path)
    , m_since(QDateTime::currentDateTimeUtc())
{
    m_writeTimer.setSingleShot(true);
    m_writeTimer.setInterval(200);
    connect(&m_writeTimer, &QTimer::timeout, this, &SyncStatus::write);
}

SyncStatus::~SyncStatus()
{
    m_state = QStringLiteral("offline");
    m_detail = QStringLiteral("vorn-sync stopped");
    write();
}

QString SyncStatus::defaultPath()
{
    return XdgPaths::vornStateFolder() + QStringLiteral("/sync/status.json");
}

void SyncStatus::setBroker(const QString &url, const QString &user)
{
    m_broker = url;
    m_user = user;
    write();
}

void SyncStatus::setState(const QString &state, const QString &detail)
{
    if (state != m_state)
        m_since = QDateTime::currentDateTimeUtc();
    m_state = state;
    m_detail = detail;
    write();
}

void SyncStatus::noteSent(const QString &key)
{
    m_sent.insert(key, QDateTime::currentDateTimeUtc());
    if (!m_writeTimer.isActive())
        m_writeTimer.start();
}

void SyncStatus::noteReceived(const QString &key)
{
    m_received.insert(key, QDateTime::currentDateTimeUtc());
    if (!m_writeTimer.isActive())
        m_writeTimer.start();
}

void SyncStatus::write()
{
    m_writeTimer.stop();
    QJsonObject keys;
    auto entry = [&keys](const QString &key, const char *name, const QDateTime &time) {
        QJsonObject item = keys.value(key).toObject();
        item.insert(QLatin1String(name), stamp(time));
        keys.insert(key, item);
    };
    for (auto it = m_sent.cbegin(); it != m_sent.cend(); ++it)
        entry(it.key(), "sent", it.value());
    for (auto it = m_received.cbegin(); it != m_received.cend(); ++it)
        entry(it.key(), "received", it.value());
    const QJsonObject status{
            {QStringLiteral("pid"), qint64(::getpid())},
            {QStringLiteral("broker"), m_broker},
            {QStringLiteral("user"), m_user},
            {QStringLiteral("state"), m_state},
            {QStringLiteral("detail"), m_detail},
            {QStringLiteral("since"), stamp(m_since)},
            {QStringLiteral("keys"), keys},
    };
    PrivateFiles::makePrivateFolder(QFileInfo(m_path).path());
    // A report, rewritten at every start: not worth a wait for the disk.
    PrivateFiles::replaceAtomically(m_path, QJsonDocument(status).toJson(), tempPrefix, {},
                                    PrivateFiles::Durability::Unsynced);
}

QString SyncStatus::report(const QByteArray &statusJson, bool *connectedOut)
{
    const QJsonObject status = QJsonDocument::fromJson(statusJson).object();
    const qint64 pid = status.value(QStringLiteral("pid")).toInteger();
    const bool running = pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM);
    QString state = status.value(QStringLiteral("state")).toString();
    QString detail = status.value(QStringLiteral("detail")).toString();
    if (!running && state != QLatin1String("offline")) {
        state = QStringLiteral("offline");
        detail = QStringLiteral("vorn-sync is not running");
    }
    if (!running && detail.isEmpty())
        detail = QStringLiteral("vorn-sync is not running");
    const bool connected = running && state == QLatin1String("connected");
    if (connectedOut)
        *connectedOut = connected;

    QString text
            = QStringLiteral("%1: %2 as %3, since %4")
                      .arg(connected ? QStringLiteral("connected") : QStringLiteral("offline"),
                           PrintableText::escaped(
                                   status.value(QStringLiteral("broker")).toString()),
                           PrintableText::escaped(status.value(QStringLiteral("user")).toString()),
                           shown(status.value(QStringLiteral("since")).toString()));
    if (!connected && !detail.isEmpty())
        text += QStringLiteral(" (%1)").arg(PrintableText::escaped(detail));
    text += QLatin1Char('\n');
    const QJsonObject keys = status.value(QStringLiteral("keys")).toObject();
    QStringList names = keys.keys();
    std::sort(names.begin(), names.end());
    if (names.isEmpty())
        text += QStringLiteral("no value exchanged yet\n");
    for (const QString &name : names) {
        const QJsonObject item = keys.value(name).toObject();
        text += QStringLiteral("%1  sent %2  received %3\n")
                        .arg(PrintableText::escaped(name), -20)
                        .arg(shown(item.value(QStringLiteral("sent")).toString()), -19)
                        .arg(shown(item.value(QStringLiteral("received")).toString()));
    }
    return text;
}
