#pragma once

#include <QString>

#include <optional>

// Where the broker listens, as written in sync.conf or on the command line:
// mqtt://host[:port] (1883), mqtts://host[:port] (8883), ws://host[:port][/path] (80) or
// wss://host[:port][/path] (443). IPv6 literals are written in brackets.
struct BrokerAddress
{
    enum class Transport { Tcp, WebSocket };

    Transport transport = Transport::Tcp;
    bool tls = false;
    QString host;
    int port = 0;
    QString path; // WebSocket only; "/" when none was given

    // The URL in its canonical form, e.g. "mqtts://broker.example:8883".
    QString url() const;

    // The address, or nothing with a one-line reason in *error.
    static std::optional<BrokerAddress> parse(const QString &url, QString *error = nullptr);
};
