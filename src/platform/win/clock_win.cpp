// The monotonic clock on Windows: the tick count, which no change of the system time moves.
#include "platform/monotonic_ms.h"

#include <windows.h>

int64_t monotonic_milliseconds(void) {
    return (int64_t)GetTickCount64();
}
