#include "phonepairing.h"

#include "cloudkeyvaluestore.h"
#include "printabletext.h"
#include "recordsignature.h"
#include "referencedate.h"
#include "strictjson.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <cmath>

#include <openssl/evp.h>

namespace {

const QString offerPrefix = QStringLiteral("pairingOffer.");
constexpr int hashIterations = 100000;

QString newRecoveryCode()
{
    // 100 random bits in base32 (RFC 4648 alphabet), four groups of five.
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    QString code;
    for (int i = 0; i < 20; ++i) {
        if (i > 0 && i % 5 == 0)
            code += u'-';
        code += QLatin1Char(alphabet[QRandomGenerator::system()->bounded(32)]);
    }
    return code;
}

std::optional<double> updatedAtOf(const QJsonObject &record)
{
    const QJsonValue value = record.value(QLatin1String("updatedAt"));
    if (!value.isDouble() || !std::isfinite(value.toDouble()))
        return std::nullopt;
    return value.toDouble();
}

QJsonObject recordOf(const std::optional<QByteArray> &bytes)
{
    const std::optional<QJsonValue> value = bytes ? StrictJson::parse(*bytes) : std::nullopt;
    return value ? value->toObject() : QJsonObject();
}

} // namespace

std::pair<QByteArray, QByteArray> PhonePairing::recoveryCheck() const
{
    QMutexLocker locker(&m_mutex);
    return {m_recoverySalt, m_recoveryHash};
}

QByteArray PhonePairing::recoveryHash(const QString &code, const QByteArray &salt)
{
    // Typed codes are compared without dashes, spaces or case.
    const QByteArray plain = code.toUpper().remove(u'-').remove(u' ').toLatin1();
    unsigned char hash[32];
    PKCS5_PBKDF2_HMAC(plain.constData(), int(plain.size()),
                      reinterpret_cast<const unsigned char *>(salt.constData()), int(salt.size()),
                      hashIterations, EVP_sha256(), int(sizeof hash), hash);
    return QByteArray(reinterpret_cast<const char *>(hash), sizeof hash);
}

PhonePairing::PhonePairing(const QString &filePath)
    : m_filePath(filePath)
{
    if (!load()) {
        m_damaged = true;
        qWarning("vorn: the pairing state %s cannot be read: only records signed by a paired "
                 "phone would apply, and none is known",
                 qPrintable(m_filePath));
    }
}

bool PhonePairing::load()
{
    QFile file(m_filePath);
    if (!file.exists())
        return true;
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const std::optional<QJsonValue> parsed = StrictJson::parse(file.read(1 << 20));
    if (!parsed || !parsed->isObject())
        return false;
    const QJsonObject root = parsed->toObject();
    for (const QJsonValue &entry : root.value(QLatin1String("phones")).toArray()) {
        const QJsonObject object = entry.toObject();
        const std::optional<QByteArray> spki
                = RecordSignature::fromBase64(object.value(QLatin1String("publicKey")).toString());
        if (!spki)
            return false;
        m_phones.append({RecordSignature::fingerprint(*spki),
                         object.value(QLatin1String("name")).toString(), *spki,
                         object.value(QLatin1String("pairedAt")).toDouble()});
    }
    const QJsonObject applied = root.value(QLatin1String("applied")).toObject();
    for (auto it = applied.begin(); it != applied.end(); ++it)
        m_applied.insert(it.key(), it.value().toString().toUtf8());
    const QJsonObject recovery = root.value(QLatin1String("recovery")).toObject();
    m_recoverySalt
            = QByteArray::fromBase64(recovery.value(QLatin1String("salt")).toString().toLatin1());
    m_recoveryHash
            = QByteArray::fromBase64(recovery.value(QLatin1String("hash")).toString().toLatin1());
    const QJsonValue deadline = recovery.value(QLatin1String("until"));
    if (deadline.isDouble())
        m_recoveryDeadline = deadline.toDouble();
    return true;
}

bool PhonePairing::save()
{
    QJsonArray phones;
    for (const Phone &phone : std::as_const(m_phones))
        phones.append(QJsonObject{
                {QStringLiteral("fingerprint"), phone.fingerprint},
                {QStringLiteral("name"), phone.name},
                {QStringLiteral("publicKey"), QString::fromLatin1(phone.spkiDer.toBase64())},
                {QStringLiteral("pairedAt"), phone.at}});
    QJsonObject applied;
    for (auto it = m_applied.cbegin(); it != m_applied.cend(); ++it)
        applied.insert(it.key(), QString::fromUtf8(it.value()));
    QJsonObject recovery{{QStringLiteral("salt"), QString::fromLatin1(m_recoverySalt.toBase64())},
                         {QStringLiteral("hash"), QString::fromLatin1(m_recoveryHash.toBase64())}};
    if (m_recoveryDeadline)
        recovery.insert(QStringLiteral("until"), *m_recoveryDeadline);
    const QJsonObject root{{QStringLiteral("phones"), phones},
                           {QStringLiteral("applied"), applied},
                           {QStringLiteral("recovery"), recovery}};
    // QSaveFile syncs the new file to disk before it takes the old one's place.
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(QJsonDocument(root).toJson()) < 0 || !file.commit()) {
        qWarning("vorn: cannot write the pairing state %s: %s", qPrintable(m_filePath),
                 qPrintable(file.errorString()));
        return false;
    }
    m_damaged = false;
    return true;
}

