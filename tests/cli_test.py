"""The pelcor command, run as a user runs it, against `pelcor sim`.

Each case starts its own simulated device (`pelcor sim`, a separate process
on a new pseudo-terminal), points PELCOR_COMn at it, runs pelcor
subcommands, and checks their exit status and text and the frames in the
simulator's trace. Run: cli_test.py PELCOR [TestClass ...].
"""

import fcntl
import os
import re
import signal
import subprocess
import sys
import unittest

PELCOR = ""
COM_VARS = [f"PELCOR_COM{n}" for n in range(1, 5)]
NO_ANSWER = r"no answer from the device on COM1 \(Ping\(1\) = 0\)"


def clean_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in COM_VARS}
    env.update(extra)
    return env


def run(args, env=None, timeout=30):
    p = subprocess.run([PELCOR, *args], env=env or clean_env(), text=True,
                       capture_output=True, timeout=timeout)
    return p.returncode, p.stdout + p.stderr


class Sim:
    """`pelcor sim ARGS` until stop(); knows its port and path."""

    def __init__(self, *args):
        self.proc = subprocess.Popen([PELCOR, "sim", *args], env=clean_env(),
                                     text=True, stdout=subprocess.PIPE,
                                     stderr=subprocess.STDOUT)
        self.head = ""
        self.port = self.path = None
        for line in self.proc.stdout:
            self.head += line
            m = re.match(r"\s+export (PELCOR_COM\d)=(\S+)$", line)
            if m:
                self.port, self.path = m.groups()
            if "Ctrl-C ends." in line:
                break
        assert self.path, "pelcor sim printed no export line:\n" + self.head

    def env(self):
        return clean_env(**{self.port: self.path})

    def stop(self, sig=signal.SIGINT):
        """Ends the simulator; gives its exit status and trace."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        rest, _ = self.proc.communicate(timeout=10)
        return self.proc.returncode, rest

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.communicate()


def frames(trace):
    """The trace's frame lines, as 'bytes  meaning  -> answer'."""
    return [m.group(1) + "  " + m.group(2) for m in
            re.finditer(r"^\s+\d+\.\d{3}  ((?:[0-9A-F]{2} )*[0-9A-F]{2}) +(.*)$",
                        trace, re.M)]


class CliCase(unittest.TestCase):
    def check(self, result, status, pattern):
        rc, text = result
        self.assertEqual(rc, status, text)
        self.assertRegex(text, pattern)


# --- Main paths: each row one simulator, its commands in turn, then frames
# that its trace must show, in order. ---------------------------------------

