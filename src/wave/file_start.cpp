// When the current output file's first frame was captured.
#include "wave/file_start.h"

static FileStart file_start;

const FileStart* current_file_start(void) {
    return &file_start;
}

void set_file_start(const FileStart* start) {
    file_start = *start;
}
