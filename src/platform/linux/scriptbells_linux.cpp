#include "scriptbells_linux.h"

#include "procreader_linux.h"

namespace {

// How long, in clock ticks, a script's ring waits for the process that ran it.
constexpr quint64 ringTicks = 200;

} // namespace

ScriptBells::ScriptBells(const ProcReader &reader)
    : m_reader(reader)
{
}

void ScriptBells::noteRings(const QStringList &opened)
{
    for (const QString &program : opened) {
        if (m_targets.contains(program))
            m_rings.insert(program, m_reader.ticksSinceBoot());
    }
}

QString ScriptBells::takeScript(quint64 startTime, const QString &program)
{
    const quint64 now = m_reader.ticksSinceBoot();
    for (auto it = m_rings.begin(); it != m_rings.end();) {
        if (now > it.value() + ringTicks) {
            it = m_rings.erase(it);
            continue;
        }
        if (startTime <= it.value() && m_targets.value(it.key()).contains(program)) {
            const QString script = it.key();
            m_rings.erase(it);
            return script;
        }
        ++it;
    }
    return {};
}
