"""The output video is safe and what seqcat says about it is true: a name is always a local file,
an existing file is replaced only by a finished video that reads back, the images are never
written, and a write that fails is reported, never taken for success."""

import collections
import functools
import os
import resource
import shutil
import stat
import struct
import subprocess
import tempfile
import time
import unittest

from e2e_support import (SAVED_LINE_PREFIX, TIMING_LINE, SeqcatTestCase, allowance,
                         decode_gray_frames, make_frames, output_lines, probe_video, run_tests,
                         seqcat_env, seqcat_path)

PREVIOUS = b"the user's own file\n"
FULL_DISK = ["unshare", "-m", "sh", "-c",
             'mount -t tmpfs -o size=512k tmpfs disk && exec "$0" "$@"']

# prepare(folder) makes what the case needs beside the images f000.jpg..f005.jpg; seqcat runs
# with args and -nd -np (and -nv unless timed is given), under the soft resource limits given,
# inside wrapper (a command line) when there is one, writing its messages to stdout (a path, or
# CLOSED: started with no standard output at all) when it is given, as the test's own user
# instead of root when as_user is set; during(folder), when given, is done while seqcat waits in
# the middle of the run for f003.jpg, a FIFO that then ends the sequence.
# error is the start of its one stderr line (None: stderr stays empty), which must go on with a
# reason when error ends in ": "; saved tells whether the saved-file line is printed; timed is
# how many timing lines the verbose run prints; kept names a file that must hold PREVIOUS
# afterwards (or, for a link, still point where it did); frames is how many frames the output
# holds; after(test, folder) checks what else the case is about. A case that needs the test's
# own user (as_user, or a prepare or after that uses TEST_USER) runs only as root.
Case = collections.namedtuple("Case", "name prepare args limits wrapper stdout status error saved "
                                      "kept frames as_user during after needs_user timed")


def case(name, args, status, error=None, saved=None, prepare=None, limits=None, wrapper=None,
         stdout=None, kept=None, frames=None, as_user=False, during=None, after=None,
         needs_user=False, timed=None):
    return Case(name, prepare, args, limits or {}, wrapper, stdout, status, error,
                status == 0 if saved is None else saved, kept, frames, as_user, during, after,
                needs_user or as_user, timed)


class TestUser:
    """A user of the test's own, made with useradd and removed with userdel."""

    def __init__(self):
        self.name = f"sqe2e{os.getpid()}"
        for attempt in range(20):  # another test may hold the lock on /etc/passwd
            made = subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", self.name],
                                  capture_output=True, text=True)
            if made.returncode == 0:
                break
            time.sleep(0.25)
        else:
            raise AssertionError(f"useradd {self.name}: {made.stderr}")
        import pwd
        entry = pwd.getpwnam(self.name)
        self.uid, self.gid = entry.pw_uid, entry.pw_gid
        # The build may sit where the user cannot reach it (a clone in root's home): the user
        # runs a copy of the program from a folder anyone can enter.
        self.folder = tempfile.mkdtemp(prefix="seqcat-e2e-user-")
        os.chmod(self.folder, 0o755)
        self.program = shutil.copy2(seqcat_path(), self.folder)

    def remove(self):
        shutil.rmtree(self.folder, ignore_errors=True)
        for attempt in range(20):
            if subprocess.run(["userdel", self.name], capture_output=True).returncode == 0:
                return
            time.sleep(0.25)

    def become(self):
        os.setgroups([])
        os.setgid(self.gid)
        os.setuid(self.uid)


TEST_USER = None  # set for the test class when it runs as root


def existing(name, mode=0o644, owner=None):
    def prepare(folder):
        path = os.path.join(folder, name)
        with open(path, "wb") as file:
            file.write(PREVIOUS)
        if owner == "user":
            os.chown(path, TEST_USER.uid, TEST_USER.gid)
        os.chmod(path, mode)
    return prepare


def in_shared_folder(prepare_inside):
    """A sticky world-writable folder "shared" (root's, as /tmp is) with prepare_inside done in
    it."""
    def prepare(folder):
        shared = os.path.join(folder, "shared")
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        prepare_inside(shared)
    return prepare


