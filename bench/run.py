#!/usr/bin/env python3
"""Measures seqcat against the bare loop of its OpenCV calls and against the ffmpeg command line.

For each job it runs, interleaved round by round after one warm-up round,
  A  seqcat -nd -np -nv
  B  seqcat_bare_loop: imread as colour and VideoWriter::write with seqcat's own choice of
     writer (it is built with seqcat's codec choice), nothing else, one frame after the other
  C  ffmpeg doing the same job with the same codec at its defaults
  D  for .avi, the bare loop with OpenCV's own Motion JPEG writer instead of FFmpeg's, which
     seqcat uses, so the choice is measured too
  E  for .avi where seqcat copies JPEG files into the video (OpenCV 4.10 and later), ffmpeg
     copying them too (-c:v copy); A's frames must then be the image files byte for byte, and
     A/C is held against its own target (without -nd, the window's key poll bounds it: none)
and, in the job with the frames shown, A without -nd and B with --show under the bench's own
Xvfb. It prints the median wall and CPU time of each, the medians of the per-round ratios A/B
(against each job's target, reported, not enforced) and A/C, the peak RSS, the output's size,
frame count and frame rate, and its PSNR against the source frames; for .mp4, also the share of
A's wall time that seqcat's last copy (colour description and fast start) takes, timed alone
on B's video by seqcat_colour_pass_time.
It then checks that seqcat's peak RSS does not grow with the length of the sequence and, under
Xvfb, what showing the frames costs per frame; with --decode-scaling, how much faster seqcat
decodes the PNG renders alone (-nd -no) on two cores than on one (taskset). The header gives the
number of frame workers seqcat runs here: one for each core this process may use without a
window (-nd), one less with the window shown, at least one.

The image sets are made once and kept in bench/cache/: JPEG photos from ffmpeg's test source
with temporal noise, so they compress like camera footage (1080p and 480p), and 1080p PNG
renders, smooth moving gradients under the test source's bars and shapes (the PNG job; 6 of
them in the quick mode).

    python3 bench/run.py --seqcat build/src/conversion/seqcat --bare-loop build/bench/seqcat_bare_loop
    python3 bench/run.py --quick ...      # a smoke run of about half a minute
    python3 bench/run.py --quick --decode-scaling ...   # the quick jobs, then 60 renders decoded

Exit status 1 when something is wrong with the outputs (a failed run, a wrong frame count or
frame rate, the bare loop's video differing from seqcat's); the speed targets are reported, not
enforced, since they depend on how busy the machine is.
"""

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH_FOLDER = Path(__file__).resolve().parent
FRAME_RATE = 25  # a whole number, so either Motion JPEG writer can take it

# name: (width, height, frames, file-name extension)
IMAGE_SETS = {
    "1080p": (1920, 1080, 120, "jpg"),
    "480p": (640, 480, 300, "jpg"),
    "1080p-png": (1920, 1080, 60, "png"),
}

# name, image set, output extension, the encoder ffmpeg uses for the same codec, whether the
# frames are shown (seqcat without -nd, the bare loop with --show, under the bench's own Xvfb),
# the A/B it is meant to reach and the A/C, if any: seqcat's threads work beside the main
# thread, so it should beat a loop that does everything in turn, least where the encoder itself
# is the bottleneck (.mp4: x264 keeps both cores busy already). PNG renders cost more to decode
# than to encode, and ffmpeg decodes them on all its threads: seqcat's frame workers should
# keep up with it.
JOBS = [
    ("1080p .avi", "1080p", ".avi", "mjpeg", False, 0.70, None),
    ("480p .avi", "480p", ".avi", "mjpeg", False, 0.70, None),
    ("1080p PNG .avi", "1080p-png", ".avi", "mjpeg", False, 0.55, 1.00),
    ("1080p .mp4", "1080p", ".mp4", "libx264", False, 1.02, None),
    ("1080p .avi, window shown", "1080p", ".avi", "mjpeg", True, 0.75, None),
]

QUICK_FRAMES = {"1080p": 8, "480p": 30, "1080p-png": 6}

# Decoding alone (-nd -no) on the PNG renders, under taskset on one core and on two.
TARGET_DECODE_SCALING = 1.70

