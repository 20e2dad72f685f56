"""Running and timing the tools: each run in a fresh folder under GNU time, which reports the
peak resident memory, and under prlimit where the open-file limit is set; user time from the
children's rusage, system calls counted by strace, and the size of varnolix's spill file
sampled from /proc while it runs."""

import os
import resource
import shutil
import signal
import subprocess
import threading
import time
from pathlib import Path

_runs_made = 0


def fresh_folder(runs: Path) -> Path:
    """Creates the next run's folder, runs/run-NNNN, numbered across the whole benchmark."""
    global _runs_made
    _runs_made += 1
    work = runs / f"run-{_runs_made:04d}"
    work.mkdir(parents=True)
    return work


def open_stdout(work: Path, stdout_name):
    """Where a run's standard output goes: /dev/null, a file in its folder, or nowhere."""
    if stdout_name == "/dev/null":
        return open(os.devnull, "wb")
    if stdout_name:
        return open(work / stdout_name, "wb")
    return subprocess.DEVNULL


def run_once(tool, argv, stdout_name, runs: Path, inputs: Path, nofile: int, timeout: float, settle: bool):
    """Runs one tool in a fresh folder; returns (seconds, peak RSS KiB, exit status, stderr, folder).

    Folders are removed only when the whole benchmark ends: on ext4 without a journal,
    creating files soon after deleting thousands slows every file creation down (the
    allocator skips recently freed inodes), which would charge one tool for another's
    clean-up."""
    work = fresh_folder(runs)
    os.link(inputs / "test.csv", work / "test.csv")
    stdout = open_stdout(work, stdout_name)

    # GNU time reports the peak resident memory of the tool itself; measuring from here
    # would count this Python process, which the tool's process starts out as.
    rss_file = work / "rss.out"
    if settle:
        # Writes of earlier runs still under way would slow this one down by chance: with
        # them, the copy floor jumped between 0.04 s and 0.4 s from one run to the next.
        os.sync()
    wrapped = ["/usr/bin/time", "-f", "%M", "-o", str(rss_file)]
    if nofile and tool == "varnolix ulimit":
        wrapped += ["prlimit", f"--nofile={nofile}:{nofile}"]
    start = time.perf_counter()
    process = subprocess.Popen(wrapped + argv, cwd=work, stdout=stdout, stderr=subprocess.PIPE)
    try:
        _, err = process.communicate(timeout=timeout)
        elapsed = time.perf_counter() - start
        status = process.returncode
    except subprocess.TimeoutExpired:
        process.kill()
        _, err = process.communicate()
        elapsed, status = float("inf"), "timeout"
    rss = read_rss(rss_file)
    if hasattr(stdout, "close"):
        stdout.close()
    return elapsed, rss, status, err.decode(errors="replace").strip(), work


def read_rss(rss_file: Path) -> int:
    """The peak resident memory in KiB that GNU time wrote, or 0 if it wrote none."""
    try:
        return int(rss_file.read_text().split()[-1])
    except (OSError, ValueError, IndexError):
        return 0


def release(work: Path):
    """Removes a run's folder at once when it holds few files (dirty pages of large files
    would otherwise pile up as writeback); folders of thousands of files wait for the end
    (see run_once)."""
    if sum(1 for _ in work.iterdir()) < 1000:
        shutil.rmtree(work, ignore_errors=True)


def remove_scratch(scratch_root: Path, kept: bool):
    """Removes the run folders left for the end (see run_once), and the whole scratch folder
    unless the user named it: the inputs in a named one are kept for the next run."""
    shutil.rmtree(scratch_root if not kept else scratch_root / "runs", ignore_errors=True)


