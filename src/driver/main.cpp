// wavtap's entry: runs the stages of one recording in order and decides the exit status.
#include <cstdlib>

#include "capture/capture.h"
#include "driver/interrupt.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "wave/output_file.h"
#include "wave/write_buffer.h"

int main(int argc, char** argv) {
    argv = command_line_arguments(&argc, argv);
    parse_switches(argc, argv);
    open_output();
    SetConsoleCtrlHandler(ctrl_handler, TRUE);
    capture_audio();
    flush_output();
    release_output_buffer();
    exit(0);
}
