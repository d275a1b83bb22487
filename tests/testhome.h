#pragma once

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

// A throw-away HOME with the XDG folders pointed inside it. Set up before the first use of any
// platform service: the services read their locations from the environment once.
class TestHome
{
public:
    TestHome()
    {
        if (!m_dir.isValid())
            qFatal("cannot create a temporary HOME");
        qputenv("HOME", m_dir.path().toUtf8());
        qputenv("XDG_DATA_HOME", path(".local/share").toUtf8());
        qputenv("XDG_CONFIG_HOME", path(".config").toUtf8());
        qputenv("XDG_STATE_HOME", path(".local/state").toUtf8());
        qputenv("XDG_CACHE_HOME", path(".cache").toUtf8());
        qunsetenv("VORN_CLOUD_DIR");
        if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
            QDir().mkpath(path("runtime"));
            QFile::setPermissions(path("runtime"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
            qputenv("XDG_RUNTIME_DIR", path("runtime").toUtf8());
        }
    }

    QString path(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? m_dir.path() : m_dir.filePath(relative);
    }
    QString cloudFolder() const { return path(QStringLiteral(".local/share/vorn/cloud")); }
    QString defaultsFile() const { return path(QStringLiteral(".config/vorn/defaults.json")); }

    // Writes a file the way another program would (not through Vorn's own stores).
    static bool writeFile(const QString &filePath, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(filePath).path());
        QSaveFile file(filePath);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                && file.commit();
    }

    struct PhoneResult
    {
        int exitCode = -1; // -1: did not start, crashed or hung
        QByteArray out;
        QByteArray err;
    };

    // Runs vorn-phone as the user would, on `cloudDir` (this home's cloud folder when empty).
    PhoneResult runPhone(const QStringList &args, const QByteArray &input = {},
                         const QString &cloudDir = QString()) const
    {
        QProcess phone;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VORN_CLOUD_DIR", cloudDir.isEmpty() ? cloudFolder() : cloudDir);
        phone.setProcessEnvironment(env);
        phone.start(QStringLiteral(VORN_BINARY_DIR "/tools/vorn-phone"), args);
        if (!phone.waitForStarted())
            return {};
        phone.write(input);
        phone.closeWriteChannel();
        if (!phone.waitForFinished(10000) || phone.exitStatus() != QProcess::NormalExit)
            return {};
        return {phone.exitCode(), phone.readAllStandardOutput(), phone.readAllStandardError()};
    }

    static QByteArray readFile(const QString &filePath)
    {
        QFile file(filePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    QTemporaryDir m_dir;
};