def link_left_by_the_user(folder):
    with open(os.path.join(folder, "..", "important.avi"), "wb") as important:
        important.write(PREVIOUS)
    os.symlink("../important.avi", os.path.join(folder, "video.avi"))
    os.lchown(os.path.join(folder, "video.avi"), TEST_USER.uid, TEST_USER.gid)


def owned_by_the_user(prepare_inside):
    def prepare(folder):
        os.chown(folder, TEST_USER.uid, TEST_USER.gid)
        prepare_inside(folder)
    return prepare


def link_to_dev_full(folder):
    os.remove(os.path.join(folder, "out.avi"))
    os.symlink("/dev/full", os.path.join(folder, "out.avi"))


def with_hard_link(folder):
    existing("out.avi")(folder)
    os.link(os.path.join(folder, "out.avi"), os.path.join(folder, "other-name.avi"))


def with_acl_and_attribute(folder):
    existing("out.avi", 0o644)(folder)
    path = os.path.join(folder, "out.avi")
    try:
        os.setxattr(path, "user.origin", b"camera 2")
    except OSError as error:  # tmpfs before Linux 6.6, for one
        raise unittest.SkipTest(f"the file system keeps no user attributes: {error}")
    acl = subprocess.run(["setfacl", "-m", f"u:{TEST_USER.name}:rw", path], capture_output=True,
                         text=True)
    if acl.returncode != 0:
        raise unittest.SkipTest(f"the file system keeps no ACLs: {acl.stderr}")


def owner_and_mode(name, owner, mode):
    def after(test, folder):
        status = os.stat(os.path.join(folder, name))
        uid = TEST_USER.uid if owner == "user" else 0
        test.assertEqual((status.st_uid, stat.S_IMODE(status.st_mode)), (uid, mode))
    return after


def same_video(name, other):
    def after(test, folder):
        test.assertTrue(os.path.samefile(os.path.join(folder, name), os.path.join(folder, other)))
    return after


def acl_and_attribute_kept(test, folder):
    path = os.path.join(folder, "out.avi")
    acl = subprocess.run(["getfacl", "-c", "-n", path], capture_output=True, text=True).stdout
    test.assertIn("group::r--", acl.split())  # the mask rw- is not the group's right
    test.assertIn(f"user:{TEST_USER.uid}:rw-", acl.split())
    test.assertEqual(os.getxattr(path, "user.origin"), b"camera 2")


def still_a_link(name, target):
    def after(test, folder):
        test.assertEqual(os.readlink(os.path.join(folder, name)), target)
    return after


def absent(name):
    def after(test, folder):
        test.assertFalse(os.path.lexists(os.path.join(folder, name)), f"{name} was created")
    return after


def container_of(name, format_name):
    def after(test, folder):
        test.assertIn(format_name, probe_video(os.path.join(folder, name)).format_name)
    return after


def images_named_like_videos(folder):
    for index in range(6):
        shutil.copy(os.path.join(folder, f"f{index:03d}.jpg"),
                    os.path.join(folder, f"v{index:03d}.avi"))
    existing("v003.avi")(folder)


def large_images(folder):
    make_frames(folder, base="g", first=0, last=59, width=640, height=480)
    existing("out.avi")(folder)


def room_for_one_video(folder):
    """The wrapper of a run into disk/out.mp4, a file system with room for the file that stands
    there and the video, but not for a second copy of the video; what it holds at the end is
    copied to disk-afterwards."""
    made = subprocess.run([seqcat_path(), "g", "-sq", "0", "59", "-nd", "-np", "-nv", "size.mp4"],
                          cwd=folder, env=seqcat_env(), capture_output=True, timeout=allowance(60))
    assert made.returncode == 0, made
    pages = os.path.getsize(os.path.join(folder, "size.mp4")) * 3 // (2 * 4096) + 2
    os.remove(os.path.join(folder, "size.mp4"))
    return ["unshare", "-m", "sh", "-c",
            f"mount -t tmpfs -o size={pages * 4}k tmpfs disk && echo old > disk/out.mp4 && "
            '"$0" "$@"; status=$?; cp -a disk disk-afterwards; exit $status']