class SpillSampler(threading.Thread):
    """Follows, every 50 ms, the total size of the files without a name that varnolix holds
    open: its spill file, which on a tmpfs takes memory just as resident pages do. varnolix
    is the child of GNU time (process `parent`) once prlimit has turned into it.

    Listing 20,000 descriptors keeps a core busy for a good tenth of a second, so only the warm-up
    run is watched (the spill file depends on the input and the memory budget, not on the
    run), and the descriptors are listed again only once a second after one is found."""

    def __init__(self, parent: int, executable: str):
        super().__init__(daemon=True)
        self.parent, self.executable = parent, executable
        self.peak, self.found = 0, False
        self.stopping = threading.Event()
        self.start()

    def finish(self):
        """Returns the peak in bytes, or None if varnolix was never seen running."""
        self.stopping.set()
        self.join()
        return self.peak if self.found else None

    def run(self):
        child, unnamed, listed = None, [], 0.0
        while True:
            try:
                if child is None:
                    child = self.child_of_parent()
                if child is not None and not self.found:
                    self.found = os.readlink(f"/proc/{child}/exe") == self.executable
                if self.found:
                    if not unnamed or time.monotonic() - listed >= 1.0:
                        unnamed, listed = self.unnamed_descriptors(child), time.monotonic()
                    self.peak = max(self.peak, self.size_of(unnamed))
            except OSError:
                pass  # not started yet, or gone
            # Until it is found, look often: a short run would otherwise end unseen.
            if self.stopping.wait(0.05 if self.found else 0.001):
                return

    def child_of_parent(self):
        for entry in os.listdir("/proc"):
            if entry.isdigit():
                try:
                    with open(f"/proc/{entry}/stat", "rb") as stat:
                        # The name in parentheses may hold spaces; the parent follows the state.
                        if int(stat.read().rsplit(b")", 1)[1].split()[1]) == self.parent:
                            return int(entry)
                except (OSError, IndexError, ValueError):
                    continue
        return None

    @staticmethod
    def unnamed_descriptors(pid: int) -> list:
        folder = f"/proc/{pid}/fd"
        found = []
        for fd in os.listdir(folder):
            try:
                if os.readlink(f"{folder}/{fd}").endswith(" (deleted)"):  # O_TMPFILE: ".../#1234 (deleted)"
                    found.append(f"{folder}/{fd}")
            except OSError:
                pass
        return found

    @staticmethod
    def size_of(paths: list) -> int:
        total = 0
        for path in paths:
            try:
                status = os.stat(path)
            except OSError:
                continue
            if status.st_nlink == 0:  # the descriptor may since stand for a named file
                total += status.st_blocks * 512
        return total


def spawn(argv: list, folder: Path, timeout: float):
    """Starts argv in `folder`, standard output to /dev/null; returns the process and its start
    time. In a session of its own, so that a timeout ends the wrapped program too, not only
    its wrapper."""
    with open(os.devnull, "wb") as devnull:
        start = time.perf_counter()
        process = subprocess.Popen(argv, cwd=folder, stdout=devnull, stderr=subprocess.PIPE, start_new_session=True)
        return process, start


def finish(process, start: float, timeout: float):
    """Waits for a spawned process; returns (seconds or inf, exit status or "timeout", standard error)."""
    try:
        _, err = process.communicate(timeout=timeout)
        elapsed, status = time.perf_counter() - start, process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        _, err = process.communicate()
        elapsed, status = float("inf"), "timeout"
    return elapsed, status, err.decode(errors="replace").strip()


def run_measured(argv: list, folder: Path, nofile: int, timeout: float, settle: bool, watch: bool):
    """Runs argv in `folder` under GNU time, and prlimit when nofile is set; returns (seconds,
    peak RSS KiB, exit status, standard error, peak bytes of unnamed files or None, seconds of
    user time). The user time is that of this script's children while it ran, to the
    microsecond: argv, and GNU time and prlimit, which take a millisecond or two."""
    rss_file = folder.with_name(folder.name + ".rss")
    wrapped = ["/usr/bin/time", "-f", "%M", "-o", str(rss_file)]
    if nofile:
        wrapped += ["prlimit", f"--nofile={nofile}:{nofile}"]
    if settle:
        os.sync()  # as in run_once
    user_before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_utime
    process, start = spawn(wrapped + argv, folder, timeout)
    sampler = SpillSampler(process.pid, argv[0]) if watch else None
    elapsed, status, err = finish(process, start, timeout)
    user = resource.getrusage(resource.RUSAGE_CHILDREN).ru_utime - user_before
    spill = sampler.finish() if sampler else None
    rss = read_rss(rss_file)
    rss_file.unlink(missing_ok=True)
    return elapsed, rss, status, err, spill, user


def strace_counts(varnolix: Path, folder: Path, timeout: float, nofile: int) -> dict:
    """Runs varnolix once under strace -f -c, with the open-file limit `nofile`; returns the
    calls per system call, or {"failed": status}."""
    summary = folder.with_name(folder.name + ".strace")
    argv = ["prlimit", f"--nofile={nofile}:{nofile}", "strace", "-f", "-c", "-o", str(summary), str(varnolix)]
    process, start = spawn(argv, folder, timeout)
    _, status, _ = finish(process, start, timeout)
    counts = {}
    try:
        for line in summary.read_text().splitlines():
            fields = line.split()
            # "% time seconds usecs/call calls [errors] syscall"; the errors column may be empty.
            if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
    except OSError:
        pass
    summary.unlink(missing_ok=True)
    return counts if status == 0 else {"failed": status}
