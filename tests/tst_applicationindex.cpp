#include "applicationindex_linux.h"
#include "testhome.h"

#include <QSignalSpy>

namespace {

// A tree of programs under root: PATH is root/bin only, and every file is executable.
void writePrograms(const QString &root)
{
    for (const char *path :
         {"bin/prog", "bin/other", "bin/100%", "bin/python3", "bin/sh", "bin/flatpak",
          "bin/xdg-open", "bin/snap", "with space/prog2", "scripts/run.py", "real/target"}) {
        const QString full = root + QLatin1Char('/') + QLatin1String(path);
        QVERIFY(TestHome::writeFile(full, "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(full,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }
    QVERIFY(QFile::link(root + QStringLiteral("/real/target"), root + QStringLiteral("/bin/link")));
    // A snap's command is a link to snap itself.
    QVERIFY(QFile::link(QStringLiteral("snap"), root + QStringLiteral("/bin/firefox")));
}

// "<folder>/<name>.desktop\n<key lines>", folder "a" or "b" below root; "$T" in the key lines
// stands for the tree of programs.
void writeEntries(const QString &root, const QString &tree, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const qsizetype newline = entry.indexOf(QLatin1Char('\n'));
        const QString name = entry.left(newline);
        const QString path = root + QLatin1Char('/') + name.section(QLatin1Char('/'), 0, 0)
                + QStringLiteral("/applications/") + name.section(QLatin1Char('/'), 1);
        QString contents = QStringLiteral("[Desktop Entry]\nType=Application\nName=N\n")
                + entry.mid(newline + 1) + QLatin1Char('\n');
        contents.replace(QStringLiteral("$T"), tree);
        QVERIFY(TestHome::writeFile(path, contents.toUtf8()));
    }
}

QString entry(const char *name, const QString &lines)
{
    return QLatin1String(name) + QLatin1Char('\n') + lines;
}

} // namespace

class TestApplicationIndex : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void lookups_data();
    void lookups();
    void scriptArgument_data();
    void scriptArgument();
    void rebuildsWhenFoldersChange_data();
    void rebuildsWhenFoldersChange();

private:
    TestHome m_home;
};

void TestApplicationIndex::initTestCase()
{
    writePrograms(m_home.path(QStringLiteral("tree")));
    qputenv("PATH", QFile::encodeName(m_home.path(QStringLiteral("tree/bin"))));
}

void TestApplicationIndex::lookups_data()
{
    QTest::addColumn<QStringList>("entries");
    // "program below the tree=expected identifier"; an empty identifier: not mapped
    QTest::addColumn<QStringList>("programs");
    // "identifier=program,program" as programsForBundleID lists them; "!identifier=" when no
    // application has that identifier
    QTest::addColumn<QStringList>("programsOf");

    QTest::newRow("absolute path")
            << QStringList{entry("a/foo.desktop", "Exec=$T/bin/prog")}
            << QStringList{"bin/prog=foo", "bin/other="} << QStringList{"foo=bin/prog"};
    QTest::newRow("bare name through PATH")
            << QStringList{entry("a/foo.desktop", "Exec=prog --file=%f %U")}
            << QStringList{"bin/prog=foo"} << QStringList{"foo=bin/prog"};
    QTest::newRow("field codes removed before the script is found")
            << QStringList{entry("a/foo.desktop", "Exec=python3 %k %i $T/scripts/run.py %U")}
            << QStringList{"scripts/run.py=foo"} << QStringList{"foo=scripts/run.py"};
    QTest::newRow("%% is a percent sign")
            << QStringList{entry("a/foo.desktop", "Exec=\"$T/bin/100%%\" %u")}
            << QStringList{"bin/100%=foo"} << QStringList{"foo=bin/100%"};
    QTest::newRow("env with options and assignments")
            << QStringList{entry("a/foo.desktop", "Exec=env -u HOME A=1 B=\"x y\" prog %F"),
                           entry("a/bar.desktop", "Exec=env -S \"C=2 other\" --flag")}
            << QStringList{"bin/prog=foo", "bin/other=bar"}
            << QStringList{"foo=bin/prog", "bar=bin/other"};
    QTest::newRow("quoted path with spaces")
            << QStringList{entry("a/foo.desktop", "Exec=\"$T/with space/prog2\" %U")}
            << QStringList{"with space/prog2=foo"} << QStringList{"foo=with space/prog2"};
    QTest::newRow("interpreter running a script: the script, never the interpreter")
            << QStringList{entry("a/foo.desktop", "Exec=python3 -u -W ignore $T/scripts/run.py %f")}
            << QStringList{"scripts/run.py=foo", "bin/python3="}
            << QStringList{"foo=scripts/run.py"};
    QTest::newRow("relative script against Path=")
            << QStringList{entry("a/foo.desktop", "Exec=python3 run.py\nPath=$T/scripts")}
            << QStringList{"scripts/run.py=foo"} << QStringList{"foo=scripts/run.py"};
    QTest::newRow("interpreters without a script map nothing")
            << QStringList{entry("a/foo.desktop", "Exec=sh -c \"prog\""),
                           entry("a/bar.desktop", "Exec=python3 -m other")}
            << QStringList{"bin/prog=", "bin/sh=", "bin/other=", "bin/python3="}
            << QStringList{"foo=", "bar="};
    QTest::newRow("TryExec is indexed; launchers are not")
            << QStringList{entry("a/foo.desktop", "TryExec=other\nExec=flatpak run org.x.Foo"),
                           entry("a/bar.desktop", "Exec=xdg-open https://example.org")}
            << QStringList{"bin/other=foo", "bin/flatpak=", "bin/xdg-open="}
            << QStringList{"foo=bin/other", "bar="};
    QTest::newRow("symlinks resolved, on both sides")
            << QStringList{entry("a/foo.desktop", "Exec=$T/bin/link")}
            << QStringList{"real/target=foo", "bin/link=foo"} << QStringList{"foo=real/target"};
    QTest::newRow("a launcher behind a symlink is still a launcher")
            << QStringList{entry("a/foo.desktop", "Exec=firefox %u")}
            << QStringList{"bin/snap=", "bin/firefox="} << QStringList{"foo="};
    QTest::newRow("a program named by two applications is ambiguous")
            << QStringList{entry("a/foo.desktop", "Exec=prog"),
                           entry("b/bar.desktop", "Exec=prog --other\nTryExec=other")}
            << QStringList{"bin/prog=", "bin/other=bar"}
            << QStringList{"foo=bin/prog", "bar=bin/prog,bin/other"};
    QTest::newRow("first folder wins; Hidden contributes nothing but masks")
            << QStringList{entry("a/foo.desktop", "Exec=prog"),
                           entry("b/foo.desktop", "Exec=other"),
                           entry("a/bar.desktop", "Exec=python3 $T/scripts/run.py\nHidden=true"),
                           entry("b/bar.desktop", "Exec=$T/with space/prog2")}
            << QStringList{"bin/prog=foo", "bin/other=", "scripts/run.py=", "with space/prog2="}
            << QStringList{"foo=bin/prog", "!bar="};
    QTest::newRow("missing program and malformed Exec")
            << QStringList{entry("a/foo.desktop", "Exec=nothere %U"),
                           entry("a/bar.desktop", "Exec=\"prog")}
            << QStringList{"bin/prog="} << QStringList{"foo=", "bar="};
    QTest::newRow("a replaced executable still names its application")
            << QStringList{entry("a/foo.desktop", "Exec=prog")}
            << QStringList{"bin/prog (deleted)=foo"} << QStringList{"foo=bin/prog"};
}

void TestApplicationIndex::lookups()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, programs);
    QFETCH(QStringList, programsOf);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString tree = m_home.path(QStringLiteral("tree"));
    writeEntries(root.path(), tree, entries);

    const ApplicationIndex index({root.path() + QStringLiteral("/a/applications"),
                                  root.path() + QStringLiteral("/b/applications")});
    for (const QString &expectation : programs) {
        const QString program
                = tree + QLatin1Char('/') + expectation.section(QLatin1Char('='), 0, 0);
        QCOMPARE(index.bundleIDForProgram(program), expectation.section(QLatin1Char('='), 1));
    }
    for (QString expectation : programsOf) {
        const bool isApplication = !expectation.startsWith(QLatin1Char('!'));
        if (!isApplication)
            expectation.remove(0, 1);
        QCOMPARE(index.hasApplication(expectation.section(QLatin1Char('='), 0, 0)), isApplication);
        QStringList expected;
        for (const QString &program :
             expectation.section(QLatin1Char('='), 1).split(QLatin1Char(','), Qt::SkipEmptyParts))
            expected << tree + QLatin1Char('/') + program;
        QCOMPARE(index.programsForBundleID(expectation.section(QLatin1Char('='), 0, 0)), expected);
    }
}