QList<PhonePairing::Phone> PhonePairing::offers(const CloudKeyValueStore *store)
{
    QList<Phone> offers;
    for (const QString &key : store->keys()) {
        if (!key.startsWith(offerPrefix))
            continue;
        const QJsonObject offer = recordOf(store->dataForKey(key));
        const std::optional<QByteArray> spki
                = RecordSignature::fromBase64(offer.value(QLatin1String("publicKey")).toString());
        if (!spki || RecordSignature::offerKey(RecordSignature::fingerprint(*spki)) != key)
            continue;
        offers.append({RecordSignature::fingerprint(*spki),
                       offer.value(QLatin1String("name")).toString(), *spki,
                       offer.value(QLatin1String("offeredAt")).toDouble()});
    }
    std::sort(offers.begin(), offers.end(),
              [](const Phone &a, const Phone &b) { return a.at > b.at; });
    return offers;
}

bool PhonePairing::isActive() const
{
    const QMutexLocker locker(&m_mutex);
    return m_damaged || !m_phones.isEmpty();
}

QList<PhonePairing::Phone> PhonePairing::phones() const
{
    const QMutexLocker locker(&m_mutex);
    return m_phones;
}

std::optional<double> PhonePairing::recoveryDeadline() const
{
    const QMutexLocker locker(&m_mutex);
    return m_recoveryDeadline;
}

PhonePairing::Admission PhonePairing::admit(const QString &storeKey,
                                            const std::optional<QByteArray> &bytes)
{
    const QMutexLocker locker(&m_mutex);
    if (!m_damaged && m_phones.isEmpty())
        return {bytes, true, std::nullopt};
    const auto last = m_applied.constFind(storeKey);
    const std::optional<QByteArray> lastBytes
            = last == m_applied.constEnd() ? std::nullopt : std::optional<QByteArray>(*last);
    if (bytes && bytes == lastBytes)
        return {bytes, false, std::nullopt};
    if (!bytes) // a record removed is no record to follow: the last one stands
        return {lastBytes, false, std::nullopt};

    const QJsonObject record = recordOf(bytes);
    const std::optional<double> updatedAt = updatedAtOf(record);
    QHash<QString, QByteArray> keys;
    for (const Phone &phone : std::as_const(m_phones))
        keys.insert(phone.fingerprint, phone.spkiDer);
    const std::optional<double> lastUpdatedAt = updatedAtOf(recordOf(lastBytes));
    if (!updatedAt || !RecordSignature::verifiedSigner(storeKey, record, keys)
        || (lastUpdatedAt && *updatedAt <= *lastUpdatedAt))
        return {lastBytes, false, updatedAt.value_or(std::nan(""))};
    m_applied.insert(storeKey, *bytes);
    save();
    return {bytes, true, std::nullopt};
}

std::optional<QString>
PhonePairing::pair(const Phone &phone, const QHash<QString, QByteArray> &currentRecords, double now)
{
    const QMutexLocker locker(&m_mutex);
    if (m_phones.isEmpty()) {
        // Entering phone-only mode: the records stored now are the floor a signed record must
        // be newer than, so that an old signed "off" cannot be replayed.
        m_applied = currentRecords;
    }
    const auto it = std::find_if(m_phones.begin(), m_phones.end(), [&](const Phone &paired) {
        return paired.fingerprint == phone.fingerprint;
    });
    if (it != m_phones.end())
        m_phones.erase(it);
    m_phones.append({phone.fingerprint, phone.name, phone.spkiDer, now});
    const QString code = newRecoveryCode();
    m_recoverySalt.resize(16);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_recoverySalt.data()), 4);
    m_recoveryHash = recoveryHash(code, m_recoverySalt);
    m_recoveryDeadline.reset();
    if (!save())
        return std::nullopt;
    return code;
}

bool PhonePairing::unpair(const QString &fingerprint)
{
    const QMutexLocker locker(&m_mutex);
    const qsizetype before = m_phones.size();
    m_phones.removeIf([&](const Phone &phone) { return phone.fingerprint == fingerprint; });
    if (m_phones.size() == before)
        return false;
    if (m_phones.isEmpty()) {
        m_applied.clear();
        m_recoveryHash.clear();
        m_recoverySalt.clear();
        m_recoveryDeadline.reset();
    }
    return save();
}

bool PhonePairing::startRecovery(const QString &code, double now, double wait)
{
    const QMutexLocker locker(&m_mutex);
    if (m_phones.isEmpty() || m_recoveryHash.isEmpty()
        || recoveryHash(code, m_recoverySalt) != m_recoveryHash)
        return false;
    if (!m_recoveryDeadline)
        m_recoveryDeadline = now + wait;
    return save();
}

