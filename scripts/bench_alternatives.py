#!/usr/bin/python3
"""The library against ffmpeg, PyAV, OpenCV and the Python package on the clips `scripts/bench.sh
--alternatives` makes, as ratios to the bare loop `vantle-video bench FILE --tsv` measures beside
the library. Usage: bench_alternatives.py TOOL CLIP_DIR OUT_DIR"""
import os, platform, resource, statistics, subprocess, sys, time  # noqa: E401

import av, cv2, matplotlib, vantle_video  # noqa: E401

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

WORKS = ["yuv420", "rgb", "rgb-640x360", "indexed", "transcode"]
ALTERNATIVES = ["library", "Python package", "ffmpeg CLI", "PyAV", "OpenCV"]
PACKAGE_WORKS = {"yuv420": {"yuv420": True}, "rgb": {"rgb": True},
                 "rgb-640x360": {"rgb": (640, 360)}}
RAW = ["-pix_fmt", "rgb24", "-f", "rawvideo"]
FFMPEG_WORKS = {"yuv420": ["-pix_fmt", "yuv420p", "-f", "rawvideo"],
                "rgb": ["-sws_flags", "fast_bilinear", *RAW],
                "rgb-640x360": ["-vf", "scale=640:360:flags=fast_bilinear", *RAW]}
REPEAT, GROUP, RANDOM_ACCESS_CALLS = 3, 12, 200


def cpu_seconds():  # with finished children's: steadier than the wall clock
    return sum(u.ru_utime + u.ru_stime for u in
               (resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)))


def rates(function, repeat=REPEAT):
    """(pictures/s, pictures/CPU s): medians of `repeat` runs after an untimed one."""
    pictures, walls, cpus = function(), [], []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), cpu_seconds()
        function()
        walls.append(time.perf_counter() - wall)
        cpus.append(cpu_seconds() - cpu)
    return pictures / statistics.median(walls), pictures / statistics.median(cpus)


def demux(path):
    container = av.open(path)  # left open: the packets may point into it
    stream = container.streams.video[0]
    return stream.codec_context.name, stream.codec_context.extradata, [
        p for p in container.demux(stream) if p.size > 0]


def pyav_decoder(codec, extradata, threads):
    context = av.CodecContext.create(codec, "r")
    if extradata:
        context.extradata = extradata
    context.thread_type, context.thread_count = "FRAME", threads
    return context


def pyav_work(path, work, threads):
    codec, extradata, packets = demux(path)

    def run():
        decoder, encoder, pictures = pyav_decoder(codec, extradata, threads), None, 0
        for frame in (f for p in packets + [None] for f in decoder.decode(p)):
            pictures += 1
            if work in ("yuv420", "rgb"):
                frame.to_ndarray(format="yuv420p" if work == "yuv420" else "rgb24")
            elif work == "rgb-640x360":
                frame.reformat(width=640, height=360, format="rgb24",
                               interpolation="FAST_BILINEAR").to_ndarray()
            else:
                if encoder is None:
                    encoder = av.CodecContext.create("libx264", "w")
                    for name, value in dict(width=frame.width, height=frame.height, pix_fmt="yuv420p",
                                            time_base="1/25", framerate=25, gop_size=GROUP, options={"bf": "0"},
                                            thread_count=threads, thread_type="FRAME").items():
                        setattr(encoder, name, value)
                frame.pts, frame.time_base, frame.pict_type = pictures, encoder.time_base, "NONE"
                encoder.encode(frame)
                if pictures >= GROUP:
                    break
        if encoder is not None:
            encoder.encode(None)
        return pictures

    return rates(run)


def package_work(path, work, threads):
    """Group by group; each array touched once and released before the next group."""
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
            del frames
        return pictures

    figures = rates(run)
    del os.environ["VANTLE_VIDEO_FFMPEG_THREADS"]
    return figures


