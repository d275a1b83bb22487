#pragma once

#include "localbroker.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

// A real mosquitto for one test, on free loopback ports in its own temporary folder, with
// persistence saved after every change (a restart keeps the retained values). Started in a
// process group of its own, which is killed whole when the helper goes.
class MosquittoBroker
{
public:
    struct Tls
    {
        QString certFile;
        QString keyFile;
    };

    // users: broker user → password, each confined to vorn/<user>/# by the ACL.
    explicit MosquittoBroker(const QHash<QString, QByteArray> &users, std::optional<Tls> tls = {})
        : m_users(users)
        , m_tls(std::move(tls))
        , m_port(freePort())
        , m_webSocketPort(freePort())
    {
        QByteArray passwd;
        for (auto it = users.cbegin(); it != users.cend(); ++it)
            passwd += LocalBroker::passwordFileLine(it.key(), it.value(), "0123456789ab");
        write("passwd", passwd);
        write("acl", "pattern readwrite vorn/%u/#\n");
        QByteArray config = "allow_anonymous false\npassword_file " + path("passwd") + "\nacl_file "
                + path("acl") + "\npersistence true\npersistence_location " + path("")
                + "/\nautosave_on_changes true\nautosave_interval 1\n"
                + "set_tcp_nodelay true\nlog_dest stderr\nlog_type error\n";
        const QByteArray tlsFiles = m_tls ? "certfile " + QFile::encodeName(m_tls->certFile)
                        + "\nkeyfile " + QFile::encodeName(m_tls->keyFile) + "\n"
                                          : QByteArray();
        config += "listener " + QByteArray::number(m_port) + " 127.0.0.1\n" + tlsFiles;
        // A WebSockets listener binds every address unless given an interface name.
        config += "listener " + QByteArray::number(m_webSocketPort) + " lo\nprotocol websockets\n"
                + tlsFiles;
        if (::geteuid() == 0)
            config += "user root\n";
        write("mosquitto.conf", config);
        start();
    }

    ~MosquittoBroker() { kill(); }

    int port() const { return m_port; }
    int webSocketPort() const { return m_webSocketPort; }

    // In `folder`: a throw-away CA (ca.crt), another one (other.crt), and a certificate for
    // localhost signed by the first, for a broker serving TLS.
    static std::optional<Tls> makeTls(const QString &folder)
    {
        const QStringList key{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                              "-nodes"};
        for (const QString &name : {QStringLiteral("ca"), QStringLiteral("other")}) {
            if (!openssl(folder,
                         QStringList{"req", "-x509"} + key
                                 + QStringList{"-keyout", name + ".key", "-out", name + ".crt",
                                               "-subj", "/CN=Vorn test " + name, "-days", "2"}))
                return std::nullopt;
        }
        QFile san(folder + QStringLiteral("/san.cnf"));
        if (!san.open(QIODevice::WriteOnly) || san.write("subjectAltName=DNS:localhost\n") <= 0)
            return std::nullopt;
        san.close();
        if (!openssl(folder,
                     QStringList{"req"} + key
                             + QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj",
                                           "/CN=localhost"})
            || !openssl(folder,
                        {"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
                         "-CAcreateserial", "-out", "server.crt", "-days", "2", "-extfile",
                         "san.cnf"}))
            return std::nullopt;
        return Tls{folder + QStringLiteral("/server.crt"), folder + QStringLiteral("/server.key")};
    }
    QString folder() const { return m_dir.path(); }

    bool start()
    {
        m_process.setProgram(QStringLiteral("mosquitto"));
        m_process.setArguments({QStringLiteral("-c"), QString::fromUtf8(path("mosquitto.conf"))});
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
            QTcpSocket probe, webSocketProbe;
            probe.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_port));
            webSocketProbe.connectToHost(QStringLiteral("127.0.0.1"), quint16(m_webSocketPort));
            if (probe.waitForConnected(200) && webSocketProbe.waitForConnected(200))
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

    bool restart()
    {
        kill();
        return start();
    }

private:
    static bool openssl(const QString &folder, const QStringList &args)
    {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral("openssl"), args);
        if (!process.waitForFinished(30000) || process.exitCode() != 0) {
            qWarning("openssl %s: %s", qPrintable(args.join(QLatin1Char(' '))),
                     process.readAll().constData());
            return false;
        }
        return true;
    }
    static int freePort()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost, 0);
        return server.serverPort();
    }
    QByteArray path(const char *name) const { return QFile::encodeName(m_dir.filePath(name)); }
    void write(const char *name, const QByteArray &bytes) const
    {
        QFile file(m_dir.filePath(QString::fromUtf8(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", name);
    }

    QTemporaryDir m_dir;
    QHash<QString, QByteArray> m_users;
    std::optional<Tls> m_tls;
    int m_port = 0;
    int m_webSocketPort = 0;
    QProcess m_process;
};
