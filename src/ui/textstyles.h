#pragma once

#include <QFont>
#include <QObject>
#include <QtQml/qqmlregistration.h>

// The named text styles of the views, derived from the desktop's font: `body` is the system font
// itself, `title3` is larger, `subheadline` and `caption` are smaller. They follow font changes.
class TextStyles : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QFont title3 READ title3 NOTIFY fontsChanged)
    Q_PROPERTY(QFont body READ body NOTIFY fontsChanged)
    Q_PROPERTY(QFont subheadline READ subheadline NOTIFY fontsChanged)
    Q_PROPERTY(QFont caption READ caption NOTIFY fontsChanged)

public:
    explicit TextStyles(QObject *parent = nullptr);

    QFont title3() const { return scaled(1.25); }
    QFont body() const { return scaled(1.0); }
    QFont subheadline() const { return scaled(0.9); }
    QFont caption() const { return scaled(0.82); }

    // A style in another weight: TextStyles.weighted(TextStyles.title3, Font.DemiBold).
    Q_INVOKABLE static QFont weighted(QFont font, int weight)
    {
        font.setWeight(QFont::Weight(weight));
        return font;
    }

Q_SIGNALS:
    void fontsChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    static QFont scaled(qreal factor);
};