MAIN_PATHS = [
    ("ping", [], [
        (["ping"], 0, r"Ping\(1\) = 1: the device on COM1 answered"),
    ], [r"41  ping  -> 34 at 9600 bit/s"]),
    ("preset then read, decimal and hex", [], [
        (["preset", "0x12C"], 0, r"SetPosition\(1, 300\) = 0: the count on COM1"
                                 r" is preset to 300"),
        (["read"], 0, r"ReadPosition\(1\) = 300: the count on COM1"),
        (["preset", "010"], 0, r"SetPosition\(1, 10\) = 0"),
        (["preset", "-5"], 0, r"SetPosition\(1, -5\) = 0"),
        (["read"], 0, r"ReadPosition\(1\) = -5:"),
        (["preset", "0x12345678"], 0, r"low 24 bits only: 0x345678"),
    ], [r"66 04  clear count", r"66 01  start load", r"44 2C  load byte 0",
        r"44 01  load byte 1", r"44 00  load byte 2",
        r"66 08  transfer to count -> 300",
        r"01  read count -> 300  -> 2C 01 00 00"]),
    ("reset", [], [
        (["preset", "7"], 0, r"= 0"),
        (["reset"], 0, r"ResetCounter\(1\) = 0: clear-count sent"),
        (["read"], 0, r"ReadPosition\(1\) = 0:"),
    ], [r"66 08  transfer to count -> 7", r"66 04  clear count",
        r"01  read count -> 0"]),
    ("compare", [], [
        (["compare", "0x10"], 0, r"SetCompare\(1, 16\) = 0: the compare value"
                                 r" on COM1 is 16"),
    ], [r"44 00  load byte 2 = 0x00, LoadRegister 0x000010 = 16"]),
    ("multiplier", [], [
        (["multiplier", "4"], 0, r"SetMultiplier\(1, 4\) = 0: the device on "
                                 r"COM1 counts each encoder edge 4 times"),
        (["multiplier", "0"], 0, r"it stops counting"),
    ], [r"66 C3  multiplier 4  -> 06", r"66 C0  multiplier 0  -> 06"]),
    ("index on and off", [], [
        (["index", "on"], 0, r"EnableIndex\(1\) = 0: the index input of the "
                             r"device on COM1 is enabled"),
        (["index", "off"], 0, r"DisableIndex\(1\) = 0: .* disabled"),
    ], [r"88  index on  -> 45", r"99  index off  -> 44"]),
    ("setup", [], [
        (["setup", "0x05", "0x0A0B0C0D"], 0,
         r"Initialize\(1, 0x05, 0x0A0B0C0D\) = 0: set-up command sent"),
    ], [r"22 05 0D 0C 0B 0A  setup byte 0x05, value 168496141  -> 06"]),
    ("baud on both ends, then back", [], [
        (["baud", "19200"], 0, r"ChangeBaud\(1, 19200\) = 0: the device on "
                               r"COM1 now runs at 19200 bit/s and answers"),
        (["ping"], 1, NO_ANSWER),
        (["ping", "--speed", "19200"], 0, r"Ping\(1\) = 1"),
        (["baud", "9600", "--speed", "19200"], 0, r"now runs at 9600 bit/s"),
        (["ping"], 0, r"Ping\(1\) = 1"),
    ], [r"77 11  speed 19200 \(code 0x11\), was 9600  -> 06 at 9600 bit/s",
        r"41  ping  -> 34 at 19200 bit/s",
        r"41  lost: sent at 9600 bit/s, device at 19200 bit/s",
        r"77 12  speed 9600 \(code 0x12\), was 19200  -> 06 at 19200 bit/s",
        r"41  ping  -> 34 at 9600 bit/s"]),
    ("baud on the PC side alone", [], [
        (["baud", "--local", "19200"], 0,
         r"ChangeLocalBaudRate\(1, 19200\) = 0: the PC side of COM1 runs at "
         r"19200 bit/s until the port closes; the device keeps its speed"),
    ], [r"41  ping  -> 34 at 9600 bit/s"]),
    ("another port", ["--port", "3"], [
        (["ping", "--port", "3"], 0, r"Ping\(3\) = 1: the device on COM3"),
    ], [r"41  ping"]),
]


class MainPaths(CliCase):
    def test_each_subcommand_against_the_simulator(self):
        for name, sim_args, steps, want_frames in MAIN_PATHS:
            with self.subTest(name), Sim(*sim_args) as sim:
                for args, status, pattern in steps:
                    with self.subTest(args=args):
                        self.check(run(args, sim.env()), status, pattern)
                rc, trace = sim.stop()
                self.assertEqual(rc, 0, trace)
                # Each wanted frame appears, in order.
                got = frames(trace)
                at = 0
                for want in want_frames:
                    while at < len(got) and not re.search(want, got[at]):
                        at += 1
                    self.assertLess(at, len(got),
                                    f"no frame /{want}/ in order in:\n"
                                    + "\n".join(got))

    def test_read_watch_follows_the_moving_count(self):
        with Sim("--motion", "2000") as sim:
            rc, text = run(["read", "--watch", "--for", "0.5", "--interval",
                            "50"], sim.env())
            self.assertEqual(rc, 0, text)
            counts = [int(c) for c in re.findall(r"s  count (-?\d+)", text)]
            self.assertGreaterEqual(len(counts), 3, text)
            self.assertEqual(counts, sorted(counts), text)
            self.assertGreater(counts[-1], counts[0], text)

    def test_watch_compare_reports_a_port_without_modem_lines(self):
        # A pseudo-terminal has no CTS to watch: the library's error code is
        # shown as it is, with what it means.
        with Sim() as sim:
            self.check(run(["watch-compare"], sim.env()), 1,
                       r"PassedCompare\(1\) = \d+: the modem status of COM1 "
                       r"cannot be read.*pseudo-terminal")


