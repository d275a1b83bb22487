// The device registry every device writes under "deviceRegistry".
#include "deviceannouncement.h"
#include "deviceregistry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<DeviceRegistryMap> registry = RegistryValue::decode(bytes);
    if (!registry)
        return 0;
    // What decodes is written back unchanged by announce.
    const std::optional<QByteArray> encoded = RegistryValue::encode(*registry);
    if (!encoded || RegistryValue::decode(*encoded) != registry)
        std::abort();
    DeviceRegistry::currentOthers(*registry, QStringLiteral("SELF"), 800000000);
    return 0;
}
