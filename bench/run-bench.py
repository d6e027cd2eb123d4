#!/usr/bin/env python3
"""Benchmark of every reader and writer of vornconv, and of --tree, --manifest and --export-states.

Builds the release program (build/release), generates every input in one temporary folder
(removed at the end) with the generators beside this script, and measures, for each format in
two shapes (many small plug-in states; one large plug-in state) at 1x, 2x and 4x:

  format    shapes: many small states (1x / 2x / 4x) | one large state (1x / 2x / 4x)  operations
  scene     64 strips x 2 / 4 / 8 slots, 32 KiB each  | 16 / 32 / 64 MiB            dump, --manifest, --export-states, --plan and --convert vorn
  superrack 16 / 32 / 64 strips x 8 slots, 16 KiB each | 4 / 8 / 16 MiB              dump, --manifest, --export-states, --plan and --convert superrack-performer
  reaper    64 / 128 / 256 tracks x 8 slots, 8 KiB each | 16 / 32 / 64 MiB           dump, --manifest, --export-states, --plan and --convert reaper
  rack2     16 / 32 / 64 strips x 8 slots, 16 KiB each | 4 / 8 / 16 MiB              dump, --tree, --manifest, --export-states, --plan and --convert liveprofessor

A plan runs the convert's writer up to its output (the document built and proven in memory), so
it is measured beside the convert of the same input: it must cost no more.

A state's size is that of the block the format stores for it, after its text encoding is undone
(the JUCE VST3 container of a scene slot or a LiveProfessor chunk, SuperRack's preset component,
REAPER's VST3 wrapper): the 64 MiB limit of a state applies to that block, so the largest scene
and REAPER states sit at the limit.

Then the special rows: a REAPER project with one 16 MiB state (convert against dump, taken from
the one-large-state rows), LiveProfessor projects with 1,000,000 parameters (the limit) and
1,000,001 (refused): dump, --tree and --manifest against sha256sum of the file, and the scene of
64 x 8 states of 128 MiB in all: dump, --manifest, plan and convert, with --manifest against
sha256sum of the state bytes alone and the plan against the convert (time and peak memory).

Every operation is first run once and its output checked (the inputs must read as complete and
convert), then timed RUNS times; the runs of one group go round its 1x, 2x and 4x inputs in turn,
each with sha256sum of the same input, so that ratios compare runs made side by side. The table
gives the median wall time, the peak resident memory of the child (its ru_maxrss, the largest of
the runs; see Runner.run for why /usr/bin/time takes it) and its ratio to the input size, the
ratio to the time at 1x and the ratio to sha256sum of the same input; the goals column marks
every goal a row is judged by as met or MISSED. Memory goals are judged only on inputs of 16 MiB
or more, where the program's own few MiB do not decide the ratio. The LiveProfessor rack2 "read"
of the parameter-limit rows is --manifest: the read with the least printing besides the dump.

usage: run-bench.py [--runs N] [--formats scene,superrack,reaper,rack2,special] [--small] [--scene-mib MIB]
"""
import argparse, os, shutil, statistics, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BENCH = os.path.join(ROOT, "bench")
KIB = 1024
MIB = 1024 * 1024
FORMATS = ("scene", "superrack", "reaper", "rack2", "special")

TIME = "/usr/bin/time" if os.access("/usr/bin/time", os.X_OK) else None
GROWTH_LIMIT = 5.0          # time at 4x over time at 1x
MEMORY_JUDGED_FROM = 16 * MIB


def log(text):
    print(text, file=sys.stderr, flush=True)


def generate(script, *args):
    subprocess.check_call([sys.executable, os.path.join(BENCH, script)] + [str(a) for a in args])


class Op:
    """One operation on one input. argv(scratch) gives the command line; scratch is a fresh empty
    folder made before every run and removed after it (outputs, exported states, caches)."""

    def __init__(self, name, argv, expect, rc=0, home=None):
        self.name, self.argv, self.expect, self.rc, self.home = name, argv, expect, rc, home


