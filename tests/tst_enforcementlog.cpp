#include "enforcementlog.h"

#include <QTest>

class tst_EnforcementLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void lineFor_data();
    void lineFor();
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

QTEST_GUILESS_MAIN(tst_EnforcementLog)
#include "tst_enforcementlog.moc"
