#include "enforcementlog.h"
#include "systemlog_linux.h"

#include <QTemporaryFile>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

class tst_EnforcementLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lineFor_data();
    void lineFor();
    void oneLinePerSink_data();
    void oneLinePerSink();
};

void tst_EnforcementLog::lineFor_data()
{
    QTest::addColumn<QString>("bundleID");
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("plain") << QStringLiteral("org.gnome.Calculator")
                           << QByteArray("Blocking org.gnome.Calculator");
    QTest::newRow("format directives are text")
            << QStringLiteral("evil%s%n%x") << QByteArray("Blocking evil%s%n%x");
    QTest::newRow("newline escaped")
            << QStringLiteral("a\nBlocking b") << QByteArray("Blocking a\\x0aBlocking b");
    QTest::newRow("carriage return, tab, escape")
            << QStringLiteral("a\r\t\x1b") << QByteArray("Blocking a\\x0d\\x09\\x1b");
    QTest::newRow("C1 control") << QString(QChar(0x85)) << QByteArray("Blocking \\x85");
    QTest::newRow("line separator") << QString(QChar(0x2028)) << QByteArray("Blocking \\u{2028}");
    QTest::newRow("backslash doubled")
            << QStringLiteral("a\\x0a") << QByteArray("Blocking a\\\\x0a");
    QTest::newRow("non-ASCII verbatim")
            << QStringLiteral("café.app") << QByteArray("Blocking caf\xc3\xa9.app");
}

void tst_EnforcementLog::lineFor()
{
    QFETCH(QString, bundleID);
    QFETCH(QByteArray, line);
    QCOMPARE(EnforcementLog::lineFor(bundleID), line);
}

namespace {

QByteArray streamName(int fd)
{
    struct stat status = {};
    if (::fstat(fd, &status) != 0)
        return {};
    return QByteArray::number(qulonglong(status.st_dev)) + ':'
            + QByteArray::number(qulonglong(status.st_ino));
}

} // namespace

void tst_EnforcementLog::oneLinePerSink_data()
{
    QTest::addColumn<QByteArray>("journalStream"); // "stderr" stands for standard error's own
    QTest::addColumn<bool>("onStandardError");

    QTest::newRow("not under systemd") << QByteArray() << true;
    QTest::newRow("standard error is the journal") << QByteArray("stderr") << false;
    // A child whose standard error was redirected inherits JOURNAL_STREAM but writes elsewhere.
    QTest::newRow("journal is another stream") << QByteArray("other") << true;
    QTest::newRow("malformed: one number") << QByteArray("12345") << true;
    QTest::newRow("malformed: three parts") << QByteArray("1:2:3") << true;
    QTest::newRow("malformed: words") << QByteArray("dev:inode") << true;
}

void tst_EnforcementLog::oneLinePerSink()
{
    QFETCH(QByteArray, journalStream);
    QFETCH(bool, onStandardError);

    QTemporaryFile captured, other;
    QVERIFY(captured.open() && other.open());
    if (journalStream == "stderr")
        journalStream = streamName(captured.handle());
    else if (journalStream == "other")
        journalStream = streamName(other.handle());

    // Standard error goes to the file for the one call, and comes back even when a check fails.
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

QTEST_GUILESS_MAIN(tst_EnforcementLog)
#include "tst_enforcementlog.moc"
