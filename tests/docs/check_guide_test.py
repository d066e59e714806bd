#!/usr/bin/env python3
"""The guide check catches a cause moved under a part its situation does not give, and a listed
cause without its marker. Usage: check_guide_test.py GUIDE.md CAUSES.json"""
import json
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_guide import check  # noqa: E402

guide, causes = open(sys.argv[1], encoding="utf-8").read(), json.load(open(sys.argv[2]))
heading = "### Answers marked (Incorrect)"
failures = []
for text, expected in [
        (guide.replace(heading, "5. Another program holds the port. <!-- cause: port-held -->\n\n"
                       + heading, 1), "port-held gives open-failure, but is listed under silent"),
        (guide.replace("<!-- cause: no-such-port -->", "", 1), "a listed cause has no situation marker")]:
    with tempfile.NamedTemporaryFile("w", suffix=".md") as f:
        f.write(text)
        f.flush()
        if not any(p.startswith(expected) for p in check(f.name, causes=causes)[0]):
            failures.append(f"check_guide_test: no problem {expected!r}")
sys.exit("\n".join(failures) or None)