# --- Error paths --------------------------------------------------------------

DEVICE_COMMANDS = [["ping"], ["read"], ["read", "--watch"], ["reset"],
                   ["preset", "1"], ["compare", "1"], ["multiplier", "1"],
                   ["index", "on"], ["baud", "9600"], ["baud", "--local", "9600"],
                   ["setup", "1", "2"], ["watch-compare"]]


class ErrorPaths(CliCase):
    def test_no_device_at_the_path(self):
        env = clean_env(PELCOR_COM1="/nonexistent/tty")
        for args in DEVICE_COMMANDS:
            with self.subTest(args=args):
                self.check(run(args, env), 3,
                           r"InitComm\(1\) = 1: COM1 would not open\. "
                           r"/nonexistent/tty \(from PELCOR_COM1\): No such "
                           r"file or directory\. Check the path in PELCOR_COM1")

    def test_a_path_that_is_not_a_serial_port(self):
        self.check(run(["ping"], clean_env(PELCOR_COM1="/dev/null")), 3,
                   r"InitComm\(1\) = 8: COM1 opened, but its set-up failed.*"
                   r"/dev/null \(from PELCOR_COM1\) is not a serial port")

    def test_a_port_that_another_program_holds(self):
        with Sim() as sim:
            fd = os.open(sim.path, os.O_RDWR | os.O_NOCTTY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX)
                self.check(run(["ping"], sim.env()), 3,
                           r"InitComm\(1\) = 1: .* is locked by another "
                           r"program")
            finally:
                os.close(fd)

    def test_misbehaving_devices(self):
        cases = [
            (["--silent"], ["ping"], NO_ANSWER),
            (["--silent"], ["read"], NO_ANSWER),
            (["--silent"], ["preset", "5"], NO_ANSWER),
            (["--silent"], ["index", "on", "--no-ping"],
             r"EnableIndex\(1\) = 1: the device on COM1 did not confirm"),
            (["--echo"], ["ping"], NO_ANSWER),
            (["--echo"], ["index", "off", "--no-ping"],
             r"DisableIndex\(1\) = 1: the device on COM1 did not confirm"),
            (["--short", "0"], ["ping"], NO_ANSWER),
            (["--late", "40"], ["ping"], NO_ANSWER),
            (["--chatter"], ["ping"], NO_ANSWER),
        ]
        for sim_args, args, pattern in cases:
            with self.subTest(sim=sim_args, args=args), Sim(*sim_args) as sim:
                self.check(run(args, sim.env()), 1, pattern)

    def test_refused_values_name_the_accepted_ones(self):
        cases = [
            (["multiplier", "3"],
             r"SetMultiplier\(1, 3\) = 1: multiplier 3 refused, nothing sent; "
             r"the multipliers are 0, 1, 2 and 4"),
            (["baud", "300"],
             r"ChangeBaud\(1, 300\) = 1: 300 bit/s refused, nothing sent; the "
             r"speeds are 1200, 2400, 4800, 9600, 19200, 38400, 57600 and "
             r"115200 bit/s"),
        ]
        for args, pattern in cases:
            with self.subTest(args=args), Sim() as sim:
                self.check(run(args, sim.env()), 1, pattern)
                rc, trace = sim.stop()
                self.assertEqual([f.split("  ")[1] for f in frames(trace)],
                                 ["ping"], trace)


