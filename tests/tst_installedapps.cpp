#include "desktopentry_linux.h"
#include "installedapp.h"
#include "testhome.h"

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

namespace {

// One file of a test tree: "<folder>/<path>\n<contents>", folder "a" or "b"; a path ending in
// "/" is a directory.
QString file(const char *folderAndPath, const QString &contents = {})
{
    return QLatin1String(folderAndPath) + QLatin1Char('\n') + contents;
}

QString app(const QString &nameLines)
{
    return QStringLiteral("[Desktop Entry]\nType=Application\n") + nameLines + QLatin1Char('\n');
}

void writeTree(const QString &root, const QStringList &files)
{
    for (const QString &spec : files) {
        const qsizetype newline = spec.indexOf(QLatin1Char('\n'));
        const QString relative = spec.left(newline);
        const QString folder = relative.section(QLatin1Char('/'), 0, 0);
        const QString path = root + QLatin1Char('/') + folder + QStringLiteral("/applications/")
                + relative.section(QLatin1Char('/'), 1);
        if (path.endsWith(QLatin1Char('/'))) {
            QVERIFY(QDir().mkpath(path));
            continue;
        }
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly));
        // "<FF>" stands for a byte that is never valid UTF-8.
        out.write(spec.mid(newline + 1).toUtf8().replace("<FF>", "\xff"));
    }
}

} // namespace

class TestInstalledApps : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void scan_data();
    void scan();
    void fifoEntryIsSkippedWithoutBlocking();
    void folders_data();
    void folders();
    void iconName_data();
    void iconName();

private:
    TestHome m_home;
};

void TestInstalledApps::initTestCase()
{
    // The collation locale is fixed at start-up; make the expected orders independent of the
    // locale the tests happen to run under.
    QLocale::setDefault(QLocale::c());
}

void TestInstalledApps::init()
{
    for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
        qunsetenv(name);
    qputenv("LANG", "C.UTF-8");
}

