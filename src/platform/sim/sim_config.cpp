// Reading the simulated device's settings from the WAVTAP_SIM text.
#include "platform/sim/sim_config.h"

#include "platform/posix/wave_source.h"

#include <cstdio>
#include <cstring>

/* Parses a whole decimal number of [start, end) no larger than max. */
static bool parse_number(const char* start, const char* end, uint64_t max, uint64_t* value) {
    if (start == end || *start < '0' || *start > '9') return false;
    uint64_t n = 0;
    for (const char* p = start; p < end; p++) {
        if (*p < '0' || *p > '9') return false;
        unsigned digit = (unsigned)(*p - '0');
        if (n > (max - digit) / 10) return false;
        n = n * 10 + digit;
    }
    *value = n;
    return true;
}

static bool parse_fault(const char* start, const char* end, SimConfig* config) {
    if (config->fault_count == SIM_MAX_FAULTS) return false;
    SimFault* fault = &config->faults[config->fault_count];
    const char* colon = (const char*)memchr(start, ':', (size_t)(end - start));
    if (!colon) return false;
    bool known = false;
    for (const char* call : wave_in_call_names) {
        if (strlen(call) == (size_t)(colon - start) && memcmp(call, start, strlen(call)) == 0) {
            snprintf(fault->call, sizeof fault->call, "%s", call);
            known = true;
        }
    }
    if (!known) return false;
    const char* second = (const char*)memchr(colon + 1, ':', (size_t)(end - colon - 1));
    uint64_t n = 0, code = MMSYSERR_ERROR;
    if (!parse_number(colon + 1, second ? second : end, 0xFFFFFFFFu, &n) || n == 0) return false;
    if (second && (!parse_number(second + 1, end, 0xFFFFFFFFu, &code) || code == 0)) return false;
    fault->n = (unsigned)n;
    fault->code = (MMRESULT)code;
    config->fault_count++;
    return true;
}

/* Parses a loss's "N" or "N:F" (buffer, frames skipped) of [start, end). */
static bool parse_loss(const char* start, const char* end, bool middle, SimConfig* config) {
    if (config->loss_count == SIM_MAX_LOSSES) return false;
    const char* colon = (const char*)memchr(start, ':', (size_t)(end - start));
    uint64_t buffer = 0, gap = 0;
    if (!parse_number(start, colon ? colon : end, 0x7FFFFFFFu, &buffer)) return false;
    if (colon && !parse_number(colon + 1, end, 0x7FFFFFFFu, &gap)) return false;
    SimLoss* loss = &config->losses[config->loss_count++];
    loss->buffer = buffer;
    loss->middle = middle;
    loss->gap = colon ? (int64_t)gap : SIM_NEVER;
    return true;
}

/* Parses a silence's "FROM_MS:LENGTH_MS" of [start, end). */
static bool parse_silence(const char* start, const char* end, SimConfig* config) {
    if (config->silence_count == SIM_MAX_SILENCES) return false;
    const char* colon = (const char*)memchr(start, ':', (size_t)(end - start));
    uint64_t from = 0, length = 0;
    if (!colon || !parse_number(start, colon, 0x7FFFFFFFu, &from) ||
        !parse_number(colon + 1, end, 0x7FFFFFFFu, &length))
        return false;
    config->silences[config->silence_count++] = SimSilence{from, length};
    return true;
}

/* Applies one key=value item of [start, end). */
static bool parse_item(const char* start, const char* end, SimConfig* config) {
    const char* equals = (const char*)memchr(start, '=', (size_t)(end - start));
    if (!equals) return false;
    size_t key_length = (size_t)(equals - start);
    const char* value = equals + 1;
    auto key_is = [&](const char* key) {
        return strlen(key) == key_length && memcmp(key, start, key_length) == 0;
    };
    if (key_is("fail")) return parse_fault(value, end, config);
    if (key_is("silence")) return parse_silence(value, end, config);
    if (key_is("lose_after") || key_is("short"))
        return parse_loss(value, end, key_is("short"), config);
    bool negative = key_is("ppm") && value < end && *value == '-';
    uint64_t n = 0;
    if (!parse_number(value + negative, end, 0x7FFFFFFFu, &n)) return false;
    if (key_is("ppm")) {
        if (n >= 1000000) return false;
        config->ppm = negative ? -(int32_t)n : (int32_t)n;
        return true;
    }
    if (key_is("speed")) {
        config->speed = (unsigned)n;
    } else if (key_is("devices")) {
        config->devices = (unsigned)n;
    } else if (key_is("bps") && n > 0) {
        config->buffers_per_second = (unsigned)n;
    } else if (key_is("open") && n > 0) {
        config->open_result = (MMRESULT)n;
    } else if (key_is("stall_after")) {
        config->stall_after = (int64_t)n;
    } else if (key_is("interrupt_after")) {
        config->interrupt_after = (int64_t)n;
    } else if (key_is("die_after")) {
        config->die_after = (int64_t)n;
    } else if (key_is("back_after")) {
        config->back_after_ms = (int64_t)n;
    } else if (key_is("gap")) {
        config->gap_frames = (int64_t)n;
    } else if (key_is("overrun") && n > 0) {
        config->overrun_ms = (unsigned)n;
    } else if (key_is("tell")) {
        config->tell_fd = (int)n;
    } else if (key_is("clock")) {
        config->clock_start = (int64_t)n;
    } else if (key_is("late")) {
        config->late_ms = (int64_t)n;
    } else {
        return false;
    }
    return true;
}

bool sim_config_parse(const char* text, SimConfig* config, char* error, size_t error_size) {
    memset(config, 0, sizeof *config);
    config->speed = 1;
    config->devices = 2;
    config->buffers_per_second = 10;
    config->stall_after = SIM_NEVER;
    config->die_after = SIM_NEVER;
    config->interrupt_after = SIM_NEVER;
    config->back_after_ms = SIM_NEVER;
    config->gap_frames = SIM_NEVER;
    config->tell_fd = -1;
    config->clock_start = SIM_NEVER;
    if (error_size > 0) error[0] = '\0';
    if (!text || !*text || (!strchr(text, '=') && strchr(text, '/'))) return true;
    const char* start = text;
    for (;;) {
        const char* end = strchr(start, ',');
        if (!end) end = start + strlen(start);
        if (!parse_item(start, end, config)) {
            snprintf(error, error_size, "WAVTAP_SIM: cannot use '%.*s'", (int)(end - start), start);
            return false;
        }
        if (!*end) return true;
        start = end + 1;
    }
}
