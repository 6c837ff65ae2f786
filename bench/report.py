"""The benchmark's results as Markdown: what was measured and where, one
table per group (each round trip, the large files, the scale), and every
run in full at the end."""

import statistics


class Cell:
    """One tool on one scenario: the timed runs and, if any, a failure."""

    def __init__(self):
        self.walls = []
        self.rss_kb = []
        self.failure = ""
        self.note = ""      # what the run did, when a table shows it

    def add(self, wall, rss_kb):
        self.walls.append(wall)
        self.rss_kb.append(rss_kb)

    @property
    def median(self):
        return statistics.median(self.walls) if self.walls and not self.failure else None

    @property
    def peak_rss(self):
        return max(self.rss_kb) if self.rss_kb else None


class Table:
    """One table: `key` names its cells, rows are (scenario id, title).
    `reference`: a tool that is a limit rather than a peer (curl); `notes`:
    a column for what the run did."""

    def __init__(self, key, title, rows, tools, reference=None, notes=False):
        self.key, self.title, self.rows, self.tools = key, title, rows, tools
        self.reference, self.notes = reference, notes


def seconds(value):
    if value is None:
        return "–"
    return "%.2f s" % value if value < 10 else "%.1f s" % value


def mib(kb):
    if kb is None:
        return "–"
    return "%.1f MiB" % (kb / 1024.0) if kb < 100 * 1024 else "%.0f MiB" % (kb / 1024.0)


def ratio(kuvet, other):
    if kuvet is None or other is None or kuvet.median is None or not other.median:
        return "–"
    return "%.2f" % (kuvet.median / other.median)


def render_table(table, cells, failures):
    get = lambda scenario, tool: cells.get((table.key, scenario, tool))
    peers = [t for t in table.tools if t not in ("kuvet", table.reference)]
    head = ["scenario"] + table.tools
    if table.reference in table.tools:
        head.append("kuvet ÷ %s" % table.reference)
    if "kuvet" in table.tools and peers:
        head.append("kuvet ÷ best peer")
    if table.notes:
        head.append("what it did")
    lines = ["### " + table.title, "", "| " + " | ".join(head) + " |",
             "|---|" + "--:|" * (len(head) - 1 - table.notes) + "---|" * table.notes]
    for scenario, title in table.rows:
        row = [title]
        for tool in table.tools:
            cell = get(scenario, tool)
            if cell is None:
                row.append("")
            elif cell.failure:
                row.append("FAILED")
                failures.append("%s, %s, %s: %s" % (table.title, title, tool, cell.failure))
            else:
                row.append("%s, %s" % (seconds(cell.median), mib(cell.peak_rss)))
        kuvet = get(scenario, "kuvet")
        if table.reference in table.tools:
            row.append(ratio(kuvet, get(scenario, table.reference)))
        if "kuvet" in table.tools and peers:
            done = [(get(scenario, t).median, t) for t in peers
                    if get(scenario, t) is not None and get(scenario, t).median]
            best = min(done) if done else None
            row.append("%s (%s)" % (ratio(kuvet, get(scenario, best[1])), best[1]) if best else "–")
        if table.notes:
            row.append(kuvet.note if kuvet is not None else "")
        lines.append("| " + " | ".join(row).replace("\n", " ") + " |")
    return lines + [""]


def render(meta, tables, cells, notes):
    """meta: list of (label, text); tables: list of Table; cells:
    {(table key, scenario id, tool name): Cell}; notes: list of lines."""
    lines = ["## kuvet benchmark", ""]
    lines += ["- %s: %s" % (label, text) for label, text in meta] + [""]
    lines += ["Each cell: median wall time, peak RSS. kuvet ÷ another tool below 1 means "
              "kuvet took less time; the best peer is the fastest tool other than kuvet "
              "(and curl) that passed.", ""]
    failures = []
    for table in tables:
        lines += render_table(table, cells, failures)
    if failures:
        lines += ["Failures:", ""] + ["- " + f.replace("|", "/") for f in failures] + [""]
    if notes:
        lines += ["- " + note for note in notes] + [""]
    lines += ["### Every run", "", "| table | scenario | tool | runs (s) | peak RSS | check |",
              "|---|---|---|---|--:|---|"]
    for table in tables:
        for scenario, _ in table.rows:
            for tool in table.tools:
                cell = cells.get((table.key, scenario, tool))
                if cell is not None:
                    runs = " / ".join("%.2f" % w for w in cell.walls) or "–"
                    check = "FAILED" if cell.failure else "ok"
                    lines.append("| %s | %s | %s | %s | %s | %s |" % (
                        table.key, scenario, tool, runs, mib(cell.peak_rss), check))
    return "\n".join(lines) + "\n"