void TestInstalledApps::scan_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("environment");
    // "id|name|path of the entry below the temporary folder", in result order
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("same id in both folders: the first folder's name and path")
            << QStringList{file("b/foo.desktop", app("Name=Second")),
                           file("a/foo.desktop", app("Name=First"))}
            << QStringList{} << QStringList{"foo|First|a/applications/foo.desktop"};
    QTest::newRow("Hidden masks the same id in later folders, and only that id")
            << QStringList{file("a/foo.desktop", app("Name=Gone\nHidden=true")),
                           file("b/foo.desktop", app("Name=Foo")),
                           file("b/bar.desktop", app("Name=Bar"))}
            << QStringList{} << QStringList{"bar|Bar|b/applications/bar.desktop"};
    QTest::newRow("a bare Hidden entry without Type masks too")
            << QStringList{file("a/foo.desktop", "[Desktop Entry]\nHidden=true\n"),
                           file("b/foo.desktop", app("Name=Foo"))}
            << QStringList{} << QStringList{};
    QTest::newRow("NoDisplay entries are listed")
            << QStringList{file("a/helper.desktop", app("Name=Helper\nNoDisplay=true"))}
            << QStringList{} << QStringList{"helper|Helper|a/applications/helper.desktop"};

    const QString translated = app("Name=Calculator\nName[de]=Rechner\nName[fr]=Calculatrice");
    QTest::newRow("Name[de] under LANG=de_DE.UTF-8")
            << QStringList{file("a/calc.desktop", translated)} << QStringList{"LANG=de_DE.UTF-8"}
            << QStringList{"calc|Rechner|a/applications/calc.desktop"};
    QTest::newRow("LC_ALL wins over LANG")
            << QStringList{file("a/calc.desktop", translated)}
            << QStringList{"LANG=de_DE.UTF-8", "LC_ALL=fr_FR.UTF-8"}
            << QStringList{"calc|Calculatrice|a/applications/calc.desktop"};
    QTest::newRow("Name without a matching translation")
            << QStringList{file("a/calc.desktop", translated)} << QStringList{"LANG=es_ES.UTF-8"}
            << QStringList{"calc|Calculator|a/applications/calc.desktop"};
    QTest::newRow("only a translation that does not match: the file name")
            << QStringList{file("a/calc.desktop", app("Name[de]=Rechner"))} << QStringList{}
            << QStringList{"calc|calc|a/applications/calc.desktop"};
    QTest::newRow("no Name: every .desktop removed from the file name")
            << QStringList{file("a/my.desktop.tool.desktop", app(""))} << QStringList{}
            << QStringList{"my.desktop.tool|my.tool|a/applications/my.desktop.tool.desktop"};
    QTest::newRow("a Name that is not UTF-8 counts as missing")
            << QStringList{file("a/odd.desktop", app("Name=<FF>x"))} << QStringList{}
            << QStringList{"odd|odd|a/applications/odd.desktop"};
    QTest::newRow("empty Name is kept and sorts first")
            << QStringList{file("a/a.desktop", app("Name=Alpha")),
                           file("a/b.desktop", app("Name="))}
            << QStringList{}
            << QStringList{"b||a/applications/b.desktop", "a|Alpha|a/applications/a.desktop"};
    QTest::newRow("escapes, comments and other groups")
            << QStringList{file("a/x.desktop",
                                "# comment\n[Desktop Entry]\n# another\nType=Application\n"
                                "Name=Tab\\there\\\\\n[Desktop Action new]\nName=Action\n")}
            << QStringList{} << QStringList{"x|Tab\there\\|a/applications/x.desktop"};
    QTest::newRow("names differing only in case keep scan order")
            << QStringList{file("b/a.desktop", app("Name=MAPS")),
                           file("a/c.desktop", app("Name=Maps")),
                           file("a/b.desktop", app("Name=maps")),
                           file("b/z.desktop", app("Name=apps"))}
            << QStringList{}
            << QStringList{"z|apps|b/applications/z.desktop", "b|maps|a/applications/b.desktop",
                           "c|Maps|a/applications/c.desktop", "a|MAPS|b/applications/a.desktop"};
    QTest::newRow("order is the locale's, not code points'")
            << QStringList{file("a/1.desktop", app("Name=Zoo")),
                           file("a/2.desktop", app(QStringLiteral("Name=Äpfel"))),
                           file("a/3.desktop", app("Name=birne"))}
            << QStringList{}
            << QStringList{QStringLiteral("2|Äpfel|a/applications/2.desktop"),
                           "3|birne|a/applications/3.desktop", "1|Zoo|a/applications/1.desktop"};
    QTest::newRow("Type=Link is skipped and leaves the id to a later folder")
            << QStringList{file("a/foo.desktop",
                                "[Desktop Entry]\nType=Link\nName=Link\nURL=https://x\n"),
                           file("b/foo.desktop", app("Name=Foo"))}
            << QStringList{} << QStringList{"foo|Foo|b/applications/foo.desktop"};
    QTest::newRow("malformed files are skipped and leave the id to a later folder")
            << QStringList{file("a/foo.desktop", "this is not a key file\n"),
                           file("a/group.desktop", "[Other]\nType=Application\nName=G\n"),
                           file("a/untyped.desktop", "[Desktop Entry]\nName=U\n"),
                           file("a/empty.desktop", ""), file("b/foo.desktop", app("Name=Foo"))}
            << QStringList{} << QStringList{"foo|Foo|b/applications/foo.desktop"};
    QTest::newRow("only first-level .desktop files")
            << QStringList{file("a/Tool.DESKTOP", app("Name=Upper")),
                           file("a/readme.txt", app("Name=Text")),
                           file("a/.desktop", app("Name=NoId")), file("a/dir.desktop/"),
                           file("a/sub/inner.desktop", app("Name=Inner"))}
            << QStringList{} << QStringList{};
}

