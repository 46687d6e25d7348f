// The Broadcast Wave "bext" chunk's fields (EBU Tech 3285, version 1) for the current file.
#include "wave/bext_chunk.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "settings/settings.h"
#include "wave/wave_header.h"

/* Where each field of the chunk's data begins, and its length. */
#define BEXT_DESCRIPTION 0      /* 256 bytes of ASCII, NUL-padded */
#define BEXT_ORIGINATOR 256     /* 32 bytes */
#define BEXT_DATE 320           /* 10 bytes, "yyyy-mm-dd"; after the 32-byte OriginatorReference */
#define BEXT_TIME 330           /* 8 bytes, "hh:mm:ss" */
#define BEXT_TIME_REFERENCE 338 /* 64 bits, low word first: frames since midnight */
#define BEXT_VERSION 346        /* 16 bits */
#define DESCRIPTION_SIZE 256

#define NS_PER_SECOND 1000000000LL

/* Floor division, for times before 1970 as well. */
static int64_t floor_div(int64_t a, int64_t b) {
    return a / b - (a % b != 0 && (a % b < 0) != (b < 0) ? 1 : 0);
}

/* The civil date of a day counted from 1970-01-01 (proleptic Gregorian). */
static void civil_from_days(int64_t days, int64_t* year, int* month, int* day) {
    days += 719468; /* from 0000-03-01 */
    int64_t era = floor_div(days, 146097);
    int64_t day_of_era = days - era * 146097;
    int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    int64_t day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    int64_t month_from_march = (5 * day_of_year + 2) / 153;
    *day = (int)(day_of_year - (153 * month_from_march + 2) / 5 + 1);
    *month = (int)(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
    *year = year_of_era + era * 400 + (*month <= 2 ? 1 : 0);
}

void bext_origination(const FileStart* start, char* date, char* time) {
    if (!start->known) {
        memset(date, 0, 10);
        memset(time, 0, 8);
        return;
    }
    int64_t seconds = floor_div(start->unix_ns, NS_PER_SECOND) + start->utc_offset_s;
    int64_t days = floor_div(seconds, SECONDS_PER_DAY);
    int64_t of_day = seconds - days * SECONDS_PER_DAY;
    int64_t year;
    int month, day;
    civil_from_days(days, &year, &month, &day);
    char text[32];
    /* The field holds four digits: a year beyond them keeps its last four. */
    snprintf(text, sizeof text, "%04d-%02d-%02d", (int)(year % 10000 + 10000) % 10000, month, day);
    memcpy(date, text, 10);
    snprintf(text, sizeof text, "%02d:%02d:%02d", (int)(of_day / 3600), (int)(of_day / 60 % 60),
             (int)(of_day % 60));
    memcpy(time, text, 8);
}

/* The Description: "wavtap 1.1: device 2, 48000 Hz, 2 ch, 16 bit", then " float" for float
   samples and ", part 3 of a take in parts of 3600 s" in parts; the device is the -i name or
   number. Bytes outside printable ASCII (in a device's name) become '?'. */
static void describe_take(char* text) {
    const RecordingSettings& s = recording_settings;
    char device[DEVICE_NAME_SIZE + 16];
    if (s.device_name[0] != '\0')
        snprintf(device, sizeof device, "%.*s", DEVICE_NAME_SIZE - 1, s.device_name);
    else
        snprintf(device, sizeof device, "%d", (int)s.device_number);
    int length = snprintf(text, DESCRIPTION_SIZE,
                          "wavtap " WAVTAP_VERSION ": device %s, %u Hz, %u ch, %u bit%s", device,
                          (unsigned)s.format.nSamplesPerSec, (unsigned)s.format.nChannels,
                          (unsigned)s.format.wBitsPerSample, s.float_samples ? " float" : "");
    if (s.part_seconds > 0 && length >= 0 && length < DESCRIPTION_SIZE)
        snprintf(text + length, (size_t)(DESCRIPTION_SIZE - length),
                 ", part %u of a take in parts of %d s", (unsigned)current_file_start()->part,
                 (int)s.part_seconds);
    for (char* p = text; *p != '\0'; p++)
        if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E) *p = '?';
}

void bext_fields(unsigned char* fields) {
    const FileStart* start = current_file_start();
    memset(fields, 0, BEXT_DATA_SIZE);
    char description[DESCRIPTION_SIZE];
    describe_take(description);
    memcpy(fields + BEXT_DESCRIPTION, description, strlen(description));
    memcpy(fields + BEXT_ORIGINATOR, "wavtap", 6);
    bext_origination(start, (char*)fields + BEXT_DATE, (char*)fields + BEXT_TIME);
    uint64_t reference = start->known ? start->frames_since_midnight : 0;
    for (int i = 0; i < 8; i++)
        fields[BEXT_TIME_REFERENCE + i] = (unsigned char)(reference >> (8 * i));
    fields[BEXT_VERSION] = 1;
}