def complete_video_in(folder_name, frames):
    def after(test, folder):
        test.assertEqual(os.listdir(os.path.join(folder, folder_name)), ["out.mp4"])
        test.assertEqual(probe_video(os.path.join(folder, folder_name, "out.mp4")).frame_count,
                         frames)
    return after


def tiny_images(folder):
    make_frames(folder, base="t", ext="png", first=0, last=4, width=4, height=4)
    existing("out.webm")(folder)


CREATE = "seqcat: cannot create the output video "
CLOSED = "closed"
F = ["f", "-sq", "0", "5"]  # the images every case has
CASES = [
    case("name that looks like a timestamp", F + ["2024-01-01T10:00.avi"], 0, frames=6),
    case("folder that looks like a camera", F + ["cam:1/clip.avi"], 0, frames=6,
         prepare=lambda folder: os.mkdir(os.path.join(folder, "cam:1"))),
    case("name that looks like a pipe", F + ["pipe:1.avi"], 0, frames=6),
    case("link to a file", F + ["link.avi"], 0, frames=6, kept="link.avi",
         prepare=lambda folder: os.symlink("real.avi", os.path.join(folder, "link.avi"))),
    # An output that cannot be made ends the run before any frame, saying why.
    case("output in a missing folder", F + ["missing/clip.avi"], 255,
         CREATE + "'missing/clip.avi': ", timed=0, after=absent("missing")),
    case("unknown extension over an existing file", F + ["out.xyz"], 255, CREATE + "'out.xyz': ",
         timed=0, prepare=existing("out.xyz"), kept="out.xyz"),
    case("unknown extension", F + ["out.xyz"], 255, CREATE + "'out.xyz': ", timed=0,
         after=absent("out.xyz")),
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
    case("too few file descriptors", F + ["out.avi"], 255,
         "seqcat: too few file descriptors: the run needs 4 more and can open only 2",
         prepare=existing("out.avi"), limits={resource.RLIMIT_NOFILE: 5}, kept="out.avi"),
    case("file-size limit", ["g", "-sq", "0", "59", "out.avi"], 255,
         "seqcat: cannot write the output video 'out.avi': the file has reached the size limit",
         prepare=large_images, limits={resource.RLIMIT_FSIZE: 200 * 1024}, kept="out.avi"),
    case("full file system", ["g", "-sq", "0", "59", "disk/out.avi"], 255,
         "seqcat: cannot write the output video 'disk/out.avi': the file system has no room left",
         prepare=lambda folder: (large_images(folder), os.mkdir(os.path.join(folder, "disk"))),
         wrapper=FULL_DISK),
    # The copy that describes the video's colours finds no room: the video is kept as written.
    case("full file system for the colour description", ["g", "-sq", "0", "59", "disk/out.mp4"],
         0, "seqcat: the output video 'disk/out.mp4' is saved without its colour description: ",
         prepare=lambda folder: (large_images(folder), os.mkdir(os.path.join(folder, "disk"))),
         wrapper=room_for_one_video, after=complete_video_in("disk-afterwards", 60)),
    # A link another user left in a sticky world-writable folder (as /tmp is) is not followed,
    # whatever fs.protected_symlinks says, so root's file it points to stays.
    case("link another user left in a shared folder", F + ["shared/video.avi"], 255,
         CREATE + "'shared/video.avi': 'shared/video.avi' is a link that another user left",
         prepare=in_shared_folder(link_left_by_the_user), kept="important.avi", needs_user=True),
    case("link loop", F + ["a.avi"], 255, CREATE + "'a.avi': 'a.avi' leads through a loop",
         prepare=lambda folder: (os.symlink("b.avi", os.path.join(folder, "a.avi")),
                                 os.symlink("a.avi", os.path.join(folder, "b.avi"))),
         kept="a.avi"),
    # The name given picks codec and container alike; the video goes where the link leads.
    case("link whose target has another extension", F + ["a.avi"], 0, frames=6, kept="a.avi",
         prepare=lambda folder: os.symlink("real.mkv", os.path.join(folder, "a.avi")),
         after=container_of("real.mkv", "avi")),
    case("link to a name without extension", F + ["out.mp4"], 0, frames=6, kept="out.mp4",
         prepare=lambda folder: os.symlink("real", os.path.join(folder, "out.mp4")),
         after=container_of("real", "mp4")),
    case("reversed range over an existing file", ["f", "-sq", "5", "3", "rev.avi"], 255,
         "seqcat: cannot save the output video 'rev.avi': the video holds no frame",
         prepare=existing("rev.avi"), kept="rev.avi"),
    case("link put at the output name during the run", F + ["out.avi"], 255,
         "seqcat: cannot save the output video 'out.avi': the output name leads to '/dev/full'",
         prepare=existing("out.avi"), during=link_to_dev_full,
         after=still_a_link("out.avi", "/dev/full")),
    # A replaced file keeps what it was; where a new file cannot be given that, the video is
    # copied into the file.
    case("another user's file replaced by root", F + ["out.avi"], 0, frames=6,
         prepare=existing("out.avi", 0o664, owner="user"),
         after=owner_and_mode("out.avi", "user", 0o664)),
    case("existing output of mode 0200", F + ["out.avi"], 0, frames=6, as_user=True,
         prepare=owned_by_the_user(existing("out.avi", 0o200, owner="user")),
         after=owner_and_mode("out.avi", "user", 0o200)),
    case("output with setuid and setgid bits", F + ["out.avi"], 0, frames=6,
         prepare=existing("out.avi", 0o6755), after=owner_and_mode("out.avi", "root", 0o755)),
    case("output with an ACL and an attribute", F + ["out.avi"], 0, frames=6,
         prepare=with_acl_and_attribute, after=acl_and_attribute_kept, needs_user=True),
    case("output with a second hard link", F + ["out.avi"], 0, frames=6, prepare=with_hard_link,
         after=same_video("out.avi", "other-name.avi")),
    case("another user's writable file in a shared folder", F + ["shared/video.avi"], 0,
         frames=6, as_user=True, prepare=in_shared_folder(existing("video.avi", 0o666)),
         after=owner_and_mode("shared/video.avi", "root", 0o666)),
    case("writable file in a folder the user cannot write", F + ["locked/video.avi"], 0,
         frames=6, as_user=True,
         prepare=lambda folder: (os.mkdir(os.path.join(folder, "locked")),
                                 existing("locked/video.avi", 0o666)(folder)),
         after=owner_and_mode("locked/video.avi", "root", 0o666)),
    case("messages to /dev/full", F + ["out.avi"], 1,
         "seqcat: messages to standard output could not be written", saved=False,
         stdout="/dev/full", frames=6),
    # Frames large enough that the writer has flushed its first bytes before the first message.
    case("no standard output", ["g", "-sq", "0", "59", "out.avi"], 0, prepare=large_images,
         stdout=CLOSED),
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
                               timeout=allowance(30))
    if probe.returncode == 0:
        return None
    why = output_lines(probe.stderr)
    return "no small file system can be mounted here: " + (why[-1] if why else
                                                          f"exit {probe.returncode}")


