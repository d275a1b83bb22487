// One message from the broker as vorn-sync receives it: the topic and the retained payload.
#include "incomingvalue.h"

#include "cloudkeyvaluestore_linux.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The first line is the topic, the rest the payload.
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const qsizetype newline = bytes.indexOf('\n');
    const QByteArray topic = newline < 0 ? bytes : bytes.left(newline);
    const QByteArray payload = newline < 0 ? QByteArray() : bytes.mid(newline + 1);
    const IncomingValue value
            = IncomingValue::classify(QByteArrayLiteral("vorn/fuzz/kv/"), topic, payload);
    // Only a key that can be a file name of the folder is ever written.
    if (value.verdict == IncomingValue::Verdict::Store
        && !LinuxCloudKeyValueStore::isSafeKey(value.key))
        std::abort();
    return 0;
}
