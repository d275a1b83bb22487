#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QString>

#include <optional>

class CloudKeyValueStore;

// The phones paired with this computer, kept in a file of Vorn's private state folder
// (pairing.json). While one is paired the computer is in phone-only mode: a "syncedBlockState" or
// "blockSchedule" applies only when a paired phone signed it (RecordSignature) and its updatedAt
// is newer than the last one applied of that key; anything else is held back and the last
// applied record stands. With no phone paired every record passes as it is.
//
// Pairing shows a recovery code once; only its salted PBKDF2 hash is kept. Typing the code starts
// a wait (recoveryWait, 24 hours) after which every phone is unpaired; blocking goes on meanwhile
// and the deadline is in the file, so the wait survives restarts.
//
// The file is replaced atomically; one that is there but cannot be read keeps phone-only mode with
// no key, so that a damaged file never lets an unsigned record through. Every call may come from
// any thread.
class PhonePairing
{
public:
    static constexpr double recoveryWait = 24 * 3600;

    struct Phone
    {
        QString fingerprint;
        QString name;
        QByteArray spkiDer;
        double at = 0; // when offered (an offer) or paired (a paired phone)
    };

    struct Admission
    {
        std::optional<QByteArray> bytes; // what to apply: the record, or the last applied one
        bool fresh = false; // a newly admitted record
        std::optional<double> heldBack; // the updatedAt of a record held back (NaN: none known)
    };

    explicit PhonePairing(const QString &filePath);

    // The offers under "pairingOffer.*" whose key name matches their key, newest first.
    static QList<Phone> offers(const CloudKeyValueStore *store);

    bool isActive() const;
    QList<Phone> phones() const;
    // The salt and hash of the recovery code shown at the last pairing (empty before one).
    std::pair<QByteArray, QByteArray> recoveryCheck() const;
    std::optional<double> recoveryDeadline() const;

    Admission admit(const QString &storeKey, const std::optional<QByteArray> &bytes);

    // Pairs the phone and returns the new recovery code ("XXXXX-XXXXX-XXXXX-XXXXX"), or nothing
    // when the state could not be written. currentRecords: the records now stored, which a later
    // record must be newer than.
    std::optional<QString> pair(const Phone &phone,
                                const QHash<QString, QByteArray> &currentRecords, double now);
    bool unpair(const QString &fingerprint);
    // Whether the code is the one shown at pairing; if so the wait starts (once) and is saved.
    bool startRecovery(const QString &code, double now, double wait = recoveryWait);
    // Unpairs every phone when the recovery wait has passed; true when it did.
    bool finishRecoveryIfDue(double now);

    // The wait after a recovery code: recoveryWait, or in a build with VORN_TEST_HOOKS the seconds
    // in $VORN_RECOVERY_WAIT_SECONDS.
    static double recoveryWaitSeconds();
    // The salted PBKDF2-SHA256 hash of a typed recovery code (the exec guard checks codes too).
    static QByteArray recoveryHash(const QString &code, const QByteArray &salt);
    // The pairing commands at this computer, as `vorn pair|unpair` sends them: "pair",
    // "pair FINGERPRINT", "unpair FINGERPRINT", "recover CODE". The answer is one line, "ok TEXT"
    // or "error TEXT". Pairing and unpairing are refused while blocking; recovery is not.
    QByteArray command(const QByteArray &request, bool blocking, const CloudKeyValueStore *store,
                       double now);

private:
    bool load();
    bool save();

    const QString m_filePath;
    mutable QMutex m_mutex;
    bool m_damaged = false;
    QList<Phone> m_phones;
    QHash<QString, QByteArray> m_applied; // store key -> the record last applied
    QByteArray m_recoverySalt;
    QByteArray m_recoveryHash;
    std::optional<double> m_recoveryDeadline;
};
