// vorn-phone: a command-line stand-in for the phone. It reads and writes the same cloud store
// folder as Vorn, with the same record code, so a block state can be published by hand.

#include "appblocker.h"
#include "blockschedule.h"
#include "compactjson.h"
#include "deviceannouncement.h"
#include "deviceregistry.h"
#include "platform.h"
#include "printabletext.h"
#include "recordsignature.h"
#include "referencedate.h"
#include "syncedblockstate.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>
#include <QUuid>

#include <algorithm>
#include <cstdio>
#include <optional>

namespace {

const char description[] = R"(A stand-in for the phone: reads and writes Vorn's cloud store folder
(%1).

Commands:
  devices [--json]                      list the device registry
  state [--json]                        show the published block state
  block on|off [--device ID]... [--all] publish a block state, updatedAt now;
                                        without --device it targets every "mac"
                                        device announced within 30 days, with
                                        --all every device in the registry;
                                        --device takes identifiers as 'devices'
                                        lists them (--force: any text)
    on [--for 90m | --until 17:00]      a session that ends by itself (durations
       [--locked]                       in s, m, h: 1h30m); --locked: it cannot
                                        be ended or shortened before its end
                                        (24 hours at most)
  schedule list [--json]                the weekly windows of "blockSchedule"
  schedule add DAYS HH:MM-HH:MM         add a window (DAYS: mon-fri, sat,sun,
      [--locked] [--device ID]... [--all]  all; an end before the start is on
                                        the next day); targets as for block
  schedule remove N                     remove the N-th window as listed
  key create [--name NAME]              make this stand-in phone's signing key
                                        (kept in the Secret Service) and offer
                                        it for pairing under "pairingOffer.*"
  key show                              print the key's fingerprint
                                        Once there is a key, block and schedule
                                        sign what they publish.
  get KEY                               write the raw bytes stored under KEY
  put KEY [FILE|-]                      store the bytes of FILE (or standard
                                        input) under KEY

The folder is $VORN_CLOUD_DIR when set, else $XDG_DATA_HOME/vorn/cloud.)";

struct UsageError
{
    QString message;
};

struct Failure
{
    QString message;
};

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

void writeBytes(const QByteArray &bytes)
{
    out().flush();
    fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    fflush(stdout);
}

// The options, parsed once in main(); each command says which of them it takes.
struct Options
{
    bool json = false;
    bool all = false;
    bool force = false;
    QStringList devices;
    QString forDuration;
    QString until;
    bool locked = false;
    QString name;
};

// The store creates its folder; if that did not work, every read would just say "nothing".
CloudKeyValueStore *usableStore()
{
    // Reads and writes only: no watcher thread that could outlive main() at exit.
    static const std::unique_ptr<CloudKeyValueStore> store = Platform::createQuietCloudStore();
    const QFileInfo folder(Platform::cloudStoreLocation());
    if (!folder.isDir() || !folder.isReadable())
        throw Failure{QStringLiteral("the cloud store folder %1 is not a readable folder")
                              .arg(folder.filePath())};
    return store.get();
}

