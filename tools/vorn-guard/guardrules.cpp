#include "guardrules.h"

#include <QRegularExpression>
#include <QSet>

GuardRules::GuardRules(const QHash<uint, UserState> &states)
{
    for (auto it = states.cbegin(); it != states.cend(); ++it) {
        if (it.key() == 0 || !it->blocking)
            continue;
        User user;
        for (const ProgramRule &rule : it->programs) {
            if (isSharedProgram(rule.path))
                continue;
            const qsizetype index = user.rules.size();
            user.rules.append(rule);
            if (rule.device != 0 || rule.inode != 0)
                user.byInode.insert({rule.device, rule.inode}, index);
            if (!rule.buildId.isEmpty()) {
                user.byBuildId.insert(rule.buildId, index);
            } else if (rule.size >= 0 && !rule.sha256.isEmpty()) {
                user.byDigest.insert(rule.sha256, index);
                ++user.sizesWithoutBuildId[rule.size];
            }
        }
        if (!user.rules.isEmpty())
            m_users.insert(it.key(), user);
    }
}

bool GuardRules::appliesTo(uint realUid, uint effectiveUid) const
{
    return (realUid != 0 && m_users.contains(realUid))
            || (effectiveUid != 0 && m_users.contains(effectiveUid));
}

GuardRules::Decision GuardRules::decide(uint realUid, uint effectiveUid, const FileKey &key,
                                        const FileContent *content) const
{
    Decision result;
    for (const uint uid : {realUid, effectiveUid}) {
        const auto user = m_users.constFind(uid);
        if (uid == 0 || user == m_users.cend())
            continue;
        const Decision decision = decideFor(uid, *user, key, content);
        if (decision.verdict == Verdict::Deny)
            return decision;
        if (decision.verdict == Verdict::ReadContent) {
            result.verdict = Verdict::ReadContent;
            result.needsDigest = result.needsDigest || decision.needsDigest;
        }
    }
    return result;
}

GuardRules::Decision GuardRules::decideFor(uint uid, const User &user, const FileKey &key,
                                           const FileContent *content) const
{
    const auto deny = [&](qsizetype index) {
        return Decision{Verdict::Deny, uid, user.rules.at(index).id, false};
    };
    if (const auto it = user.byInode.constFind({key.device, key.inode}); it != user.byInode.cend())
        return deny(*it);
    const bool sizeMatters = user.sizesWithoutBuildId.contains(key.size);
    if (!content) {
        if (user.byBuildId.isEmpty() && !sizeMatters)
            return {};
        return Decision{Verdict::ReadContent, 0, {}, sizeMatters};
    }
    if (!content->buildId.isEmpty()) {
        // Two files with different build-ids differ, and a file with one is never a copy of a
        // program without one: no digest is needed.
        const auto it = user.byBuildId.constFind(content->buildId);
        return it != user.byBuildId.cend() ? deny(*it) : Decision{};
    }
    if (!sizeMatters)
        return {};
    if (!content->digestRead)
        return Decision{Verdict::ReadContent, 0, {}, true};
    const auto it = user.byDigest.constFind(content->sha256);
    return it != user.byDigest.cend() ? deny(*it) : Decision{};
}

bool GuardRules::isSharedProgram(const QString &path)
{
    static const QSet<QString> shared{
            QStringLiteral("sh"),
            QStringLiteral("bash"),
            QStringLiteral("dash"),
            QStringLiteral("zsh"),
            QStringLiteral("fish"),
            QStringLiteral("ksh"),
            QStringLiteral("mksh"),
            QStringLiteral("csh"),
            QStringLiteral("tcsh"),
            QStringLiteral("busybox"),
            QStringLiteral("env"),
            QStringLiteral("flatpak"),
            QStringLiteral("flatpak-spawn"),
            QStringLiteral("bwrap"),
            QStringLiteral("snap"),
            QStringLiteral("snapctl"),
            QStringLiteral("xdg-open"),
            QStringLiteral("gtk-launch"),
            QStringLiteral("gio"),
            QStringLiteral("gio-launch-desktop"),
            QStringLiteral("exo-open"),
            QStringLiteral("kde-open"),
            QStringLiteral("kde-open5"),
            QStringLiteral("kioclient"),
            QStringLiteral("kioclient5"),
            QStringLiteral("kstart"),
            QStringLiteral("kstart5"),
            QStringLiteral("pkexec"),
            QStringLiteral("sudo"),
            QStringLiteral("su"),
            QStringLiteral("setpriv"),
            QStringLiteral("nohup"),
            QStringLiteral("setsid"),
            QStringLiteral("nice"),
            QStringLiteral("ionice"),
            QStringLiteral("timeout"),
            QStringLiteral("stdbuf"),
            QStringLiteral("systemd-run"),
            QStringLiteral("dbus-launch"),
            QStringLiteral("dbus-run-session"),
            QStringLiteral("ld-linux-x86-64.so.2"),
            QStringLiteral("ld-linux-aarch64.so.1"),
            QStringLiteral("ld-linux.so.2"),
            QStringLiteral("node"),
            QStringLiteral("nodejs"),
            QStringLiteral("java"),
            QStringLiteral("mono"),
            QStringLiteral("wine"),
            QStringLiteral("wine64"),
            QStringLiteral("tclsh"),
            QStringLiteral("wish"),
            QStringLiteral("gjs"),
    };
    // Versioned interpreters: python3, python3.11, perl5.36.0, ruby3.1, lua5.4, php8.2, ...
    static const QRegularExpression versioned(
            QStringLiteral(R"(^(python|perl|ruby|lua|luajit|php|pypy|guile|Rscript)[0-9.]*$)"));
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    return shared.contains(name) || versioned.match(name).hasMatch();
}
