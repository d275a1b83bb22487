#include "appidentityresolver_linux.h"
#include "applicationindex_linux.h"
#include "procreader_linux.h"
#include "testhome.h"

// What the proc root shows of PID 4242; by default a plain start of bin/editor.
struct Process
{
    QByteArray cgroup = "0::/\n";
    QByteArray flatpakInfo = {};
    QByteArrayList environment{"PATH=/usr/bin"};
    QString executable = "editor"; // a name in bin/, or an absolute path
    QStringList commandLine{"editor"}; // @ stands for the bin folder
};
Q_DECLARE_METATYPE(Process)

// The resolver over a proc root of our own making, so each rule and their order can be tried alone.
class tst_AppIdentityResolver : public QObject
{
    Q_OBJECT

    TestHome m_home;

private Q_SLOTS:
    void initTestCase()
    {
        for (const auto &[program, id] : {std::pair{"editor", "org.example.Editor"},
                                          {"firefox-esr", "firefox-esr"},
                                          {"tool.sh", "org.example.Tool"},
                                          {"unlisted", ""}})
            m_home.installProgram(program, id, "exit 0\n");
    }

    void unitName_data()
    {
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<QString>("expected");

        const auto row = [](const char *name, const char *unit, const char *expected,
                            const QStringList &installed = {}) {
            QTest::newRow(name) << QString(unit) << installed << QString(expected);
        };
        row("escaped dash", R"(app-gnome-firefox\x2desr-4567.scope)", "firefox-esr");
        row("unescaped dash after launcher", "app-gnome-firefox-esr-4567.scope", "firefox-esr");
        row("no launcher, random hex", "app-org.kde.dolphin-8f1c2a9b.scope", "org.kde.dolphin");
        row("@service", R"(app-xdg\x2duser\x2ddirs@autostart.service)", "xdg-user-dirs");
        row("flatpak", "app-flatpak-org.mozilla.firefox-12345.scope", "org.mozilla.firefox");
        row("ambiguous, nothing installed", "app-firefox-esr-1234.scope", "esr");
        row("ambiguous, whole name installed", "app-firefox-esr-1234.scope", "firefox-esr",
            {"firefox-esr"});
        row("ambiguous, both installed", "app-firefox-esr-1234.scope", "esr",
            {"firefox-esr", "esr"});
        row("snap", "snap.my-app.my-tool-2b4e3d7e-1c2f-4d3a-9e8b-0a1b2c3d4e5f.scope",
            "my-app_my-tool");
        row("slice", "app-org.gnome.Terminal.slice", "");
        row("random only", "app-1234.scope", "");
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
        const QByteArray ours = "GIO_LAUNCHED_DESKTOP_FILE_PID=4242";
        const QByteArray bamf = "BAMF_DESKTOP_FILE_HINT=/var/lib/snapd/desktop/applications/"
                                "firefox_firefox.desktop";
        const std::tuple<const char *, QByteArrayList, QString> rows[] = {
                {"bamf hint", {bamf}, "firefox_firefox"},
                {"flatpak id", {flatpak}, "org.gnome.Builder"},
                {"launched beats flatpak id", {flatpak, launched, ours}, "org.gnome.Maps"},
                {"inherited, then flatpak id",
                 {launched, "GIO_LAUNCHED_DESKTOP_FILE_PID=4241", flatpak},
                 "org.gnome.Builder"},
                {"name is a suffix of another",
                 {"MY_FLATPAK_ID=org.x.Y", "XFLATPAK_ID=org.x.Z"},
                 ""},
        };
        for (const auto &[name, variables, expected] : rows)
            QTest::newRow(name) << variables << expected;
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
        QTest::addColumn<Process>("process");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const Process &process, const char *expected) {
            QTest::newRow(name) << process << QString(expected);
        };
        const QString shell = QFileInfo("/bin/sh").canonicalFilePath();
        const QByteArray scope = "0::/user.slice/app-gnome-org.gnome.Calculator-99.scope\n";
        const QByteArray flatpak = "[Application]\nname=org.mozilla.firefox\n";
        const QByteArrayList launched{"GIO_LAUNCHED_DESKTOP_FILE=/x/org.gnome.Maps.desktop",
                                      "GIO_LAUNCHED_DESKTOP_FILE_PID=4242"};

