#include "applicationindex_linux.h"
#include "deployedprograms_linux.h"
#include "testhome.h"

#include <QRegularExpression>
#include <QSignalSpy>

class tst_ApplicationIndex : public QObject
{
    Q_OBJECT

    QString tree(const QString &relative) const { return m_home.path("tree/" + relative); }
    TestHome m_home;

private Q_SLOTS:
    void initTestCase()
    {
        // Launcher scripts that exec binaries by absolute path, literal or built from variables
        // assigned once at the top level; never an interpreter, the environment or what may vary.
        const QByteArray lib = tree("lib").toUtf8();
        const QByteArray execs = "#!/bin/sh\nexec \"" + lib + "/app\" \"$@\"\n  exec "
                + tree("bin/other").toUtf8() + " --x\nexec $HOME/x\nLIB=" + lib
                + "\nNAME=app2\nexport DIR=${LIB}/sub\n  exec \"$DIR/$NAME\" \"$@\"\nTWICE=" + lib
                + "\n[ -n \"$1\" ] && TWICE=/nowhere\nexec $TWICE/app3\nDYN=$(dirname \"$0\")\n"
                + "exec $DYN/app3\nif true; then\n  INNER=" + lib + "\nfi\nexec $INNER/app3\nexec "
                + tree("bin/python3").toUtf8() + " x.py\n";
        // Executables below tree/; PATH is tree/bin only.
        for (const QString path :
             {"bin/prog", "bin/other", "bin/python3", "bin/sh", "bin/flatpak", "bin/xdg-open",
              "bin/snap", "bin/50%", "with space/prog2", "scripts/run.py", "scripts/other.py",
              "real/target", "lib/app", "lib/sub/app2", "lib/app3", "scripts/launch.sh"}) {
            QVERIFY(TestHome::writeFile(tree(path), path.endsWith(".sh") ? execs : "#!/bin/sh\n"));
            QVERIFY(QFile::setPermissions(tree(path), QFile::ReadOwner | QFile::ExeOwner));
        }
        QVERIFY(QFile::link(tree("real/target"), tree("bin/link")));
        QVERIFY(QFile::link("snap", tree("bin/firefox"))); // a snap's command links to snap itself
        qputenv("PATH", QFile::encodeName(tree("bin")));
    }