class Arguments(CliCase):
    def test_bad_command_lines(self):
        cases = [
            ([], r"A subcommand is required"),
            (["frobnicate"], r"A subcommand is required"),
            (["multiplier", "abc"], r"N: 'abc' is not a number"),
            (["preset"], r"VALUE is required"),
            (["preset", "0x"], r"'0x' is not a number"),
            (["preset", "0x100000000"], r"0x100000000 is not in"),
            (["ping", "--port", "5"], r"--port: Value 5 not in range 1 to 4"),
            (["ping", "--speed", "300"], r"--speed 300: the device runs at "
                                         r"1200, .* and 115200 bit/s"),
            (["index", "maybe"], r"maybe not in \{on,off\}"),
            (["setup", "256", "0"], r"BYTE: 256 is not in 0 to 255"),
            (["read", "--bogus"], r"--bogus"),
            (["ping", "--no-ping"], r"--no-ping"),
            (["sim", "--short", "9"], r"--short: Value 9 not in range"),
        ]
        for args, pattern in cases:
            with self.subTest(args=args):
                self.check(run(args), 2, pattern)

    def test_help_on_every_level(self):
        rc, text = run(["--help"])
        self.assertEqual(rc, 0, text)
        for sub in ["ping", "read", "reset", "preset", "compare", "multiplier",
                    "index", "baud", "setup", "watch-compare", "sim", "demo"]:
            self.assertRegex(text, rf"\n  {sub} ", sub)
            with self.subTest(sub):
                self.check(run([sub, "--help"]), 0, rf"Usage: pelcor {sub}")


class Simulator(CliCase):
    def test_ends_cleanly_on_interrupt_and_termination(self):
        for sig in [signal.SIGINT, signal.SIGTERM]:
            with self.subTest(sig=sig), Sim() as sim:
                self.assertRegex(sim.head, r"a simulated counter device on "
                                           r"/dev/pts/\d+")
                rc, tail = sim.stop(sig)
                self.assertEqual(rc, 0, tail)
                self.assertRegex(tail, r"pelcor sim: stopped after 0 frames")
                self.assertFalse(os.path.exists(sim.path), sim.path)

    def test_tells_its_settings_and_shows_the_compare_output(self):
        with Sim("--silent", "--late", "5", "--motion", "-500", "--for",
                 "0.3") as sim:
            self.assertRegex(sim.head, r"motion -500 edges/s; faults: silent "
                                       r"\(never answers\), late \(replies 5 "
                                       r"ms late\)")
            self.assertRegex(sim.head, r"Now on \(count 0 >= compare value 0\)")
            rc, tail = sim.proc.wait(timeout=10), sim.proc.stdout.read()
            self.assertEqual(rc, 0, tail)
            self.assertRegex(tail, r"compare output \(CTS\) off \(count -\d+ < "
                                   r"compare value 0\)")

    def test_stops_by_itself_with_for(self):
        sim = Sim("--for", "0.3")
        rc, tail = sim.proc.wait(timeout=10), sim.proc.stdout.read()
        self.assertEqual(rc, 0, tail)
        self.assertIn("stopped", tail)


class Demo(CliCase):
    def test_piped_demo_walks_through_every_export(self):
        p = subprocess.run(["bash", "-o", "pipefail", "-c",
                            f"'{PELCOR}' demo | cat"], env=clean_env(),
                           text=True, capture_output=True, timeout=120)
        self.assertEqual(p.returncode, 0, p.stdout + p.stderr)
        out = p.stdout
        for name in ["InitComm", "Ping", "ResetCounter", "SetPosition",
                     "ReadPosition", "SetCompare", "SetMultiplier",
                     "EnableIndex", "DisableIndex", "Initialize", "ChangeBaud",
                     "ChangeLocalBaudRate", "PassedCompare", "CloseComm"]:
            self.assertRegex(out, rf"\n\s?\d+  {name}\(", name)
        self.assertRegex(out, r"> 77 11 +speed 19200")
        self.assertRegex(out, r"compare output turned on")
        self.assertRegex(out, r"All \d+ steps gave the results expected")
        self.assertNotIn("!!", out)
        self.assertNotIn("\r", out)


if __name__ == "__main__":
    PELCOR = sys.argv.pop(1)
    unittest.main(verbosity=2)
