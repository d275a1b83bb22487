#include "vornuitest.h"

#include "appblocker.h"
#include "assets.h"
#include "blocklist.h"
#include "platform.h"
#include "recordsignature.h"
#include "referencedate.h"
#include "syncedblockstate.h"
#include "vornapplication.h"
#include "vornui.h"

#include <QLocale>
#include <QQmlContext>
#include <QQmlProperty>
#include <QQuickView>
#include <QSignalSpy>

using namespace VornUiTest;

static const QString blockedStatus = QStringLiteral("Blocked — controlled by your iPhone");
static const QString notBlockedStatus = QStringLiteral("Not blocked — controlled by your iPhone");
static const QString emptyNotice = QStringLiteral(
        "No apps blocked yet. Add apps below — they'll be closed automatically whenever your "
        "iPhone is blocking.");
static const QString lockNotice = QStringLiteral(
        "Locked while Vorn is active — turn blocking off on your iPhone to change this list.");
static constexpr QRgb notBlockingTint = qRgb(0x1A, 0xCD, 0x81);
static constexpr QRgb blockingTint = qRgb(0xF8, 0x5A, 0x3B);

// The main window over the real shell, blocker and block list in a private home.
class tst_VornView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        m_app->closeWindows();
        QTRY_VERIFY(m_app->windows().isEmpty());
        setBlocking(false);
        setList({});
    }

    void looks_data()
    {
        QTest::addColumn<bool>("blocking");
        QTest::addColumn<QStringList>("ids");
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<QString>("notice");

        // Plain string order; none of these is installed, and each is listed by its identifier.
        const QStringList ids{"com.b", "Com.a", "com.a"};
        const QStringList rows{"Com.a", "com.a", "com.b"};
        QTest::newRow("not-blocking-empty")
                << false << QStringList() << QStringList() << emptyNotice;
        QTest::newRow("not-blocking-listed") << false << ids << rows << QString();
        QTest::newRow("blocking-empty") << true << QStringList() << QStringList() << lockNotice;
        QTest::newRow("blocking-listed") << true << ids << rows << lockNotice;
    }

    void looks()
    {
        QFETCH(bool, blocking);
        QFETCH(QStringList, ids);
        QFETCH(QStringList, rows);
        QFETCH(QString, notice);

        setList(ids);
        setBlocking(blocking);
        QQuickItem *root = openView();
        QVERIFY(root);
        // A window opens in the current state, not animating into it.
        QCOMPARE(root->property("look").toReal(), blocking ? 1.0 : 0.0);
        QCOMPARE(text(root, "statusLine"), blocking ? blockedStatus : notBlockedStatus);
        QCOMPARE(find(root, "mark")->property("color").value<QColor>().rgb(),
                 blocking ? blockingTint : notBlockingTint);
        QCOMPARE(root->property("color").value<QColor>().rgba(),
                 Assets().color(blocking ? "BlockingBackground" : "NonBlockingBackground").rgba());
        QQuickItem *noticeItem = find(root, "notice");
        QCOMPARE(noticeItem->property("text").toString(), notice);
        QCOMPARE(noticeItem->isVisible(), !notice.isEmpty());
        QCOMPARE(rowLabels(root), rows);
        QCOMPARE(find(root, "addButton")->isEnabled(), !blocking);
        const QList<QQuickItem *> removes = findAll(root, "removeButton");
        QCOMPARE(removes.size(), rows.size());
        for (QQuickItem *button : removes)
            QCOMPARE(button->isEnabled(), !blocking);
        if (blocking && !rows.isEmpty()) { // the lock notice stands above the rows
            QVERIFY(noticeItem->mapToScene({0, noticeItem->height()}).y()
                    <= find(root, "rowLabel")->mapToScene({0, 0}).y());
        }
        screenshot(root->window(), QStringLiteral("vornview-") + QTest::currentDataTag());
    }

    void twoWindowsShowOneBlocker()
    {
        setList({"org.example.Alpha", "org.example.Beta"});
        QQuickItem *first = openView();
        QSignalSpy quit(m_app.get(), &VornApplication::quitRequested);
        QTest::keyClick(first->window(), Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(m_app->windows().size(), 2);
        QQuickItem *second = qobject_cast<QQuickView *>(m_app->windows().constLast())->rootObject();

        setBlocking(true);
        for (QQuickItem *root : {first, second}) {
            // The state changes at once; only its look moves with the spring, to the blocking tint.
            QCOMPARE(text(root, "statusLine"), blockedStatus);
            QVERIFY(!find(root, "addButton")->isEnabled());
            QVERIFY(root->property("look").toReal() < 1.0);
        }
        QTRY_COMPARE(first->property("look").toReal(), 1.0);
        QCOMPARE(find(second, "mark")->property("color").value<QColor>().rgb(), blockingTint);

        // A removal in one window shows in the other and is stored; list changes do not move the
        // spring. The last one brings the empty notice.
        setBlocking(false);
        QTRY_COMPARE(second->property("look").toReal(), 0.0);
        QSignalSpy lookChanges(second, SIGNAL(lookChanged()));
        click(removeButton(first, "org.example.Alpha"));
        QTRY_COMPARE(rowLabels(second), QStringList{"org.example.Beta"});
        QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Beta"});
        click(removeButton(second, "org.example.Beta"));
        QTRY_COMPARE(rowLabels(first), QStringList());
        QVERIFY(find(first, "notice")->isVisible());
        QCOMPARE(lookChanges.count(), 0);

        QTest::keyClick(second->window(), Qt::Key_Q, Qt::ControlModifier); // Ctrl+Q quits
        QCOMPARE(quit.count(), 1);
    }

    void keyboardAndAccessibleNames()
    {
        setList({"org.example.Alpha", "org.example.Beta"});
        QQuickItem *root = openView();
        const QList<QPair<QQuickItem *, QString>> named{
                {find(root, "addButton"), QStringLiteral("Add App…")},
                {removeButton(root, "org.example.Alpha"),
                 QStringLiteral("Remove org.example.Alpha")},
                {find(root, "statusLine"), notBlockedStatus},
                {find(root, "mark"), QStringLiteral("Vorn")},
        };
        for (const auto &[item, name] : named)
            QCOMPARE(QQmlProperty(item, "Accessible.name", qmlContext(item)).read().toString(),
                     name);

        // Tab reaches every button in order; Space presses the focused one (Beta's "Remove").
        root->window()->requestActivate();
        QTRY_VERIFY(root->window()->isActive());
        for (QQuickItem *button :
             {named[0].first, named[1].first, removeButton(root, "org.example.Beta")}) {
            QTest::keyClick(root->window(), Qt::Key_Tab);
            QTRY_VERIFY(button->hasActiveFocus());
        }
        QTest::keyClick(root->window(), Qt::Key_Space);
        QTRY_COMPARE(m_app->blockList()->sortedBundleIDs(), QStringList{"org.example.Alpha"});
    }

    void germanTexts()
    {
        QVERIFY(VornUi::installTranslation(QLocale(QLocale::German, QLocale::Germany)));
        QCOMPARE(text(openView(), "addButton"), QStringLiteral("App hinzufügen…"));
        // There is no English translation: the texts are the keys again.
        VornUi::installTranslation(QLocale(QLocale::English, QLocale::UnitedStates));
    }

    void pairPhone()
    {
        const auto key = RecordSignature::generateKey();
        const QString fingerprint = RecordSignature::fingerprint(key->spkiDer);
        const QByteArray offer = "{\"name\":\"Pocket\",\"offeredAt\":1,\"publicKey\":\""
                + key->spkiDer.toBase64() + "\"}";
        QVERIFY(TestHome::writeFile(
                m_home->cloudFolder() + '/' + RecordSignature::offerKey(fingerprint), offer));
        QQuickItem *root = openView();
        QVERIFY(!find(root, "phoneOnlyLine")->isVisible());
        click(find(root, "pairButton"));
        QQuickItem *sheet = root->window()->contentItem();
        QTRY_VERIFY(!findAll(sheet, "offer:" + fingerprint).isEmpty());
        click(find(find(sheet, "offer:" + fingerprint), "pairOffer"));
        click(find(sheet, "confirmPairing"));
        QTRY_VERIFY(text(sheet, "pairingAnswer").contains("Recovery code, shown only now: "));
        QVERIFY(find(root, "phoneOnlyLine")->isVisible());
        screenshot(root->window(), QStringLiteral("vornview-paired"));

        setBlocking(true);
        QTRY_VERIFY(!find(root, "pairButton")->isEnabled());
        setBlocking(false);
        QVERIFY(m_app->appBlocker()
                        ->pairingRequest("unpair " + fingerprint.toUtf8())
                        .startsWith("ok"));
        QVERIFY(!find(root, "phoneOnlyLine")->isVisible());
    }

    void sessionLine() // last: it leaves a lock behind
    {
        setBlocking(true);
        QQuickItem *root = openView();
        QVERIFY(!find(root, "sessionLine")->isVisible());
        // A running window follows a locked session that starts.
        const double endsAt = ReferenceDate::now() + 1800;
        m_app->appBlocker()->applySyncedState({true, {}, ReferenceDate::now(), endsAt, true});
        const QDateTime until = ReferenceDate::toDateTime(endsAt).toLocalTime();
        QTRY_COMPARE(text(root, "sessionLine"), "Locked until " + until.toString("HH:mm"));
        QVERIFY(find(root, "sessionLine")->isVisible());
        screenshot(root->window(), QStringLiteral("vornview-session-locked"));
        // A lock ends after 24 hours even when the session runs on: the line tells the lock's end.
        const double updatedAt = ReferenceDate::now();
        m_app->appBlocker()->applySyncedState({true, {}, updatedAt, updatedAt + 30 * 3600, true});
        const QDateTime cap = ReferenceDate::toDateTime(updatedAt + 24 * 3600).toLocalTime();
        QTRY_COMPARE(text(root, "sessionLine"), "Locked until " + cap.toString("HH:mm"));
    }

private:
    QQuickItem *openView()
    {
        auto *view = qobject_cast<QQuickView *>(m_app->openWindow());
        return view && QTest::qWaitForWindowExposed(view) ? view->rootObject() : nullptr;
    }
    void setBlocking(bool blocking)
    {
        m_app->appBlocker()->applySyncedState(SyncedBlockState{blocking, {}, 0, {}, {}});
    }
    void setList(const QStringList &ids)
    {
        m_app->blockList()->setBlockedBundleIDs(QSet<QString>(ids.cbegin(), ids.cend()));
        m_app->blockList()->save();
    }
    static QStringList rowLabels(QQuickItem *root)
    {
        QStringList texts; // the visible ones, in the column's order
        for (QQuickItem *label : findAll(root, QStringLiteral("rowLabel"))) {
            if (label->isVisible())
                texts << label->property("text").toString();
        }
        return texts;
    }
    static QString text(QQuickItem *root, const QString &name)
    {
        return find(root, name)->property("text").toString();
    }
    static QQuickItem *removeButton(QQuickItem *root, const QString &id)
    {
        return find(find(root, "row:" + id), "removeButton");
    }

    std::unique_ptr<TestHome> m_home = std::make_unique<TestHome>(); // before the application
    std::unique_ptr<Platform::Services> m_services = std::make_unique<Platform::Services>();
    std::unique_ptr<VornApplication> m_app = std::make_unique<VornApplication>(m_services->lend());
};

QTEST_MAIN(tst_VornView)
#include "tst_vornview.moc"
