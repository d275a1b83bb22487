#include "vornuitest.h"

#include "appblocker.h"
#include "assets.h"
#include "blocklist.h"
#include "syncedblockstate.h"
#include "vornapplication.h"

#include <QQuickView>
#include <QTest>

#include <memory>

using namespace VornUiTest;

// The picker sheet over a real window: the scanned rows with icons and marks, toggling by click
// and by keyboard, the lock while blocking begins and ends with the sheet open, and the rescan at
// each opening. Desktop entries and the stored defaults are real files in a private home.
class TestAppPicker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void rowsFollowTheCatalogueWithEmptyMarks();
    void clickTogglesMarkAndStoredList_data();
    void clickTogglesMarkAndStoredList();
    void locksWhileBlockingAndReleases();
    void everyOpeningScansAgain();
    void identifierWithoutRowStaysListed();
    void keyboardWalksAndTogglesRows();

private:
    void setBlocking(bool blocking);
    QQuickItem *row(const QString &id) { return find(m_view->contentItem(), "appRow:" + id); }
    QStringList rowOrder();
    void openPicker();
    bool pickerOpen() const { return m_picker->property("opened").toBool(); }

    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<VornApplication> m_app;
    QQuickView *m_view = nullptr;
    QObject *m_picker = nullptr;
};

void TestAppPicker::initTestCase()
{
    m_home = std::make_unique<TestHome>();
    // Names chosen so that the catalogue's order (by name, ignoring case) differs from the order
    // of the identifiers. "maps" has an icon in the user's icon theme, the others name icons that
    // do not exist.
    m_home->addApplication("org.example.zeta", "Archive", "org.example.no-such-icon");
    m_home->addApplication("org.example.Alpha", "maps", "vorntest-red");
    const QString theme = m_home->path() + "/data/icons/hicolor";
    QVERIFY(QDir().mkpath(theme + "/32x32/apps"));
    QFile index(theme + "/index.theme");
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("[Icon Theme]\nName=Hicolor\nDirectories=32x32/apps\n\n"
                "[32x32/apps]\nSize=32\nType=Fixed\n");
    index.close();
    QImage red(32, 32, QImage::Format_ARGB32);
    red.fill(Qt::red);
    QVERIFY(red.save(theme + "/32x32/apps/vorntest-red.png"));
    m_home->addApplication("org.example.beta", "Notes", "/nonexistent/icon.png");
    m_app = std::make_unique<VornApplication>();
}

void TestAppPicker::init()
{
    setBlocking(false);
    BlockList::shared()->setBlockedBundleIDs({});
    BlockList::shared()->save();
    m_view = qobject_cast<QQuickView *>(m_app->openWindow());
    QVERIFY(m_view);
    QVERIFY(QTest::qWaitForWindowExposed(m_view));
    m_picker = m_view->rootObject()->findChild<QObject *>("picker");
    QVERIFY(m_picker);
}

void TestAppPicker::cleanup()
{
    m_app->closeWindows();
    QTRY_VERIFY(m_app->windows().isEmpty());
}

void TestAppPicker::setBlocking(bool blocking)
{
    SyncedBlockState state;
    state.isBlocking = blocking;
    m_app->appBlocker()->applySyncedState(state);
}

void TestAppPicker::openPicker()
{
    click(find(m_view->rootObject(), "addButton"));
    QTRY_VERIFY(pickerOpen());
}

QStringList TestAppPicker::rowOrder()
{
    QList<QQuickItem *> rows;
    for (QQuickItem *item : findAll(m_view->contentItem(), "appList")) {
        const QList<QQuickItem *> children
                = item->property("contentItem").value<QQuickItem *>()->childItems();
        for (QQuickItem *child : children) {
            if (child->objectName().startsWith("appRow:") && child->isVisible())
                rows.append(child);
        }
    }
    std::sort(rows.begin(), rows.end(),
              [](QQuickItem *a, QQuickItem *b) { return a->y() < b->y(); });
    QStringList ids;
    for (QQuickItem *item : rows)
        ids << item->objectName().mid(7);
    return ids;
}

