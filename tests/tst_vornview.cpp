#include "vornuitest.h"

#include "appblocker.h"
#include "assets.h"
#include "blocklist.h"
#include "syncedblockstate.h"
#include "vornapplication.h"
#include "vornui.h"

#include <QGuiApplication>
#include <QLocale>
#include <QPalette>
#include <QQmlContext>
#include <QQmlProperty>
#include <QQuickView>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <memory>

using namespace VornUiTest;

// The main window: its four looks, the row order, removal, the picker flag, the spring, the two
// colour schemes, the German texts, keyboard use, two windows on one blocker and the reopened
// window after the last one closed. Runs the real shell, blocker and block list in a private home.
class TestVornView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void looks_data();
    void looks();
    void removeUpdatesListAndDefaults();
    void blockingChangeMovesWithTheSpring();
    void listChangeIsNotAnimated();
    void addAppOpensThePickerAgainAfterClosing();
    void followsTheDesktopColourScheme();
    void germanTexts();
    void keyboardReachesEveryButton();
    void everyControlHasAnAccessibleName();
    void twoWindowsShowOneBlocker();
    void closingTheLastWindowKeepsTheBlocker();
    void windowShortcuts();

private:
    QQuickView *openView();
    void setBlocking(bool blocking);
    void setList(const QStringList &ids);
    static QStringList rowLabels(QQuickItem *root);
    static QList<QQuickItem *> removeButtons(QQuickItem *root);

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<VornApplication> m_app;
};

void TestVornView::initTestCase()
{
    m_home = std::make_unique<TestHome>();
    m_app = std::make_unique<VornApplication>();
    QVERIFY(!m_app->appBlocker()->isBlocking());
}

void TestVornView::cleanupTestCase()
{
    m_app.reset();
}

void TestVornView::init()
{
    m_app->closeWindows();
    QTRY_VERIFY(m_app->windows().isEmpty());
    setBlocking(false);
    setList({});
}

QQuickView *TestVornView::openView()
{
    auto *view = qobject_cast<QQuickView *>(m_app->openWindow());
    if (view && !QTest::qWaitForWindowExposed(view))
        return nullptr;
    return view;
}

void TestVornView::setBlocking(bool blocking)
{
    // The blocker's own main-thread step for a state that names this computer.
    SyncedBlockState state;
    state.isBlocking = blocking;
    m_app->appBlocker()->applySyncedState(state);
}

void TestVornView::setList(const QStringList &ids)
{
    BlockList::shared()->setBlockedBundleIDs(QSet<QString>(ids.cbegin(), ids.cend()));
    BlockList::shared()->save();
}

QStringList TestVornView::rowLabels(QQuickItem *root)
{
    // Top to bottom, as the user reads them.
    QList<QQuickItem *> labels = findAll(root, QStringLiteral("rowLabel"));
    std::sort(labels.begin(), labels.end(), [](QQuickItem *a, QQuickItem *b) {
        return a->mapToScene({0, 0}).y() < b->mapToScene({0, 0}).y();
    });
    QStringList texts;
    for (QQuickItem *label : labels) {
        if (label->isVisible())
            texts << label->property("text").toString();
    }
    return texts;
}

QList<QQuickItem *> TestVornView::removeButtons(QQuickItem *root)
{
    return findAll(root, QStringLiteral("removeButton"));
}

void TestVornView::looks_data()
{
    QTest::addColumn<bool>("blocking");
    QTest::addColumn<QStringList>("ids");
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<QString>("notice");

    const QString emptyNotice = QStringLiteral(
            "No apps blocked yet. Add apps below — they'll be closed automatically whenever your "
            "iPhone is blocking.");
    const QString lockNotice = QStringLiteral(
            "Locked while Vorn is active — turn blocking off on your iPhone to change this list.");
    // Plain string order: case-sensitive, upper case first, no locale rules.
    const QStringList ids{"com.b", "Com.a", "com.a"};
    const QStringList rows{"Com.a", "com.a", "com.b"};

    QTest::newRow("not blocking, empty") << false << QStringList() << QStringList() << emptyNotice;
    QTest::newRow("not blocking, listed") << false << ids << rows << QString();
    QTest::newRow("blocking, empty") << true << QStringList() << QStringList() << lockNotice;
    QTest::newRow("blocking, listed") << true << ids << rows << lockNotice;
    QTest::newRow("not installed identifier") << false << QStringList{"org.example.Gone"}
                                              << QStringList{"org.example.Gone"} << QString();
}

