#include "blocklist.h"
#include "fakes/fakeuserdefaults.h"

#include <QSignalSpy>
#include <QTest>

class tst_BlockList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void load_data();
    void load();
    void toggleTwiceRestoresAndSavesEachTime();
    void removingTheLastStoresAnEmptyArray();
    void sortedBundleIDs_data();
    void sortedBundleIDs();
};

void tst_BlockList::load_data()
{
    QTest::addColumn<QVariant>("stored"); // invalid: nothing stored
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("first start") << QVariant() << QStringList();
    QTest::newRow("array of strings")
            << QVariant(QStringList{"org.gnome.Calculator", "firefox-esr"})
            << QStringList{"firefox-esr", "org.gnome.Calculator"};
    QTest::newRow("duplicates collapse")
            << QVariant(QStringList{"a", "a", "b"}) << QStringList{"a", "b"};
    QTest::newRow("case differs: two members")
            << QVariant(QStringList{"Foo", "foo"}) << QStringList{"Foo", "foo"};
    QTest::newRow("not an array") << QVariant(true) << QStringList();
}

void tst_BlockList::load()
{
    QFETCH(QVariant, stored);
    QFETCH(QStringList, expected);
    FakeUserDefaults defaults;
    if (stored.isValid())
        defaults.values.insert(BlockList::storageKey, stored);

    BlockList list(&defaults);
    QCOMPARE(list.sortedBundleIDs(), expected);
    // Loading never writes: what was stored stays until the first change.
    QCOMPARE(defaults.values.value(BlockList::storageKey), stored);

    // The first save replaces whatever was stored with an array of strings, each once.
    list.save();
    QStringList saved = defaults.stringArrayForKey(BlockList::storageKey).value();
    saved.sort();
    QCOMPARE(saved, expected);
}

void tst_BlockList::toggleTwiceRestoresAndSavesEachTime()
{
    FakeUserDefaults defaults;
    defaults.setStringArray({"keep.me"}, BlockList::storageKey);
    BlockList list(&defaults);
    QSignalSpy changed(&list, &BlockList::blockedBundleIDsChanged);

    list.toggle(QStringLiteral("org.gnome.Maps"));
    QCOMPARE(changed.count(), 1);
    QVERIFY(list.contains(QStringLiteral("org.gnome.Maps")));
    QVERIFY(!list.contains(QStringLiteral("org.gnome.maps")));
    QCOMPARE(defaults.stringArrayForKey(BlockList::storageKey)->size(), 2);

    list.toggle(QStringLiteral("org.gnome.Maps"));
    QCOMPARE(changed.count(), 2);
    QCOMPARE(list.sortedBundleIDs(), QStringList{"keep.me"});
    QCOMPARE(defaults.stringArrayForKey(BlockList::storageKey), QStringList{"keep.me"});
}

void tst_BlockList::removingTheLastStoresAnEmptyArray()
{
    FakeUserDefaults defaults;
    defaults.setStringArray({"only"}, BlockList::storageKey);
    BlockList list(&defaults);
    list.remove(QStringLiteral("only"));
    list.save();
    QCOMPARE(defaults.stringArrayForKey(BlockList::storageKey), QStringList());
    // A fresh load after a restart sees the empty set.
    QVERIFY(BlockList(&defaults).blockedBundleIDs().isEmpty());
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
    FakeUserDefaults defaults;
    BlockList list(&defaults);
    list.setBlockedBundleIDs(QSet<QString>(ids.cbegin(), ids.cend()));
    QCOMPARE(list.sortedBundleIDs(), expected);
}

QTEST_GUILESS_MAIN(tst_BlockList)
#include "tst_blocklist.moc"
