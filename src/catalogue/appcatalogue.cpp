#include "appcatalogue.h"

#include "applications.h"

#include <QCollator>
#include <QCollatorSortKey>
#include <QLocale>
#include <QSet>

#include <algorithm>
#include <vector>

namespace AppCatalogue {

QList<InstalledApp> arrange(QList<InstalledApp> apps)
{
    QSet<QString> seen;
    apps.removeIf([&seen](const InstalledApp &app) {
        if (seen.contains(app.id))
            return true;
        seen.insert(app.id);
        return false;
    });

    // The C locale has no collation of its own: Qt then orders by code point (and its sort keys
    // even ignore the case setting), which would put "Äpfel" after "Zoo". Names are then collated
    // with the language-neutral rules instead, which English uses unchanged.
    QLocale locale;
    if (locale.language() == QLocale::C)
        locale = QLocale(QLocale::English, QLocale::UnitedStates);
    QCollator collator(locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    // Sort keys turn each of the n log n comparisons into a plain byte comparison.
    std::vector<std::pair<QCollatorSortKey, qsizetype>> keys;
    keys.reserve(size_t(apps.size()));
    for (qsizetype i = 0; i < apps.size(); ++i)
        keys.emplace_back(collator.sortKey(apps.at(i).name), i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto &a, const auto &b) { return a.first.compare(b.first) < 0; });

    QList<InstalledApp> sorted;
    sorted.reserve(apps.size());
    for (const auto &key : keys)
        sorted.append(std::move(apps[key.second]));
    return sorted;
}

QList<InstalledApp> load(const Applications &applications)
{
    return arrange(applications.installedApplications());
}

} // namespace AppCatalogue
