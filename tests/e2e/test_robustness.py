"""What seqcat does when its surroundings are hostile: no display to show frames on, or one that
goes away, frames of another size, damaged images, signals in the middle of a run, of a stuck
read or write, or of the console wait, and Ctrl-Z there. Whatever happens, the video holds the
frames the run reported, the process never crashes, and the user's files and terminal are left
as they were."""

import fcntl
import os
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import termios
import time
import unittest

from e2e_support import (ESC, NO_DISPLAY_WARNING, SAVED_LINE_PREFIX, LiveRun, PtyRun,
                         SeqcatTestCase, Xvfb, allowance, make_frames, output_lines, probe_video,
                         run_seqcat, run_tests, seqcat_env, seqcat_path, timing_lines)

F_SETPIPE_SZ = 1031  # Linux's fcntl command, which Python's fcntl module lacks before 3.10

# What qemu's user mode itself prints when the program it runs ends by a core-dumping signal
# (SIGQUIT, SIGXCPU): the emulator's line, never seqcat's, in a run under emulation.
EMULATOR_REPORT = re.compile(r"^qemu: uncaught target signal \d+ \(.*\) - core dumped\n", re.M)
THIRD_SIGNAL_LINE = "seqcat: third stop signal: ending at once, the video is not finished\n"


def read_text(path):
    with open(path, errors="replace") as text:
        return text.read()


