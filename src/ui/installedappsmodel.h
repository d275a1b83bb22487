#pragma once

#include "blocklist.h"
#include "installedapp.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

class Applications;

// The picker's rows: the application catalogue (AppCatalogue::load) in its order, one row per
// installed application, with whether its identifier is on `blockList`. The rows are replaced only
// by scan(); `selected` is read from the block list whenever the view asks and announced for every
// row whenever the list changes, so the marks follow every edit, wherever it was made.
class InstalledAppsModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(BlockList *blockList READ blockList WRITE setBlockList NOTIFY blockListChanged)

public:
    enum Role {
        BundleIDRole = Qt::UserRole + 1,
        NameRole,
        IconSourceRole, // the row's image URL from the application-icon provider
        SelectedRole,
    };

    explicit InstalledAppsModel(QObject *parent = nullptr);

    // The application shell hands over the platform's applications before it loads a view; they
    // outlive the engines.
    static void setApplications(Applications *applications) { s_applications = applications; }

    BlockList *blockList() const { return m_blockList; }
    void setBlockList(BlockList *blockList);

    // Replaces the rows with what is installed now.
    Q_INVOKABLE void scan();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

Q_SIGNALS:
    void blockListChanged();

private:
    void announceSelection();

    QList<InstalledApp> m_apps;
    QPointer<BlockList> m_blockList;

    static inline Applications *s_applications = nullptr;
};