# Where seqcat copies JPEG files into .avi, against ffmpeg re-encoding them (-c:v mjpeg).
TARGET_COPY_A_OVER_C = 0.50
# seqcat's last copy of an .mp4, which describes its colours and puts its index first.
TARGET_COLOUR_PASS_SHARE = 0.03
TARGET_RSS_GROWTH = 1.10
# (image set, container, sequence lengths) of the peak-RSS check. On a machine of a few cores
# the PNG renders' shortest length is above what the frame workers hold at once.
MEMORY_CASES = [("480p", ".avi", (30, 100, 300)), ("480p", ".mp4", (30, 100, 300)),
                ("1080p-png", ".avi", (20, 40, 60))]
MEMORY_CASES_QUICK = [("480p", ".avi", (30, 80)), ("480p", ".mp4", (30, 80)),
                      ("1080p-png", ".avi", (6, 12))]
TARGET_DISPLAY_EXTRA_MS = 13.0
PSNR_MARGIN_DB = 0.5


class BenchError(Exception):
    pass


def writer_of(video):
    """Which OpenCV writer made the video: FFmpeg's muxers sign it, OpenCV's own Motion JPEG
    writer does not."""
    result = run_checked(["ffprobe", "-v", "error", "-show_entries",
                          "format_tags=encoder,software", "-of",
                          "default=noprint_wrappers=1:nokey=1", str(video)])
    return "FFmpeg" if "Lavf" in result.stdout else "OpenCV MJPEG"


def run_checked(command, **options):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            **options)
    if result.returncode != 0:
        raise BenchError("%s failed with status %d:\n%s" % (" ".join(map(str, command)),
                                                            result.returncode, result.stderr))
    return result


def image_pattern(cache, name):
    """The printf pattern of an image set's files, as ffmpeg and the bare loop take it."""
    return str(cache / name / ("f%%03d.%s" % IMAGE_SETS[name][3]))


