#include "execguard_linux.h"
#include "guardfixture.h"

#include "recordsignature.h"
#include "referencedate.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
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

    QString path(const char *name) const { return m_dir.filePath(QLatin1String(name)); }
    QByteArray file(const char *name) const { return QFile::encodeName(path(name)); }

    void startGuard()
    {
        QString output;
        QVERIFY2(m_guard->start(&output), qPrintable(output));
    }

    State blockingState() const
    {
        return State{true,
                     {Program{QStringLiteral("org.example.Blocked"), path("blocked")},
                      Program{QStringLiteral("org.example.Script"), path("script")},
                      Program{QStringLiteral("org.example.Large"), path("large")},
                      Program{QStringLiteral("org.example.Shell"), QStringLiteral("/bin/sh")},
                      Program{QStringLiteral("org.example.Secret"), path("secret")},
                      Program{QStringLiteral("org.example.Shell"), path("python3")}}};
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (const QString reason = GuardFixture::unavailableReason(); !reason.isEmpty())
            QSKIP(qPrintable(reason));
        QVERIFY(m_dir.isValid());
        QVERIFY(::chmod(QFile::encodeName(m_dir.path()).constData(), 0755) == 0);
        QFile script(path("script"));
        QVERIFY(script.open(QIODevice::WriteOnly) && script.write("#!/bin/sh\nexit 0\n") > 0);
        script.close();
        QVERIFY(::chmod(file("script"), 0755) == 0);
        for (const auto &[from, to] : {std::pair("/bin/true", "blocked"),
                                       {"/bin/true", "renamed"},
                                       {"/bin/true", "secret"},
                                       {"/usr/bin/python3", "python3"}})
            QVERIFY(copyProgram(QString::fromLatin1(from), path(to)));
        QVERIFY(copyProgram(path("script"), path("script-copy")));
        QVERIFY(::chmod(file("secret"), 0700) == 0);
        QVERIFY(makeLarge(path("large"), 'a'));
        QVERIFY(makeLarge(path("large-copy"), 'b'));

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
        QTest::newRow("script copy, by SHA-256") << blockingUser << "script-copy" << EPERM;
        QTest::newRow("another user") << otherUser << "renamed" << 0;
        QTest::newRow("interpreter named by a blocked application")
                << blockingUser << "python3" << 0;
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

    // Vorn's side: the state, the forwarded records and the paired phones wait for a guard that
    // appears later and are sent again to a restarted guard that lost them; an unpairing is sent
    // at the next connection; a refusal the guard reports comes out as the application's
    // identifier.
    void clientFollowsGuard()
    {
        QTemporaryDir folder;
        QVERIFY(::chmod(QFile::encodeName(folder.path()).constData(), 0755) == 0);
        GuardFixture::Guard guard(folder.path());
        const std::optional<RecordSignature::KeyPair> key = RecordSignature::generateKey();
        QVERIFY(key);
        const QString fingerprint = RecordSignature::fingerprint(key->spkiDer);
        ExecGuardClient client(guard.socketPath());
        client.setState(
                State{true, {Program{QStringLiteral("org.example.Blocked"), path("blocked")}}});
        // Not blocking by the records: the guard pairs no phone while they say blocking.
        client.forwardRecord({QStringLiteral("syncedBlockState"),
                              R"({"isBlocking":false,"targetDeviceIDs":["D0"],"updatedAt":1})",
                              QStringLiteral("D0")});
        client.setPairings(
                {{QStringLiteral("pair"), key->spkiDer, "salt", "hash", fingerprint, {}}});
        QVERIFY(!client.isEnforcing());
        const QString stored = guard.stateFolder() + QStringLiteral("/0/state.json");
        const auto storedHas = [&stored](const QByteArray &text) {
            QFile file(stored);
            return file.open(QIODevice::ReadOnly) && file.readAll().contains(text);
        };
        for (int round = 0; round < 3; ++round) {
            if (round < 2) // the second: a guard that lost its state
                QFile::remove(stored);
            else
                client.setPairings({});
            QString output;
            QVERIFY2(guard.start(&output), qPrintable(output));
            QTRY_VERIFY_WITH_TIMEOUT(client.isEnforcing(), 10000);
            QTRY_VERIFY(storedHas("org.example.Blocked") && storedHas(R"("deviceID":"D0")")
                        && storedHas(fingerprint.toUtf8()) == (round < 2));
            if (round == 0) { // the phone paired again, with a new recovery code
                client.setPairings(
                        {{QStringLiteral("pair"), key->spkiDer, "salt", "hash2", fingerprint, {}}});
                QTRY_VERIFY(storedHas(QByteArray("hash2").toBase64()));
            }
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
};

QTEST_GUILESS_MAIN(TestVornGuard)
#include "tst_vornguard.moc"
