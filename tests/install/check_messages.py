#!/usr/bin/env python3
"""Checks that the manual page names the same failure messages as README.md's table of
failures ("Failures it guards against"), the one place they are all listed: each message of
the table is one the manual page describes, and each message the manual page describes is
in the table. A placeholder (<key> in the table, an italic word in the page) stands for any
text.

Usage: check_messages.py README.md varnolix.1.in
"""

import re
import sys


def table_messages(readme):
    """The first message in code of each row of the failure table."""
    section = readme.split("### Failures it guards against", 1)[1].split("\n\n", 2)[2]
    messages = []
    for row in section.split("\n\n", 1)[0].splitlines():
        cells = row.split(" | ")
        if len(cells) < 2 or row.startswith("|---"):
            continue
        code = re.search(r"`([^`]*)`", cells[-1])
        if code and code.group(1).startswith("Could not"):
            messages.append(code.group(1))
    return messages


def page_messages(page):
    """The messages of the page's DIAGNOSTICS: the tag of each entry, italic words as <...>."""
    diagnostics = page.split(".SH DIAGNOSTICS", 1)[1].split("\n.SH ", 1)[0]
    messages = []
    for line in diagnostics.splitlines():
        if line.startswith(".B ") and "Could not" in line:
            messages.append(line[3:].replace(r"\(aq", "'"))
        elif line.startswith(".BI ") and "Could not" in line:
            # Alternating bold (quoted) and italic (bare) words.
            parts = re.findall(r'"([^"]*)"|(\S+)', line[4:])
            messages.append("".join(bold if bold or not italic else "<" + italic + ">" for bold, italic in parts)
                            .replace(r"\(aq", "'"))
    return messages


def pattern(message):
    """A regular expression matching `message` with each placeholder standing for any text."""
    pieces = re.split(r"<[^>]*>", message)
    return re.compile("^" + ".+".join(re.escape(piece) for piece in pieces) + "$")


def names(described, listed):
    """Whether the page's message `described` names the table's message `listed`: the same
    words, placeholders aside, or, for a reason the system gives (such as "Cannot allocate
    memory"), a placeholder that stands for it. Refusals, in lower case, are named exactly."""
    blank = lambda message: re.sub(r"<[^>]*>", "<>", message)
    if blank(described) == blank(listed):
        return True
    reason = listed.rsplit(": ", 1)[-1]
    return reason[:1].isupper() and pattern(described).match(re.sub(r"<[^>]*>", "x", listed)) is not None


def main():
    readme, page = (open(path, encoding="utf-8").read() for path in sys.argv[1:3])
    table = table_messages(readme)
    described = page_messages(page)
    if len(table) < 10 or len(described) < 10:
        print("too few messages found: %d in the table, %d in the page" % (len(table), len(described)))
        return 1
    missing = [m for m in table if not any(names(d, m) for d in described)]
    extra = [d for d in described if not any(names(d, m) for m in table)]
    for message in missing:
        print("in README.md, not in the manual page: " + message)
    for message in extra:
        print("in the manual page, not in README.md: " + message)
    print("%d passed, %d failed" % (len(table) + len(described) - len(missing) - len(extra), len(missing) + len(extra)))
    return 1 if missing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
