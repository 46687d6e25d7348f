// A scratch directory of its own for each unit test that makes files.
#pragma once

#include <cstdlib>
#include <string>

/* Makes a new, empty directory under /tmp and returns its path; "" when none can be made. */
inline std::string make_scratch_directory(void) {
    char pattern[] = "/tmp/wavtap-unit.XXXXXX";
    return mkdtemp(pattern) ? std::string(pattern) : std::string();
}
