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

static const QUrl circle(QStringLiteral("qrc:/vorn/symbols/circle.svg"));
static const QUrl checkmark(QStringLiteral("qrc:/vorn/symbols/checkmark.circle.fill.svg"));
// By name, ignoring case: Archive, maps, Notes.
static const QStringList catalogue{"org.example.zeta", "org.example.Alpha", "org.example.beta"};

// The main window and its picker sheet over the real shell, blocker and block list in a private
// home, with desktop entries.
class tst_VornView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // Icons that cannot be found: each row shows a generic one.
        m_home->addApplication("org.example.zeta", "Archive", "org.example.no-such-icon");
        m_home->addApplication("org.example.Alpha", "maps", "/nonexistent/icon.png");
        m_home->addApplication("org.example.beta", "Notes");
    }

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
        setList({"org.example.One", "org.example.Two"});
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
        click(removeButton(first, "org.example.One"));
        QTRY_COMPARE(rowLabels(second), QStringList{"org.example.Two"});
        QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Two"});
        click(removeButton(second, "org.example.Two"));
        QTRY_COMPARE(rowLabels(first), QStringList());
        QVERIFY(find(first, "notice")->isVisible());
        QCOMPARE(lookChanges.count(), 0);

        QTest::keyClick(second->window(), Qt::Key_Q, Qt::ControlModifier); // Ctrl+Q quits
        QCOMPARE(quit.count(), 1);
    }

    void keyboardAndAccessibleNames()
    {
        setList({"org.example.One", "org.example.Two"});
        QQuickItem *root = openView();
        const QList<QPair<QQuickItem *, QString>> named{
                {find(root, "addButton"), QStringLiteral("Add App…")},
                {removeButton(root, "org.example.One"), QStringLiteral("Remove org.example.One")},
                {find(root, "statusLine"), notBlockedStatus},
                {find(root, "mark"), QStringLiteral("Vorn")},
        };
        for (const auto &[item, name] : named)
            QCOMPARE(QQmlProperty(item, "Accessible.name", qmlContext(item)).read().toString(),
                     name);

        // Tab reaches every button in order; Space presses the focused one (Two's "Remove").
        root->window()->requestActivate();
        QTRY_VERIFY(root->window()->isActive());
        for (QQuickItem *button :
             {named[0].first, named[1].first, removeButton(root, "org.example.Two")}) {
            QTest::keyClick(root->window(), Qt::Key_Tab);
            QTRY_VERIFY(button->hasActiveFocus());
        }
        QTest::keyClick(root->window(), Qt::Key_Space);
        QTRY_COMPARE(m_app->blockList()->sortedBundleIDs(), QStringList{"org.example.One"});
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

    void toggleRow_data()
    {
        // A click at this fraction of the row's width; 0: the keyboard.
        QTest::addColumn<qreal>("where");
        QTest::newRow("click on the name") << 0.15;
        QTest::newRow("click between name and mark") << 0.7;
        QTest::newRow("click on the mark") << 0.95;
        QTest::newRow("keyboard") << 0.0;
    }

    void toggleRow()
    {
        QFETCH(qreal, where);
        // An identifier that has no row stays listed through every toggle.
        m_app->blockList()->setBlockedBundleIDs({"org.example.Gone"});
        QVERIFY(openView());
        openPicker();
        expectRows(catalogue);
        for (const QString &id : catalogue) {
            QCOMPARE(mark(id, "source").toUrl(), circle);
            QCOMPARE(mark(id, "color").value<QColor>(), Assets().color("TextSecondary"));
            QTRY_COMPARE(find(row(id), "icon")->property("status").toInt(), 1); // Image.Ready
        }
        screenshot(m_view, "apppicker-empty");

        QQuickItem *maps = row("org.example.Alpha");
        if (where == 0) { // from "Done", Tab walks down the rows and Backtab up
            for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Tab, Qt::Key_Backtab})
                QTest::keyClick(m_view, key);
            QTRY_VERIFY(maps->hasActiveFocus());
        }
        const auto toggle = [&](Qt::Key key) {
            where > 0 ? click(maps, {maps->width() * where, maps->height() / 2})
                      : QTest::keyClick(m_view, key);
        };
        toggle(Qt::Key_Space);
        QTRY_COMPARE(mark("org.example.Alpha", "source").toUrl(), checkmark);
        QCOMPARE(mark("org.example.Alpha", "color").value<QColor>(), Assets().color("AccentColor"));
        QCOMPARE(m_home->storedBlockList(), (QStringList{"org.example.Alpha", "org.example.Gone"}));
        expectRows(catalogue); // the order does not change
        screenshot(m_view, "apppicker-selected");

        toggle(Qt::Key_Return);
        QTRY_COMPARE(mark("org.example.Alpha", "source").toUrl(), circle);
        QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Gone"});
        QTest::keyClick(m_view, Qt::Key_Escape);
        QTRY_VERIFY(!picker("visible").toBool());
    }

    void locksWhileBlockingAndScansAtEachOpening()
    {
        QVERIFY(openView());
        openPicker();
        QQuickItem *notes = row("org.example.beta");
        QQuickItem *notice = item("lockNotice");
        click(notes);
        QTRY_COMPARE(m_home->storedBlockList(), QStringList{"org.example.beta"});

        setBlocking(true);
        QTRY_VERIFY(notice->isVisible());
        for (const QString &id : catalogue)
            QCOMPARE(row(id)->opacity(), 0.5);
        screenshot(m_view, "apppicker-locked");
        // Clicks change nothing while locked, in either direction.
        click(notes);
        click(row("org.example.zeta"));
        QCoreApplication::processEvents(); // a click is handled as it is delivered
        QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.beta"});

        // Blocking ends with the sheet still open: unlocked without reopening.
        setBlocking(false);
        QTRY_VERIFY(!notice->isVisible());
        click(notes);
        QTRY_COMPARE(m_home->storedBlockList(), QStringList());

        // "Done" closes the sheet while locked too; the next opening scans the folders again.
        setBlocking(true);
        click(item("doneButton"));
        QTRY_VERIFY(!picker("visible").toBool());
        setBlocking(false);
        const QString path = m_home->addApplication("org.example.Installed", "Brand New");
        openPicker();
        QFile::remove(path);
        expectRows({"org.example.zeta", "org.example.Installed", "org.example.Alpha",
                    "org.example.beta"});
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
        m_view = qobject_cast<QQuickView *>(m_app->openWindow());
        return m_view && QTest::qWaitForWindowExposed(m_view) ? m_view->rootObject() : nullptr;
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

    QQuickItem *item(const QString &name) { return find(m_view->contentItem(), name); }
    QQuickItem *row(const QString &id) { return item("appRow:" + id); }
    QVariant mark(const QString &id, const char *p) { return find(row(id), "mark")->property(p); }
    QVariant picker(const char *property)
    {
        return m_view->rootObject()->findChild<QObject *>("picker")->property(property);
    }

    // "Add App…" opens the sheet (again, after the sheet closed), in the active window.
    void openPicker()
    {
        m_view->requestActivate();
        QTRY_VERIFY(m_view->isActive());
        click(find(m_view->rootObject(), "addButton"));
        QTRY_VERIFY(picker("opened").toBool());
    }

    // The sheet lists exactly these rows, top to bottom.
    void expectRows(const QStringList &ids)
    {
        QCOMPARE(item("appList")->property("count").toInt(), ids.size());
        for (qsizetype i = 1; i < ids.size(); ++i)
            QVERIFY2(row(ids[i - 1])->y() < row(ids[i])->y(), qPrintable(ids[i]));
    }

    std::unique_ptr<TestHome> m_home = std::make_unique<TestHome>(); // before the application
    std::unique_ptr<Platform::Services> m_services = std::make_unique<Platform::Services>();
    std::unique_ptr<VornApplication> m_app = std::make_unique<VornApplication>(m_services->lend());
    QQuickView *m_view = nullptr; // the last window opened
};

QTEST_MAIN(tst_VornView)
#include "tst_vornview.moc"