def image_source(width, height, extension):
    """ffmpeg's options that make an image set: photos are the test source with temporal noise,
    so they compress like camera footage; renders are smooth moving gradients (drawn small and
    scaled up) averaged with the test source's bars and moving shapes, so they are neither
    camera noise nor flat."""
    if extension == "jpg":
        return ["-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d,noise=alls=12:allf=t+u" % (
            width, height, FRAME_RATE), "-q:v", "2"]
    gradients = ("nullsrc=size=%dx%d:rate=%d,format=gbrp,"
                 "geq=r='128+100*sin(X/41+T*2)*cos(Y/57-T)':g='128+100*sin((X+Y)/73-T)'"
                 ":b='128+100*cos(hypot(X-W/2-60*sin(T),Y-H/2)/29-T*3)',"
                 "scale=%d:%d:flags=bicubic" % (width // 4, height // 4, FRAME_RATE, width, height))
    shapes = "testsrc2=size=%dx%d:rate=%d,format=gbrp" % (width, height, FRAME_RATE)
    return ["-filter_complex", "%s[gradients];%s[shapes];[gradients][shapes]"
                               "blend=all_mode=average,format=rgb24" % (gradients, shapes)]


def make_image_sets(cache, names):
    for name in names:
        width, height, frames, extension = IMAGE_SETS[name]
        folder = cache / name
        if (folder / ("f%03d.%s" % (frames - 1, extension))).exists():
            continue
        print("making the %s image set in %s" % (name, folder), flush=True)
        shutil.rmtree(folder, ignore_errors=True)
        partial = cache / (name + ".partial")
        shutil.rmtree(partial, ignore_errors=True)
        partial.mkdir(parents=True)
        run_checked(["ffmpeg", "-nostdin", "-loglevel", "error",
                     *image_source(width, height, extension), "-frames:v", str(frames),
                     "-start_number", "0", str(partial / ("f%03d." + extension))])
        partial.rename(folder)


def timed_run(command, environment, memory_file):
    """Wall seconds, peak RSS in KiB and CPU seconds (user and system) of one run."""
    start = time.perf_counter()
    run_checked(["/usr/bin/time", "-f", "%M %U %S", "-o", str(memory_file)] + command,
                env=environment)
    wall = time.perf_counter() - start
    peak, user, system = memory_file.read_text().split()[-3:]
    return wall, int(peak), float(user) + float(system)


def probe_video(path):
    """Frame count (packets) and frame rate as ffprobe reads them back."""
    result = run_checked(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-show_entries", "stream=nb_read_packets,r_frame_rate",
                          "-of", "default=noprint_wrappers=1", str(path)])
    fields = dict(line.split("=", 1) for line in result.stdout.split() if "=" in line)
    return int(fields.get("nb_read_packets", "0")), fields.get("r_frame_rate", "?")


def measure_psnr(video, pattern, frames):
    """Mean PSNR in dB of the video against the source images, compared as RGB."""
    result = run_checked(["ffmpeg", "-nostdin", "-i", str(video), "-framerate", str(FRAME_RATE),
                          "-start_number", "0", "-i", pattern, "-frames:v", str(frames),
                          "-lavfi", "[0:v]format=gbrp[made];[1:v]format=gbrp[source];"
                                    "[made][source]psnr=shortest=1",
                          "-f", "null", "-"])
    found = re.search(r"PSNR .*average:(\S+)", result.stderr)
    if not found:
        raise BenchError("no PSNR for " + str(video))
    return float(found.group(1))


def opencv_version(seqcat):
    """The OpenCV version seqcat says it was built with, as (major, minor)."""
    with tempfile.TemporaryDirectory(prefix="seqcat-bench-") as folder:
        result = subprocess.run([seqcat, str(Path(folder) / "none"), "-nd", "-np", "-no"],
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
    found = re.search(r"built with OpenCV (\d+)\.(\d+)", result.stdout)
    if not found:
        raise BenchError("seqcat does not say which OpenCV it was built with:\n" + result.stdout)
    return int(found.group(1)), int(found.group(2))


def frames_are_the_files(video, pattern, frames, work):
    """Whether the video's packets are the image files, byte for byte."""
    packets = work / "packets"
    shutil.rmtree(packets, ignore_errors=True)
    packets.mkdir()
    run_checked(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", str(video), "-c", "copy",
                 "-f", "image2", "-start_number", "0", str(packets / "p%03d.jpg")])
    return all(Path(pattern % index).read_bytes() == (packets / ("p%03d.jpg" % index)).read_bytes()
               for index in range(frames))


def stream_bytes(path):
    """The bytes of the video stream's packets, which seqcat's last copy keeps as they are."""
    result = run_checked(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "packet=size", "-of", "csv=p=0", str(path)])
    return sum(int(size) for size in result.stdout.split())


def colour_pass_seconds(arguments, video, work):
    """seqcat's copy that describes the colours, timed alone on a copy of the video."""
    named_as_seqcat_does = work / ("pass.seqcat-bench00" + video.suffix)
    shutil.copyfile(video, named_as_seqcat_does)
    seconds = float(run_checked([arguments.colour_pass_time, str(named_as_seqcat_does)]).stdout)
    named_as_seqcat_does.unlink()
    return seconds


def seqcat_command(seqcat, cache, image_set, frames, output, extra=("-nd",)):
    return [seqcat, str(cache / image_set / "f"), "-e", IMAGE_SETS[image_set][3],
            "-sq", "0", str(frames - 1), "-fps", str(FRAME_RATE), *extra, "-np", "-nv",
            str(output)]


