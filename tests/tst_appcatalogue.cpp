#include "appcatalogue.h"
#include "fakes/fakeapplications.h"

#include <QLocale>
#include <QTest>

class tst_AppCatalogue : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QLocale::setDefault(QLocale::c()); }

    void load_data()
    {
        QTest::addColumn<QStringList>("reported"); // "id|name", in the platform's order
        QTest::addColumn<QStringList>("expected"); // "id|name|position reported", in result order

        QTest::newRow("first record of an id wins")
                << QStringList{"foo|First", "bar|Bar", "foo|Second"}
                << QStringList{"bar|Bar|1", "foo|First|0"};
        QTest::newRow("empty name sorts first")
                << QStringList{"a|Alpha", "b|"} << QStringList{"b||1", "a|Alpha|0"};
        QTest::newRow("locale order, case ignored, ties in reported order")
                << QStringList{"a|MAPS", "z|apps", "c|Maps", "b|maps", QStringLiteral("1|Äpfel")}
                << QStringList{QStringLiteral("1|Äpfel|4"), "z|apps|1", "a|MAPS|0", "c|Maps|2",
                               "b|maps|3"};
    }

    void load()
    {
        QFETCH(QStringList, reported);
        QFETCH(QStringList, expected);
        FakeApplications applications;
        for (qsizetype i = 0; i < reported.size(); ++i)
            applications.apps.append(InstalledApp{reported[i].section('|', 0, 0),
                                                  reported[i].section('|', 1), QString::number(i)});
        QStringList actual;
        for (const InstalledApp &app : AppCatalogue::load(applications))
            actual << app.id + '|' + app.name + '|' + app.icon;
        QCOMPARE(actual, expected);
    }
};

QTEST_GUILESS_MAIN(tst_AppCatalogue)
#include "tst_appcatalogue.moc"
