// wavtap's entry: runs the stages of one recording in order and decides the exit status.
#include <cstdlib>

#include "capture/capture.h"
#include "driver/interrupt.h"
#include "platform/platform.h"
#include "settings/settings.h"
#include "wave/durable_header.h"
#include "wave/output_file.h"
#include "wave/write_buffer.h"

/* Exit statuses: -1 (fatal errors) comes from fatal_error. */
#define EXIT_RECORDED 0      /* complete, or stopped on request */
#define EXIT_DEVICE_FAILED 1 /* the capture ended because of a device error */

int main(int argc, char** argv) {
    guard_standard_descriptors();
    argv = command_line_arguments(&argc, argv);
    parse_switches(argc, argv);
    open_output();
    prepare_output_done();
    SetConsoleCtrlHandler(ctrl_handler, TRUE);
    MMRESULT error = capture_audio();
    flush_output();
    settle_output();
    release_output_buffer();
    output_done();
    exit(error == MMSYSERR_NOERROR ? EXIT_RECORDED : EXIT_DEVICE_FAILED);
}
