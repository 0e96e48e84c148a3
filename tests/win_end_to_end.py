#!/usr/bin/python3
"""Pelcor.DLL under Wine against the simulated device, end to end.

The device runs on a Linux pseudo-terminal (win_e2e_device); the Wine
prefix's COM2 is linked to it; the Windows host (win_e2e_host.exe, linked by
the MinGW import library) and then the MSVC-style host (win_msvc_host.exe,
linked by Pelcor.lib) drive it through the DLL. Every call's result and every
frame that reached the device, with its reply and the speed of the reply,
must be as the protocol says.

Usage: win_end_to_end.py --runner windows-run.sh --prefix PREFIX
                         --arch x86|x64 --device DEVICE HOST MSVC_HOST
"""
import argparse
import os
import subprocess
import sys

HOST_TIMEOUT_S = 300  # generous: 32-bit programs may run under emulation


def le32(hex_bytes):
    value = int.from_bytes(bytes.fromhex(hex_bytes), "little")
    return value - (1 << 32) if value >= 1 << 31 else value


def frame(sent, reply_len=0, baud=None):
    return (sent, reply_len, baud)


# The frames each call puts on the line: bytes sent, reply length, speed of
# the reply. Sequences of several frames (preset, compare) arrive as frames.
PRESET_12345678 = [frame("66 04"), frame("66 01"), frame("44 78"),
                   frame("44 56"), frame("44 34"), frame("66 08")]
COMPARE_MINUS_1 = [frame("66 01"), frame("44 FF"), frame("44 FF"),
                   frame("44 FF")]
PRESET_MINUS_2 = [frame("66 04"), frame("66 01"), frame("44 FE"),
                  frame("44 FF"), frame("44 FF"), frame("66 08")]

# (call as the host prints it, expected result, frames on the line).
# Results: an integer, "count" (the reply bytes put together, least
# significant first) or "modem-error" (the error that Wine gave the host for
# COM2's modem status, which a pseudo-terminal does not have).
HOST_SCRIPT = [
    ("InitComm(2)", 0, []),
    ("InitComm(2)", 1, []),  # already open: exclusive
    ("Ping(2)", 1, [frame("41", 1, 9600)]),
    ("SetPosition(2, 0x12345678)", 0, PRESET_12345678),
    ("SetCompare(2, -1)", 0, COMPARE_MINUS_1),
    ("ReadPosition(2)", "count", [frame("01", 4, 9600)]),
    ("SetMultiplier(2, 4)", 0, [frame("66 C3", 1, 9600)]),
    ("SetMultiplier(2, 3)", 1, []),
    ("EnableIndex(2)", 0, [frame("88", 1, 9600)]),
    ("DisableIndex(2)", 0, [frame("99", 1, 9600)]),
    ("ChangeBaud(2, 19200)", 0, [frame("77 11", 1, 9600)]),
    ("Ping(2)", 1, [frame("41", 1, 19200)]),
    ("Initialize(2, 0x105, 0x0A0B0C0D)", 0,
     [frame("22 05 0D 0C 0B 0A", 1, 19200)]),
    ("PassedCompare(2)", "modem-error", []),
    ("CloseComm(2)", 0, []),
    ("InitComm(2)", 0, []),
    # 9600 against a device at 19200: the byte comes garbled, unanswered.
    ("Ping(2)", 0, [frame("41", 0, None)]),
    ("ChangeLocalBaudRate(2, 19200)", 0, []),
    ("Ping(2)", 1, [frame("41", 1, 19200)]),
    ("ChangeBaud(2, 9600)", 0, [frame("77 12", 1, 19200)]),
    ("ReadPosition(2)", "count", [frame("01", 4, 9600)]),
    ("CloseComm(2)", 0, []),
]

MSVC_REFUSALS = [
    ("InitComm(0)", 1, []),
    ("InitComm(5)", 1, []),
    ("ChangeLocalBaudRate(3, 9600)", 1, []),
    ("SetMultiplier(4, 1)", 1, []),
    ("Initialize(3, 1, 2)", 1, []),
    ("PassedCompare(4)", 6, []),
    ("CloseComm(1)", 0, []),
]
MSVC_SCRIPT = MSVC_REFUSALS + [
    ("InitComm(2)", 0, []),
    ("Ping(2)", 1, [frame("41", 1, 9600)]),
    ("SetPosition(2, -2)", 0, PRESET_MINUS_2),
    ("ReadPosition(2)", "count", [frame("01", 4, 9600)]),
    ("CloseComm(2)", 0, []),
]


