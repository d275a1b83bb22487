#include "blocklist.h"

#include "plainstringorder.h"
#include "platform.h"
#include "userdefaults.h"

#include <algorithm>

BlockList *BlockList::shared()
{
    // Function-local statics are initialised once, even when two threads arrive together.
    static auto *instance = new BlockList();
    return instance;
}

BlockList::BlockList(QObject *parent)
    : QObject(parent)
{
    load();
}

void BlockList::setBlockedBundleIDs(const QSet<QString> &ids)
{
    m_blockedBundleIDs = ids;
    Q_EMIT blockedBundleIDsChanged();
}

void BlockList::remove(const QString &bundleID)
{
    m_blockedBundleIDs.remove(bundleID);
    Q_EMIT blockedBundleIDsChanged();
}

void BlockList::toggle(const QString &bundleID)
{
    if (!m_blockedBundleIDs.remove(bundleID))
        m_blockedBundleIDs.insert(bundleID);
    Q_EMIT blockedBundleIDsChanged();
    save();
}

void BlockList::save()
{
    Platform::userDefaults()->setStringArray(
            QStringList(m_blockedBundleIDs.cbegin(), m_blockedBundleIDs.cend()), storageKey);
}

void BlockList::load()
{
    const QStringList stored
            = Platform::userDefaults()->stringArrayForKey(storageKey).value_or(QStringList());
    setBlockedBundleIDs(QSet<QString>(stored.cbegin(), stored.cend()));
}

QStringList BlockList::sortedBundleIDs() const
{
    QStringList ids(m_blockedBundleIDs.cbegin(), m_blockedBundleIDs.cend());
    std::sort(ids.begin(), ids.end(), PlainStringOrder::lessThan);
    return ids;
}