void TestVornView::looks()
{
    QFETCH(bool, blocking);
    QFETCH(QStringList, ids);
    QFETCH(QStringList, rows);
    QFETCH(QString, notice);

    setList(ids);
    setBlocking(blocking);
    QQuickView *view = openView();
    QVERIFY(view);
    QQuickItem *root = view->rootObject();
    // A window opens in the current state: no animation into it.
    QCOMPARE(root->property("look").toReal(), blocking ? 1.0 : 0.0);

    QCOMPARE(find(root, "statusLine")->property("text").toString(),
             blocking ? QStringLiteral("Blocked — controlled by your iPhone")
                      : QStringLiteral("Not blocked — controlled by your iPhone"));
    QCOMPARE(find(root, "mark")->property("color").value<QColor>().rgb(),
             blocking ? qRgb(0xF8, 0x5A, 0x3B) : qRgb(0x1A, 0xCD, 0x81));
    const Assets assets;
    QCOMPARE(root->property("color").value<QColor>().rgba(),
             assets.color(blocking ? "BlockingBackground" : "NonBlockingBackground").rgba());

    QQuickItem *noticeItem = find(root, "notice");
    QCOMPARE(noticeItem->property("text").toString(), notice);
    QCOMPARE(noticeItem->isVisible(), !notice.isEmpty());

    QCOMPARE(rowLabels(root), rows);
    QCOMPARE(find(root, "addButton")->isEnabled(), !blocking);
    const QList<QQuickItem *> removes = removeButtons(root);
    QCOMPARE(removes.size(), rows.size());
    for (QQuickItem *button : removes)
        QCOMPARE(button->isEnabled(), !blocking);
    if (blocking && !rows.isEmpty()) {
        // The lock notice stands between the title row and the rows.
        QVERIFY(noticeItem->mapToScene({0, noticeItem->height()}).y()
                <= find(root, "rowLabel")->mapToScene({0, 0}).y());
    }

    QString name = QString::fromLatin1(QTest::currentDataTag());
    name.replace(QStringLiteral(", "), QStringLiteral("-"))
            .replace(QLatin1Char(' '), QLatin1Char('-'));
    screenshot(view, QStringLiteral("vornview-") + name);
}

void TestVornView::removeUpdatesListAndDefaults()
{
    setList({"org.example.Alpha", "org.example.Beta"});
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();

    QQuickItem *alphaRow = find(root, "row:org.example.Alpha");
    QVERIFY(alphaRow);
    click(find(alphaRow, "removeButton"));
    QTRY_COMPARE(rowLabels(root), QStringList{"org.example.Beta"});
    QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Beta"});
    QVERIFY(!BlockList::shared()->contains("org.example.Alpha"));

    // The last one: the rows go, the empty notice comes, and an empty array is stored.
    click(find(find(root, "row:org.example.Beta"), "removeButton"));
    QTRY_COMPARE(rowLabels(root), QStringList());
    QVERIFY(find(root, "notice")->isVisible());
    QCOMPARE(m_home->storedBlockList(), QStringList());
    QVERIFY(m_home->defaults().value("blockedBundleIDs").isArray());
}

void TestVornView::blockingChangeMovesWithTheSpring()
{
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    QQuickItem *mark = find(root, "mark");

    setBlocking(true);
    // The state itself changes at once; only its look moves.
    QVERIFY(!find(root, "addButton")->isEnabled());
    QCOMPARE(find(root, "statusLine")->property("text").toString(),
             QStringLiteral("Blocked — controlled by your iPhone"));

    // Sample the look frame by frame: it rises steadily to 1 and never overshoots, and the tint
    // passes through colours between the two.
    qreal previous = root->property("look").toReal();
    bool sawBetween = false;
    QElapsedTimer timer;
    timer.start();
    while (root->property("look").toReal() < 1.0 && timer.elapsed() < 5000) {
        QTest::qWait(5);
        const qreal look = root->property("look").toReal();
        QVERIFY2(look >= previous && look <= 1.0, qPrintable(QString::number(look)));
        const QColor tint = mark->property("color").value<QColor>();
        if (look > 0.05 && look < 0.95) {
            sawBetween = true;
            QVERIFY(tint.rgb() != qRgb(0x1A, 0xCD, 0x81) && tint.rgb() != qRgb(0xF8, 0x5A, 0x3B));
        }
        previous = look;
    }
    QCOMPARE(root->property("look").toReal(), 1.0);
    QVERIFY(sawBetween);
    QCOMPARE(mark->property("color").value<QColor>().rgb(), qRgb(0xF8, 0x5A, 0x3B));
}