    void lookups_data()
    {
        QTest::addColumn<QStringList>("entries"); // "<a or b>/<id> <key lines>", "$T" the tree
        // "program in the tree=its identifier or nothing"; "program|arg|arg=..." for a command line
        QTest::addColumn<QStringList>("programs");
        // "id=program,...", "id": no such application; "@program=script,...": scripts exec'ing it
        QTest::addColumn<QStringList>("programsOf");

        QTest::newRow("env with options and assignments, PATH, field codes; a replaced program")
                << QStringList{"a/foo Exec=env -u HOME A=1 B=\"x y\" prog --file=%f %U",
                               "a/bar Exec=env -S \"C=2 other\" --flag"}
                << QStringList{"bin/prog=foo", "bin/prog (deleted)=foo", "bin/other=bar"}
                << QStringList{"foo=bin/prog", "bar=bin/other", "prog"};
        QTest::newRow("quoted path with spaces, %% for %; symlinks resolved, on both sides")
                << QStringList{"a/foo Exec=\"$T/with space/prog2\" %U", "a/bar Exec=$T/bin/link",
                               "a/pct Exec=$T/bin/50%%"}
                << QStringList{"with space/prog2=foo", "real/target=bar", "bin/link=bar",
                               "bin/50%=pct"}
                << QStringList{"foo=with space/prog2", "bar=real/target"};
        QTest::newRow("interpreter running a script, also relative to Path=: never the interpreter")
                << QStringList{"a/foo Exec=python3 %k %i -u $T/scripts/run.py %f",
                               "a/bar Exec=python3 other.py\nPath=$T/scripts"}
                << QStringList{"scripts/run.py=foo", "scripts/other.py=bar", "bin/python3="}
                << QStringList{"foo=scripts/run.py", "bar=scripts/other.py"};
        QTest::newRow("nothing to map: interpreter without a script, missing program, bad quoting")
                << QStringList{"a/foo Exec=sh -c \"prog\"", "a/bar Exec=python3 -m other",
                               "a/baz Exec=nothere %U", "a/qux Exec=\"prog"}
                << QStringList{"bin/prog=", "bin/sh=", "bin/other=", "bin/python3="}
                << QStringList{"foo=", "bar=", "baz=", "qux="};
        QTest::newRow("TryExec is indexed; launchers are not, even behind a symlink")
                << QStringList{"a/foo TryExec=other\nExec=flatpak run org.x.Foo",
                               "a/bar Exec=xdg-open https://example.org", "a/baz Exec=firefox %u"}
                << QStringList{"bin/other=foo",
                               "bin/flatpak=", "bin/xdg-open=", "bin/snap=", "bin/firefox="}
                << QStringList{"foo=bin/other", "bar=", "baz="};
        QTest::newRow("a program named by two applications is ambiguous")
                << QStringList{"a/foo Exec=prog", "b/bar Exec=prog --other\nTryExec=other"}
                << QStringList{"bin/prog=", "bin/other=bar"}
                << QStringList{"foo=bin/prog", "bar=bin/prog,bin/other"};
        QTest::newRow("a shared program told apart by the arguments its entries give it")
                << QStringList{"a/org.x.editor Exec=prog %U",
                               "a/org.x.editor-settings Exec=prog --preferences",
                               "a/calc Exec=python3 $T/scripts/run.py --calc --fast %U",
                               "a/writer Exec=python3 $T/scripts/run.py --writer --fast %U",
                               "a/start Exec=python3 $T/scripts/run.py %U"}
                << QStringList{"bin/prog|notes.txt=org.x.editor",
                               "bin/prog|=org.x.editor",
                               "bin/prog|--preferences=org.x.editor-settings",
                               "bin/prog=",
                               "scripts/run.py|--fast|--calc|x.ods=calc",
                               "scripts/run.py|--writer=start",
                               "scripts/run.py|=start"}
                << QStringList{"org.x.editor-settings=bin/prog", "calc=scripts/run.py"};
        QTest::newRow("no argument decides: the program's name, StartupWMClass, no options")
                << QStringList{"a/org.x.prog Exec=prog --new",
                               "a/other Exec=prog --new",
                               "a/foo Exec=other --fast",
                               "a/bar Exec=other slow",
                               "a/one Exec=$T/scripts/other.py -x",
                               "a/two Exec=$T/scripts/other.py -x\nStartupWMClass=Other.PY"}
                << QStringList{"bin/prog|--new=org.x.prog", "bin/other|--fast|slow=bar",
                               "scripts/other.py|-x=two"}
                << QStringList{"two=scripts/other.py"};
        QTest::newRow("an X window class option names the entry with that StartupWMClass")
                << QStringList{"a/xt Exec=prog\nStartupWMClass=XT",
                               "a/uxt Exec=$T/scripts/other.py\nStartupWMClass=UXT",
                               "a/dup1 Exec=other\nStartupWMClass=Twice",
                               "a/dup2 Exec=other -x\nStartupWMClass=Twice"}
                << QStringList{"bin/prog|-class|UXT|-u8=uxt", "bin/prog|--class|UXT=uxt",
                               "bin/prog|-class|Unknown=xt", "bin/prog|-class|uxt=xt",
                               "bin/other|-class|Twice=dup1"}
                << QStringList{};
        QTest::newRow("a launcher script's exec'd binary, unless an entry names it")
                << QStringList{"a/launch Exec=$T/scripts/launch.sh %U", "a/own Exec=other"}
                << QStringList{"lib/app=launch", "lib/sub/app2=launch",
                               "lib/app3=", "bin/other=own"}
                << QStringList{"launch=scripts/launch.sh,lib/app,lib/sub/app2",
                               "@bin/other=scripts/launch.sh", "@lib/app="};
        QTest::newRow("equals are never told apart")
                << QStringList{"a/foo Exec=prog %U", "b/bar Exec=prog %F", "a/baz Exec=other -a",
                               "a/qux Exec=other -b"}
                << QStringList{"bin/prog|x=", "bin/prog|=", "bin/other|-a|-b=", "bin/other|="}
                << QStringList{"foo=bin/prog", "bar=bin/prog", "baz=bin/other"};
    }

    void lookups()
    {
        QFETCH(QStringList, entries);
        QFETCH(QStringList, programs);
        QFETCH(QStringList, programsOf);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        for (const QString &entry : entries) {
            QString path = entry.section(' ', 0, 0).replace('/', "/applications/");
            QString lines = "[Desktop Entry]\nType=Application\n" + entry.section(' ', 1);
            QVERIFY(TestHome::writeFile(root.filePath(path + ".desktop"),
                                        lines.replace("$T", m_home.path("tree")).toUtf8()));
        }

        const ApplicationIndex index(
                {root.filePath("a/applications"), root.filePath("b/applications")});
        for (const QString &expectation : programs) {
            const QStringList command = expectation.section('=', 0, 0).split('|');
            const QString expected = expectation.section('=', 1);
            if (command.size() == 1)
                QCOMPARE(index.bundleIDForProgram(tree(command.first())), expected);
            else
                QCOMPARE(index.bundleIDForCommand(tree(command.first()),
                                                  command.mid(1).filter(QRegularExpression("."))),
                         expected);
        }
        for (const QString &expectation : programsOf) {
            const QString id = expectation.section('=', 0, 0);
            QStringList expected;
            for (const QString &program :
                 expectation.section('=', 1).split(',', Qt::SkipEmptyParts))
                expected << tree(program);
            if (id.startsWith('@')) {
                QCOMPARE(index.scriptsExecuting(tree(id.mid(1))), expected);
                continue;
            }
            QCOMPARE(index.hasApplication(id), expectation.contains('='));
            QCOMPARE(index.programsForBundleID(id), expected);
        }
    }

    void scriptArgument_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("script");