def run_job(job, arguments, work, environment, frames, measured, shown_environment=None):
    """Runs one job; its median wall times go into measured[name], for the chart."""
    name, image_set, extension, encoder, shown, target, target_a_over_c = job
    pattern = image_pattern(arguments.cache, image_set)
    a_environment = b_environment = environment
    show_options = ()
    if shown:
        a_environment = b_environment = shown_environment
        show_options = ("--show",)

    def bare_loop(output, *writer):
        return [arguments.bare_loop, pattern, "0", str(frames - 1), str(FRAME_RATE), str(output),
                *writer, *show_options]

    programs = "ABC"
    outputs = {program: work / (program + extension) for program in "ABCDE"}
    labels = {"A": "A seqcat", "B": "B bare loop", "C": "C ffmpeg"}
    # Where seqcat's .avi videos take encoded frames, it copies JPEG files and encodes any
    # other image itself, so that its stream is no longer the bare loop's.
    takes_encoded_frames = extension == ".avi" and arguments.copies_jpeg
    copies = takes_encoded_frames and IMAGE_SETS[image_set][3] == "jpg"
    encodes_itself = takes_encoded_frames and not copies
    commands = {
        "A": seqcat_command(arguments.seqcat, arguments.cache, image_set, frames, outputs["A"],
                            () if shown else ("-nd",)),
        "B": bare_loop(outputs["B"]),  # seqcat's own choice of writer
        "C": ["ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-framerate", str(FRAME_RATE),
              "-start_number", "0", "-i", pattern, "-frames:v", str(frames), "-c:v", encoder,
              str(outputs["C"])],
    }
    environments = {"A": a_environment, "B": b_environment, "C": environment, "D": environment,
                    "E": environment}
    if extension == ".avi" and not shown:
        # seqcat writes Motion JPEG through FFmpeg; D is OpenCV's own Motion JPEG writer.
        programs += "D"
        labels["D"] = "D bare loop"
        commands["D"] = bare_loop(outputs["D"], "--backend", "mjpeg", "--fourcc", "MJPG")
    if copies:
        programs += "E"
        labels["E"] = "E ffmpeg"
        commands["E"] = commands["C"][:-2] + ["copy", str(outputs["E"])]

    walls = {program: [] for program in programs}
    memories = {program: [] for program in programs}
    processor_times = {program: [] for program in programs}
    pass_seconds = []  # .mp4: A's last copy, which B does not make, timed alone on B's video
    memory_file = work / "peak-rss"
    for round_number in range(arguments.rounds + 1):
        for program in programs:
            outputs[program].unlink(missing_ok=True)
            wall, memory, processor_time = timed_run(commands[program], environments[program],
                                                     memory_file)
            if round_number > 0:  # round 0 warms the caches
                walls[program].append(wall)
                memories[program].append(memory)
                processor_times[program].append(processor_time)
                if program == "B" and extension == ".mp4":
                    pass_seconds.append(colour_pass_seconds(arguments, outputs["B"], work))

    def median_ratio(numerator, denominator):
        return statistics.median(n / d for n, d in zip(walls[numerator], walls[denominator]))

    a_over_b = median_ratio("A", "B")
    rows = {}
    problems = []
    for program in programs:
        frame_count, frame_rate = probe_video(outputs[program])
        rows[program] = {
            "wall": statistics.median(walls[program]),
            "cpu": statistics.median(processor_times[program]),
            "rss": max(memories[program]) / 1024.0,
            "size": outputs[program].stat().st_size / 1e6,
            "frames": frame_count,
            "psnr": measure_psnr(outputs[program], pattern, frames),
            "writer": ("ffmpeg " + encoder if program == "C" else "ffmpeg copy" if program == "E"
                       else writer_of(outputs[program])),
        }
        if frame_count != frames:
            problems.append("%s: %s holds %d frames, not %d" % (name, program, frame_count, frames))
        if frame_rate != "%d/1" % FRAME_RATE:
            problems.append("%s: %s reads back at %s frames per second" % (name, program, frame_rate))
    if copies:
        if not frames_are_the_files(outputs["A"], pattern, frames, work):
            problems.append("%s: seqcat's frames are not the image files byte for byte" % name)
    elif not encodes_itself and stream_bytes(outputs["A"]) != stream_bytes(outputs["B"]):
        problems.append("%s: the bare loop's video stream (%d bytes) differs from seqcat's (%d "
                        "bytes): the two no longer write with the same settings"
                        % (name, stream_bytes(outputs["B"]), stream_bytes(outputs["A"])))

    measured[name] = {labels[program]: rows[program]["wall"] for program in "ABC"}
    print("\n%s: %d frames at %d fps, %d rounds after a warm-up" % (
        name, frames, FRAME_RATE, arguments.rounds))
    print("  %-12s %-16s %8s %9s %7s %9s %7s %7s %8s" % (
        "", "writer", "wall s", "ms/frame", "CPU s", "peak MiB", "MB", "frames", "PSNR dB"))
    for program in programs:
        row = rows[program]
        print("  %-12s %-16s %8.3f %9.2f %7.2f %9.1f %7.2f %7d %8.2f" % (
            labels[program], row["writer"], row["wall"], 1000.0 * row["wall"] / frames,
            row["cpu"], row["rss"], row["size"], row["frames"], row["psnr"]))
    a_over_c = median_ratio("A", "C")
    print("  A/B %.3f (target <= %.2f: %s)   A/C %.3f" % (
        a_over_b, target, "met" if a_over_b <= target else "MISSED", a_over_c), end="")
    if target_a_over_c is not None:
        print(" (target <= %.2f: %s)" % (
            target_a_over_c, "met" if a_over_c <= target_a_over_c else "MISSED"), end="")
    if "D" in programs:
        print("   D/B %.3f (the other writer against seqcat's)" % median_ratio("D", "B"), end="")
    print("   (medians of per-round ratios)")
    if pass_seconds:
        share = statistics.median(pass_seconds) / rows["A"]["wall"]
        print("  colour description and fast start: %.3f s, %.1f %% of A's wall (target <= "
              "%.0f %%: %s)" % (statistics.median(pass_seconds), 100.0 * share,
                                100.0 * TARGET_COLOUR_PASS_SHARE,
                                "met" if share <= TARGET_COLOUR_PASS_SHARE else "MISSED"))
    if encodes_itself:
        print("  seqcat encodes these frames itself (libjpeg, quality 95), the bare loop through "
              "the writer: the streams are not compared, PSNR judges A")
    if copies:
        # Shown, every frame waits for the window's 10 ms key poll: no target there.
        target_text = "" if shown else " (target <= %.2f: %s)" % (
            TARGET_COPY_A_OVER_C, "met" if a_over_c <= TARGET_COPY_A_OVER_C else "MISSED")
        print("  JPEG files copied: A's frames are the image files byte for byte; A/C %.3f%s   "
              "A/E %.3f (against ffmpeg -c:v copy)" % (a_over_c, target_text,
                                                        median_ratio("A", "E")))
    if extension == ".avi":
        # Motion JPEG's quality is seqcat's to choose; it must not fall below ffmpeg's own.
        psnr_floor = rows["C"]["psnr"] - PSNR_MARGIN_DB
        print("  PSNR of A %.2f dB vs ffmpeg's %.2f dB (floor %.2f: %s)" % (
            rows["A"]["psnr"], rows["C"]["psnr"], psnr_floor,
            "met" if rows["A"]["psnr"] >= psnr_floor else "MISSED"))
    return problems