void TestVornView::listChangeIsNotAnimated()
{
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    QSignalSpy lookChanges(root, SIGNAL(lookChanged()));
    setList({"org.example.Alpha"});
    // The row and the notice follow the set at once, and the spring stays where it is.
    QCOMPARE(rowLabels(root), QStringList{"org.example.Alpha"});
    QVERIFY(!find(root, "notice")->isVisible());
    QTest::qWait(100);
    QCOMPARE(lookChanges.count(), 0);
}

void TestVornView::addAppOpensThePickerAgainAfterClosing()
{
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    QObject *picker = root->findChild<QObject *>("picker");
    QVERIFY(picker);
    QQuickItem *overlay = view->contentItem();
    QVERIFY(!root->property("showAppPicker").toBool());

    for (int round = 0; round < 2; ++round) {
        click(find(root, "addButton"));
        QTRY_VERIFY(picker->property("opened").toBool());
        QVERIFY(root->property("showAppPicker").toBool());
        click(find(overlay, "doneButton"));
        QTRY_VERIFY(!picker->property("visible").toBool());
        QVERIFY(!root->property("showAppPicker").toBool());
    }

    // Escape dismisses the sheet the same way.
    click(find(root, "addButton"));
    QTRY_VERIFY(picker->property("opened").toBool());
    QTest::keyClick(view, Qt::Key_Escape);
    QTRY_VERIFY(!picker->property("visible").toBool());
    QVERIFY(!root->property("showAppPicker").toBool());
}

void TestVornView::followsTheDesktopColourScheme()
{
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    const QPalette original = QGuiApplication::palette();

    QPalette dark = original;
    dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x22));
    dark.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xee));
    QGuiApplication::setPalette(dark);
    QTRY_COMPARE(root->property("color").value<QColor>().rgba(),
                 Assets::color("NonBlockingBackground", true).rgba());
    QVERIFY(Assets::color("NonBlockingBackground", true)
            != Assets::color("NonBlockingBackground", false));
    screenshot(view, QStringLiteral("vornview-dark"));

    QGuiApplication::setPalette(original);
    QTRY_COMPARE(root->property("color").value<QColor>().rgba(),
                 Assets::color("NonBlockingBackground", false).rgba());
}

void TestVornView::germanTexts()
{
    QVERIFY(VornUi::installTranslation(QLocale(QLocale::German, QLocale::Germany)));
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    QCOMPARE(find(root, "statusLine")->property("text").toString(),
             QStringLiteral("Nicht blockiert — gesteuert von deinem iPhone"));
    QCOMPARE(find(root, "addButton")->property("text").toString(),
             QStringLiteral("App hinzufügen…"));

    // Without a translation the texts are the keys themselves, to the byte.
    QVERIFY(!VornUi::installTranslation(QLocale(QLocale::English, QLocale::UnitedStates)));
    m_app->closeWindows();
    QTRY_VERIFY(m_app->windows().isEmpty());
    root = openView()->rootObject();
    QCOMPARE(find(root, "addButton")->property("text").toString().toUtf8(),
             QByteArray("Add App\xE2\x80\xA6"));
}

void TestVornView::keyboardReachesEveryButton()
{
    setList({"org.example.Alpha", "org.example.Beta"});
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    view->requestActivate();
    QTRY_VERIFY(view->isActive());

    QList<QQuickItem *> expected{find(root, "addButton"),
                                 find(find(root, "row:org.example.Alpha"), "removeButton"),
                                 find(find(root, "row:org.example.Beta"), "removeButton")};
    for (QQuickItem *button : expected) {
        QTest::keyClick(view, Qt::Key_Tab);
        QTRY_VERIFY2(button->hasActiveFocus(), qPrintable(view->activeFocusItem()->objectName()));
    }
    // Space presses the focused "Remove" (Beta's).
    QTest::keyClick(view, Qt::Key_Space);
    QTRY_COMPARE(BlockList::shared()->sortedBundleIDs(), QStringList{"org.example.Alpha"});
    QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Alpha"});
}

