#include "syncbase.h"

#include "cloudkeyvaluestore_linux.h"
#include "incomingvalue.h"
#include "privatefiles_linux.h"
#include "xdgpaths_linux.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

namespace {

const QString identityFile = QStringLiteral(".broker");
const QString sentPrefix = QStringLiteral(".sent-");
// A key's unacknowledged values: a broker that never answers must not grow the note forever.
constexpr qsizetype kMaxSentNoted = 64;

// Named after the key's digest: a key may be as long as a file name can be.
QString sentNoteName(const QString &key)
{
    return sentPrefix
            + QString::fromLatin1(
                      QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256).toHex())
                      .left(40);
}

} // namespace

QString SyncBase::defaultFolder()
{
    return XdgPaths::vornStateFolder() + QStringLiteral("/sync/base");
}

QByteArray SyncBase::digestOf(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

SyncBase::SyncBase(const QString &folder, const QString &brokerIdentity)
    : m_folder(folder)
{
    PrivateFiles::makePrivateFolder(m_folder);
    const QByteArray identity = brokerIdentity.toUtf8();
    const QString identityPath = m_folder + QLatin1Char('/') + identityFile;
    const PrivateFiles::ReadResult stored = PrivateFiles::readFile(identityPath, 4096);
    const QStringList names = QDir(m_folder).entryList(QDir::Files | QDir::Hidden);
    if (stored.status != PrivateFiles::ReadStatus::Ok || stored.bytes != identity) {
        for (const QString &name : names) {
            if (LinuxCloudKeyValueStore::isSafeKey(name) || name.startsWith(sentPrefix))
                QFile::remove(m_folder + QLatin1Char('/') + name);
        }
        PrivateFiles::replaceAtomically(identityPath, identity, tempPrefix);
        return;
    }
    for (const QString &name : names) {
        const bool sent = name.startsWith(sentPrefix);
        if (!sent && !LinuxCloudKeyValueStore::isSafeKey(name))
            continue;
        const PrivateFiles::ReadResult read = PrivateFiles::readFile(
                m_folder + QLatin1Char('/') + name, IncomingValue::maxValueBytes);
        if (read.status != PrivateFiles::ReadStatus::Ok)
            continue;
        if (!sent) {
            m_digests.insert(name, digestOf(read.bytes));
            continue;
        }
        // The key on the first line, then one digest a line.
        QByteArrayList lines = read.bytes.split('\n');
        const QString key = QString::fromUtf8(lines.takeFirst());
        if (name != sentNoteName(key))
            continue;
        for (const QByteArray &line : std::as_const(lines)) {
            const QByteArray digest = QByteArray::fromHex(line);
            if (digest.size() == 32)
                m_sent[key].append(digest);
        }
    }
}

std::optional<QByteArray> SyncBase::digest(const QString &key) const
{
    const auto found = m_digests.constFind(key);
    if (found == m_digests.cend())
        return std::nullopt;
    return *found;
}

bool SyncBase::setValue(const QString &key, const QByteArray &bytes)
{
    const QByteArray digest = digestOf(bytes);
    auto sent = m_sent.find(key);
    if (sent != m_sent.end()) {
        // The broker holds this value now: those sent before it are behind it.
        const qsizetype at = sent->indexOf(digest);
        if (at >= 0) {
            sent->remove(0, at + 1);
            writeSent(key, *sent);
        }
    }
    const auto found = m_digests.constFind(key);
    if (found != m_digests.cend() && *found == digest)
        return false;
    m_digests.insert(key, digest);
    PrivateFiles::makePrivateFolder(m_folder);
    // Not waited for: a base lost to a power cut is older than the folder (whose value was made
    // durable before this write), and an older base only lets the broker's value win a conflict;
    // it never makes the folder's value look changed here.
    PrivateFiles::replaceAtomically(m_folder + QLatin1Char('/') + key, bytes, tempPrefix, {},
                                    PrivateFiles::Durability::Unsynced);
    return true;
}

bool SyncBase::noteSending(const QString &key, const QByteArray &bytes)
{
    QByteArrayList &sent = m_sent[key];
    sent.append(digestOf(bytes));
    if (sent.size() > kMaxSentNoted)
        sent.remove(0, sent.size() - kMaxSentNoted);
    return PrivateFiles::makePrivateFolder(m_folder) && writeSent(key, sent);
}

bool SyncBase::wasSent(const QString &key, const QByteArray &bytes) const
{
    return m_sent.value(key).contains(digestOf(bytes));
}

bool SyncBase::writeSent(const QString &key, const QByteArrayList &sent)
{
    const QString path = m_folder + QLatin1Char('/') + sentNoteName(key);
    if (sent.isEmpty()) {
        m_sent.remove(key);
        return QFile::remove(path);
    }
    QByteArray text = key.toUtf8();
    for (const QByteArray &digest : sent)
        text += '\n' + digest.toHex();
    return PrivateFiles::replaceAtomically(path, text, tempPrefix);
}
