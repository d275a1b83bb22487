#include "appidentityresolver_linux.h"
#include "applicationindex_linux.h"
#include "procreader_linux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The resolver over a proc root of our own making: every file a process shows in /proc is a
// plain file (or symlink) here, so each rule and their order can be tried in isolation.
class tst_AppIdentityResolver : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void unitName_data();
    void unitName();
    void cgroupFile_data();
    void cgroupFile();
    void flatpakInfo_data();
    void flatpakInfo();
    void environment_data();
    void environment();
    void parseStat_data();
    void parseStat();
    void parseStatus_data();
    void parseStatus();
    void resolvesProcess_data();
    void resolvesProcess();

private:
    QString bin(const QString &name) const { return m_dir.filePath(QStringLiteral("bin/") + name); }
    void writeEntry(const QString &id, const QString &exec);
    static void writeFile(const QString &path, const QByteArray &bytes);

    QTemporaryDir m_dir;
    QString m_shell;
};

void tst_AppIdentityResolver::writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

void tst_AppIdentityResolver::writeEntry(const QString &id, const QString &exec)
{
    writeFile(m_dir.filePath(QStringLiteral("applications/%1.desktop").arg(id)),
              "[Desktop Entry]\nType=Application\nName=" + id.toUtf8() + "\nExec=" + exec.toUtf8()
                      + "\n");
}

void tst_AppIdentityResolver::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const QString &program : {QStringLiteral("editor"), QStringLiteral("firefox-esr"),
                                   QStringLiteral("tool.sh"), QStringLiteral("unlisted")}) {
        writeFile(bin(program), "#!/bin/sh\nexit 0\n");
        QFile::setPermissions(bin(program), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    writeEntry(QStringLiteral("org.example.Editor"), bin(QStringLiteral("editor")) + " %F");
    writeEntry(QStringLiteral("firefox-esr"), bin(QStringLiteral("firefox-esr")) + " %u");
    writeEntry(QStringLiteral("org.example.Tool"), bin(QStringLiteral("tool.sh")));
    m_shell = QFileInfo(QStringLiteral("/bin/sh")).canonicalFilePath();
    QVERIFY(!m_shell.isEmpty());
}

void tst_AppIdentityResolver::unitName_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<QStringList>("installed");
    QTest::addColumn<QString>("expected");

    const QStringList none;
    QTest::newRow("gnome scope") << "app-gnome-org.gnome.Calculator-4567.scope" << none
                                 << "org.gnome.Calculator";
    QTest::newRow("escaped dash") << R"(app-gnome-firefox\x2desr-4567.scope)" << none
                                  << "firefox-esr";
    QTest::newRow("unescaped dash after launcher")
            << "app-gnome-firefox-esr-4567.scope" << none << "firefox-esr";
    QTest::newRow("no launcher, random hex")
            << "app-org.kde.dolphin-8f1c2a9b.scope" << none << "org.kde.dolphin";
    QTest::newRow("service with random")
            << "app-org.kde.dolphin@8f1c2a9b.service" << none << "org.kde.dolphin";
    QTest::newRow("service without random")
            << "app-org.kde.dolphin.service" << none << "org.kde.dolphin";
    QTest::newRow("autostart service")
            << R"(app-xdg\x2duser\x2ddirs@autostart.service)" << none << "xdg-user-dirs";
    QTest::newRow("service with launcher")
            << "app-gnome-org.gnome.Maps@1.service" << none << "org.gnome.Maps";
    QTest::newRow("flatpak") << "app-flatpak-org.mozilla.firefox-12345.scope" << none
                             << "org.mozilla.firefox";
    QTest::newRow("utf-8 escapes") << R"(app-kde-caf\xc3\xa9-1.scope)" << none << "café";
    QTest::newRow("ambiguous, nothing installed") << "app-firefox-esr-1234.scope" << none << "esr";
    QTest::newRow("ambiguous, whole name installed")
            << "app-firefox-esr-1234.scope" << QStringList{"firefox-esr"} << "firefox-esr";
    QTest::newRow("ambiguous, both installed")
            << "app-firefox-esr-1234.scope" << QStringList{"firefox-esr", "esr"} << "esr";
    QTest::newRow("snap") << "snap.firefox.firefox-2b4e3d7e-1c2f-4d3a-9e8b-0a1b2c3d4e5f.scope"
                          << none << "firefox_firefox";
    QTest::newRow("snap, dashes in names")
            << "snap.my-app.my-tool-2b4e3d7e-1c2f-4d3a-9e8b-0a1b2c3d4e5f.scope" << none
            << "my-app_my-tool";
    QTest::newRow("snap, older form") << "snap.code.code.a1b2c3.scope" << none << "code_code";
    QTest::newRow("slice") << "app-org.gnome.Terminal.slice" << none << "";
    QTest::newRow("random only") << "app-1234.scope" << none << "";
    QTest::newRow("session scope") << "session-2.scope" << none << "";
    QTest::newRow("user manager") << "user@1000.service" << none << "";
    QTest::newRow("app slice") << "app.slice" << none << "";
}

