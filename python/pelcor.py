"""A small ctypes client for the Pelcor position-counter library.

Loads ``libpelcor.so`` (``PELCOR_LIBRARY`` names another file) or, on Windows,
``Pelcor.DLL`` with ``WinDLL`` (the 32-bit DLL's functions are ``__stdcall``).
Each export gets a typed function whose result sense is spelled out, because
the raw results differ from function to function: ``Ping`` gives 1 for an
answer, ``EnableIndex`` gives 0, ``PassedCompare`` gives a flag or an error
code. The raw functions stay reachable as ``Library.raw``.

    from pelcor import Library
    lib = Library()
    with lib.port(1) as com1:
        if com1.ping():
            print(com1.read_position())
"""

from __future__ import annotations

import ctypes
import os
import sys
from dataclasses import dataclass

# Speeds that the device can be told to take, and the multipliers it knows.
SPEEDS = (1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200)
MULTIPLIERS = (0, 1, 2, 4)

# (name, argument count) in ordinal order, 1 to 14.
EXPORTS = (
    ("ReadPosition", 1),
    ("ResetCounter", 1),
    ("Initialize", 3),
    ("SetMultiplier", 2),
    ("SetPosition", 2),
    ("Ping", 1),
    ("SetCompare", 2),
    ("PassedCompare", 1),
    ("EnableIndex", 1),
    ("DisableIndex", 1),
    ("InitComm", 1),
    ("CloseComm", 1),
    ("ChangeLocalBaudRate", 2),
    ("ChangeBaud", 2),
)


class PelcorError(RuntimeError):
    """A call that the library refused or that failed."""


@dataclass(frozen=True)
class CompareState:
    """What PassedCompare said: a change since the last call, or an error."""

    changed: bool
    error: int = 0


def _default_library() -> str:
    if sys.platform == "win32":
        return "Pelcor.DLL"
    return "libpelcor.so.2"


class Library:
    def __init__(self, path: str | None = None):
        path = path or os.environ.get("PELCOR_LIBRARY") or _default_library()
        loader = ctypes.WinDLL if sys.platform == "win32" else ctypes.CDLL
        self.raw = loader(path)
        for name, argc in EXPORTS:
            fn = getattr(self.raw, name)
            fn.argtypes = [ctypes.c_int32] * argc
            fn.restype = ctypes.c_int32

    def port(self, number: int) -> "Port":
        return Port(self, number)


class Port:
    """One of COM1 to COM4. Open it with open() or a with-block."""

    def __init__(self, lib: Library, number: int):
        if not 1 <= number <= 4:
            raise ValueError(f"port number {number} is not 1 to 4")
        self.lib = lib.raw
        self.number = number

    # --- link -------------------------------------------------------------
    def open(self) -> None:
        result = self.lib.InitComm(self.number)
        if result == 1:
            raise PelcorError(
                f"COM{self.number} would not open: it is missing or in use")
        if result == 8:
            self.lib.CloseComm(self.number)
            raise PelcorError(
                f"COM{self.number} opened but would not take its settings")
        if result != 0:
            raise PelcorError(f"InitComm gave {result}")

    def close(self) -> None:
        self.lib.CloseComm(self.number)

    def __enter__(self) -> "Port":
        self.open()
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def change_local_baud_rate(self, speed: int) -> None:
        """The PC side alone takes `speed`; nothing is sent to the device."""
        self._done(self.lib.ChangeLocalBaudRate(self.number, speed),
                   "ChangeLocalBaudRate")

    # --- counter ----------------------------------------------------------
    def read_position(self) -> int:
        """The signed 32-bit count. There is no failure value: a device that
        does not answer leaves older bytes in the count (0 on a port not
        open)."""
        return self.lib.ReadPosition(self.number)

    def reset_counter(self) -> None:
        self._done(self.lib.ResetCounter(self.number), "ResetCounter")

    def set_position(self, value: int) -> None:
        """Presets the count to the low 24 bits of `value`. Also loads the
        compare value; call set_compare afterwards for another one."""
        self._done(self.lib.SetPosition(self.number, _int32(value)),
                   "SetPosition")

    def set_compare(self, value: int) -> None:
        """Loads the low 24 bits of `value` as the compare value."""
        self._done(self.lib.SetCompare(self.number, _int32(value)),
                   "SetCompare")

    def set_multiplier(self, multiplier: int) -> None:
        if multiplier not in MULTIPLIERS:
            raise ValueError(f"multiplier {multiplier} is not one of "
                             f"{', '.join(map(str, MULTIPLIERS))}")
        self._done(self.lib.SetMultiplier(self.number, multiplier),
                   "SetMultiplier")

    # --- adapter ----------------------------------------------------------
    def ping(self) -> bool:
        """True when the device answered (raw result 1)."""
        return self.lib.Ping(self.number) == 1

    def enable_index(self) -> bool:
        """True when the device confirmed (raw result 0)."""
        return self.lib.EnableIndex(self.number) == 0

    def disable_index(self) -> bool:
        """True when the device confirmed (raw result 0)."""
        return self.lib.DisableIndex(self.number) == 0

    def change_baud(self, speed: int) -> None:
        """Tells the device to take `speed`, then follows on the PC side."""
        if speed not in SPEEDS:
            raise ValueError(f"speed {speed} is not one of "
                             f"{', '.join(map(str, SPEEDS))}")
        self._done(self.lib.ChangeBaud(self.number, speed), "ChangeBaud")

    def initialize(self, setup_byte: int, setup_value: int) -> None:
        """Sends the set-up command: the low 8 bits of `setup_byte`, then all
        32 bits of `setup_value`."""
        self._done(self.lib.Initialize(self.number, _int32(setup_byte),
                                       _int32(setup_value)), "Initialize")

    # --- compare output ---------------------------------------------------
    def passed_compare(self) -> CompareState:
        """Whether CTS (the compare output) changed since the last call for
        this port. A result other than 0 or 1 is the system's error code."""
        result = self.lib.PassedCompare(self.number)
        if result in (0, 1):
            return CompareState(changed=result == 1)
        return CompareState(changed=False, error=result)

    def _done(self, result: int, name: str) -> None:
        if result != 0:
            raise PelcorError(
                f"{name} on COM{self.number} was refused (is the port open?)")


def _int32(value: int) -> int:
    """Wraps any Python int into the 32-bit range the exports take."""
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value & 0x80000000 else value
