#!/usr/bin/env python3
"""Checks that a power cut at any instant leaves a true header, from a journal of the file's changes.

usage: check_power_cut.py JOURNAL [--initial FILE] [--bext]

JOURNAL is what tests/tools/power_cut_shim.c wrote while wavtap-sim recorded 16-bit stereo
44100 Hz audio (the plain 44-byte header) into one file; --initial is the file as it was before
(a new file starts empty). The disk is rebuilt as each sync left it; a power cut before the next
sync may keep any of the changes made in between, so for every sync (and the start) these states
are checked: the synced state alone, with each single later change, and with all of them. In
every state the header, if there is one, must be a true one: "RIFF", "WAVE", the format, a RIFF
size that matches its data size, whole frames, the file at least that long, and its data the
simulated device's signal from frame 0 (frame f: f and f + 16384, mod 65536, little-endian). A
state without a header is allowed only before the first sync (the file not taken yet). With
--bext the header holds a 610-byte "bext" chunk between "fmt " and "data" (654 bytes in all),
the same bytes in every state whose header counts audio (the empty header before the first
write may still hold another start). Prints
  states=N synced_frames=F final_frames=G
(the frames counted at the last sync and after the last change) and exits 0; prints what is wrong
and exits 1 otherwise.
"""
import argparse
import struct
import sys

FORMAT = struct.pack("<4sI4s4sIHHIIHH", b"RIFF", 0, b"WAVE", b"fmt ", 16, 1, 2, 44100, 176400, 4,
                     16)


BEXT_CHUNK = 610  # "bext", its size and a version 1 chunk's 602 bytes
header_size = 44  # 44 + BEXT_CHUNK with --bext
bext_seen = []  # the bext chunk of the first state whose header counts audio


def fail(message):
    print("FAIL: " + message)
    sys.exit(1)


def read_journal(path):
    """The changes in order: (kind, offset, length, data)."""
    changes = []
    with open(path, "rb") as f:
        while True:
            line = f.readline()
            if not line:
                return changes
            kind, offset, length = line.split()
            kind, offset, length = kind.decode(), int(offset), int(length)
            data = f.read(length) if kind == "W" else None
            if data is not None and len(data) != length:
                return changes  # the last record was cut by the kill: its call was not made
            changes.append((kind, offset, length, data))


def grow(state, size):
    if len(state) < size:
        state.extend(bytes(size - len(state)))


def apply(state, change):
    kind, offset, length, data = change
    if kind == "W":
        grow(state, offset + length)
        state[offset:offset + length] = data
    elif kind == "T":
        del state[length:]
        grow(state, length)
    elif kind == "A":
        grow(state, offset + length)
    elif kind in ("Z", "K"):
        if kind == "Z":
            grow(state, offset + length)
        end = min(offset + length, len(state))
        if end > offset:
            state[offset:end] = bytes(end - offset)


def signal(frames):
    """The device's signal, frames 0 .. frames - 1."""
    samples = []
    for f in range(frames):
        samples.append(f % 65536)
        samples.append((f + 16384) % 65536)
    return struct.pack("<%dH" % len(samples), *samples)


def counted(state, label, expected, before_sync):
    """The frames a true header in state counts; fails on a header that is not true."""
    if len(state) < header_size or state[0:4] != b"RIFF":
        if not before_sync:
            fail("%s: no header after it was synced" % label)
        return 0
    data_at = header_size - 8
    riff_size = struct.unpack_from("<I", state, 4)[0]
    data_size = struct.unpack_from("<I", state, data_at + 4)[0]
    data_id = state[data_at:data_at + 4]
    if state[8:36] != FORMAT[8:] or data_id != b"data":
        fail("%s: not a 16-bit stereo 44100 Hz header" % label)
    if header_size > 44:
        chunk = bytes(state[36:36 + BEXT_CHUNK])
        if chunk[:8] != b"bext" + struct.pack("<I", BEXT_CHUNK - 8):
            fail("%s: no bext chunk after fmt" % label)
        if data_size == 0:
            pass
        elif not bext_seen:
            bext_seen.append(chunk)
        elif chunk != bext_seen[0]:
            fail("%s: the bext chunk differs from the first counting header's" % label)
    if riff_size != data_size + header_size - 8:
        fail("%s: RIFF size %d for %d data bytes" % (label, riff_size, data_size))
    if data_size % 4:
        fail("%s: %d data bytes are not whole frames" % (label, data_size))
    if header_size + data_size > len(state):
        fail("%s: the header counts %d bytes, the file holds %d" % (label, data_size,
                                                                     len(state) - header_size))
    if state[header_size:header_size + data_size] != expected[:data_size]:
        at = next(i for i in range(data_size) if state[header_size + i] != expected[i])
        fail("%s: data byte %d of %d counted is not the signal" % (label, at, data_size))
    return data_size // 4


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("journal")
    parser.add_argument("--initial")
    parser.add_argument("--bext", action="store_true")
    args = parser.parse_args()
    global header_size
    header_size = 44 + (BEXT_CHUNK if args.bext else 0)
    changes = read_journal(args.journal)
    state = bytearray()
    if args.initial:
        with open(args.initial, "rb") as f:
            state = bytearray(f.read())
    longest = max([c[1] + c[2] for c in changes if c[0] == "W"] + [header_size])
    expected = signal((longest - header_size) // 4 + 1)
    syncs = [i for i, c in enumerate(changes) if c[0] == "S"]
    states = 0
    synced_frames = 0
    starts = [-1] + syncs  # the state after change i (-1: before any)
    for n, start in enumerate(starts):
        if start >= 0:
            for change in changes[starts[n - 1] + 1:start + 1]:
                apply(state, change)
        end = starts[n + 1] if n + 1 < len(starts) else len(changes)
        later = changes[start + 1:end]
        before_sync = start < 0
        synced_frames = counted(state, "synced at change %d" % start, expected, before_sync)
        states += 1
        for i, change in enumerate(later):
            alone = bytearray(state)
            apply(alone, change)
            counted(alone, "synced at change %d with change %d alone" % (start, start + 1 + i),
                    expected, before_sync)
            states += 1
        every = bytearray(state)
        for change in later:
            apply(every, change)
        final_frames = counted(every, "synced at change %d with all %d after" % (start, len(later)),
                               expected, before_sync)
        states += 1
    print("states=%d synced_frames=%d final_frames=%d" % (states, synced_frames, final_frames))


main()
