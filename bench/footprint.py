#!/usr/bin/env python3
"""Program footprint: start-up time and peak resident memory of the two
programs beside the smallest C and GTK programs, measured alternately in one
run so that both sides see the same machine load.

  consoledemo  from exec to its name prompt on a pseudo-terminal, against
               footprint_hello (prints one line); peak RSS from wait4.
  argreport    from exec to its dialog mapped on a private Xvfb display,
               against footprint_gtk_window; both load footprint_map_probe,
               which ends the process when the first window is mapped.

Usage: bench/footprint.py [--build DIR] [--runs N]
DIR is a build with KRT_BENCH on (default build/bench). Xvfb is started on a
free display (-displayfd) and ended by its process id.
"""
import argparse
import os
import pty
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

PROMPT = b"Please enter your name"


def timed(argv):
    """argv under /usr/bin/time, which reports the program's peak RSS: a
    child forked from this script would start from the script's own
    high-water mark."""
    out = tempfile.NamedTemporaryFile(prefix="footprint-", delete=False)
    out.close()
    return ["/usr/bin/time", "-f", "%M", "-o", out.name] + argv, out.name


def peak_rss(path):
    with open(path) as f:
        lines = [l for l in f.read().split("\n") if l.strip().isdigit()]
    os.unlink(path)
    return int(lines[-1]) if lines else 0


def program_pid(parent):
    """The process that /usr/bin/time started."""
    for _ in range(200):
        try:
            with open("/proc/%d/task/%d/children" % (parent, parent)) as f:
                kids = f.read().split()
            if kids:
                return int(kids[0])
        except OSError:
            pass
        time.sleep(0.001)
    return parent


def run_to_output(argv, marker, env, timeout=30.0):
    """Runs argv on a new pseudo-terminal until `marker` appears in its output.
    Returns (seconds to marker, peak RSS in KiB); the program is then ended
    by its process id."""
    argv, rss_file = timed(argv)
    master, slave = pty.openpty()
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            for fd in (0, 1, 2):
                os.dup2(slave, fd)
            os.close(master)
            os.close(slave)
            os.execve(argv[0], argv, env)
        finally:
            os._exit(127)
    os.close(slave)
    seen = b""
    elapsed = None
    deadline = start + timeout
    while elapsed is None and time.perf_counter() < deadline:
        ready, _, _ = select.select([master], [], [], 0.5)
        if not ready:
            continue
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
        if marker in seen:
            elapsed = time.perf_counter() - start
    try:
        os.kill(program_pid(pid), signal.SIGKILL)  # the program, by its pid; time then reports
    except ProcessLookupError:
        pass
    os.waitpid(pid, 0)
    os.close(master)
    if elapsed is None:
        sys.exit("%s: no %r within %.0f s (saw %r)" % (argv[-1], marker, timeout, seen[-200:]))
    return elapsed, peak_rss(rss_file)


def run_to_map(argv, env, timeout=60.0):
    """Runs a GTK program with the map probe until its first window is mapped.
    Returns (seconds to the map, peak RSS in KiB)."""
    argv, rss_file = timed(argv)
    read_end, write_end = os.pipe()
    env = dict(env, KRT_MAP_FD=str(write_end))
    devnull = os.open(os.devnull, os.O_RDWR)
    start = time.perf_counter()
    pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.set_inheritable(write_end, True)
            for fd in (0, 1, 2):
                os.dup2(devnull, fd)
            os.execve(argv[0], argv, env)
        finally:
            os._exit(127)
    os.close(write_end)
    os.close(devnull)
    ready, _, _ = select.select([read_end], [], [], timeout)
    elapsed = time.perf_counter() - start if ready and os.read(read_end, 1) == b"m" else None
    os.close(read_end)
    if elapsed is None:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    _, status = os.waitpid(pid, 0)
    if elapsed is None:
        sys.exit("%s: no window mapped within %.0f s (status %d)" % (argv[-1], timeout, status))
    return elapsed, peak_rss(rss_file)


def start_xvfb():
    read_end, write_end = os.pipe()
    proc = subprocess.Popen(
        ["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-screen", "0", "1024x768x24"],
        pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    text = b""
    while not text.endswith(b"\n"):
        ready, _, _ = select.select([read_end], [], [], 20)
        chunk = os.read(read_end, 16) if ready else b""
        if not chunk:
            proc.kill()  # by its pid
            proc.wait()
            sys.exit("Xvfb did not start")
        text += chunk
    os.close(read_end)
    return proc, ":" + text.decode().strip()


def compare(title, runs, program, reference, measure, time_goal, rss_goal):
    mine, theirs = [], []
    for _ in range(runs):  # alternate, so both see the same load
        mine.append(measure(program))
        theirs.append(measure(reference))
    t_mine = statistics.median(t for t, _ in mine)
    t_ref = statistics.median(t for t, _ in theirs)
    r_mine = max(r for _, r in mine)
    r_ref = max(r for _, r in theirs)
    print("\n%s (median of %d runs each, peak RSS the largest)" % (title, runs))
    print("| program | start, ms | peak RSS, KiB |")
    print("|---|---:|---:|")
    print("| %s | %.2f | %d |" % (os.path.basename(program[-1]), t_mine * 1e3, r_mine))
    print("| %s | %.2f | %d |" % (os.path.basename(reference[-1]), t_ref * 1e3, r_ref))
    ratio_t = t_mine / t_ref
    ratio_r = r_mine / r_ref
    print("  %-9s start ratio %.2f (goal at most %.2f)" % ("[met]" if ratio_t <= time_goal else "[NOT met]", ratio_t,
                                                            time_goal))
    if rss_goal is not None:
        print("  %-9s peak RSS ratio %.2f (goal at most %.2f)" % ("[met]" if ratio_r <= rss_goal else "[NOT met]",
                                                                   ratio_r, rss_goal))
    else:
        print("  peak RSS ratio %.2f" % ratio_r)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build/bench")
    parser.add_argument("--runs", type=int, default=30)
    args = parser.parse_args()
    b = os.path.abspath(args.build)
    consoledemo = os.path.join(b, "programs/consoledemo/consoledemo")
    argreport = os.path.join(b, "programs/argreport/argreport")
    hello = os.path.join(b, "bench/footprint_hello")
    gtk_window = os.path.join(b, "bench/footprint_gtk_window")
    probe = os.path.join(b, "bench/libfootprint_map_probe.so")
    for path in (consoledemo, hello):
        if not os.access(path, os.X_OK):
            sys.exit("missing %s: build the bench preset first" % path)

    env = dict(os.environ, TERM="xterm")
    compare("consoledemo to its prompt against a C program that prints one line", args.runs, [consoledemo],
            [hello], lambda argv: run_to_output(argv, PROMPT, env), 1.3, 1.5)

    if not all(os.path.exists(p) for p in (argreport, gtk_window, probe)):
        print("\nargreport: not built (KRT_GUI off?), skipped")
        return
    xvfb, display = start_xvfb()
    try:
        genv = dict(env, DISPLAY=display, GTK_MODULES=probe, NO_AT_BRIDGE="1")
        compare("argreport to its mapped dialog against a GTK 2 program mapping one window", args.runs, [argreport],
                [gtk_window], lambda argv: run_to_map(argv, genv), 1.2, None)
    finally:
        xvfb.terminate()  # by its pid
        xvfb.wait()


if __name__ == "__main__":
    main()
