#pragma once

#include "brokeraddress.h"
#include "localbroker.h"
#include "mqttconnection.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <unistd.h>

// A real mosquitto for one test, on free loopback ports in its own temporary folder, configured as
// `vorn-sync local-broker` configures it (persistence saved after every change: a restart keeps
// the retained values). Started in a process group of its own, killed whole when the helper goes.
class MosquittoBroker
{
public:
    // users: broker user → password, each confined to vorn/<user>/# by the ACL. With a
    // certificate folder, it serves TLS only, with server.crt and server.key from there.
    explicit MosquittoBroker(const QHash<QString, QByteArray> &users,
                             const QString &certificates = {})
    {
        // A port can still be taken between choosing it and mosquitto binding it (by an
        // outgoing connection, say): then it starts again on other ports.
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_port = freePort();
            m_webSocketPort = freePort();
            configure(users, certificates);
            if (start())
                return;
            kill();
        }
        qFatal("mosquitto did not start");
    }

    ~MosquittoBroker() { kill(); }

    int port() const { return m_port; }
    int webSocketPort() const { return m_webSocketPort; }
    QString folder() const { return m_dir.path(); }
    QString database() const { return m_dir.filePath(QStringLiteral("data/mosquitto.db")); }

    // How a client reaches this broker over plain MQTT.
    MqttConnection::Settings settings(const QString &clientId, const QString &user,
                                      const QByteArray &password) const
    {
        MqttConnection::Settings s;
        s.broker = *BrokerAddress::parse(QStringLiteral("mqtt://127.0.0.1:%1").arg(m_port));
        s.user = user;
        s.password = password;
        s.clientId = clientId;
        return s;
    }

    bool start()
    {
        m_process.setProgram(QStringLiteral("mosquitto"));
        m_process.setArguments(
                {QStringLiteral("-c"), m_dir.filePath(QStringLiteral("mosquitto.conf"))});
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setChildProcessModifier([] {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        });
        m_process.start();
        if (!m_process.waitForStarted())
            return false;
        // Ready once both listeners accept a connection.
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (listens(m_port) && listens(m_webSocketPort))
                return true;
            if (m_process.state() != QProcess::Running)
                return false;
            QThread::msleep(10);
        }
        return false;
    }

    // A crash: SIGKILL to the whole group.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(-pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

    static bool listens(int port)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), quint16(port));
        return socket.waitForConnected(200);
    }

    // A loopback port nobody listens on. The kernel may hand a port it has just given us to the
    // next test process that asks, so each port is also claimed with a lock file that this
    // process holds until it exits: no two test processes start brokers on one port, and a port
    // a test keeps closed stays closed.
    static int freePort()
    {
        const QString claims
                = QDir::temp().filePath(QStringLiteral("vorn-test-ports-%1").arg(::geteuid()));
        QDir().mkpath(claims);
        for (int attempt = 0; attempt < 100; ++attempt) {
            QTcpServer server;
            if (!server.listen(QHostAddress::LocalHost, 0))
                continue;
            const int port = server.serverPort();
            const QByteArray claim
                    = QFile::encodeName(claims + QLatin1Char('/') + QString::number(port));
            const int fd = ::open(claim.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
            if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0)
                return port; // the descriptor stays open: the claim lasts this process
            if (fd >= 0)
                ::close(fd);
        }
        qFatal("no free loopback port");
    }

private:
    // The configuration `vorn-sync local-broker` writes (its ACL, persistence and listeners) for
    // these ports and users, with TLS on both listeners when there are certificates.
    void configure(const QHash<QString, QByteArray> &users, const QString &certificates)
    {
        LocalBroker::Options options;
        options.folder = m_dir.path();
        options.user = users.cbegin().key();
        const passwd *login = ::getpwuid(::geteuid());
        options.runAsUser = login ? QString::fromLocal8Bit(login->pw_name) : QString();
        options.mqttPort = m_port;
        options.webSocketPort = m_webSocketPort;
        QString error;
        if (!LocalBroker(options).writeFiles(users.cbegin().value(), &error))
            qFatal("%s", qPrintable(error));
        QByteArray passwd;
        for (auto it = users.cbegin(); it != users.cend(); ++it)
            passwd += LocalBroker::passwordFileLine(it.key(), it.value(), "0123456789ab");
        write("passwd", passwd);
        if (certificates.isEmpty())
            return;
        const QByteArray tls = "certfile " + QFile::encodeName(certificates)
                + "/server.crt\nkeyfile " + QFile::encodeName(certificates) + "/server.key\n";
        QFile file(m_dir.filePath(QStringLiteral("mosquitto.conf")));
        file.open(QIODevice::ReadOnly);
        QByteArray config = file.readAll();
        config.replace(" 127.0.0.1\n", " 127.0.0.1\n" + tls)
                .replace("protocol websockets\n", "protocol websockets\n" + tls);
        write("mosquitto.conf", config);
    }

    void write(const char *name, const QByteArray &bytes) const
    {
        QFile file(m_dir.filePath(QString::fromUtf8(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", name);
    }

    QTemporaryDir m_dir;
    int m_port = 0;
    int m_webSocketPort = 0;
    QProcess m_process;
};
