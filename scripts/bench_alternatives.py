#!/usr/bin/python3
"""Measures the library against the alternatives on the clips that
scripts/bench-alternatives.sh made, and writes a Markdown table and a bar
chart of pictures per second as ratios to the ceiling (the bare libavcodec
loop with warm memory that `vantle-video bench` measures beside the library).

  bench_alternatives.py TOOL CLIP_DIR OUT_DIR

Every alternative decodes the same stream to the same output:
  yuv420        YUV 4:2:0 planes in memory
  rgb           RGB24 at the decoded size (OpenCV: its BGR24, same work)
  rgb-640x360   RGB24 at 640x360, fast bilinear (OpenCV: BGR, then cv2.resize)
  indexed       the library's indexed decode (no alternative has one)
  transcode     every picture of the first 12-picture group re-encoded by a
                fresh H.264 encoder (x264 defaults, no B-frames); encoding costs
                far more than decoding, so one group keeps the run short
The ffmpeg command line is timed as a whole process (start-up included) and
reads the file; PyAV and the library get the packets already in memory;
OpenCV reads the file through its own FFmpeg back end, which picks its own
decoder thread count (the number of cores), so its two rows differ only by
noise. The Python package (python/, `vantle_video`) decodes the same packets
group by group through the library's C interface into NumPy arrays that view
the library's buffers, releasing each group's frames before the next group.
"""
import os
import platform
import resource
import statistics
import subprocess
import sys
import time

import av
import cv2
import vantle_video
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

WORKS = ["yuv420", "rgb", "rgb-640x360", "indexed", "transcode"]
ALTERNATIVES = ["library", "Python package", "ffmpeg CLI", "PyAV", "OpenCV"]
PACKAGE_WORKS = {"yuv420": {"yuv420": True}, "rgb": {"rgb": True},
                 "rgb-640x360": {"rgb": (640, 360)}}
REPEAT = 3
GROUP = 12
RANDOM_ACCESS_CALLS = 200


def cpu_seconds():
    """CPU seconds of this process (all its threads) and of its finished
    children: on a shared machine far steadier than the wall clock."""
    total = 0.0
    for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
        usage = resource.getrusage(who)
        total += usage.ru_utime + usage.ru_stime
    return total


