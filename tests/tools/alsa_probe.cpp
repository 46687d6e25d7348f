// Drives the ALSA audio source directly through its interface, for the end-to-end scripts:
// counts devices, opens one, or records bytes to standard output with optional pauses.
//
//   alsa_probe count
//   alsa_probe open ID RATE CHANNELS BITS
//   alsa_probe read ID RATE CHANNELS BITS BYTES [-k CHUNK] [-p AT:MS]... [-L]
//
// ID is a number or "mapper". open prints the MMRESULT's name. read writes BYTES of audio to
// standard output in reads of at most CHUNK bytes (default: a tenth of a second), pauses MS
// milliseconds once AT bytes have been read, and stops at the first loss unless -L is given.
// It prints "lost after N bytes: TEXT" or "failed after N bytes: TEXT" on standard error.
// Exit status: 0 done, 2 open failed, 3 loss, 4 failure, 5 no audio for 5 s, 64 usage.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/posix/wave_source.h"

struct Pause {
    uint64_t at; /* bytes read before the pause */
    long ms;     /* length of the pause */
};

static const char* result_name(MMRESULT result) {
    switch (result) {
    case MMSYSERR_NOERROR:
        return "MMSYSERR_NOERROR";
    case MMSYSERR_ERROR:
        return "MMSYSERR_ERROR";
    case MMSYSERR_BADDEVICEID:
        return "MMSYSERR_BADDEVICEID";
    case MMSYSERR_ALLOCATED:
        return "MMSYSERR_ALLOCATED";
    case MMSYSERR_NODRIVER:
        return "MMSYSERR_NODRIVER";
    case MMSYSERR_NOMEM:
        return "MMSYSERR_NOMEM";
    case WAVERR_BADFORMAT:
        return "WAVERR_BADFORMAT";
    default:
        return "other";
    }
}

[[noreturn]] static void usage(void) {
    fprintf(stderr, "usage: alsa_probe count | open ID RATE CHANNELS BITS |"
                    " read ID RATE CHANNELS BITS BYTES [-k CHUNK] [-p AT:MS]... [-L]\n");
    exit(64);
}

static void sleep_ms(long ms) {
    struct timespec pause = {ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&pause, &pause) != 0) {
    }
}

static WAVEFORMATEX format_from(char** arg) {
    WAVEFORMATEX format = {};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nSamplesPerSec = (DWORD)strtoul(arg[0], nullptr, 10);
    format.nChannels = (WORD)atoi(arg[1]);
    format.wBitsPerSample = (WORD)atoi(arg[2]);
    format.nBlockAlign = (WORD)(format.nChannels * format.wBitsPerSample / 8);
    format.nAvgBytesPerSec = format.nBlockAlign * format.nSamplesPerSec;
    return format;
}

static int record(WaveSource* source, const WAVEFORMATEX* format, uint64_t total, uint32_t chunk,
                  const std::vector<Pause>& pauses, bool keep_going) {
    std::vector<char> buffer(chunk);
    uint64_t done = 0;
    size_t next_pause = 0;
    int idle_ms = 0, status = 0;
    char text[256];
    if (wave_source_start(source) != MMSYSERR_NOERROR) return 4;
    while (done < total) {
        if (next_pause < pauses.size() && done >= pauses[next_pause].at)
            sleep_ms(pauses[next_pause++].ms);
        uint64_t want = total - done < chunk ? total - done : chunk;
        int32_t got = wave_source_read(source, buffer.data(), (uint32_t)want, 100);
        if (got == WAVE_SOURCE_LOST || got == WAVE_SOURCE_FAILED) {
            wave_source_describe_problem(source, text, sizeof text);
            fprintf(stderr, "%s after %llu bytes: %s\n",
                    got == WAVE_SOURCE_LOST ? "lost" : "failed", (unsigned long long)done, text);
            status = got == WAVE_SOURCE_LOST ? 3 : 4;
            if (got == WAVE_SOURCE_FAILED || !keep_going) break;
            continue;
        }
        if (got == 0) {
            if ((idle_ms += 100) >= 5000) return 5;
            continue;
        }
        idle_ms = 0;
        if (got % format->nBlockAlign != 0 || (uint64_t)got > want) {
            fprintf(stderr, "read returned %d bytes for %llu asked\n", got,
                    (unsigned long long)want);
            return 4;
        }
        fwrite(buffer.data(), 1, (size_t)got, stdout);
        done += (uint64_t)got;
    }
    wave_source_stop(source);
    return status;
}

int main(int argc, char** argv) {
    if (argc < 2) usage();
    if (strcmp(argv[1], "count") == 0) {
        printf("%u\n", wave_source_count());
        return 0;
    }
    bool reading = strcmp(argv[1], "read") == 0;
    if ((!reading && strcmp(argv[1], "open") != 0) || argc < (reading ? 7 : 6)) usage();
    UINT id = strcmp(argv[2], "mapper") == 0 ? WAVE_MAPPER : (UINT)strtoul(argv[2], nullptr, 10);
    WAVEFORMATEX format = format_from(argv + 3);
    WaveSource* source = nullptr;
    MMRESULT result = wave_source_open(id, &format, &source);
    if (!reading) {
        printf("%s\n", result_name(result));
        if (result == MMSYSERR_NOERROR) wave_source_close(source);
        return 0;
    }
    if (result != MMSYSERR_NOERROR) {
        fprintf(stderr, "open: %s\n", result_name(result));
        return 2;
    }
    uint64_t total = strtoull(argv[6], nullptr, 10);
    uint32_t chunk = format.nAvgBytesPerSec / 10 / format.nBlockAlign * format.nBlockAlign;
    std::vector<Pause> pauses;
    bool keep_going = false;
    for (int i = 7; i < argc; i++) {
        if (strcmp(argv[i], "-k") == 0 && i + 1 < argc)
            chunk = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "-p") == 0 && i + 1 < argc) {
            char* colon;
            Pause pause;
            pause.at = strtoull(argv[++i], &colon, 10);
            if (*colon != ':') usage();
            pause.ms = strtol(colon + 1, nullptr, 10);
            pauses.push_back(pause);
        } else if (strcmp(argv[i], "-L") == 0)
            keep_going = true;
        else
            usage();
    }
    if (chunk < format.nBlockAlign) chunk = format.nBlockAlign;
    int status = record(source, &format, total, chunk, pauses, keep_going);
    fflush(stdout);
    wave_source_close(source);
    return status;
}
