"""The video seqcat writes: container and codec, frame rate, frame size, and which frames are in
it when the sequence ends early or holds nothing. Every video is read back with ffprobe."""

import glob
import os
import shutil
import unittest

from e2e_support import (SAVED_LINE_PREFIX, SeqcatTestCase, ball_centre, decode_gray_frames,
                         expected_ball_centre, make_frames, output_lines, probe_video, run_seqcat,
                         timing_lines)

EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "examples")


class DefaultSettingsTest(SeqcatTestCase):
    def test_bundled_sample_becomes_eleven_mjpeg_frames_at_15_fps(self):
        samples = sorted(glob.glob(os.path.join(EXAMPLES, "f[0-9][0-9][0-9].jpg")))
        self.assertEqual([os.path.basename(name) for name in samples],
                         [f"f{index:03d}.jpg" for index in range(11)])
        for sample in samples:
            shutil.copy(sample, self.work)

        result = run_seqcat([], self.work)

        self.assertEqual(result.returncode, 0, result)
        info = self.assertVideo("video.avi", codecs="mjpeg", width=640, height=360, frames=11,
                                rate="15/1")
        self.assertEqual(info.avg_frame_rate, "15/1")
        self.assertIn("avi", info.format_name)
        self.assertEqual(len(timing_lines(result.stdout)), 11)


