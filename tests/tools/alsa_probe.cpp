// Drives the ALSA audio source for the end-to-end scripts, directly through its interface or
// through the wave-input service on top of it: counts devices, opens one, or records bytes to
// standard output.
//
//   alsa_probe count
//   alsa_probe open ID RATE CHANNELS BITS
//   alsa_probe read ID RATE CHANNELS BITS BYTES [-k CHUNK] [-p AT:MS]... [-L]
//   alsa_probe wavein ID RATE CHANNELS BITS LENGTH...
//
// ID is a number or "mapper". open prints the MMRESULT's name. read writes BYTES of audio to
// standard output in reads of at most CHUNK bytes (default: a tenth of a second), pauses MS
// milliseconds once AT bytes have been read, and stops at the first loss unless -L is given.
// It prints "lost after N bytes: TEXT" or "failed after N bytes: TEXT" on standard error.
// wavein records as the program does: waveInOpen with a callback, one buffer per LENGTH (bytes;
// "N*LENGTH" stands for N buffers of LENGTH bytes), all prepared and added before waveInStart.
// Once every buffer is back it writes their data to standard output in the order they came
// back, and prints "RECORDED/LENGTH" for each on one line of standard error, then the text of
// MMSYSERR_ERROR when a buffer came back short. A failed open prints "open: NAME".
// Exit status: 0 done, 2 open failed, 3 loss (or a short buffer), 4 failure, 5 no audio for
// 5 s, 64 usage.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/posix/wave_source.h"
#include "platform/win32_compat.h"

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
                    " read ID RATE CHANNELS BITS BYTES [-k CHUNK] [-p AT:MS]... [-L] |"
                    " wavein ID RATE CHANNELS BITS LENGTH...\n");
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

/* The buffers of a wavein run, in the order they were added, and how far the device got. The
   callback (device thread) stores each finished header; main reads them after the last one. */
static struct {
    std::vector<WAVEHDR> headers; /* one per buffer */
    std::vector<WAVEHDR*> order;  /* the headers in the order they came back */
    std::atomic<size_t> done{0};  /* entries of order filled; published by the callback */
    HANDLE all_done;              /* set when done reaches the number of buffers */
} run;

static void CALLBACK wavein_callback(HWAVEIN, UINT message, DWORD_PTR, DWORD_PTR param1,
                                     DWORD_PTR) {
    if (message != WIM_DATA) return;
    size_t n = run.done.load(std::memory_order_relaxed);
    if (n < run.order.size()) run.order[n] = reinterpret_cast<WAVEHDR*>(param1);
    run.done.store(n + 1, std::memory_order_release);
    if (n + 1 == run.headers.size()) SetEvent(run.all_done);
}

/* Parses the LENGTH arguments into byte lengths. */
static std::vector<DWORD> buffer_lengths(int count, char** arg) {
    std::vector<DWORD> lengths;
    for (int i = 0; i < count; i++) {
        char* end;
        unsigned long times = 1, length = strtoul(arg[i], &end, 10);
        if (*end == '*') {
            times = length;
            length = strtoul(end + 1, &end, 10);
        }
        if (*end != '\0' || times == 0 || times > 100000 || length > (64ul << 20)) usage();
        lengths.insert(lengths.end(), times, (DWORD)length);
    }
    return lengths;
}

static int record_through_service(UINT id, const WAVEFORMATEX* format,
                                  const std::vector<DWORD>& lengths) {
    size_t total = 0;
    for (DWORD length : lengths)
        total += length;
    std::vector<char> audio(total);
    run.headers.assign(lengths.size(), WAVEHDR());
    run.order.assign(lengths.size(), nullptr);
    run.all_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HWAVEIN device;
    MMRESULT result =
        waveInOpen(&device, id, format, (DWORD_PTR)wavein_callback, 0, CALLBACK_FUNCTION);
    if (result != MMSYSERR_NOERROR) {
        fprintf(stderr, "open: %s\n", result_name(result));
        return 2;
    }
    char* next = audio.data();
    for (size_t i = 0; i < lengths.size() && result == MMSYSERR_NOERROR; i++) {
        WAVEHDR* header = &run.headers[i];
        header->lpData = next;
        header->dwBufferLength = lengths[i];
        next += lengths[i];
        result = waveInPrepareHeader(device, header, sizeof *header);
        if (result == MMSYSERR_NOERROR) result = waveInAddBuffer(device, header, sizeof *header);
    }
    if (result == MMSYSERR_NOERROR) result = waveInStart(device);
    int status = result == MMSYSERR_NOERROR ? 0 : 4;
    if (status == 0 && WaitForSingleObject(run.all_done, 5000) != WAIT_OBJECT_0) status = 5;
    waveInReset(device);
    for (WAVEHDR& header : run.headers)
        waveInUnprepareHeader(device, &header, sizeof header);
    waveInClose(device);
    CloseHandle(run.all_done);

    size_t done = std::min(run.done.load(std::memory_order_acquire), lengths.size());
    bool short_buffer = false;
    for (size_t i = 0; i < done; i++) {
        const WAVEHDR* header = run.order[i];
        fwrite(header->lpData, 1, header->dwBytesRecorded, stdout);
        fprintf(stderr, "%u/%u\n", (unsigned)header->dwBytesRecorded,
                (unsigned)header->dwBufferLength);
        if (header->dwBytesRecorded != header->dwBufferLength) short_buffer = true;
    }
    if (short_buffer) {
        char text[256] = "";
        waveInGetErrorTextA(MMSYSERR_ERROR, text, sizeof text);
        fprintf(stderr, "%s\n", text);
        if (status == 0) status = 3;
    }
    return status;
}

int main(int argc, char** argv) {
    if (argc < 2) usage();
    if (strcmp(argv[1], "count") == 0) {
        printf("%u\n", wave_source_count());
        return 0;
    }
    bool reading = strcmp(argv[1], "read") == 0, through_service = strcmp(argv[1], "wavein") == 0;
    if ((!reading && !through_service && strcmp(argv[1], "open") != 0) ||
        argc < (reading || through_service ? 7 : 6))
        usage();
    UINT id = strcmp(argv[2], "mapper") == 0 ? WAVE_MAPPER : (UINT)strtoul(argv[2], nullptr, 10);
    WAVEFORMATEX format = format_from(argv + 3);
    if (through_service) {
        int status = record_through_service(id, &format, buffer_lengths(argc - 6, argv + 6));
        fflush(stdout);
        return status;
    }
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
