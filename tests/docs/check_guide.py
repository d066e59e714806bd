#!/usr/bin/env python3
"""Checks the technician's guide against the program: the one reader of the guide's markers.

Usage: check_guide.py GUIDE.md [--texts TEXTS.json] [--causes CAUSES.json]

Each part of the guide starts with <!-- outcome: NAME... -->, naming rows of
tests/support/outcomes.table; every row has its part, and every #link names a heading.
TEXTS.json (guide_scenarios.exe: what the program showed in each row): each quote in code marks
is the program's own (a fenced block one whole text it showed, or whole lines of the stand-in's
console; an inline quote a whole text, line or run of words), each image a screenshot of its
part's outcome (NAME.png, NAME-box.png), and each part of a row played under Wine shows them.
CAUSES.json (guide_causes: what each situation gives): each numbered item after "Likely causes"
carries <!-- cause: SITUATION[, exit resets the display] -->, no marker stands elsewhere, each
gives an outcome of its part and resets the display on Exit where its marker says so, and every
situation is listed. pandoc reads the guide, so what is checked is what the HTML guide shows.
"""
import json
import os
import re
import subprocess
import sys

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "outcomes.table")
MARKER = re.compile(r"^<!--\s*outcome:\s*([a-z0-9 -]+?)\s*-->$")
CAUSE = re.compile(r"^<!--\s*cause:\s*(.*?)\s*-->$")
CAUSE_BODY = re.compile(r"^([a-z0-9-]+)(, exit resets the display)?$")


def table_outcomes():
    """The outcome table's names, in its order."""
    with open(TABLE, encoding="utf-8") as f:
        return [line.split("|")[0].strip() for line in f
                if line.strip() and not line.startswith("#")]


def elements(node):
    """The guide's markers, quotes, images and words, in reading order."""
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
        elif kind == "Str":
            yield "word", node["c"]
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


def text_of(node):
    """The words of a piece of the guide, as the page shows them."""
    return " ".join(value for kind, value in elements(node) if kind == "word")


def cause_markers(node):
    """The bodies of the cause markers within a piece of the guide."""
    return [value for kind, value in elements(node)
            if kind == "raw" and CAUSE.match(value)
            for value in [CAUSE.match(value).group(1)]]


def cause_problems(blocks, causes):
    """Every listed cause against the outcome its situation gives."""
    problems = []
    listed = set()
    current = []
    in_list = False

    def check(body):
        found = CAUSE_BODY.match(body)
        if not found:
            return [f"unreadable cause marker {body!r}"]
        name, resets = found.group(1), bool(found.group(2))
        if name not in causes:
            return [f"{name} is no situation of the cause table"]
        listed.add(name)
        played = causes[name]
        gives = played["outcome"] or f"no outcome of the table (result {played['result']!r})"
        out = []
        if played["outcome"] not in current:
            out.append(f"{name} gives {gives}, but is listed under {' '.join(current) or 'no outcome'}")
        if played["exit_resets"] != resets:
            out.append(f"{name}: Exit then " + ("resets the display; the marker does not say so"
                                                 if played["exit_resets"] else
                                                 "leaves the port alone; the marker says it resets the display"))
        return out

    for block in blocks:
        kind = block["t"]
        found = MARKER.match(block["c"][1].strip()) if kind == "RawBlock" else None
        if found:
            current = found.group(1).split()
        elif kind == "Header":
            in_list = False
        elif kind == "OrderedList" and in_list:
            for item in block["c"][1]:
                bodies = cause_markers(item)
                if not bodies:
                    problems.append(f"a listed cause has no situation marker: {text_of(item)[:50]!r}")
                for body in bodies:
                    problems.extend(check(body))
            continue
        elif kind == "Para" and "Likely causes" in text_of(block):
            in_list = True
        problems.extend(f"cause {body} outside a listed cause" for body in cause_markers(block))
    problems.extend(f"situation {name} is listed nowhere" for name in causes if name not in listed)
    return problems


def text_problems(blocks, base, outcomes, summary):
    """Every quote and picture against what the program showed."""
    problems = []
    unmatched = {}
    checked = {"program": 0, "core": 0, "standin": 0}
    current = []
    images = set()
    for kind, value in elements(blocks):
        if kind in ("raw", "word"):
            found = MARKER.match(value)
            if found:
                current = found.group(1).split()
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
        if outcome["source"] != "program":
            continue
        wanted = [name + ".png"]
        if any(where == "box-caption" for where, _ in outcome["shown"]):
            wanted.append(name + "-box.png")
        for shot in wanted:
            if not any(os.path.basename(image) == shot for image in images):
                problems.append(f"{name}: the guide does not show {shot}")
    summary.append(f"{checked['program']} quotes match the program under Wine, "
                   f"{checked['core']} the display-test core, {checked['standin']} the stand-in; "
                   f"{len(images)} screenshots")
    return problems


def check(guide, texts=None, causes=None):
    """Every problem with the guide, and a summary of what was checked."""
    try:
        ast = json.loads(
            subprocess.run(["pandoc", "-f", "markdown", "-t", "json", guide],
                           check=True, capture_output=True, text=True).stdout)
    except FileNotFoundError:
        sys.exit("check_guide: pandoc is missing: install it with `apt-get install pandoc` "
                 "(or run `bash scripts/install-deps.sh`)")
    blocks = ast["blocks"]
    table = table_outcomes()
    parts = {name for kind, value in elements(blocks) if kind == "raw" and MARKER.match(value)
             for name in MARKER.match(value).group(1).split()}
    problems = [f"a marker for {name}, which is no row of the outcome table"
                for name in sorted(parts - set(table))]
    problems += [f"outcome {name} has no part in the guide" for name in table if name not in parts]
    summary = []
    if texts is not None:
        problems += [f"outcome {name} was not played" for name in table if name not in texts]
        problems += text_problems(blocks, os.path.dirname(os.path.abspath(guide)), texts, summary)
    if causes is not None:
        problems += cause_problems(blocks, causes)
        summary.append(f"{len(causes)} causes give the outcomes of their parts")
    ids, links = set(), []
    anchors_and_links(blocks, ids, links)
    problems += [f"a link to #{target}, which names no heading of the guide"
                 for target in links if target not in ids]
    summary.append(f"{len(links)} links within the guide")
    return problems, summary


def main():
    args = sys.argv[1:]
    if len(args) % 2 != 1 or any(flag not in ("--texts", "--causes") for flag in args[1::2]):
        sys.exit("usage: check_guide.py GUIDE.md [--texts TEXTS.json] [--causes CAUSES.json]")
    given = {}
    for flag, path in zip(args[1::2], args[2::2]):
        with open(path, encoding="utf-8") as f:
            given[flag] = json.load(f)
    problems, summary = check(args[0], given.get("--texts"), given.get("--causes"))
    for problem in problems:
        print("check_guide: " + problem, file=sys.stderr)
    if problems:
        sys.exit(1)
    print("check_guide: " + "; ".join(summary))


if __name__ == "__main__":
    main()
