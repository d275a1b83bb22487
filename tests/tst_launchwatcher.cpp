#include "applicationindex_linux.h"
#include "identitytracker_linux.h"
#include "launchwatcher_linux.h"
#include "learnedprograms_linux.h"
#include "procreader_linux.h"
#include "scriptbells_linux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <unistd.h>

// One process as a fake /proc shows it. Words are its arguments, with these meanings besides:
// NAME=VALUE is in its environment, other-user makes it another user's, kernel a kernel thread.
struct FakeProcess
{
    qint64 parent = 1;
    quint64 startTime = 0; // clock ticks since boot
    QString executable = "/bin/sleep";
    QStringList words = {};
};

// The watcher's logic over a fake /proc: a folder of the files it reads, written by the test.
class tst_LaunchWatcher : public QObject
{
    Q_OBJECT

    // In memory where it can be: the line below is 50,000 files.
    QTemporaryDir m_root{QDir("/dev/shm").exists()
                                 ? "/dev/shm/tst_launchwatcher-XXXXXX"
                                 : QDir::tempPath() + "/tst_launchwatcher-XXXXXX"};
    QString path(const QString &relative) const { return m_root.filePath(relative); }
    void write(const QString &relative, const QByteArray &contents) const
    {
        QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
    }
    void setLastPid(qint64 pid) const
    {
        write("proc/loadavg", "0.00 0.00 0.00 1/1 " + QByteArray::number(pid) + '\n');
    }
    // The files of /proc/PID under the folder proc, as the process shows now.
    void writeProcess(const QString &proc, qint64 pid, const FakeProcess &process) const
    {
        const QString dir = proc + '/' + QString::number(pid) + '/';
        const QByteArray name = QFileInfo(process.executable).fileName().toUtf8();
        const QByteArray uid
                = QByteArray::number(::getuid() + process.words.contains("other-user"));
        write(dir + "stat",
              QByteArray::number(pid) + " (" + name + ") S " + QByteArray::number(process.parent)
                      + " 1 1 0 -1 " + (process.words.contains("kernel") ? "2097152" : "0")
                      + " 0 0 0 0 0 0 0 0 20 0 1 0 " + QByteArray::number(process.startTime)
                      + " 0 0\n");
        write(dir + "status",
              "Tgid:\t" + QByteArray::number(pid) + "\nUid:\t" + uid + '\t' + uid + '\n');
        write(dir + "cmdline", (QStringList{name} + process.words).join('\0').toUtf8() + '\0');
        write(dir + "environ", process.words.filter("=").join('\0').toUtf8());
        QFile::remove(path(dir + "exe"));
        QVERIFY(QFile::link(process.executable, path(dir + "exe")));
    }

private Q_SLOTS:
    // IdentityTracker over a fake /proc. Steps: "start PID PARENT PROGRAM WORD..." (a process
    // appears), "exec PID PROGRAM WORD...", "end PID" (its children go to PID 1), "restart" (a new
    // tracker); a pass follows each. Checked: the process of the last start or exec. Entries
    // Alpha, Beta, Editor and Settings name bin/alpha, bin/beta, bin/shared and
    // bin/shared --preferences; no entry names x and y.
    void identityTracker_data()
    {
        QTest::addColumn<QString>("steps");
        // Its identifier, and " root" when it is announced as the root of an application.
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const char *steps, const char *expected) {
            QTest::newRow(name) << steps << expected;
        };

