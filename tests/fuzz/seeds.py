#!/usr/bin/env python3
"""Writes the seed corpus of the fuzzer of the module's exports.

    tests/fuzz/seeds.py [DIRECTORY]     (default: tests/fuzz/corpus/exports)

Each seed is a short script of calls in the decoder's input format
(exports_decoder.cpp; the format is described in tests/fuzz/README.md). To add a
seed, add a function below that returns the bytes of its calls, built from the
helpers, and run the script again; the fuzzer starts from every file in the
directory.
"""
import os
import struct
import sys


def u8(v):
    return bytes([v & 0xFF])


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


# Opcodes (the first byte of each call, taken modulo 11).
DRIVERPROC, MOD, WOD, SETTER, SCRIBBLE, READPOS, TOUCH, HOST, ACTION, WINDOW, WAIT = range(11)

# Callback types as the decoder reads them: the low three bits of one byte;
# with bit 7 clear the decoder supplies its own function, window, thread or event.
CB_NULL, CB_WINDOW, CB_TASK, CB_FUNCTION, CB_EVENT = 0, 1, 2, 3, 5
# Callback actions (what the client does from inside its callback).
(A_NONE, A_WAVE_RESET, A_WAVE_CLOSE, A_WAVE_WRITE_AGAIN, A_WAVE_POSITION, A_WAVE_PAUSE, A_MIDI_CLOSE,
 A_MIDI_LONG_AGAIN) = range(8)
FULL = 4  # a pointer kind: the whole record, right before a guard page
SHORT = 3  # the record cut short by a guard page
GUARD = 2  # a pointer into a page that cannot be touched
NULL = 0


def record(kind, fields):
    """A record pointer: the kind, then what the decoder reads for that kind."""
    if kind == NULL:
        return u8(kind)
    if kind == GUARD:
        return u8(kind) + u8(0)
    if kind == SHORT:
        return u8(kind) + fields + u8(20)
    return u8(kind) + fields


def driver_proc(msg, l1=0, l2=0):
    return u8(DRIVERPROC) + u8(msg) + u32(l1) + u32(l2) + u8(1) + u8(1)


# Messages whose first parameter the decoder reads as "anything" (one byte: 0).
MOD_OWN_PARAM = (2, 3, 7, 8)
WOD_OWN_PARAM = (4, 5, 9, 13, 16, 17)


def mod(msg, p2=0, body=b"", dev=0):
    if msg not in MOD_OWN_PARAM:
        body = u8(0)
    return u8(MOD) + u8(0 if dev == 0 else 0xFF) + u8(msg) + u32(p2) + body + u32(0)


def mod_open(cb=CB_FUNCTION, kind=FULL):
    return mod(3, 0, u8(cb) + record(kind, u16(0x1234) + u32(0xABCD)))


def data_and_length(data, length_kind=7, pointer_kind=7):
    """length_kind 7: the length of the data; 0: a little too long; 1: nearly
    4 GiB; 2: 0; 4: odd."""
    s = u8(pointer_kind | length_kind << 3) + u16(len(data))
    if pointer_kind % 8 >= 2:
        s += data[:64]
    if length_kind in (0, 1):
        s += u8(3)
    elif length_kind == 3:
        s += u32(len(data))
    return s


def mod_longdata(data, kind=FULL, flags=None, length_kind=7):
    fields = data_and_length(data, length_kind) + (u8(0) if flags is None else u8(0xFF) + u32(flags))
    return mod(8, 0, record(kind, fields))


def fmt(channels=2, rate=44100, bits=16):
    ch = {1: 0, 2: 1}[channels]
    rates = {44100: 0, 8000: 1, 1000: 2, 65535: 3, 999: 4, 65536: 5, 0: 6, 22050: 7}
    b = {16: 0, 8: 1, 24: 3}[bits]
    return u8(0) + u8(ch) + u8(rates[rate]) + u8(b) + u16(0)


def wod(msg, p2=0, body=b"", dev=0):
    if dev != 0 or msg not in WOD_OWN_PARAM:
        body = u8(0)
    user = b"" if dev == 0 and msg == 9 else u32(0)
    return u8(WOD) + u8(0 if dev == 0 else 0xFF) + u8(msg) + u32(p2) + body + user


