// wavtap's entry: runs the stages of one recording in order and decides the exit status.
#include <cstdlib>

#include "driver/interrupt.h"
#include "settings/settings.h"

int main(int argc, char** argv) {
    parse_switches(argc, argv);
    SetConsoleCtrlHandler(ctrl_handler, TRUE);
    exit(0);
}
