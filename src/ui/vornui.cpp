#include "vornui.h"

#include "appiconprovider.h"

#include <QCoreApplication>
#include <QLocale>
#include <QQmlEngine>
#include <QTranslator>

#include <memory>

namespace VornUi {

void prepareEngine(QQmlEngine &engine)
{
    engine.addImageProvider(QStringLiteral("appicon"), new AppIconProvider);
}

bool installTranslation(const QLocale &locale)
{
    // One translator for the process, replaced when another locale is asked for.
    static QTranslator *installed = nullptr;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
        installed = nullptr;
    }
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(locale, QStringLiteral("vorn"), QStringLiteral("_"),
                          QStringLiteral(":/i18n")))
        return false;
    installed = translator.release();
    QCoreApplication::installTranslator(installed);
    return true;
}

} // namespace VornUi
