#pragma once

class QQmlEngine;
class QLocale;

// What every engine that shows Vorn's views needs, in one place for the shell and the tests.
namespace VornUi {

// Adds the application-icon provider ("image://appicon/…") to the engine.
void prepareEngine(QQmlEngine &engine);

// Installs the translation of the views' texts for the locale, when there is one; the English
// texts stay as written otherwise. Returns whether a translation was installed.
bool installTranslation(const QLocale &locale);

} // namespace VornUi