def wait_until_reading_the_fifo(process):
    deadline = time.monotonic() + allowance(60)
    while process.poll() is None and time.monotonic() < deadline:
        with open(f"/proc/{process.pid}/wchan") as wait_channel:
            if "wait_for_partner" in wait_channel.read():
                return
        time.sleep(0.02)
    raise AssertionError("seqcat did not come to the FIFO f003.jpg")


def run_case(c, folder):
    def set_up_child():
        for limit, value in c.limits.items():
            resource.setrlimit(limit, (value, resource.getrlimit(limit)[1]))
        if c.stdout == CLOSED:
            os.close(1)
        if c.as_user:
            TEST_USER.become()
    to_file = c.stdout not in (None, CLOSED)
    stdout = open(c.stdout, "wb") if to_file else subprocess.PIPE
    program = TEST_USER.program if c.as_user else seqcat_path()
    wrapper = c.wrapper(folder) if callable(c.wrapper) else c.wrapper
    quiet = ["-nv"] if c.timed is None else []
    command = (wrapper or []) + [program] + c.args + ["-nd", "-np"] + quiet
    try:
        with subprocess.Popen(command, cwd=folder, env=seqcat_env(), stdin=subprocess.DEVNULL,
                              stdout=stdout, stderr=subprocess.PIPE,
                              preexec_fn=set_up_child) as process:
            try:
                if c.during:
                    wait_until_reading_the_fifo(process)
                    c.during(folder)
                    os.close(os.open(os.path.join(folder, "f003.jpg"), os.O_WRONLY))
                output, errors = process.communicate(timeout=allowance(120))
            finally:
                process.kill()
        return subprocess.CompletedProcess(command, process.returncode, output, errors)
    finally:
        if to_file:
            stdout.close()