void TestVornView::everyControlHasAnAccessibleName()
{
    setList({"org.example.Alpha"});
    QQuickView *view = openView();
    QQuickItem *root = view->rootObject();
    const QList<QPair<QQuickItem *, QString>> controls{
            {find(root, "addButton"), QStringLiteral("Add App…")},
            {find(root, "removeButton"), QStringLiteral("Remove org.example.Alpha")},
            {find(root, "statusLine"), QStringLiteral("Not blocked — controlled by your iPhone")},
            {find(root, "mark"), QStringLiteral("Vorn")},
    };
    // What a screen reader is told: the Accessible attached properties of each item.
    for (const auto &[item, name] : controls) {
        const QQmlProperty accessibleName(item, QStringLiteral("Accessible.name"),
                                          qmlContext(item));
        QVERIFY(accessibleName.isValid());
        QCOMPARE(accessibleName.read().toString(), name);
    }
}

void TestVornView::twoWindowsShowOneBlocker()
{
    setList({"org.example.Alpha"});
    QQuickItem *first = openView()->rootObject();
    QQuickItem *second = openView()->rootObject();
    QCOMPARE(m_app->windows().size(), 2);

    setBlocking(true);
    for (QQuickItem *root : {first, second}) {
        QCOMPARE(find(root, "statusLine")->property("text").toString(),
                 QStringLiteral("Blocked — controlled by your iPhone"));
        QVERIFY(!find(root, "addButton")->isEnabled());
    }
    setBlocking(false);
    // A change made in one window shows in the other: both observe the one block list.
    click(find(find(first, "row:org.example.Alpha"), "removeButton"));
    QTRY_COMPARE(rowLabels(second), QStringList());
    QVERIFY(find(second, "notice")->isVisible());
}

void TestVornView::closingTheLastWindowKeepsTheBlocker()
{
    AppBlocker *blocker = m_app->appBlocker();
    QQuickView *view = openView();
    QPointer<QQuickView> closed = view;
    view->close();
    QTRY_VERIFY(closed.isNull());
    QVERIFY(m_app->windows().isEmpty());

    // The blocker still follows the phone with no window open; a reopened window is a fresh view
    // that shows the current state at once, without the sheet.
    setBlocking(true);
    QCOMPARE(m_app->appBlocker(), blocker);
    m_app->reopen();
    QCOMPARE(m_app->windows().size(), 1);
    auto *reopened = qobject_cast<QQuickView *>(m_app->windows().constFirst());
    QQuickItem *root = reopened->rootObject();
    QCOMPARE(root->property("look").toReal(), 1.0);
    QVERIFY(!root->property("showAppPicker").toBool());
    QCOMPARE(find(root, "statusLine")->property("text").toString(),
             QStringLiteral("Blocked — controlled by your iPhone"));

    // Reopening with a window open brings that window forward instead of adding one.
    m_app->reopen();
    QCOMPARE(m_app->windows().size(), 1);
}

void TestVornView::windowShortcuts()
{
    QQuickView *view = openView();
    QSignalSpy quit(m_app.get(), &VornApplication::quitRequested);

    // Ctrl+N opens a second window on the same blocker, Ctrl+W closes one, Ctrl+Q quits.
    QTest::keyClick(view, Qt::Key_N, Qt::ControlModifier);
    QCOMPARE(m_app->windows().size(), 2);
    QPointer<QQuickView> closed = view;
    QTest::keyClick(view, Qt::Key_W, Qt::ControlModifier);
    QTRY_VERIFY(closed.isNull());
    QCOMPARE(m_app->windows().size(), 1);
    QCOMPARE(quit.count(), 0);
    QTest::keyClick(m_app->windows().constFirst(), Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(quit.count(), 1);
}

QTEST_MAIN(TestVornView)
#include "tst_vornview.moc"
