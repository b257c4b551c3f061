"""The output video is safe and what seqcat says about it is true: a name is always a local file,
an existing file is replaced only by a finished video that reads back, the images are never
written, and a write that fails is reported, never taken for success."""

import collections
import functools
import os
import resource
import shutil
import struct
import subprocess
import tempfile
import unittest

from e2e_support import (SAVED_LINE_PREFIX, SeqcatTestCase, decode_gray_frames, make_frames,
                         output_lines, seqcat_env, seqcat_path)

PREVIOUS = b"the user's own file\n"
FULL_DISK = ["unshare", "-m", "sh", "-c",
             'mount -t tmpfs -o size=512k tmpfs disk && exec "$0" "$@"']

# prepare(folder) makes what the case needs beside the images f000.jpg..f005.jpg; seqcat runs
# with args and -nd -np -nv, under the soft resource limits given, inside wrapper (a command
# line) when there is one, writing its messages to stdout (a path) when it is given; error is
# the start of its one stderr line (None: stderr stays empty); saved tells whether the
# saved-file line is printed; kept names a file that must hold PREVIOUS afterwards (or, for a
# link, still point where it did); frames is how many frames the output holds.
Case = collections.namedtuple("Case", "name prepare args limits wrapper stdout status error saved "
                                      "kept frames")


def case(name, args, status, error=None, saved=None, prepare=None, limits=None, wrapper=None,
         stdout=None, kept=None, frames=None):
    return Case(name, prepare, args, limits or {}, wrapper, stdout, status, error,
                status == 0 if saved is None else saved, kept, frames)


def existing(name, mode=0o644):
    def prepare(folder):
        with open(os.path.join(folder, name), "wb") as file:
            file.write(PREVIOUS)
        os.chmod(os.path.join(folder, name), mode)
    return prepare


def images_named_like_videos(folder):
    for index in range(6):
        shutil.copy(os.path.join(folder, f"f{index:03d}.jpg"),
                    os.path.join(folder, f"v{index:03d}.avi"))
    existing("v003.avi")(folder)


def large_images(folder):
    make_frames(folder, base="g", first=0, last=59, width=640, height=480)
    existing("out.avi")(folder)


def tiny_images(folder):
    make_frames(folder, base="t", ext="png", first=0, last=4, width=4, height=4)
    existing("out.webm")(folder)


CREATE = "seqcat: cannot create the output video "
F = ["f", "-sq", "0", "5"]  # the images every case has
CASES = [
    case("name that looks like a timestamp", F + ["2024-01-01T10:00.avi"], 0, frames=6),
    case("folder that looks like a camera", F + ["cam:1/clip.avi"], 0, frames=6,
         prepare=lambda folder: os.mkdir(os.path.join(folder, "cam:1"))),
    case("name that looks like a pipe", F + ["pipe:1.avi"], 0, frames=6),
    case("link to a file", F + ["link.avi"], 0, frames=6, kept="link.avi",
         prepare=lambda folder: os.symlink("real.avi", os.path.join(folder, "link.avi"))),
    case("link to /dev/full", F + ["out.avi"], 255, CREATE + "'out.avi': '/dev/full' is a device",
         prepare=lambda folder: os.symlink("/dev/full", os.path.join(folder, "out.avi")),
         kept="out.avi"),
    case("output that is one of the images", ["v", "-e", "avi", "-sq", "0", "5", "v003.avi"], 255,
         CREATE + "'v003.avi': it is the image 'v003.avi'", prepare=images_named_like_videos,
         kept="v003.avi"),
    case("read-only existing output", F + ["out.avi"], 255,
         CREATE + "'out.avi': the existing file 'out.avi' is read-only",
         prepare=existing("out.avi", 0o444), kept="out.avi"),
    case("name longer than a folder allows", F + ["x" * 300 + ".avi"], 255,
         CREATE + "'" + "x" * 300 + ".avi': the name is 304 bytes long"),
    case("rate above what .avi stores", F + ["-fps", "2000", "out.avi"], 255,
         CREATE + "'out.avi': the frame rate 2000 is above what .avi can store"),
    case("rate below what .avi stores", F + ["-fps", "1e-9", "out.avi"], 255,
         CREATE + "'out.avi': the frame rate 1e-09 is below what .avi can store"),
    # .wmv keeps frame times in whole milliseconds; a reader's own guess of the rate from a few
    # of them (29.9167 for six frames, 1000 for up to three) is not what the file holds.
    case("rate that .wmv can only approximate", F + ["-fps", "29.97", "out.wmv"], 0,
         "seqcat: 'out.wmv': .wmv stores frame times in whole milliseconds: at 29.97 fps its "
         "frames are 33 or 34 ms apart", frames=6),
    case(".wmv of three frames", ["f", "-sq", "0", "2", "out.wmv"], 0,
         "seqcat: 'out.wmv': .wmv stores frame times in whole milliseconds: at 15 fps",
         prepare=existing("out.wmv"), frames=3),
    # The encoder opens, then makes nothing a reader can open: the user's file stays.
    case("images too small for VP8", ["t", "-e", "png", "-sq", "0", "4", "out.webm"], 255,
         "seqcat: cannot save the output video 'out.webm': no reader can open the finished file",
         prepare=tiny_images, kept="out.webm"),
    case("file-size limit", ["g", "-sq", "0", "59", "out.avi"], 255,
         "seqcat: cannot write the output video 'out.avi': the file has reached the size limit",
         prepare=large_images, limits={resource.RLIMIT_FSIZE: 200 * 1024}, kept="out.avi"),
    case("full file system", ["g", "-sq", "0", "59", "disk/out.avi"], 255,
         "seqcat: cannot write the output video 'disk/out.avi': the file system has no room left",
         prepare=lambda folder: (large_images(folder), os.mkdir(os.path.join(folder, "disk"))),
         wrapper=FULL_DISK),
    case("messages to /dev/full", F + ["out.avi"], 1,
         "seqcat: messages to standard output could not be written", saved=False,
         stdout="/dev/full", frames=6),
]


