#include "blocklist.h"
#include "fakes/fakeuserdefaults.h"

#include <QSignalSpy>
#include <QTest>

class tst_BlockList : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void load_data()
    {
        QTest::addColumn<QVariant>("stored"); // invalid: nothing stored
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("first start") << QVariant() << QStringList();
        QTest::newRow("duplicates collapse")
                << QVariant(QStringList{"a", "a", "b"}) << QStringList{"a", "b"};
        QTest::newRow("case differs: two members")
                << QVariant(QStringList{"Foo", "foo"}) << QStringList{"Foo", "foo"};
        QTest::newRow("not an array") << QVariant(true) << QStringList();
        // Listed in plain string order: Unicode scalar values, so upper case first and U+1F600 (a
        // surrogate pair in UTF-16) after U+FFFD.
        QTest::newRow("upper case first") << QVariant(QStringList{"com.b", "Com.a", "com.a", "Z"})
                                          << QStringList{"Com.a", "Z", "com.a", "com.b"};
        QTest::newRow("scalar values, not UTF-16 units")
                << QVariant(QStringList{QString::fromUtf8("x\xF0\x9F\x98\x80"),
                                        QString::fromUtf8("x\xEF\xBF\xBD")})
                << QStringList{QString::fromUtf8("x\xEF\xBF\xBD"),
                               QString::fromUtf8("x\xF0\x9F\x98\x80")};
        QTest::newRow("prefix first") << QVariant(QStringList{"ab", "a"}) << QStringList{"a", "ab"};
    }

    void load()
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
        const QStringList saved = defaults.stringArrayForKey(BlockList::storageKey).value();
        QCOMPARE(QSet<QString>(saved.cbegin(), saved.cend()),
                 QSet<QString>(expected.cbegin(), expected.cend()));
        QCOMPARE(saved.size(), expected.size());
    }

    void toggleTwiceRestoresAndSavesEachTime()
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

        // Removing the last one stores an empty array.
        list.remove(QStringLiteral("keep.me"));
        list.save();
        QCOMPARE(defaults.stringArrayForKey(BlockList::storageKey), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_BlockList)
#include "tst_blocklist.moc"
