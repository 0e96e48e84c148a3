#!/usr/bin/python3
"""The pyserial peer of the benchmark: the byte patterns and timeouts of each
export of the library, done with pyserial on the same terminal and device.

Run by pelcor_bench, once per kind of device; it prints one line per timed
call, "sample NAME WALL_NS CPU_NS", and "wrong NAME TEXT" for a reply that the
device kind rules out. The cases, their arguments and their order follow
bench/cases.h.

The exchanges, as the library does them:
  - checked exchange: purge the input, read one byte at a time with a 12 ms
    timeout until a read comes back empty, write the command byte, read the
    reply with a timeout of 10 ms + 2 ms a byte;
  - acknowledged send: write the frame, read one byte with a 12 ms timeout;
  - plain send: write the frame.
pyserial has one total read timeout on POSIX (its inter-byte timeout works in
tenths of a second through VTIME), so a read here ends on the total bound
alone; on a terminal whose replies come whole this is the same. Setting a
timeout reconfigures the port, so it is set only when it changes, as a careful
pyserial user would. The write timeout is set once, to the bound of the
longest frame (34 ms); writes to a terminal never wait for it.
"""

import argparse
import sys
import time

import serial

HOME_SPEED = 9600
SETUP_BYTE = 0x5A
DRAIN_BOUND_NS = 250_000_000  # a line that never falls quiet
SPEED_CODES = {115200: 0x00, 57600: 0x01, 38400: 0x10, 19200: 0x11,
               9600: 0x12, 4800: 0x13, 2400: 0x14, 1200: 0x15}
MULTIPLIER_CONTROLS = {0: 0xC0, 1: 0xC1, 2: 0xC2, 4: 0xC3}


def setup_value(i):
    return 0x10000 + i


def multiplier(i):
    return (1, 2, 4)[i % 3]


def speed(i):
    return 19200 if i % 2 == 0 else 9600


def le(value, n):
    return (value & ((1 << (8 * n)) - 1)).to_bytes(n, "little")


def load(value):
    b = le(value, 3)
    return bytes([0x66, 0x01, 0x44, b[0], 0x44, b[1], 0x44, b[2]])


class Peer:
    def __init__(self, path):
        self.path = path
        self.port = None

    def read_timeout(self, seconds):
        if self.port.timeout != seconds:
            self.port.timeout = seconds

    def open(self):
        p = serial.Serial()
        p.port = self.path
        p.baudrate = HOME_SPEED
        p.bytesize = serial.EIGHTBITS
        p.parity = serial.PARITY_NONE
        p.stopbits = serial.STOPBITS_ONE
        p.xonxoff = p.rtscts = p.dsrdtr = False
        p.dtr = p.rts = False
        p.timeout = 0.012
        p.write_timeout = 0.034
        p.exclusive = True
        p.open()
        self.port = p
        return 0

    def close(self):
        self.port.close()
        return 0

    def checked(self, command, reply_length):
        p = self.port
        self.read_timeout(0.012)
        p.reset_input_buffer()
        start = time.monotonic_ns()
        while p.read(1):
            if time.monotonic_ns() - start >= DRAIN_BOUND_NS:
                return b""
        p.write(bytes([command]))
        self.read_timeout(0.010 + 0.002 * reply_length)
        return p.read(reply_length)

    def acknowledged(self, frame):
        self.port.write(frame)
        self.read_timeout(0.012)
        return self.port.read(1)

    def plain(self, frame):
        self.port.write(frame)

    def passed_compare(self):
        try:
            return 1 if self.port.cts else 0
        except OSError as e:  # a terminal has no modem lines
            return e.errno

    def set_speed(self, bits_per_second):
        self.port.baudrate = bits_per_second


def run(peer, kind, samples, warmup):
    answering = kind == "answering"

    def check(name, got, want):
        if got != want:
            print("wrong %s gave %r, expected %r" % (name, got, want))

    cases = []

    def case(name):
        def register(fn):
            cases.append((name, fn))
            return fn
        return register

    @case("ReadPosition")
    def _(i):
        reply = peer.checked(0x01, 4)
        check("ReadPosition", len(reply), 4 if answering else 0)

    @case("ResetCounter")
    def _(i):
        peer.plain(bytes([0x66, 0x04]))

    @case("Initialize")
    def _(i):
        peer.acknowledged(bytes([0x22, SETUP_BYTE]) + le(setup_value(i), 4))

    @case("SetMultiplier")
    def _(i):
        peer.acknowledged(bytes([0x66, MULTIPLIER_CONTROLS[multiplier(i)]]))

    @case("SetPosition")
    def _(i):
        peer.plain(bytes([0x66, 0x04]) + load(1000 + i) + bytes([0x66, 0x08]))

    @case("Ping")
    def _(i):
        check("Ping", peer.checked(0x41, 1) == b"\x34", answering)

    @case("SetCompare")
    def _(i):
        peer.plain(load(2000 + i))

    @case("PassedCompare")
    def _(i):
        peer.passed_compare()

    @case("EnableIndex")
    def _(i):
        check("EnableIndex", peer.checked(0x88, 1) == b"\x45", answering)

    @case("DisableIndex")
    def _(i):
        check("DisableIndex", peer.checked(0x99, 1) == b"\x44", answering)

    @case("InitComm")
    def _(i):
        peer.open()

    @case("CloseComm")
    def _(i):
        peer.close()

    @case("ChangeLocalBaudRate")
    def _(i):
        peer.set_speed(speed(i))

    @case("ChangeBaud")
    def _(i):
        peer.acknowledged(bytes([0x77, SPEED_CODES[speed(i)]]))
        peer.set_speed(speed(i))

    peer.open()
    out = []
    for name, fn in cases:
        for i in range(warmup + samples):
            # Untimed: the port is closed before each open, open before each
            # close.
            if name == "InitComm":
                peer.close()
            elif name == "CloseComm" and i > 0:
                peer.open()
            c0 = time.thread_time_ns()
            t0 = time.perf_counter_ns()
            fn(i)
            t1 = time.perf_counter_ns()
            c1 = time.thread_time_ns()
            if i >= warmup:
                out.append("sample %s %d %d" % (name, t1 - t0, c1 - c0))
        if name == "CloseComm":
            peer.open()
        elif name == "ChangeLocalBaudRate":
            peer.set_speed(HOME_SPEED)
        elif name == "ChangeBaud":
            peer.acknowledged(bytes([0x77, SPEED_CODES[HOME_SPEED]]))
            peer.set_speed(HOME_SPEED)
    peer.close()
    print("clock time.thread_time_ns of the calling thread")
    print("\n".join(out))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--path", required=True)
    ap.add_argument("--kind", choices=("answering", "silent"), required=True)
    ap.add_argument("--samples", type=int, default=40)
    ap.add_argument("--warmup", type=int, default=3)
    a = ap.parse_args()
    try:
        run(Peer(a.path), a.kind, a.samples, a.warmup)
    except serial.SerialException as e:
        print("skip pyserial: %s" % e)
    return 0


if __name__ == "__main__":
    sys.exit(main())