def median_times(function, repeat=REPEAT):
    """Median wall and CPU seconds of `repeat` runs after an untimed one."""
    function()
    walls, cpus = [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), cpu_seconds()
        function()
        walls.append(time.perf_counter() - wall)
        cpus.append(cpu_seconds() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def rates(pictures, times):
    """(pictures per second, pictures per CPU second)."""
    return pictures / times[0], pictures / times[1]


def demux(path):
    container = av.open(path)
    stream = container.streams.video[0]
    packets = [p for p in container.demux(stream) if p.size > 0]
    return container, stream, packets


def pyav_decoder(stream, threads):
    context = av.CodecContext.create(stream.codec_context.name, "r")
    if stream.codec_context.extradata:
        context.extradata = stream.codec_context.extradata
    context.thread_type = "FRAME"
    context.thread_count = threads
    return context


def pyav_work(path, work, threads):
    container, stream, packets = demux(path)

    def run():
        decoder = pyav_decoder(stream, threads)
        encoder = None
        pictures = 0
        for packet in packets + [None]:
            if work == "transcode" and pictures >= GROUP:
                break
            for frame in decoder.decode(packet):
                if work == "transcode" and pictures >= GROUP:
                    break
                pictures += 1
                if work == "yuv420":
                    frame.to_ndarray(format="yuv420p")
                elif work == "rgb":
                    frame.to_ndarray(format="rgb24")
                elif work == "rgb-640x360":
                    frame.reformat(width=640, height=360, format="rgb24",
                                   interpolation="FAST_BILINEAR").to_ndarray()
                elif work == "transcode":
                    if encoder is None:
                        encoder = av.CodecContext.create("libx264", "w")
                        encoder.width, encoder.height = frame.width, frame.height
                        encoder.pix_fmt = "yuv420p"
                        encoder.time_base = "1/25"
                        encoder.framerate = 25
                        encoder.gop_size = GROUP
                        encoder.options = {"bf": "0"}
                        encoder.thread_count = threads
                        encoder.thread_type = "FRAME"
                    frame.pts = pictures
                    frame.time_base = encoder.time_base
                    frame.pict_type = "NONE"
                    encoder.encode(frame)
                    if pictures % GROUP == 0:
                        encoder.encode(None)
                        encoder = None
        if encoder is not None:
            encoder.encode(None)
        return pictures

    pictures = run()
    times = median_times(run)
    container.close()
    return rates(pictures, times)


def package_work(path, work, threads):
    """The Python package on the clip's packets, group by group; every array
    is touched once (its last pixel) so that nothing is left unmade."""
    clip = vantle_video.open(path)
    groups = [clip.group(g) for g in range(len(clip.groups))]
    os.environ["VANTLE_VIDEO_FFMPEG_THREADS"] = str(threads)

    def run():
        pictures = 0
        for group in groups:
            frames = vantle_video.decode(*group, **PACKAGE_WORKS[work])
            for frame in frames:
                (frame.y if frame.rgb is None else frame.rgb)[-1, -1]
            pictures += len(frames)
            # Released before the next request, so the library reuses them.
            del frames
        return pictures

    try:
        pictures = run()
        return rates(pictures, median_times(run))
    finally:
        del os.environ["VANTLE_VIDEO_FFMPEG_THREADS"]


def opencv_work(path, work, threads):
    def run():
        # OpenCV 4.6 has no thread setting: its FFmpeg back end sets the
        # decoder's thread count to the number of cores itself.
        capture = cv2.VideoCapture(path, cv2.CAP_FFMPEG)
        pictures = 0
        while True:
            ok, picture = capture.read()
            if not ok:
                break
            pictures += 1
            if work == "rgb-640x360":
                cv2.resize(picture, (640, 360), interpolation=cv2.INTER_LINEAR)
        capture.release()
        return pictures

    pictures = run()
    return rates(pictures, median_times(run))


def ffmpeg_work(path, work, threads, pictures):
    command = ["ffmpeg", "-nostdin", "-v", "error", "-threads", str(threads), "-i", path,
               "-threads", str(threads), "-filter_threads", "1"]
    if work == "yuv420":
        command += ["-pix_fmt", "yuv420p", "-f", "rawvideo"]
    elif work == "rgb":
        command += ["-sws_flags", "fast_bilinear", "-pix_fmt", "rgb24", "-f", "rawvideo"]
    elif work == "rgb-640x360":
        command += ["-vf", "scale=640:360:flags=fast_bilinear", "-pix_fmt", "rgb24",
                    "-f", "rawvideo"]
    else:
        command += ["-frames:v", str(GROUP), "-c:v", "libx264", "-g", str(GROUP), "-bf", "0",
                    "-f", "h264"]
        pictures = GROUP
    command += ["-y", "/dev/null"]
    return rates(pictures, median_times(lambda: subprocess.run(command, check=True)))


def tool_bench(tool, path, threads, extra=()):
    output = subprocess.run([tool, "bench", path, "--threads", str(threads), "--repeat",
                             str(REPEAT), "--transcode-groups", "1", "--tsv", *extra],
                            check=True, capture_output=True, text=True).stdout
    rows = {}
    for line in output.splitlines():
        work, library, ceiling, library_cpu, ceiling_cpu, pictures = line.split("\t")
        rows[work] = ((float(library), float(library_cpu)), (float(ceiling), float(ceiling_cpu)),
                      int(pictures))
    return rows


def random_access_pyav(path, threads):
    """200 decodes of single groups spread across the file, a fresh decoder
    per group, as a PyAV user seeking to a group would."""
    container, stream, packets = demux(path)
    starts = [i for i, p in enumerate(packets) if p.is_keyframe] + [len(packets)]
    groups = len(starts) - 1

    def run():
        pictures = 0
        for call in range(RANDOM_ACCESS_CALLS):
            group = (call * 37 + call // groups) % groups  # the tool's choice
            decoder = pyav_decoder(stream, threads)
            for packet in packets[starts[group]:starts[group + 1]] + [None]:
                for frame in decoder.decode(packet):
                    frame.to_ndarray(format="yuv420p")
                    pictures += 1
        return pictures

    pictures = run()
    times = median_times(run, repeat=1)
    container.close()
    return rates(pictures, times)


def main():
    tool, clip_dir, out_dir = sys.argv[1:4]
    clips = sorted(f for f in os.listdir(clip_dir) if f.startswith("clip-"))
    # (clip, threads, work, ceiling, {alternative: rates}); rates are
    # (pictures per second, pictures per CPU second)
    results = []
    for clip in clips:
        path = os.path.join(clip_dir, clip)
        label = clip[len("clip-"):].rsplit(".", 1)[0]
        for threads in (1, 2):
            print(f"bench: {label}, {threads} thread(s)", file=sys.stderr, flush=True)
            rows = tool_bench(tool, path, threads)
            for work in WORKS:
                key = "rgb-640x360" if work == "rgb-640x360" else work
                if key not in rows:
                    continue
                library, ceiling, pictures = rows[key]
                figures = {"library": library}
                if work in PACKAGE_WORKS:
                    figures["Python package"] = package_work(path, work, threads)
                if work != "indexed":
                    figures["ffmpeg CLI"] = ffmpeg_work(path, work, threads, pictures)
                    figures["PyAV"] = pyav_work(path, work, threads)
                if work in ("rgb", "rgb-640x360"):
                    figures["OpenCV"] = opencv_work(path, work, threads)
                results.append((label, threads, work, ceiling, figures))

    random_path = os.path.join(clip_dir, "random-access-h264-360p.mp4")
    random_rows = []
    for threads in (1, 2):
        print(f"bench: random access, {threads} thread(s)", file=sys.stderr, flush=True)
        rows = tool_bench(tool, random_path, threads, ["--random-access",
                                                       str(RANDOM_ACCESS_CALLS)])
        library, fresh_bare, _ = rows["random-access"]
        random_rows.append((threads, library, fresh_bare, random_access_pyav(random_path, threads)))

    write_table(results, random_rows, os.path.join(out_dir, "alternatives.md"))
    write_chart(results, os.path.join(out_dir, "alternatives.png"))


def ffmpeg_version():
    line = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout
    return line.splitlines()[0]


def write_table(results, random_rows, path):
    def cell(figures, name, ceiling, which):
        return f"{figures[name][which] / ceiling[which]:.2f}" if name in figures else "n/a"

    def ratio_table(which, unit):
        rows = [
            f"| clip | threads | work | ceiling {unit} | " + " | ".join(ALTERNATIVES) + " |",
            "|---|---:|---|---:|" + "---:|" * len(ALTERNATIVES),
        ]
        for label, threads, work, ceiling, figures in results:
            rows.append(f"| {label} | {threads} | {work} | {ceiling[which]:.0f} | " +
                        " | ".join(cell(figures, name, ceiling, which)
                                   for name in ALTERNATIVES) + " |")
        return rows

    lines = [
        "# The library against the alternatives",
        "",
        "Each figure is pictures per second divided by the ceiling's: a bare libavcodec loop",
        "with warm memory (one decoder and one scaler for the whole run, flushed between groups,",
        "output buffers recycled), whose own rate is the `ceiling` column. Above 1 is faster",
        f"than the ceiling. Median of {REPEAT} timed runs after one warm-up; the transcode",
        "re-encodes the first group only.",
        "",
        f"Machine: {platform.machine()}, {os.cpu_count()} cores, shared with other engineers'",
        "builds and tests while measured (load average well above 2), so wall-clock figures",
        "move by tens of per cent from run to run; the second table divides pictures by CPU",
        "seconds (the process's threads, and ffmpeg's as a child), which moves far less and is",
        "what the chart shows.",
        f"FFmpeg: {ffmpeg_version()}; PyAV {av.__version__}; OpenCV {cv2.__version__}.",
        "Clips: 24 pictures each (two groups of 12), testsrc2 pattern; H.264 and H.265 with",
        "two B-frames, closed groups. The ffmpeg command line is timed as a whole process",
        "reading the file; the library, the ceiling and PyAV start from packets in memory;",
        "OpenCV reads the file. The Python package (`vantle_video`) decodes the same packets",
        "through the C interface into NumPy arrays that view the library's buffers.",
        "OpenCV 4.6 has no thread setting: it decodes with as many",
        "threads as there are cores in both rows, and delivers BGR (the same work as RGB).",
        "n/a: the alternative has no such output.",
        "",
        "Regenerate with `bash scripts/bench-alternatives.sh` (about 6 minutes here).",
        "",
        "## Pictures per second, ratio to the ceiling",
        "",
        *ratio_table(0, "pictures/s"),
        "",
        "## Pictures per CPU second, ratio to the ceiling",
        "",
        *ratio_table(1, "pictures/CPU s"),
        "",
        f"## Random access: {RANDOM_ACCESS_CALLS} decodes of single groups across a file",
        "",
        "H.264 360p, 20 groups of 12 pictures, YUV 4:2:0 out, the groups picked in a",
        "scattered order. The library keeps idle decoders in its per-thread pool; PyAV (and",
        "the bare loop here) open a decoder per group.",
        "",
        "| threads | library pictures/s | bare loop, fresh decoder per group | PyAV, fresh decoder per group | library / PyAV | same in CPU time |",
        "|---:|---:|---:|---:|---:|---:|",
    ]
    for threads, library, fresh_bare, pyav in random_rows:
        lines.append(f"| {threads} | {library[0]:.0f} | {fresh_bare[0]:.0f} | {pyav[0]:.0f} | "
                     f"{library[0] / pyav[0]:.2f} | {library[1] / pyav[1]:.2f} |")
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def write_chart(results, path):
    clips = list(dict.fromkeys(r[0] for r in results))
    works = [w for w in WORKS if w != "indexed"]
    figure, axes = plt.subplots(2, len(works), figsize=(4.2 * len(works), 7.5), sharey=True)
    colours = {"library": "#1f77b4", "Python package": "#9467bd", "ffmpeg CLI": "#ff7f0e",
               "PyAV": "#2ca02c", "OpenCV": "#d62728"}
    width = 0.16
    for row, threads in enumerate((1, 2)):
        for column, work in enumerate(works):
            axis = axes[row][column]
            for k, name in enumerate(ALTERNATIVES):
                xs, ys = [], []
                for i, clip in enumerate(clips):
                    for label, t, w, ceiling, figures in results:
                        if (label, t, w) == (clip, threads, work) and name in figures:
                            xs.append(i + (k - (len(ALTERNATIVES) - 1) / 2) * width)
                            ys.append(figures[name][1] / ceiling[1])
                axis.bar(xs, ys, width, color=colours[name])
            axis.axhline(1.0, color="black", linewidth=0.8)
            axis.set_title(f"{work}, {threads} thread{'s' if threads > 1 else ''}", fontsize=10)
            axis.set_xticks(range(len(clips)))
            axis.set_xticklabels(clips, rotation=60, ha="right", fontsize=7)
            if column == 0:
                axis.set_ylabel("pictures per CPU second / ceiling")
    figure.legend(handles=[Patch(color=colours[name], label=name) for name in ALTERNATIVES],
                  loc="upper center", ncol=len(ALTERNATIVES))
    figure.suptitle("1.0 = the bare libavcodec loop with warm memory", y=0.93, fontsize=9)
    figure.tight_layout(rect=(0, 0, 1, 0.92))
    figure.savefig(path, dpi=90)


if __name__ == "__main__":
    main()
