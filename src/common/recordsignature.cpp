#include "recordsignature.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

// Implementation notes: WebCrypto signs ECDSA as the raw 64-byte r||s pair while OpenSSL speaks
// DER (a SEQUENCE of two INTEGERs); the conversions below go through ECDSA_SIG. The canonical JSON
// is written here rather than with QJsonDocument or CompactJson because both sides must agree byte
// for byte with JSON.stringify: numbers in ECMAScript's Number::toString form ("1e+21", "5e-7",
// "100000000000000000000") and only the escapes it makes.

namespace RecordSignature {

namespace {

constexpr int signatureSize = 64;
constexpr int fingerprintBytes = 10;

template<typename T, void (*Free)(T *)> struct Deleter
{
    void operator()(T *p) const { Free(p); }
};
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX, EVP_MD_CTX_free>>;
using EcdsaSig = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG, ECDSA_SIG_free>>;

void writeString(QString &out, const QString &value)
{
    static const char hex[] = "0123456789abcdef";
    out += u'"';
    for (qsizetype i = 0; i < value.size(); ++i) {
        const char16_t c = value.at(i).unicode();
        const bool lead = QChar::isHighSurrogate(c);
        const bool paired = lead
                ? i + 1 < value.size() && value.at(i + 1).isLowSurrogate()
                : QChar::isLowSurrogate(c) && i > 0 && value.at(i - 1).isHighSurrogate();
        switch (c) {
        case u'\b':
            out += u"\\b";
            continue;
        case u'\t':
            out += u"\\t";
            continue;
        case u'\n':
            out += u"\\n";
            continue;
        case u'\f':
            out += u"\\f";
            continue;
        case u'\r':
            out += u"\\r";
            continue;
        case u'"':
            out += u"\\\"";
            continue;
        case u'\\':
            out += u"\\\\";
            continue;
        default:
            break;
        }
        if (c < 0x20 || (QChar::isSurrogate(c) && !paired)) {
            out += u"\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += QLatin1Char(hex[(c >> shift) & 0xf]);
        } else {
            out += QChar(c);
        }
    }
    out += u'"';
}

// ECMAScript's Number::toString for a finite double: the shortest digits that read back as the
// value, placed by the rules of ES2023 6.1.6.1.20.
void writeNumber(QString &out, double value)
{
    if (!std::isfinite(value)) {
        out += u"null";
        return;
    }
    if (value == 0) {
        out += u'0';
        return;
    }
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, std::abs(value),
                                      std::chars_format::scientific);
    const std::string_view text(buffer, result.ptr - buffer);
    const auto e = text.find('e');
    std::string digits(text.substr(0, e));
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    const int k = int(digits.size());
    const int n = std::atoi(std::string(text.substr(e + 1)).c_str()) + 1;
    std::string s;
    if (k <= n && n <= 21) {
        s = digits + std::string(n - k, '0');
    } else if (0 < n && n <= 21) {
        s = digits.substr(0, n) + '.' + digits.substr(n);
    } else if (-6 < n && n <= 0) {
        s = "0." + std::string(-n, '0') + digits;
    } else {
        s = digits.substr(0, 1);
        if (k > 1)
            s += '.' + digits.substr(1);
        s += n - 1 >= 0 ? "e+" : "e-";
        s += std::to_string(std::abs(n - 1));
    }
    if (value < 0)
        out += u'-';
    out += QLatin1StringView(s.data(), qsizetype(s.size()));
}

void writeValue(QString &out, const QJsonValue &value);

void writeObject(QString &out, const QJsonObject &object, bool dropSignature)
{
    QStringList names = object.keys();
    if (dropSignature)
        names.removeAll(signatureMember);
    // QString's operator< compares UTF-16 code units, as Array.prototype.sort does.
    std::sort(names.begin(), names.end());
    out += u'{';
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (i > 0)
            out += u',';
        writeString(out, names.at(i));
        out += u':';
        writeValue(out, object.value(names.at(i)));
    }
    out += u'}';
}