bool PhonePairing::finishRecoveryIfDue(double now)
{
    const QMutexLocker locker(&m_mutex);
    if (!m_recoveryDeadline || now < *m_recoveryDeadline)
        return false;
    m_phones.clear();
    m_applied.clear();
    m_recoveryHash.clear();
    m_recoverySalt.clear();
    m_recoveryDeadline.reset();
    return save();
}

double PhonePairing::recoveryWaitSeconds()
{
#ifdef VORN_TEST_HOOKS
    bool ok = false;
    const double seconds = qEnvironmentVariable("VORN_RECOVERY_WAIT_SECONDS").toDouble(&ok);
    if (ok && seconds >= 0)
        return seconds;
#endif
    return recoveryWait;
}

QByteArray PhonePairing::command(const QByteArray &request, bool blocking,
                                 const CloudKeyValueStore *store, double now)
{
    const QStringList words = QString::fromUtf8(request).split(u' ', Qt::SkipEmptyParts);
    const QString verb = words.value(0);
    const auto answer = [](bool ok, const QString &text) {
        return (ok ? "ok " : "error ") + text.toUtf8();
    };
    if (words.size() == 1 && verb == QLatin1String("pair")) {
        QStringList lines;
        const QList<Phone> paired = phones();
        for (const Phone &phone : paired)
            lines.append(phone.fingerprint + u'\t' + PrintableText::escaped(phone.name)
                         + QStringLiteral("\tpaired"));
        for (const Phone &offer : offers(store)) {
            if (std::none_of(paired.cbegin(), paired.cend(), [&](const Phone &phone) {
                    return phone.fingerprint == offer.fingerprint;
                }))
                lines.append(offer.fingerprint + u'\t' + PrintableText::escaped(offer.name)
                             + QStringLiteral("\toffered"));
        }
        // One line on the wire: the list travels with its line breaks escaped.
        return answer(true, lines.join(u'\n')).replace('\\', "\\\\").replace('\n', "\\n");
    }
    if (words.size() != 2)
        return answer(false,
                      QStringLiteral("say pair [FINGERPRINT], unpair FINGERPRINT or "
                                     "unpair --recovery CODE"));
    if (verb == QLatin1String("recover")) {
        if (!startRecovery(words[1], now, recoveryWaitSeconds()))
            return answer(false,
                          QStringLiteral("That is not the recovery code of this computer's "
                                         "pairing"));
        return answer(true,
                      QStringLiteral("Every phone will be unpaired at %1 (local time); "
                                     "blocking goes on until then")
                              .arg(ReferenceDate::toDateTime(*recoveryDeadline())
                                           .toLocalTime()
                                           .toString(QStringLiteral("yyyy-MM-dd HH:mm"))));
    }
    const std::optional<QString> fingerprint = RecordSignature::normalizedFingerprint(words[1]);
    if (verb != QLatin1String("pair") && verb != QLatin1String("unpair"))
        return answer(false, QStringLiteral("unknown request"));
    if (!fingerprint)
        return answer(false,
                      QStringLiteral("%1 is not a fingerprint (20 hexadecimal digits as "
                                     "the phone shows them)")
                              .arg(words[1]));
    if (blocking)
        return answer(false, QStringLiteral("Pairing is locked while blocking"));
    if (verb == QLatin1String("unpair")) {
        if (!unpair(*fingerprint))
            return answer(
                    false,
                    QStringLiteral("No paired phone has the fingerprint %1").arg(*fingerprint));
        return answer(true,
                      QStringLiteral("Unpaired %1%2")
                              .arg(*fingerprint,
                                   isActive() ? QString()
                                              : QStringLiteral("; no phone is paired "
                                                               "now")));
    }
    const QList<Phone> offered = offers(store);
    const auto offer = std::find_if(offered.cbegin(), offered.cend(), [&](const Phone &phone) {
        return phone.fingerprint == *fingerprint;
    });
    if (offer == offered.cend())
        return answer(false,
                      QStringLiteral("No phone offers the fingerprint %1 ('vorn pair' lists "
                                     "the offers)")
                              .arg(*fingerprint));
    QHash<QString, QByteArray> current;
    for (const QString &key :
         {QStringLiteral("syncedBlockState"), QStringLiteral("blockSchedule")}) {
        if (const std::optional<QByteArray> bytes = store->dataForKey(key))
            current.insert(key, *bytes);
    }
    const std::optional<QString> code = pair(*offer, current, now);
    if (!code)
        return answer(false, QStringLiteral("Could not write the pairing state"));
    return answer(true,
                  QStringLiteral("Paired %1 (%2). Recovery code, shown only now: %3 - keep it "
                                 "to unpair every phone after a 24-hour wait if the phone "
                                 "is lost")
                          .arg(PrintableText::escaped(offer->name), *fingerprint, *code));
}
