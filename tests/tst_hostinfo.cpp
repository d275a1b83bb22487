#include "hostinfo_linux.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

class TestHostInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesPrettyHostName_data();
    void parsesPrettyHostName();
    void fallsBackToKernelHostName_data();
    void fallsBackToKernelHostName();
};

void TestHostInfo::parsesPrettyHostName_data()
{
    QTest::addColumn<QByteArray>("machineInfo");
    QTest::addColumn<QString>("expected");

    QTest::newRow("as hostnamectl writes it")
            << QByteArray("PRETTY_HOSTNAME=\"Ada's Laptop\"\n") << QStringLiteral("Ada's Laptop");
    QTest::newRow("unquoted") << QByteArray("PRETTY_HOSTNAME=studio\n") << QStringLiteral("studio");
    QTest::newRow("single quotes")
            << QByteArray("PRETTY_HOSTNAME='a \"b\" \\n'\n") << QStringLiteral("a \"b\" \\n");
    QTest::newRow("escapes in double quotes")
            << QByteArray(R"(PRETTY_HOSTNAME="say \"hi\" \\ \$HOME \`x\` \n")")
            << QStringLiteral(R"(say "hi" \ $HOME `x` \n)");
    QTest::newRow("escapes unquoted")
            << QByteArray(R"(PRETTY_HOSTNAME=Ada\'s\ Box)") << QStringLiteral("Ada's Box");
    QTest::newRow("mixed quoting")
            << QByteArray("PRETTY_HOSTNAME=Ada\"'s \"'Box'\n") << QStringLiteral("Ada's Box");
    QTest::newRow("line continuation")
            << QByteArray("PRETTY_HOSTNAME=\"two \\\nlines\"\n") << QStringLiteral("two lines");
    QTest::newRow("blanks around")
            << QByteArray("  PRETTY_HOSTNAME = \"x y\"   \n") << QStringLiteral("x y");
    QTest::newRow("unquoted trailing blanks")
            << QByteArray("PRETTY_HOSTNAME=x y  \t\n") << QStringLiteral("x y");
    QTest::newRow("UTF-8") << QByteArray("PRETTY_HOSTNAME=\"Zoë’s 💻\"\n")
                           << QStringLiteral("Zoë’s 💻");
    QTest::newRow("among other keys")
            << QByteArray("# set by hostnamectl\nICON_NAME=computer-laptop\nCHASSIS=laptop\n"
                          "PRETTY_HOSTNAME=\"Desk\"\nDEPLOYMENT=production\n")
            << QStringLiteral("Desk");
    QTest::newRow("last one wins")
            << QByteArray("PRETTY_HOSTNAME=old\nPRETTY_HOSTNAME=new\n") << QStringLiteral("new");
    QTest::newRow("commented out")
            << QByteArray("#PRETTY_HOSTNAME=no\n; PRETTY_HOSTNAME=no\n") << QString();
    QTest::newRow("similar key") << QByteArray("PRETTY_HOSTNAME_X=no\nXPRETTY_HOSTNAME=no\n")
                                 << QString();
    QTest::newRow("no newline at end")
            << QByteArray("PRETTY_HOSTNAME=\"end\"") << QStringLiteral("end");
    QTest::newRow("CRLF") << QByteArray("PRETTY_HOSTNAME=\"dos\"\r\n") << QStringLiteral("dos");
    QTest::newRow("unterminated quote")
            << QByteArray("PRETTY_HOSTNAME=\"open") << QStringLiteral("open");
    QTest::newRow("trailing backslash") << QByteArray("PRETTY_HOSTNAME=x\\") << QStringLiteral("x");
    QTest::newRow("empty value") << QByteArray("PRETTY_HOSTNAME=\n") << QString();
    QTest::newRow("line without =")
            << QByteArray("garbage\nPRETTY_HOSTNAME=ok\n") << QStringLiteral("ok");
    QTest::newRow("empty file") << QByteArray() << QString();
    QTest::newRow("binary junk") << QByteArray("\x00\xff=\"\n\x01PRETTY", 12) << QString();
}

void TestHostInfo::parsesPrettyHostName()
{
    QFETCH(QByteArray, machineInfo);
    QFETCH(QString, expected);
    QCOMPARE(HostInfo::prettyHostName(machineInfo), expected);
}

void TestHostInfo::fallsBackToKernelHostName_data()
{
    QTest::addColumn<QString>("make"); // shell command creating machine-info in the current folder
    QTest::addColumn<QString>("kernel");
    QTest::addColumn<QString>("expected");

    QTest::newRow("pretty name") << "printf 'PRETTY_HOSTNAME=\"Ada’s Laptop\"\\n' > machine-info"
                                 << "ada-laptop" << QStringLiteral("Ada’s Laptop");
    QTest::newRow("no file") << QString() << "ada-laptop"
                             << "ada-laptop";
    QTest::newRow("no pretty name") << "printf 'CHASSIS=laptop\\n' > machine-info"
                                    << "ada-laptop"
                                    << "ada-laptop";
    QTest::newRow("blank pretty name") << "printf 'PRETTY_HOSTNAME=\"  \"\\n' > machine-info"
                                       << "ada-laptop"
                                       << "ada-laptop";
    QTest::newRow("directory") << "mkdir machine-info"
                               << "ada-laptop"
                               << "ada-laptop";
    QTest::newRow("FIFO") << "mkfifo machine-info"
                          << "ada-laptop"
                          << "ada-laptop";
    QTest::newRow("50 MB") << "truncate -s 50M machine-info"
                           << "ada-laptop"
                           << "ada-laptop";
    QTest::newRow("kernel name unset") << QString() << "(none)" << QString();
    QTest::newRow("nothing at all") << QString() << QString() << QString();
}

void TestHostInfo::fallsBackToKernelHostName()
{
    QFETCH(QString, make);
    QFETCH(QString, kernel);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (!make.isEmpty()) {
        QProcess shell;
        shell.setWorkingDirectory(dir.path());
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), make});
        QVERIFY(shell.waitForFinished(30000));
        QCOMPARE(shell.exitCode(), 0);
    }
    QCOMPARE(HostInfo::localizedHostName(dir.filePath(QStringLiteral("machine-info")), kernel),
             expected);
}

QTEST_GUILESS_MAIN(TestHostInfo)
#include "tst_hostinfo.moc"