QString localTime(double secondsSinceReferenceDate)
{
    return ReferenceDate::toDateTime(secondsSinceReferenceDate)
            .toLocalTime()
            .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

bool isStale(const DeviceAnnouncement &record, double now)
{
    return record.lastSeenAt < now - DeviceRegistry::staleAfter;
}

std::optional<DeviceRegistryMap> readRegistry(CloudKeyValueStore *store, bool *undecodable)
{
    *undecodable = false;
    const std::optional<QByteArray> bytes = store->dataForKey(DeviceRegistry::registryKey);
    if (!bytes)
        return DeviceRegistryMap();
    std::optional<DeviceRegistryMap> registry = RegistryValue::decode(*bytes);
    *undecodable = !registry;
    return registry;
}

// A device identifier as devices announce themselves: a UUID in upper case, without braces.
bool isDeviceIdentifier(const QString &text)
{
    const QUuid uuid = QUuid::fromString(text);
    return !uuid.isNull() && uuid.toString(QUuid::WithoutBraces).toUpper() == text;
}

// A block state for a device that is not there applies nowhere, yet looks published; a mistyped
// or lower-case copy of a real identifier silently matches nothing. Refused unless forced.
void checkNamedDevices(CloudKeyValueStore *store, const QStringList &devices)
{
    bool undecodable = false;
    const std::optional<DeviceRegistryMap> registry = readRegistry(store, &undecodable);
    for (const QString &device : devices) {
        if (!isDeviceIdentifier(device))
            throw UsageError{QStringLiteral("block: %1 is not a device identifier (an upper-case "
                                            "UUID as 'vorn-phone devices' lists it); --force "
                                            "publishes it anyway")
                                     .arg(device)};
        if (!registry)
            throw UsageError{QStringLiteral("block: cannot check %1, the stored device registry "
                                            "is undecodable; --force publishes it anyway")
                                     .arg(device)};
        if (!registry->contains(device))
            throw UsageError{QStringLiteral("block: no device %1 in the registry (see "
                                            "'vorn-phone devices'); --force publishes it anyway")
                                     .arg(device)};
    }
}

void expectNoArguments(const QString &command, const QStringList &args)
{
    if (!args.isEmpty())
        throw UsageError{QStringLiteral("%1: unexpected argument %2").arg(command, args.first())};
}

int devices(const QStringList &args, const Options &options)
{
    expectNoArguments(QStringLiteral("devices"), args);
    const bool json = options.json;
    bool undecodable = false;
    const std::optional<DeviceRegistryMap> registry = readRegistry(usableStore(), &undecodable);
    if (!registry)
        throw Failure{QStringLiteral("the stored device registry is undecodable (inspect it with "
                                     "'vorn-phone get deviceRegistry')")};

    QList<DeviceAnnouncement> records = registry->values();
    std::stable_sort(records.begin(), records.end(),
                     [](const auto &a, const auto &b) { return a.lastSeenAt > b.lastSeenAt; });
    const double now = ReferenceDate::now();
    if (json) {
        QJsonArray array;
        for (const DeviceAnnouncement &record : std::as_const(records)) {
            array.append(QJsonObject{{QStringLiteral("id"), record.id},
                                     {QStringLiteral("deviceType"), rawValue(record.deviceType)},
                                     {QStringLiteral("deviceName"), record.deviceName},
                                     {QStringLiteral("lastSeenAt"), record.lastSeenAt},
                                     {QStringLiteral("stale"), isStale(record, now)}});
        }
        writeBytes(QJsonDocument(array).toJson(QJsonDocument::Indented));
        return 0;
    }
    if (records.isEmpty()) {
        out() << "No devices announced.\n";
        return 0;
    }
    for (const DeviceAnnouncement &record : std::as_const(records)) {
        // Any device writes these: escaped, so that a name cannot forge terminal output.
        out() << PrintableText::escaped(record.id) << "  " << rawValue(record.deviceType) << "  "
              << PrintableText::escaped(record.deviceName) << "  last seen "
              << localTime(record.lastSeenAt) << (isStale(record, now) ? "  stale" : "") << '\n';
    }
    return 0;
}

int state(const QStringList &args, const Options &options)
{
    expectNoArguments(QStringLiteral("state"), args);
    const bool json = options.json;
    const std::optional<QByteArray> bytes
            = usableStore()->dataForKey(QStringLiteral("syncedBlockState"));
    if (!bytes) {
        if (json)
            writeBytes("null\n");
        else
            out() << "No block state published.\n";
        return 0;
    }
    const std::optional<SyncedBlockState> decoded = SyncedBlockState::decode(*bytes);
    if (!decoded)
        throw Failure{QStringLiteral("the published block state is undecodable (inspect it with "
                                     "'vorn-phone get syncedBlockState')")};
    QStringList targets(decoded->targetDeviceIDs.cbegin(), decoded->targetDeviceIDs.cend());
    std::sort(targets.begin(), targets.end());
    if (json) {
        QJsonObject object{{QStringLiteral("isBlocking"), decoded->isBlocking},
                           {QStringLiteral("targetDeviceIDs"), QJsonArray::fromStringList(targets)},
                           {QStringLiteral("updatedAt"), decoded->updatedAt}};
        if (decoded->endsAt)
            object.insert(QStringLiteral("endsAt"), *decoded->endsAt);
        if (decoded->locked)
            object.insert(QStringLiteral("locked"), *decoded->locked);
        writeBytes(QJsonDocument(object).toJson(QJsonDocument::Indented));
        return 0;
    }
    out() << "Blocking: " << (decoded->isBlocking ? "on" : "off") << '\n'
          << "Updated: " << localTime(decoded->updatedAt) << '\n';
    if (decoded->endsAt)
        out() << "Ends: " << localTime(*decoded->endsAt) << '\n';
    if (decoded->locked)
        out() << "Locked: " << (*decoded->locked ? "yes" : "no") << '\n';
    out() << "Targets:" << (targets.isEmpty() ? " none" : "") << '\n';
    for (const QString &target : std::as_const(targets))
        out() << "  " << PrintableText::escaped(target) << '\n';
    return 0;
}

// The devices a block state or a window targets: those named, else every mac seen within 30
// days, or with --all every device in the registry.
QSet<QString> targetsFor(const QString &command, const Options &options, CloudKeyValueStore *store)
{
    QSet<QString> targets;
    const bool named = !options.devices.isEmpty();
    for (const QString &device : options.devices) {
        if (device.isEmpty())
            throw UsageError{command + QStringLiteral(": --device needs an identifier")};
        targets.insert(device);
    }
    if (named && !options.force)
        checkNamedDevices(store, options.devices);
    if (options.all || !named) {
        bool undecodable = false;
        const std::optional<DeviceRegistryMap> registry = readRegistry(store, &undecodable);
        if (!registry)
            throw Failure{QStringLiteral("the stored device registry is undecodable; name the "
                                         "devices with --device ID")};
        const double now = ReferenceDate::now();
        for (const DeviceAnnouncement &record : *registry) {
            if (options.all || (record.deviceType == SyncDeviceType::mac && !isStale(record, now)))
                targets.insert(record.id);
        }
    }
    if (targets.isEmpty())
        throw Failure{
                QStringLiteral("no device to target: none is announced%1; name one with "
                               "--device ID")
                        .arg(options.all ? QString() : QStringLiteral(" as a mac within 30 days"))};
    return targets;
}

// "90m", "1h30m", "45s": seconds; nothing when the text is not such a duration.
std::optional<double> parseDuration(const QString &text)
{
    double seconds = 0;
    qsizetype at = 0;
    while (at < text.size()) {
        qsizetype digits = at;
        while (digits < text.size() && text[digits].isDigit() && digits - at < 7)
            ++digits;
        if (digits == at || digits == text.size())
            return std::nullopt;
        const QChar unit = text[digits];
        const double count = text.mid(at, digits - at).toDouble();
        if (unit == QLatin1Char('s'))
            seconds += count;
        else if (unit == QLatin1Char('m'))
            seconds += count * 60;
        else if (unit == QLatin1Char('h'))
            seconds += count * 3600;
        else
            return std::nullopt;
        at = digits + 1;
    }
    return at > 0 && seconds > 0 ? std::optional<double>(seconds) : std::nullopt;
}

// The next time the local clock shows HH:MM: today, or tomorrow when that has passed.
std::optional<double> nextLocalTime(const QString &text, double now)
{
    const std::optional<int> minutes = BlockSchedule::minutesFromText(text);
    if (!minutes)
        return std::nullopt;
    const QDateTime local = ReferenceDate::toDateTime(now).toLocalTime();
    for (int day = 0; day <= 2; ++day) {
        const QDateTime at(local.date().addDays(day), QTime(*minutes / 60, *minutes % 60));
        const double wall = double(at.toMSecsSinceEpoch()) / 1000.0 - ReferenceDate::unixOffset;
        if (at.isValid() && wall > now)
            return wall;
    }
    return std::nullopt;
}

// The stand-in phone's signing key: PKCS#8 DER, base64, in the Secret Service.
const QString keyService = QStringLiteral("vorn-phone");
const QString keyAccount = QStringLiteral("signing-key");

std::optional<QByteArray> signingKey()
{
    const std::unique_ptr<Keychain> keychain = Platform::createKeychain();
    const std::optional<QByteArray> stored = keychain->find(keyService, keyAccount);
    if (!stored)
        return std::nullopt;
    const std::optional<QByteArray> pkcs8
            = RecordSignature::fromBase64(QString::fromLatin1(*stored));
    if (!pkcs8 || !RecordSignature::publicKeyOf(*pkcs8))
        throw Failure{QStringLiteral("the signing key in the Secret Service (service %1, account "
                                     "%2) is unreadable")
                              .arg(keyService, keyAccount)};
    return pkcs8;
}

// The record's bytes as published: signed when there is a key (its members in their order, then
// signedBy and signature), as they are otherwise. Sets *signer to the fingerprint used.
QByteArray publishable(const QString &storeKey, const QByteArray &encoded, QString *signer)
{
    const std::optional<QByteArray> key = signingKey();
    if (!key)
        return encoded;
    const QJsonObject record = QJsonDocument::fromJson(encoded).object();
    const std::optional<QJsonObject> signedRecord
            = RecordSignature::signRecord(storeKey, record, *key);
    if (!signedRecord)
        throw Failure{QStringLiteral("could not sign the record with the stored key")};
    *signer = signedRecord->value(RecordSignature::signedByMember).toString();
    QByteArray bytes = encoded.chopped(1);
    for (const QLatin1StringView member :
         {RecordSignature::signedByMember, RecordSignature::signatureMember})
        bytes += ',' + CompactJson::string(member) + ':'
                + CompactJson::string(signedRecord->value(member).toString());
    return bytes + '}';
}

QString signedNote(const QString &signer)
{
    return signer.isEmpty() ? QStringLiteral(" (unsigned: no key)")
                            : QStringLiteral(" (signed by %1)").arg(signer);
}

int key(const QStringList &args, const Options &options)
{
    const QString verb = args.value(0);
    expectNoArguments(QStringLiteral("key ") + verb, args.mid(1));
    std::optional<QByteArray> pkcs8 = signingKey();
    if (verb == QLatin1String("show")) {
        if (!options.name.isEmpty())
            throw UsageError{QStringLiteral("key show: unknown option --name")};
        if (!pkcs8)
            throw Failure{QStringLiteral("no signing key yet ('vorn-phone key create' makes one)")};
        out() << RecordSignature::fingerprint(*RecordSignature::publicKeyOf(*pkcs8)) << '\n';
        return 0;
    }
    if (verb != QLatin1String("create"))
        throw UsageError{QStringLiteral("key: say create or show")};
    const bool existed = pkcs8.has_value();
    if (!pkcs8) {
        const std::optional<RecordSignature::KeyPair> pair = RecordSignature::generateKey();
        if (!pair)
            throw Failure{QStringLiteral("could not generate a key")};
        const std::unique_ptr<Keychain> keychain = Platform::createKeychain();
        keychain->add(keyService, keyAccount, pair->pkcs8Der.toBase64());
        if (keychain->find(keyService, keyAccount) != pair->pkcs8Der.toBase64())
            throw Failure{QStringLiteral("could not store the key in the Secret Service")};
        pkcs8 = pair->pkcs8Der;
    }
    const QByteArray spki = *RecordSignature::publicKeyOf(*pkcs8);
    const QString fingerprint = RecordSignature::fingerprint(spki);
    CloudKeyValueStore *store = usableStore();
    const QString offerKey = RecordSignature::offerKey(fingerprint);
    // Offered again without --name: under the name it had.
    QString name = options.name;
    if (name.isEmpty())
        name = QJsonDocument::fromJson(store->dataForKey(offerKey).value_or(QByteArray()))
                       .object()
                       .value(QStringLiteral("name"))
                       .toString();
    if (name.isEmpty())
        name = QStringLiteral("vorn-phone on %1").arg(Platform::localizedHostName());
    const QByteArray offer
            = QJsonDocument(QJsonObject{{QStringLiteral("name"), name},
                                        {QStringLiteral("publicKey"),
                                         QString::fromLatin1(spki.toBase64())},
                                        {QStringLiteral("offeredAt"), ReferenceDate::now()}})
                      .toJson(QJsonDocument::Compact);
    store->setData(offer, offerKey);
    if (store->dataForKey(offerKey) != offer)
        throw Failure{QStringLiteral("could not write the offer to %1")
                              .arg(Platform::cloudStoreLocation())};
    out() << (existed ? "Key exists already: " : "Created key ") << fingerprint
          << ", offered for pairing as " << PrintableText::escaped(name) << '\n';
    return 0;
}

int block(const QStringList &args, const Options &options)
{
    if (args.size() != 1
        || (args.first() != QLatin1String("on") && args.first() != QLatin1String("off")))
        throw UsageError{QStringLiteral("block: say 'on' or 'off'")};
    SyncedBlockState published;
    published.isBlocking = args.first() == QLatin1String("on");
    const bool timed = !options.forDuration.isEmpty() || !options.until.isEmpty();
    if (!published.isBlocking && (timed || options.locked))
        throw UsageError{QStringLiteral("block: --for, --until and --locked go with 'on'")};
    if (!options.forDuration.isEmpty() && !options.until.isEmpty())
        throw UsageError{QStringLiteral("block: say --for or --until, not both")};
    published.updatedAt = ReferenceDate::now();
    if (!options.forDuration.isEmpty()) {
        const std::optional<double> seconds = parseDuration(options.forDuration);
        if (!seconds)
            throw UsageError{QStringLiteral("block: --for takes a duration such as 90m, 1h30m "
                                            "or 45s, not %1")
                                     .arg(options.forDuration)};
        published.endsAt = published.updatedAt + *seconds;
    }
    if (!options.until.isEmpty()) {
        published.endsAt = nextLocalTime(options.until, published.updatedAt);
        if (!published.endsAt)
            throw UsageError{QStringLiteral("block: --until takes a local time HH:MM, not %1")
                                     .arg(options.until)};
    }
    if (options.locked)
        published.locked = true;

    CloudKeyValueStore *store = usableStore();
    published.targetDeviceIDs = targetsFor(QStringLiteral("block"), options, store);
    QString signer;
    const QByteArray bytes
            = publishable(QStringLiteral("syncedBlockState"), published.encode().value(), &signer);
    store->setData(bytes, QStringLiteral("syncedBlockState"));
    if (store->dataForKey(QStringLiteral("syncedBlockState")) != bytes)
        throw Failure{QStringLiteral("could not write the block state to %1")
                              .arg(Platform::cloudStoreLocation())};
    QStringList targets(published.targetDeviceIDs.cbegin(), published.targetDeviceIDs.cend());
    std::sort(targets.begin(), targets.end());
    out() << "Published blocking " << (published.isBlocking ? "on" : "off");
    if (published.endsAt)
        out() << " until " << localTime(*published.endsAt);
    if (options.locked)
        out() << ", locked";
    out() << signedNote(signer) << " for "
          << PrintableText::escaped(targets.join(QLatin1String(", "))) << '\n';
    return 0;
}

// "mon-fri", "sat,sun", "all": ISO days of the week.
QSet<int> parseDays(const QString &text)
{
    if (text == QLatin1String("all"))
        return {1, 2, 3, 4, 5, 6, 7};
    const auto day = [&text](const QString &name) {
        for (int iso = 1; iso <= 7; ++iso)
            if (BlockSchedule::dayName(iso) == name)
                return iso;
        throw UsageError{QStringLiteral("schedule: %1 is not a list of days (mon-fri, sat,sun, "
                                        "all)")
                                 .arg(text)};
    };
    QSet<int> days;
    for (const QString &part : text.split(QLatin1Char(','))) {
        const QStringList range = part.split(QLatin1Char('-'));
        int from = day(range.first());
        const int to = day(range.size() == 2 ? range.last()
                                             : QString(range.size() > 2 ? "" : range.first()));
        days.insert(from);
        while (from != to) { // a range may wrap round the week: fri-mon
            from = from % 7 + 1;
            days.insert(from);
        }
    }
    return days;
}

std::optional<BlockSchedule> readSchedule(CloudKeyValueStore *store)
{
    const std::optional<QByteArray> bytes = store->dataForKey(AppBlocker::scheduleKey);
    if (!bytes)
        return BlockSchedule();
    return BlockSchedule::decode(*bytes);
}

int schedule(const QStringList &args, const Options &options)
{
    const QString verb = args.value(0);
    CloudKeyValueStore *store = usableStore();
    std::optional<BlockSchedule> schedule = readSchedule(store);
    if (!schedule)
        throw Failure{QStringLiteral("the stored schedule is undecodable (inspect it with "
                                     "'vorn-phone get blockSchedule'; 'put' replaces it)")};
    if (verb == QLatin1String("list")) {
        expectNoArguments(QStringLiteral("schedule list"), args.mid(1));
        if (options.json) {
            writeBytes(schedule->encode().value_or("null") + '\n');
            return 0;
        }
        if (schedule->windows.isEmpty())
            out() << "No schedule.\n";
        for (qsizetype i = 0; i < schedule->windows.size(); ++i) {
            const ScheduleWindow &window = schedule->windows[i];
            QList<int> days(window.days.cbegin(), window.days.cend());
            std::sort(days.begin(), days.end());
            QStringList dayNames;
            for (int day : std::as_const(days))
                dayNames.append(BlockSchedule::dayName(day));
            QStringList targets(window.targetDeviceIDs.cbegin(), window.targetDeviceIDs.cend());
            std::sort(targets.begin(), targets.end());
            out() << i + 1 << "  " << dayNames.join(QLatin1Char(',')) << "  "
                  << BlockSchedule::textFromMinutes(window.start) << '-'
                  << BlockSchedule::textFromMinutes(window.end)
                  << (window.locked.value_or(false) ? "  locked" : "") << "  for "
                  << PrintableText::escaped(targets.join(QLatin1String(", "))) << '\n';
        }
        return 0;
    }
    if (verb == QLatin1String("add")) {
        if (args.size() != 3)
            throw UsageError{QStringLiteral("schedule add DAYS HH:MM-HH:MM")};
        ScheduleWindow window;
        window.days = parseDays(args[1]);
        const QStringList times = args[2].split(QLatin1Char('-'));
        const std::optional<int> start = BlockSchedule::minutesFromText(times.value(0));
        const std::optional<int> end = BlockSchedule::minutesFromText(times.value(1));
        if (times.size() != 2 || !start || !end || *start == *end)
            throw UsageError{QStringLiteral("schedule: %1 is not a window such as 09:00-12:00")
                                     .arg(args[2])};
        window.start = *start;
        window.end = *end;
        if (options.locked)
            window.locked = true;
        window.targetDeviceIDs = targetsFor(QStringLiteral("schedule"), options, store);
        schedule->windows.append(window);
    } else if (verb == QLatin1String("remove")) {
        bool ok = false;
        const qsizetype index = args.size() == 2 ? args[1].toLongLong(&ok) : 0;
        if (!ok || index < 1 || index > schedule->windows.size())
            throw UsageError{QStringLiteral("schedule remove N: N as 'schedule list' numbers "
                                            "the windows (1 to %1)")
                                     .arg(schedule->windows.size())};
        schedule->windows.removeAt(index - 1);
    } else {
        throw UsageError{QStringLiteral("schedule: say list, add or remove")};
    }
    schedule->updatedAt = ReferenceDate::now();
    QString signer;
    const QByteArray bytes
            = publishable(AppBlocker::scheduleKey, schedule->encode().value(), &signer);
    store->setData(bytes, AppBlocker::scheduleKey);
    if (store->dataForKey(AppBlocker::scheduleKey) != bytes)
        throw Failure{QStringLiteral("could not write the schedule to %1")
                              .arg(Platform::cloudStoreLocation())};
    out() << "Published " << schedule->windows.size() << " window"
          << (schedule->windows.size() == 1 ? "" : "s") << signedNote(signer) << '\n';
    return 0;
}

int get(const QStringList &args)
{
    if (args.size() != 1)
        throw UsageError{QStringLiteral("get: name one KEY")};
    const std::optional<QByteArray> bytes = usableStore()->dataForKey(args.first());
    if (!bytes)
        throw Failure{QStringLiteral("nothing is stored under %1")
                              .arg(PrintableText::escaped(args.first()))};
    writeBytes(*bytes);
    return 0;
}

int put(const QStringList &args)
{
    if (args.isEmpty() || args.size() > 2)
        throw UsageError{QStringLiteral("put: KEY [FILE|-]")};
    const QString key = args.first();
    if (!Platform::isUsableCloudKey(key) || !PrintableText::isPlainKey(key))
        throw UsageError{QStringLiteral("put: %1 is not a usable key (empty, too long, starts "
                                        "with '.', holds '/', a control, format or "
                                        "bidirectional character, or a space at an end)")
                                 .arg(PrintableText::escaped(key))};
    const QString source = args.size() == 2 ? args[1] : QStringLiteral("-");
    QFile file;
    bool opened = false;
    if (source == QLatin1String("-"))
        opened = file.open(stdin, QIODevice::ReadOnly);
    else {
        file.setFileName(source);
        opened = file.open(QIODevice::ReadOnly);
    }
    if (!opened)
        throw Failure{QStringLiteral("cannot read %1: %2").arg(source, file.errorString())};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Failure{QStringLiteral("cannot read %1: %2").arg(source, file.errorString())};

    CloudKeyValueStore *store = usableStore();
    store->setData(bytes, key);
    if (store->dataForKey(key) != bytes)
        throw Failure{QStringLiteral("could not write %1 to %2")
                              .arg(PrintableText::escaped(key), Platform::cloudStoreLocation())};
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const auto fail = [](const QString &message) {
        fprintf(stderr, "vorn-phone: %s\n",
                qPrintable(QString(message).replace(QLatin1Char('\n'), QLatin1Char(' '))));
    };
    // Qt drops a byte-order mark at the start of an argument: a key behind one would pass for
    // the key itself.
    for (int i = 1; i < argc; ++i) {
        if (QByteArrayView(argv[i]).contains("\xef\xbb\xbf")) {
            fail(QStringLiteral("argument %1 holds a byte-order mark").arg(i));
            return 2;
        }
    }

    QCommandLineParser parser;
    parser.setApplicationDescription(
            QString::fromLatin1(description).arg(Platform::cloudStoreLocation()));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption json(QStringLiteral("json"),
                                  QStringLiteral("devices, state: print JSON"));
    const QCommandLineOption device(QStringLiteral("device"),
                                    QStringLiteral("block: target this device (repeatable)"),
                                    QStringLiteral("ID"));
    const QCommandLineOption all(QStringLiteral("all"),
                                 QStringLiteral("block: target every device in the registry"));
    const QCommandLineOption force(
            QStringLiteral("force"),
            QStringLiteral("block: take --device identifiers the registry does not hold"));
    const QCommandLineOption forDuration(QStringLiteral("for"),
                                         QStringLiteral("block on: end after this long"),
                                         QStringLiteral("DURATION"));
    const QCommandLineOption until(QStringLiteral("until"),
                                   QStringLiteral("block on: end at this local time"),
                                   QStringLiteral("HH:MM"));
    const QCommandLineOption locked(
            QStringLiteral("locked"),
            QStringLiteral("block on, schedule add: cannot be ended early"));
    const QCommandLineOption name(QStringLiteral("name"),
                                  QStringLiteral("key create: the name the offer shows"),
                                  QStringLiteral("NAME"));
    parser.addOptions({json, device, all, force, forDuration, until, locked, name});
    parser.addPositionalArgument(
            QStringLiteral("command"),
            QStringLiteral("devices, state, block, schedule, key, get or put"));
    parser.addPositionalArgument(QStringLiteral("arguments"),
                                 QStringLiteral("the command's arguments"),
                                 QStringLiteral("[ARG...]"));
    if (!parser.parse(app.arguments())) {
        fail(parser.errorText());
        return 2;
    }
    if (parser.isSet(help)) {
        out() << parser.helpText();
        return 0;
    }
    QStringList args = parser.positionalArguments();
    if (args.isEmpty()) {
        fail(QStringLiteral("no command given (try --help)"));
        return 2;
    }
    const QString command = args.takeFirst();
    const Options options{parser.isSet(json),    parser.isSet(all),         parser.isSet(force),
                          parser.values(device), parser.value(forDuration), parser.value(until),
                          parser.isSet(locked),  parser.value(name)};
    try {
        // Each command takes only its own options.
        const auto allow = [&](std::initializer_list<const QCommandLineOption *> allowed) {
            for (const QCommandLineOption *option :
                 {&json, &device, &all, &force, &forDuration, &until, &locked, &name}) {
                if (parser.isSet(*option)
                    && std::find(allowed.begin(), allowed.end(), option) == allowed.end())
                    throw UsageError{QStringLiteral("%1: unknown option --%2")
                                             .arg(command, option->names().constFirst())};
            }
        };
        if (command == QLatin1String("devices")) {
            allow({&json});
            return devices(args, options);
        }
        if (command == QLatin1String("state")) {
            allow({&json});
            return state(args, options);
        }
        if (command == QLatin1String("block")) {
            allow({&device, &all, &force, &forDuration, &until, &locked});
            return block(args, options);
        }
        if (command == QLatin1String("schedule")) {
            allow({&json, &device, &all, &force, &locked});
            return schedule(args, options);
        }
        if (command == QLatin1String("key")) {
            allow({&name});
            return key(args, options);
        }
        if (command == QLatin1String("get")) {
            allow({});
            return get(args);
        }
        if (command == QLatin1String("put")) {
            allow({});
            return put(args);
        }
        throw UsageError{QStringLiteral("unknown command %1 (try --help)").arg(command)};
    } catch (const UsageError &error) {
        fail(error.message);
        return 2;
    } catch (const Failure &error) {
        fail(error.message);
        return 1;
    }
}
