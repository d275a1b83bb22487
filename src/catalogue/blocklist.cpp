#include "blocklist.h"

#include "plainstringorder.h"
#include "userdefaults.h"

#include <algorithm>

BlockList::BlockList(UserDefaults *userDefaults, QObject *parent)
    : QObject(parent)
    , m_userDefaults(userDefaults)
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
    m_userDefaults->setStringArray(
            QStringList(m_blockedBundleIDs.cbegin(), m_blockedBundleIDs.cend()), storageKey);
}

void BlockList::load()
{
    const QStringList stored
            = m_userDefaults->stringArrayForKey(storageKey).value_or(QStringList());
    setBlockedBundleIDs(QSet<QString>(stored.cbegin(), stored.cend()));
}

QStringList BlockList::sortedBundleIDs() const
{
    QStringList ids(m_blockedBundleIDs.cbegin(), m_blockedBundleIDs.cend());
    std::sort(ids.begin(), ids.end(), PlainStringOrder::lessThan);
    return ids;
}
