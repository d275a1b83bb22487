#include "applications_linux.h"
#include "testhome.h"
#include "xdgpaths_linux.h"

#include <sys/stat.h>

class tst_LinuxApplications : public QObject
{
    Q_OBJECT

    TestHome m_home;

    // "<folder>/<path>\n<contents>": a path ending in "/" is a directory, contents "<FIFO>" a FIFO.
    static QString file(const char *folderAndPath, const QString &contents = {})
    {
        return QLatin1String(folderAndPath) + QLatin1Char('\n') + contents;
    }

    // An application entry with these key lines; its icon names its folder.
    static QString app(const char *folderAndPath, const QString &keyLines)
    {
        const QString icon = QStringLiteral("\nIcon=")
                + QString::fromLatin1(folderAndPath).section(QLatin1Char('/'), 0, 0);
        return file(folderAndPath,
                    QStringLiteral("[Desktop Entry]\nType=Application\n") + keyLines + icon);
    }

    static void writeTree(const QString &root, const QStringList &files)
    {
        for (const QString &item : files) {
            const QString relative = item.section(QLatin1Char('\n'), 0, 0);
            const QString contents = item.section(QLatin1Char('\n'), 1);
            const QString path = root + QLatin1Char('/') + relative.section(QLatin1Char('/'), 0, 0)
                    + QStringLiteral("/applications/") + relative.section(QLatin1Char('/'), 1);
            QVERIFY(QDir().mkpath(path.endsWith(QLatin1Char('/')) ? path : QFileInfo(path).path()));
            if (contents == QLatin1String("<FIFO>"))
                QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
            else if (!path.endsWith(QLatin1Char('/')))
                // "<FF>" stands for a byte that is never valid UTF-8.
                QVERIFY(TestHome::writeFile(path, contents.toUtf8().replace("<FF>", "\xff")));
        }
    }

private Q_SLOTS:
    void scan_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("expected"); // "id|name|icon" in scan order; icon: the folder

        QTest::newRow("same id in both folders: the first folder's name and path")
                << QStringList{app("b/foo.desktop", "Name=Second"),
                               app("a/foo.desktop", "Name=First")}
                << QStringList{"foo|First|a"};
        QTest::newRow(
                "Hidden, even untyped, masks only its id in later folders; NoDisplay is listed")
                << QStringList{file("a/foo.desktop", "[Desktop Entry]\nHidden=true\n"),
                               app("b/foo.desktop", "Name=Foo"),
                               app("b/bar.desktop", "Name=Bar\nNoDisplay=true")}
                << QStringList{"bar|Bar|b"};
        QTest::newRow(
                "Name[de] under LANG=de_DE, else Name, else the file name less every .desktop")
                << QStringList{app("a/calc.desktop", "Name=Calculator\nName[de]=Rechner"),
                               app("a/plain.desktop", "Name=Plain\nName[fr]=Simple"),
                               app("a/only.desktop", "Name[fr]=Seul"),
                               app("a/my.desktop.tool.desktop", ""),
                               app("a/odd.desktop", "Name=<FF>x")}
                << QStringList{"calc|Rechner|a", "my.desktop.tool|my.tool|a", "odd|odd|a",
                               "only|only|a", "plain|Plain|a"};
        QTest::newRow("empty Name is kept")
                << QStringList{app("a/a.desktop", "Name=Alpha"), app("a/b.desktop", "Name=")}
                << QStringList{"a|Alpha|a", "b||a"};
        QTest::newRow("skipped entries leave the id to a later folder")
                << QStringList{file("a/foo.desktop", "[Desktop Entry]\nType=Link\nURL=https://x\n"),
                               file("a/bar.desktop", "this is not a key file\n"),
                               file("a/group.desktop", "[Other]\nType=Application\nName=G\n"),
                               file("a/untyped.desktop", "[Desktop Entry]\nName=U\n"),
                               file("a/pipe.desktop", "<FIFO>"),
                               app("b/foo.desktop", "Name=Foo"),
                               app("b/bar.desktop", "Name=Bar")}
                << QStringList{"bar|Bar|b", "foo|Foo|b"};
        const auto icon = [](const char *path, const char *line) {
            return file(path, "[Desktop Entry]\nType=Application\nName=N\n" + QString(line));
        };
        QTest::newRow("Icon: a theme name, a legacy extension dropped, a path kept, none")
                << QStringList{icon("a/maps.desktop", "Icon=org.gnome.Maps"),
                               icon("a/gimp.desktop", "Icon=gimp.png"),
                               icon("a/path.desktop", "Icon=/opt/x/icon.png"),
                               icon("a/none.desktop", "")}
                << QStringList{"gimp|N|gimp", "maps|N|org.gnome.Maps", "none|N|",
                               "path|N|/opt/x/icon.png"};
        QTest::newRow("only first-level .desktop files")
                << QStringList{app("a/Tool.DESKTOP", "Name=Upper"), app("a/.desktop", "Name=NoId"),
                               file("a/dir.desktop/"), app("a/sub/inner.desktop", "Name=Inner")}
                << QStringList{};
    }

    void scan()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, expected);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        writeTree(root.path(), files);
        for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"})
            qunsetenv(name);
        qputenv("LANG", "de_DE.UTF-8");
        qputenv("XDG_DATA_HOME", QFile::encodeName(root.filePath(QStringLiteral("a"))));
        // A missing folder is skipped.
        qputenv("XDG_DATA_DIRS", QFile::encodeName(root.path() + "/missing:" + root.filePath("b")));

        QStringList actual;
        for (const InstalledApp &found : LinuxApplications().installedApplications())
            actual << found.id + QLatin1Char('|') + found.name + QLatin1Char('|') + found.icon;
        QCOMPARE(actual, expected);
    }

    void folders()
    {
        qputenv("XDG_DATA_HOME", "relative"); // counts as unset
        qunsetenv("XDG_DATA_DIRS");
        QCOMPARE(XdgPaths::applicationFolders(),
                 QStringList({m_home.path(QStringLiteral(".local/share/applications")),
                              "/usr/local/share/applications", "/usr/share/applications"}));
        qputenv("XDG_DATA_HOME", "/h");
        qputenv("XDG_DATA_DIRS", "rel::/x:/y/"); // relative and empty entries are ignored
        QCOMPARE(XdgPaths::applicationFolders(),
                 QStringList({"/h/applications", "/x/applications", "/y/applications"}));
    }
};

QTEST_GUILESS_MAIN(tst_LinuxApplications)
#include "tst_linuxapplications.moc"
