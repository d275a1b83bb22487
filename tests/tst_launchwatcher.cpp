#include "launchwatcher_linux.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <unistd.h>

// The watcher's logic over a fake /proc: a folder of the files it reads, written by the test.
class tst_LaunchWatcher : public QObject
{
    Q_OBJECT

    // In memory where it can be: the line below is 40,000 files.
    QTemporaryDir m_root{QDir("/dev/shm").exists()
                                 ? "/dev/shm/tst_launchwatcher-XXXXXX"
                                 : QDir::tempPath() + "/tst_launchwatcher-XXXXXX"};
    QString path(const QString &relative) const { return m_root.filePath(relative); }
    void write(const QString &relative, const QByteArray &contents, bool makeFolder = true) const
    {
        if (makeFolder)
            QDir().mkpath(QFileInfo(path(relative)).path());
        QFile file(path(relative));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size());
    }
    void setLastPid(qint64 pid) const
    {
        write("proc/loadavg", "0.00 0.00 0.00 1/1 " + QByteArray::number(pid) + '\n');
    }
    // A process of this user running /bin/sleep, started startTime ticks after boot.
    void addProcess(qint64 pid, qint64 parent, quint64 startTime, const QByteArray &cgroup = {})
    {
        const QString dir = "proc/" + QString::number(pid) + '/';
        QVERIFY(QDir().mkdir(path(dir)));
        const QByteArray uid = QByteArray::number(::getuid());
        write(dir + "stat",
              QByteArray::number(pid) + " (sleep) S " + QByteArray::number(parent)
                      + " 1 1 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 " + QByteArray::number(startTime)
                      + " 0 0\n",
              false);
        write(dir + "status",
              "Name:\tsleep\nTgid:\t" + QByteArray::number(pid) + "\nUid:\t" + uid + '\t' + uid
                      + '\t' + uid + '\t' + uid + '\n',
              false);
        write(dir + "cmdline",
              QByteArray("sleep\0"
                         "60\0",
                         9));
        write(dir + "cgroup", cgroup.isEmpty() ? "0::/user.slice\n" : cgroup);
        QVERIFY(QFile::link("/bin/sleep", path(dir + "exe")));
    }

private Q_SLOTS:
    // Each process of a line of 10,000 that nobody has seen yet, met from its youngest end,
    // takes the identifier of the oldest; examining them does not grow the stack.
    void longLineOfUnseenAncestors()
    {
        write("proc/uptime", "100.00 100.00\n");
        write("proc/sys/kernel/pid_max", "4194304\n");
        write("applications/org.vorntest.Deep.desktop",
              "[Desktop Entry]\nType=Application\nName=Deep\nExec=/nowhere/deep\n");
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
            addProcess(first, 1, 20000, "0::/user.slice/app-org.vorntest.Deep-7.scope\n");
            for (qint64 pid = first + 1; pid < first + length; ++pid)
                addProcess(pid, pid - 1, 20000 + pid - first);
            setLastPid(first + length - 1); // only the youngest is new to the probe
            running = watcher.runningApplications();
        });
        // Far less than a recursion through the line would need.
        thread->setStackSize(2 * 1024 * 1024);
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