        QTest::newRow("python with options")
                << QStringList{"/usr/bin/python3.11", "-u",    "-W", "error",
                               "/opt/x/app.py",       "--flag"}
                << "/opt/x/app.py";
        QTest::newRow("python -m") << QStringList{"python3", "-m", "pkg", "x.py"} << "";
        QTest::newRow("standard input") << QStringList{"python3", "-", "x.py"} << "";
        QTest::newRow("after --") << QStringList{"bash", "--", "-odd.sh"} << "-odd.sh";
        QTest::newRow("bash +o x")
                << QStringList{"/bin/bash", "-e", "+o", "posix", "s.sh"} << "s.sh";
        QTest::newRow("shell -c, clustered") << QStringList{"sh", "-ec", "exec x", "name"} << "";
        QTest::newRow("perl -I x")
                << QStringList{"perl", "-I", "lib", "-w", "tool.pl"} << "tool.pl";
        QTest::newRow("perl -ne") << QStringList{"perl", "-ne", "print", "file"} << "";
        QTest::newRow("node --eval") << QStringList{"node", "--eval=1", "app.js"} << "";
        QTest::newRow("only shells have + options") << QStringList{"python3", "+x.py"} << "+x.py";
        QTest::newRow("shell-like name that is no shell") << QStringList{"ssh", "host"} << "";
        QTest::newRow("interpreter alone") << QStringList{"python3"} << "";
    }

    void scriptArgument()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, script);
        QCOMPARE(ApplicationIndex::scriptArgument(arguments), script);
    }

    void rebuildsOnNewEntry_data()
    {
        QTest::addColumn<QString>("folder"); // below the temporary root, which has a/applications

        QTest::newRow("existing folder") << "a/applications";
        QTest::newRow("folder that did not exist") << "x/y/applications";
    }

    void rebuildsOnNewEntry()
    {
        QFETCH(QString, folder);

        QTemporaryDir root;
        QVERIFY(root.isValid());
        QVERIFY(QDir().mkpath(root.filePath("a/applications")));
        ApplicationIndex index({root.filePath(folder)});
        QSignalSpy changed(&index, &ApplicationIndex::changed);

        QVERIFY(TestHome::writeFile(root.filePath(folder + "/foo.desktop"),
                                    "[Desktop Entry]\nType=Application\nExec=other\n"));
        QVERIFY(changed.wait(5000));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(index.bundleIDForProgram(tree("bin/other")), QStringLiteral("foo"));
    }

    // The program files a Flatpak's or a Snap's doorbell watches; "-" marks a file that is not
    // executable.
    void deployedPrograms_data()
    {
        QTest::addColumn<QString>("bundleID");
        QTest::addColumn<QStringList>("files"); // under deployed/
        QTest::addColumn<QStringList>("expected");
        const QString flat = "flatpak/app/org.x.Flat/current/active/";
        QTest::newRow("Flatpak: bin and the metadata's command")
                << "org.x.Flat"
                << QStringList{flat + "files/bin/flat", "-" + flat + "files/bin/readme",
                               flat + "files/libexec/run", flat + "files/lib/other"}
                << QStringList{flat + "files/bin/flat", flat + "files/libexec/run"};
        QTest::newRow("Snap: bin, usr/bin and snap.yaml's commands")
                << "editor_editor"
                << QStringList{"snap/editor/current/bin/editor", "snap/editor/current/usr/bin/e2",
                               "snap/editor/current/opt/launch", "snap/editor/current/opt/not"}
                << QStringList{"snap/editor/current/bin/editor", "snap/editor/current/usr/bin/e2",
                               "snap/editor/current/opt/launch"};
        QTest::newRow("neither") << "org.x.Other" << QStringList{flat + "files/bin/flat"}
                                 << QStringList{};
    }

    void deployedPrograms()
    {
        QFETCH(QString, bundleID);
        QFETCH(QStringList, files);
        QFETCH(QStringList, expected);
        const QString root = m_home.path("deployed/" + QString(QTest::currentDataTag()) + '/');
        for (QString file : files) {
            const bool executable = !file.startsWith('-');
            file = root + file.mid(executable ? 0 : 1);
            QVERIFY(TestHome::writeFile(file, "#!/bin/sh\n"));
            QVERIFY(QFile::setPermissions(
                    file, executable ? QFile::ReadOwner | QFile::ExeOwner : QFile::ReadOwner));
        }
        TestHome::writeFile(root + "flatpak/app/org.x.Flat/current/active/metadata",
                            "[Application]\nname=org.x.Flat\ncommand=/app/libexec/run\n");
        TestHome::writeFile(root + "snap/editor/current/meta/snap.yaml",
                            "name: editor\napps:\n  editor:\n    command: $SNAP/opt/launch --x\n");
        QStringList programs
                = DeployedPrograms::forBundleID(bundleID, {{root + "flatpak"}, root + "snap"});
        programs.replaceInStrings(root, QString());
        programs.sort();
        expected.sort();
        QCOMPARE(programs, expected);
    }
};

QTEST_GUILESS_MAIN(tst_ApplicationIndex)
#include "tst_applicationindex.moc"
