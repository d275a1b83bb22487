#include "learnedprograms_linux.h"

#include "privatefiles_linux.h"
#include "xdgpaths_linux.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

constexpr qint64 maxFileBytes = 1 << 20;

} // namespace

LearnedPrograms::LearnedPrograms(const QString &file)
    : m_file(file)
{
    const PrivateFiles::ReadResult read = PrivateFiles::readFile(m_file, maxFileBytes);
    if (read.status != PrivateFiles::ReadStatus::Ok)
        return;
    const QJsonObject programs = QJsonDocument::fromJson(read.bytes).object();
    for (auto it = programs.constBegin(); it != programs.constEnd(); ++it) {
        if (it.value().isString() && it.key().startsWith(QLatin1Char('/')))
            m_programs.insert(it.key(), it.value().toString());
    }
}

QString LearnedPrograms::defaultFile()
{
    return XdgPaths::cacheHome() + QStringLiteral("/vorn/learned-programs.json");
}

QString LearnedPrograms::bundleIDForProgram(const QString &path) const
{
    return m_programs.value(path);
}

QStringList LearnedPrograms::programsForBundleID(const QString &bundleID) const
{
    QStringList programs;
    for (auto it = m_programs.cbegin(); it != m_programs.cend(); ++it) {
        if (it.value() == bundleID && !bundleID.isEmpty())
            programs.append(it.key());
    }
    return programs;
}

void LearnedPrograms::learn(const QString &path, const QString &bundleID)
{
    const auto known = m_programs.constFind(path);
    if (known != m_programs.cend() && (known->isEmpty() || *known == bundleID))
        return;
    m_programs.insert(path, known == m_programs.cend() ? bundleID : QString());
    save();
}

void LearnedPrograms::prune(const std::function<bool(const QString &)> &isNamed,
                            const std::function<bool(const QString &)> &isInstalled)
{
    bool changed = false;
    for (auto it = m_programs.begin(); it != m_programs.end();) {
        if (isNamed(it.key()) || (!it.value().isEmpty() && !isInstalled(it.value()))) {
            it = m_programs.erase(it);
            changed = true;
        } else {
            ++it;
        }
    }
    if (changed)
        save();
}

void LearnedPrograms::save() const
{
    QJsonObject programs;
    for (auto it = m_programs.cbegin(); it != m_programs.cend(); ++it)
        programs.insert(it.key(), it.value());
    const QString folder = QFileInfo(m_file).path();
    if (PrivateFiles::makePrivateFolder(folder))
        PrivateFiles::replaceAtomically(m_file, QJsonDocument(programs).toJson(),
                                        ".learned-programs-");
}
