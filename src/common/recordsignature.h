#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QString>

#include <optional>

// Signed records: a paired phone signs "syncedBlockState" and "blockSchedule" with its ECDSA P-256
// key, and a computer in phone-only mode applies only what a paired key signed.
//
// - A public key travels as base64 of its SubjectPublicKeyInfo DER (what WebCrypto exports as
//   'spki'); a private key (vorn-phone's) as PKCS#8 DER.
// - A fingerprint is the first 10 bytes of SHA-256 over the SPKI DER, as
// "3F9A-C2D1-7B40-E5A2-91CC".
// - A signed record carries "signedBy" (the fingerprint) and "signature": base64 of the 64-byte
//   r||s signature (IEEE P1363, as WebCrypto makes it) over canonicalText().
// The page's web/phone/src/signing.js is the same definition; cross rows keep the two in step.
namespace RecordSignature {

inline constexpr QLatin1StringView signedByMember{"signedBy"};
inline constexpr QLatin1StringView signatureMember{"signature"};

// "vorn-signed-record-1\n" + storeKey + "\n" + the record without its "signature" member as
// compact JSON: members sorted by UTF-16 code units at every depth, strings and numbers written
// exactly as ECMAScript's JSON.stringify writes them. Every member is covered, known or not.
QByteArray canonicalText(const QString &storeKey, const QJsonObject &record);

QString fingerprint(const QByteArray &spkiDer);
// A fingerprint as typed (any case, with or without dashes or spaces) in its formatted form;
// nothing when it is not 20 hexadecimal digits.
std::optional<QString> normalizedFingerprint(const QString &typed);
// "pairingOffer.<fingerprint without dashes>": the store key a phone offers its key under.
QString offerKey(const QString &fingerprint);

// Strict standard base64 with padding; nothing for anything else.
std::optional<QByteArray> fromBase64(const QString &text);

// Whether signatureBase64 is a valid P1363 ECDSA P-256 / SHA-256 signature of canonical by the
// key; false for a key that is not P-256, a malformed signature or any other failure.
bool verify(const QByteArray &spkiDer, const QByteArray &canonical, const QString &signatureBase64);
// The base64 P1363 signature of canonical; nothing when the key cannot be read.
std::optional<QString> sign(const QByteArray &pkcs8Der, const QByteArray &canonical);

struct KeyPair
{
    QByteArray pkcs8Der;
    QByteArray spkiDer;
};
std::optional<KeyPair> generateKey();
// The SPKI DER of a private key's public half.
std::optional<QByteArray> publicKeyOf(const QByteArray &pkcs8Der);

// The record with "signedBy" and "signature" added (or replaced).
std::optional<QJsonObject> signRecord(const QString &storeKey, QJsonObject record,
                                      const QByteArray &pkcs8Der);
// The fingerprint of the key among keys (by fingerprint) that signed the record; nothing when it
// is unsigned, signed by a key not among them, or the signature does not hold.
std::optional<QString> verifiedSigner(const QString &storeKey, const QJsonObject &record,
                                      const QHash<QString, QByteArray> &spkiByFingerprint);

} // namespace RecordSignature