def check_memory_growth(arguments, work, environment, cases, runs):
    """seqcat's peak RSS on the longest sequence against the shortest, for each (image set,
    container, lengths) case. A middle length shows whether any growth levels off (an encoder's
    bounded look-ahead, frames in flight in the workers) or goes on with the sequence (frames
    held)."""
    print("\npeak RSS of seqcat by sequence length (median of %d runs each)" % runs)
    memory_file = work / "peak-rss"
    worst = 0.0
    for image_set, extension, lengths in cases:
        output = work / ("memory" + extension)
        peaks = {frames: [] for frames in lengths}
        for _ in range(runs):
            for frames in lengths:
                output.unlink(missing_ok=True)
                command = seqcat_command(arguments.seqcat, arguments.cache, image_set, frames,
                                         output)
                peaks[frames].append(timed_run(command, environment, memory_file)[1])
        medians = {frames: statistics.median(peaks[frames]) / 1024.0 for frames in lengths}
        growth = medians[lengths[-1]] / medians[lengths[0]]
        worst = max(worst, growth)
        print("  %s %s: %s; %d against %d frames x%.3f (target <= %.2f: %s)" % (
            image_set, extension, ", ".join("%d frames %.1f MiB" % (frames, medians[frames])
                                            for frames in lengths),
            lengths[-1], lengths[0], growth, TARGET_RSS_GROWTH,
            "met" if growth <= TARGET_RSS_GROWTH else "MISSED"))
    return worst


def counted(number, noun):
    return "%d %s%s" % (number, noun, "" if number == 1 else "s")


def workers_for(cores, shown=False):
    """The frame workers seqcat runs on so many cores: one a core, less the one the main thread
    needs to show the frames, 1 to 16."""
    return min(16, max(1, cores - (1 if shown else 0)))


