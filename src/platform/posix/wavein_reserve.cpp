// The reserve of the wave-input service: a ring of audio bytes with loss and failure marks.
#include "platform/posix/wavein_reserve.h"

#include <cstdlib>
#include <cstring>

bool reserve_init(WaveReserve* reserve, uint32_t size) {
    memset(reserve, 0, sizeof *reserve);
    reserve->data = static_cast<BYTE*>(malloc(size));
    if (!reserve->data) return false;
    reserve->size = size;
    return true;
}

void reserve_free(WaveReserve* reserve) {
    free(reserve->data);
    reserve->data = nullptr;
    reserve->size = 0;
}

void reserve_clear(WaveReserve* reserve) {
    reserve->written = 0;
    reserve->taken = 0;
    reserve->first_mark = 0;
    reserve->mark_count = 0;
    reserve->ended = false;
}

bool reserve_empty(const WaveReserve* reserve) {
    return reserve->written == reserve->taken && reserve->mark_count == 0;
}

uint32_t reserve_free_span(WaveReserve* reserve, BYTE** dest) {
    if (reserve->ended || reserve->mark_count == RESERVE_MARKS) return 0;
    uint64_t held = reserve->written - reserve->taken;
    uint32_t at = (uint32_t)(reserve->written % reserve->size);
    uint32_t span = reserve->size - at;
    if (span > reserve->size - held) span = (uint32_t)(reserve->size - held);
    *dest = reserve->data + at;
    return span;
}

void reserve_commit(WaveReserve* reserve, uint32_t bytes) {
    reserve->written += bytes;
}

void reserve_mark(WaveReserve* reserve, bool failure, const char* text, int64_t lost_frames) {
    if (reserve->ended || reserve->mark_count == RESERVE_MARKS) return;
    ReserveMark* mark =
        &reserve->marks[(reserve->first_mark + reserve->mark_count) % RESERVE_MARKS];
    mark->position = reserve->written;
    mark->failure = failure;
    mark->lost_frames = lost_frames;
    strncpy(mark->text, text, sizeof mark->text - 1);
    mark->text[sizeof mark->text - 1] = '\0';
    reserve->mark_count++;
    if (failure) reserve->ended = true;
}

const ReserveMark* reserve_due_mark(const WaveReserve* reserve) {
    if (reserve->mark_count == 0) return nullptr;
    const ReserveMark* mark = &reserve->marks[reserve->first_mark];
    return mark->position == reserve->taken ? mark : nullptr;
}

void reserve_drop_mark(WaveReserve* reserve) {
    if (reserve->mark_count == 0) return;
    reserve->first_mark = (reserve->first_mark + 1) % RESERVE_MARKS;
    reserve->mark_count--;
}

uint32_t reserve_take(WaveReserve* reserve, BYTE* dest, uint32_t max) {
    uint64_t limit = reserve->written;
    if (reserve->mark_count > 0) limit = reserve->marks[reserve->first_mark].position;
    uint32_t copied = 0;
    while (copied < max && reserve->taken < limit) {
        uint32_t at = (uint32_t)(reserve->taken % reserve->size);
        uint64_t n = reserve->size - at;
        if (n > limit - reserve->taken) n = limit - reserve->taken;
        if (n > max - copied) n = max - copied;
        memcpy(dest + copied, reserve->data + at, (size_t)n);
        copied += (uint32_t)n;
        reserve->taken += n;
    }
    return copied;
}