def opencv_work(path, work, threads):
    def run():
        # OpenCV 4.6 has no thread setting: its FFmpeg back end uses every core.
        capture, pictures = cv2.VideoCapture(path, cv2.CAP_FFMPEG), 0
        ok, picture = capture.read()
        while ok:
            pictures += 1
            if work == "rgb-640x360":
                cv2.resize(picture, (640, 360), interpolation=cv2.INTER_LINEAR)
            ok, picture = capture.read()
        capture.release()
        return pictures

    return rates(run)


def ffmpeg_work(path, work, threads, pictures):
    transcode = ["-frames:v", str(GROUP), "-c:v", "libx264", "-g", str(GROUP), "-bf", "0", "-f", "h264"]
    command = ["ffmpeg", "-nostdin", "-v", "error", "-threads", str(threads), "-i", path, "-threads",
               str(threads), "-filter_threads", "1", *FFMPEG_WORKS.get(work, transcode), "-y", "/dev/null"]
    return rates(lambda: subprocess.run(command, check=True) and (GROUP if work == "transcode" else pictures))


def tool_bench(tool, path, threads, *extra):
    """{row: ((pictures/s, per CPU s) of the library, the same of the bare loop, pictures)}"""
    output = subprocess.run([tool, "bench", path, "--threads", str(threads), "--tsv", *extra],
                            check=True, capture_output=True, text=True).stdout
    return {work: ((float(library), float(library_cpu)), (float(bare), float(bare_cpu)), int(pictures))
            for work, library, bare, library_cpu, bare_cpu, pictures in
            (line.split("\t") for line in output.splitlines())}


