#include "hostinfo_linux.h"
#include "testhome.h"

#include <QtTest>

#include <sys/stat.h>

class tst_HostInfo : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsPrettyHostName_data()
    {
        QTest::addColumn<QByteArray>("machineInfo");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, const QByteArray &text, const QString &expected) {
            QTest::newRow(name) << text << expected;
        };
        row("single quotes", "PRETTY_HOSTNAME='a \"b\" \\n'\n", "a \"b\" \\n");
        row("escapes in double quotes", R"(PRETTY_HOSTNAME="say \"hi\" \\ \$HOME \`x\` \n")",
            R"(say "hi" \ $HOME `x` \n)");
        row("escapes unquoted", R"(PRETTY_HOSTNAME=Ada\'s\ Box)", "Ada's Box");
        row("mixed quoting", "PRETTY_HOSTNAME=Ada\"'s \"'Box'\n", "Ada's Box");
        row("line continuation", "PRETTY_HOSTNAME=\"two \\\nlines\"\n", "two lines");
        row("blanks around, CRLF", "  PRETTY_HOSTNAME = \"x y\"  \r\n", "x y");
        row("unquoted trailing blanks", "PRETTY_HOSTNAME=x y  \t\r\n", "x y");
        row("UTF-8", "PRETTY_HOSTNAME=\"Zoë’s 💻\"\n", "Zoë’s 💻");
        row("among other lines",
            "# by hostnamectl\nICON_NAME=computer\ngarbage\nPRETTY_HOSTNAME=\"Desk\"\n"
            "PRETTY_HOSTNAME_X=no\nXPRETTY_HOSTNAME=no\n",
            "Desk");
        row("last one wins, comments skipped",
            "PRETTY_HOSTNAME=old\nPRETTY_HOSTNAME=new\n#PRETTY_HOSTNAME=no\n; PRETTY_HOSTNAME=no\n",
            "new");
        row("unterminated quote", "PRETTY_HOSTNAME=\"open", "open");
        row("trailing backslash", "PRETTY_HOSTNAME=x\\", "x");
        row("blank", "PRETTY_HOSTNAME=\"  \"\n", "  ");
        row("empty value", "PRETTY_HOSTNAME=\nICON_NAME=computer\n", QString());
        row("binary junk", QByteArray("\x00\xff=\"\n\x01PRETTY", 12), QString());
    }

    // The parsed name, and as the computer's name from a file (the kernel's when it is blank).
    void readsPrettyHostName()
    {
        QFETCH(QByteArray, machineInfo);
        QFETCH(QString, expected);
        QCOMPARE(HostInfo::prettyHostName(machineInfo), expected);

        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("machine-info"));
        QVERIFY(TestHome::writeFile(path, machineInfo));
        QCOMPARE(HostInfo::localizedHostName(path, QStringLiteral("ada-laptop")),
                 expected.trimmed().isEmpty() ? QStringLiteral("ada-laptop") : expected.trimmed());
    }

    void fallsBackToKernelHostName()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("machine-info"));
        QCOMPARE(HostInfo::localizedHostName(path, QStringLiteral("ada-laptop")), "ada-laptop");
        QCOMPARE(HostInfo::localizedHostName(path, QStringLiteral("(none)")), QString());
        // A FIFO where the file belongs must not block the read.
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QCOMPARE(HostInfo::localizedHostName(path, QStringLiteral("ada-laptop")), "ada-laptop");
    }
};

QTEST_GUILESS_MAIN(tst_HostInfo)
#include "tst_hostinfo.moc"
