"""Shared helpers for seqcat's end-to-end tests (Python 3 standard library only).

The tests drive the real seqcat binary. ctest passes the programs they need through the
environment (see tests/e2e/CMakeLists.txt):

    SEQCAT              path of the seqcat binary (required)
    SEQCAT_MAKE_FRAMES  path of seqcat_make_frames, the image-sequence generator (required)
    FFPROBE             ffprobe (default: "ffprobe" on PATH)
    FFMPEG              ffmpeg (default: "ffmpeg" on PATH)
    XVFB                Xvfb (default: "Xvfb" on PATH)
    XDOTOOL             xdotool (default: "xdotool" on PATH)
    SEQCAT_TEST_TIME_FACTOR
                        a whole number that multiplies every time allowance (default 1): a
                        run under emulation is several times slower, and is never skipped

A missing program makes the test fail, never skip: a skipped end-to-end test would show as a
pass in ctest.

What this module offers, and keeps stable for every test file that imports it:

    make_frames(directory, base="f", ext="jpg", first=0, last=10, pad=3, width=64, height=48)
        Draws a numbered sequence with seqcat_make_frames; returns the file names made.
    make_chart(directory, width, height, frames) / chart_patches(path, width, height, vf)
        Writes chart_000.png.. (CHART_PATCHES as a 5x2 grid of flat colours); reads the centre
        of each patch from a video's first frame, decoded by ffmpeg through the filter vf.
    run_seqcat(args, cwd, timeout=60, stdin=None, env=None, display=None) -> RunResult
        Runs seqcat to its end, with /dev/null as input and DISPLAY unset unless a display is
        given. RunResult has returncode, stdout, stderr (text) and elapsed (seconds).
    LiveRun(args, cwd, env=None, display=None)
        Starts seqcat in the background with its output read as it comes (for tests that act
        while it runs, such as sending ESC to its window); wait_for_output, wait, kill
        (context manager).
    seqcat_env(display=None, base=None) -> dict
        The environment seqcat runs with: DISPLAY removed, or set to the given Xvfb's display.
    probe_video(path) -> VideoInfo
        Reads a video with ffprobe: codec_name, width, height, r_frame_rate, avg_frame_rate,
        frame_count (frames actually decoded, by -count_frames), format_name.
    decode_gray_frames(path, width, height) -> list of bytes
        Decodes every frame of a video with ffmpeg into 8-bit grey pixels (row by row).
    ball_centre(frame, width, height) -> float or None
        Where the ball of a seqcat_make_frames image is, along its middle row.
    output_lines(text) -> list of lines; timing_lines(text) -> list of TimingLine
        Split seqcat's output; TIMING_LINE is the regular expression of one timing line.
    allowance(seconds) -> float
        A time allowance (an upper bound on how long something may take) scaled by
        SEQCAT_TEST_TIME_FACTOR. The helpers here scale their own timeouts; a test scales
        the bounds it sets itself.
    Xvfb
        A private X server on a free display number (context manager), with find_windows,
        windows_of_process, wait_for_window and send_key (through xdotool).
    PtyRun
        Runs seqcat on a fresh pseudo-terminal (pty.fork), so its console wait really blocks;
        read_until, send, is_running, wait, terminal_attributes (context manager).
    SeqcatTestCase
        unittest.TestCase with a fresh working folder (self.work) and assertVideo.
    run_tests()
        unittest.main() for a script whose tests may all be skipped: it then exits with
        SKIPPED_STATUS, which ctest reports as a skip (SKIP_RETURN_CODE), not as a pass. A test
        of which only some rows (subtests) were skipped counts as run.
"""

import collections
import ctypes
import ctypes.util
import errno
import struct
import zlib
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

SEQCAT = os.environ.get("SEQCAT", "")
MAKE_FRAMES = os.environ.get("SEQCAT_MAKE_FRAMES", "")
FFPROBE = os.environ.get("FFPROBE", "ffprobe")
FFMPEG = os.environ.get("FFMPEG", "ffmpeg")
XVFB = os.environ.get("XVFB", "Xvfb")
XDOTOOL = os.environ.get("XDOTOOL", "xdotool")


