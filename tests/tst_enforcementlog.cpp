#include "enforcementlog.h"
#include "systemlog_linux.h"

#include <QTemporaryFile>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_EnforcementLog : public QObject
{
    Q_OBJECT

    // "<device>:<inode>" of an open file, as JOURNAL_STREAM names standard error's.
    static QByteArray streamName(int fd)
    {
        struct stat status = {};
        if (::fstat(fd, &status) != 0)
            return {};
        return QByteArray::number(qulonglong(status.st_dev)) + ':'
                + QByteArray::number(qulonglong(status.st_ino));
    }

private Q_SLOTS:
    void lineFor_data()
    {
        QTest::addColumn<QString>("bundleID");
        QTest::addColumn<QByteArray>("line");
        const std::tuple<const char *, QString, QByteArray> rows[] = {
                {"format directives are text", "evil%s%n%x", "Blocking evil%s%n%x"},
                {"newline escaped", "a\nBlocking b", "Blocking a\\x0aBlocking b"},
                {"CR, tab, escape", "a\r\t\x1b", "Blocking a\\x0d\\x09\\x1b"},
                {"C1 control", QString(QChar(0x85)), "Blocking \\x85"},
                {"line separator", QString(QChar(0x2028)), "Blocking \\u{2028}"},
                {"backslash doubled", "a\\x0a", "Blocking a\\\\x0a"},
                {"non-ASCII verbatim", "café.app", "Blocking caf\xc3\xa9.app"},
        };
        for (const auto &[name, bundleID, line] : rows)
            QTest::newRow(name) << bundleID << line;
    }
    void lineFor()
    {
        QFETCH(QString, bundleID);
        QTEST(EnforcementLog::lineFor(bundleID), "line");
    }

    void oneLinePerSink_data()
    {
        QTest::addColumn<QByteArray>("journalStream"); // "stderr": standard error's own
        QTest::addColumn<bool>("onStandardError");
        QTest::newRow("not under systemd") << QByteArray() << true;
        QTest::newRow("standard error is the journal") << QByteArray("stderr") << false;
        // A child whose standard error was redirected inherits JOURNAL_STREAM but writes elsewhere.
        QTest::newRow("journal is another stream") << QByteArray("other") << true;
        for (const char *malformed : {"12345", "1:2:3", "dev:inode"})
            QTest::addRow("malformed: %s", malformed) << QByteArray(malformed) << true;
    }
    void oneLinePerSink()
    {
        QFETCH(QByteArray, journalStream);
        QFETCH(bool, onStandardError);
        QTemporaryFile captured, other;
        QVERIFY(captured.open() && other.open());
        if (journalStream == "stderr")
            journalStream = streamName(captured.handle());
        else if (journalStream == "other")
            journalStream = streamName(other.handle());

        // Standard error goes to the file for the one call only.
        const int savedError = ::dup(STDERR_FILENO);
        QVERIFY(savedError >= 0);
        ::dup2(captured.handle(), STDERR_FILENO);
        qputenv("JOURNAL_STREAM", journalStream);
        LinuxSystemLog systemLog;
        EnforcementLog::blocking(&systemLog, QStringLiteral("org.example.Blocked"));
        qunsetenv("JOURNAL_STREAM");
        ::dup2(savedError, STDERR_FILENO);
        ::close(savedError);

        captured.seek(0);
        QCOMPARE(captured.readAll(),
                 onStandardError ? QByteArray("Blocking org.example.Blocked\n") : QByteArray());
    }
};

QTEST_GUILESS_MAIN(tst_EnforcementLog)
#include "tst_enforcementlog.moc"
