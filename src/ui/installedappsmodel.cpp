#include "installedappsmodel.h"

#include "appcatalogue.h"
#include "appiconprovider.h"

InstalledAppsModel::InstalledAppsModel(QObject *parent)
    : QAbstractListModel(parent)
{
}

void InstalledAppsModel::setBlockList(BlockList *blockList)
{
    if (m_blockList == blockList)
        return;
    if (m_blockList)
        disconnect(m_blockList, nullptr, this, nullptr);
    m_blockList = blockList;
    if (m_blockList)
        connect(m_blockList, &BlockList::blockedBundleIDsChanged, this,
                &InstalledAppsModel::announceSelection);
    announceSelection();
    Q_EMIT blockListChanged();
}

void InstalledAppsModel::scan()
{
    // A view without applications is a programming error of whoever loads it.
    Q_ASSERT_X(s_applications, "InstalledAppsModel", "no applications set before loading a view");
    beginResetModel();
    m_apps = AppCatalogue::load(*s_applications);
    endResetModel();
}

int InstalledAppsModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_apps.size());
}

QVariant InstalledAppsModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const InstalledApp &app = m_apps.at(index.row());
    switch (role) {
    case BundleIDRole:
        return app.id;
    case NameRole:
        return app.name;
    case IconSourceRole:
        return AppIconProvider::urlFor(app.icon);
    case SelectedRole:
        return m_blockList && m_blockList->contains(app.id);
    default:
        return {};
    }
}

QHash<int, QByteArray> InstalledAppsModel::roleNames() const
{
    // "bundleID" rather than "id", which QML reserves for its own object ids.
    return {{BundleIDRole, "bundleID"},
            {NameRole, "name"},
            {IconSourceRole, "iconSource"},
            {SelectedRole, "selected"}};
}

void InstalledAppsModel::announceSelection()
{
    if (!m_apps.isEmpty())
        Q_EMIT dataChanged(index(0), index(int(m_apps.size()) - 1), {SelectedRole});
}