@functools.lru_cache(maxsize=None)
def small_file_system_refused():
    """Why no small file system can be mounted here (None when it can): it takes root, unshare
    and a mount namespace, which a chroot whose / is no mount point, or a container without
    the right to mount, refuses."""
    if not shutil.which("unshare"):
        return "a small file system needs unshare, which is not installed"
    with tempfile.TemporaryDirectory() as folder:
        os.mkdir(os.path.join(folder, "disk"))
        probe = subprocess.run(FULL_DISK + ["true"], cwd=folder, capture_output=True, text=True,
                               timeout=30)
    if probe.returncode == 0:
        return None
    why = output_lines(probe.stderr)
    return "no small file system can be mounted here: " + (why[-1] if why else
                                                          f"exit {probe.returncode}")


def run_case(c, folder):
    def apply_limits():
        for limit, value in c.limits.items():
            resource.setrlimit(limit, (value, resource.getrlimit(limit)[1]))
    stdout = open(c.stdout, "wb") if c.stdout else subprocess.PIPE
    try:
        return subprocess.run((c.wrapper or []) + [seqcat_path()] + c.args + ["-nd", "-np", "-nv"],
                              cwd=folder, env=seqcat_env(), stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=subprocess.PIPE, preexec_fn=apply_limits,
                              timeout=120)
    finally:
        if c.stdout:
            stdout.close()


class OutputSafetyTest(SeqcatTestCase):
    def test_cases(self):
        for c in CASES:
            with self.subTest(c.name):
                if c.wrapper and small_file_system_refused():
                    self.skipTest(small_file_system_refused())
                self.check(c)

    def check(self, c):
        folder = self.path(c.name.replace(" ", "-").replace("/", "-"))
        os.mkdir(folder)
        make_frames(folder, last=5)
        if c.prepare:
            c.prepare(folder)
        before = {name: os.readlink(os.path.join(folder, name)) for name in os.listdir(folder)
                  if os.path.islink(os.path.join(folder, name))}
        result = run_case(c, folder)
        stderr = output_lines(result.stderr.decode(errors="replace"))
        stdout = output_lines((result.stdout or b"").decode(errors="replace"))
        self.assertEqual(result.returncode, c.status, stderr)
        if c.error is None:
            self.assertEqual(stderr, [])
        else:
            self.assertEqual(len(stderr), 1, stderr)
            self.assertTrue(stderr[0].startswith(c.error), stderr)
        if c.stdout is None:
            saved = [line for line in stdout if line.startswith(SAVED_LINE_PREFIX)]
            self.assertEqual(saved, [SAVED_LINE_PREFIX + c.args[-1]] if c.saved else [])
        self.assertEqual([name for name in os.listdir(folder) if ".seqcat-" in name], [],
                         "a temporary file was left behind")
        if c.kept in before:
            self.assertEqual(os.readlink(os.path.join(folder, c.kept)), before[c.kept])
        elif c.kept:
            with open(os.path.join(folder, c.kept), "rb") as kept:
                self.assertEqual(kept.read(), PREVIOUS, f"{c.kept} was changed")
        if c.frames is not None:
            self.assertEqual(len(decode_gray_frames(os.path.join(folder, c.args[-1]), 64, 48)),
                             c.frames)


def set_exif_orientation(path, orientation):
    """Gives a JPEG an EXIF segment that says how the camera was held."""
    with open(path, "rb") as image:
        data = image.read()
    entry = b"\x01\x12\x00\x03\x00\x00\x00\x01" + struct.pack(">H", orientation) + b"\x00\x00"
    segment = b"Exif\x00\x00MM\x00\x2a\x00\x00\x00\x08\x00\x01" + entry + b"\x00\x00\x00\x00"
    with open(path, "wb") as image:
        image.write(data[:2] + b"\xff\xe1" + struct.pack(">H", len(segment) + 2) + segment +
                    data[2:])


class FrameShapeTest(SeqcatTestCase):
    def test_upright_photo_in_a_landscape_sequence_keeps_its_shape(self):
        width, height = 160, 120
        make_frames(self.work, last=4, width=width, height=height)
        set_exif_orientation(self.path("f002.jpg"), 6)  # turned a quarter: 120x160 upright
        result = subprocess.run([seqcat_path(), "-sq", "0", "4", "-nd", "-np", "-nv"],
                                cwd=self.work, env=seqcat_env(), capture_output=True, timeout=60)
        self.assertEqual(result.returncode, 0, result)
        frames = decode_gray_frames(self.path("video.avi"), width, height)
        middle_row = frames[2][(height // 2) * width:(height // 2 + 1) * width]
        # 90x120 centred: black from column 0 to 34 and from 125 on, the picture between.
        self.assertLess(max(middle_row[:33] + middle_row[127:]), 20, list(middle_row))
        self.assertGreater(min(middle_row[37:123]), 40, list(middle_row))


if __name__ == "__main__":
    unittest.main()
