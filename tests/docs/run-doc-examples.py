#!/usr/bin/env python3
"""Runs the shell examples of the docs that a reader copies, so a renamed option or a missing colon
fails here rather than for a newcomer.

Usage: run-doc-examples.py SOURCE_DIR BUILD_DIR [DOC.md...]
(without documents: README.md and every page under doc/)

A block is run when its fence is tagged "```sh test". The blocks of one document run in order, in one
scratch directory, as a reader would type them: `build/bin/...` and the bare tool names reach this
build, `./python` is a copy of the python package, and everything is on a private bus namespace, in
a private network namespace where one can be made (so can-serve's default port is free).

Each block runs as a bash script that stops at the first command that fails. A command whose
comment says "until Ctrl+C", or that ends with `&`, runs in the background, as in a second terminal;
the next line starts a second later. When the block is done, each such command still running gets
SIGINT, as Ctrl+C would send, the last started first (clients before their server), and every one of
them must end with status 0 (or 130, ended by the signal) within 5 s.
"""
import fcntl
import glob
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile

BLOCK_TIMEOUT_S = 180  # a venv and a pip install on a loaded machine included
BACKGROUND_PAUSE_S = 1
COMMENT = re.compile(r'\s#.*$')  # ID#DATA has no blank before its '#'

PROLOGUE = '''set -euo pipefail
set -m  # each background command in a process group of its own, which Ctrl+C (SIGINT) reaches
started() {  # PID LINE: a command now running in the background
    echo "$1 $2" >> "$EXAMPLE_PIDS"
    sleep %d
}
finish() {  # Ctrl+C for what still runs, the last started first (clients before their server)
    local failed=$? pid line status
    sleep 1
    while read -r pid line; do
        kill -INT -- "-$pid" 2>/dev/null || true
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        if kill -0 "$pid" 2>/dev/null; then
            kill -KILL -- "-$pid" 2>/dev/null || true
            echo "line $line did not end within 5 s of Ctrl+C" >&2
            failed=1
        fi
        status=0
        wait "$pid" || status=$?
        if [ "$status" -ne 0 ] && [ "$status" -ne 130 ]; then
            echo "line $line ended with status $status" >&2
            failed=1
        fi
    done < <(tac "$EXAMPLE_PIDS")
    exit $failed
}
trap finish EXIT
''' % BACKGROUND_PAUSE_S


def marked_blocks(path):
    """(first line number, lines) of each block fenced "```sh test"."""
    blocks, lines, start = [], None, 0
    for number, line in enumerate(open(path, encoding='utf-8'), 1):
        stripped = line.strip()
        if lines is None and re.fullmatch(r'```\s*sh\s+test', stripped):
            lines, start = [], number + 1
        elif lines is not None and stripped.startswith('```'):
            blocks.append((start, lines))
            lines = None
        elif lines is not None:
            lines.append(line.rstrip('\n'))
    return blocks


def as_script(start, lines):
    """The block as bash, with its background commands recorded for the end."""
    script = [PROLOGUE]
    for offset, line in enumerate(lines):
        comment = COMMENT.search(line)
        command = line[:comment.start()] if comment else line
        background = command.rstrip().endswith('&') or (comment and 'until Ctrl+C' in comment.group())
        if background and command.strip():
            command = command.rstrip().rstrip('&').rstrip()
            script.append(f'{command} & started $! {start + offset}')
        else:
            script.append(line)
    return '\n'.join(script)


def scratch_directory(source, build, parent):
    """A directory where the docs' relative paths mean this build and this checkout."""
    os.makedirs(os.path.join(parent, 'build'))
    os.symlink(os.path.join(build, 'bin'), os.path.join(parent, 'build', 'bin'))
    shutil.copytree(os.path.join(source, 'python'), os.path.join(parent, 'python'),
                    ignore=shutil.ignore_patterns('build', '*.egg-info', '__pycache__'))
    runtime = os.path.join(parent, 'runtime')
    os.mkdir(runtime, 0o700)
    return runtime


def end_session(session):
    """Kills what is left of a block's session: a command that hung, or one a timeout cut short."""
    for entry in os.listdir('/proc'):
        try:
            fields = open(f'/proc/{entry}/stat').read().rsplit(')', 1)[1].split()
            if int(fields[3]) == session:  # state, ppid, pgrp, session
                os.kill(int(entry), 9)
        except (OSError, ValueError, IndexError):
            pass


def run_block(script, scratch, environment, output):
    """Runs one block in a session of its own; its status, or why it has none."""
    block = subprocess.Popen(['bash', '-c', script], cwd=scratch, env=environment, stdout=output,
                             stderr=subprocess.STDOUT, start_new_session=True)
    try:
        status = block.wait(timeout=BLOCK_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        status = f'still running after {BLOCK_TIMEOUT_S} s'
    end_session(block.pid)
    block.wait()
    return status


def run_document(source, build, document):
    """Runs a document's marked blocks in order; returns how many failed."""
    failures = 0
    blocks = marked_blocks(document)
    name = os.path.relpath(document, source)
    with tempfile.TemporaryDirectory(prefix='doc-examples-') as scratch:
        runtime = scratch_directory(source, build, scratch)
        environment = dict(os.environ, PATH=os.path.join(build, 'bin') + os.pathsep + os.environ['PATH'],
                           RVCAN32CE_NAMESPACE=f'doc-examples-{os.getpid()}', XDG_RUNTIME_DIR=runtime)
        for start, lines in blocks:
            pids_file = os.path.join(scratch, f'pids-{start}')
            open(pids_file, 'w').close()
            environment['EXAMPLE_PIDS'] = pids_file
            output_file = os.path.join(scratch, f'output-{start}')
            with open(output_file, 'w') as output:
                status = run_block(as_script(start, lines), scratch, environment, output)
            output = open(output_file, encoding='utf-8', errors='replace').read()
            if status == 0:
                print(f'{name}:{start}: ok')
            else:
                failures += 1
                print(f'{name}:{start}: FAILED ({status})\n' + '\n'.join('    ' + l for l in lines))
                print('  output:\n' + '\n'.join('    ' + l for l in output.splitlines()[-40:]))
    return failures


def bring_up_loopback():
    """A new network namespace starts with its loopback down (SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack('16sH14s', b'lo', 0, b'')
        flags = struct.unpack('16sH', fcntl.ioctl(s, 0x8913, request)[:18])[1]
        fcntl.ioctl(s, 0x8914, struct.pack('16sH14s', b'lo', flags | 1, b''))


def main():
    if len(sys.argv) < 3:
        sys.exit('usage: run-doc-examples.py SOURCE_DIR BUILD_DIR [DOC.md...]')
    if os.environ.get('DOC_EXAMPLES_NETNS') == '1':
        bring_up_loopback()
    elif shutil.which('unshare') and subprocess.run(['unshare', '-rn', 'true'], capture_output=True).returncode == 0:
        os.execvpe('unshare', ['unshare', '-rn', sys.executable] + sys.argv,
                   dict(os.environ, DOC_EXAMPLES_NETNS='1'))
    else:
        print('no network namespace can be made here: the examples share the machine\'s ports')
    source, build = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    documents = [os.path.join(source, d) for d in sys.argv[3:]] or (
        [os.path.join(source, 'README.md')] + sorted(glob.glob(os.path.join(source, 'doc', '**', '*.md'), recursive=True)))
    if not any(marked_blocks(d) for d in documents):
        sys.exit('no block tagged "```sh test" in ' + ' '.join(documents))
    failures = sum(run_document(source, build, d) for d in documents)
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