def workers_said(cores):
    return "%s (%d with the window shown)" % (counted(workers_for(cores), "frame worker"),
                                              workers_for(cores, shown=True))


def cores_under(cpu_list):
    """How many cores a process started under taskset -c cpu_list may use."""
    result = run_checked(["taskset", "-c", cpu_list, sys.executable, "-c",
                          "import os; print(len(os.sched_getaffinity(0)))"])
    return int(result.stdout)


def measure_decode_scaling(arguments, work, environment, rounds):
    """seqcat decoding the PNG renders alone (-nd -no) under taskset on one core and on two,
    interleaved after a warm-up round: the medians of the wall times and their ratio."""
    image_set = "1080p-png"
    frames = IMAGE_SETS[image_set][2]
    cpu_lists = ("0", "0,1")
    print("\ndecoding alone (-nd -no), %d frames of %s, median of %d interleaved rounds after a "
          "warm-up" % (frames, image_set, rounds))
    if shutil.which("taskset") is None or not {0, 1} <= os.sched_getaffinity(0):
        print("  NOT MEASURED: needs taskset (Debian package util-linux) and cores 0 and 1")
        return []
    walls = {cpu_list: [] for cpu_list in cpu_lists}
    output = work / "decoded.avi"
    for round_number in range(rounds + 1):
        for cpu_list in cpu_lists:
            command = ["taskset", "-c", cpu_list] + seqcat_command(
                arguments.seqcat, arguments.cache, image_set, frames, output, ("-nd", "-no"))
            started = time.perf_counter()
            result = run_checked(command, env=environment)
            wall = time.perf_counter() - started
            if len(frame_times(result.stdout)) != frames:
                return ["decoding alone under taskset -c %s: %d timing lines, not %d" % (
                    cpu_list, len(frame_times(result.stdout)), frames)]
            if round_number > 0:
                walls[cpu_list].append(wall)
    for cpu_list in cpu_lists:
        cores = cores_under(cpu_list)
        print("  taskset -c %-4s %s, %s: %.3f s, %.2f ms/frame" % (
            cpu_list, counted(cores, "core"), counted(workers_for(cores), "frame worker"),
            statistics.median(walls[cpu_list]),
            1000.0 * statistics.median(walls[cpu_list]) / frames))
    speed_up = statistics.median(walls["0"]) / statistics.median(walls["0,1"])
    print("  two cores against one: %.2fx faster (target >= %.2f: %s)" % (
        speed_up, TARGET_DECODE_SCALING, "met" if speed_up >= TARGET_DECODE_SCALING else "MISSED"))
    return []


def start_virtual_display():
    """Starts Xvfb on a free display; returns (process, display name) or None."""
    if shutil.which("Xvfb") is None:
        return None
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1920x1080x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,),
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as announcement:
        number = announcement.readline().strip()
    if not number:
        server.kill()
        server.wait()
        return None
    return server, ":" + number


def frame_times(output_text):
    return [float(value) for value in
            re.findall(r"processing time = ([0-9.]+) ms/frame", output_text)]


def bare_display_cost(arguments, image_set, frames, output, environment, shown_environment,
                      rounds):
    """Per-frame wall time of the bare loop with --show under Xvfb, less that without it."""
    pattern = image_pattern(arguments.cache, image_set)
    walls = {"hidden": [], "shown": []}
    for _ in range(rounds):
        for mode, extra, env in (("hidden", (), environment), ("shown", ("--show",),
                                                                shown_environment)):
            output.unlink(missing_ok=True)
            started = time.monotonic()
            run_checked([arguments.bare_loop, pattern, "0", str(frames - 1), str(FRAME_RATE),
                         str(output), *extra], env=env)
            walls[mode].append(time.monotonic() - started)
    return (statistics.median(walls["shown"]) - statistics.median(walls["hidden"])) * 1000 / frames


