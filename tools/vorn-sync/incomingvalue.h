#pragma once

#include <QByteArray>
#include <QString>

// What the bridge makes of one message from the broker, before anything touches the folder.
// A pure function of the bytes, so it can be driven by a fuzzer.
struct IncomingValue
{
    static constexpr qsizetype maxValueBytes = 1024 * 1024;

    enum class Verdict {
        Store, // write `key` with the payload
        Deletion, // an empty retained payload: ignored
        NotOurs, // a topic outside vorn/<user>/kv/ (the bridge's own marker, for one)
        UnsafeKey, // a key that cannot be a file name in the folder: refused
        TooLarge, // over maxValueBytes: refused
    };

    Verdict verdict = Verdict::NotOurs;
    QString key; // set for Store, Deletion, UnsafeKey and TooLarge

    // kvPrefix is "vorn/<user>/kv/".
    static IncomingValue classify(const QByteArray &kvPrefix, const QByteArray &topic,
                                  const QByteArray &payload);
};
