#include "incomingvalue.h"

#include "cloudkeyvaluestore_linux.h"
#include "printabletext.h"

#include <QStringDecoder>

IncomingValue IncomingValue::classify(const QByteArray &kvPrefix, const QByteArray &topic,
                                      const QByteArray &payload)
{
    IncomingValue value;
    if (!topic.startsWith(kvPrefix))
        return value;
    const QByteArray name = topic.mid(kvPrefix.size());
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    value.key = decoder.decode(name);
    // A key must name one file in the folder: no '/', no NUL, no '.' at the start (that also
    // keeps out "." and "..", and the store's own temporary files), not too long, valid UTF-8
    // that reads back to the same bytes; and plain, so that it cannot pass for another key.
    if (decoder.hasError() || value.key.toUtf8() != name
        || !LinuxCloudKeyValueStore::isSafeKey(value.key)
        || !PrintableText::isPlainKey(value.key)) {
        value.verdict = Verdict::UnsafeKey;
        return value;
    }
    if (payload.isEmpty())
        value.verdict = Verdict::Deletion;
    else if (payload.size() > maxValueBytes)
        value.verdict = Verdict::TooLarge;
    else
        value.verdict = Verdict::Store;
    return value;
}
