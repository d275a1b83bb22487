#pragma once

#include "phonepairing.h"

#include <QAbstractListModel>
#include <QList>
#include <QtQml/qqmlregistration.h>

class AppBlocker;

// "Pair a phone…": the phones paired with this computer, then those that offered a key, each with
// its fingerprint to compare with the one the phone shows. pair() goes through the blocker, which
// refuses while blocking, as `vorn pair` does.
class PairingModel : public QAbstractListModel
{
    Q_OBJECT
    QML_ELEMENT

public:
    enum Role { FingerprintRole = Qt::UserRole + 1, NameRole, PairedRole };

    explicit PairingModel(QObject *parent = nullptr);

    // Re-reads the offers and the paired phones.
    Q_INVOKABLE void refresh();
    // Pairs the phone; the answer's text (with the recovery code), or the refusal.
    Q_INVOKABLE QString pair(const QString &fingerprint);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    struct Row
    {
        PhonePairing::Phone phone;
        bool paired = false;
    };
    QList<Row> m_rows;
};
