"""Print the LeakSanitizer reports, from the given logs, whose stack passes through _palvine."""

import re
import sys

LEAK = re.compile(r"^(Direct|Indirect) leak of \d+ byte")


def leak_reports(text):
    report = []
    for line in text.splitlines():
        if LEAK.match(line):
            if report:
                yield report
            report = [line]
        elif report and line.strip().startswith("#"):
            report.append(line)
        elif report:
            yield report
            report = []
    if report:
        yield report


def main(paths):
    for path in paths:
        with open(path, errors="replace") as log:
            for report in leak_reports(log.read()):
                if any("_palvine" in frame for frame in report[1:]):
                    print(f"{path}:\n" + "\n".join(report))


if __name__ == "__main__":
    main(sys.argv[1:])
