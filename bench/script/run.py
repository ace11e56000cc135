#!/usr/bin/python3
"""Times each script benchmark with the script engine and with Lua 5.4 in
the same run and prints the ratio per benchmark (best wall time of several
interleaved runs each, since the machines are shared and noisy).

usage: bench/script/run.py [BUILD_DIR] [RUNS]
BUILD_DIR is a configured and built tree (default: build); the benchmark
host is compiled here against its libtorvane_script.a and libtorvane_base.a.
"""
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BENCHMARKS = ["fib", "loop", "strings", "assoc", "regex"]
GOALS = {"fib": 2.0, "loop": 2.0, "strings": 3.0, "assoc": 3.0, "regex": 3.0}


def build_host(build_dir):
    out = os.path.join(build_dir, "bench_script_host")
    pkg = subprocess.run(["pkg-config", "--libs", "libpcre2-8"], capture_output=True, text=True, check=True)
    command = ["g++", "-std=c++20", "-O2", "-I" + os.path.join(ROOT, "src"),
               os.path.join(HERE, "bench_host.cc"),
               os.path.join(build_dir, "libtorvane_script.a"),
               os.path.join(build_dir, "libtorvane_base.a")] + pkg.stdout.split() + \
              ["-lcrypto", "-lpthread", "-o", out]
    subprocess.run(command, check=True)
    return out


def run_once(command):
    """Wall seconds and output of one run. Wall time, taken as the best of
    several runs: CPU accounting on the shared machines is too coarse for
    runs this short."""
    start = time.perf_counter()
    result = subprocess.run(command, capture_output=True, text=True, timeout=300)
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        raise SystemExit("failed: %s\n%s" % (" ".join(command), result.stderr))
    return elapsed, result.stdout.strip()


def best_times(script_command, lua_command, runs):
    """Best times of both, runs interleaved so both see the same load."""
    best = [None, None]
    outputs = [None, None]
    for _ in range(runs):
        for k, command in enumerate((script_command, lua_command)):
            elapsed, outputs[k] = run_once(command)
            best[k] = elapsed if best[k] is None else min(best[k], elapsed)
    return best, outputs


def main():
    build_dir = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    lua = shutil.which("lua5.4")
    if not lua:
        raise SystemExit("lua5.4 is not installed (apt-get install lua5.4)")
    host = build_host(build_dir)
    print("%-9s %10s %10s %7s %6s  %s" % ("bench", "script s", "lua s", "ratio", "goal", "outputs"))
    for name in BENCHMARKS:
        (script_time, lua_time), (script_out, lua_out) = best_times(
            [host, os.path.join(HERE, name + ".cs")], [lua, os.path.join(HERE, name + ".lua")], runs)
        ratio = script_time / lua_time
        print("%-9s %10.3f %10.3f %7.2f %6.1f  %s | %s" %
              (name, script_time, lua_time, ratio, GOALS[name], script_out, lua_out))


if __name__ == "__main__":
    main()