def measure_display_cost(arguments, work, environment, rounds):
    """seqcat's own per-frame times with the window shown under Xvfb against -nd."""
    started = start_virtual_display()
    if started is None:
        print("\ndisplay cost: NOT MEASURED, Xvfb could not be started")
        return None
    server, display = started
    shown_environment = dict(environment, DISPLAY=display)
    print("\nper-frame time with the window shown (Xvfb %s) against -nd, .avi, median of the "
          "timing lines of %d interleaved runs each" % (display, rounds))
    worst = 0.0
    try:
        for image_set in ("1080p", "480p"):
            frames = min(IMAGE_SETS[image_set][2], 120)
            output = work / "display.avi"
            times = {"-nd": [], "shown": []}
            for _ in range(rounds):
                for mode, extra, env in (("-nd", ("-nd",), environment),
                                         ("shown", (), shown_environment)):
                    output.unlink(missing_ok=True)
                    command = seqcat_command(arguments.seqcat, arguments.cache, image_set, frames,
                                             output, extra)
                    result = run_checked(command, env=env)
                    if "no display can be reached" in result.stderr:
                        raise BenchError("seqcat did not reach the display " + display)
                    times[mode].extend(frame_times(result.stdout))
            hidden = statistics.median(times["-nd"])
            shown = statistics.median(times["shown"])
            extra_ms = shown - hidden
            worst = max(worst, extra_ms)
            print("  %s: %.2f ms/frame shown, %.2f ms/frame -nd, +%.2f ms (target <= +%.0f: %s)"
                  % (image_set, shown, hidden, extra_ms, TARGET_DISPLAY_EXTRA_MS,
                     "met" if extra_ms <= TARGET_DISPLAY_EXTRA_MS else "MISSED"))
            print("  %s: the bare loop's own cost of showing, same window and key poll: +%.2f ms"
                  % (image_set, bare_display_cost(arguments, image_set, frames, output,
                                                  environment, shown_environment, rounds)))
    finally:
        server.terminate()
        server.wait()
    return worst


def run_shown_job(job, arguments, work, environment, frames, measured):
    """The job with the frames shown, under an Xvfb of its own, ended by its process id."""
    if arguments.no_display:
        return []
    started = start_virtual_display()
    if started is None:
        print("\n%s: NOT MEASURED, Xvfb could not be started" % job[0])
        return []
    server, display = started
    try:
        return run_job(job, arguments, work, environment, frames, measured,
                       dict(environment, DISPLAY=display))
    finally:
        server.terminate()
        server.wait()