void writeValue(QString &out, const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Bool:
        out += value.toBool() ? u"true" : u"false";
        return;
    case QJsonValue::Double:
        writeNumber(out, value.toDouble());
        return;
    case QJsonValue::String:
        writeString(out, value.toString());
        return;
    case QJsonValue::Object:
        writeObject(out, value.toObject(), false);
        return;
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        out += u'[';
        for (qsizetype i = 0; i < array.size(); ++i) {
            if (i > 0)
                out += u',';
            writeValue(out, array.at(i));
        }
        out += u']';
        return;
    }
    case QJsonValue::Null:
    case QJsonValue::Undefined:
        out += u"null";
        return;
    }
}

PKey publicKey(const QByteArray &spkiDer)
{
    const auto *p = reinterpret_cast<const unsigned char *>(spkiDer.constData());
    PKey key(d2i_PUBKEY(nullptr, &p, long(spkiDer.size())));
    if (!key || p != reinterpret_cast<const unsigned char *>(spkiDer.constData()) + spkiDer.size())
        return nullptr;
    char group[64] = {};
    if (!EVP_PKEY_is_a(key.get(), "EC")
        || !EVP_PKEY_get_group_name(key.get(), group, sizeof group, nullptr)
        || qstrcmp(group, "prime256v1") != 0)
        return nullptr;
    return key;
}

PKey privateKey(const QByteArray &pkcs8Der)
{
    const auto *p = reinterpret_cast<const unsigned char *>(pkcs8Der.constData());
    PKey key(d2i_AutoPrivateKey(nullptr, &p, long(pkcs8Der.size())));
    if (!key || !EVP_PKEY_is_a(key.get(), "EC"))
        return nullptr;
    return key;
}

QByteArray spkiOf(EVP_PKEY *key)
{
    unsigned char *der = nullptr;
    const int size = i2d_PUBKEY(key, &der);
    if (size <= 0)
        return {};
    QByteArray result(reinterpret_cast<const char *>(der), size);
    OPENSSL_free(der);
    return result;
}

} // namespace

QByteArray canonicalText(const QString &storeKey, const QJsonObject &record)
{
    QString json;
    writeObject(json, record, true);
    return "vorn-signed-record-1\n" + storeKey.toUtf8() + '\n' + json.toUtf8();
}

QString fingerprint(const QByteArray &spkiDer)
{
    const QByteArray hex = QCryptographicHash::hash(spkiDer, QCryptographicHash::Sha256)
                                   .left(fingerprintBytes)
                                   .toHex()
                                   .toUpper();
    QStringList groups;
    for (qsizetype i = 0; i < hex.size(); i += 4)
        groups.append(QString::fromLatin1(hex.mid(i, 4)));
    return groups.join(u'-');
}

std::optional<QString> normalizedFingerprint(const QString &typed)
{
    QString hex;
    for (const QChar c : typed) {
        if (c == u'-' || c == u' ')
            continue;
        const QChar upper = c.toUpper();
        if (!((upper >= u'0' && upper <= u'9') || (upper >= u'A' && upper <= u'F')))
            return std::nullopt;
        hex += upper;
    }
    if (hex.size() != 2 * fingerprintBytes)
        return std::nullopt;
    QStringList groups;
    for (qsizetype i = 0; i < hex.size(); i += 4)
        groups.append(hex.mid(i, 4));
    return groups.join(u'-');
}

QString offerKey(const QString &fingerprint)
{
    return QStringLiteral("pairingOffer.") + QString(fingerprint).remove(u'-');
}

std::optional<QByteArray> fromBase64(const QString &text)
{
    const QByteArray ascii = text.toLatin1();
    const auto decoded
            = QByteArray::fromBase64Encoding(ascii, QByteArray::AbortOnBase64DecodingErrors);
    // Qt tolerates missing padding and stray bits; one spelling per value is accepted here.
    if (!decoded || text.isEmpty() || decoded.decoded.toBase64() != ascii)
        return std::nullopt;
    return decoded.decoded;
}

