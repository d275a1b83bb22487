#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// `vorn-sync local-broker`: a mosquitto for trying Vorn on one machine (or a home network with
// --lan), set up under $XDG_STATE_HOME/vorn/broker/ and run in the foreground.
//
// The configuration: one user named after the login with a random password (kept in the Secret
// Service for this computer's bridge and printed for the phone), the ACL
// `pattern readwrite vorn/%u/#`, persistence saved after every change (mosquitto's default saving
// loses a retained value acknowledged just before a crash), `set_tcp_nodelay true` (without it a
// retained message after SUBACK waits about 40 ms), queues large enough for every retained value,
// values up to 1 MiB, a plain MQTT listener and a WebSockets
// listener that also serves the phone page. Both listen on loopback only unless lan is set; a
// WebSockets listener binds every address unless it is given an interface name, hence
// `listener PORT lo`.
class LocalBroker
{
public:
    struct Options
    {
        QString folder; // the broker's folder
        QString user; // the broker user (the login name)
        QString runAsUser; // the `user` mosquitto runs as
        int mqttPort = 1884;
        int webSocketPort = 9001;
        bool lan = false;
        QString pageFolder; // empty: no page to serve yet
        // Both or neither: TLS for the WebSockets listener (and so the page over https).
        QString tlsCertificate;
        QString tlsKey;
    };

    explicit LocalBroker(Options options);

    // mosquitto.conf's text for these options.
    QByteArray configText() const;
    // A line of mosquitto's password file (PBKDF2-SHA512, mosquitto's "$7$" form).
    static QByteArray passwordFileLine(const QString &user, const QByteArray &password,
                                       const QByteArray &salt);
    // Writes mosquitto.conf, the password file and the ACL file; false with a reason in *error.
    bool writeFiles(const QByteArray &password, QString *error) const;
    QString configPath() const;

    // The host other devices use: 127.0.0.1, or this machine's first LAN address with lan.
    QString advertisedHost() const;
    // http://HOST:WSPORT/?broker=ws://HOST:WSPORT&user=USER (https and wss with TLS)
    QString pageAddress() const;
    // What --lan exposes without TLS, as lines to show before anything else; empty without lan.
    QString warning() const;
    bool hasTls() const { return !m_options.tlsCertificate.isEmpty(); }

    // The phone page folder to serve: the first that exists of $VORN_PHONE_PAGE_DIR,
    // <programDir>/phone and <programDir>/../share/vorn/phone; empty when none does.
    static QString findPageFolder(const QString &programDir);
    static QString defaultFolder();
    static inline const QByteArray tempPrefix = QByteArrayLiteral(".vorn-broker-");
    static QByteArray randomPassword();

    // Runs mosquitto in the foreground until SIGINT, SIGTERM or SIGHUP (then stops it) or until
    // it exits; `ready` is called once it accepts connections. The exit status for vorn-sync.
    int run(const std::function<void()> &ready) const;

private:
    Options m_options;
};
