#!/usr/bin/env python3
"""Checks that a tool's man page source lists exactly the options its -h prints.

Usage: check-man-options.py PAGE.md TOOL

The OPTIONS section of a page is a definition list whose terms name the options (`-b RATE`,
`-h`, `--help`); the usage lists them on lines that start with blanks and a dash. A new option in
the program without a word in the page, or a page that documents one the program lost, fails.
"""
import re
import subprocess
import sys

OPTION = re.compile(r'(?<![\w-])(--?[A-Za-z][\w-]*)')


def page_options(page):
    """The options named by the terms of the page's OPTIONS section."""
    options, in_section, previous = set(), False, ''
    for line in open(page, encoding='utf-8'):
        if line.startswith('# '):
            in_section = line.strip() == '# OPTIONS'
        elif in_section and line.startswith(':') and previous.strip():
            options.update(OPTION.findall(previous))
        previous = line
    return options


def usage_options(tool):
    """The options the tool's usage describes, each on a line that starts with blanks and a dash."""
    run = subprocess.run([tool, '-h'], capture_output=True, text=True, timeout=10)
    if run.returncode != 0:
        sys.exit(f'{tool} -h ended with {run.returncode}: {run.stderr.strip()}')
    options = set()
    for line in run.stdout.splitlines():
        if re.match(r'\s+-', line):
            # "  -b RATE   bit rate ...": the option is what comes before the gap to its description.
            options.update(OPTION.findall(re.split(r'\s{2,}', line.strip(), maxsplit=1)[0]))
    return options


def main():
    page, tool = sys.argv[1], sys.argv[2]
    documented, described = page_options(page), usage_options(tool)
    if not documented:
        sys.exit(f'{page}: no options found in its OPTIONS section')
    missing, stale = described - documented, documented - described
    for option in sorted(missing):
        print(f'{page}: {option} is in {tool} -h but not in the page\'s OPTIONS')
    for option in sorted(stale):
        print(f'{page}: {option} is in the page\'s OPTIONS but not in {tool} -h')
    if missing or stale:
        sys.exit(1)
    print(f'{page}: {" ".join(sorted(documented))} as in {tool} -h')


if __name__ == '__main__':
    main()