def random_access_pyav(path, threads):
    """A fresh decoder per group, as a PyAV user seeking to a group; the tool's groups."""
    codec, extradata, packets = demux(path)
    starts = [i for i, p in enumerate(packets) if p.is_keyframe] + [len(packets)]
    groups = len(starts) - 1

    def run():
        pictures = 0
        for call in range(RANDOM_ACCESS_CALLS):
            group = (call * 37 + call // groups) % groups
            decoder = pyav_decoder(codec, extradata, threads)
            for packet in packets[starts[group]:starts[group + 1]] + [None]:
                for frame in decoder.decode(packet):
                    frame.to_ndarray(format="yuv420p")
                    pictures += 1
        return pictures

    return rates(run, repeat=1)


def main():
    tool, clip_dir, out_dir = sys.argv[1:4]
    results = []  # (clip, threads, work, bare loop rates, {alternative: rates})
    for clip in sorted(f for f in os.listdir(clip_dir) if f.startswith("clip-")):
        path, label = os.path.join(clip_dir, clip), clip[len("clip-"):].rsplit(".", 1)[0]
        for threads in (1, 2):
            print(f"bench: {label}, {threads} thread(s)", file=sys.stderr, flush=True)
            rows = tool_bench(tool, path, threads, "--mode", "host", "--repeat", str(REPEAT),
                              "--transcode-groups", "1")
            for work in (w for w in WORKS if w in rows):
                library, bare, pictures = rows[work]
                figures = {"library": library}
                if work in PACKAGE_WORKS:
                    figures["Python package"] = package_work(path, work, threads)
                if work != "indexed":
                    figures["ffmpeg CLI"] = ffmpeg_work(path, work, threads, pictures)
                    figures["PyAV"] = pyav_work(path, work, threads)
                if work in ("rgb", "rgb-640x360"):
                    figures["OpenCV"] = opencv_work(path, work, threads)
                results.append((label, threads, work, bare, figures))
    random_path = os.path.join(clip_dir, "random-access-h264-360p.mp4")
    random_rows = []
    for threads in (1, 2):
        print(f"bench: random access, {threads} thread(s)", file=sys.stderr, flush=True)
        library, fresh_bare, _ = tool_bench(tool, random_path, threads, "--mode", "quiet", "--repeat", "1",
                                            "--only", "random-access", "--random-access",
                                            str(RANDOM_ACCESS_CALLS))["random-access"]
        random_rows.append((threads, library, fresh_bare, random_access_pyav(random_path, threads)))
    write_table(results, random_rows, os.path.join(out_dir, "alternatives.md"))
    write_chart(results, os.path.join(out_dir, "alternatives.png"))


def write_table(results, random_rows, path):
    def ratio_table(which, unit):
        return ["", f"## Pictures per {unit}, ratio to the bare loop", "",
                f"| clip | threads | work | bare loop pictures/{unit} | " + " | ".join(ALTERNATIVES) + " |",
                "|---|---:|---|---:|" + "---:|" * len(ALTERNATIVES)] + [
            f"| {label} | {threads} | {work} | {bare[which]:.0f} | " + " | ".join(
                f"{figures[n][which] / bare[which]:.2f}" if n in figures else "n/a"
                for n in ALTERNATIVES) + " |" for label, threads, work, bare, figures in results]

    version = subprocess.run(["ffmpeg", "-version"], capture_output=True, text=True).stdout.split("\n")[0]
    lines = ["# The library against the alternatives", "",
             f"How it is measured: doc/benchmarks.md. Made by `bash scripts/bench.sh --alternatives`; "
             f"{platform.machine()}, {os.cpu_count()} cores; {version}; PyAV {av.__version__}; "
             f"OpenCV {cv2.__version__}; median of {REPEAT} runs after a warm-up."]
    lines += ratio_table(0, "second") + ratio_table(1, "CPU second") + [
        "", f"## Random access: {RANDOM_ACCESS_CALLS} scattered single groups, H.264 360p, YUV 4:2:0", "",
        "| threads | library pictures/s | bare loop, fresh decoder per group | PyAV, fresh decoder per group "
        "| library / PyAV | same in CPU time |", "|---:|---:|---:|---:|---:|---:|"]
    lines += [f"| {threads} | {library[0]:.0f} | {bare[0]:.0f} | {pyav[0]:.0f} | "
              f"{library[0] / pyav[0]:.2f} | {library[1] / pyav[1]:.2f} |"
              for threads, library, bare, pyav in random_rows]
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")
    print("\n".join(lines))


def write_chart(results, path):
    clips, works = list(dict.fromkeys(r[0] for r in results)), [w for w in WORKS if w != "indexed"]
    figure, axes = plt.subplots(2, len(works), figsize=(4.2 * len(works), 7.5), sharey=True)
    for (row, threads), (column, work) in ((r, c) for r in enumerate((1, 2)) for c in enumerate(works)):
        axis = axes[row][column]
        for k, name in enumerate(ALTERNATIVES):
            bars = [(i + (k - (len(ALTERNATIVES) - 1) / 2) * 0.16, f[name][1] / bare[1])
                    for i, clip in enumerate(clips) for label, t, w, bare, f in results
                    if (label, t, w) == (clip, threads, work) and name in f]
            axis.bar([x for x, _ in bars], [y for _, y in bars], 0.16, color=f"C{k}")
        axis.axhline(1.0, color="black", linewidth=0.8)
        axis.set_title(f"{work}, {threads} thread{'s' if threads > 1 else ''}", fontsize=10)
        axis.set_xticks(range(len(clips)), clips, rotation=60, ha="right", fontsize=7)
    figure.supylabel("pictures per CPU second / bare loop")
    figure.legend(handles=[Patch(color=f"C{k}", label=n) for k, n in enumerate(ALTERNATIVES)],
                  loc="upper center", ncol=len(ALTERNATIVES))
    figure.suptitle("1.0 = the bare libavcodec loop with warm memory", y=0.93, fontsize=9)
    figure.tight_layout(rect=(0, 0, 1, 0.92))
    figure.savefig(path, dpi=90)


if __name__ == "__main__":
    main()