        row("cgroup first", {scope, flatpak, launched}, "org.gnome.Calculator");
        row("then flatpak info", {.flatpakInfo = flatpak, .environment = launched},
            "org.mozilla.firefox");
        row("then the environment", {.environment = launched}, "org.gnome.Maps");
        row("deleted executable", {.executable = "editor (deleted)"}, "org.example.Editor");
        row("interpreter running a listed script",
            {.executable = shell, .commandLine = {"/bin/sh", "@tool.sh"}}, "org.example.Tool");
        row("script relative to the working folder",
            {.executable = shell, .commandLine = {"sh", "-e", "bin/tool.sh", "--flag"}},
            "org.example.Tool");
        row("sh -c naming the script is a command, not a script",
            {.executable = shell, .commandLine = {"sh", "-c", "@tool.sh"}}, "");
        row("listed program named as argument of a non-interpreter",
            {.executable = "unlisted", .commandLine = {"unlisted", "@editor"}}, "");
        row("unescaped unit settled by the installed entries",
            {.cgroup = "0::/app-firefox-esr-12.scope\n", .executable = "unlisted"}, "firefox-esr");
        row("hybrid cgroup, sub-group of the scope",
            {.cgroup = "12:pids:/user.slice\n1:name=systemd:/user.slice/"
                       "app-org.kde.dolphin-ab12.scope/worker\n0::/\n"},
            "org.kde.dolphin");
        row("terminal child's cgroup names no application",
            {.cgroup = "0::/app.slice/app-org.gnome.Terminal.slice/vte-spawn-0f1e.scope\n"},
            "org.example.Editor");
        row("flatpak runtime only", {.flatpakInfo = "[Runtime]\nruntime=org.x\n"},
            "org.example.Editor");
        row("flatpak info not a key file", {.flatpakInfo = "name=org.mozilla.firefox\n"},
            "org.example.Editor");
        row("nothing readable", {"", "", {}, "", {}}, "");
    }

    void resolvesProcess()
    {
        QFETCH(Process, process);
        QTemporaryDir proc;
        QVERIFY(proc.isValid());
        const QString folder = proc.filePath("4242/");
        QDir().mkpath(folder);
        if (!process.cgroup.isEmpty())
            QVERIFY(TestHome::writeFile(folder + "cgroup", process.cgroup));
        if (!process.flatpakInfo.isEmpty())
            QVERIFY(TestHome::writeFile(folder + "root/.flatpak-info", process.flatpakInfo));
        if (!process.environment.isEmpty())
            QVERIFY(TestHome::writeFile(folder + "environ", process.environment.join('\0') + '\0'));
        if (!process.executable.isEmpty())
            QVERIFY(QFile::link(process.executable.startsWith('/') ? process.executable
                                                                   : m_home.bin(process.executable),
                                folder + "exe"));
        QByteArray arguments;
        for (QString argument : process.commandLine)
            arguments += argument.replace('@', m_home.bin()).toLocal8Bit() + '\0';
        QVERIFY(TestHome::writeFile(folder + "cmdline", arguments));
        QVERIFY(QFile::link(m_home.path(), folder + "cwd"));

        const ApplicationIndex index({m_home.path(".local/share/applications")});
        const ProcReader reader(proc.path());
        QTEST(AppIdentityResolver(reader, &index).bundleID(4242), "expected");
    }
};

QTEST_GUILESS_MAIN(tst_AppIdentityResolver)
#include "tst_appidentityresolver.moc"