bool verify(const QByteArray &spkiDer, const QByteArray &canonical, const QString &signatureBase64)
{
    const std::optional<QByteArray> raw = fromBase64(signatureBase64);
    const PKey key = publicKey(spkiDer);
    if (!raw || raw->size() != signatureSize || !key)
        return false;
    const auto *bytes = reinterpret_cast<const unsigned char *>(raw->constData());
    EcdsaSig sig(ECDSA_SIG_new());
    BIGNUM *r = BN_bin2bn(bytes, signatureSize / 2, nullptr);
    BIGNUM *s = BN_bin2bn(bytes + signatureSize / 2, signatureSize / 2, nullptr);
    if (!sig || !r || !s || !ECDSA_SIG_set0(sig.get(), r, s)) {
        BN_free(r);
        BN_free(s);
        return false;
    }
    unsigned char *der = nullptr;
    const int derSize = i2d_ECDSA_SIG(sig.get(), &der);
    if (derSize <= 0)
        return false;
    const MdContext context(EVP_MD_CTX_new());
    const bool valid = context
            && EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1
            && EVP_DigestVerify(context.get(), der, size_t(derSize),
                                reinterpret_cast<const unsigned char *>(canonical.constData()),
                                size_t(canonical.size()))
                    == 1;
    OPENSSL_free(der);
    return valid;
}

std::optional<QString> sign(const QByteArray &pkcs8Der, const QByteArray &canonical)
{
    const PKey key = privateKey(pkcs8Der);
    const MdContext context(EVP_MD_CTX_new());
    if (!key || !context
        || EVP_DigestSignInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1)
        return std::nullopt;
    const auto *data = reinterpret_cast<const unsigned char *>(canonical.constData());
    size_t size = 0;
    if (EVP_DigestSign(context.get(), nullptr, &size, data, size_t(canonical.size())) != 1)
        return std::nullopt;
    QByteArray der(qsizetype(size), '\0');
    auto *out = reinterpret_cast<unsigned char *>(der.data());
    if (EVP_DigestSign(context.get(), out, &size, data, size_t(canonical.size())) != 1)
        return std::nullopt;
    const auto *p = reinterpret_cast<const unsigned char *>(der.constData());
    const EcdsaSig sig(d2i_ECDSA_SIG(nullptr, &p, long(size)));
    if (!sig)
        return std::nullopt;
    QByteArray raw(signatureSize, '\0');
    auto *rs = reinterpret_cast<unsigned char *>(raw.data());
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), rs, signatureSize / 2) != signatureSize / 2
        || BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), rs + signatureSize / 2, signatureSize / 2)
                != signatureSize / 2)
        return std::nullopt;
    return QString::fromLatin1(raw.toBase64());
}

std::optional<KeyPair> generateKey()
{
    const PKey key(EVP_EC_gen("P-256"));
    if (!key)
        return std::nullopt;
    unsigned char *der = nullptr;
    const int size = i2d_PrivateKey(key.get(), &der);
    if (size <= 0)
        return std::nullopt;
    KeyPair pair{QByteArray(reinterpret_cast<const char *>(der), size), spkiOf(key.get())};
    OPENSSL_free(der);
    if (pair.spkiDer.isEmpty())
        return std::nullopt;
    return pair;
}

std::optional<QByteArray> publicKeyOf(const QByteArray &pkcs8Der)
{
    const PKey key = privateKey(pkcs8Der);
    if (!key)
        return std::nullopt;
    const QByteArray spki = spkiOf(key.get());
    if (spki.isEmpty())
        return std::nullopt;
    return spki;
}

std::optional<QJsonObject> signRecord(const QString &storeKey, QJsonObject record,
                                      const QByteArray &pkcs8Der)
{
    const std::optional<QByteArray> spki = publicKeyOf(pkcs8Der);
    if (!spki)
        return std::nullopt;
    record.insert(signedByMember, fingerprint(*spki));
    const std::optional<QString> signature = sign(pkcs8Der, canonicalText(storeKey, record));
    if (!signature)
        return std::nullopt;
    record.insert(signatureMember, *signature);
    return record;
}

std::optional<QString> verifiedSigner(const QString &storeKey, const QJsonObject &record,
                                      const QHash<QString, QByteArray> &spkiByFingerprint)
{
    const QJsonValue signedBy = record.value(signedByMember);
    const QJsonValue signature = record.value(signatureMember);
    if (!signedBy.isString() || !signature.isString())
        return std::nullopt;
    const auto key = spkiByFingerprint.constFind(signedBy.toString());
    if (key == spkiByFingerprint.constEnd()
        || !verify(*key, canonicalText(storeKey, record), signature.toString()))
        return std::nullopt;
    return key.key();
}

} // namespace RecordSignature