class OutputSafetyTest(SeqcatTestCase):
    @classmethod
    def setUpClass(cls):
        global TEST_USER
        if os.geteuid() == 0 and shutil.which("useradd"):
            TEST_USER = TestUser()

    @classmethod
    def tearDownClass(cls):
        global TEST_USER
        if TEST_USER:
            TEST_USER.remove()
            TEST_USER = None

    def test_cases(self):
        for c in CASES:
            with self.subTest(c.name):
                if c.wrapper and small_file_system_refused():
                    self.skipTest(small_file_system_refused())
                if c.needs_user and TEST_USER is None:
                    self.skipTest("a user of the test's own needs root and useradd")
                self.check(c)

    def check(self, c):
        folder = self.path(c.name.replace(" ", "-").replace("/", "-"))
        os.mkdir(folder)
        make_frames(folder, last=5)
        if c.as_user:
            os.chmod(self.work, 0o755)
        if c.during:
            os.remove(os.path.join(folder, "f003.jpg"))
            os.mkfifo(os.path.join(folder, "f003.jpg"))
        if c.prepare:
            c.prepare(folder)
        before = {name: os.readlink(os.path.join(folder, name)) for name in os.listdir(folder)
                  if os.path.islink(os.path.join(folder, name))}
        result = run_case(c, folder)
        stderr = output_lines(result.stderr.decode(errors="replace"))
        # Said before the run, whatever becomes of the output.
        stderr = [line for line in stderr if line != "seqcat: the range [5, 3] holds no frame"]
        stdout = output_lines((result.stdout or b"").decode(errors="replace"))
        self.assertEqual(result.returncode, c.status, stderr)
        if c.error is None:
            self.assertEqual(stderr, [])
        else:
            self.assertEqual(len(stderr), 1, stderr)
            self.assertTrue(stderr[0].startswith(c.error), stderr)
            if c.error.endswith(": "):
                self.assertGreater(len(stderr[0]), len(c.error), "the line gives no reason")
        if c.timed is not None:
            self.assertEqual(len([line for line in stdout if TIMING_LINE.match(line)]), c.timed,
                             stdout)
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
        if c.after:
            c.after(self, folder)
        output = os.path.join(folder, c.args[-1])
        if os.path.isfile(output) and c.kept != c.args[-1]:
            with open(output, "rb") as video:
                self.assertFalse(b"File: " in video.read(), "messages were written into the video")


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
                                cwd=self.work, env=seqcat_env(), capture_output=True,
                                timeout=allowance(60))
        self.assertEqual(result.returncode, 0, result)
        frames = decode_gray_frames(self.path("video.avi"), width, height)
        middle_row = frames[2][(height // 2) * width:(height // 2 + 1) * width]
        # 90x120 centred: black from column 0 to 34 and from 125 on, the picture between.
        self.assertLess(max(middle_row[:33] + middle_row[127:]), 20, list(middle_row))
        self.assertGreater(min(middle_row[37:123]), 40, list(middle_row))


if __name__ == "__main__":
    run_tests()
