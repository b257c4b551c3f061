"""What seqcat does when its surroundings are hostile: no display to show frames on, an output it
cannot create, frames of another size, damaged images, and SIGINT or SIGTERM in the middle of a
run or of the console wait. Whatever happens, the video holds exactly the frames the run
reported, the process never crashes, and the user's files and terminal are left as they were."""

import os
import shutil
import signal
import subprocess
import tempfile
import termios
import unittest

from e2e_support import (ESC, NO_DISPLAY_WARNING, SAVED_LINE_PREFIX, LiveRun, PtyRun,
                         SeqcatTestCase, Xvfb, make_frames, output_lines, probe_video, run_seqcat,
                         seqcat_env, seqcat_path, timing_lines)

CANNOT_CREATE_PREFIX = "seqcat: cannot create the output video "


def environment_without_display(display=None):
    """seqcat's environment with DISPLAY unset or set as given, and no window-toolkit platform
    override that would let it skip looking for a server."""
    env = seqcat_env()
    env.pop("QT_QPA_PLATFORM", None)
    if display is not None:
        env["DISPLAY"] = display
    return env


def unused_display():
    """A display name no X server listens on: neither a socket nor a lock file for its number."""
    for number in range(917, 1017):
        if not (os.path.exists(f"/tmp/.X11-unix/X{number}") or
                os.path.exists(f"/tmp/.X{number}-lock")):
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


class OutputCannotBeCreatedTest(SeqcatTestCase):
    """An output that cannot be made ends the run before any frame, with status 255."""

    def run_to_refusal(self, output_name):
        make_frames(self.work, last=3)
        result = run_seqcat(["f", "-sq", "0", "3", "-nd", "-np", output_name], self.work)
        self.assertEqual(result.returncode, 255, result)
        errors = output_lines(result.stderr)
        self.assertEqual(len(errors), 1, result)
        self.assertTrue(errors[0].startswith(f"{CANNOT_CREATE_PREFIX}'{output_name}': "), result)
        self.assertGreater(len(errors[0]), len(f"{CANNOT_CREATE_PREFIX}'{output_name}': "),
                           "the line gives no reason")
        self.assertEqual(timing_lines(result.stdout), [], result)
        self.assertFalse(any(line.startswith(SAVED_LINE_PREFIX)
                             for line in output_lines(result.stdout)), result)
        return result

    def test_output_in_a_missing_folder(self):
        self.run_to_refusal(os.path.join("missing", "clip.avi"))
        self.assertFalse(os.path.exists(self.path("missing")), "the folder was created")

    def test_unknown_extension_leaves_an_existing_file_intact(self):
        previous = bytes(range(256)) * 40
        with open(self.path("out.xyz"), "wb") as existing:
            existing.write(previous)
        self.run_to_refusal("out.xyz")
        with open(self.path("out.xyz"), "rb") as existing:
            self.assertEqual(existing.read(), previous, "out.xyz was changed")

    def test_unknown_extension_creates_no_file(self):
        self.run_to_refusal("out.xyz")
        self.assertFalse(os.path.exists(self.path("out.xyz")), "an out.xyz was left behind")


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


class StopSignalTest(SeqcatTestCase):
    """SIGINT or SIGTERM mid-run: the frame in hand is finished, the video is complete and
    readable, and the process then dies by that very signal."""

    FRAMES = 200

    @classmethod
    def setUpClass(cls):
        # Large frames, so the run is still early in the sequence when the signal lands.
        cls.images = tempfile.mkdtemp(prefix="seqcat-e2e-signal-")
        make_frames(cls.images, last=cls.FRAMES - 1, width=640, height=480)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.images, ignore_errors=True)

    def stop_mid_run(self, signal_number, output_name, codecs):
        args = [os.path.join(self.images, "f"), "-sq", "0", str(self.FRAMES - 1), "-nd", "-np",
                output_name]
        with LiveRun(args, self.work) as run:
            run.wait_for_output(lambda text: timing_lines(text), timeout=60)
            run.process.send_signal(signal_number)
            result = run.wait(timeout=60)

        self.assertEqual(result.returncode, -signal_number, result)
        lines = output_lines(result.stdout)
        frames_reported = len(timing_lines(result.stdout))
        self.assertLess(frames_reported, self.FRAMES, "the signal did not stop the run")
        self.assertIn(SAVED_LINE_PREFIX + output_name, lines)
        self.assertNotIn("Done!", lines)
        info = probe_video(self.path(output_name))
        self.assertIn(info.codec_name, codecs, info)
        self.assertEqual((info.width, info.height), (640, 480), info)
        self.assertIn(info.frame_count, (frames_reported, frames_reported + 1),
                      f"{frames_reported} timing lines, video {info}")

    def test_signals_mid_run(self):
        for signal_number in (signal.SIGINT, signal.SIGTERM):
            for output_name, codecs in (("clip.avi", {"mjpeg"}), ("clip.mp4", {"h264", "mpeg4"})):
                with self.subTest(signal=signal_number.name, output=output_name):
                    self.stop_mid_run(signal_number, output_name, codecs)


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
        self.assertEqual(process.wait(timeout=60), 0)
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


def truncate_to_a_third(path):
    with open(path, "rb") as image:
        data = image.read()
    with open(path, "wb") as image:
        image.write(data[:len(data) // 3])


def replace_with_text(path):
    with open(path, "w") as image:
        image.write("this is not a picture\n")


def make_empty(path):
    open(path, "wb").close()


class DamagedImageTest(SeqcatTestCase):
    """A damaged image never crashes the run: it ends the sequence quietly or, when the decoder
    can still make something of it, becomes a frame; either way the video holds exactly the
    frames reported."""

    # damage, how it is done, whether a decoder may still read an image from it
    DAMAGES = [("truncated JPEG", truncate_to_a_third, True),
               ("text file", replace_with_text, False),
               ("zero bytes", make_empty, False)]

    def test_damaged_image_mid_sequence(self):
        for damage, spoil, may_decode in self.DAMAGES:
            with self.subTest(damage=damage):
                names = make_frames(self.work, last=5)
                spoil(self.path("f003.jpg"))
                result = run_seqcat(["f", "-sq", "0", "5", "-nd", "-np", "clip.avi"], self.work)
                self.assertEqual(result.returncode, 0, result)
                paths = [line.path for line in timing_lines(result.stdout)]
                # Up to the damaged image, or through to the end when it still decodes.
                self.assertIn(paths, (names[:3], names) if may_decode else (names[:3],), result)
                self.assertVideo("clip.avi", codecs="mjpeg", width=64, height=48,
                                 frames=len(paths))

    def test_damaged_first_image(self):
        for damage, spoil, may_decode in self.DAMAGES:
            with self.subTest(damage=damage):
                names = make_frames(self.work, last=3)
                spoil(self.path("f000.jpg"))
                if os.path.exists(self.path("clip.avi")):
                    os.remove(self.path("clip.avi"))
                result = run_seqcat(["f", "-sq", "0", "3", "-nd", "-np", "-nv", "clip.avi"],
                                    self.work)
                if may_decode and result.returncode == 0:
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
    unittest.main()
