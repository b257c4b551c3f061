"""The window "seqcat" under a private X server: it appears while frames are converted, ESC typed
into it stops the sequence after the frame in hand, it stays open during the console wait, and
-nd never opens it."""

import contextlib
import os
import subprocess
import unittest

from e2e_support import (ESC, NO_DISPLAY_WARNING, SAVED_LINE_PREFIX, LiveRun, PtyRun,
                         SeqcatTestCase, Xvfb, make_frames, output_lines, run_tests,
                         seqcat_path, timing_lines)

# The key poll ends early once the next frame is ready, but each frame gets at least one pass
# of the window's events, which waits a millisecond when no key came.
LEAST_FRAME_MILLISECONDS = 1.0
CLOSED_LINE = "seqcat: the window was closed; frames will not be shown any more\n"


class WindowTest(SeqcatTestCase):
    @classmethod
    def setUpClass(cls):
        cls.display = Xvfb().start()

    @classmethod
    def tearDownClass(cls):
        cls.display.stop()

    def wait_for_seqcat_window(self, run):
        try:
            return self.display.wait_for_window("seqcat")
        except AssertionError as error:
            run.kill()
            raise AssertionError(f"{error}; seqcat's exit status {run.process.poll()}, stdout:\n"
                                 f"{run.stdout}\nstderr:\n{run.stderr}") from None

    @contextlib.contextmanager
    def start_long_run(self, frame_count):
        """A run of frame_count frames, yielded once its window shows and three are done."""
        # One drawn image, linked under every index, keeps the set-up quick.
        make_frames(self.work, first=0, last=0)
        for index in range(1, frame_count):
            os.symlink("f000.jpg", self.path(f"f{index:03d}.jpg"))
        with LiveRun(["-sq", "0", str(frame_count - 1)], self.work,
                     display=self.display) as run:
            window = self.wait_for_seqcat_window(run)
            run.wait_for_output(lambda text: len(timing_lines(text)) >= 3, timeout=30)
            yield run, window

    def test_escape_in_the_window_stops_after_the_frame_in_hand(self):
        frame_count = 400  # about 4 s of frames: ESC lands long before the end
        with self.start_long_run(frame_count) as (run, window):
            self.display.send_key(window, "Escape")
            result = run.wait(60)  # input is /dev/null: the console wait ends at once

        self.assertEqual(result.returncode, 0, result)
        self.assertNotIn(NO_DISPLAY_WARNING, result.stderr)
        frames = timing_lines(result.stdout)
        self.assertLess(len(frames), frame_count - 1, "ESC did not stop the sequence")
        self.assertEqual([frame.path for frame in frames],
                         [f"f{index:03d}.jpg" for index in range(len(frames))])
        for frame in frames:
            self.assertGreaterEqual(frame.milliseconds, LEAST_FRAME_MILLISECONDS, frame)
        lines = output_lines(result.stdout)
        self.assertEqual(lines[-3:], [SAVED_LINE_PREFIX + "video.avi", "Done!",
                                      "Press ESC to quit."])
        # The frame during which ESC came is written but has no timing line.
        self.assertVideo("video.avi", codecs="mjpeg", frames=len(frames) + 1)

    def test_window_closed_by_the_user_stays_closed_and_the_run_goes_on(self):
        libraries = subprocess.run(["ldd", seqcat_path()], capture_output=True, text=True).stdout
        if "libgtk" in libraries:
            self.skipTest("OpenCV's GTK window (Debian 11) does not report being closed, so "
                          "there it is shown again")
        frame_count = 300
        with self.start_long_run(frame_count) as (run, window):
            self.display.close_window(window)
            run.wait_for_output(lambda text: len(timing_lines(text)) >= 60, timeout=30)
            self.assertEqual(self.display.find_windows("seqcat", only_visible=True), [])
            result = run.wait(60)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stderr, CLOSED_LINE)
        self.assertEqual(len(timing_lines(result.stdout)), frame_count)

    def test_window_stays_open_during_the_console_wait(self):
        make_frames(self.work, last=2)
        with PtyRun(["-sq", "0", "2"], self.work, display=self.display) as run:
            run.read_until("Press ESC to quit.\n")
            self.assertTrue(run.is_running())
            windows = self.display.find_windows("seqcat", only_visible=True)
            self.assertEqual(len(windows), 1, f"windows titled seqcat: {windows}")
            run.send(ESC)
            self.assertEqual(run.wait(20), 0, run.text)
        self.assertNotIn(NO_DISPLAY_WARNING, run.text)
        self.assertVideo("video.avi", frames=3)

    def test_no_display_option_opens_no_window(self):
        make_frames(self.work, last=2)
        with PtyRun(["-sq", "0", "2", "-nd"], self.work, display=self.display) as run:
            run.read_until("Press ESC to quit.\n")
            self.assertEqual(self.display.find_windows("seqcat"), [])
            self.assertEqual(self.display.windows_of_process(run.pid), [])
            run.send(ESC)
            self.assertEqual(run.wait(20), 0, run.text)
        self.assertIn("No display.", output_lines(run.text))
        self.assertVideo("video.avi", frames=3)


if __name__ == "__main__":
    run_tests()