def _time_factor():
    text = os.environ.get("SEQCAT_TEST_TIME_FACTOR", "") or "1"
    if not re.fullmatch(r"[1-9][0-9]*", text):
        raise SystemExit(f"SEQCAT_TEST_TIME_FACTOR must be a whole number of at least 1, "
                         f"not {text!r}")
    return int(text)


TIME_FACTOR = _time_factor()


def allowance(seconds):
    """seconds scaled by SEQCAT_TEST_TIME_FACTOR: how long something may take here."""
    return seconds * TIME_FACTOR

ESC = b"\x1b"

# One timing line, exactly as seqcat prints it for a completed frame.
TIMING_LINE = re.compile(
    r"^File: (?P<path>.*) \| processing time = (?P<milliseconds>\d+\.\d\d) ms/frame"
    r" - fps = (?P<fps>\d+\.\d\d|inf)$")

SAVED_LINE_PREFIX = "Output video saved to file: "
BANNER_LINE = re.compile(
    r"^seqcat: makes a video from an image sequence, built with OpenCV "
    r"(?P<version>\S+) \((?P<major>\d+)\.(?P<minor>\d+)\.(?P<subminor>\d+)\); "
    r"seqcat (?P<own_version>\d+\.\d+\.\d+)$")
HOT_KEY_LINES = ["Hot keys: ", "\tESC - quit the program", "Type seqcat -h for additional help."]
NO_DISPLAY_WARNING = "seqcat: no display can be reached; frames will not be shown"

TimingLine = collections.namedtuple("TimingLine", "path milliseconds fps")
RunResult = collections.namedtuple("RunResult", "returncode stdout stderr elapsed")


def _require_program(path, what):
    found = shutil.which(path) if path else None
    if not found:
        raise AssertionError(f"{what} not found ({path!r}); run the tests through ctest, which "
                             "passes the program paths, after scripts/setup.sh")
    return found


def seqcat_path():
    return _require_program(SEQCAT, "seqcat (environment variable SEQCAT)")


# ----------------------------------------------------------------------------------------------
# Images

def make_frames(directory, base="f", ext="jpg", first=0, last=10, pad=3, width=64, height=48):
    """Writes <base><index padded to pad digits>.<ext> into directory for first..last.

    base may hold sub-folders of directory (they must exist). Returns the file names relative
    to directory, in index order, as seqcat would form them.
    """
    generator = _require_program(MAKE_FRAMES, "seqcat_make_frames (environment variable "
                                              "SEQCAT_MAKE_FRAMES)")
    command = [generator, "--base", os.path.join(directory, base), "--ext", ext,
               "--first", str(first), "--last", str(last), "--pad", str(pad),
               "--width", str(width), "--height", str(height)]
    completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                               text=True, timeout=allowance(60))
    if completed.returncode != 0:
        raise AssertionError(f"{command} failed: {completed.stderr}")
    return [f"{base}{index:0{pad}d}.{ext}" for index in range(first, last + 1)]


# Pure red, green, blue, cyan, magenta, yellow, a skin tone, mid grey, orange, a dark blue.
CHART_PATCHES = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (0, 255, 255), (255, 0, 255),
                 (255, 255, 0), (224, 172, 140), (128, 128, 128), (255, 128, 0), (40, 60, 160)]
CHART_COLUMNS = 5


def _patch_of(x, y, width, height):
    return (y * 2 // height) * CHART_COLUMNS + x * CHART_COLUMNS // width


def make_chart(directory, width, height, frames):
    def chunk(kind, data):
        return (struct.pack(">I", len(data)) + kind + data +
                struct.pack(">I", zlib.crc32(kind + data)))
    rows = b"".join(b"\0" + b"".join(bytes(CHART_PATCHES[_patch_of(x, y, width, height)])
                                      for x in range(width)) for y in range(height))
    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
           + chunk(b"IDAT", zlib.compress(rows)) + chunk(b"IEND", b""))
    for index in range(frames):
        with open(os.path.join(directory, f"chart_{index:03d}.png"), "wb") as image:
            image.write(png)


