#include "brokeraddress.h"

#include <QUrl>

QString BrokerAddress::url() const
{
    const QString scheme = transport == Transport::Tcp
            ? (tls ? QStringLiteral("mqtts") : QStringLiteral("mqtt"))
            : (tls ? QStringLiteral("wss") : QStringLiteral("ws"));
    const QString shownHost
            = host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host;
    QString text = QStringLiteral("%1://%2:%3").arg(scheme, shownHost).arg(port);
    if (transport == Transport::WebSocket && path != QLatin1String("/"))
        text += path;
    return text;
}

std::optional<BrokerAddress> BrokerAddress::parse(const QString &text, QString *error)
{
    auto fail = [error](const QString &reason) -> std::optional<BrokerAddress> {
        if (error)
            *error = reason;
        return std::nullopt;
    };
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (text.trimmed().isEmpty())
        return fail(QStringLiteral("no broker URL given"));
    if (!url.isValid())
        return fail(QStringLiteral("'%1' is not a URL").arg(text));

    BrokerAddress address;
    const QString scheme = url.scheme().toLower();
    int defaultPort = 0;
    if (scheme == QLatin1String("mqtt")) {
        defaultPort = 1883;
    } else if (scheme == QLatin1String("mqtts")) {
        address.tls = true;
        defaultPort = 8883;
    } else if (scheme == QLatin1String("ws")) {
        address.transport = Transport::WebSocket;
        defaultPort = 80;
    } else if (scheme == QLatin1String("wss")) {
        address.transport = Transport::WebSocket;
        address.tls = true;
        defaultPort = 443;
    } else {
        return fail(QStringLiteral("'%1' does not start with mqtt://, mqtts://, ws:// or wss://")
                            .arg(text));
    }
    if (!url.userInfo().isEmpty())
        return fail(QStringLiteral("put the user in sync.conf or on the command line, not in the "
                                   "URL (the password belongs in the Secret Service)"));
    address.host = url.host();
    if (address.host.isEmpty())
        return fail(QStringLiteral("'%1' names no host").arg(text));
    address.port = url.port(defaultPort);
    if (address.port <= 0 || address.port > 65535)
        return fail(QStringLiteral("'%1' has no usable port").arg(text));
    if (url.hasQuery() || url.hasFragment())
        return fail(QStringLiteral("'%1' has a query or fragment, which a broker URL cannot use")
                            .arg(text));
    const QString path = url.path();
    if (address.transport == Transport::Tcp) {
        if (!path.isEmpty() && path != QLatin1String("/"))
            return fail(
                    QStringLiteral("'%1' has a path, which an mqtt:// URL cannot use").arg(text));
    } else {
        address.path = path.isEmpty() ? QStringLiteral("/") : path;
    }
    return address;
}
