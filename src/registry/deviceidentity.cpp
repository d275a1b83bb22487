#include "deviceidentity.h"

#include "keychain.h"

#include <QStringDecoder>
#include <QUuid>

DeviceIdentity::DeviceIdentity(Keychain *keychain)
    : m_keychain(keychain)
{
}

std::optional<QString> DeviceIdentity::loadStoredDeviceID() const
{
    const std::optional<QByteArray> bytes = m_keychain->find(service, account);
    if (!bytes)
        return std::nullopt;
    // Keep a leading byte-order mark: the identifier is whatever text the item holds.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless
                                   | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder(*bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

void DeviceIdentity::storeDeviceID(const QString &deviceID)
{
    m_keychain->remove(service, account);
    m_keychain->add(service, account, deviceID.toUtf8());
}

QString DeviceIdentity::currentDeviceID()
{
    QMutexLocker locker(&m_mutex);
    if (m_stored)
        return *m_stored;
    if (std::optional<QString> stored = loadStoredDeviceID()) {
        m_stored = stored;
        return *stored;
    }
    if (!m_madeThisRun)
        m_madeThisRun = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    // Stored again when the keychain lost it or refused it: it may take it this time.
    storeDeviceID(*m_madeThisRun);
    return *m_madeThisRun;
}
