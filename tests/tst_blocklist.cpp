#include "blocklist.h"
#include "testhome.h"
#include "userdefaults_linux.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTest>

class tst_BlockList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void load_data();
    void load();
    void toggleTwiceRestoresAndSavesEachTime();
    void removingTheLastStoresAnEmptyArray();
    void sortedBundleIDs_data();
    void sortedBundleIDs();

private:
    QJsonObject storedDefaults() const;
    TestHome m_home;
    LinuxUserDefaults m_defaults{m_home.defaultsFile()};
};

QJsonObject tst_BlockList::storedDefaults() const
{
    return QJsonDocument::fromJson(TestHome::readFile(m_home.defaultsFile())).object();
}

void tst_BlockList::init()
{
    QFile::remove(m_home.defaultsFile());
}

void tst_BlockList::load_data()
{
    QTest::addColumn<QByteArray>("defaults"); // empty: no file
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("first start") << QByteArray() << QStringList();
    QTest::newRow("array of strings")
            << QByteArray(R"({"blockedBundleIDs":["org.gnome.Calculator","firefox-esr"]})")
            << QStringList{"firefox-esr", "org.gnome.Calculator"};
    QTest::newRow("duplicates collapse")
            << QByteArray(R"({"blockedBundleIDs":["a","a","b"]})") << QStringList{"a", "b"};
    QTest::newRow("case differs: two members")
            << QByteArray(R"({"blockedBundleIDs":["Foo","foo"]})") << QStringList{"Foo", "foo"};
    QTest::newRow("a number") << QByteArray(R"({"blockedBundleIDs":3})") << QStringList();
    QTest::newRow("a single string") << QByteArray(R"({"blockedBundleIDs":"a"})") << QStringList();
    QTest::newRow("array holding a number")
            << QByteArray(R"({"blockedBundleIDs":["a",1]})") << QStringList();
    QTest::newRow("not JSON") << QByteArray("\x01\x02{{") << QStringList();
}

void tst_BlockList::load()
{
    QFETCH(QByteArray, defaults);
    QFETCH(QStringList, expected);
    if (!defaults.isEmpty())
        QVERIFY(TestHome::writeFile(m_home.defaultsFile(), defaults));

    BlockList list(&m_defaults);
    QCOMPARE(list.sortedBundleIDs(), expected);
    // Loading never writes: what was stored stays until the first change.
    QCOMPARE(TestHome::readFile(m_home.defaultsFile()), defaults);

    // The first save replaces whatever was stored with an array of strings, each once.
    list.save();
    QJsonArray stored = storedDefaults().value(BlockList::storageKey).toArray();
    QStringList storedIDs;
    for (const QJsonValue &value : stored) {
        QVERIFY(value.isString());
        storedIDs.append(value.toString());
    }
    storedIDs.sort();
    QCOMPARE(storedIDs, expected);
}

void tst_BlockList::toggleTwiceRestoresAndSavesEachTime()
{
    QVERIFY(TestHome::writeFile(m_home.defaultsFile(),
                                R"({"other":{"kept":true},"blockedBundleIDs":["keep.me"]})"));
    BlockList list(&m_defaults);
    QSignalSpy changed(&list, &BlockList::blockedBundleIDsChanged);

    list.toggle(QStringLiteral("org.gnome.Maps"));
    QCOMPARE(changed.count(), 1);
    QVERIFY(list.contains(QStringLiteral("org.gnome.Maps")));
    QVERIFY(!list.contains(QStringLiteral("org.gnome.maps")));
    QCOMPARE(storedDefaults().value(BlockList::storageKey).toArray().size(), 2);

    list.toggle(QStringLiteral("org.gnome.Maps"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(list.sortedBundleIDs(), QStringList{"keep.me"});
    const QJsonObject stored = storedDefaults();
    QCOMPARE(stored.value(BlockList::storageKey).toArray(), QJsonArray{"keep.me"});
    // Keys that the block list does not own survive its writes.
    QCOMPARE(stored.value("other").toObject().value("kept"), QJsonValue(true));
}

void tst_BlockList::removingTheLastStoresAnEmptyArray()
{
    QVERIFY(TestHome::writeFile(m_home.defaultsFile(), R"({"blockedBundleIDs":["only"]})"));
    BlockList list(&m_defaults);
    list.remove(QStringLiteral("only"));
    list.save();
    const QJsonObject stored = storedDefaults();
    QVERIFY(stored.contains(BlockList::storageKey));
    QCOMPARE(stored.value(BlockList::storageKey), QJsonValue(QJsonArray()));

    // A fresh load after a restart sees the empty set.
    BlockList reloaded(&m_defaults);
    QVERIFY(reloaded.blockedBundleIDs().isEmpty());
}

void tst_BlockList::sortedBundleIDs_data()
{
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("upper case first")
            << QStringList{"com.b", "Com.a", "com.a"} << QStringList{"Com.a", "com.a", "com.b"};
    QTest::newRow("Z before a") << QStringList{"a", "Z"} << QStringList{"Z", "a"};
    // U+1F600 is a surrogate pair in UTF-16 but sorts after U+FFFD as a scalar value.
    QTest::newRow("scalar values, not UTF-16 units")
            << QStringList{QString::fromUtf8("x\xF0\x9F\x98\x80"),
                           QString::fromUtf8("x\xEF\xBF\xBD")}
            << QStringList{QString::fromUtf8("x\xEF\xBF\xBD"),
                           QString::fromUtf8("x\xF0\x9F\x98\x80")};
    QTest::newRow("prefix first") << QStringList{"ab", "a"} << QStringList{"a", "ab"};
}

void tst_BlockList::sortedBundleIDs()
{
    QFETCH(QStringList, ids);
    QFETCH(QStringList, expected);
    BlockList list(&m_defaults);
    list.setBlockedBundleIDs(QSet<QString>(ids.cbegin(), ids.cend()));
    QCOMPARE(list.sortedBundleIDs(), expected);
}

QTEST_GUILESS_MAIN(tst_BlockList)
#include "tst_blocklist.moc"
