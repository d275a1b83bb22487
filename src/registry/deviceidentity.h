#pragma once

#include <QMutex>
#include <QString>

#include <optional>

class Keychain;

// This computer's device identifier: the text of a random UUID, made once and kept in the
// keychain item (service "com.zumbra.vorn.syncDeviceIdentity", account "syncDeviceId").
//
// currentDeviceID() is serialised, so two first calls on different threads agree on one
// identifier, and it remembers the identifier it made in this run: while the keychain refuses
// writes, every call in the run still yields that one identifier. Once the keychain has given the
// identifier, later calls answer from memory: each read of the keychain is a round trip to the
// Secret Service, and a change of the blocking state must not wait for one.
class DeviceIdentity
{
public:
    static inline const QString service = QStringLiteral("com.zumbra.vorn.syncDeviceIdentity");
    static inline const QString account = QStringLiteral("syncDeviceId");

    explicit DeviceIdentity(Keychain *keychain);

    // The stored identifier; nothing when there is no item or its bytes are not valid UTF-8.
    std::optional<QString> loadStoredDeviceID() const;
    // Replaces the item (delete, then add). Reports nothing.
    void storeDeviceID(const QString &deviceID);
    // The stored identifier, or a new upper-case UUID text that is stored first. Never fails.
    QString currentDeviceID();

private:
    Keychain *m_keychain = nullptr;
    QMutex m_mutex;
    std::optional<QString> m_madeThisRun;
    std::optional<QString> m_stored; // as the keychain gave it
};