class Input:
    def __init__(self, path, label, ops):
        self.path, self.label, self.ops = path, label, ops
        self.size = os.path.getsize(path)


class Runner:
    def __init__(self, folder):
        self.folder = folder
        self.tmp = os.path.join(folder, "tmp")
        self.home = os.path.join(folder, "home")
        # Outputs (converted files, exported states) go to memory when the machine has a tmpfs:
        # written to disk, the kernel's writeback of earlier runs' files would time itself.
        shm = "/dev/shm"
        self.scratch_root = tempfile.mkdtemp(prefix="vorn-bench-out-", dir=shm) if os.path.isdir(shm) else folder
        self.scratch = os.path.join(self.scratch_root, "scratch")
        self.rss_file = os.path.join(folder, "peak-rss")
        os.makedirs(self.tmp)
        os.makedirs(self.home)

    def run(self, argv, home=None, out=None, err=None):
        """Runs argv with its own TMPDIR and HOME; returns (seconds, peak bytes, exit code).

        Linux carries the memory high-water mark of a process across exec, so a child forked
        from this Python process would report at least Python's own resident size as its peak.
        The child is therefore started by /usr/bin/time, a small process, which takes the
        child's ru_maxrss from its own wait4 and writes it to a file (%M, KiB)."""
        env = dict(os.environ, TMPDIR=self.tmp, HOME=home or self.home, LC_ALL="C")
        if TIME:
            argv = [TIME, "-f", "%M", "-o", self.rss_file, "--"] + argv
        start = time.monotonic()
        proc = subprocess.Popen(argv, stdout=out or subprocess.DEVNULL, stderr=err or subprocess.DEVNULL, cwd=self.folder, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        elapsed = time.monotonic() - start
        rc = os.waitstatus_to_exitcode(status)
        peak = usage.ru_maxrss * KIB  # ru_maxrss is in KiB on Linux
        if TIME:
            with open(self.rss_file) as f:
                lines = f.read().split()
            peak = int(lines[-1]) * KIB
        return elapsed, peak, rc

    def run_op(self, op, out=None, err=None):
        os.makedirs(self.scratch)
        try:
            return self.run(op.argv(self.scratch), op.home, out, err)
        finally:
            shutil.rmtree(self.scratch)

    def check(self, op, item):
        """One run whose output is kept and checked: a benchmark of a failing run means nothing.
        The program prints everything on standard output, so standard error must stay empty."""
        out_path, err_path = os.path.join(self.folder, "check.out"), os.path.join(self.folder, "check.err")
        with open(out_path, "wb") as out, open(err_path, "wb") as err:
            _, _, rc = self.run_op(op, out, err)
        with open(out_path, "rb") as f:
            text = f.read(1 << 20).decode("utf-8", "replace")
        with open(err_path, "rb") as f:
            errors = f.read(1 << 16).decode("utf-8", "replace")
        os.remove(out_path)
        os.remove(err_path)
        if rc != op.rc or op.expect not in text or errors:
            sys.exit("check failed (exit %d, expected %d and %r): %s %s\n%s%s"
                     % (rc, op.rc, op.expect, op.name, item.path, text[:3000], "\nstandard error:\n" + errors if errors else ""))
        leftovers = os.listdir(self.tmp)
        if leftovers:
            sys.exit("left behind in TMPDIR by %s %s: %s" % (op.name, item.path, leftovers))


def sha_op(path):
    return Op("sha256sum", lambda s: ["sha256sum", path], os.path.basename(path))


def target_ops(program, target, options, path, output, home=None):
    """The plan and the convert of one input to one target, side by side; options(scratch) gives
    their options but --output."""
    plan = Op("--plan " + target, lambda s: [program, "--plan", target] + options(s) + [path], "  WRITE: allowed", home=home)
    convert = Op("--convert " + target,
                 lambda s: [program, "--convert", target] + options(s) + ["--output", os.path.join(s, output), path], "CANDIDATE  ",
                 home=home)
    return [plan, convert]


def read_ops(program, path, with_tree=False):
    ops = [Op("dump", lambda s: [program, path], "READ    complete")]
    if with_tree:
        ops.append(Op("--tree", lambda s: [program, "--tree", path], "LiveProfessorProjectFile"))
    ops.append(Op("--manifest", lambda s: [program, "--manifest", path], '{"schema": "vorn-rack-manifest-v1"'))
    ops.append(Op("--export-states", lambda s: [program, "--export-states", os.path.join(s, "states"), path],
                  "EXPORT  plugin states -> "))
    return ops


# ---- the inputs of every format ----

def scene_input(program, folder, shape, scale):
    path = os.path.join(folder, "scene-%s-%dx.ksn" % (shape, scale))
    if shape == "small":
        slots = 2 * scale
        generate("make-large-scene.py", path, 64 * slots * 32 * KIB // MIB, "--slots", slots)
        label = "64x%d, 32 KiB" % slots
    else:
        generate("make-large-scene.py", path, "--one-state", 16 * MIB * scale)
        label = "1, %d MiB" % (16 * scale)
    convert = target_ops(program, "vorn", lambda s: ["--factory-catalog", path + ".catalog.tsv"], path, "out.ksn")
    return Input(path, label, read_ops(program, path) + convert)


def superrack_input(program, folder, shape, scale):
    path = os.path.join(folder, "superrack-%s-%dx.sprk" % (shape, scale))
    if shape == "small":
        strips = 16 * scale
        generate("make-superrack-session.py", path, "--strips", strips, "--slots", 8, "--state", 16 * KIB)
        label = "%dx8, 16 KiB" % strips
    else:
        generate("make-superrack-session.py", path, "--strips", 1, "--slots", 1, "--state", 4 * MIB * scale)
        label = "1, %d MiB" % (4 * scale)
    convert = target_ops(program, "superrack-performer",
                         lambda s: ["--factory-catalog", path + ".tsv", "--template", path + ".template.sprk"], path, "out.sprk")
    return Input(path, label, read_ops(program, path) + convert)


def reaper_input(program, folder, shape, scale):
    path = os.path.join(folder, "reaper-%s-%dx.rpp" % (shape, scale))
    if shape == "small":
        tracks, slots = 64 * scale, 8
        generate("make-reaper-project.py", path, "states", tracks, slots, 8 * KIB)
        label = "%dx8, 8 KiB" % tracks
    else:
        tracks, slots = 1, 1
        # The generator trims the largest state to what a plug-in block of 64 MiB can carry.
        generate("make-reaper-project.py", path, "states", 1, 1, 16 * MIB * scale)
        label = "1, %d MiB" % (16 * scale)
    convert = target_ops(program, "reaper",
                         lambda s: ["--profile", "%dx%d" % (tracks, slots), "--factory-catalog", path + ".tsv", "--reaper-cache", path + ".ini"],
                         path, "out.rpp")
    return Input(path, label, read_ops(program, path) + convert)


def rack2_input(program, folder, shape, scale):
    path = os.path.join(folder, "rack2-%s-%dx.rack2" % (shape, scale))
    kit = path + ".kit"
    if shape == "small":
        strips, slots = 16 * scale, 8
        generate("make-rack2.py", path, "--strips", strips, "--slots", slots, "--state", 16 * KIB, "--params", 256, "--convert-kit", kit)
        label = "%dx8, 16 KiB" % strips
    else:
        strips, slots = 1, 1
        generate("make-rack2.py", path, "--state", 4 * MIB * scale, "--convert-kit", kit)
        label = "1, %d MiB" % (4 * scale)
    convert = target_ops(program, "liveprofessor",
                         lambda s: ["--profile", "%dx%d" % (strips, slots), "--io", "128x128", "--factory-catalog", os.path.join(kit, "cat.tsv"),
                                    "--plugin-probe", os.path.join(kit, "probe.sh"), "--parameter-cache", os.path.join(s, "cache")],
                         path, "out.rack2", home=os.path.join(kit, "home"))
    return Input(path, label, read_ops(program, path, with_tree=True) + convert)


MAKERS = {"scene": scene_input, "superrack": superrack_input, "reaper": reaper_input, "rack2": rack2_input}


# ---- measuring ----

class Row:
    def __init__(self, fmt, shape, scale, item, op, times, peak, sha_time):
        self.fmt, self.shape, self.scale, self.item, self.op = fmt, shape, scale, item, op
        self.time = statistics.median(times)
        self.peak = peak
        self.vs_sha = self.time / sha_time if sha_time else None
        self.vs_1x = None
        self.goals = []

    def judge(self, text, value, limit):
        met = value is not None and value <= limit
        self.goals.append("%s %s" % (text, "met" if met else "MISSED"))
        return met


def measure(runner, groups, runs):
    """groups: list of (format, shape, [(scale, Input)]). Every op is checked once, then timed
    runs times, going round the scales (and sha256sum of each input) in turn."""
    rows = []
    for fmt, shape, items in groups:
        log("measuring %s, %s" % (fmt, shape))
        for _, item in items:
            for op in item.ops:
                runner.check(op, item)
        times = {}
        peaks = {}
        for _ in range(runs):
            for scale, item in items:
                for op in [sha_op(item.path)] + item.ops:
                    elapsed, peak, rc = runner.run_op(op)
                    if rc != op.rc:
                        sys.exit("%s %s exited %d" % (op.name, item.path, rc))
                    times.setdefault((scale, op.name), []).append(elapsed)
                    peaks[(scale, op.name)] = max(peaks.get((scale, op.name), 0), peak)
        for scale, item in items:
            sha_time = statistics.median(times[(scale, "sha256sum")])
            for op in [sha_op(item.path)] + item.ops:
                rows.append(Row(fmt, shape, scale, item, op.name, times[(scale, op.name)], peaks[(scale, op.name)], sha_time))
    return rows


def judge_rows(rows):
    base = {(r.fmt, r.shape, r.op): r.time for r in rows if r.scale == 1}
    for r in rows:
        key = (r.fmt, r.shape, r.op)
        if key in base and r.shape in ("many small", "one large"):
            r.vs_1x = r.time / base[key]
            if r.scale == 4 and r.op != "sha256sum":
                r.judge("4x<=%gx" % GROWTH_LIMIT, r.vs_1x, GROWTH_LIMIT)
        if r.item.size < MEMORY_JUDGED_FROM or r.op == "sha256sum" or r.item.ops[0].rc != 0:
            continue
        ratio = r.peak / r.item.size
        if r.fmt == "reaper" and r.op in ("dump", "--manifest"):
            r.judge("mem<=4x", ratio, 4.0)
        elif r.op in ("dump", "--manifest"):
            r.judge("mem<=2x", ratio, 2.0)
        elif r.fmt == "scene" and r.op in ("--plan vorn", "--convert vorn"):
            r.judge("mem<=3x", ratio, 3.0)


def special_groups(program, folder, scene_mib):
    """The LiveProfessor parameter limit and the large scene, measured like the other groups."""
    groups = []
    items = []
    for count, expect, rc in ((1000000, None, 0), (1000001, "ERROR   LiveProfessor project exceeds a safety limit", 1)):
        path = os.path.join(folder, "rack2-params-%d.rack2" % count)
        generate("make-rack2.py", path, "--params", count)
        if rc == 0:
            ops = [Op("dump", lambda s, p=path: [program, p], "READ    complete"),
                   Op("--tree", lambda s, p=path: [program, "--tree", p], "LiveProfessorProjectFile"),
                   Op("--manifest", lambda s, p=path: [program, "--manifest", p], '"parameterMirrorComplete": true')]
        else:
            ops = [Op("dump", lambda s, p=path: [program, p], expect, rc),
                   Op("--tree", lambda s, p=path: [program, "--tree", p], "ERROR   ValueTree exceeds a safety limit", rc),
                   Op("--manifest", lambda s, p=path: [program, "--manifest", p], expect, rc)]
        items.append((count, Input(path, "%d parameters" % count, ops)))
    groups.append(("rack2", "parameters", items))

    path = os.path.join(folder, "scene-64x8.ksn")
    generate("make-large-scene.py", path, scene_mib)
    state_bytes = path + ".state-bytes"
    scene = Input(path, "64x8, %d MiB in all" % scene_mib, [
        Op("sha256sum of the state bytes", lambda s: ["sha256sum", state_bytes], os.path.basename(state_bytes)),
        Op("dump", lambda s: [program, path], "READ    complete"),
        Op("--manifest", lambda s: [program, "--manifest", path], '{"schema": "vorn-rack-manifest-v1"'),
    ] + target_ops(program, "vorn", lambda s: ["--factory-catalog", path + ".catalog.tsv"], path, "out.ksn"))
    groups.append(("scene", "64x8 road", [(1, scene)]))
    return groups


def special_rows(rows):
    """Goals that compare two operations; returns lines for the table's second part."""
    lines = []

    def find(fmt, shape, scale, op):
        for r in rows:
            if (r.fmt, r.shape, r.scale, r.op) == (fmt, shape, scale, op):
                return r
        return None

    def line(what, numerator, denominator, limit):
        if numerator is None or denominator is None:
            return
        ratio = numerator.time / denominator.time
        lines.append("%-72s %8.3f s / %8.3f s = %6.2f  (goal <= %g: %s)"
                     % (what, numerator.time, denominator.time, ratio, limit, "met" if ratio <= limit else "MISSED"))

    convert = find("reaper", "one large", 1, "--convert reaper")
    dump = find("reaper", "one large", 1, "dump")
    line("REAPER one 16 MiB state: --convert reaper / dump", convert, dump, 3.0)
    for count in (1000000, 1000001):
        sha = find("rack2", "parameters", count, "sha256sum")
        for op in ("dump", "--tree", "--manifest"):
            shown = "--manifest (read)" if op == "--manifest" else op
            what = "LiveProfessor %d parameters%s: %s / sha256sum" % (count, "" if count == 1000000 else " (refused)", shown)
            line(what, find("rack2", "parameters", count, op), sha, 30.0)
    state_sha = find("scene", "64x8 road", 1, "sha256sum of the state bytes")
    line("scene 64x8: --manifest / sha256sum of the state bytes", find("scene", "64x8 road", 1, "--manifest"), state_sha, 2.5)
    line("scene 64x8: --convert vorn / dump", find("scene", "64x8 road", 1, "--convert vorn"), find("scene", "64x8 road", 1, "dump"), 2.6)
    plan, convert = find("scene", "64x8 road", 1, "--plan vorn"), find("scene", "64x8 road", 1, "--convert vorn")
    line("scene 64x8: --plan vorn / --convert vorn", plan, convert, 1.0)
    if plan is not None and convert is not None:
        # Peaks of the same allocations differ by a few KiB from run to run (page tables, the
        # allocator's own records): within 1 MiB is no more.
        met = plan.peak <= convert.peak + MIB
        lines.append("%-72s %8.1f M / %8.1f M = %6.2f  (goal: no more, within 1 MiB: %s)"
                     % ("scene 64x8: peak memory of --plan vorn / --convert vorn", plan.peak / MIB, convert.peak / MIB,
                        plan.peak / convert.peak, "met" if met else "MISSED"))
    return lines


def print_table(rows, extra, runs):
    header = "%-9s %-10s %-7s %-20s %-30s %9s %9s %9s %7s %7s %7s  %s" % (
        "format", "shape", "scale", "input", "operation", "MiB", "time s", "peak MiB", "peak/in", "vs 1x", "vs sha", "goals")
    print()
    print("median of %d runs; peak = largest ru_maxrss of the child over the runs (%s); vs 1x = time over the time at 1x; "
          "vs sha = time over sha256sum of the same input" % (runs, "by /usr/bin/time" if TIME else
                                                             "by os.wait4: small peaks show this Python's own size"))
    print(header)
    print("-" * len(header))
    last = None
    for r in rows:
        group = (r.fmt, r.shape)
        if last is not None and group != last:
            print()
        last = group
        scale = "%dx" % r.scale if r.shape in ("many small", "one large") else ""
        print("%-9s %-10s %-7s %-20s %-30s %9.1f %9.3f %9.1f %7.2f %7s %7s  %s" % (
            r.fmt, r.shape, scale, r.item.label, r.op, r.item.size / MIB, r.time, r.peak / MIB, r.peak / r.item.size,
            "%.2f" % r.vs_1x if r.vs_1x is not None else "", "%.2f" % r.vs_sha if r.vs_sha is not None else "",
            ", ".join(r.goals)))
    print()
    for text in extra:
        print(text)
    judged = [g for r in rows for g in r.goals] + extra
    missed = [g for g in judged if "MISSED" in g]
    print()
    print("goals: %d judged, %d met, %d missed" % (len(judged), len(judged) - len(missed), len(missed)))
    for r in rows:
        for g in r.goals:
            if "MISSED" in g:
                print("  MISSED: %s %s %dx %s: %s" % (r.fmt, r.shape, r.scale, r.op, g))
    for text in extra:
        if "MISSED" in text:
            print("  MISSED: " + text)


def build():
    build_dir = os.path.join(ROOT, "build", "release")
    subprocess.check_call([os.path.join(ROOT, "scripts", "setup.sh")])
    subprocess.check_call(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release"], stdout=subprocess.DEVNULL)
    subprocess.check_call(["cmake", "--build", build_dir, "-j4", "--target", "vornconv"], stdout=subprocess.DEVNULL)
    return os.path.join(build_dir, "bin", "vornconv")


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("--runs", type=int, default=3, help="timed runs of every operation (the median is shown)")
    parser.add_argument("--formats", default=",".join(FORMATS), help="comma-separated subset of " + ",".join(FORMATS))
    parser.add_argument("--small", action="store_true", help="only the many-small-states shape and no special rows")
    parser.add_argument("--scene-mib", type=int, default=128, help="MiB of state bytes in the 64x8 scene of the special rows")
    args = parser.parse_args()
    formats = [f for f in args.formats.split(",") if f]
    unknown = [f for f in formats if f not in FORMATS]
    if unknown or args.runs < 1:
        parser.error("unknown format %s" % unknown if unknown else "--runs must be 1 or more")

    program = build()
    started = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as folder:
        runner = Runner(folder)
        rows = []
        for fmt in formats:
            if fmt == "special":
                if args.small:
                    continue
                log("generating the special inputs")
                groups = special_groups(program, folder, args.scene_mib)
            else:
                groups = []
                for shape, name in (("small", "many small"), ("large", "one large")):
                    if args.small and shape == "large":
                        continue
                    log("generating %s, %s" % (fmt, name))
                    groups.append((fmt, name, [(scale, MAKERS[fmt](program, folder, shape, scale)) for scale in (1, 2, 4)]))
            rows += measure(runner, groups, args.runs)
            for _, _, items in groups:  # free the disk for the next format
                for _, item in items:
                    for name in os.listdir(folder):
                        if name.startswith(os.path.basename(item.path)):
                            target = os.path.join(folder, name)
                            shutil.rmtree(target) if os.path.isdir(target) else os.remove(target)
        judge_rows(rows)
        extra = special_rows(rows)
        if runner.scratch_root != folder:
            shutil.rmtree(runner.scratch_root, ignore_errors=True)
    print_table(rows, extra, args.runs)
    print("\n%.0f s in all" % (time.monotonic() - started))


if __name__ == "__main__":
    main()
