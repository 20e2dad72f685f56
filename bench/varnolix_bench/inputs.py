"""The inputs: lines 'key;payload' drawn from a seed, so that every run of the benchmark and
every build sees the same bytes, and the names of their keys, crafted ones among them."""

import itertools
import random
import sys
from array import array
from pathlib import Path

CRAFTED_BLOCKS = 14
CRAFTED_KEY_LENGTH = 16 * CRAFTED_BLOCKS


def draw(case, seed: int):
    """Returns the payloads and an iterator over chunks of (key numbers, payload numbers) of
    case.lines lines, keys drawn uniformly or skewed (Zipf-like). The draws do not depend on
    what the keys are called, so inputs that differ only in their key names are comparable."""
    rng = random.Random(seed)
    weights = list(itertools.accumulate(1.0 / (i + 1) for i in range(case.keys))) if case.skewed else None
    alphabet = "abcdefghijklmnopqrstuvwxyz0123456789;,.-"
    payload_length = max(1, case.line_length - 7)
    payloads = ["".join(rng.choice(alphabet) for _ in range(payload_length)) for _ in range(4096)]

    def chunks():
        remaining = case.lines
        while remaining > 0:
            n = min(remaining, 200_000)
            yield rng.choices(range(case.keys), cum_weights=weights, k=n), rng.choices(range(len(payloads)), k=n)
            remaining -= n

    return payloads, chunks()


def generate(path: Path, case, seed: int, names=None) -> tuple:
    """Writes case.lines lines 'key;payload'; returns the input's size and how many distinct
    keys appear in it. names: the keys as bytes (default k00000, k00001, ...). A case with
    sorted_keys set gets the same lines ordered by key, each key's lines in their order."""
    if names is None:
        names = [f"k{i:05d}".encode() for i in range(case.keys)]
    payloads, chunks = draw(case, seed)
    tails = [f";{payload}\n".encode() for payload in payloads]
    with open(path, "wb") as out:
        if not getattr(case, "sorted_keys", False):
            seen = set()
            for keys, chosen in chunks:
                seen.update(keys)
                out.write(b"".join(names[k] + tails[p] for k, p in zip(keys, chosen)))
            out.flush()  # the size is the file's, not what was handed to it so far
            return path.stat().st_size, len(seen)
        keys, chosen = array("I"), array("H")
        for chunk_keys, chunk_payloads in chunks:
            keys.extend(chunk_keys)
            chosen.extend(chunk_payloads)
        order, counts = order_by_key(keys, names, case.keys)
        for begin in range(0, len(order), 200_000):
            out.write(b"".join(names[keys[line]] + tails[chosen[line]] for line in order[begin:begin + 200_000]))
    return path.stat().st_size, sum(1 for count in counts if count)


def order_by_key(keys: array, names: list, key_count: int) -> tuple:
    """Returns the line numbers ordered by key name, each key's lines in their order, and the
    number of lines of each key. A stable counting sort: a million keys' worth of lists or
    tuples would take hundreds of MB here."""
    counts = [0] * key_count
    for k in keys:
        counts[k] += 1
    slot, total = [0] * key_count, 0
    for k in sorted(range(key_count), key=names.__getitem__):
        slot[k], total = total, total + counts[k]
    order = array("I", [0]) * len(keys)
    for line, k in enumerate(keys):
        order[slot[k]] = line
        slot[k] += 1
    return order, counts


def crafted_keys(count: int) -> list:
    """Keys of 14 blocks of 16 bytes, each block as it is or with bytes 7, 12 and 15 flipped.
    In the fast key hash, the top bit of a block's first word reaches the state that meets the
    second word as bits 63 and 34 only, which that word's flips cancel: all 2^14 keys hash
    alike whatever the seed, and only the move to SipHash keeps lookups short."""
    if count > 1 << CRAFTED_BLOCKS:
        sys.exit(f"at most {1 << CRAFTED_BLOCKS:,} crafted keys, not {count:,}")
    flips = {7: 0x80, 12: 0x04, 15: 0x80}
    blocks = [f"block{chr(ord('a') + b)}-xyzuvwqrs".encode() for b in range(CRAFTED_BLOCKS)]
    flipped = [bytes(byte ^ flips.get(at, 0) for at, byte in enumerate(block)) for block in blocks]
    return [b"".join(flipped[b] if i >> b & 1 else blocks[b] for b in range(CRAFTED_BLOCKS)) for i in range(count)]


def key_names(aim) -> list:
    """The keys of an input of --aims as bytes: k00000, ..., those padded to the crafted
    length, or crafted ones."""
    if aim.naming == "crafted":
        return crafted_keys(aim.keys)
    names = [f"k{i:05d}".encode() for i in range(aim.keys)]
    if aim.naming == "long":
        names = [name.ljust(CRAFTED_KEY_LENGTH, b"-") for name in names]
    return names
