#pragma once

#include "programcontent.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QSaveFile>
#include <QString>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

// A throw-away HOME with every XDG folder inside it: its own data, config, state and cache
// folders, a private runtime folder, and XDG_DATA_DIRS pointing at an empty folder so that only the
// applications a test installs count. Set up before the first platform service is created: the
// services read their locations from the environment when they are made.
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
        QDir().mkpath(path("no-data-dirs"));
        qputenv("XDG_DATA_DIRS", path("no-data-dirs").toUtf8());
        QDir().mkpath(path(".local/share/applications"));
        QDir().mkpath(path("runtime"));
        QFile::setPermissions(path("runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", path("runtime").toUtf8());
        qunsetenv("VORN_CLOUD_DIR");
    }

    QString path(const QString &relative = QString()) const
    {
        return relative.isEmpty() ? m_dir.path() : m_dir.filePath(relative);
    }
    QString cloudFolder() const { return path(QStringLiteral(".local/share/vorn/cloud")); }
    QString defaultsFile() const { return path(QStringLiteral(".config/vorn/defaults.json")); }
    QString bin(const QString &program = QString()) const { return path("bin/" + program); }

    // Installs a desktop entry <id>.desktop (no Icon= line when icon is empty); returns its path.
    QString addApplication(const QString &id, const QString &name, const QString &icon = {},
                           const QString &exec = QStringLiteral("/bin/true")) const
    {
        const QString entry = path(".local/share/applications/" + id + ".desktop");
        writeFile(entry,
                  QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\nExec=%2 %U\n%3")
                          .arg(name, exec, icon.isEmpty() ? QString() : "Icon=" + icon + '\n')
                          .toUtf8());
        return entry;
    }

    // Installs a program bin/<name> for tests to run: a copy of sleep(1), or a shell script with
    // the given body; with a bundle identifier, also the desktop entry that names it.
    void installProgram(const QString &name, const QString &bundleID = QString(),
                        const QByteArray &script = QByteArray()) const
    {
        QVERIFY(writeFile(bin(name), script.isEmpty() ? sleepOfItsOwn() : "#!/bin/sh\n" + script));
        QVERIFY(QFile::setPermissions(bin(name),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        if (!bundleID.isEmpty())
            addApplication(bundleID, name, {}, bin(name));
    }

    // sleep(1) with a build-id of this HOME's own: all tests run as one user, and another suite's
    // blocking takes a program with the build-id of one of its blocked programs for a copy of it.
    QByteArray sleepOfItsOwn() const
    {
        QByteArray bytes = readFile(QStringLiteral("/bin/sleep"));
        const QByteArray id
                = ProgramContent::elfBuildId([&bytes](char *to, qint64 size, qint64 offset) {
                      const QByteArray part = bytes.mid(offset, size);
                      std::memcpy(to, part.constData(), size_t(part.size()));
                      return qint64(part.size());
                  });
        const qsizetype found = bytes.indexOf(id);
        if (!id.isEmpty() && found >= 0)
            bytes.replace(found, id.size(),
                          QCryptographicHash::hash(path().toUtf8(), QCryptographicHash::Sha512)
                                  .left(id.size()));
        return bytes;
    }

    // bin/blocked-app, the program of org.example.Blocked, and stored defaults that list it, with
    // blocking on or off; returns the program.
    QString blockOnStart(bool isBlocking) const
    {
        if (!QFile::exists(bin("blocked-app")))
            installProgram("blocked-app", "org.example.Blocked");
        writeFile(defaultsFile(),
                  QByteArray(R"({"isBlocking": )") + (isBlocking ? "true" : "false")
                          + R"(, "blockedBundleIDs": ["org.example.Blocked"]})");
        return bin("blocked-app");
    }

    // The stored block list, sorted; {"<not an array>"} when the key is absent or not an array.
    QStringList storedBlockList() const
    {
        const QJsonValue ids = QJsonDocument::fromJson(readFile(defaultsFile()))
                                       .object()
                                       .value(QLatin1String("blockedBundleIDs"));
        if (!ids.isArray())
            return {QStringLiteral("<not an array>")};
        QStringList sorted = ids.toVariant().toStringList();
        sorted.sort();
        return sorted;
    }

    // Writes a file the way another program would (not through Vorn's own stores).
    static bool writeFile(const QString &filePath, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(filePath).path());
        QSaveFile file(filePath);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size()
                && file.commit();
    }

    struct ProgramResult
    {
        int exitCode = -1; // -1: did not start, crashed or hung
        QByteArray out;
        QByteArray err;
    };

    // Runs a program as the user would, to its end.
    static ProgramResult
    run(const QString &program, const QStringList &args, const QByteArray &input = {},
        const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(program, args);
        if (!process.waitForStarted())
            return {};
        process.write(input);
        process.closeWriteChannel();
        if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), process.readAllStandardOutput(),
                process.readAllStandardError()};
    }

    // Runs vorn-phone on `cloudDir` (this home's cloud folder when empty).
    ProgramResult runPhone(const QStringList &args, const QByteArray &input = {},
                           const QString &cloudDir = QString()) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("VORN_CLOUD_DIR", cloudDir.isEmpty() ? cloudFolder() : cloudDir);
        return run(QStringLiteral(VORN_BINARY_DIR "/tools/vorn-phone"), args, input, env);
    }

    static QByteArray readFile(const QString &filePath)
    {
        QFile file(filePath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // The permission bits of what stands at the path (0 when nothing does).
    static uint mode(const QString &path)
    {
        struct stat info = {};
        return ::stat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
    }

    // What a store moved aside in the folder in place of its file `name`.
    static QStringList movedAside(const QString &folder, const QString &name)
    {
        return QDir(folder).entryList({'.' + name + ".moved-aside-*"},
                                      QDir::AllEntries | QDir::Hidden | QDir::System);
    }

    // The PID of a process that has just ended.
    static qint64 gonePid()
    {
        QProcess gone;
        gone.start(QStringLiteral("/bin/true"));
        const qint64 pid = gone.waitForStarted() ? gone.processId() : -1;
        gone.waitForFinished();
        return pid;
    }

private:
    QTemporaryDir m_dir;
};