void tst_AppIdentityResolver::unitName()
{
    QFETCH(QString, unit);
    QFETCH(QStringList, installed);
    QFETCH(QString, expected);
    const auto isKnown = [&](const QString &id) {
        return installed.contains(id);
    };
    QCOMPARE(AppIdentityResolver::bundleIDFromUnitName(unit, isKnown), expected);
}

void tst_AppIdentityResolver::cgroupFile_data()
{
    QTest::addColumn<QByteArray>("cgroup");
    QTest::addColumn<QString>("expected");

    const QByteArray user = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
    QTest::newRow("unified") << "0::" + user + "app-gnome-org.gnome.Calculator-4567.scope\n"
                             << "org.gnome.Calculator";
    QTest::newRow("hybrid v1 and v2") << "12:pids:/user.slice\n1:name=systemd:" + user
                    + "app-org.kde.dolphin-ab12.scope\n0::/\n"
                                      << "org.kde.dolphin";
    QTest::newRow("sub-group of the scope")
            << "0::" + user + "app-gnome-org.gnome.Calculator-4567.scope/worker\n"
            << "org.gnome.Calculator";
    QTest::newRow("terminal child")
            << "0::" + user + "app-org.gnome.Terminal.slice/vte-spawn-0f1e.scope\n"
            << "";
    QTest::newRow("root") << QByteArray("0::/\n") << "";
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("malformed line") << QByteArray("app-gnome-x-1.scope\n") << "";
}

void tst_AppIdentityResolver::cgroupFile()
{
    QFETCH(QByteArray, cgroup);
    QFETCH(QString, expected);
    QCOMPARE(AppIdentityResolver::bundleIDFromCgroup(cgroup), expected);
}

void tst_AppIdentityResolver::flatpakInfo_data()
{
    QTest::addColumn<QByteArray>("info");
    QTest::addColumn<QString>("expected");
    QTest::newRow("application") << QByteArray("[Application]\nname=org.mozilla.firefox\n"
                                               "runtime=runtime/org.freedesktop.Platform\n")
                                 << "org.mozilla.firefox";
    QTest::newRow("runtime only") << QByteArray("[Runtime]\nruntime=org.gnome.Platform\n") << "";
    QTest::newRow("not a key file") << QByteArray("name=org.mozilla.firefox\n") << "";
    QTest::newRow("absent") << QByteArray() << "";
}

void tst_AppIdentityResolver::flatpakInfo()
{
    QFETCH(QByteArray, info);
    QFETCH(QString, expected);
    QCOMPARE(AppIdentityResolver::bundleIDFromFlatpakInfo(info), expected);
}

