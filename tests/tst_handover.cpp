#include "vornuitest.h"

using namespace VornUiTest;

// `vorn --background` and display-less starts as real processes, and the hand-over to a start with
// a display, on the X server that xvfb-run gives this test (DISPLAY).
class tst_HandOver : public QObject
{
    Q_OBJECT

    QProcess &startVorn(bool withDisplay, const QStringList &arguments = {})
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"})
            env.remove(QString::fromLatin1(name));
        if (withDisplay)
            env.insert(QStringLiteral("DISPLAY"), m_display);
        return m_processes.startVorn(arguments, env);
    }

    static auto ask(const QByteArray &request) { return VornProcesses::ask(request); }

    TestHome m_home;
    VornProcesses m_processes;
    QString m_display;

private Q_SLOTS:
    void initTestCase()
    {
        m_display = qEnvironmentVariable("DISPLAY");
        if (m_display.isEmpty())
            QSKIP("needs an X server: run under xvfb-run -a");
    }

    void cleanup()
    {
        m_processes.killAll();
        QFile::remove(m_home.defaultsFile());
    }

    void handOverKeepsEnforcing_data()
    {
        QTest::addColumn<bool>("runningHasDisplay");
        QTest::newRow("from a start without a display") << false;
        QTest::newRow("from --background on the display") << true;
    }

    // The start from the launcher ends up running, with its window on the display; the window-less
    // one lets go and ends cleanly.
    void handOverKeepsEnforcing()
    {
        QFETCH(bool, runningHasDisplay);
        const QString program = m_home.blockOnStart(true);
        QProcess &background = startVorn(runningHasDisplay, {"--background"});
        QCOMPARE(ask("status"), QByteArray("windows 0"));

        // Blocked applications started before, during and after the hand-over are all closed: by
        // the one that still holds the session, or by the successor's pass when it takes over.
        QList<QProcess *> blocked{&m_processes.launch(program)};
        QProcess &windowed = startVorn(true);
        while (background.state() == QProcess::Running && blocked.size() < 200) {
            blocked.append(&m_processes.launch(program));
            QTest::qWait(20);
        }
        QVERIFY(background.state() == QProcess::NotRunning || background.waitForFinished(20000));
        QCOMPARE(background.exitStatus(), QProcess::NormalExit);
        QCOMPARE(background.exitCode(), 0);
        // --background asks for no word about running in the background.
        QVERIFY(!background.readAllStandardError().contains("running in the background"));
        QCOMPARE(ask("status"), QByteArray("windows 1"));
        blocked.append(&m_processes.launch(program));

        for (QProcess *process : std::as_const(blocked)) {
            expectClosed(*process);
            if (QTest::currentTestFailed())
                return;
        }
        // From now on starts reopen that window, as usual.
        QCOMPARE(ask("close"), QByteArray("ok 0"));
        QProcess &again = startVorn(true);
        QVERIFY(again.waitForFinished(15000));
        QCOMPARE(again.exitCode(), 0);
        QCOMPARE(ask("status"), QByteArray("windows 1"));
        QCOMPARE(windowed.state(), QProcess::Running);
    }

    void displayLessStartsLeaveTheRunningVornAlone_data()
    {
        QTest::addColumn<bool>("runningHasDisplay");
        QTest::addColumn<QStringList>("runningArguments");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("said");

        const QStringList background{"--background"};
        QTest::newRow("--background while one runs with --background, without a display")
                << false << background << background << QByteArray();
        QTest::newRow("--background while one shows a window")
                << true << QStringList() << background << QByteArray();
        QTest::newRow("no display, while one runs without a display")
                << false << QStringList() << QStringList()
                << QByteArray("vorn: Vorn is already running\n");
    }

    void displayLessStartsLeaveTheRunningVornAlone()
    {
        QFETCH(bool, runningHasDisplay);
        QFETCH(QStringList, runningArguments);
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, said);

        QProcess &running = startVorn(runningHasDisplay, runningArguments);
        const QByteArray windows = runningHasDisplay ? "windows 1" : "windows 0";
        QCOMPARE(ask("status"), windows);

        QProcess &next = startVorn(false, arguments);
        QVERIFY(next.waitForFinished(15000));
        QCOMPARE(next.exitCode(), 0);
        QCOMPARE(next.readAllStandardError(), said);
        QCOMPARE(running.state(), QProcess::Running);
        QCOMPARE(ask("status"), windows);

        // SIGTERM ends it cleanly. Started without a display and without --background, it said in
        // one line that it runs in the background and how to stop it.
        const qint64 pid = running.processId();
        running.terminate();
        QVERIFY(running.waitForFinished(10000));
        QCOMPARE(running.exitCode(), 0);
        const QByteArray told = running.readAllStandardError();
        const bool saysSo = !runningHasDisplay && runningArguments.isEmpty();
        QCOMPARE(told.contains("running in the background"), saysSo);
        if (saysSo) {
            QCOMPARE(told.count('\n'), 1);
            QVERIFY2(told.contains("kill " + QByteArray::number(pid)), told);
        }
    }
};

QTEST_GUILESS_MAIN(tst_HandOver)
#include "tst_handover.moc"
