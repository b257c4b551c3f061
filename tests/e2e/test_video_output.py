"""The video seqcat writes: container and codec, frame rate, frame size, and which frames are in
it when the sequence ends early or holds nothing. Every video is read back with ffprobe."""

import contextlib
import glob
import os
import re
import shutil
import struct
import subprocess
import unittest

from e2e_support import (CHART_PATCHES, FFMPEG, FFPROBE, SAVED_LINE_PREFIX, SeqcatTestCase, Xvfb,
                         allowance, ball_centre, chart_patches, decode_gray_frames,
                         expected_ball_centre, make_chart, make_frames, output_lines, probe_video,
                         run_seqcat, run_tests, timing_lines)

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


def top_level_boxes(path):
    with open(path, "rb") as video:
        data = video.read()
    boxes, start = [], 0
    while start + 8 <= len(data):
        size, kind = struct.unpack(">I4s", data[start:start + 8])
        boxes.append(kind.decode("latin-1"))
        start += size if size else len(data)
    return boxes


class ColourDescriptionTest(SeqcatTestCase):
    """A video says how its colours are read, in the tags players go by, and those tags are what
    its pixels are: decoded as they say, a chart comes back within 6 levels. A player that finds
    none guesses BT.709 for HD pictures, 40 levels off. An mp4-family video holds its index
    first, so a player can start before the whole file is there."""
    HD, SD = (1280, 720), (640, 480)
    # output name, frame size, whether the index must come first
    CASES = [("hd.mp4", HD, True), ("hd.m4v", HD, True), ("hd.mov", HD, True),
             ("hd.mkv", HD, False), ("hd.webm", HD, False),
             ("sd.mp4", SD, True), ("sd.m4v", SD, True), ("sd.mov", SD, True),
             ("sd.mkv", SD, False), ("sd.webm", SD, False)]
    # ffprobe's names, as ffmpeg's scale filter takes them
    MATRICES = {"smpte170m": "bt601", "bt470bg": "bt601", "bt709": "bt709"}
    TAGS = "color_range,color_space,color_primaries,color_transfer"

    def test_tags_say_what_the_pixels_are(self):
        for name, (width, height), index_first in self.CASES:
            with self.subTest(output=name):
                make_chart(self.work, width, height, 6)
                result = run_seqcat(["chart_", "-e", "png", "-sq", "0", "5", "-fps", "10", "-nd",
                                     "-np", "-nv", name], self.work)
                self.assertEqual((result.returncode, result.stderr), (0, ""), result)
                tags = subprocess.run([FFPROBE, "-v", "error", "-select_streams", "v:0",
                                       "-show_entries", "stream=" + self.TAGS, "-of", "csv=p=0",
                                       self.path(name)], capture_output=True, text=True,
                                      timeout=allowance(60)).stdout.strip().split(",")
                # Measured: on Debian 11 to 13 the writer's pixels are BT.601 at limited range.
                self.assertEqual((tags[0], tags[1] in self.MATRICES, "unknown" in tags),
                                 ("tv", True, False), tags)
                if index_first:
                    boxes = top_level_boxes(self.path(name))
                    self.assertLess(boxes.index("moov"), boxes.index("mdat"), boxes)
                decoded = chart_patches(self.path(name), width, height,
                                        f"scale=in_color_matrix={self.MATRICES[tags[1]]}"
                                        f":in_range={tags[0]}")
                errors = [max(abs(a - b) for a, b in zip(got, chart))
                          for got, chart in zip(decoded, CHART_PATCHES)]
                self.assertLessEqual(max(errors), 6, list(zip(decoded, CHART_PATCHES)))


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
        # Later images exist, so the gap is named.
        self.assertRegex(result.stderr, rf"^seqcat: the sequence ended at 'f{stop_index:03d}.jpg' "
                         rf"\(.+\), though 'f{stop_index + 1:03d}.jpg' exists: {stop_index} of "
                         r"\d+ frames made\n$")

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
        self.assertTrue(result.stderr.endswith(
            "seqcat: the folder holds 3 images from 'f001.jpg' to 'f003.jpg'; these options "
            "read them: seqcat f -e jpg -zp 3 -sq 1 3\n"), result.stderr)

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


def ffmpeg(*arguments, cwd):
    completed = subprocess.run([FFMPEG, "-v", "info", "-nostdin", "-y", *arguments], cwd=cwd,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=allowance(60))
    if completed.returncode != 0:
        raise AssertionError(f"ffmpeg {arguments} failed: {completed.stderr}")
    return completed


def with_exif_orientation(jpeg, orientation):
    """The JPEG with an Exif block, right after its start marker, saying how to turn it."""
    entry = struct.pack(">HHIHH", 0x0112, 3, 1, orientation, 0)  # Orientation, SHORT, 1 value
    tiff = b"MM\x00*" + struct.pack(">IH", 8, 1) + entry + struct.pack(">I", 0)
    block = b"Exif\x00\x00" + tiff
    return jpeg[:2] + b"\xff\xe1" + struct.pack(">H", len(block) + 2) + block + jpeg[2:]


@unittest.skipUnless(os.environ.get("SEQCAT_COPIES_JPEG_FRAMES") == "1",
                     "this OpenCV cannot write encoded frames as they are (it needs 4.10 or "
                     "later), so every frame is encoded")
