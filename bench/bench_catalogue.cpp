// Times the installed-application scan and the program index over 2,000 generated desktop
// entries in two folders (every tenth identifier present in both), then over this machine's own
// application folders. Prints figures; asserts nothing.

#include "appcatalogue.h"
#include "applicationindex_linux.h"
#include "applications_linux.h"
#include "benchstats.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int entryCount = 2000;
constexpr int runs = 30;

QByteArray entryText(int i, const QString &binFolder)
{
    QByteArray text = "# generated\n[Desktop Entry]\nType=Application\nVersion=1.0\n";
    text += "Name=Application " + QByteArray::number(i) + '\n';
    // Shipped entries carry dozens of translations; most are dropped while parsing.
    for (const char *lang : {"de", "fr", "es", "it", "ja", "ko", "nl", "pl", "pt_BR", "ru", "sv",
                             "tr", "uk", "zh_CN", "zh_TW"})
        text += QByteArray("Name[") + lang + "]=Anwendung " + QByteArray::number(i) + '\n'
                + QByteArray("Comment[") + lang + "]=Does something useful\n";
    text += "Comment=Does something useful\nIcon=app-" + QByteArray::number(i) + '\n';
    text += "Exec=env GDK_BACKEND=x11 " + QFile::encodeName(binFolder) + "/prog"
            + QByteArray::number(i) + " --new-window %U\n";
    text += "Categories=Utility;\nKeywords=tool;thing;\nStartupNotify=true\n"
            "\n[Desktop Action new]\nName=New Window\nExec=prog --new\n";
    return text;
}

struct Figures
{
    double first = 0;
    double min = 0;
    double median = 0;
    double p90 = 0;
    double cpuMedian = 0;
};

Figures measure(const std::function<void()> &work)
{
    std::vector<double> ms;
    std::vector<double> cpu;
    for (int run = 0; run <= runs; ++run) {
        const double cpuStart = threadCpuMs();
        const double start = nowMs();
        work();
        ms.push_back(nowMs() - start);
        cpu.push_back(threadCpuMs() - cpuStart);
    }
    Figures figures;
    figures.first = ms.front();
    const std::vector<double> warm(ms.begin() + 1, ms.end());
    figures.min = percentile(warm, 0);
    figures.median = median(warm);
    figures.p90 = percentile(warm, 0.9);
    figures.cpuMedian = median(std::vector<double>(cpu.begin() + 1, cpu.end()));
    return figures;
}

void print(const char *what, const Figures &f)
{
    std::printf("%-48s first %7.2f ms  warm min %7.2f  median %7.2f  p90 %7.2f ms"
                "  (CPU median %7.2f ms)\n",
                what, f.first, f.min, f.median, f.p90, f.cpuMedian);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir root;
    if (!root.isValid())
        return 1;
    const QString bin = root.filePath(QStringLiteral("bin"));
    const QStringList folders{root.filePath(QStringLiteral("one/applications")),
                              root.filePath(QStringLiteral("two/applications"))};
    for (const QString &folder : folders + QStringList{bin})
        QDir().mkpath(folder);
    for (int i = 0; i < entryCount; ++i) {
        QFile program(bin + QStringLiteral("/prog") + QString::number(i));
        program.open(QIODevice::WriteOnly);
        program.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // Every tenth identifier is in both folders; the first folder's copy wins.
        const QString folder = folders.at(i % 2);
        QFile entry(folder + QStringLiteral("/org.example.App") + QString::number(i)
                    + QStringLiteral(".desktop"));
        entry.open(QIODevice::WriteOnly);
        entry.write(entryText(i, bin));
        if (i % 10 == 1) {
            QFile copy(folders.at(0) + QStringLiteral("/org.example.App") + QString::number(i)
                       + QStringLiteral(".desktop"));
            copy.open(QIODevice::WriteOnly);
            copy.write(entryText(i, bin));
        }
    }

    qsizetype listed = 0;
    print("loadInstalledApps, 2,000 generated entries",
          measure([&] { listed = AppCatalogue::load(LinuxApplications(folders)).size(); }));
    print("ApplicationIndex build, same entries",
          measure([&] { ApplicationIndex index(folders); }));
    std::printf("  listed %lld applications\n", static_cast<long long>(listed));

    const QStringList system = XdgPaths::applicationFolders();
    print("loadInstalledApps, this machine's folders",
          measure([&] { listed = AppCatalogue::load(LinuxApplications(system)).size(); }));
    print("ApplicationIndex build, this machine's folders",
          measure([&] { ApplicationIndex index(system); }));
    std::printf("  listed %lld applications from %s\n", static_cast<long long>(listed),
                qPrintable(system.join(QLatin1Char(':'))));
    return 0;
}