void TestApplicationIndex::scriptArgument_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("script");

    QTest::newRow("python with options")
            << QStringList{"/usr/bin/python3.11", "-u", "-W", "error", "/opt/x/app.py", "--flag"}
            << "/opt/x/app.py";
    QTest::newRow("python -m") << QStringList{"python3", "-m", "pkg", "x.py"} << "";
    QTest::newRow("python clustered -c") << QStringList{"python3", "-Bc", "print()"} << "";
    QTest::newRow("standard input") << QStringList{"python3", "-", "x.py"} << "";
    QTest::newRow("after --") << QStringList{"bash", "--", "-odd.sh"} << "-odd.sh";
    QTest::newRow("shell -e and +o value")
            << QStringList{"/bin/bash", "-e", "+o", "posix", "s.sh"} << "s.sh";
    QTest::newRow("shell -c, also clustered") << QStringList{"sh", "-ec", "exec x", "name"} << "";
    QTest::newRow("perl -I value, then script")
            << QStringList{"perl", "-I", "lib", "-w", "tool.pl"} << "tool.pl";
    QTest::newRow("perl -ne") << QStringList{"perl", "-ne", "print", "file"} << "";
    QTest::newRow("node --eval") << QStringList{"node", "--eval=1", "app.js"} << "";
    QTest::newRow("node --require value")
            << QStringList{"node", "--require", "hook", "app.js"} << "app.js";
    QTest::newRow("only shells have + options") << QStringList{"python3", "+x.py"} << "+x.py";
    QTest::newRow("not an interpreter") << QStringList{"/usr/bin/gedit", "file.txt"} << "";
    QTest::newRow("shell-like name that is no shell") << QStringList{"ssh", "host"} << "";
    QTest::newRow("interpreter alone") << QStringList{"python3"} << "";
}