class ContainerTest(SeqcatTestCase):
    # output name, accepted codecs (H.264 may fall back to MPEG-4 Part 2 when no H.264 encoder
    # opens), container name as ffprobe reports it
    CASES = [
        ("clip.avi", {"mjpeg"}, "avi"),
        ("CLIP.AVI", {"mjpeg"}, "avi"),
        ("clip.mp4", {"h264", "mpeg4"}, "mp4"),
        ("clip.m4v", {"h264", "mpeg4"}, "mp4"),
        ("clip.mov", {"h264", "mpeg4"}, "mov"),
        ("clip.mkv", {"h264", "mpeg4"}, "matroska"),
        ("clip.webm", {"vp8"}, "webm"),
        ("clip.wmv", {"wmv2"}, "asf"),
    ]

    def test_codec_follows_the_output_name(self):
        make_frames(self.work, last=3, width=64, height=48)
        for name, codecs, container in self.CASES:
            with self.subTest(output=name):
                result = run_seqcat(["f", "-sq", "0", "3", "-nd", name], self.work)
                self.assertEqual(result.returncode, 0, result)
                info = self.assertVideo(name, codecs=codecs, width=64, height=48, frames=4,
                                        rate="15/1")
                self.assertIn(container, info.format_name)

    def test_mp4_default_codec_is_h264(self):
        # The fallback to MPEG-4 Part 2 is for systems without an H.264 encoder; Debian's
        # ffmpeg has one, so here it must be H.264.
        make_frames(self.work, last=2, width=64, height=48)
        result = run_seqcat(["f", "-sq", "0", "2", "-nd", "clip.mp4"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertVideo("clip.mp4", codecs="h264", frames=3)


class FrameRateTest(SeqcatTestCase):
    def test_rate_is_stored_exactly(self):
        make_frames(self.work, last=2, width=64, height=48)
        for given, expected in [("25", "25/1"), ("29.97", "2997/100"), ("7.5", "15/2"),
                                ("60", "60/1")]:
            with self.subTest(fps=given):
                name = f"rate{given}.avi"
                result = run_seqcat(["f", "-sq", "0", "2", "-nd", "-fps", given, name],
                                    self.work)
                self.assertEqual(result.returncode, 0, result)
                info = self.assertVideo(name, codecs="mjpeg", frames=3, rate=expected)
                self.assertEqual(info.avg_frame_rate, expected)

    def test_fractional_rate_in_mp4(self):
        make_frames(self.work, last=5, width=64, height=48)
        result = run_seqcat(["f", "-sq", "0", "5", "-nd", "-fps", "29.97", "clip.mp4"],
                            self.work)
        self.assertEqual(result.returncode, 0, result)
        info = self.assertVideo("clip.mp4", frames=6)
        numerator, denominator = (int(part) for part in info.avg_frame_rate.split("/"))
        self.assertAlmostEqual(numerator / denominator, 29.97, places=2, msg=info)


class FrameContentTest(SeqcatTestCase):
    def test_each_image_becomes_one_frame_in_index_order(self):
        # The generator's ball crosses the picture: its place tells which image a frame holds.
        width, height, first, last = 160, 120, 3, 10
        make_frames(self.work, first=first, last=last, width=width, height=height)
        for name in ("clip.avi", "clip.mp4"):
            with self.subTest(output=name):
                result = run_seqcat(["f", "-sq", str(first), str(last), "-nd", "-np", name],
                                    self.work)
                self.assertEqual(result.returncode, 0, result)
                frames = decode_gray_frames(self.path(name), width, height)
                self.assertEqual(len(frames), last - first + 1)
                for index, frame in zip(range(first, last + 1), frames):
                    centre = ball_centre(frame, width, height)
                    self.assertIsNotNone(centre, f"no ball in the frame of image {index}")
                    self.assertAlmostEqual(
                        centre, expected_ball_centre(index, first, last, width, height),
                        delta=3, msg=f"the frame of image {index} shows another image")


class FrameSizeTest(SeqcatTestCase):
    def test_video_takes_the_first_images_size(self):
        # The later images are smaller; they must still all be in the video, at its size.
        make_frames(self.work, first=0, last=0, width=96, height=64)
        make_frames(self.work, first=1, last=4, width=64, height=48)
        result = run_seqcat(["f", "-sq", "0", "4", "-nd"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertVideo("video.avi", codecs="mjpeg", width=96, height=64, frames=5)
        self.assertEqual(len(timing_lines(result.stdout)), 5)

    def test_odd_size_is_rounded_down_to_even(self):
        make_frames(self.work, last=2, width=65, height=49)
        for name in ("clip.mp4", "clip.avi"):
            with self.subTest(output=name):
                result = run_seqcat(["f", "-sq", "0", "2", "-nd", name], self.work)
                self.assertEqual(result.returncode, 0, result)
                self.assertVideo(name, width=64, height=48, frames=3)


class EarlyEndTest(SeqcatTestCase):
    def check_run_ends_before(self, result, stop_index):
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual([line.path for line in timing_lines(result.stdout)],
                         [f"f{index:03d}.jpg" for index in range(stop_index)])
        self.assertIn(SAVED_LINE_PREFIX + "video.avi", output_lines(result.stdout))
        self.assertVideo("video.avi", codecs="mjpeg", frames=stop_index)

    def test_missing_image_ends_the_run_with_the_frames_before_it(self):
        make_frames(self.work, last=10)
        os.remove(self.path("f005.jpg"))
        self.check_run_ends_before(run_seqcat(["-nd"], self.work), 5)

    def test_undecodable_image_ends_the_run_like_a_missing_one(self):
        make_frames(self.work, last=10)
        with open(self.path("f003.jpg"), "wb") as broken:
            broken.write(b"this is not a JPEG image\n" * 20)
        self.check_run_ends_before(run_seqcat(["-nd"], self.work), 3)

    def test_reversed_range_writes_an_empty_video(self):
        make_frames(self.work, first=5, last=5)
        result = run_seqcat(["-sq", "5", "2", "-nd"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(timing_lines(result.stdout), [])
        self.assertIn(SAVED_LINE_PREFIX + "video.avi", output_lines(result.stdout))
        # The writer was created and released: the file is there and readable, with no frame.
        self.assertTrue(os.path.isfile(self.path("video.avi")))
        self.assertEqual(probe_video(self.path("video.avi")).frame_count, 0)

    def test_missing_first_image_fails_before_anything_is_opened(self):
        make_frames(self.work, first=1, last=3)  # f001..f003 but no f000
        result = run_seqcat(["-sq", "0", "3", "-nd", "out.avi"], self.work)
        self.assertEqual(result.returncode, 255, result)
        self.assertEqual(os.listdir(self.work).count("out.avi"), 0)
        self.assertEqual(sorted(os.listdir(self.work)), ["f001.jpg", "f002.jpg", "f003.jpg"])
        lines = output_lines(result.stdout)
        self.assertEqual(timing_lines(result.stdout), [])
        self.assertFalse([line for line in lines if line.startswith(SAVED_LINE_PREFIX)])
        self.assertNotIn("Done!", lines)
        self.assertEqual(lines[-1], "Type seqcat -h for additional help.")

    def test_no_output_option_writes_no_file(self):
        make_frames(self.work, last=10)
        before = sorted(os.listdir(self.work))
        result = run_seqcat(["-no", "-nd"], self.work)
        self.assertEqual(result.returncode, 0, result)
        self.assertEqual(sorted(os.listdir(self.work)), before)
        lines = output_lines(result.stdout)
        self.assertIn("No output.", lines)
        self.assertFalse([line for line in lines if line.startswith(SAVED_LINE_PREFIX)])
        self.assertEqual(len(timing_lines(result.stdout)), 11)
        self.assertEqual(lines[-2:], ["Done!", "Press ESC to quit."])


if __name__ == "__main__":
    unittest.main()
