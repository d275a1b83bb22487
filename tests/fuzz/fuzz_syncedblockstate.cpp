// The block-state record as the phone publishes it: any bytes under "syncedBlockState".
#include "syncedblockstate.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<SyncedBlockState> state = SyncedBlockState::decode(bytes);
    if (!state)
        return 0;
    // Whatever decodes encodes, and reads back as the same state.
    const std::optional<QByteArray> encoded = state->encode();
    if (!encoded || SyncedBlockState::decode(*encoded) != state)
        std::abort();
    return 0;
}
