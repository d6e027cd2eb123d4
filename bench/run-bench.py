#!/usr/bin/env python3
"""Benchmark of the dump, the manifest and a scene-to-scene conversion of a large scene (see make-large-scene.py).

Builds the release program, generates the scene in a temporary folder, then runs sha256sum over
the scene's state bytes, the text dump, the manifest and the conversion, and prints for each the wall time, the
throughput in MB/s of input and the peak resident memory.

usage: run-bench.py [total MiB of state bytes, default 128]
"""
import os, subprocess, sys, tempfile, time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(argv):
    start = time.monotonic()
    with open(os.devnull, "wb") as devnull:
        proc = subprocess.Popen(argv, stdout=devnull)
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
    elapsed = time.monotonic() - start
    if proc.returncode != 0:
        sys.exit("failed (%d): %s" % (proc.returncode, " ".join(argv)))
    return elapsed, usage.ru_maxrss * 1024  # ru_maxrss is in KiB on Linux


def main():
    total = sys.argv[1] if len(sys.argv) > 1 else "128"
    build = os.path.join(ROOT, "build", "release")
    subprocess.check_call([os.path.join(ROOT, "scripts", "setup.sh")])
    subprocess.check_call(["cmake", "-S", ROOT, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], stdout=subprocess.DEVNULL)
    subprocess.check_call(["cmake", "--build", build, "-j4", "--target", "vornconv"], stdout=subprocess.DEVNULL)
    program = os.path.join(build, "bin", "vornconv")
    with tempfile.TemporaryDirectory(prefix="vorn-bench-") as folder:
        scene = os.path.join(folder, "large.ksn")
        subprocess.check_call([sys.executable, os.path.join(ROOT, "bench", "make-large-scene.py"), scene, total])
        scene_bytes = os.path.getsize(scene)
        state_bytes = os.path.getsize(scene + ".state-bytes")
        print("scene %.1f MB, state bytes %.1f MB" % (scene_bytes / 1e6, state_bytes / 1e6))
        rows = [
            ("sha256sum of the state bytes", [ "sha256sum", scene + ".state-bytes" ], state_bytes),
            ("vornconv dump", [program, scene], scene_bytes),
            ("vornconv --manifest", [program, "--manifest", scene], scene_bytes),
            ("vornconv --convert vorn", [program, "--convert", "vorn", "--factory-catalog", scene + ".catalog.tsv",
                                          "--output", os.path.join(folder, "converted.ksn"), scene], scene_bytes),
        ]
        for name, argv, size in rows:
            elapsed, peak = run(argv)
            print("%-30s %7.2f s  %8.1f MB/s  peak %7.1f MB (%.2fx input)"
                  % (name, elapsed, size / 1e6 / elapsed, peak / 1e6, peak / size))


if __name__ == "__main__":
    main()
