"""The benchmark's results as Markdown: what was measured, where, and two
tables (every cell in full, then a compact matrix of times and ratios)."""

import statistics


class Cell:
    """One tool on one scenario: the timed runs and, if any, a failure."""

    def __init__(self):
        self.walls = []
        self.rss_kb = []
        self.failure = ""

    def add(self, wall, rss_kb):
        self.walls.append(wall)
        self.rss_kb.append(rss_kb)

    @property
    def median(self):
        return statistics.median(self.walls) if self.walls else None

    @property
    def peak_rss(self):
        return max(self.rss_kb) if self.rss_kb else None


def seconds(value):
    if value is None:
        return "–"
    return "%.2f s" % value if value < 10 else "%.1f s" % value


def mib(kb):
    return "–" if kb is None else "%.1f MiB" % (kb / 1024.0)


def ratio(kuvet, other):
    if kuvet is None or other is None or kuvet.failure or other.failure:
        return "–"
    if kuvet.median is None or not other.median:
        return "–"
    return "%.2f" % (kuvet.median / other.median)


def render(meta, scenarios, tools, cells, notes):
    """meta: list of (label, text); scenarios: list of (id, title);
    cells: {(scenario id, tool name): Cell}; notes: list of lines."""
    lines = ["## kuvet benchmark", ""]
    for label, text in meta:
        lines.append("- %s: %s" % (label, text))
    lines += ["", "| scenario | tool | median wall | runs | peak RSS | kuvet ÷ tool | check |",
              "|---|---|--:|---|--:|--:|---|"]
    for scenario, title in scenarios:
        kuvet = cells.get((scenario, "kuvet"))
        for tool in tools:
            cell = cells.get((scenario, tool))
            if cell is None:
                continue
            runs = " / ".join("%.2f" % w for w in cell.walls) or "–"
            check = "FAILED: " + cell.failure if cell.failure else "ok"
            lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
                title, tool, seconds(cell.median), runs, mib(cell.peak_rss),
                "" if tool == "kuvet" else ratio(kuvet, cell), check.replace("|", "/")))
    lines += ["", "Median wall time per cell, with kuvet's time ÷ the tool's in brackets "
              "(below 1: kuvet is faster):", ""]
    lines.append("| scenario | " + " | ".join(tools) + " |")
    lines.append("|---|" + "--:|" * len(tools))
    for scenario, title in scenarios:
        kuvet = cells.get((scenario, "kuvet"))
        row = []
        for tool in tools:
            cell = cells.get((scenario, tool))
            if cell is None:
                row.append("")
            elif cell.failure:
                row.append("FAILED")
            elif tool == "kuvet":
                row.append(seconds(cell.median))
            else:
                row.append("%s (%s)" % (seconds(cell.median), ratio(kuvet, cell)))
        lines.append("| %s | %s |" % (title, " | ".join(row)))
    if notes:
        lines += [""] + ["- " + note for note in notes]
    return "\n".join(lines) + "\n"
