#!/bin/bash
# The systemd unit template that cmake --install puts in lib/systemd/system under the prefix:
# systemd takes it as it is, and it starts the program the install put there.
. "$(dirname "$0")/lib.sh"

if ! command -v systemd-analyze >/dev/null; then
    test_lacks_prereq SYSTEMD "no systemd-analyze (Debian's systemd package)"
elif ! grep -q "^WAVTAP_SYSTEMD_UNIT:BOOL=ON" "$WAVTAP_BUILD_DIR/CMakeCache.txt"; then
    test_lacks_prereq SYSTEMD "the build installs no unit (WAVTAP_SYSTEMD_UNIT)"
else
    test_set_prereq SYSTEMD
fi

# install_into PREFIX [DESTDIR]: the build installed with PREFIX, under DESTDIR when given.
install_into() {
    DESTDIR=${2:-} run cmake --install "$WAVTAP_BUILD_DIR" --prefix "$1" &&
        test_status 0 || { cat stdout stderr; return 1; }
}

# exec_start UNIT: the unit's command line.
exec_start() { sed -n 's/^ExecStart=//p' "$1"; }

test_expect_success SYSTEMD 'the installed unit passes systemd-analyze verify and starts the installed program' '
    install_into "$PWD/root" &&
    unit=root/lib/systemd/system/wavtap@.service &&
    run systemd-analyze verify --man=no "$unit" &&
    test_status 0 &&
    test_stdout_is "" &&
    test_stderr_is "" &&
    exec_start "$unit" >command &&
    test "$(cut -d" " -f1 command)" = "$PWD/root/bin/wavtap" &&
    test -x root/bin/wavtap
'

# systemd replaces %X in a unit; a strftime conversion must be written %%X, or verify passes a
# name that systemd fills with one of its own specifiers (%Y is the unit file'"'"'s directory).
test_expect_success SYSTEMD 'the command line holds no percent sign but %%, %S and %i' '
    install_into "$PWD/root" &&
    exec_start root/lib/systemd/system/wavtap@.service >command &&
    grep -q "%%Y" command &&
    sed "s/%%//g; s/%[Si]//g" command >left &&
    ! grep "%" left
'

test_expect_success SYSTEMD 'under DESTDIR the unit names the program at the configured prefix' '
    prefix=$(sed -n "s/^CMAKE_INSTALL_PREFIX:PATH=//p" "$WAVTAP_BUILD_DIR/CMakeCache.txt") &&
    install_into "$prefix" "$PWD/dest" &&
    exec_start "dest$prefix/lib/systemd/system/wavtap@.service" >command &&
    test "$(cut -d" " -f1 command)" = "$prefix/bin/wavtap" &&
    test -x "dest$prefix/bin/wavtap"
'

test_done
