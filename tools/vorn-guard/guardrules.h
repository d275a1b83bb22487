#pragma once

#include "guardsession.h"
#include "programcontent.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <optional>
#include <utility>

// One program of a user's blocked applications, as the guard identifies it.
struct ProgramRule
{
    QString id; // the application's bundle identifier
    QString path; // as the user's Vorn named it
    quint64 device = 0; // device and inode are both 0 when the file is gone
    quint64 inode = 0;
    qint64 size = -1;
    QByteArray buildId; // the ELF build-id note; empty when the program has none
    QByteArray sha256; // of the whole file; read only for programs without a build-id
    friend bool operator==(const ProgramRule &, const ProgramRule &) = default;
};

// What one user last told the guard.
struct UserState
{
    bool blocking = false; // enforced
    QList<ProgramRule> programs;
    // The records that user's Vorn forwarded; with them, they decide blocking, not the client's
    // word. None for a Vorn that forwards none.
    std::optional<GuardSession> session = std::nullopt;
    friend bool operator==(const UserState &, const UserState &) = default;
};

// What was read of a file: its build-id, and its SHA-256 when it was needed.
struct FileContent
{
    QByteArray buildId;
    QByteArray sha256;
    bool digestRead = false;
};

// The decisions of the guard, built from every user's state. Immutable once built: the answering
// thread shares one by pointer while the control thread builds the next.
//
// Promises:
// - An exec is refused only while a user blocks, only for a process whose real or effective uid is
//   that user's (never root's), and only of a file that is one of that user's programs by
//   (device, inode), or has the same ELF build-id, or (for programs without one) the same size and
//   SHA-256. Everything else is allowed, a program no rule names included.
// - Interpreters and launchers shared by many applications (sh, python3, env, flatpak, ...) never
//   become rules, so they are never refused by content.
// - Content is asked for only when it can change the answer: some rule has a build-id, or a rule
//   without one has the file's size.
class GuardRules
{
public:
    enum class Verdict { Allow, Deny, ReadContent };
    struct Decision
    {
        Verdict verdict = Verdict::Allow;
        uint uid = 0; // with Deny: whose program it is
        QString id;
        bool needsDigest = false; // with ReadContent: the SHA-256 is needed too
    };

    GuardRules() = default;
    explicit GuardRules(const QHash<uint, UserState> &states);

    bool isEmpty() const { return m_users.isEmpty(); }
    bool appliesTo(uint realUid, uint effectiveUid) const;
    // content: what was read of the file, if anything.
    Decision decide(uint realUid, uint effectiveUid, const FileKey &key,
                    const FileContent *content = nullptr) const;

    // Programs that run other programs and belong to no application.
    static bool isSharedProgram(const QString &path);

private:
    struct User
    {
        QList<ProgramRule> rules;
        QHash<std::pair<quint64, quint64>, qsizetype> byInode;
        QHash<QByteArray, qsizetype> byBuildId;
        QHash<QByteArray, qsizetype> byDigest; // rules without a build-id
        QHash<qint64, int> sizesWithoutBuildId;
    };
    Decision decideFor(uint uid, const User &user, const FileKey &key,
                       const FileContent *content) const;

    QHash<uint, User> m_users; // blocking users only
};