class CopiedFramesTest(SeqcatTestCase):
    """A JPEG of the video's size goes into a Motion JPEG .avi byte for byte; any other image is
    encoded from what it shows, so one video holds both kinds and every frame looks like its
    image."""
    SIZE = 64  # square, so that a turned image has the video's size and only its Exif tells
    LAST = 7
    # The images that are not copyable JPEGs of the video's size (make_sequence makes them),
    # and a JPEG damaged inside its data, which only a decoding finds.
    PNG, OTHER_SIZE, TURNED, CUT, CORRUPT = 2, 4, 5, 6, 7
    # The images that must be encoded, and the PSNR each one's frame must reach: what the
    # writer that encodes every frame reaches on these images (FFmpeg 5.1's Motion JPEG encoder,
    # through OpenCV 4.6).
    LEAST_PSNR_DB = {PNG: 32.0, OTHER_SIZE: 33.2, TURNED: 32.7}

    # name, seqcat's display option, whether the frames are shown under a private X server, the
    # damaged images named on stderr (and encoded from what the decoder made of them): only a
    # shown image is decoded before it is copied
    CASES = [("not shown", ["-nd"], False, {CUT}),
             ("shown in the window", [], True, {CUT, CORRUPT})]

    def make_sequence(self):
        """Makes the images, and expected%03d.png: each image as it looks, at the video's size."""
        size, last = self.SIZE, self.LAST
        make_frames(self.work, last=last, width=size, height=size)
        make_frames(self.work, base="drawn", ext="png", last=last, width=size, height=size)
        make_frames(self.work, base="big", last=last, width=2 * size, height=2 * size)
        shutil.copy(self.path(f"drawn{self.PNG:03d}.png"), self.path(f"f{self.PNG:03d}.jpg"))
        shutil.copy(self.path(f"big{self.OTHER_SIZE:03d}.jpg"),
                    self.path(f"f{self.OTHER_SIZE:03d}.jpg"))
        # Stored turned a quarter to the left, with the orientation (6) that turns it back.
        ffmpeg("-i", f"drawn{self.TURNED:03d}.png", "-vf", "transpose=2", "-q:v", "2",
               "-pix_fmt", "yuvj420p", "turned.jpg", cwd=self.work)
        with open(self.path("turned.jpg"), "rb") as stored:
            turned = with_exif_orientation(stored.read(), 6)
        with open(self.path(f"f{self.TURNED:03d}.jpg"), "wb") as image:
            image.write(turned)
        # Cut in its picture: decoded in part, so encoded from what the decoder made of it.
        cut = self.path(f"f{self.CUT:03d}.jpg")
        os.truncate(cut, os.path.getsize(cut) // 2)
        with open(self.path(f"f{self.CORRUPT:03d}.jpg"), "r+b") as corrupt:
            data = corrupt.read()
            corrupt.seek((data.index(b"\xff\xda") + len(data)) // 2)
            corrupt.write(b"\xfe" * 16)  # no Huffman code: the decoder complains
        for index in range(last + 1):
            source, look = f"f{index:03d}.jpg", "null"
            if index == self.PNG:
                source = f"drawn{index:03d}.png"
            elif index == self.OTHER_SIZE:
                look = f"scale={size}:{size}:flags=area"
            elif index == self.TURNED:
                source, look = "turned.jpg", "transpose=1"
            ffmpeg("-i", source, "-vf", look, f"expected{index:03d}.png", cwd=self.work)

    def psnr(self, packet, index):
        """The PSNR of a frame of the video (its packet, a JPEG) against what it should show."""
        result = ffmpeg("-i", packet, "-i", f"expected{index:03d}.png", "-lavfi",
                        "[0:v]format=gbrp[made];[1:v]format=gbrp[expected];"
                        "[made][expected]psnr", "-f", "null", "-", cwd=self.work)
        return float(re.search(r"PSNR .* average:(\S+)", result.stderr).group(1))

    def test_jpegs_of_the_video_size_are_copied_and_the_rest_encoded(self):
        self.make_sequence()
        for case, options, shown, named in self.CASES:
            with self.subTest(case):
                with contextlib.ExitStack() as stack:
                    display = stack.enter_context(Xvfb()) if shown else None
                    result = run_seqcat(["-sq", "0", str(self.LAST), *options, "-np", "-nv",
                                         "clip.avi"], self.work, display=display)
                self.assertEqual(result.returncode, 0, result)
                damaged = re.findall(r"^seqcat: the image 'f(\d+)\.jpg' could be decoded only in "
                                     r"part: (?:Premature end|Corrupt JPEG data)", result.stderr,
                                     re.MULTILINE)
                self.assertEqual(({int(index) for index in damaged}, len(output_lines(
                    result.stderr))), (named, len(named)), result.stderr)
                self.assertVideo("clip.avi", codecs="mjpeg", width=self.SIZE, height=self.SIZE,
                                 frames=self.LAST + 1, rate="15/1")
                shutil.rmtree(self.path("packets"), ignore_errors=True)
                os.mkdir(self.path("packets"))
                ffmpeg("-i", "clip.avi", "-c", "copy", "-f", "image2", "packets/p%03d.jpg",
                       cwd=self.work)
                for index in range(self.LAST + 1):
                    with open(self.path(f"f{index:03d}.jpg"), "rb") as image, \
                            open(self.path("packets", f"p{index + 1:03d}.jpg"), "rb") as packet:
                        copied = image.read() == packet.read()
                    self.assertEqual(copied, index not in {*self.LEAST_PSNR_DB, *named},
                                     f"image {index}: copied {copied}")
                for index, least in self.LEAST_PSNR_DB.items():
                    self.assertGreaterEqual(self.psnr(f"packets/p{index + 1:03d}.jpg", index),
                                            least, f"the frame of image {index}")


if __name__ == "__main__":
    run_tests()