def chart_patches(path, width, height, vf):
    command = [_require_program(FFMPEG, "ffmpeg (environment variable FFMPEG)"), "-v", "error",
               "-nostdin", "-i", path, "-frames:v", "1", "-vf", vf + ",format=rgb24",
               "-f", "rawvideo", "-"]
    rgb = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, check=True,
                         timeout=allowance(60)).stdout
    centres = [((2 * (patch % CHART_COLUMNS) + 1) * width // (2 * CHART_COLUMNS),
                (2 * (patch // CHART_COLUMNS) + 1) * height // 4)
               for patch in range(len(CHART_PATCHES))]
    return [tuple(rgb[3 * (y * width + x):3 * (y * width + x) + 3]) for x, y in centres]


# ----------------------------------------------------------------------------------------------
# Running seqcat

def seqcat_env(display=None, base=None):
    """The environment for seqcat: no display unless an Xvfb is given."""
    env = dict(os.environ if base is None else base)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    if display is not None:
        env.update(display.env())
    return env


def run_seqcat(args, cwd, timeout=60, stdin=None, env=None, display=None):
    """Runs seqcat with args in cwd to its end and returns a RunResult.

    Input is /dev/null unless stdin is given (a file object, or bytes to feed). A run still
    going after timeout seconds is killed and the test fails with what it printed.
    """
    program = seqcat_path()
    timeout = allowance(timeout)
    if env is None:
        env = seqcat_env(display)
    feed = None
    if isinstance(stdin, (bytes, bytearray)):
        feed, stdin = bytes(stdin), subprocess.PIPE
    elif stdin is None:
        stdin = subprocess.DEVNULL
    started = time.monotonic()
    process = subprocess.Popen([program] + list(args), cwd=cwd, env=env, stdin=stdin,
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        stdout, stderr = process.communicate(feed, timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        stdout, stderr = process.communicate()
        raise AssertionError(f"seqcat {args} did not end within {timeout} s; stdout:\n"
                             f"{stdout.decode(errors='replace')}\nstderr:\n"
                             f"{stderr.decode(errors='replace')}")
    return RunResult(process.returncode, stdout.decode(errors="replace"),
                     stderr.decode(errors="replace"), time.monotonic() - started)


class LiveRun:
    """seqcat running in the background; its standard output is collected as it comes."""

    def __init__(self, args, cwd, env=None, display=None):
        if env is None:
            env = seqcat_env(display)
        self.args = list(args)
        self.process = subprocess.Popen(
            [seqcat_path()] + self.args, cwd=cwd, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self._lock = threading.Lock()
        self._stdout = []
        self._stderr = []
        self._readers = [threading.Thread(target=self._collect, args=(stream, sink), daemon=True)
                         for stream, sink in ((self.process.stdout, self._stdout),
                                              (self.process.stderr, self._stderr))]
        for reader in self._readers:
            reader.start()

    def _collect(self, stream, sink):
        for line in iter(stream.readline, b""):
            with self._lock:
                sink.append(line.decode(errors="replace"))
        stream.close()

    @property
    def stdout(self):
        with self._lock:
            return "".join(self._stdout)

    @property
    def stderr(self):
        with self._lock:
            return "".join(self._stderr)

    def wait_for_output(self, predicate, timeout):
        """Waits until predicate(stdout so far) holds; fails the test after timeout seconds."""
        timeout = allowance(timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if predicate(self.stdout):
                return self.stdout
            if self.process.poll() is not None:
                for reader in self._readers:
                    reader.join(5)
                if predicate(self.stdout):
                    return self.stdout
                break
            time.sleep(0.02)
        raise AssertionError(f"seqcat {self.args}: expected output did not come within {timeout} s"
                             f" (exit status {self.process.poll()}); stdout:\n{self.stdout}\n"
                             f"stderr:\n{self.stderr}")

    def wait(self, timeout=60):
        """Waits for the end of the run and returns a RunResult; kills it after timeout."""
        timeout = allowance(timeout)
        started = time.monotonic()
        try:
            returncode = self.process.wait(timeout)
        except subprocess.TimeoutExpired:
            self.kill()
            raise AssertionError(f"seqcat {self.args} did not end within {timeout} s; stdout:\n"
                                 f"{self.stdout}\nstderr:\n{self.stderr}")
        for reader in self._readers:
            reader.join(10)
        return RunResult(returncode, self.stdout, self.stderr, time.monotonic() - started)

    def kill(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()


def output_lines(text):
    """seqcat's output as a list of lines, whatever the line ends (a pty gives \\r\\n)."""
    return text.replace("\r\n", "\n").split("\n")[:-1] if text else []


def timing_lines(text):
    """Every timing line of an output, in order, as TimingLine(path, milliseconds, fps)."""
    found = []
    for line in output_lines(text):
        match = TIMING_LINE.match(line)
        if match:
            fps = match.group("fps")
            found.append(TimingLine(match.group("path"), float(match.group("milliseconds")),
                                    float("inf") if fps == "inf" else float(fps)))
    return found


# ----------------------------------------------------------------------------------------------
# Videos

# What ffprobe reads from a video. A file without a video stream has codec_name None and
# frame_count 0.
VideoInfo = collections.namedtuple(
    "VideoInfo", "codec_name width height r_frame_rate avg_frame_rate frame_count format_name")


def probe_video(path):
    """Reads path with ffprobe, counting the frames it decodes. Fails the test when ffprobe
    cannot read the file at all."""
    ffprobe = _require_program(FFPROBE, "ffprobe (environment variable FFPROBE)")
    command = [ffprobe, "-v", "error", "-count_frames", "-select_streams", "v:0",
               "-show_entries",
               "stream=codec_name,width,height,r_frame_rate,avg_frame_rate,nb_read_frames"
               ":format=format_name", "-of", "json", path]
    completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                               text=True, timeout=allowance(120))
    if completed.returncode != 0:
        raise AssertionError(f"ffprobe cannot read {path}: {completed.stderr.strip()}")
    report = json.loads(completed.stdout)
    streams = report.get("streams") or []
    format_name = report.get("format", {}).get("format_name")
    if not streams:
        return VideoInfo(None, None, None, None, None, 0, format_name)
    stream = streams[0]
    frames = stream.get("nb_read_frames")
    return VideoInfo(stream.get("codec_name"), stream.get("width"), stream.get("height"),
                     stream.get("r_frame_rate"), stream.get("avg_frame_rate"),
                     int(frames) if frames not in (None, "N/A") else 0, format_name)


def decode_gray_frames(path, width, height):
    """Every frame of the video at path as width*height bytes of grey, in order."""
    ffmpeg = _require_program(FFMPEG, "ffmpeg (environment variable FFMPEG)")
    command = [ffmpeg, "-v", "error", "-nostdin", "-i", path, "-f", "rawvideo",
               "-pix_fmt", "gray", "-"]
    completed = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True,
                               timeout=allowance(120))
    if completed.returncode != 0:
        raise AssertionError(f"ffmpeg cannot decode {path}: {completed.stderr.decode()}")
    size = width * height
    data = completed.stdout
    if len(data) % size:
        raise AssertionError(f"{path}: {len(data)} bytes of grey are no whole {width}x{height} "
                             "frames")
    return [data[start:start + size] for start in range(0, len(data), size)]


# The white ball of seqcat_make_frames is far brighter than the gradient behind it.
BALL_GREY_THRESHOLD = 200


def ball_centre(frame, width, height):
    """The mean column of the ball's pixels on the middle row of a grey frame, or None."""
    row = frame[(height // 2) * width:(height // 2 + 1) * width]
    columns = [x for x, grey in enumerate(row) if grey >= BALL_GREY_THRESHOLD]
    return sum(columns) / len(columns) if columns else None


def expected_ball_centre(index, first, last, width, height):
    """Where seqcat_make_frames puts the ball's centre for index within first..last."""
    radius = max(2, min(width, height) // 8)
    position = (index - first) / (last - first) if last > first else 0.0
    return radius + int(position * max(0, width - 2 * radius))


# ----------------------------------------------------------------------------------------------
# A private X server

class Xvfb:
    """An Xvfb on a free display number, for tests that need seqcat's window.

    with Xvfb() as display:
        run_seqcat(args, cwd, display=display)
        window = display.wait_for_window("seqcat")
        display.send_key(window, "Escape")
    """

    def __init__(self, screen="800x600x24"):
        self.screen = screen
        self.process = None
        self.display = None
        self.runtime_dir = None

    def start(self, timeout=20):
        program = _require_program(XVFB, "Xvfb (environment variable XVFB)")
        timeout = allowance(timeout)
        _require_program(XDOTOOL, "xdotool (environment variable XDOTOOL)")
        read_end, write_end = os.pipe()
        try:
            # -displayfd: the server picks a free display number and writes it once it
            # accepts connections, so parallel tests never fight over a number.
            # -noreset: without it the server resets whenever its last client leaves (the
            # readiness check, seqcat's own display check), and a client connecting during
            # the reset is refused.
            self.process = subprocess.Popen(
                [program, "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
                 "-screen", "0", self.screen],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL, start_new_session=True)
            os.close(write_end)
            write_end = None
            number = b""
            deadline = time.monotonic() + timeout
            while not number.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                ready, _, _ = select.select([read_end], [], [], max(0.0, remaining))
                if not ready:
                    raise AssertionError(f"Xvfb gave no display number within {timeout} s")
                chunk = os.read(read_end, 64)
                if not chunk:
                    raise AssertionError("Xvfb ended before it gave a display number")
                number += chunk
        except BaseException:
            self.stop()
            raise
        finally:
            if write_end is not None:
                os.close(write_end)
            os.close(read_end)
        self.display = ":" + number.decode().strip()
        self.runtime_dir = tempfile.mkdtemp(prefix="seqcat-xdg-")
        os.chmod(self.runtime_dir, 0o700)
        self._wait_until_it_accepts(timeout)
        return self

    def _wait_until_it_accepts(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            check = subprocess.run([XDOTOOL, "getdisplaygeometry"], env=self.env(os.environ),
                                   stdin=subprocess.DEVNULL, capture_output=True,
                                   timeout=allowance(10))
            if check.returncode == 0:
                return
            if time.monotonic() > deadline:
                self.stop()
                raise AssertionError(f"Xvfb on {self.display} does not accept connections")
            time.sleep(0.05)

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
            try:
                self.process.wait(allowance(10))
            except subprocess.TimeoutExpired:
                os.kill(self.process.pid, signal.SIGKILL)
                self.process.wait()
        self.process = None
        if self.runtime_dir:
            shutil.rmtree(self.runtime_dir, ignore_errors=True)
            self.runtime_dir = None

    def env(self, base=None):
        """The display variables (or base with them) for a program to use this server."""
        env = {} if base is None else dict(base)
        env["DISPLAY"] = self.display
        env["XDG_RUNTIME_DIR"] = self.runtime_dir  # keeps Qt from warning about its absence
        return env

    def _xdotool(self, *args, timeout=10):
        return subprocess.run([XDOTOOL] + [str(arg) for arg in args], env=self.env(os.environ),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=allowance(timeout))

    def find_windows(self, name="seqcat", only_visible=False):
        """Ids of the windows whose title is exactly name (an empty list when there is none);
        with only_visible, only those that are mapped on the screen."""
        visible = ["--onlyvisible"] if only_visible else []
        found = self._xdotool("search", *visible, "--name", "^" + re.escape(name) + "$")
        return found.stdout.split() if found.returncode == 0 else []

    def windows_of_process(self, pid):
        """Ids of the windows that the process pid owns (by their _NET_WM_PID)."""
        found = self._xdotool("search", "--pid", pid)
        return found.stdout.split() if found.returncode == 0 else []

    def wait_for_window(self, name="seqcat", timeout=20):
        """Waits for the one visible window titled name and returns its id; fails the test after
        timeout. A toolkit may also make hidden windows of that title (GTK does): those are
        never the one to act on, and the message says which were found."""
        timeout = allowance(timeout)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            visible = self.find_windows(name, only_visible=True)
            if len(visible) == 1:
                return visible[0]
            if len(visible) > 1:
                raise AssertionError(f"{len(visible)} visible windows {name!r} on "
                                     f"{self.display}: {visible}")
            time.sleep(0.05)
        raise AssertionError(f"no visible window {name!r} appeared on {self.display} within "
                             f"{timeout} s; windows of that name: {self.find_windows(name)}")

    def close_window(self, window):
        """Asks the window to close as a window manager does for its close button: the
        WM_DELETE_WINDOW message of the WM_PROTOCOLS it takes part in."""
        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]
        class Event(ctypes.Union):
            _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
        x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                                   ctypes.c_void_p]
        connection = x11.XOpenDisplay(self.display.encode())
        event = Event()
        event.xclient.type = 33  # ClientMessage
        event.xclient.window = int(window)
        event.xclient.message_type = x11.XInternAtom(connection, b"WM_PROTOCOLS", 0)
        event.xclient.format = 32
        event.xclient.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
        x11.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event))
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XFlush(connection)
        x11.XCloseDisplay(connection)

    def send_key(self, window, key="Escape"):
        """Focuses the window, then types key into it."""
        focus = self._xdotool("windowfocus", "--sync", window)
        if focus.returncode != 0:
            visible = window in self.find_windows(only_visible=True)
            raise AssertionError(f"xdotool cannot focus window {window} "
                                 f"({'visible' if visible else 'not visible'}): {focus.stderr}")
        typed = self._xdotool("key", "--window", window, key)
        # A key that ends the program (ESC) may close the window between the press and the
        # release xdotool sends: that release then fails with BadWindow, the press came through.
        closed_by_the_key = "BadWindow" in typed.stderr and window not in self.find_windows()
        if typed.returncode != 0 and not closed_by_the_key:
            raise AssertionError(f"xdotool cannot type {key} into window {window}: {typed.stderr}")

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# ----------------------------------------------------------------------------------------------
# A pseudo-terminal

class PtyRun:
    """seqcat on a fresh pseudo-terminal, as if run from a console.

    The child waits until the parent has taken the terminal's settings (terminal_before), so
    they are the settings seqcat starts with. prepare_terminal(attributes) may change them
    first (it gets and returns a termios attribute list). program runs another program in
    seqcat's place (a shell, to test job control).

    with PtyRun(["-nd"], cwd) as run:
        run.read_until("Press ESC to quit.")
        run.send(ESC)
        status = run.wait()
    """

    def __init__(self, args, cwd, env=None, display=None, prepare_terminal=None, program=None):
        program = program or seqcat_path()
        if env is None:
            env = seqcat_env(display)
        self.args = list(args)
        self.output = b""
        self.returncode = None
        gate_read, gate_write = os.pipe()
        self.pid, self.fd = pty.fork()
        if self.pid == 0:  # child: wait for the parent's go, then become seqcat
            try:
                os.close(gate_write)
                os.read(gate_read, 1)
                os.close(gate_read)
                os.chdir(cwd)
                os.execve(program, [program] + self.args, env)
            finally:
                os._exit(127)
        os.close(gate_read)
        try:
            if prepare_terminal is not None:
                termios.tcsetattr(self.fd, termios.TCSANOW,
                                  prepare_terminal(termios.tcgetattr(self.fd)))
            # On Linux the master side reports the settings of the terminal seqcat runs on.
            self.terminal_before = termios.tcgetattr(self.fd)
        finally:
            os.write(gate_write, b"g")
            os.close(gate_write)

    @property
    def text(self):
        """Everything seqcat printed so far, with the terminal's \\r\\n turned into \\n."""
        return self.output.decode(errors="replace").replace("\r\n", "\n")

    def _read_some(self, timeout):
        """Reads what comes within timeout: True when something came, None when nothing did,
        False once the terminal has no writer left."""
        ready, _, _ = select.select([self.fd], [], [], max(0.0, timeout))
        if not ready:
            return None
        try:
            chunk = os.read(self.fd, 4096)
        except OSError as error:  # EIO: every slave side is closed
            if error.errno != errno.EIO:
                raise
            return False
        if not chunk:
            return False
        self.output += chunk
        return True

    def read_until(self, expected, timeout=30):
        """Reads until the output holds expected (text or compiled pattern); fails the test
        when it does not come within timeout seconds or seqcat ends first."""
        def found():
            text = self.text
            return expected.search(text) if hasattr(expected, "search") else expected in text
        timeout = allowance(timeout)
        deadline = time.monotonic() + timeout
        while not found():
            remaining = deadline - time.monotonic()
            if remaining <= 0 or self._read_some(min(remaining, 0.1)) is False:
                if found():
                    break
                raise AssertionError(f"seqcat {self.args}: {expected!r} did not come within "
                                     f"{timeout} s; output:\n{self.text}")
        return self.text

    def read_for(self, seconds):
        """Keeps reading for the given time (collects what seqcat prints meanwhile)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self._read_some(deadline - time.monotonic()) is False:
                time.sleep(max(0.0, min(0.05, deadline - time.monotonic())))
        return self.text

    def send(self, data):
        """Types data at seqcat's terminal."""
        os.write(self.fd, data)

    def is_running(self):
        if self.returncode is not None:
            return False
        pid, status = os.waitpid(self.pid, os.WNOHANG)
        if pid == 0:
            return True
        self.returncode = os.waitstatus_to_exitcode(status)
        return False

    def terminal_attributes(self):
        """The terminal's current settings (termios attribute list)."""
        return termios.tcgetattr(self.fd)

    def wait(self, timeout=30):
        """Reads seqcat's output to its end and returns its exit status (a negative number
        for death by a signal); kills it and fails the test after timeout seconds."""
        timeout = allowance(timeout)
        deadline = time.monotonic() + timeout
        while self.is_running():
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError(f"seqcat {self.args} did not end within {timeout} s; "
                                     f"output:\n{self.text}")
            if self._read_some(0.05) is False:
                time.sleep(0.02)
        while self._read_some(0.05):  # what is left, until the terminal is drained or closed
            pass
        return self.returncode

    def kill(self):
        if self.is_running():
            os.kill(self.pid, signal.SIGKILL)
            _, status = os.waitpid(self.pid, 0)
            self.returncode = os.waitstatus_to_exitcode(status)

    def close(self):
        self.kill()
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


# ----------------------------------------------------------------------------------------------
# Test case base

class SeqcatTestCase(unittest.TestCase):
    """A test case with its own empty working folder, self.work, removed afterwards."""

    def setUp(self):
        super().setUp()
        self.work = tempfile.mkdtemp(prefix="seqcat-e2e-")
        self.addCleanup(shutil.rmtree, self.work, True)

    def path(self, *names):
        return os.path.join(self.work, *names)

    def assertVideo(self, name, codecs=None, width=None, height=None, frames=None, rate=None):
        """Probes the video self.work/name and checks the given properties; returns VideoInfo.

        codecs is a codec name or a collection of accepted names; rate is the expected
        r_frame_rate text (such as "15/1")."""
        path = self.path(name)
        self.assertTrue(os.path.isfile(path), f"no video file {name}")
        info = probe_video(path)
        if codecs is not None:
            accepted = {codecs} if isinstance(codecs, str) else set(codecs)
            self.assertIn(info.codec_name, accepted, f"codec of {name}: {info}")
        if width is not None:
            self.assertEqual((info.width, info.height), (width, height), f"size of {name}")
        if frames is not None:
            self.assertEqual(info.frame_count, frames, f"frames in {name}: {info}")
        if rate is not None:
            self.assertEqual(info.r_frame_rate, rate, f"frame rate of {name}: {info}")
        return info


# ----------------------------------------------------------------------------------------------
# Running a script's tests

SKIPPED_STATUS = 77  # the tests' SKIP_RETURN_CODE in tests/e2e/CMakeLists.txt


class _RowCountingResult(unittest.TextTestResult):
    """Also notes the tests of which a row (a subtest) ran, failed or not."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.tests_with_a_row_run = set()

    def addSubTest(self, test, subtest, outcome):
        super().addSubTest(test, subtest, outcome)
        self.tests_with_a_row_run.add(test.id())


class _RowCountingRunner(unittest.TextTestRunner):
    resultclass = _RowCountingResult


def run_tests():
    result = unittest.main(testRunner=_RowCountingRunner, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    # A test is skipped when it is skipped whole, or when rows of it were skipped and none ran.
    skipped = {getattr(test, "test_case", test).id() for test, _ in result.skipped}
    if result.testsRun > 0 and len(skipped - result.tests_with_a_row_run) == result.testsRun:
        sys.exit(SKIPPED_STATUS)
    sys.exit(0)
