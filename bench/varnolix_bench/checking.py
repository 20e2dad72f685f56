"""Checking the files a run leaves: digests of every tool's files, to compare the tools with
one another, and varnolix's files against the input grouped by key."""

import hashlib
import os
import zlib
from pathlib import Path


def output_digest(folder: Path, tool: str) -> dict:
    """Maps each output file's key to the SHA-256 of its content."""
    digests = {}
    for entry in folder.iterdir():
        name = entry.name
        if name in ("test.csv", "narration.out", "copy", "rss.out"):
            continue
        if tool == "miller":
            if not (name.startswith("split_") and name.endswith(".nidx")):
                continue
            name = name[len("split_"):-len(".nidx")]
        digests[name] = hashlib.sha256(entry.read_bytes()).hexdigest()
    return digests


def check_files(folder: Path, input_path: Path, distinct: int) -> tuple:
    """Compares the files in `folder` with the input grouped by first field: the same keys,
    and each file the SHA-256 of its key's lines in input order. At most 200,000 keys are
    hashed per pass over the input, to keep memory moderate. Returns the number of wrong
    keys and the first few, with what is wrong."""
    passes = max(1, -(-distinct // 200_000))
    wrong = []
    for this_pass in range(passes):
        expected = expected_digests(input_path, passes, this_pass)
        wrong.extend(compare_folder(folder, expected, passes, this_pass))
        wrong.extend((key, "missing") for key in expected)
    wrong.sort()
    return len(wrong), wrong[:5]


def outside_pass(key: bytes, passes: int, this_pass: int) -> bool:
    """Whether a key is left to another pass of check_files."""
    return passes > 1 and zlib.crc32(key) % passes != this_pass


def expected_digests(input_path: Path, passes: int, this_pass: int) -> dict:
    """Maps each key of this pass to the running SHA-256 of its lines in the input."""
    expected = {}
    with open(input_path, "rb") as lines:
        for line in lines:
            if line == b"\n":
                break  # the first empty line ends the grouping
            if not line.endswith(b"\n"):
                line += b"\n"
            cut = line.find(b";")
            key = line[:cut] if cut >= 0 else line[:-1]
            if outside_pass(key, passes, this_pass):
                continue
            digest = expected.get(key)
            if digest is None:
                digest = expected[key] = hashlib.sha256()
            digest.update(line)
    return expected


def compare_folder(folder: Path, expected: dict, passes: int, this_pass: int) -> list:
    """Checks the files of this pass against `expected`, taking out every key found; returns
    the wrong ones with what is wrong."""
    wrong = []
    with os.scandir(os.fsencode(folder)) as entries:
        for entry in entries:
            key = entry.name
            if key == b"test.csv" or outside_pass(key, passes, this_pass):
                continue
            digest = expected.pop(key, None)
            if digest is None:
                wrong.append((key, "not a key of the input"))
            elif not entry.is_file(follow_symlinks=False):
                wrong.append((key, "not a regular file"))
            else:
                with open(entry.path, "rb") as actual:
                    if hashlib.file_digest(actual, "sha256").digest() != digest.digest():
                        wrong.append((key, "content differs"))
    return wrong


def files_verdict(count: int, first: list) -> str:
    """What check_files found, as the runs' note shows it."""
    if count == 0:
        return "files right"
    return f"WRONG: {count:,} key{'s' if count > 1 else ''}, e.g. " + \
        ", ".join(f"{shown(key)} ({what})" for key, what in first)


def shown(key: bytes) -> str:
    text = key.decode("ascii", "backslashreplace")
    return text if len(text) <= 40 else text[:40] + "..."
