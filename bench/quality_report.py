"""Tables and the picture of the quality benchmark, from the scores of its runs.

    report = QualityReport(header_lines, command)
    report.add(content, kbps, fps, tool, scores)     # one run
    text = report.markdown()
    report.plot("bench/results/quality.png", ("still photo", "scroll"))
    report.save_json("bench/results/quality.json")   # every frame's PSNR, to redraw or compare
"""
import json
import math

TOOLS = ("vx-capture", "ffmpeg")
STILL_DROP = 1.5   # dB below the first key frame that a still content may fall
KEY_FRAME_DROP = 3.0   # dB that moving content may fall after a periodic key frame


def _psnr(summary):
    if math.isnan(summary["mean"]):
        return "no frame read"
    return f"{summary['mean']:.1f} / {summary['p5']:.1f} / {summary['min']:.1f}"


class QualityReport:
    def __init__(self, header, command):
        self.header = header
        self.command = command
        self.runs = {}   # (content, kbps, fps) -> {tool: Scores}
        self.notes = []

    def add(self, content, kbps, fps, tool, scores):
        self.runs.setdefault((content, kbps, fps), {})[tool] = scores

    def markdown(self):
        lines = [f"`{self.command}`", ""] + [f"- {line}" for line in self.header] + [""]
        lines += ["PSNR-Y in dB against the source picture named by each frame's stamp (BT.709 "
                  "video range for both): mean / 5th percentile / minimum. kbit/s delivered after "
                  "the first second; CPU in seconds per second of capture (user + system of the "
                  "capturing process; noisy on a shared machine).", ""]
        lines += ["| content | rate | vx-capture kbit/s | vx-capture PSNR-Y | vx CPU "
                  "| FFmpeg kbit/s | FFmpeg PSNR-Y | FFmpeg CPU | mean diff | 5th pct diff |",
                  "|---|---|---:|---|---:|---:|---|---:|---:|---:|"]
        for (content, kbps, fps), tools in self.runs.items():
            s = {tool: tools[tool].summary() for tool in TOOLS if tool in tools}
            cells = [content, f"{kbps} @ {fps}"]
            for tool in TOOLS:
                if tool in s:
                    cells += [f"{s[tool]['kbps']:.0f}", _psnr(s[tool]), f"{s[tool]['cpu']:.2f}"]
                else:
                    cells += ["-", "-", "-"]
            if len(s) == 2:
                cells += [f"{s['vx-capture']['mean'] - s['ffmpeg']['mean']:+.1f}",
                          f"{s['vx-capture']['p5'] - s['ffmpeg']['p5']:+.1f}"]
            else:
                cells += ["-", "-"]
            lines.append("| " + " | ".join(cells) + " |")
        lines += self._still_table() + self._key_frame_table() + self._frames_table()
        return "\n".join(lines + [""] + self.notes)

    def _still_table(self):
        rows = []
        for (content, kbps, fps), tools in self.runs.items():
            if not content.startswith("still"):
                continue
            for tool in TOOLS:
                if tool not in tools or not tools[tool].valid():
                    continue
                values = tools[tool].valid()
                first, worst = values[0], min(values)
                below = sum(1 for v in values if v < first - STILL_DROP)
                # A rate control that starts coarse never falls below its first frame; the
                # fall from the best reached so far shows a picture that "breathes".
                best, fall = values[0], 0.0
                for value in values:
                    best = max(best, value)
                    fall = max(fall, best - value)
                rows.append(f"| {content} | {kbps} @ {fps} | {tool} | {first:.1f} | {worst:.1f} "
                            f"| {first - worst:.1f} | {below} of {len(values)} | {fall:.1f} |")
        if not rows:
            return []
        return ["", f"Still content: every frame should stay within {STILL_DROP} dB of the first "
                "key frame.", "",
                "| content | rate | tool | first frame | worst | drop | frames more than "
                f"{STILL_DROP} dB below | largest fall below the best reached |",
                "|---|---|---|---:|---:|---:|---|---:|"] + rows

    def _key_frame_table(self):
        rows = []
        for (content, kbps, fps), tools in self.runs.items():
            if content.startswith("still"):
                continue
            cells = []
            for tool in TOOLS:
                drop = tools[tool].key_frame_drop() if tool in tools else None
                cells.append("-" if drop is None else f"{drop:.1f}")
            rows.append(f"| {content} | {kbps} @ {fps} | " + " | ".join(cells) + " |")
        if not rows:
            return []
        return ["", f"Moving content: the largest fall from the mean PSNR-Y of the second before a "
                f"periodic key frame to the worst frame of the second from it (dB; should stay "
                f"within {KEY_FRAME_DROP} dB).", "",
                "| content | rate | vx-capture | FFmpeg |", "|---|---|---:|---:|"] + rows

    def _frames_table(self):
        lines = ["", "Frames decoded (of which the stamp did not read):", ""]
        cells = []
        for (content, kbps, fps), tools in self.runs.items():
            for tool in TOOLS:
                if tool in tools:
                    scores = tools[tool]
                    cells.append(f"{content} {kbps}@{fps} {tool}: {scores.frames} ({scores.unmatched})")
        return lines + ["; ".join(cells)]

    def plot(self, path, contents):
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        rates = sorted({(kbps, fps) for (c, kbps, fps) in self.runs if c in contents},
                       key=lambda r: (-r[1], r[0]))
        if not rates:
            return False
        figure, axes = plt.subplots(len(contents), len(rates), figsize=(4.2 * len(rates), 3.2 * len(contents)),
                                    squeeze=False, sharex=True)
        colours = {"vx-capture": "tab:blue", "ffmpeg": "tab:orange"}
        for row, content in enumerate(contents):
            for column, (kbps, fps) in enumerate(rates):
                axis = axes[row][column]
                for tool, scores in self.runs.get((content, kbps, fps), {}).items():
                    points = [(t, p) for t, p in zip(scores.times, scores.psnr) if p is not None]
                    if points:
                        axis.plot(*zip(*points), label="FFmpeg" if tool == "ffmpeg" else tool,
                                  color=colours[tool], linewidth=0.9)
                axis.set_title(f"{content}, {kbps / 1000:g} Mbit/s, {fps} fps", fontsize=9)
                axis.grid(alpha=0.3)
                if column == 0:
                    axis.set_ylabel("PSNR-Y (dB)")
                if row == len(contents) - 1:
                    axis.set_xlabel("seconds")
                axis.legend(fontsize=7, loc="lower right")
        figure.tight_layout()
        figure.savefig(path, dpi=90)
        plt.close(figure)
        return True

    def save_json(self, path):
        out = []
        for (content, kbps, fps), tools in self.runs.items():
            for tool, scores in tools.items():
                out.append(dict(content=content, kbps=kbps, fps=fps, tool=tool,
                                summary=scores.summary(), times=scores.times, psnr=scores.psnr,
                                numbers=scores.numbers, keys=scores.keys))
        with open(path, "w") as f:
            json.dump(dict(header=self.header, command=self.command, runs=out), f)