void TestApplicationIndex::scriptArgument()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, script);
    QCOMPARE(ApplicationIndex::scriptArgument(arguments), script);
}

void TestApplicationIndex::rebuildsWhenFoldersChange_data()
{
    QTest::addColumn<QString>("folder"); // below the temporary root
    QTest::addColumn<QString>("before"); // Exec= of foo.desktop before; empty: no entry
    QTest::addColumn<QString>("after"); // empty: the entry is removed
    QTest::addColumn<bool>("inPlace"); // rewritten in place rather than replaced

    QTest::newRow("new entry") << "a/applications"
                               << ""
                               << "other" << false;
    QTest::newRow("entry in a folder that did not exist") << "x/y/applications"
                                                          << ""
                                                          << "other" << false;
    QTest::newRow("entry rewritten in place") << "a/applications"
                                              << "prog"
                                              << "other" << true;
    QTest::newRow("entry removed") << "a/applications"
                                   << "other"
                                   << "" << false;
}

void TestApplicationIndex::rebuildsWhenFoldersChange()
{
    QFETCH(QString, folder);
    QFETCH(QString, before);
    QFETCH(QString, after);
    QFETCH(bool, inPlace);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    QVERIFY(QDir().mkpath(root.filePath(QStringLiteral("a/applications"))));
    const QString path = root.filePath(folder + QStringLiteral("/foo.desktop"));
    const auto contents = [](const QString &exec) {
        return QByteArray("[Desktop Entry]\nType=Application\nExec=") + exec.toUtf8() + '\n';
    };
    if (!before.isEmpty())
        QVERIFY(TestHome::writeFile(path, contents(before)));

    ApplicationIndex index({root.filePath(folder)});
    QSignalSpy changed(&index, &ApplicationIndex::changed);
    const QString other = m_home.path(QStringLiteral("tree/bin/other"));
    QCOMPARE(index.bundleIDForProgram(other), before == QLatin1String("other") ? "foo" : "");

    if (after.isEmpty()) {
        QVERIFY(QFile::remove(path));
    } else if (inPlace) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(contents(after));
    } else {
        QVERIFY(TestHome::writeFile(path, contents(after)));
    }
    QVERIFY(changed.wait(5000));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(index.bundleIDForProgram(other), after.isEmpty() ? "" : "foo");
}

QTEST_GUILESS_MAIN(TestApplicationIndex)
#include "tst_applicationindex.moc"