def wod_open(cb=CB_FUNCTION, kind=FULL, fmt_kind=FULL, query=False, channels=2, rate=44100, bits=16):
    fields = u16(0x5678) + u32(7) + record(fmt_kind, fmt(channels, rate, bits))
    return wod(5, 0, u8(0 if query else 0xFF) + u8(cb) + record(kind, fields))


def wod_write(slot, data, flags_byte=0, size_kind=0, length_kind=7, pointer_kind=7):
    """A fresh header in a slot the module does not hold. flags_byte below
    160: WHDR_PREPARED; 160..191: with WHDR_DONE; 192..223: with WHDR_INQUEUE."""
    body = u8(slot) + u8(size_kind) + data_and_length(data, length_kind, pointer_kind) + u8(flags_byte) + u8(0)
    return wod(9, 0, body)


def wod_write_again(slot):
    """The header of a slot the module holds, written again as it stands."""
    return wod(9, 0, u8(slot) + u8(0))


def wod_getpos(type_index):
    return wod(13, 12, u8(type_index) + u8(1))


def setter(wave, how, arg, value_index):
    arg_bytes = {0: u16, 1: u32, 2: u8, 3: u8, 4: u32, 5: u8}[how](arg)
    return u8(SETTER) + u8(1 if wave else 0) + u8(how) + arg_bytes + u8(value_index)


def set_word(wave, offset, value):
    """A setter call storing any 32-bit value at any 32-bit offset."""
    return u8(SETTER) + u8(1 if wave else 0) + u8(4) + u32(offset) + u8(0xFF) + u32(value)


def scribble(wave, offset, data):
    return u8(SCRIBBLE) + u8(1 if wave else 0) + (u32(offset) if wave else u16(offset)) + u8(len(data) - 1) + data


def read_pos(step):
    return u8(READPOS) + u8(0) + u16(step)


def host(key, value):
    return u8(HOST) + u8(key) + u8(value)


def action(a):
    return u8(ACTION) + u8(a)


def wait(ms):
    return u8(WAIT) + u8(ms)


def seed_capabilities():
    s = b"".join(driver_proc(m, 500, 500) for m in (0, 1, 2, 8, 9, 10, 11, 12))
    s += mod(1) + mod(2, 84, u8(1)) + mod(2, 10, u8(1)) + mod(2, 0x1000A, u8(1)) + mod(2, 84, u8(0))
    s += wod(3) + wod(4, 84, u8(1)) + wod(4, 40, u8(1)) + wod(4, 0x10000, u8(1))
    s += mod(1, dev=1) + wod(3, dev=1) + mod(5) + mod(6) + wod(7) + wod(8) + wod(20)
    return s


def seed_midi_session():
    s = mod_open() + mod(7, 0, u32(0x7F3C90)) + mod(7, 0, u32(0x3E)) + mod(7, 0, u32(0xF8))
    s += mod_longdata(bytes([0xF0, 0x7E, 0x7F, 0x09, 0x01, 0xF7]))
    s += mod_longdata(b"", flags=0) + mod(9) + mod(4)
    return s


def seed_midi_hostile():
    s = mod_open(kind=SHORT) + mod_open(kind=GUARD) + mod_open()
    s += mod_longdata(b"\x90\x40\x40", kind=GUARD) + mod_longdata(b"\x90\x40\x40", kind=SHORT)
    s += mod_longdata(b"\x90\x40\x40", length_kind=1)
    s += scribble(False, 0x101C, u32(0x12345678)) + mod(7, 0, u32(0x403C90))
    s += setter(False, 5, 2, 4) + setter(False, 3, 0, 3) + mod(7, 0, u32(0x403C90))
    s += action(A_MIDI_CLOSE) + mod_longdata(b"\xF0\x01\xF7")
    return s


def seed_wave_session():
    s = wod_open(query=True) + wod_open()
    s += wod_write(0, bytes(range(64)) * 16) + wod_write(1, bytes(256)) + wod_write_again(0)
    s += read_pos(64) + read_pos(200) + read_pos(1000)
    s += b"".join(wod_getpos(i) for i in range(7))
    s += wod(17, 0, u32(0x80008000)) + wod(16, 0, u8(1)) + wod(10) + read_pos(100) + wod(11)
    s += wod_write(2, bytes(1024)) + wod(12) + wod_write(3, bytes(4096)) + wod(6)
    return s


