"""The pipeline benchmark's summary: medians of the runs, ours against FFmpeg as ratios, and the
targets, as Markdown tables."""
import statistics

from latency import summary

OURS, THEIRS = "vx-capture", "ffmpeg"


def _median(runs, field):
    return statistics.median(getattr(r, field) for r in runs)


def _ratio(a, b):
    return a / b if b else float("nan")


def _verdict(ok):
    return "met" if ok else "MISSED"


class Report:
    def __init__(self, header, fps, command):
        self.header = header
        self.fps = fps
        self.command = command
        self.duration = 0.0
        self.load_after = 0.0
        self.rows = []       # throughput
        self.unread_rows = []  # ours with no reader: (name, x_idle, rounds, medians)
        self.targets = []    # (what, figure, target, ok)
        self.latency = []    # (what, ours, theirs, target)

    def throughput(self, name, x_idle, runs):
        medians = {key: {field: _median(r, field) for field in
                         ("fps", "content", "cpu", "x_extra", "total_cpu", "ms_per_frame", "rss_mb", "kbps")}
                   for key, r in runs.items()}
        ours, theirs = medians[OURS], medians[THEIRS]
        self.rows.append((name, x_idle, len(runs[OURS]), ours, theirs))
        ratio = _ratio(ours["total_cpu"], theirs["total_cpu"])
        if not name.startswith("1080p"):
            return  # figures only: the targets are set for a 1080p display
        if "still" in name:
            self.targets.append((f"{name}: CPU, ours / FFmpeg", f"{ratio:.3f}", "<= 0.04", ratio <= 0.04))
            # A still screen is repeated ten times a second, so that a new reader soon has a picture.
            self.targets.append((f"{name}: repeats per second delivered", f"{ours['fps']:.1f}",
                                 ">= 9.5", ours["fps"] >= 9.5))
            return
        if "typing" in name:
            self.targets.append((f"{name}: CPU, ours / FFmpeg", f"{ratio:.3f}", "<= 0.15", ratio <= 0.15))
        else:
            # Per frame delivered, so that frames FFmpeg drops on a busy machine do not flatter it.
            per_frame = _ratio(ours["ms_per_frame"], theirs["ms_per_frame"])
            self.targets.append((f"{name}: CPU per frame, ours / FFmpeg", f"{per_frame:.2f} "
                                 f"({ratio:.2f} per second)", "<= 0.5", per_frame <= 0.5))
        # Frames follow the content: a screen that changed fewer times gives fewer frames.
        wanted = min(self.fps, ours["content"]) * 0.98
        self.targets.append((f"{name}: frames per second delivered",
                             f"{ours['fps']:.1f} (content {ours['content']:.1f})",
                             f">= {wanted:.1f}", ours["fps"] >= wanted))

    def unread(self, name, x_idle, runs):
        """Ours with nobody reading the pipe; FFmpeg has no such figure (it waits in its open)."""
        m = {field: _median(runs, field) for field in ("content", "cpu", "x_extra", "total_cpu", "rss_mb")}
        self.unread_rows.append((name, x_idle, len(runs), m))
        if "still" in name:
            self.targets.append((f"{name}: CPU s/s", f"{m['total_cpu']:.4f}", "<= 0.01",
                                 m["total_cpu"] <= 0.01))
            return
        moving = next((theirs for row_name, _, _, _, theirs in self.rows
                       if row_name == "1080p moving"), None)
        if moving:
            ratio = _ratio(m["total_cpu"], moving["total_cpu"])
            self.targets.append((f"{name}: CPU / FFmpeg's while read", f"{ratio:.3f}", "<= 0.04",
                                 ratio <= 0.04))

    def glass_to_pipe(self, key, values, missed):
        self._latency("glass to pipe (full-screen flip)", key, values, missed,
                      "median <= 1 frame + encode")
        if key == OURS and values:
            median = summary(values)[0]
            frame = 1000 / self.fps
            self.targets.append(("glass to pipe, median", f"{median:.1f} ms",
                                 f"<= {frame:.1f} ms + encode",
                                 median <= frame + 8.0))  # ultrafast encodes a flip in < 8 ms

    def attach(self, mode, values, missed):
        screen = "still" if mode == "still" else "moving"
        limit = 120.0 if mode == "still" else 2000 / self.fps
        self._latency(f"attach to key frame, {screen} screen", OURS, values, missed,
                      f"<= {limit:.0f} ms")
        if values:
            median, p95 = summary(values)
            self.targets.append((f"attach to key frame, {screen}, p95", f"{p95:.1f} ms",
                                 f"<= {limit:.1f} ms", p95 <= limit))

    def audio(self, results, missed):
        titles = {"played": "audio click, played (server's estimate) to output",
                  "written": "audio click, handed to the server to output"}
        for basis, by_capture in results.items():
            for key, values in by_capture.items():
                self._latency(titles[basis], key, values, missed[key], "")

    def _latency(self, what, key, values, missed, target):
        for row in self.latency:
            if row[0] == what:
                row[1 if key == OURS else 2] = (values, missed)
                return
        row = [what, None, None, target]
        row[1 if key == OURS else 2] = (values, missed)
        self.latency.append(row)

    # -- output -------------------------------------------------------------------------------
    def markdown(self):
        lines = ["Command: `" + self.command + "`", ""] + [f"- {h}" for h in self.header]
        lines.append(f"- run time {self.duration / 60:.1f} min, load average {self.load_after:.2f} at the end")
        if self.rows:
            lines += ["", "| content | capture | fps | content updates/s | CPU s/s | X server extra | CPU total | CPU ms/frame | peak RSS MB | Mbit/s |",
                      "|---|---|---|---|---|---|---|---|---|---|"]
            for name, x_idle, rounds, ours, theirs in self.rows:
                for key, m in ((OURS, ours), ("FFmpeg", theirs)):
                    lines.append(f"| {name} | {key} | {m['fps']:.1f} | {m['content']:.1f} | {m['cpu']:.3f} | {m['x_extra']:.3f} | "
                                 f"{m['total_cpu']:.3f} | {m['ms_per_frame']:.2f} | {m['rss_mb']:.0f} | {m['kbps'] / 1000:.1f} |")
                r = {f: _ratio(ours[f], theirs[f]) for f in ours}
                lines.append(f"| {name} | **ours / FFmpeg** | {r['fps']:.2f} | | {r['cpu']:.2f} | | "
                             f"**{r['total_cpu']:.2f}** | {r['ms_per_frame']:.2f} | {r['rss_mb']:.2f} | {r['kbps']:.2f} |")
            for name, _, _, ours, theirs in self.rows:
                for key, m in ((OURS, ours), ("FFmpeg", theirs)):
                    if m["content"] > 0 and m["fps"] < 0.98 * min(self.fps, m["content"]):
                        lines += ["", f"Note: {key} delivered {m['fps']:.1f} of {m['content']:.1f} "
                                  f"updates per second on \"{name}\": it (or the machine) could not keep "
                                  "up, and its CPU per second is lower for it; compare per frame."]
            lines += ["", "X server extra: its CPU beyond its rate with the same content and no capture "
                      "(" + ", ".join(f"{n}: {x:.3f} s/s" for n, x, _, _, _ in self.rows) + "); "
                      f"medians of {self.rows[0][2]} run(s) each."]
        if self.unread_rows:
            lines += ["", "| nobody reading | content updates/s | CPU s/s | X server extra | CPU total | peak RSS MB |",
                      "|---|---|---|---|---|---|"]
            for name, _, _, m in self.unread_rows:
                lines.append(f"| {name} | {m['content']:.1f} | {m['cpu']:.4f} | {m['x_extra']:.4f} | "
                             f"{m['total_cpu']:.4f} | {m['rss_mb']:.0f} |")
        if self.latency:
            lines += ["", "| latency | vx-capture median / p95 | FFmpeg median / p95 | ratio of medians | target |",
                      "|---|---|---|---|---|"]
            for what, ours, theirs, target in self.latency:
                cells = []
                for entry in (ours, theirs):
                    if entry is None:
                        cells.append("-")
                    else:
                        values, missed = entry
                        median, p95 = summary(values)
                        extra = f" ({missed} of {len(values) + missed} not found)" if missed else ""
                        cells.append(f"{median:.1f} / {p95:.1f} ms, n={len(values)}{extra}")
                ratio = "-"
                if ours and theirs and ours[0] and theirs[0]:
                    ratio = f"{_ratio(summary(ours[0])[0], summary(theirs[0])[0]):.2f}"
                lines.append(f"| {what} | {cells[0]} | {cells[1]} | {ratio} | {target} |")
        if self.targets:
            lines += ["", "| target | figure | limit | |", "|---|---|---|---|"]
            for what, figure, limit, ok in self.targets:
                lines.append(f"| {what} | {figure} | {limit} | {_verdict(ok)} |")
        return "\n".join(lines)