def draw_chart(measured, arguments, path):
    """The jobs as groups of bars, one bar a program's median wall time, drawn from this run's
    figures, without a display."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as pyplot

    jobs = list(measured)
    labels = list(measured[jobs[0]])
    bar_height = 0.8 / len(labels)
    figure, axes = pyplot.subplots(figsize=(8, 0.9 + 0.75 * len(jobs)), dpi=100)
    for number, label in enumerate(labels):
        offsets = [row - 0.4 + bar_height * (number + 0.5) for row in range(len(jobs))]
        walls = [measured[job][label] for job in jobs]
        axes.barh(offsets, walls, height=bar_height, label=label)
        for offset, wall in zip(offsets, walls):  # Debian 11's matplotlib has no bar_label
            axes.text(wall, offset, " %.2f s" % wall, va="center", fontsize=8)
    axes.set_yticks(range(len(jobs)))
    axes.set_yticklabels(jobs)
    axes.invert_yaxis()
    axes.set_xlabel("wall time, median of %d rounds (s)" % arguments.rounds)
    axes.set_xlim(0, 1.18 * max(max(row.values()) for row in measured.values()))
    axes.legend(loc="lower right", fontsize=8)
    axes.set_title("%s run of %s, OpenCV %s, %d cores, %s" % (
        "quick" if arguments.quick else "full", time.strftime("%Y-%m-%d"),
        ".".join(map(str, arguments.opencv_version)), os.cpu_count(),
        workers_said(len(os.sched_getaffinity(0)))), fontsize=9)
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path)
    pyplot.close(figure)


def matplotlib_is_installed():
    """Whether this Python can draw the chart: asked before the runs, so that a missing module
    does not throw away their figures at the end."""
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return False
    return True


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    root = BENCH_FOLDER.parent
    parser.add_argument("--seqcat", default=str(root / "build/src/conversion/seqcat"))
    parser.add_argument("--bare-loop", default=str(root / "build/bench/seqcat_bare_loop"))
    parser.add_argument("--colour-pass-time",
                        default=str(root / "build/bench/seqcat_colour_pass_time"))
    parser.add_argument("--cache", type=Path, default=BENCH_FOLDER / "cache",
                        help="folder of the image sets, made on first use")
    parser.add_argument("--rounds", type=int, default=5, help="timed rounds after the warm-up")
    parser.add_argument("--quick", action="store_true",
                        help="short sequences (the PNG job on 6 renders) and 2 rounds, no display "
                             "cost measurement: a smoke run")
    parser.add_argument("--chart", type=Path,
                        help="draw the jobs' wall times as bars into this PNG file (a full run: "
                             "docs/performance.png, so the documented chart is always the last "
                             "full run's)")
    parser.add_argument("--no-display", action="store_true",
                        help="skip the job with the frames shown and the display cost (Xvfb)")
    parser.add_argument("--decode-scaling", action="store_true",
                        help="also time seqcat decoding the PNG renders alone (-nd -no) under "
                             "taskset -c 0 and -c 0,1, --rounds rounds each, and give the ratio "
                             "(needs 2 cores)")
    arguments = parser.parse_args()
    if arguments.chart is None and not arguments.quick:
        arguments.chart = root / "docs/performance.png"
    if arguments.chart is not None and not matplotlib_is_installed():
        parser.error("the chart needs matplotlib, which %s lacks (Debian's python3-matplotlib; "
                     "/usr/bin/python3 has it once installed)" % sys.executable)
    if arguments.quick:
        arguments.rounds = min(arguments.rounds, 2)
    if arguments.rounds < 1:
        parser.error("--rounds must be at least 1")
    for program in (arguments.seqcat, arguments.bare_loop, arguments.colour_pass_time):
        if not os.access(program, os.X_OK):
            parser.error("no program at " + program)
    return arguments


def main():
    arguments = parse_arguments()
    arguments.cache = arguments.cache.resolve()
    for tool in ("ffmpeg", "ffprobe"):
        if shutil.which(tool) is None:
            print("bench: %s is needed (Debian package ffmpeg)" % tool, file=sys.stderr)
            return 2
    if not os.access("/usr/bin/time", os.X_OK):
        print("bench: /usr/bin/time is needed (Debian package time)", file=sys.stderr)
        return 2

    environment = {key: value for key, value in os.environ.items() if key != "DISPLAY"}
    try:
        # The version that lets seqcat copy JPEG files into Motion JPEG videos.
        arguments.opencv_version = opencv_version(arguments.seqcat)
        arguments.copies_jpeg = arguments.opencv_version >= (4, 10)
    except BenchError as error:
        print("bench: " + str(error), file=sys.stderr)
        return 2
    cores = len(os.sched_getaffinity(0))
    print("bench: %s, load average at start %.2f %.2f %.2f, %d cores, %d usable, so seqcat "
          "runs %s" % ("quick" if arguments.quick else "full", *os.getloadavg(), os.cpu_count(),
                       cores, workers_said(cores)))
    print("command: " + " ".join(sys.argv))
    problems = []
    measured = {}
    try:
        make_image_sets(arguments.cache, IMAGE_SETS)
        with tempfile.TemporaryDirectory(prefix="seqcat-bench-") as folder:
            work = Path(folder)
            for job in JOBS:
                frames = IMAGE_SETS[job[1]][2]
                if arguments.quick:
                    frames = QUICK_FRAMES[job[1]]
                if job[4]:
                    problems += run_shown_job(job, arguments, work, environment, frames, measured)
                else:
                    problems += run_job(job, arguments, work, environment, frames, measured)
            if arguments.quick:
                check_memory_growth(arguments, work, environment, MEMORY_CASES_QUICK, 1)
            else:
                check_memory_growth(arguments, work, environment, MEMORY_CASES, 3)
            if not arguments.quick and not arguments.no_display:
                measure_display_cost(arguments, work, environment, 3)
            if arguments.decode_scaling:
                problems += measure_decode_scaling(arguments, work, environment, arguments.rounds)
    except BenchError as error:
        problems.append(str(error))
    if arguments.chart is not None and measured:
        draw_chart(measured, arguments, arguments.chart)
        print("\nchart of the wall times: %s" % arguments.chart)
    print("\nload average at end %.2f %.2f %.2f" % os.getloadavg())
    for problem in problems:
        print("bench: ERROR: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
