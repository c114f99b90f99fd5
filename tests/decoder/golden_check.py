#!/usr/bin/python3
# Decodes every capture of golden/MANIFEST with netward-decode and compares the lines with the
# expected file beside the manifest; --update rewrites the expected files instead (read the diff
# before committing it).
# Usage: golden_check.py [--update] NETWARD_DECODE SHARED_DIR
import difflib
import os
import subprocess
import sys
import tempfile

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'golden')
args = sys.argv[1:]
update = args[:1] == ['--update']
if update:
    args = args[1:]
decode, shared = args
env = dict(os.environ, TZ='UTC')
failed = 0
with tempfile.TemporaryDirectory() as scratch:
    for line in open(os.path.join(here, 'MANIFEST')):
        if not line.strip() or line.startswith('#'):
            continue
        capture, expected, *options = line.split()
        if capture.startswith('mix:'):
            _, seed, frames = capture.split(':')
            path = os.path.join(scratch, 'mix-%s-%s.pcap' % (seed, frames))
            subprocess.run(['/usr/bin/python3', os.path.join(shared, 'workloads', 'make_pcap.py'), '--frames', frames,
                            '--stations', '60', '--seed', seed, '--out', path], check=True, stderr=subprocess.DEVNULL)
        else:
            path = os.path.join(shared, 'captures', capture)
        if not os.path.exists(path):
            print('SKIP: no capture', path)
            raise SystemExit(77)
        got = subprocess.run([decode, '--numeric', *options, path], capture_output=True, text=True, env=env,
                             errors='surrogateescape', check=True).stdout
        target = os.path.join(here, expected)
        if update:
            with open(target, 'w', errors='surrogateescape') as f:
                f.write(got)
            print('wrote', expected, '(%d lines)' % got.count('\n'))
            continue
        want = open(target, errors='surrogateescape').read() if os.path.exists(target) else ''
        if got == want:
            print('ok', capture, '(%d lines)' % got.count('\n'))
            continue
        failed += 1
        print('FAIL', capture, 'differs from', expected)
        sys.stdout.writelines(list(difflib.unified_diff(want.splitlines(True), got.splitlines(True), expected,
                                                        'decoded now', n=0))[:40])
raise SystemExit(1 if failed else 0)
