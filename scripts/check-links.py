#!/usr/bin/python3
"""Checks every relative link between the project's Markdown pages: README.md, docs/ and
the other pages of the tree (not build/ or the vendored third_party/). A link to a file
or folder must name one that exists; a link with an anchor (page.md#heading, or #heading
within the page) must name a heading of that page, by the anchor GitHub makes of it
(lower case, punctuation dropped, spaces as hyphens, a repeated heading numbered -1,
-2...) or an explicit <a id="..."> / <a name="...">. Links to other sites are not
followed. Code blocks and code spans are skipped. Prints each broken link with its
page and the line of its paragraph; exits 1 when there is any.

    scripts/check-links.py [ROOT]
"""

import os
import re
import sys

SKIP_DIRS = {"build", "third_party", "node_modules", ".git"}
LINK = re.compile(r"(?<!\\)!?\[(?:[^\]\\]|\\.)*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
HEADING = re.compile(r"^(#{1,6})\s+(.*?)\s*#*\s*$")
ANCHOR = re.compile(r"<a\s+(?:id|name)=\"([^\"]+)\"")


def pages(root):
    for folder, dirs, files in os.walk(root):
        dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not (folder == root and d.startswith(".")))
        for name in sorted(files):
            if name.endswith(".md"):
                yield os.path.join(folder, name)


def paragraphs(path):
    """(number of the first line, text) of each paragraph outside code blocks, its lines joined
    by spaces, so that a link wrapped across lines is one link."""
    start, lines, last = None, [], None
    for number, line in prose_lines(path):
        if last is not None and number != last + 1 or not line.strip():
            if lines:
                yield start, " ".join(lines)
            start, lines = None, []
        if line.strip():
            start = number if start is None else start
            lines.append(line.strip())
        last = number
    if lines:
        yield start, " ".join(lines)


def prose_lines(path):
    """(number, line) of the lines outside fenced code blocks, code spans blanked."""
    fence = None
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            stripped = line.lstrip()
            marker = re.match(r"(`{3,}|~{3,})", stripped)
            if marker:
                if fence is None:
                    fence = marker.group(1)[0] * len(marker.group(1))
                    continue
                if stripped.startswith(fence):
                    fence = None
                    continue
            if fence is None:
                yield number, re.sub(r"(`+)(?:(?!\1).)+?\1", lambda m: " " * len(m.group(0)), line.rstrip("\n"))


def slug(heading):
    text = re.sub(r"`([^`]*)`", r"\1", heading)
    text = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", text)  # a link in a heading: its text
    text = re.sub(r"<[^>]+>", "", text).strip().lower()
    text = "".join(c for c in text if c.isalnum() or c in " -_")
    return text.replace(" ", "-")


_anchors = {}


def anchors(path):
    if path not in _anchors:
        found, seen = set(), {}
        fence = None
        with open(path, encoding="utf-8") as f:
            for line in f:
                stripped = line.lstrip()
                marker = re.match(r"(`{3,}|~{3,})", stripped)
                if marker:
                    fence = None if fence and stripped.startswith(fence) else (fence or marker.group(1))
                    continue
                if fence:
                    continue
                m = HEADING.match(line.rstrip("\n"))
                if m:
                    base = slug(m.group(2))
                    n = seen.get(base, 0)
                    seen[base] = n + 1
                    found.add(base if n == 0 else f"{base}-{n}")
                found.update(ANCHOR.findall(line))
        _anchors[path] = found
    return _anchors[path]


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    broken, checked = [], 0
    for page in pages(root):
        for number, text in paragraphs(page):
            for target in LINK.findall(text):
                if re.match(r"[a-z][a-z0-9+.-]*:", target, re.I):  # http:, https:, mailto:...
                    continue
                checked += 1
                where = f"{os.path.relpath(page, root)}:{number}: {target}"
                path, _, anchor = target.partition("#")
                resolved = os.path.normpath(os.path.join(os.path.dirname(page), path)) if path else page
                if not os.path.exists(resolved):
                    broken.append(f"{where}: no such file")
                elif not resolved.startswith(root + os.sep) and resolved != root:
                    broken.append(f"{where}: outside the tree")
                elif anchor and not resolved.endswith(".md"):
                    broken.append(f"{where}: an anchor into a page that is not Markdown")
                elif anchor and anchor not in anchors(resolved):
                    broken.append(f"{where}: no heading or anchor '{anchor}' in {os.path.relpath(resolved, root)}")
    for b in broken:
        print(b)
    print(f"check-links: {checked} relative links, {len(broken)} broken", file=sys.stderr)
    return 1 if broken else 0


sys.exit(main())