def environment_without_display(display=None):
    """seqcat's environment with DISPLAY unset or set as given, and no window-toolkit platform
    override that would let it skip looking for a server."""
    env = seqcat_env()
    env.pop("QT_QPA_PLATFORM", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


def unused_display():
    """A display name no X server listens on: neither a socket nor a lock file for its number,
    nor an abstract socket, which a server outside a chroot (same network namespace, another
    /tmp) is reached by."""
    with open("/proc/net/unix") as sockets:
        socket_names = {fields[-1] for fields in map(str.split, sockets) if len(fields) == 8}
    for number in range(917, 1017):
        if not (os.path.exists(f"/tmp/.X11-unix/X{number}") or
                os.path.exists(f"/tmp/.X{number}-lock") or
                f"@/tmp/.X11-unix/X{number}" in socket_names):
            return f":{number}"
    raise AssertionError("no free X display number between 917 and 1016")


class NoDisplayTest(SeqcatTestCase):
    """Without a reachable display the run warns once on stderr and goes on as with -nd."""

    def check_run_without_window(self, env):
        make_frames(self.work, last=5)
        result = run_seqcat(["f", "-sq", "0", "5", "-np", "clip.avi"], self.work, env=env,
                            timeout=60)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(output_lines(result.stderr), [NO_DISPLAY_WARNING], result)
        self.assertEqual([line.path for line in timing_lines(result.stdout)],
                         [f"f{index:03d}.jpg" for index in range(6)], result)
        self.assertIn(SAVED_LINE_PREFIX + "clip.avi", output_lines(result.stdout))
        self.assertVideo("clip.avi", codecs="mjpeg", width=64, height=48, frames=6)

    def test_display_unset(self):
        self.check_run_without_window(environment_without_display())

    def test_display_where_no_server_listens(self):
        self.check_run_without_window(environment_without_display(unused_display()))


class FrameOfAnotherSizeTest(SeqcatTestCase):
    """A frame whose size differs from the first image's is scaled into the video, not lost."""

    def test_middle_frame_of_another_size_is_kept(self):
        make_frames(self.work, last=4, width=160, height=120)
        for odd_size, (width, height) in (("larger", (320, 200)), ("smaller", (48, 64))):
            for output_name, codecs in (("clip.avi", {"mjpeg"}), ("clip.mp4", {"h264", "mpeg4"})):
                with self.subTest(middle_frame=odd_size, output=output_name):
                    make_frames(self.work, base="odd", first=2, last=2, width=width,
                                height=height)
                    os.replace(self.path("odd002.jpg"), self.path("f002.jpg"))
                    result = run_seqcat(["f", "-sq", "0", "4", "-nd", "-np", output_name],
                                        self.work)
                    self.assertEqual(result.returncode, 0, result)
                    self.assertEqual(len(timing_lines(result.stdout)), 5, result)
                    self.assertVideo(output_name, codecs=codecs, width=160, height=120,
                                     frames=5)


def signal_name(number):
    if signal.SIGRTMIN <= number <= signal.SIGRTMAX:
        return f"SIGRTMIN+{number - signal.SIGRTMIN}"
    return signal.Signals(number).name


class StopSignalTest(SeqcatTestCase):
    """Every signal that would end seqcat stops the run after the frame in hand, even while it is
    blocked reading an image or writing its messages; the video is complete and readable, and
    the process then dies by that very signal. A signal the caller ignores stays ignored."""

    FRAMES = 200
    # Signals sent (a second one must not change the outcome), moment, expected exit status
    # (negative: ended by that signal), output. The video then holds the frames reported, or
    # every frame when the run went on.
    CASES = [((signal.SIGINT,), "mid-run", -signal.SIGINT, "clip.avi"),
             ((signal.SIGTERM,), "mid-run", -signal.SIGTERM, "clip.mp4"),
             ((signal.SIGHUP,), "mid-run", -signal.SIGHUP, "clip.mp4"),
             ((signal.SIGQUIT,), "mid-run", -signal.SIGQUIT, "clip.avi"),
             ((signal.SIGUSR1,), "mid-run", -signal.SIGUSR1, "clip.mp4"),
             ((signal.SIGUSR2,), "mid-run", -signal.SIGUSR2, "clip.avi"),
             ((signal.SIGALRM,), "mid-run", -signal.SIGALRM, "clip.mp4"),
             ((signal.SIGXCPU,), "mid-run", -signal.SIGXCPU, "clip.avi"),
             ((signal.SIGVTALRM,), "mid-run", -signal.SIGVTALRM, "clip.mp4"),
             ((signal.SIGPROF,), "mid-run", -signal.SIGPROF, "clip.avi"),
             ((signal.SIGINT, signal.SIGTERM), "mid-run", -signal.SIGINT, "clip.mp4"),
             ((signal.SIGINT,), "mid-run over an existing video", -signal.SIGINT, "clip.mp4"),
             ((signal.SIGHUP,), "ignored by the caller", 0, "clip.avi"),
             ((signal.SIGTERM,), "reading a FIFO", -signal.SIGTERM, "clip.mp4"),
             ((signal.SIGPWR,), "reading a FIFO", -signal.SIGPWR, "clip.avi"),
             # No video, so no writer that could end a run whose main thread never comes back.
             ((signal.SIGTERM,), "reading a FIFO", -signal.SIGTERM, "-no"),
             ((signal.SIGRTMIN + 1,), "mid-run", -(signal.SIGRTMIN + 1), "clip.avi"),
             ((signal.SIGTERM,), "writing to a full pipe", -signal.SIGTERM, "clip.mp4"),
             # 10 ms apart, while an encoder busy with large frames may be logging.
             ((signal.SIGTERM,) * 3, "mid-run at 1080p", -signal.SIGTERM, "clip.mp4")]

    # The bound is 2 s; the margin is for a loaded machine (a stuck call never ends).
    BLOCKED_CALL_SECONDS = 5.0

    @classmethod
    def setUpClass(cls):
        # Large frames, so the run is still early in the sequence when the signal lands; every
        # one but the first a little larger than the video, so that each is scaled and encoded
        # (where JPEG files can be copied into .avi, they would go by in no time).
        cls.images = tempfile.mkdtemp(prefix="seqcat-e2e-signal-")
        make_frames(cls.images, last=0, width=640, height=480)
        make_frames(cls.images, first=1, last=cls.FRAMES - 1, width=642, height=482)
        make_frames(cls.images, base="large", last=0, width=1920, height=1080)
        for index in range(1, cls.FRAMES):
            os.symlink("large000.jpg", os.path.join(cls.images, f"large{index:03d}.jpg"))
        # SIGQUIT and SIGXCPU dump core by default: not here.
        resource.setrlimit(resource.RLIMIT_CORE, (0, 0))

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.images, ignore_errors=True)

    def start(self, moment, output_name, stdout):
        base = os.path.join(self.images, "large" if moment.endswith("1080p") else "f")
        if moment == "reading a FIFO":
            for index in range(4):  # made afresh for each case
                if os.path.lexists(self.path(f"f{index:03d}.jpg")):
                    os.remove(self.path(f"f{index:03d}.jpg"))
            for index in range(3):
                os.symlink(f"{base}{index:03d}.jpg", self.path(f"f{index:03d}.jpg"))
            os.mkfifo(self.path("f003.jpg"))  # nobody ever writes to it
            base = "f"
        args = [seqcat_path(), base, "-sq", "0", str(self.FRAMES - 1), "-nd", "-np", output_name]
        ignored = signal.SIG_IGN if moment == "ignored by the caller" else signal.SIG_DFL
        hangup_before = signal.signal(signal.SIGHUP, ignored)  # inherited through exec
        try:
            return subprocess.Popen(args, cwd=self.work, env=environment_without_display(),
                                    stdin=subprocess.DEVNULL, stdout=stdout,
                                    stderr=subprocess.PIPE)
        finally:
            signal.signal(signal.SIGHUP, hangup_before)

    def wait_for_moment(self, process, moment, stdout_file):
        # Where the kernel has one of its threads wait, for the moments it is stuck in a call.
        kernel_wait = {"reading a FIFO": "wait_for_partner", "writing to a full pipe": "pipe_write"}
        deadline = time.monotonic() + allowance(60)
        while time.monotonic() < deadline:
            if moment in kernel_wait:
                if any(kernel_wait[moment] in read_text(f"/proc/{process.pid}/task/{thread}/wchan")
                       for thread in os.listdir(f"/proc/{process.pid}/task")):
                    return
            elif timing_lines(read_text(stdout_file.name)):
                return
            time.sleep(0.02)
        self.fail(f"seqcat did not come to the moment {moment!r}")

    def stop(self, signals, moment, output_name):
        """Returns seqcat's exit status, output, error output, and how long it took to end."""
        with tempfile.NamedTemporaryFile(dir=self.work) as stdout_file:
            read_end, write_end = os.pipe()
            fcntl.fcntl(read_end, F_SETPIPE_SZ, 4096)  # fills after a few dozen lines
            full_pipe = moment == "writing to a full pipe"
            process = self.start(moment, output_name, write_end if full_pipe else stdout_file)
            os.close(write_end)
            with process, os.fdopen(read_end, "rb") as pipe:
                self.wait_for_moment(process, moment, stdout_file)
                started = time.monotonic()
                for signal_number in signals:
                    process.send_signal(signal_number)
                    time.sleep(0.01 if len(signals) == 3 else 0.05)
                try:
                    process.wait(allowance(60))
                finally:
                    process.kill()
                elapsed = time.monotonic() - started
                stdout = pipe.read().decode() if full_pipe else read_text(stdout_file.name)
                return process.returncode, stdout, process.stderr.read().decode(), elapsed

    def test_stop_signals(self):
        earlier_video = b"an earlier run's complete video"
        for signals, moment, expected_status, output_name in self.CASES:
            names = "+".join(signal_name(number) for number in signals)
            with self.subTest(signals=names, moment=moment, output=output_name):
                for name in (output_name, "clip.partial.mp4"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                over_existing = moment.endswith("existing video")
                if over_existing:
                    with open(self.path(output_name), "wb") as existing:
                        existing.write(earlier_video)
                status, stdout, stderr, elapsed = self.stop(signals, moment, output_name)
                self.assertEqual(status, expected_status, stdout + stderr)
                if len(signals) == 3:  # the third ends the run at once, the video unfinished
                    self.assertEqual(stderr, THIRD_SIGNAL_LINE)
                    self.assertFalse(os.path.exists(self.path(output_name)))
                    continue
                stderr = EMULATOR_REPORT.sub("", stderr)
                if expected_status == 0:
                    self.assertEqual(stderr, "")
                else:
                    stopped_by = re.escape(signal_name(signals[0]))
                    stop_line = re.fullmatch(rf"seqcat: stopped by {stopped_by} after (\d+) of "
                                             rf"{self.FRAMES} frames(.*)\n", stderr)
                    self.assertTrue(stop_line, stderr)
                if output_name == "-no":
                    self.assertLess(elapsed, allowance(self.BLOCKED_CALL_SECONDS))
                    continue
                reported = len(timing_lines(stdout))
                kept = output_name
                if over_existing:
                    kept = "clip.partial.mp4"
                    self.assertEqual(stop_line.group(2), f"; '{output_name}' is kept as it was, "
                                                         f"and those frames are in './{kept}'")
                    with open(self.path(output_name), "rb") as existing:
                        self.assertEqual(existing.read(), earlier_video)
                    self.assertNotIn(SAVED_LINE_PREFIX + output_name, output_lines(stdout))
                frames = probe_video(self.path(kept)).frame_count
                if expected_status == 0:
                    self.assertEqual((reported, frames), (self.FRAMES, self.FRAMES))
                    continue
                self.assertEqual(int(stop_line.group(1)), frames)
                if moment == "writing to a full pipe":  # lines cut short are lost
                    self.assertGreaterEqual(frames, reported)
                else:
                    self.assertLess(reported, self.FRAMES, "the signal did not stop the run")
                    if not over_existing:
                        self.assertIn(SAVED_LINE_PREFIX + output_name, output_lines(stdout))
                    self.assertIn(frames, (reported, reported + 1), f"{reported} timing lines")
                if moment.endswith(("FIFO", "pipe")):
                    self.assertLess(elapsed, allowance(self.BLOCKED_CALL_SECONDS))


class DisplayLossTest(SeqcatTestCase):
    """The display going away (its server ended, or the window killed from outside) never costs
    the video. Seen in time, the run goes on without a window and ends normally; where the window
    toolkit ends the process first, the video is finished on the way out and the status is not
    0. Either way one line on stderr says so, and the video holds every frame reported."""

    GOES_ON = "seqcat: lost the connection to the display; frames will not be shown any more"
    TOOLKIT_ENDED = "seqcat: lost the connection to the display; the window toolkit ended the run"

    def check_outcome(self, status, messages, output_name, reported, frames_in_run):
        self.assertEqual(len(messages), 1, messages)
        if status == 0:
            self.assertEqual((messages[0], reported), (self.GOES_ON, frames_in_run))
        else:
            self.assertEqual(messages[0], self.TOOLKIT_ENDED)
        self.assertGreaterEqual(probe_video(self.path(output_name)).frame_count, reported)

    def test_display_lost_mid_run(self):
        make_frames(self.work, last=299)
        for output_name in ("clip.mp4", "clip.avi"):
            with self.subTest(output=output_name):
                with Xvfb() as display, LiveRun(["-sq", "0", "299", "-np", output_name],
                                                self.work, display=display) as run:
                    run.wait_for_output(lambda text: len(timing_lines(text)) >= 20, timeout=60)
                    display.stop()  # ends our own Xvfb by its process id
                    result = run.wait(60)
                self.check_outcome(result.returncode, output_lines(result.stderr), output_name,
                                   len(timing_lines(result.stdout)), 300)

    def test_display_lost_in_the_console_wait(self):
        make_frames(self.work, last=4)
        ends = {"server ended": lambda display: display.stop(),
                "window killed": lambda display: display._xdotool(
                    "windowkill", display.wait_for_window("seqcat"))}
        for output_name in ("clip.mp4", "clip.avi"):
            for how, end_display in ends.items():
                with self.subTest(output=output_name, display=how):
                    with Xvfb() as display, PtyRun(["-sq", "0", "4", output_name], self.work,
                                                   display=display) as run:
                        run.read_until("Press ESC to quit.\n")
                        end_display(display)
                        run.read_until("seqcat: lost the connection")
                        run.read_for(0.5)
                        if run.is_running():
                            run.send(ESC)  # the wait is still due
                        status = run.wait(30)
                        self.assertEqual(run.terminal_attributes(), run.terminal_before)
                    messages = [line for line in output_lines(run.text)
                                if line.startswith("seqcat: lost")]
                    self.check_outcome(status, messages, output_name, len(timing_lines(run.text)), 5)

    def test_stop_signal_while_the_display_server_is_stopped(self):
        # As a stalled remote display does: the main thread is stuck in the window toolkit and
        # never comes back to the frame loop, yet the video is finished within 2 s.
        make_frames(self.work, last=299)
        with Xvfb() as display, LiveRun(["-sq", "0", "299", "-np", "clip.avi"], self.work,
                                        display=display) as run:
            run.wait_for_output(lambda text: len(timing_lines(text)) >= 20, timeout=60)
            os.kill(display.process.pid, signal.SIGSTOP)
            try:
                time.sleep(0.5)  # until the toolkit waits for the server
                run.process.send_signal(signal.SIGTERM)
                result = run.wait(StopSignalTest.BLOCKED_CALL_SECONDS)
            finally:
                os.kill(display.process.pid, signal.SIGCONT)
        self.assertEqual(result.returncode, -signal.SIGTERM, result)
        self.assertIn(SAVED_LINE_PREFIX + "clip.avi", output_lines(result.stdout))
        reported = len(timing_lines(result.stdout))
        self.assertIn(probe_video(self.path("clip.avi")).frame_count, (reported, reported + 1))


class ClosedOutputTest(SeqcatTestCase):
    """A reader of the messages that goes away early (seqcat | head -1) does not cost the video:
    the run goes on to the last frame and finishes the file."""

    def test_run_outlives_its_reader(self):
        make_frames(self.work, last=39, width=320, height=240)
        process = subprocess.Popen([seqcat_path(), "-sq", "0", "39", "-nd", "-np", "clip.mp4"],
                                   cwd=self.work, env=environment_without_display(),
                                   stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.DEVNULL)
        process.stdout.readline()
        process.stdout.close()
        self.assertEqual(process.wait(timeout=allowance(60)), 0)
        self.assertVideo("clip.mp4", width=320, height=240, frames=40)


class InterruptedConsoleWaitTest(SeqcatTestCase):
    """An interrupt during the wait for ESC ends it with the terminal as it was before."""

    def interrupt_wait(self, interrupt):
        make_frames(self.work, last=2)
        with PtyRun(["f", "-sq", "0", "2", "-nd", "clip.avi"], self.work,
                    env=environment_without_display()) as run:
            run.read_until("Press ESC to quit.")
            self.assertNotEqual(run.terminal_attributes(), run.terminal_before,
                                "the wait did not switch the terminal to single keys")
            interrupt(run)
            status = run.wait(timeout=30)
            self.assertEqual(status, -signal.SIGINT, run.text)
            self.assertEqual(run.terminal_attributes(), run.terminal_before,
                             "terminal settings differ after the run")
            self.assertEqual(len(timing_lines(run.text)), 3, run.text)
            self.assertIn(SAVED_LINE_PREFIX + "clip.avi", output_lines(run.text))
        self.assertVideo("clip.avi", codecs="mjpeg", width=64, height=48, frames=3)

    def test_sigint_sent_to_the_process(self):
        self.interrupt_wait(lambda run: os.kill(run.pid, signal.SIGINT))

    def test_ctrl_c_typed_at_the_terminal(self):
        # The terminal itself turns ^C into SIGINT for seqcat: the single-key mode must keep
        # that working.
        self.interrupt_wait(lambda run: run.send(run.terminal_before[6][termios.VINTR]))

    def test_escape_still_ends_the_wait_normally(self):
        make_frames(self.work, last=1)
        with PtyRun(["f", "-sq", "0", "1", "-nd", "clip.avi"], self.work,
                    env=environment_without_display()) as run:
            run.read_until("Press ESC to quit.")
            run.send(ESC)
            self.assertEqual(run.wait(timeout=30), 0, run.text)
            self.assertEqual(run.terminal_attributes(), run.terminal_before)


class SuspendedConsoleWaitTest(SeqcatTestCase):
    """Ctrl-Z at the console wait under a job-control shell, then fg: seqcat is back in
    key-at-a-time mode, and a lone ESC ends the wait."""

    def test_ctrl_z_then_fg(self):
        make_frames(self.work, last=2)
        env = dict(environment_without_display(), PS1="$ ")
        shell = shutil.which("bash")
        with PtyRun(["--norc", "--noprofile", "--noediting", "-i"], self.work, env=env,
                    program=shell) as run:
            run.read_until("$ ")
            run.send(f"{seqcat_path()} -sq 0 2 -nd clip.mp4\n".encode())
            run.read_until("Press ESC to quit.\n")
            run.send(run.terminal_before[6][termios.VSUSP])
            run.read_until(re.compile(r"Stopped.*\n\$ "))
            run.send(b"fg\n")
            deadline = time.monotonic() + allowance(20)
            while run.terminal_attributes()[3] & termios.ICANON:
                self.assertLess(time.monotonic(), deadline, "fg did not give back single keys")
                time.sleep(0.05)
            run.send(ESC)
            run.read_until(re.compile(r"\$ fg\n.*\n\$ "))  # the shell's prompt: seqcat has ended
            run.send(b"echo status=$?\n")
            run.read_until("status=0\n")
        self.assertVideo("clip.mp4", frames=3)

    def test_output_in_a_log(self):
        # In the foreground the prompt comes to the terminal too; in the background the job
        # does not stop for a key it can never read.
        make_frames(self.work, last=2)
        env = dict(environment_without_display(), PS1="$ ")
        with PtyRun(["--norc", "--noprofile", "--noediting", "-i"], self.work, env=env,
                    program=shutil.which("bash")) as run:
            for how, after, key in [("foreground", "", ESC), ("background", " & wait $!", b"")]:
                with self.subTest(run=how):
                    run.read_until("$ ")
                    run.send(f"{seqcat_path()} -sq 0 2 -nd clip.mp4 > log.txt{after}\n".encode())
                    if key:
                        run.read_until("Press ESC to quit.\n")
                        run.send(key)
                        run.read_until(re.compile(r"Press ESC to quit\.\n\$ \Z"))
                    run.send(f"echo {how}=$?\n".encode())
                    run.read_until(f"{how}=0\n")
                    self.assertVideo("clip.mp4", frames=3)


def truncate_to(fraction):
    def truncate(path):
        with open(path, "rb") as image:
            data = image.read()
        with open(path, "wb") as image:
            image.write(data[:int(len(data) * fraction)])
    return truncate


def replace_with_text(path):
    with open(path, "w") as image:
        image.write("this is not a picture\n")


def make_empty(path):
    open(path, "wb").close()


class DamagedImageTest(SeqcatTestCase):
    """A damaged image never crashes the run: it ends the sequence quietly or, when the decoder
    can still make something of it, becomes a frame and is named on stderr with the decoder's
    complaint; either way the video holds exactly the frames reported."""

    # damage, how it is done, what the decoder says when it still reads an image from it (None:
    # it reads none)
    DAMAGES = [("JPEG cut in its header", truncate_to(1 / 3), None),
               ("JPEG cut in its picture", truncate_to(1 / 2), "Premature end of JPEG file"),
               ("text file", replace_with_text, None),
               ("zero bytes", make_empty, None)]

    def test_damaged_image_mid_sequence(self):
        for damage, spoil, complaint in self.DAMAGES:
            with self.subTest(damage=damage):
                names = make_frames(self.work, last=5)
                spoil(self.path("f003.jpg"))
                result = run_seqcat(["f", "-sq", "0", "5", "-nd", "-np", "clip.avi"], self.work)
                self.assertEqual(result.returncode, 0, result)
                paths = [line.path for line in timing_lines(result.stdout)]
                # Through to the end when it still decodes, else up to the damaged image.
                self.assertEqual(paths, names if complaint else names[:3], result)
                named = [f"seqcat: the image 'f003.jpg' could be decoded only in part: {complaint}"]
                # An image that ends the sequence while later ones exist is named as a gap.
                lines = output_lines(result.stderr)
                gap = [line for line in lines
                       if line.startswith("seqcat: the sequence ended at 'f003.jpg' (")]
                self.assertEqual(len(gap), 0 if complaint else 1, lines)
                self.assertEqual([line for line in lines if line not in gap],
                                 named if complaint else [])
                self.assertVideo("clip.avi", codecs="mjpeg", width=64, height=48,
                                 frames=len(paths))

    def test_damaged_first_image(self):
        for damage, spoil, complaint in self.DAMAGES:
            with self.subTest(damage=damage):
                names = make_frames(self.work, last=3)
                spoil(self.path("f000.jpg"))
                if os.path.exists(self.path("clip.avi")):
                    os.remove(self.path("clip.avi"))
                result = run_seqcat(["f", "-sq", "0", "3", "-nd", "-np", "-nv", "clip.avi"],
                                    self.work)
                if complaint and result.returncode == 0:
                    # The decoder made an image of what was there: an ordinary run.
                    self.assertEqual([line.path for line in timing_lines(result.stdout)], names)
                    self.assertVideo("clip.avi", codecs="mjpeg", width=64, height=48, frames=4)
                    continue
                # An unreadable first image fails the run before anything is printed or made.
                self.assertEqual(result.returncode, 255, result)
                self.assertEqual(result.stdout, "", result)
                self.assertFalse(os.path.exists(self.path("clip.avi")), result)


class CleanRunTest(SeqcatTestCase):
    """With every image present and a display, nothing at all is written to stderr."""

    def test_stderr_stays_empty(self):
        make_frames(self.work, last=4)
        with Xvfb() as display:
            for output_name in ("clip.avi", "clip.mp4", "clip.webm"):
                with self.subTest(output=output_name):
                    result = run_seqcat(["f", "-sq", "0", "4", output_name], self.work,
                                        display=display, timeout=120)
                    self.assertEqual(result.returncode, 0, result)
                    self.assertEqual(result.stderr, "", result)
                    self.assertEqual(len(timing_lines(result.stdout)), 5, result)
                    self.assertVideo(output_name, width=64, height=48, frames=5)


if __name__ == "__main__":
    run_tests()