class Device:
    def __init__(self, path):
        self.proc = subprocess.Popen([path], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        first = self.proc.stdout.readline().split()
        if len(first) != 2 or first[0] != "slave":
            raise SystemExit(f"device: unexpected first line {first!r}")
        self.slave = first[1]

    def frames(self):
        """Stops the device and gives (sent, reply, baud) per frame."""
        out, _ = self.proc.communicate(timeout=30)
        frames = []
        for line in out.splitlines():
            # frame <bytes...> reply <bytes...> baud <n>
            words = line.split()
            r, b = words.index("reply"), words.index("baud")
            frames.append((" ".join(words[1:r]), " ".join(words[r + 1:b]),
                           int(words[b + 1])))
        return frames


def run_host(runner, exe, args):
    done = subprocess.run(runner + [exe] + args, capture_output=True,
                          text=True, timeout=HOST_TIMEOUT_S)
    if done.stderr.strip():
        print(done.stderr, file=sys.stderr)
    return done.returncode, done.stdout.splitlines()


def check(name, lines, script, frames, modem_error, failures):
    """Matches the host's lines and the device's frames with the script;
    gives the frames that the script did not account for."""
    results = [line.rsplit(" = ", 1) for line in lines if " = " in line]
    if [r[0] for r in results] != [s[0] for s in script]:
        failures.append(f"{name}: calls printed {[r[0] for r in results]}")
        return frames
    for (call, got), (_, want, want_frames) in zip(results, script):
        got = int(got)
        taken, frames = frames[:len(want_frames)], frames[len(want_frames):]
        for (sent, reply, baud), (w_sent, w_len, w_baud) in zip(
                taken, want_frames):
            if sent != w_sent or len(reply.split()) != w_len or (
                    w_len and baud != w_baud):
                failures.append(
                    f"{name}: {call}: frame {sent} reply {reply!r} at "
                    f"{baud}, expected {w_sent} with {w_len} reply bytes at "
                    f"{w_baud}")
        if len(taken) != len(want_frames):
            failures.append(f"{name}: {call}: only {len(taken)} of "
                            f"{len(want_frames)} frames reached the device")
        if want == "count":
            want = le32(taken[-1][1]) if taken else None
        elif want == "modem-error":
            want = modem_error
        if got != want:
            failures.append(f"{name}: {call} = {got}, expected {want}")
    return frames


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--device", required=True)
    parser.add_argument("--runner", required=True)
    parser.add_argument("--arch", required=True)
    parser.add_argument("hosts", nargs=2)
    args = parser.parse_args()
    host, msvc_host = args.hosts
    runner = [args.runner, "--prefix", args.prefix, "--arch", args.arch]
    for path in (args.device, host, msvc_host):
        if not os.path.isfile(path):
            raise SystemExit(f"missing: {path}")

    # Make the prefix first, so that its dosdevices folder exists.
    prefix_script = os.path.join(os.path.dirname(args.runner),
                                 "windows-prefix.sh")
    subprocess.run([prefix_script, args.prefix], check=True,
                   timeout=HOST_TIMEOUT_S)
    device = Device(args.device)
    link = os.path.join(args.prefix, "dosdevices", "com2")
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(device.slave, link)
    try:
        code, host_lines = run_host(runner, host, [])
        msvc_code, msvc_lines = run_host(runner, msvc_host, ["com2"])
    finally:
        os.unlink(link)
        frames = device.frames()

    print("host:", *host_lines, sep="\n  ")
    print("msvc host:", *msvc_lines, sep="\n  ")
    print("device:", *(f"{s} -> {r or '-'} at {b}" for s, r, b in frames),
          sep="\n  ")

    failures = []
    if code != 0 or msvc_code != 0:
        failures.append(f"hosts exited {code} and {msvc_code}")
    modem = host_lines[0].split() if host_lines else []
    if modem[:3] != ["modem", "status:", "error"]:
        failures.append(f"COM2's modem status read: {modem}; a "
                        "pseudo-terminal has no modem lines")
        modem_error = None
    else:
        modem_error = int(modem[3])
        if modem_error in (0, 1):
            failures.append(f"modem error {modem_error} looks like a flag")
    rest = check("host", host_lines[1:], HOST_SCRIPT, frames, modem_error,
                 failures)
    rest = check("msvc host", msvc_lines, MSVC_SCRIPT, rest, modem_error,
                 failures)
    if rest:
        failures.append(f"frames nobody sent: {rest}")
    # The presets took: the count read back holds the preset's low 24 bits
    # (what the device makes of bit 23 above them is its own affair).
    counts = [le32(r) & 0xFFFFFF for s, r, _ in frames if s == "01"]
    if counts[:1] != [0x345678] or counts[-1:] != [0xFFFFFE]:
        failures.append(f"counts read {counts}, expected 0x345678 first "
                        "and 0xFFFFFE last")

    for f in failures:
        print("FAIL:", f)
    print("end to end:", "FAILED" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
