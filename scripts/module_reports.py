"""Print the reports in sanitizer or valgrind logs whose stack passes through _palvine.

    module_reports.py leaks LOG...      LeakSanitizer leak reports
    module_reports.py valgrind LOG...   valgrind error reports

Exits 0 either way; on stderr it counts the reports that stay outside the module.
"""

import re
import sys

# A report starts at its headline. valgrind's lines that open no report (its
# banner, the heap and leak summaries) are told apart by their first words.
HEADLINES = {
    "leaks": re.compile(r"^(Direct|Indirect) leak of \d+ byte"),
    "valgrind": re.compile(
        r"^==\d+== (?! )"
        r"(?!HEAP|LEAK|ERROR SUMMARY|All heap|Memcheck|Copyright|Using|Command|For lists|Parent PID)\S"
    ),
}
PID_PREFIX = re.compile(r"^==\d+==")


def reports(text, headline):
    """Blocks of lines from a headline to the next empty line (valgrind's prefix aside)."""
    report = []
    for line in text.splitlines():
        if headline.match(line):
            if report:
                yield report
            report = [line]
        elif report and PID_PREFIX.sub("", line).strip():
            report.append(line)
        elif report:
            yield report
            report = []
    if report:
        yield report


def main(kind, paths):
    outside = 0
    for path in paths:
        with open(path, errors="replace") as log:
            for report in reports(log.read(), HEADLINES[kind]):
                if len(report) < 2:
                    continue
                if any("_palvine" in frame for frame in report[1:]):
                    print(f"{path}:\n" + "\n".join(report))
                else:
                    outside += 1
    print(f"{outside} report(s) outside the module", file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2:])
