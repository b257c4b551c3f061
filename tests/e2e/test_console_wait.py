"""The wait for ESC at the console at the end of a verbose run, on a real (pseudo-)terminal:
it blocks, reads keys without echo, ends only on ESC, puts the terminal back as it found it,
and never blocks when there is no terminal to read from or no wait is due."""

import termios
import time

from e2e_support import (ESC, SAVED_LINE_PREFIX, PtyRun, SeqcatTestCase, allowance,
                         make_frames, output_lines, probe_video, run_seqcat, run_tests,
                         timing_lines)

PROMPT = "Press ESC to quit.\n"

# Long enough for a wrongly ended wait to show, short enough to keep the suite quick.
SETTLE_SECONDS = allowance(0.6)


def unusual_terminal(attributes):
    """Terminal settings a program could not guess: restoring "sane" defaults instead of
    what it found would show."""
    attributes = list(attributes)
    attributes[0] &= ~termios.IXON  # input flags: no XON/XOFF flow control
    control = list(attributes[6])
    control[termios.VKILL] = b"\x0b"  # ^K kills the line instead of ^U
    attributes[6] = control
    return attributes


class ConsoleWaitTest(SeqcatTestCase):
    def test_wait_blocks_ignores_other_keys_and_ends_on_escape(self):
        make_frames(self.work, last=2)
        with PtyRun(["-sq", "0", "2", "-nd"], self.work,
                    prepare_terminal=unusual_terminal) as run:
            run.read_until(PROMPT)
            run.read_for(SETTLE_SECONDS)
            self.assertTrue(run.is_running(), "seqcat did not wait after the prompt")

            # Keys are read one at a time and not echoed.
            during = run.terminal_attributes()
            self.assertFalse(during[3] & termios.ECHO, "the terminal echoes during the wait")
            self.assertFalse(during[3] & termios.ICANON, "the wait reads whole lines")

            for key in (b"q", b"\r", b" ", ESC + b"[A"):  # the last is the up arrow
                run.send(key)
            run.read_for(SETTLE_SECONDS)
            self.assertTrue(run.is_running(), "a key other than ESC ended the wait")
            after_prompt = run.text.split(PROMPT, 1)[1]
            self.assertNotIn("q", after_prompt, "a typed key was echoed")

            run.send(ESC)
            self.assertEqual(run.wait(20), 0, run.text)
            self.assertEqual(run.terminal_attributes(), run.terminal_before,
                             "the terminal's settings were not restored")

        # The video is finished after the wait.
        self.assertVideo("video.avi", codecs="mjpeg", frames=3)
        self.assertEqual(len(timing_lines(run.text)), 3)

    def test_video_is_in_place_during_the_wait(self):
        make_frames(self.work, last=2)
        with PtyRun(["-sq", "0", "2", "-nd", "clip.mp4"], self.work) as run:
            run.read_until(PROMPT)
            self.assertTrue(run.is_running())
            # An MP4 file gets its index when the writer is released: it is a readable video
            # only once finished, and the saved-file line before the prompt says it is.
            self.assertIn(SAVED_LINE_PREFIX + "clip.mp4", output_lines(run.text))
            self.assertVideo("clip.mp4", frames=3)
            run.send(ESC)
            self.assertEqual(run.wait(20), 0, run.text)

    def test_end_of_input_ends_the_wait(self):
        make_frames(self.work, last=1)
        for name, given in [("/dev/null", None), ("keys without ESC", b"abc\n"),
                            ("keys then ESC", b"xy" + ESC + b"z")]:
            with self.subTest(input=name):
                started = time.monotonic()
                result = run_seqcat(["-sq", "0", "1", "-nd"], self.work, timeout=30,
                                    stdin=given)
                self.assertEqual(result.returncode, 0, result)
                self.assertEqual(output_lines(result.stdout)[-1], "Press ESC to quit.")
                self.assertLess(time.monotonic() - started, allowance(20))
                self.assertVideo("video.avi", frames=2)


class NoWaitTest(SeqcatTestCase):
    def test_verbose_off_does_not_wait(self):
        make_frames(self.work, last=2)
        with PtyRun(["-sq", "0", "2", "-nd", "-nv"], self.work) as run:
            status = run.wait(20)  # no key is ever typed
            self.assertEqual(status, 0, run.text)
            self.assertEqual(run.terminal_attributes(), run.terminal_before)
        lines = output_lines(run.text)
        self.assertEqual(len(timing_lines(run.text)), 3)
        self.assertEqual(lines[3:], [SAVED_LINE_PREFIX + "video.avi"])
        self.assertVideo("video.avi", frames=3)

    def test_no_wait_option_does_not_wait(self):
        make_frames(self.work, last=2)
        with PtyRun(["-sq", "0", "2", "-nd", "-np"], self.work) as run:
            status = run.wait(20)
            self.assertEqual(status, 0, run.text)
            self.assertEqual(run.terminal_attributes(), run.terminal_before)
        self.assertEqual(output_lines(run.text)[-1], "Done!")
        self.assertVideo("video.avi", frames=3)


if __name__ == "__main__":
    run_tests()
