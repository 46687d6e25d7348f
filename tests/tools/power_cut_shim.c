// Journals every call that changes one file, for the power-cut test: preloaded (LD_PRELOAD) into
// the program, it writes each fwrite, fputc, pwrite, ftruncate, posix_fallocate, fallocate,
// fdatasync and fsync on the file named by POWER_CUT_FILE to the journal POWER_CUT_JOURNAL
// before making the call, so that the journal is the program's order of changes to the file
// up to the instant it was killed.
//
// Records, one after the other: a line "W OFFSET LENGTH" followed by the LENGTH bytes written,
// "T LENGTH" (truncate), "A OFFSET LENGTH" (allocate, the size grown to cover it), "Z OFFSET
// LENGTH" (zeroed, the size grown to cover it unless KEEP), "K OFFSET LENGTH" (zeroed, the size
// kept) and "S" (sync).
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

/* Whether fd is open on the file POWER_CUT_FILE names. */
static int is_watched(int fd) {
    const char* path = getenv("POWER_CUT_FILE");
    struct stat mine, watched;
    return path && fd >= 0 && fstat(fd, &mine) == 0 && stat(path, &watched) == 0 &&
           mine.st_dev == watched.st_dev && mine.st_ino == watched.st_ino;
}

/* Appends one record (and length bytes of data, when data is not null) to the journal. */
static void journal(const char* kind, long long offset, long long length, const void* data) {
    const char* path = getenv("POWER_CUT_JOURNAL");
    if (!path) return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[80];
    int n = snprintf(line, sizeof line, "%s %lld %lld\n", kind, offset, length);
    ssize_t ignored = write(fd, line, (size_t)n);
    if (data) ignored = write(fd, data, (size_t)length);
    (void)ignored;
    close(fd);
}

#define REAL(name) ((__typeof__(&name))dlsym(RTLD_NEXT, #name))

size_t fwrite(const void* data, size_t size, size_t count, FILE* stream) {
    if (is_watched(fileno(stream)))
        journal("W", (long long)ftello(stream), (long long)(size * count), data);
    return REAL(fwrite)(data, size, count, stream);
}

int fputc(int c, FILE* stream) {
    unsigned char byte = (unsigned char)c;
    if (is_watched(fileno(stream))) journal("W", (long long)ftello(stream), 1, &byte);
    return REAL(fputc)(c, stream);
}

ssize_t pwrite(int fd, const void* data, size_t length, off_t offset) {
    if (is_watched(fd)) journal("W", (long long)offset, (long long)length, data);
    return REAL(pwrite)(fd, data, length, offset);
}

ssize_t pwrite64(int fd, const void* data, size_t length, off_t offset) {
    if (is_watched(fd)) journal("W", (long long)offset, (long long)length, data);
    return REAL(pwrite64)(fd, data, length, offset);
}

int ftruncate(int fd, off_t length) {
    if (is_watched(fd)) journal("T", 0, (long long)length, NULL);
    return REAL(ftruncate)(fd, length);
}

int ftruncate64(int fd, off_t length) {
    if (is_watched(fd)) journal("T", 0, (long long)length, NULL);
    return REAL(ftruncate64)(fd, length);
}

int posix_fallocate(int fd, off_t offset, off_t length) {
    if (is_watched(fd)) journal("A", (long long)offset, (long long)length, NULL);
    return REAL(posix_fallocate)(fd, offset, length);
}

int posix_fallocate64(int fd, off_t offset, off_t length) {
    if (is_watched(fd)) journal("A", (long long)offset, (long long)length, NULL);
    return REAL(posix_fallocate64)(fd, offset, length);
}

/* The zeroing and allocating modes the program uses; others are journaled as an allocation. */
static const char* fallocate_kind(int mode) {
    if (mode & FALLOC_FL_ZERO_RANGE) return mode & FALLOC_FL_KEEP_SIZE ? "K" : "Z";
    return "A";
}

int fallocate(int fd, int mode, off_t offset, off_t length) {
    if (is_watched(fd)) journal(fallocate_kind(mode), (long long)offset, (long long)length, NULL);
    return REAL(fallocate)(fd, mode, offset, length);
}

int fallocate64(int fd, int mode, off_t offset, off_t length) {
    if (is_watched(fd)) journal(fallocate_kind(mode), (long long)offset, (long long)length, NULL);
    return REAL(fallocate64)(fd, mode, offset, length);
}

int fdatasync(int fd) {
    if (is_watched(fd)) journal("S", 0, 0, NULL);
    return REAL(fdatasync)(fd);
}

int fsync(int fd) {
    if (is_watched(fd)) journal("S", 0, 0, NULL);
    return REAL(fsync)(fd);
}
