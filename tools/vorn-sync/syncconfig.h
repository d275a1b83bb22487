#pragma once

#include "brokeraddress.h"

#include <QString>

#include <optional>

// The bridge's configuration, $XDG_CONFIG_HOME/vorn/sync.conf: "name = value" lines for the broker
// URL ("broker"), the broker user ("user") and an optional CA file ("ca-file") that replaces the
// system's CA store for TLS. Lines starting with '#' are comments. The password is never here:
// it is kept in the Secret Service under service "com.zumbra.vorn.sync", account
// "<user>@<broker host>".
struct SyncConfig
{
    static inline const QString passwordService = QStringLiteral("com.zumbra.vorn.sync");

    BrokerAddress broker;
    QString user;
    QString caFile;

    // Why a name cannot be a broker user (it holds an MQTT wildcard, a '/' or a control
    // character, which its topics vorn/<user>/... cannot carry), or nothing.
    static QString userProblem(const QString &user);

    QString passwordAccount() const { return user + QLatin1Char('@') + broker.host; }

    static QString path();
    static inline const QByteArray tempPrefix = QByteArrayLiteral(".sync.conf-");
    // The configuration, or nothing with a one-line reason (missing file, bad line, bad URL).
    static std::optional<SyncConfig> load(const QString &path, QString *error);
    static std::optional<SyncConfig> fromText(const QByteArray &text, QString *error);
    QByteArray toText() const;
    // Written atomically with mode 0600; false when it could not be written.
    bool save(const QString &path) const;
};