void tst_AppIdentityResolver::environment_data()
{
    QTest::addColumn<QByteArrayList>("variables");
    QTest::addColumn<QString>("expected");

    const QByteArray launched
            = "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.gnome.Maps.desktop";
    QTest::newRow("launched as this process")
            << QByteArrayList{"HOME=/home/u", launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"}
            << "org.gnome.Maps";
    QTest::newRow("inherited from the launched process")
            << QByteArrayList{launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=4241"} << "";
    QTest::newRow("launched without a PID") << QByteArrayList{launched} << "";
    QTest::newRow("launched file not a desktop entry")
            << QByteArrayList{"GIO_LAUNCHED_DESKTOP_FILE=/tmp/run.sh",
                              "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"}
            << "";
    QTest::newRow("bamf hint") << QByteArrayList{"BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/"
                                                 "applications/firefox_firefox.desktop"}
                               << "firefox_firefox";
    QTest::newRow("flatpak id") << QByteArrayList{"FLATPAK_ID=org.gnome.Builder"}
                                << "org.gnome.Builder";
    QTest::newRow("launched beats flatpak id")
            << QByteArrayList{"FLATPAK_ID=org.gnome.Builder", launched,
                              "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"}
            << "org.gnome.Maps";
    QTest::newRow("inherited launch falls through to flatpak id")
            << QByteArrayList{launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=7", "FLATPAK_ID=org.x.Y"}
            << "org.x.Y";
    QTest::newRow("name is a suffix of another")
            << QByteArrayList{"MY_FLATPAK_ID=org.x.Y", "XFLATPAK_ID=org.x.Z"} << "";
}

void tst_AppIdentityResolver::environment()
{
    QFETCH(QByteArrayList, variables);
    QFETCH(QString, expected);
    QCOMPARE(AppIdentityResolver::bundleIDFromEnvironment(variables.join('\0') + '\0', 4242),
             expected);
}

void tst_AppIdentityResolver::parseStat_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("parentPid");
    QTest::addColumn<quint64>("startTime");
    QTest::addColumn<bool>("kernelThread");
    QTest::addColumn<QByteArray>("name");

    const QByteArray tail = " 0 0 0 0 0 0 0 0 20 0 1 0 987654 1000 10 0 0 0 0\n";
    QTest::newRow("plain") << "1234 (editor) S 77 1234 1234 0 -1 4194304" + tail << true
                           << qint64(77) << quint64(987654) << false << QByteArray("editor");
    QTest::newRow("name with spaces and parentheses")
            << "1234 (a) b (c) R 9 1 1 0 -1 4194560" + tail << true << qint64(9) << quint64(987654)
            << false << QByteArray("a) b (c");
    QTest::newRow("kernel thread")
            << "2 (kthreadd) S 0 0 0 0 -1 2129984" + tail << true << qint64(0) << quint64(987654)
            << true << QByteArray("kthreadd");
    QTest::newRow("truncated") << QByteArray("1234 (editor) S 77 1234") << false << qint64(0)
                               << quint64(0) << false << QByteArray();
    QTest::newRow("no name") << QByteArray("1234 editor S 77") << false << qint64(0) << quint64(0)
                             << false << QByteArray();
}

void tst_AppIdentityResolver::parseStat()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    const auto stat = ProcReader::parseStat(text);
    QCOMPARE(stat.has_value(), valid);
    if (!valid)
        return;
    QTEST(stat->parentPid, "parentPid");
    QTEST(stat->startTime, "startTime");
    QTEST(stat->isKernelThread, "kernelThread");
    QTEST(stat->name, "name");
}

void tst_AppIdentityResolver::parseStatus_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("threadGroupID");
    QTest::addColumn<uint>("realUid");
    QTest::addColumn<uint>("effectiveUid");

    const QByteArray head = "Name:\tsleep\nUmask:\t0022\nState:\tS (sleeping)\n";
    QTest::newRow("process") << head
                    + "Tgid:\t812\nNgid:\t0\nPid:\t812\nPPid:\t1\n"
                      "Uid:\t1000\t1000\t1000\t1000\nNStgid:\t812\n"
                             << true << qint64(812) << 1000u << 1000u;
    QTest::newRow("thread") << head + "Tgid:\t812\nPid:\t815\nUid:\t1000\t1000\t1000\t1000\n"
                            << true << qint64(812) << 1000u << 1000u;
    QTest::newRow("setuid program") << head + "Tgid:\t9\nUid:\t1000\t0\t0\t0\n"
                                    << true << qint64(9) << 1000u << 0u;
    QTest::newRow("only a namespaced tgid") << head + "NStgid:\t9\nUid:\t1\t1\t1\t1\n"
                                            << false << qint64(0) << 0u << 0u;
    QTest::newRow("uid cut short") << head + "Tgid:\t9\nUid:\t1000\n"
                                   << false << qint64(0) << 0u << 0u;
    QTest::newRow("empty") << QByteArray() << false << qint64(0) << 0u << 0u;
}

void tst_AppIdentityResolver::parseStatus()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    const auto status = ProcReader::parseStatus(text);
    QCOMPARE(status.has_value(), valid);
    if (!valid)
        return;
    QTEST(status->threadGroupID, "threadGroupID");
    QTEST(status->realUid, "realUid");
    QTEST(status->effectiveUid, "effectiveUid");
}

