#include "sessionclock_linux.h"

#include "privatefiles_linux.h"
#include "referencedate.h"

#include <QFileInfo>

#include <ctime>

namespace {
constexpr qint64 maxStateBytes = 64 * 1024;
const QByteArray tempPrefix = QByteArrayLiteral(".session.json.tmp-");
} // namespace

LinuxSessionClock::LinuxSessionClock(const QString &stateFile, const QString &bootIDFile)
    : m_stateFile(stateFile)
{
    const PrivateFiles::ReadResult bootID = PrivateFiles::readFile(bootIDFile, 256);
    if (bootID.status == PrivateFiles::ReadStatus::Ok)
        m_bootID = bootID.bytes.trimmed();
    else
        PrivateFiles::logOnce("no boot identifier in " + bootIDFile.toLocal8Bit()
                              + ": sessions are timed by the wall clock alone");
}

SessionClock::Reading LinuxSessionClock::read() const
{
    timespec boot = {};
    ::clock_gettime(CLOCK_BOOTTIME, &boot);
    return {m_bootID, double(boot.tv_sec) + double(boot.tv_nsec) / 1e9, ReferenceDate::now(),
            QTimeZone::systemTimeZone()};
}

std::optional<QByteArray> LinuxSessionClock::loadState() const
{
    const PrivateFiles::ReadResult result
            = PrivateFiles::readPrivateFile(m_stateFile, maxStateBytes);
    if (result.status != PrivateFiles::ReadStatus::Ok)
        return std::nullopt;
    return result.bytes;
}

bool LinuxSessionClock::saveState(const QByteArray &bytes)
{
    const QString folder = QFileInfo(m_stateFile).path();
    return PrivateFiles::makePrivateFolder(folder)
            && PrivateFiles::replaceAtomically(m_stateFile, bytes, tempPrefix);
}
