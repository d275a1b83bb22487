#include "execguard_linux.h"
#include "guardfixture.h"

#include "recordsignature.h"
#include "referencedate.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTest>

#include <sys/mount.h>
#include <sys/stat.h>

using ExecGuardProtocol::Program;
using ExecGuardProtocol::State;

namespace {

constexpr uint blockingUser = 65534;
constexpr uint otherUser = 65533;
constexpr qint64 largeSize = 512 << 20;

bool copyProgram(const QString &from, const QString &to)
{
    QFile::remove(to);
    return QFile::copy(from, to) && ::chmod(QFile::encodeName(to).constData(), 0755) == 0;
}

// A file of `size` bytes, all holes but the last byte: quick to make, slow to hash.
bool makeLarge(const QString &path, char last)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.seek(largeSize - 1) && file.write(&last, 1) == 1
            && file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                   | QFileDevice::ExeOwner | QFileDevice::ReadOther
                                   | QFileDevice::ExeOther);
}

} // namespace

// The guard as root with real fanotify marks, the user played by forked children of another uid.
class TestVornGuard : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<GuardFixture::Guard> m_guard;
    QString m_mount;

    QByteArray file(const char *name) const
    {
        return QFile::encodeName(m_dir.filePath(QLatin1String(name)));
    }

    void startGuard()
    {
        QString output;
        QVERIFY2(m_guard->start(&output), qPrintable(output));
    }

    State blockingState() const
    {
        return State{true,
                     {Program{QStringLiteral("org.example.Blocked"),
                              m_dir.filePath(QStringLiteral("blocked"))},
                      Program{QStringLiteral("org.example.Script"),
                              m_dir.filePath(QStringLiteral("script"))},
                      Program{QStringLiteral("org.example.Large"),
                              m_dir.filePath(QStringLiteral("large"))},
                      Program{QStringLiteral("org.example.Shell"), QStringLiteral("/bin/sh")},
                      Program{QStringLiteral("org.example.Secret"),
                              m_dir.filePath(QStringLiteral("secret"))},
                      Program{QStringLiteral("org.example.Shell"),
                              m_dir.filePath(QStringLiteral("python3"))}}};
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString reason = GuardFixture::unavailableReason(); !reason.isEmpty())
            QSKIP(qPrintable(reason));
        QVERIFY(m_dir.isValid());
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QVERIFY(copyProgram(QStringLiteral("/bin/true"),
                            m_dir.filePath(QStringLiteral("blocked"))));
        QVERIFY(copyProgram(QStringLiteral("/bin/true"),
                            m_dir.filePath(QStringLiteral("renamed"))));
        QVERIFY(::link(file("blocked"), file("hardlink")) == 0);
        QVERIFY(copyProgram(QStringLiteral("/bin/true"), m_dir.filePath(QStringLiteral("secret"))));
        QVERIFY(::chmod(file("secret"), 0700) == 0);
        QVERIFY(copyProgram(QStringLiteral("/bin/false"),
                            m_dir.filePath(QStringLiteral("unrelated"))));
        QVERIFY(copyProgram(QStringLiteral("/usr/bin/python3"),
                            m_dir.filePath(QStringLiteral("python3"))));
        QFile script(m_dir.filePath(QStringLiteral("script")));
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\nexit 0\n") > 0);
        script.close();
        QVERIFY(::chmod(file("script"), 0755) == 0);
        QVERIFY(copyProgram(m_dir.filePath(QStringLiteral("script")),
                            m_dir.filePath(QStringLiteral("script-copy"))));
        QVERIFY(makeLarge(m_dir.filePath(QStringLiteral("large")), 'a'));
        QVERIFY(makeLarge(m_dir.filePath(QStringLiteral("large-copy")), 'b'));

        m_guard = std::make_unique<GuardFixture::Guard>(
                m_dir.path(), QStringList{QStringLiteral("VORN_GUARD_BOUND_MS=100")});
        startGuard();
        const auto status
                = GuardFixture::sendState(blockingUser, m_guard->socketPath(), blockingState());
        QVERIFY(status);
        QVERIFY(status->enforcing && status->blocking);
        // Never rules: the shell, the interpreter, and a file the user cannot read.
        QCOMPARE(status->programs, 3);
    }

    void cleanupTestCase()
    {
        if (!m_mount.isEmpty())
            ::umount2(QFile::encodeName(m_mount).constData(), MNT_DETACH);
        if (m_guard)
            m_guard->kill();
    }

    void refusals_data()
    {
        QTest::addColumn<uint>("uid");
        QTest::addColumn<QString>("program");
        QTest::addColumn<int>("error");
        QTest::newRow("blocked, by inode") << blockingUser << "blocked" << EPERM;
        QTest::newRow("renamed copy, by build-id") << blockingUser << "renamed" << EPERM;
        QTest::newRow("hard link") << blockingUser << "hardlink" << EPERM;
        QTest::newRow("script copy, by SHA-256") << blockingUser << "script-copy" << EPERM;
        QTest::newRow("another user") << otherUser << "renamed" << 0;
        QTest::newRow("root") << 0u << "blocked" << 0;
        QTest::newRow("unrelated program") << blockingUser << "unrelated" << 0;
        QTest::newRow("interpreter named by a blocked application")
                << blockingUser << "python3" << 0;
        QTest::newRow("shell named by a blocked application") << blockingUser << "/bin/sh" << 0;
        // Same size as a blocked program, too long to hash within the bound: allowed, and exec
        // then finds no program format in it.
        QTest::newRow("same size, slow to read") << blockingUser << "large-copy" << ENOEXEC;
    }

    void refusals()
    {
        QFETCH(uint, uid);
        QFETCH(QString, program);
        QFETCH(int, error);
        const QByteArray path = program.startsWith(QLatin1Char('/'))
                ? QFile::encodeName(program)
                : file(program.toLatin1().constData());
        QCOMPARE(GuardFixture::execAs(uid, path, "/dev/null"), error);
    }

    // The state outlives the user's connection (the child that sent it is gone) and the guard,
    // killed without a chance to clean up, until that user reports blocking off.
    void stateSurvivesRestart()
    {
        QCOMPARE(m_guard->stop(), 0);
        QCOMPARE(GuardFixture::execAs(blockingUser, file("renamed")), 0);
        startGuard();
        m_guard->kill();
        startGuard();
        QCOMPARE(GuardFixture::execAs(blockingUser, file("renamed")), EPERM);
        const auto status
                = GuardFixture::sendState(blockingUser, m_guard->socketPath(), State{false, {}});
        QVERIFY(status && !status->blocking);
        QCOMPARE(GuardFixture::execAs(blockingUser, file("renamed")), 0);
        QVERIFY(GuardFixture::sendState(blockingUser, m_guard->socketPath(), blockingState()));
    }

    // Vorn's side: the state waits for a guard that appears later, is sent again to a restarted
    // guard, and a refusal the guard reports comes out as the application's identifier.
    void clientFollowsGuard()
    {
        QTemporaryDir folder;
        QVERIFY(::chmod(QFile::encodeName(folder.path()).constData(), 0755) == 0);
        GuardFixture::Guard guard(folder.path());
        ExecGuardClient client(guard.socketPath());
        const State state{true,
                          {Program{QStringLiteral("org.example.Blocked"),
                                   m_dir.filePath(QStringLiteral("blocked"))}}};
        client.setState(state);
        client.forwardRecord({QStringLiteral("syncedBlockState"),
                              R"({"isBlocking":true,"targetDeviceIDs":["D0"],"updatedAt":1})",
                              QStringLiteral("D0")});
        QVERIFY(!client.isEnforcing());
        const QString stored = guard.stateFolder() + QStringLiteral("/0/state.json");
        for (int round = 0; round < 2; ++round) {
            QFile::remove(stored);
            QString output;
            QVERIFY2(guard.start(&output), qPrintable(output));
            QTRY_VERIFY_WITH_TIMEOUT(client.isEnforcing(), 10000);
            const auto storedBytes = [&stored] {
                QFile file(stored);
                return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            };
            QTRY_VERIFY(storedBytes().contains("org.example.Blocked")
                        && storedBytes().contains(R"("deviceID":"D0")"));
            guard.kill();
            QTRY_VERIFY(!client.isEnforcing());
        }
        // A guard stand-in on the socket reports a refusal.
        const QString fake = folder.filePath(QStringLiteral("fake.socket"));
        const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, QFile::encodeName(fake).constData());
        QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0
                && ::listen(listener, 1) == 0);
        ExecGuardClient fakeClient(fake);
        QSignalSpy refused(&fakeClient, &ExecGuardClient::refused);
        const int peer = ::accept(listener, nullptr, nullptr);
        const QByteArray refusal = ExecGuardProtocol::encode(ExecGuardProtocol::Refusal{
                QStringLiteral("org.example.Blocked"), QStringLiteral("/x"), 7});
        QVERIFY(::send(peer, refusal.constData(), size_t(refusal.size()), 0) == refusal.size());
        QTRY_COMPARE(refused.size(), 1);
        QCOMPARE(refused.first().first().toString(), QStringLiteral("org.example.Blocked"));
        ::close(peer);
        ::close(listener);
    }

    // Vorn's client hands over the paired phones at each connection and an unpairing once.
    void clientHandsOverPairings()
    {
        QTemporaryDir folder;
        QVERIFY(::chmod(QFile::encodeName(folder.path()).constData(), 0755) == 0);
        GuardFixture::Guard guard(folder.path());
        const std::optional<RecordSignature::KeyPair> key = RecordSignature::generateKey();
        QVERIFY(key);
        const QString fingerprint = RecordSignature::fingerprint(key->spkiDer);
        ExecGuardClient client(guard.socketPath());
        client.setState(State{false, {}});
        client.setPairings(
                {{QStringLiteral("pair"), key->spkiDer, "salt", "hash", fingerprint, {}}});
        const QString stored = guard.stateFolder() + QStringLiteral("/0/state.json");
        const auto paired = [&stored, &fingerprint] {
            QFile file(stored);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains(fingerprint.toUtf8());
        };
        for (int round = 0; round < 2; ++round) { // the second: a guard that lost its state
            QFile::remove(stored);
            QString output;
            QVERIFY2(guard.start(&output), qPrintable(output));
            QTRY_VERIFY_WITH_TIMEOUT(client.isEnforcing(), 10000);
            QTRY_VERIFY(paired());
            guard.kill();
            QTRY_VERIFY(!client.isEnforcing());
        }
        client.setPairings({});
        QString output;
        QVERIFY2(guard.start(&output), qPrintable(output));
        QTRY_VERIFY_WITH_TIMEOUT(client.isEnforcing(), 10000);
        QTRY_VERIFY(!paired());
    }

    void newMountIsCovered()
    {
        m_mount = m_dir.filePath(QStringLiteral("mount"));
        QVERIFY(QDir().mkpath(m_mount));
        if (::mount("vorn-guard-test", QFile::encodeName(m_mount).constData(), "tmpfs", 0,
                    "mode=0755")
            != 0)
            QSKIP(qPrintable(QStringLiteral("cannot mount a tmpfs: %1")
                                     .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        const QString copy = m_mount + QStringLiteral("/copy");
        QVERIFY(copyProgram(QStringLiteral("/bin/true"), copy));
        QTRY_COMPARE_WITH_TIMEOUT(GuardFixture::execAs(blockingUser, QFile::encodeName(copy)),
                                  EPERM, 10000);
    }

    // With forwarded records the guard times a locked session itself: neither the client's "off"
    // nor a forged record ends it, and it ends on time with no client connected.
    void lockedSession()
    {
        const double now = ReferenceDate::now(), endsAt = now + 3;
        const auto record = [&](const char *blocking, double updatedAt) {
            return ExecGuardProtocol::encode(ExecGuardProtocol::Record{
                    QStringLiteral("syncedBlockState"),
                    R"({"targetDeviceIDs":["D1"],"locked":true,"isBlocking":)"
                            + QByteArray(blocking) + R"(,"updatedAt":)"
                            + QByteArray::number(updatedAt, 'f', 3) + R"(,"endsAt":)"
                            + QByteArray::number(endsAt, 'f', 3) + '}',
                    QStringLiteral("D1")});
        };
        const QString socket = m_guard->socketPath();
        GuardFixture::sendState(otherUser, socket, blockingState(), {record("true", now)});
        const auto status = GuardFixture::sendState(otherUser, socket, State{false, {}},
                                                    {record("false", now + 1)});
        QVERIFY(status && status->blocking);
        QCOMPARE(GuardFixture::execAs(otherUser, file("renamed")), EPERM);
        QString output;
        QTRY_VERIFY(
                (output += m_guard->output()).contains("\"blocking off\" refused: locked until"));
        // The first exec the guard allows, timed from endsAt. Each refusal is a line of the
        // guard's log: the wait reads it, or the full pipe would stop the guard.
        while (GuardFixture::execAs(otherUser, file("renamed")) == EPERM
               && ReferenceDate::now() < endsAt + 10)
            QTest::qWait(1);
        const double allowedBy = ReferenceDate::now();
        QVERIFY(allowedBy < endsAt + 10);
        qInfo("session end -> guard allows: within %.0f ms of endsAt", (allowedBy - endsAt) * 1000);
    }

    // A phone paired with the guard: only what it signs, newer than the last, ends blocking.
    void pairedPhone()
    {
        const auto key = RecordSignature::generateKey();
        QVERIFY(key);
        const double now = ReferenceDate::now();
        const auto record = [&](bool blocking, double at, bool sign) {
            QJsonObject object{{"isBlocking", blocking},
                               {"targetDeviceIDs", QJsonArray{"D1"}},
                               {"updatedAt", now + at}};
            if (sign)
                object = *RecordSignature::signRecord("syncedBlockState", object, key->pkcs8Der);
            return ExecGuardProtocol::encode(ExecGuardProtocol::Record{
                    "syncedBlockState", QJsonDocument(object).toJson(), "D1"});
        };
        const auto refused = [&](const QList<QByteArray> &messages) {
            GuardFixture::sendState(otherUser, m_guard->socketPath(), State{false, {}}, messages);
            return GuardFixture::execAs(otherUser, file("renamed")) == EPERM;
        };
        QVERIFY(refused({ExecGuardProtocol::encode(ExecGuardProtocol::Pairing{
                                 "pair", key->spkiDer, "s", "h", {}, {}}),
                         record(true, 10, true)}));
        QVERIFY(refused({record(false, 20, false)})); // unsigned: still refused
        QVERIFY(!refused({record(false, 30, true)})); // signed: allowed
        QVERIFY(!refused({record(true, 10, true)})); // the older "on" again: still allowed
    }
};

QTEST_GUILESS_MAIN(TestVornGuard)
#include "tst_vornguard.moc"
