#!/usr/bin/env python3
"""The guide check catches a cause moved under a part its situation does not give, and a listed
cause without its marker. Usage: check_guide_test.py GUIDE.md CAUSES.json"""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_guide import check  # noqa: E402


def problems_of(text, causes):
    with tempfile.NamedTemporaryFile("w", suffix=".md", delete=False) as f:
        f.write(text)
    try:
        return check(f.name, causes=causes)[0]
    finally:
        os.unlink(f.name)


def main():
    with open(sys.argv[1], encoding="utf-8") as f:
        guide = f.read()
    with open(sys.argv[2], encoding="utf-8") as f:
        causes = json.load(f)
    failures = []
    unchanged = problems_of(guide, causes)
    if unchanged:
        failures.append(f"the guide itself gives {unchanged}")
    marker = "<!-- cause: no-such-port -->"
    heading = "### Answers marked (Incorrect)"
    for name, text, expected in [
        ("moved", guide.replace(heading, "5. Another program holds the port. "
                                "<!-- cause: port-held -->\n\n" + heading, 1),
         "port-held gives open-failure, but is listed under silent"),
        ("unmarked", guide.replace(marker, "", 1), "a listed cause has no situation marker"),
    ]:
        if text == guide:
            failures.append(f"{name}: the guide has no place to change")
        elif not any(problem.startswith(expected) for problem in problems_of(text, causes)):
            failures.append(f"{name}: no problem {expected!r}")
    for failure in failures:
        print("check_guide_test: " + failure, file=sys.stderr)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