        row("arguments tell entries apart", "start 2 1 shared --preferences", "Settings root");
        row("child without evidence: its parent's", "start 2 1 alpha, start 3 2 x", "Alpha");
        row("child of the same application", "start 2 1 alpha, start 3 2 alpha", "Alpha");
        row("child of another application", "start 2 1 alpha, start 3 2 beta", "Beta root");
        row("parent gone: handed to PID 1", "start 2 1 alpha, start 3 2 x, end 2", "Alpha");
        row("parent's PID taken by a younger process",
            "start 2 1 alpha, start 3 2 x, end 2, start 2 1 beta, exec 3 y", "Alpha");
        row("exec unnamed: keeps its parent's", "start 2 1 alpha, start 3 2 x, exec 3 y", "Alpha");
        row("exec named anew", "start 2 1 alpha, start 3 2 x, exec 3 y FLATPAK_ID=F", "F root");
        row("own identifier kept by execs", "start 2 1 alpha, exec 2 beta, exec 2 x", "Alpha root");
        // The parent runs the same application but is not a process of this user.
        row("parent of another user", "start 2 1 alpha other-user, start 3 2 alpha", "Alpha root");
        row("parent is PID 1", "start 1 0 alpha, start 2 1 alpha", "Alpha root");
        row("parent is a kernel thread", "start 2 1 alpha kernel, start 3 2 alpha", "Alpha root");
        // What an application's own program execs names a later start of it.
        row("learned, and kept", "start 2 1 alpha, exec 2 x, restart, start 3 1 x", "Alpha root");
        row("learned in turn", "start 2 1 alpha, exec 2 x, exec 2 y, start 3 1 y", "Alpha root");
        row("never from PATH", "start 2 1 alpha, exec 2 /usr/bin/id, start 3 1 /usr/bin/id", "");
        row("never an interpreter", "start 2 1 alpha, exec 2 sh, start 3 1 sh", "");
        row("never from another program", "start 2 1 x FLATPAK_ID=F, exec 2 y, start 3 1 y", "");
    }

    void identityTracker()
    {
        QFETCH(QString, steps);
        QFETCH(QString, expected);

        QVERIFY(QDir(path("tracker")).removeRecursively());
        const QString bin = QFileInfo(m_root.path()).canonicalFilePath() + "/tracker/bin/";
        for (const QString entry :
             {"Alpha alpha", "Beta beta", "Editor shared", "Settings shared --preferences"}) {
            write("tracker/bin/" + entry.section(' ', 1, 1), {});
            write("tracker/applications/" + entry.section(' ', 0, 0) + ".desktop",
                  "[Desktop Entry]\nType=Application\nName=N\nExec="
                          + (bin + entry.section(' ', 1)).toUtf8());
        }
        const ProcReader reader(path("tracker/proc"));
        const ApplicationIndex index({path("tracker/applications")});
        ScriptBells bells(reader);
        ProcessTable table(reader, ::getuid());
        std::optional<LearnedPrograms> learned;
        std::optional<IdentityTracker> tracker;
        const std::function<void()> nothing([] {});
        const auto restart = [&] {
            tracker.reset();
            tracker.emplace(table, reader, index, learned.emplace(path("tracker/learned.json")),
                            bells, IdentityTracker::Hooks{nothing, nothing});
        };
        restart();
        table.setExecHook([&](qint64 at) { tracker->noticeExec(at); });

        quint64 ticks = 100;
        QHash<qint64, FakeProcess> processes{{1, {0, ++ticks, "/sbin/init"}}};
        qint64 pid = 0;
        for (const QString &step : steps.split(", ")) {
            QStringList words = step.split(' ');
            if (words[0] == "restart")
                restart();
            if (words[0] == "end") {
                QVERIFY(QDir(path("tracker/proc/" + words[1])).removeRecursively());
                processes.remove(words[1].toLongLong());
                for (FakeProcess &process : processes)
                    process.parent = process.parent == words[1].toLongLong() ? 1 : process.parent;
            }
            if (words[0] == "start")
                processes[words[1].toLongLong()] = {words.takeAt(2).toLongLong(), ++ticks};
            if (words[0] == "start" || words[0] == "exec") {
                pid = words[1].toLongLong();
                processes[pid].executable = words[2].startsWith('/') ? words[2] : bin + words[2];
                processes[pid].words = words.mid(3);
            }
            for (auto it = processes.cbegin(); it != processes.cend(); ++it)
                writeProcess("tracker/proc", it.key(), *it);
            table.listAll(false);
            table.recheckYoung(true);
            table.examineNoted([&](qint64 noted) { tracker->identity(noted); });
        }
        const QString id = tracker->identity(pid).value_or("(not ours)");
        QCOMPARE(id + (!id.isEmpty() && tracker->isRoot(pid) ? " root" : ""), expected);
    }

    // Each process of a line of 10,000 that nobody has seen yet, met from its youngest end,
    // takes the identifier of the oldest; examining them does not grow the stack.
    void longLineOfUnseenAncestors()
    {
        constexpr qint64 first = 1000, length = 10000;
        setLastPid(first + length - 2);

        QList<RunningApplication> notices, running;
        QThread *thread = QThread::create([&] {
            LaunchWatcher::Options options;
            options.procRoot = path("proc");
            options.applicationFolders = QStringList{path("applications")};
            options.learnedProgramsFile = path("learned.json");
            options.useProcessConnector = false;
            options.user = ::getuid();
            LaunchWatcher watcher(options);
            connect(&watcher, &LaunchWatcher::applicationLaunched, &watcher,
                    [&](const RunningApplication &application) { notices << application; });
            watcher.start();
            writeProcess("proc", first,
                         {.startTime = 20000, .words = {"FLATPAK_ID=org.vorntest.Deep"}});
            for (qint64 pid = first + 1; pid < first + length; ++pid)
                writeProcess("proc", pid,
                             {.parent = pid - 1, .startTime = quint64(20000 + pid - first)});
            setLastPid(first + length - 1); // only the youngest is new to the probe
            running = watcher.runningApplications();
        });
        // Far less than a recursion through the line would need.
        thread->setStackSize(512 * 1024);
        thread->start();
        QVERIFY(thread->wait(120000));
        delete thread;

        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.first().pid, first);
        QCOMPARE(notices.first().bundleIdentifier, "org.vorntest.Deep");
        QCOMPARE(running.size(), 1);
        QCOMPARE(running.first().pid, first);
    }
};

QTEST_GUILESS_MAIN(tst_LaunchWatcher)
#include "tst_launchwatcher.moc"