def seed_wave_hostile():
    s = wod_open(kind=SHORT) + wod_open(fmt_kind=SHORT) + wod_open(fmt_kind=GUARD)
    s += wod_open(rate=999) + wod_open(channels=1, bits=24) + wod_open(cb=CB_EVENT)
    s += wod_write(0, bytes(6), length_kind=4) + wod_write(1, bytes(16), length_kind=1)
    s += wod_write(2, bytes(16), size_kind=2) + wod_write(3, bytes(16), flags_byte=200)
    s += u8(TOUCH) + u8(0) + u8(1) + u32(0x13) + read_pos(400)
    s += scribble(True, 8, u32(0x7FFFFFFF)) + wait(15) + wod_getpos(0)
    s += setter(True, 2, 0, 4) + setter(True, 3, 1, 3) + wod(6)
    return s


def seed_callbacks():
    s = action(A_WAVE_CLOSE) + wod_open() + wod_write(0, bytes(64)) + wod_write(1, bytes(64)) + read_pos(400)
    s += wait(15) + action(A_WAVE_WRITE_AGAIN) + wod_open() + wod_write(2, bytes(64)) + read_pos(400) + read_pos(400)
    s += action(A_WAVE_RESET) + wod_write(3, bytes(8)) + read_pos(400) + wod(6)
    s += action(A_MIDI_LONG_AGAIN) + mod_open() + mod_longdata(bytes([0xF0, 0x01, 0xF7])) + mod(4)
    return s


def seed_hosts():
    s = host(0, 1) + mod_open() + wod_open() + host(0, 3) + mod_open() + host(0, 2) + wod_open()
    s += host(0, 0) + host(1, 1) + mod_open() + mod(7, 0, u32(0x403C90)) + mod(4)
    s += host(1, 2) + mod_open() + mod(7, 0, u32(0x403C90)) + host(1, 0) + host(2, 1) + wod_open() + wod(6)
    s += u8(WINDOW) + wod_open() + u8(WINDOW)
    return s


def seed_wave_formats():
    s = wod_open(channels=1, rate=8000, bits=8) + wod_write(0, bytes(range(200)), length_kind=0)
    s += wod_write(1, bytes(7)) + wod_write(2, b"", pointer_kind=0) + wod(10) + read_pos(50) + wod_getpos(0)
    s += wod(11) + read_pos(50) + wod_getpos(1) + wod(12) + wod_getpos(2) + wod(6)
    s += wod_open(channels=2, rate=1000, bits=8) + wod_write(3, bytes(64)) + read_pos(8) + read_pos(8) + wod(6)
    return s


def seed_midi_garbage():
    s = mod_open() + set_word(False, 0x1024, 10000) + mod(7, 0, u32(0x403C90)) + mod(9)
    s += set_word(False, 0x1024, 9999) + mod(7, 0, u32(0x403C90))
    s += scribble(False, 0x1028, u32(0xF7)) + mod(7, 0, u32(0x4040)) + mod(9) + mod(7, 0, u32(0x4040))
    s += set_word(False, 0x101C, 0xFFFFFFF0) + mod_longdata(bytes([0xF0]) + bytes(100) + bytes([0xF7]))
    s += set_word(False, 0x1020, 5) + mod(7, 0, u32(0xF8))
    s += scribble(False, 0x0C, u32(0x12345)) + mod(9) + mod(4) + mod_open()
    s += set_word(False, 0, 0) + mod(7, 0, u32(0x90)) + mod(4)
    return s


SEEDS = {
    "wave-formats": seed_wave_formats,
    "midi-garbage": seed_midi_garbage,
    "capabilities": seed_capabilities,
    "midi-session": seed_midi_session,
    "midi-hostile": seed_midi_hostile,
    "wave-session": seed_wave_session,
    "wave-hostile": seed_wave_hostile,
    "callbacks": seed_callbacks,
    "hosts": seed_hosts,
}


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "corpus", "exports")
    os.makedirs(out, exist_ok=True)
    for name, make in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(make())


if __name__ == "__main__":
    main()
