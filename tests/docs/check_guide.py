#!/usr/bin/env python3
"""Checks the technician's guide against what the program showed in each outcome.

Usage: check_guide.py GUIDE.md TEXTS.json   (TEXTS.json as guide_scenarios.exe writes it)

The guide marks each part with <!-- outcome: NAME... -->; what follows, up to the next marker,
is about those outcomes (usually one). In it:
- every text in code marks is the program's own: a fenced block must be one whole text the
  program showed in one of them (result box, box caption or text, a control, the display), or
  whole lines in a row of the stand-in's console, an inline quote a whole text, a whole line of
  one, or whole words of a line;
- every image is a screenshot of one of them, NAME.png or NAME-box.png, and exists.
Every link to a part of the page (#id) must name a heading that exists: the symptom table at
the top is the technician's way in.
Every outcome played must have its part, with its screenshots when the program was run.
pandoc reads the guide, so what is checked is what the HTML guide shows. The guide's cause
markers are not read here: tests/docs/causes plays them on the display core.
"""
import json
import os
import re
import subprocess
import sys

MARKER = re.compile(r"^<!--\s*outcome:\s*([a-z0-9 -]+?)\s*-->$")


def elements(node):
    """The guide's markers, quotes and images, in reading order."""
    if isinstance(node, list):
        for item in node:
            yield from elements(item)
    elif isinstance(node, dict):
        kind = node.get("t")
        if kind in ("RawBlock", "RawInline"):
            yield "raw", node["c"][1].strip()
        elif kind == "Code":
            yield "quote", node["c"][1]
        elif kind == "CodeBlock":
            yield "block", node["c"][1]
        elif kind == "Image":
            yield "image", node["c"][2][0]
            yield from elements(node["c"][1])
        else:
            yield from elements(node.get("c"))


def anchors_and_links(node, ids, links):
    """The ids the page defines (headings, divs, spans) and the #targets its links name."""
    if isinstance(node, list):
        for item in node:
            anchors_and_links(item, ids, links)
    elif isinstance(node, dict):
        kind, content = node.get("t"), node.get("c")
        if kind in ("Header", "Div", "Span"):
            attr = content[1] if kind == "Header" else content[0]
            ids.add(attr[0])
        elif kind == "Link" and content[2][0].startswith("#"):
            links.append(content[2][0][1:])
        anchors_and_links(content, ids, links)


def lines(text):
    return text.replace("\r\n", "\n").rstrip("\n").split("\n")


def words_in(quote, line):
    """quote stands in line as whole words: blanks or the line's ends on both sides."""
    at = line.find(quote)
    while at >= 0:
        end = at + len(quote)
        if (at == 0 or line[at - 1] == " ") and (end == len(line) or line[end] == " "):
            return True
        at = line.find(quote, at + 1)
    return False


def within(part, whole):
    """part is whole lines of whole, in a row."""
    return any(whole[at:at + len(part)] == part for at in range(len(whole) - len(part) + 1))


def quote_shown(kind, quote, shown):
    if kind == "block":
        # The console runs on: the guide shows the part that matters.
        return any(lines(quote) == lines(text) or
                   (where == "console" and within(lines(quote), lines(text)))
                   for where, text in shown)
    return any(
        quote == text or any(words_in(quote, line) for line in lines(text))
        for _, text in shown
    )


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: check_guide.py GUIDE.md TEXTS.json")
    guide, texts = sys.argv[1], sys.argv[2]
    with open(texts, encoding="utf-8") as f:
        outcomes = json.load(f)
    try:
        ast = json.loads(
            subprocess.run(["pandoc", "-f", "markdown", "-t", "json", guide],
                           check=True, capture_output=True, text=True).stdout)
    except FileNotFoundError:
        sys.exit("check_guide: pandoc is missing (Debian package pandoc)")
    base = os.path.dirname(os.path.abspath(guide))

    problems = []
    unmatched = {}
    checked = {"program": 0, "core": 0, "standin": 0}
    current = []
    parts = set()
    images = set()
    for kind, value in elements(ast["blocks"]):
        if kind == "raw":
            found = MARKER.match(value)
            if found:
                current = found.group(1).split()
                parts.update(current)
                for name in current:
                    if name not in outcomes:
                        problems.append(f"marker for an outcome that is not played: {name}")
            continue
        played = [name for name in current if name in outcomes]
        if not played:
            problems.append(f"{kind} outside any played outcome: {value!r}")
            continue
        if kind == "image":
            images.add(value)
            if os.path.basename(value) not in [n + ".png" for n in played] + \
                    [n + "-box.png" for n in played]:
                problems.append(f"{' '.join(played)}: shows {value}, a screenshot of another outcome")
            if not os.path.isfile(os.path.join(base, value)):
                problems.append(f"{' '.join(played)}: {value} does not exist")
            continue
        showing = [n for n in played if quote_shown(kind, value, outcomes[n]["shown"])]
        if showing:
            checked[outcomes[showing[0]]["source"]] += 1
        else:
            unmatched.setdefault(" ".join(played), []).append(value)

    for names, quotes in unmatched.items():
        problems.append(f"{names}: the program never showed " +
                        ", ".join(repr(q) for q in quotes) + "; it showed:")
        for name in names.split():
            problems.extend(f"    {name} {where}: {text!r}"
                            for where, text in outcomes[name]["shown"])

    for name, outcome in outcomes.items():
        if name not in parts:
            problems.append(f"outcome {name} has no part in the guide")
            continue
        if outcome["source"] != "program":
            continue
        wanted = [name + ".png"]
        if any(where == "box-caption" for where, _ in outcome["shown"]):
            wanted.append(name + "-box.png")
        for shot in wanted:
            if not any(os.path.basename(image) == shot for image in images):
                problems.append(f"{name}: the guide does not show {shot}")

    ids, links = set(), []
    anchors_and_links(ast["blocks"], ids, links)
    problems.extend(f"a link to #{target}, which names no heading of the guide"
                    for target in links if target not in ids)

    for problem in problems:
        print("check_guide: " + problem, file=sys.stderr)
    if problems:
        sys.exit(1)
    print(f"check_guide: {checked['program']} quotes match the program under Wine, "
          f"{checked['core']} the display-test core, {checked['standin']} the stand-in; "
          f"{len(images)} screenshots, {len(links)} links within the guide")


if __name__ == "__main__":
    main()
