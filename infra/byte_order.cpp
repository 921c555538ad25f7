#include "infra/byte_order.h"

#include <algorithm>

bool chs_isLittleEndianness() { return kChsHostLittleEndian; }

void chs_convertEndianess(void* bytes, size_t length) {
    if (kChsHostLittleEndian || bytes == nullptr) {
        return;
    }
    auto* first = static_cast<unsigned char*>(bytes);
    std::reverse(first, first + length);
}
