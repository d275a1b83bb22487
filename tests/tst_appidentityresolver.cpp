#include "appidentityresolver_linux.h"
#include "applicationindex_linux.h"
#include "procreader_linux.h"
#include "testhome.h"

// The resolver over a proc root of our own making, so each rule and their order can be tried alone.
class tst_AppIdentityResolver : public QObject
{
    Q_OBJECT

    TestHome m_home;
    QString m_shell;

    QString bin(const QString &name) const { return m_home.bin(name); }

private Q_SLOTS:
    void initTestCase()
    {
        for (const auto &[program, id] : {std::pair{"editor", "org.example.Editor"},
                                          {"firefox-esr", "firefox-esr"},
                                          {"tool.sh", "org.example.Tool"},
                                          {"unlisted", ""}})
            m_home.installProgram(program, id, "exit 0\n");
        m_shell = QFileInfo("/bin/sh").canonicalFilePath();
        QVERIFY(!m_shell.isEmpty());
    }

    void unitName_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("expected");

        const QStringList none;
        QTest::newRow("launcher prefix")
                << "app-gnome-org.gnome.Calculator-4567.scope" << none << "org.gnome.Calculator";
        QTest::newRow("escaped dash")
                << R"(app-gnome-firefox\x2desr-4567.scope)" << none << "firefox-esr";
        QTest::newRow("unescaped dash after launcher")
                << "app-gnome-firefox-esr-4567.scope" << none << "firefox-esr";
        QTest::newRow("no launcher, random hex")
                << "app-org.kde.dolphin-8f1c2a9b.scope" << none << "org.kde.dolphin";
        QTest::newRow("@service") << R"(app-xdg\x2duser\x2ddirs@autostart.service)" << none
                                  << "xdg-user-dirs";
        QTest::newRow("flatpak") << "app-flatpak-org.mozilla.firefox-12345.scope" << none
                                 << "org.mozilla.firefox";
        QTest::newRow("ambiguous, nothing installed")
                << "app-firefox-esr-1234.scope" << none << "esr";
        QTest::newRow("ambiguous, whole name installed")
                << "app-firefox-esr-1234.scope" << QStringList{"firefox-esr"} << "firefox-esr";
        QTest::newRow("ambiguous, both installed")
                << "app-firefox-esr-1234.scope" << QStringList{"firefox-esr", "esr"} << "esr";
        QTest::newRow("snap") << "snap.my-app.my-tool-2b4e3d7e-1c2f-4d3a-9e8b-0a1b2c3d4e5f.scope"
                              << none << "my-app_my-tool";
        QTest::newRow("slice") << "app-org.gnome.Terminal.slice" << none << "";
        QTest::newRow("random only") << "app-1234.scope" << none << "";
    }

    void unitName()
    {
        QFETCH(QString, unit);
        QFETCH(QStringList, installed);
        const auto isKnown = [&](const QString &id) {
            return installed.contains(id);
        };
        QTEST(AppIdentityResolver::bundleIDFromUnitName(unit, isKnown), "expected");
    }

    void environment_data()
    {
        QTest::addColumn<QByteArrayList>("variables");
        QTest::addColumn<QString>("expected");

        const QByteArray launched
                = "GIO_LAUNCHED_DESKTOP_FILE=/usr/share/applications/org.gnome.Maps.desktop";
        const QByteArray flatpak = "FLATPAK_ID=org.gnome.Builder";
        QTest::newRow("launched as this process")
                << QByteArrayList{"HOME=/home/u", launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"}
                << "org.gnome.Maps";
        QTest::newRow("inherited from the launched process")
                << QByteArrayList{launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=4241"} << "";
        QTest::newRow("bamf hint")
                << QByteArrayList{"BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/"
                                  "applications/firefox_firefox.desktop"}
                << "firefox_firefox";
        QTest::newRow("flatpak id") << QByteArrayList{flatpak} << "org.gnome.Builder";
        QTest::newRow("launched beats flatpak id")
                << QByteArrayList{flatpak, launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"}
                << "org.gnome.Maps";
        QTest::newRow("inherited launch falls through to flatpak id")
                << QByteArrayList{launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=7", flatpak}
                << "org.gnome.Builder";
        QTest::newRow("name is a suffix of another")
                << QByteArrayList{"MY_FLATPAK_ID=org.x.Y", "XFLATPAK_ID=org.x.Z"} << "";
    }

    void environment()
    {
        QFETCH(QByteArrayList, variables);
        QTEST(AppIdentityResolver::bundleIDFromEnvironment(variables.join('\0') + '\0', 4242),
              "expected");
    }

    void parseProcFiles()
    {
        const auto stat
                = ProcReader::parseStat("1234 (a) b (c) R 9 1 1 0 -1 4194560 0 0 0 0 0 0 0 0 "
                                        "20 0 1 0 987654 1000 10 0 0 0 0\n");
        QVERIFY(stat.has_value());
        QCOMPARE(stat->name, QByteArray("a) b (c"));
        QCOMPARE(stat->parentPid, 9);
        QCOMPARE(stat->startTime, 987654u);
        QVERIFY(!ProcReader::parseStat("1234 (editor) S 77 1234").has_value());

        // A thread of a setuid program: the thread group and the real user are what count.
        const auto status = ProcReader::parseStatus("Name:\tsleep\nTgid:\t812\nPid:\t815\n"
                                                    "Uid:\t1000\t0\t0\t0\n");
        QVERIFY(status.has_value());
        QCOMPARE(status->threadGroupID, 812);
        QCOMPARE(status->realUid, 1000u);
        QCOMPARE(status->effectiveUid, 0u);
        QVERIFY(!ProcReader::parseStatus("NStgid:\t9\nUid:\t1\t1\t1\t1\n").has_value());
        QVERIFY(!ProcReader::parseStatus("Tgid:\t9\nUid:\t1000\n").has_value());
    }

    void resolvesProcess_data()
    {
        QTest::addColumn<QByteArray>("cgroup");
        QTest::addColumn<QByteArray>("flatpakInfo");
        QTest::addColumn<QByteArrayList>("environment");
        QTest::addColumn<QString>("executable"); // a name in bin/, or an absolute path
        QTest::addColumn<QStringList>("commandLine"); // @ stands for the bin folder
        QTest::addColumn<QString>("expected");

        const QByteArray scope = "0::/user.slice/app-gnome-org.gnome.Calculator-99.scope\n";
        const QByteArray flatpak = "[Application]\nname=org.mozilla.firefox\n";
        const QByteArrayList launched{"GIO_LAUNCHED_DESKTOP_FILE=/x/org.gnome.Maps.desktop",
                                      "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"};
        const QByteArrayList plain{"PATH=/usr/bin"};
        const QByteArray noGroup = "0::/\n", none;
        const QStringList editor{"editor"};

        QTest::newRow("cgroup first")
                << scope << flatpak << launched << "editor" << editor << "org.gnome.Calculator";
        QTest::newRow("then flatpak info")
                << noGroup << flatpak << launched << "editor" << editor << "org.mozilla.firefox";
        QTest::newRow("then the environment")
                << noGroup << none << launched << "editor" << editor << "org.gnome.Maps";
        QTest::newRow("then the executable")
                << noGroup << none << plain << "editor" << QStringList{"editor", "file.txt"}
                << "org.example.Editor";
        QTest::newRow("deleted executable")
                << noGroup << none << plain << "editor (deleted)" << editor << "org.example.Editor";
        QTest::newRow("interpreter running a listed script")
                << noGroup << none << plain << m_shell << QStringList{"/bin/sh", "@tool.sh"}
                << "org.example.Tool";
        QTest::newRow("script relative to the working folder")
                << noGroup << none << plain << m_shell
                << QStringList{"sh", "-e", "bin/tool.sh", "--flag"} << "org.example.Tool";
        QTest::newRow("sh -c naming the script is a command, not a script")
                << noGroup << none << plain << m_shell << QStringList{"sh", "-c", "@tool.sh"} << "";
        QTest::newRow("listed program named as argument of a non-interpreter")
                << noGroup << none << plain << "unlisted" << QStringList{"unlisted", "@editor"}
                << "";
        QTest::newRow("unescaped unit settled by the installed entries")
                << QByteArray("0::/app-firefox-esr-12.scope\n") << none << plain << "unlisted"
                << QStringList{"unlisted"} << "firefox-esr";
        QTest::newRow("hybrid cgroup, sub-group of the scope")
                << QByteArray("12:pids:/user.slice\n1:name=systemd:/user.slice/"
                              "app-org.kde.dolphin-ab12.scope/worker\n0::/\n")
                << none << plain << "editor" << editor << "org.kde.dolphin";
        QTest::newRow("terminal child's cgroup names no application")
                << QByteArray("0::/app.slice/app-org.gnome.Terminal.slice/vte-spawn-0f1e.scope\n")
                << none << plain << "editor" << editor << "org.example.Editor";
        QTest::newRow("flatpak runtime only")
                << noGroup << QByteArray("[Runtime]\nruntime=org.x\n") << plain << "editor"
                << editor << "org.example.Editor";
        QTest::newRow("flatpak info not a key file")
                << noGroup << QByteArray("name=org.mozilla.firefox\n") << plain << "editor"
                << editor << "org.example.Editor";
        QTest::newRow("nothing readable")
                << none << none << QByteArrayList() << QString() << QStringList() << "";
    }

    void resolvesProcess()
    {
        QFETCH(QByteArray, cgroup);
        QFETCH(QByteArray, flatpakInfo);
        QFETCH(QByteArrayList, environment);
        QFETCH(QString, executable);
        QFETCH(QStringList, commandLine);

        QTemporaryDir proc;
        QVERIFY(proc.isValid());
        const QString process = proc.filePath(QStringLiteral("4242/"));
        QDir().mkpath(process);
        if (!cgroup.isEmpty())
            QVERIFY(TestHome::writeFile(process + "cgroup", cgroup));
        if (!flatpakInfo.isEmpty())
            QVERIFY(TestHome::writeFile(process + "root/.flatpak-info", flatpakInfo));
        if (!environment.isEmpty())
            QVERIFY(TestHome::writeFile(process + "environ", environment.join('\0') + '\0'));
        if (!executable.isEmpty())
            QVERIFY(QFile::link(executable.startsWith('/') ? executable : bin(executable),
                                process + "exe"));
        QByteArray arguments;
        for (QString argument : commandLine)
            arguments += argument.replace(QLatin1Char('@'), bin(QString())).toLocal8Bit() + '\0';
        QVERIFY(TestHome::writeFile(process + "cmdline", arguments));
        QVERIFY(QFile::link(m_home.path(), process + "cwd"));

        const ApplicationIndex index({m_home.path(".local/share/applications")});
        const ProcReader reader(proc.path());
        QTEST(AppIdentityResolver(reader, &index).bundleID(4242), "expected");
    }
};

QTEST_GUILESS_MAIN(tst_AppIdentityResolver)
#include "tst_appidentityresolver.moc"