void tst_AppIdentityResolver::resolvesProcess_data()
{
    QTest::addColumn<QByteArray>("cgroup");
    QTest::addColumn<QByteArray>("flatpakInfo");
    QTest::addColumn<QByteArrayList>("environment");
    QTest::addColumn<QString>("executable"); // a name in bin/, or an absolute path
    QTest::addColumn<QStringList>("commandLine");
    QTest::addColumn<QString>("expected");

    const QByteArray scope = "0::/user.slice/app-gnome-org.gnome.Calculator-99.scope\n";
    const QByteArray flatpak = "[Application]\nname=org.mozilla.firefox\n";
    const QByteArrayList launched{"GIO_LAUNCHED_DESKTOP_FILE=/x/org.gnome.Maps.desktop",
                                  "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"};
    const QByteArrayList plain{"PATH=/usr/bin"};
    const QByteArray noGroup = "0::/\n";

    QTest::newRow("cgroup first") << scope << flatpak << launched << "editor"
                                  << QStringList{"editor"} << "org.gnome.Calculator";
    QTest::newRow("then flatpak info") << noGroup << flatpak << launched << "editor"
                                       << QStringList{"editor"} << "org.mozilla.firefox";
    QTest::newRow("then the environment") << noGroup << QByteArray() << launched << "editor"
                                          << QStringList{"editor"} << "org.gnome.Maps";
    QTest::newRow("then the executable")
            << noGroup << QByteArray() << plain << "editor" << QStringList{"editor", "file.txt"}
            << "org.example.Editor";
    QTest::newRow("deleted executable") << noGroup << QByteArray() << plain << "editor (deleted)"
                                        << QStringList{"editor"} << "org.example.Editor";
    QTest::newRow("unlisted executable")
            << noGroup << QByteArray() << plain << "unlisted" << QStringList{"unlisted"} << "";
    QTest::newRow("interpreter running a listed script")
            << noGroup << QByteArray() << plain << m_shell << QStringList{"/bin/sh", "@tool.sh"}
            << "org.example.Tool";
    QTest::newRow("script relative to the working folder")
            << noGroup << QByteArray() << plain << m_shell
            << QStringList{"sh", "-e", "bin/tool.sh", "--flag"} << "org.example.Tool";
    QTest::newRow("sh -c naming the script is a command, not a script")
            << noGroup << QByteArray() << plain << m_shell << QStringList{"sh", "-c", "@tool.sh"}
            << "";
    QTest::newRow("listed program named as argument of a non-interpreter")
            << noGroup << QByteArray() << plain << "unlisted" << QStringList{"unlisted", "@editor"}
            << "";
    QTest::newRow("unescaped unit settled by the installed entries")
            << QByteArray("0::/app-firefox-esr-12.scope\n") << QByteArray() << plain << "unlisted"
            << QStringList{"unlisted"} << "firefox-esr";
    QTest::newRow("nothing readable")
            << QByteArray() << QByteArray() << QByteArrayList() << QString() << QStringList() << "";
}

void tst_AppIdentityResolver::resolvesProcess()
{
    QFETCH(QByteArray, cgroup);
    QFETCH(QByteArray, flatpakInfo);
    QFETCH(QByteArrayList, environment);
    QFETCH(QString, executable);
    QFETCH(QStringList, commandLine);
    QFETCH(QString, expected);

    QTemporaryDir proc;
    QVERIFY(proc.isValid());
    const QString process = proc.filePath(QStringLiteral("4242/"));
    QDir().mkpath(process);
    if (!cgroup.isEmpty())
        writeFile(process + "cgroup", cgroup);
    if (!flatpakInfo.isEmpty())
        writeFile(process + "root/.flatpak-info", flatpakInfo);
    if (!environment.isEmpty())
        writeFile(process + "environ", environment.join('\0') + '\0');
    if (!executable.isEmpty()) {
        const QString target = executable.startsWith('/') ? executable : bin(executable);
        QVERIFY(QFile::link(target, process + "exe"));
    }
    QByteArray arguments;
    for (const QString &argument : commandLine) {
        QString text = argument;
        text.replace(QLatin1Char('@'), bin(QString()));
        arguments += text.toLocal8Bit() + '\0';
    }
    writeFile(process + "cmdline", arguments);
    QVERIFY(QFile::link(m_dir.path(), process + "cwd"));

    const ApplicationIndex index({m_dir.filePath(QStringLiteral("applications"))});
    const ProcReader reader(proc.path());
    const AppIdentityResolver resolver(reader, &index);
    QCOMPARE(resolver.bundleID(4242), expected);
}

QTEST_GUILESS_MAIN(tst_AppIdentityResolver)
#include "tst_appidentityresolver.moc"