void TestAppPicker::rowsFollowTheCatalogueWithEmptyMarks()
{
    openPicker();
    QCOMPARE(rowOrder(),
             (QStringList{"org.example.zeta", "org.example.Alpha", "org.example.beta"}));
    const Assets assets;
    for (const QString &id : rowOrder()) {
        QQuickItem *mark = find(row(id), "mark");
        QCOMPARE(mark->property("source").toUrl(), QUrl("qrc:/vorn/symbols/circle.svg"));
        QCOMPARE(mark->property("color").value<QColor>(), assets.color("TextSecondary"));
        // Every row has a picture, the generic one when the entry's icon cannot be found.
        QQuickItem *icon = find(row(id), "icon");
        QTRY_COMPARE(icon->property("status").toInt(), 1); // Image.Ready
        QCOMPARE(icon->size(), QSizeF(28, 28));
        QVERIFY(icon->property("sourceSize").toSize().width() > 0);
    }
    // The theme's picture where the entry names one, a generic one elsewhere.
    const QImage shown = m_view->grabWindow();
    const auto iconCentre = [&](const QString &id) {
        QQuickItem *icon = find(row(id), "icon");
        return shown.pixelColor(icon->mapToScene({14, 14}).toPoint()).rgb();
    };
    QCOMPARE(iconCentre("org.example.Alpha"), qRgb(255, 0, 0));
    QVERIFY(iconCentre("org.example.zeta") != qRgb(255, 0, 0));
    screenshot(m_view, "apppicker-empty");
}

void TestAppPicker::clickTogglesMarkAndStoredList_data()
{
    QTest::addColumn<qreal>("where"); // fraction of the row's width
    QTest::newRow("on the name") << 0.15;
    QTest::newRow("between name and mark") << 0.7;
    QTest::newRow("on the mark") << 0.95;
}

void TestAppPicker::clickTogglesMarkAndStoredList()
{
    QFETCH(qreal, where);
    openPicker();
    QQuickItem *maps = row("org.example.Alpha");
    const QPointF point(maps->width() * where, maps->height() / 2);

    click(maps, point);
    QQuickItem *mark = find(maps, "mark");
    QTRY_COMPARE(mark->property("source").toUrl(),
                 QUrl("qrc:/vorn/symbols/checkmark.circle.fill.svg"));
    QCOMPARE(mark->property("color").value<QColor>(), Assets().color("AccentColor"));
    QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.Alpha"});
    // The window behind the sheet lists it at once.
    QCOMPARE(find(m_view->rootObject(), "rowLabel")->property("text").toString(),
             QStringLiteral("org.example.Alpha"));
    // The order of the sheet does not change.
    QCOMPARE(rowOrder(),
             (QStringList{"org.example.zeta", "org.example.Alpha", "org.example.beta"}));
    screenshot(m_view, "apppicker-selected");

    click(maps, point);
    QTRY_COMPARE(mark->property("source").toUrl(), QUrl("qrc:/vorn/symbols/circle.svg"));
    QCOMPARE(m_home->storedBlockList(), QStringList());
}

