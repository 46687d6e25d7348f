// Runs the key prompt on its own, for the end-to-end script that drives it through a terminal:
// waits for the key, then prints "pressed".
#include <cstdio>

#include "platform/key_prompt.h"

static const std::atomic<int> never_stop{0};

int main() {
    wait_for_key_press(&never_stop);
    printf("pressed\n");
    return 0;
}