void TestInstalledApps::scan()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, environment);
    QFETCH(QStringList, expected);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    writeTree(root.path(), files);
    for (const QString &assignment : environment)
        qputenv(assignment.section(QLatin1Char('='), 0, 0).toUtf8().constData(),
                assignment.section(QLatin1Char('='), 1).toUtf8());
    // A missing folder first: it is skipped.
    qputenv("XDG_DATA_HOME", QFile::encodeName(root.path() + QStringLiteral("/missing")));
    qputenv("XDG_DATA_DIRS",
            QFile::encodeName(root.path() + QStringLiteral("/a:") + root.path()
                              + QStringLiteral("/b")));

    QStringList actual;
    for (const InstalledApp &found : loadInstalledApps())
        actual << found.id + QLatin1Char('|') + found.name + QLatin1Char('|')
                        + QDir(root.path()).relativeFilePath(found.iconPath);
    QCOMPARE(actual, expected);
}

void TestInstalledApps::fifoEntryIsSkippedWithoutBlocking()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    writeTree(root.path(), {file("a/ok.desktop", app("Name=Ok"))});
    const QString fifo = root.path() + QStringLiteral("/a/applications/pipe.desktop");
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);

    const QList<InstalledApp> apps
            = loadInstalledApps({root.path() + QStringLiteral("/a/applications")});
    QCOMPARE(apps.size(), 1);
    QCOMPARE(apps.first().id, QStringLiteral("ok"));
}

void TestInstalledApps::folders_data()
{
    QTest::addColumn<QByteArray>("dataHome"); // "-" unset
    QTest::addColumn<QByteArray>("dataDirs");
    QTest::addColumn<QStringList>("expected"); // "~" is HOME

    QTest::newRow("both set, in order")
            << QByteArray("/h") << QByteArray("/x:/y/")
            << QStringList{"/h/applications", "/x/applications", "/y/applications"};
    QTest::newRow("defaults") << QByteArray("-") << QByteArray("-")
                              << QStringList{"~/.local/share/applications",
                                             "/usr/local/share/applications",
                                             "/usr/share/applications"};
    QTest::newRow("relative and empty entries ignored")
            << QByteArray("relative") << QByteArray("rel::/x:")
            << QStringList{"~/.local/share/applications", "/x/applications"};
    QTest::newRow("a folder named twice is scanned once")
            << QByteArray("/h") << QByteArray("/x:/h/:/x")
            << QStringList{"/h/applications", "/x/applications"};
}

void TestInstalledApps::folders()
{
    QFETCH(QByteArray, dataHome);
    QFETCH(QByteArray, dataDirs);
    QFETCH(QStringList, expected);

    const auto set = [](const char *name, const QByteArray &value) {
        if (value == "-")
            qunsetenv(name);
        else
            qputenv(name, value);
    };
    set("XDG_DATA_HOME", dataHome);
    set("XDG_DATA_DIRS", dataDirs);
    expected.replaceInStrings(QStringLiteral("~"), m_home.path());
    QCOMPARE(applicationFolders(), expected);
}

void TestInstalledApps::iconName_data()
{
    QTest::addColumn<QString>("contents"); // empty: no file at all
    QTest::addColumn<QString>("icon");

    QTest::newRow("theme name") << app("Icon=org.gnome.Maps") << "org.gnome.Maps";
    QTest::newRow("legacy extension dropped") << app("Icon=gimp.png") << "gimp";
    QTest::newRow("absolute path kept") << app("Icon=/opt/x/icon.png") << "/opt/x/icon.png";
    QTest::newRow("no Icon") << app("Name=X") << "";
    QTest::newRow("not a desktop entry") << "garbage"
                                         << "";
    QTest::newRow("missing file") << ""
                                  << "";
}

void TestInstalledApps::iconName()
{
    QFETCH(QString, contents);
    QFETCH(QString, icon);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString path = root.filePath(QStringLiteral("x.desktop"));
    if (!contents.isEmpty())
        QVERIFY(TestHome::writeFile(path, contents.toUtf8()));
    QCOMPARE(iconNameForEntry(path), icon);
}

QTEST_GUILESS_MAIN(TestInstalledApps)
#include "tst_installedapps.moc"