void TestAppPicker::locksWhileBlockingAndReleases()
{
    openPicker();
    QQuickItem *notes = row("org.example.beta");
    QQuickItem *notice = find(m_view->contentItem(), "lockNotice");
    QVERIFY(!notice->isVisible());

    click(notes);
    QTRY_VERIFY(BlockList::shared()->contains("org.example.beta"));

    setBlocking(true);
    QTRY_VERIFY(notice->isVisible());
    QQuickItem *list = find(m_view->contentItem(), "appList");
    QVERIFY(notice->mapToScene({0, notice->height()}).y() <= list->mapToScene({0, 0}).y());
    for (const QString &id : rowOrder())
        QCOMPARE(row(id)->opacity(), 0.5);
    screenshot(m_view, "apppicker-locked");

    // Clicks change nothing while locked, in either direction.
    click(notes);
    click(row("org.example.zeta"));
    QTest::qWait(50);
    QCOMPARE(BlockList::shared()->sortedBundleIDs(), QStringList{"org.example.beta"});
    QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.beta"});

    // Blocking ends with the sheet still open: unlocked without reopening.
    setBlocking(false);
    QTRY_VERIFY(!notice->isVisible());
    QCOMPARE(notes->opacity(), 1.0);
    click(notes);
    QTRY_COMPARE(BlockList::shared()->sortedBundleIDs(), QStringList());

    // "Done" closes the sheet whether locked or not.
    setBlocking(true);
    click(find(m_view->contentItem(), "doneButton"));
    QTRY_VERIFY(!m_picker->property("visible").toBool());
    QVERIFY(!m_view->rootObject()->property("showAppPicker").toBool());
}

void TestAppPicker::everyOpeningScansAgain()
{
    openPicker();
    QCOMPARE(rowOrder().size(), 3);
    click(find(m_view->contentItem(), "doneButton"));
    QTRY_VERIFY(!pickerOpen());

    const QString path = m_home->addApplication("org.example.Installed", "Brand New");
    openPicker();
    QCOMPARE(rowOrder(),
             (QStringList{"org.example.zeta", "org.example.Installed", "org.example.Alpha",
                          "org.example.beta"}));
    QFile::remove(path);
}

void TestAppPicker::identifierWithoutRowStaysListed()
{
    BlockList::shared()->setBlockedBundleIDs({"org.example.Gone"});
    openPicker();
    QVERIFY(findAll(m_view->contentItem(), "appRow:org.example.Gone").isEmpty());
    click(row("org.example.zeta"));
    click(row("org.example.zeta"));
    QTRY_COMPARE(m_home->storedBlockList(), QStringList{"org.example.Gone"});
}

void TestAppPicker::keyboardWalksAndTogglesRows()
{
    m_view->requestActivate();
    QTRY_VERIFY(m_view->isActive());
    openPicker();
    QQuickItem *done = find(m_view->contentItem(), "doneButton");
    QTRY_VERIFY(done->hasActiveFocus());

    // Tab goes from "Done" to each row in turn; Space and Enter toggle the focused row.
    QTest::keyClick(m_view, Qt::Key_Tab);
    QTRY_VERIFY(row("org.example.zeta")->hasActiveFocus());
    QTest::keyClick(m_view, Qt::Key_Space);
    QTRY_VERIFY(BlockList::shared()->contains("org.example.zeta"));
    QTest::keyClick(m_view, Qt::Key_Tab);
    QTRY_VERIFY(row("org.example.Alpha")->hasActiveFocus());
    QTest::keyClick(m_view, Qt::Key_Return);
    QTRY_VERIFY(BlockList::shared()->contains("org.example.Alpha"));
    QTest::keyClick(m_view, Qt::Key_Tab);
    QTRY_VERIFY(row("org.example.beta")->hasActiveFocus());
    QTest::keyClick(m_view, Qt::Key_Backtab);
    QTRY_VERIFY(row("org.example.Alpha")->hasActiveFocus());
    QTest::keyClick(m_view, Qt::Key_Space);
    QTRY_VERIFY(!BlockList::shared()->contains("org.example.Alpha"));
    QCOMPARE(m_home->storedBlockList(), QStringList{"org.example.zeta"});

    // While locked, the keyboard changes nothing either.
    setBlocking(true);
    QTest::keyClick(m_view, Qt::Key_Space);
    QTest::qWait(50);
    QCOMPARE(BlockList::shared()->sortedBundleIDs(), QStringList{"org.example.zeta"});

    QTest::keyClick(m_view, Qt::Key_Escape);
    QTRY_VERIFY(!m_picker->property("visible").toBool());
}

QTEST_MAIN(TestAppPicker)
#include "tst_apppicker.moc"
