// The sub-format GUIDs of WAVE_FORMAT_EXTENSIBLE, built and read the same on every system.
#include "platform/wave_subformat.h"

#include <cstring>

/* What follows the format tag in every such GUID. */
#define SUBFORMAT_DATA2 0x0000
#define SUBFORMAT_DATA3 0x0010
static const BYTE subformat_suffix[8] = {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

GUID wave_subformat(WORD format_tag) {
    GUID guid;
    guid.Data1 = format_tag;
    guid.Data2 = SUBFORMAT_DATA2;
    guid.Data3 = SUBFORMAT_DATA3;
    memcpy(guid.Data4, subformat_suffix, sizeof subformat_suffix);
    return guid;
}

DWORD wave_subformat_tag(const GUID& subformat) {
    if (subformat.Data2 != SUBFORMAT_DATA2 || subformat.Data3 != SUBFORMAT_DATA3 ||
        memcmp(subformat.Data4, subformat_suffix, sizeof subformat_suffix) != 0)
        return 0;
    return subformat.Data1;
}
