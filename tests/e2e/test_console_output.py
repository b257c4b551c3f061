"""What seqcat prints: the start-up texts, one timing line per completed frame with the image's
path, the end-of-run messages in their order, and what the options leave out."""

import os

from e2e_support import (BANNER_LINE, HOT_KEY_LINES, NO_DISPLAY_WARNING, SAVED_LINE_PREFIX,
                         TIMING_LINE, SeqcatTestCase, make_frames, output_lines, run_seqcat,
                         run_tests, timing_lines)


class VerboseRunOutputTest(SeqcatTestCase):
    def test_whole_output_of_a_run(self):
        os.mkdir(self.path("shots"))
        make_frames(self.work, base="shots/cam_", ext="png", first=7, last=12, pad=5)
        result = run_seqcat(["shots/cam_", "-e", "png", "-zp", "5", "-sq", "7", "12", "-nd",
                             "out.avi"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stderr, "")
        lines = output_lines(result.stdout)

        self.assertEqual(lines[:5], ["Verbose is on.", "Input base filename : shots/cam_",
                                     "Sequence range [v0, v1] = [7, 12]", "No display.",
                                     "New output filename: out.avi"])
        banner = BANNER_LINE.match(lines[5])
        self.assertIsNotNone(banner, lines[5])
        numbers = ".".join(banner.group(part) for part in ("major", "minor", "subminor"))
        self.assertTrue(banner.group("version").startswith(numbers), lines[5])
        self.assertEqual(lines[6:9], HOT_KEY_LINES)

        timing = lines[9:15]
        for line in timing:
            self.assertRegex(line, TIMING_LINE)
        self.assertEqual([line.path for line in timing_lines(result.stdout)],
                         [f"shots/cam_{index:05d}.png" for index in range(7, 13)])
        self.assertEqual(lines[15:], [SAVED_LINE_PREFIX + "out.avi", "Done!",
                                      "Press ESC to quit."])
        self.assertVideo("out.avi", codecs="mjpeg", frames=6)

    def test_timing_figures_agree_with_each_other_and_the_clock(self):
        make_frames(self.work, last=10)
        result = run_seqcat(["-nd", "-np"], self.work)
        self.assertEqual(result.returncode, 0, result)
        frames = timing_lines(result.stdout)
        self.assertEqual(len(frames), 11)
        for frame in frames:
            # Both figures are printed with two decimals; the frame rate is 1000 / milliseconds.
            self.assertGreater(frame.milliseconds, 0.005, frame)
            low = 1000.0 / (frame.milliseconds + 0.005) - 0.005
            high = 1000.0 / (frame.milliseconds - 0.005) + 0.005
            self.assertTrue(low <= frame.fps <= high, frame)
        # Each frame's time is part of the run: together they cannot exceed the process's life.
        self.assertLess(sum(frame.milliseconds for frame in frames), result.elapsed * 1000.0)

    def test_default_run_prints_eleven_frames_then_the_end_messages(self):
        make_frames(self.work, last=10)
        result = run_seqcat([], self.work)  # no display here: seqcat warns and goes on
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(output_lines(result.stderr), [NO_DISPLAY_WARNING])
        lines = output_lines(result.stdout)
        first_timing = next(i for i, line in enumerate(lines) if TIMING_LINE.match(line))
        self.assertEqual([TIMING_LINE.match(line).group("path")
                          for line in lines[first_timing:first_timing + 11]],
                         [f"f{index:03d}.jpg" for index in range(11)])
        self.assertEqual(lines[first_timing + 11:],
                         [SAVED_LINE_PREFIX + "video.avi", "Done!", "Press ESC to quit."])


class QuietOptionsTest(SeqcatTestCase):
    def test_verbose_off_keeps_only_timing_and_saved_lines(self):
        make_frames(self.work, last=3)
        # -nv anywhere silences the parse messages, even of arguments before it.
        result = run_seqcat(["f", "-sq", "0", "3", "clip.avi", "-nv", "-nd"], self.work)
        self.assertEqual(result.returncode, 0, result)
        lines = output_lines(result.stdout)
        self.assertEqual(len(lines), 5, lines)
        self.assertEqual([TIMING_LINE.match(line).group("path") for line in lines[:4]],
                         [f"f{index:03d}.jpg" for index in range(4)])
        self.assertEqual(lines[4], SAVED_LINE_PREFIX + "clip.avi")
        self.assertVideo("clip.avi", frames=4)

    def test_no_wait_prints_done_but_not_the_wait_prompt(self):
        make_frames(self.work, last=1)
        result = run_seqcat(["-sq", "0", "1", "-np", "-nd"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(output_lines(result.stdout)[-2:],
                         [SAVED_LINE_PREFIX + "video.avi", "Done!"])

    def test_no_display_option_needs_no_display(self):
        # DISPLAY is unset: with -nd seqcat must not even try to reach one.
        make_frames(self.work, last=2)
        result = run_seqcat(["-sq", "0", "2", "-nd"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(result.stderr, "")
        self.assertIn("No display.", output_lines(result.stdout))
        self.assertVideo("video.avi", frames=3)


if __name__ == "__main__":
    run_tests()
