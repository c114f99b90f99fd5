#!/usr/bin/python3
# History on a disk that fills up: a 64 KiB tmpfs, mounted in a mount namespace of this test's own.
# The agent starts on a full disk (one line, and it goes on capturing and answering), then its final
# statistics write runs out of room part-way (the file is cut back to whole records, one line); after
# the disk is enlarged a second run appends, and every record of the day reads back whole, through
# TES and from the file. Before, the cut-off write left a partial record that misaligned the rest.
# Usage: history_disk_full_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, write_hive  # noqa: E402

SKIP = 77
tapeyesv, netward, generator, work = sys.argv[1:5]

if os.environ.get('NETWARD_IN_MOUNT_NS') != '1':
    # Run again inside a private mount namespace, where a tmpfs can be mounted without touching the
    # machine's own mounts.
    unshare = shutil.which('unshare')
    if os.geteuid() != 0 or unshare is None:
        print('SKIP a mount namespace needs root and unshare(1)', flush=True)
        sys.exit(SKIP)
    env = dict(os.environ, NETWARD_IN_MOUNT_NS='1')
    rc = subprocess.run([unshare, '-m', '--propagation', 'private', sys.executable, *sys.argv], env=env).returncode
    sys.exit(rc)

shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
disk = os.path.join(work, 'disk')
os.makedirs(disk)
if subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', disk]).returncode != 0:
    print('SKIP no tmpfs can be mounted here', flush=True)
    sys.exit(SKIP)

capture = os.path.join(work, 'mix.pcap')
if not os.path.exists(generator):
    print('SKIP no workload generator at ' + generator, flush=True)
    sys.exit(SKIP)
# 500 stations: a final statistics write of 83000 bytes, more than the disk holds.
subprocess.run([sys.executable, generator, '--frames', '10000', '--stations', '800', '--seed', '1', '--out', capture],
               check=True, stderr=subprocess.DEVNULL)
history = os.path.join(disk, 'history')
hive = write_hive(os.path.join(work, 'hive.reg'),
                  extra='\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n"DataPath"="%s"\n' % history)
day = time.strftime('%Y%m%d')
tet, tes = os.path.join(history, day + '.TET'), os.path.join(history, day + '.TES')


def netward_json(port, request):
    out = subprocess.run([netward, '--port', str(port), '--key', 'Secret', '--json', request],
                         capture_output=True, text=True, timeout=30)
    check(out.returncode == 0, 'netward %s answers with whole records (exit %d %s)' % (request, out.returncode,
                                                                                      out.stderr.strip()))
    return json.loads(out.stdout.splitlines()[0])['Records']


def whole(path, size, tag):
    with open(path, 'rb') as f:
        data = f.read()
    tags_ok = all(data[i:i + 4] == tag for i in range(0, len(data) - len(data) % size, size))
    return len(data) % size == 0 and tags_ok, len(data) // size


def run(port, before_stop):
    agent = Agent(tapeyesv, work, hive, port, '--replay', capture)
    try:
        agent.wait_ready()
        before_stop(agent)
    finally:
        rc = agent.stop()
    check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
    return ''.join(agent.lines) + agent.rest()


# Run 1: a full disk from the start. The history directory exists; a filler takes every byte left.
os.makedirs(history)
filler = os.path.join(disk, 'filler')
fd = os.open(filler, os.O_WRONLY | os.O_CREAT, 0o644)
try:
    while True:
        os.write(fd, b'\0' * 4096)
except OSError:
    pass
os.close(fd)


def on_full_disk(agent):
    port = agent.port
    records = netward_json(port, 'TOTAL')
    check(records[0]['Tag'] == 'TOT ', 'the agent answers on a full disk')
    frames = 0
    for _ in range(50):
        frames = netward_json(port, 'TOTAL')[0]['FrameSequence']
        if frames >= 10000:
            break
        time.sleep(0.1)
    check(frames >= 10000, 'and goes on capturing: %d frames' % frames)
    live = [r for r in netward_json(port, 'TES ' + day) if r['Tag'] == 'STAT']
    check(len(live) == 500, 'TES of today: the 500 live stations (%d)' % len(live))
    os.remove(filler)  # room for the trace record, not for all 83000 bytes of statistics


out1 = run(free_port(), on_full_disk)
failures = [l for l in out1.splitlines() if 'cannot be written' in l]
check(len(failures) == 2, 'one line when writing stops, per run of failures: %r' % failures)
check(failures[0].startswith("History file '%s.TET' cannot be written: No space left on device; 0 of 1" % day),
      'the start marker could not be written: ' + failures[0])
check("History files are written again ('%s.TET')" % day in out1, 'one line when writing works again')
check(failures[1].startswith("History file '%s.TES' cannot be written: No space left on device;" % day),
      'the final statistics ran out of room part-way: ' + failures[1])
ok, kept = whole(tes, 166, b'TES1')
check(ok and 0 < kept < 500, 'the statistics file holds whole records only: %d kept' % kept)
ok, traces = whole(tet, 40, b'TET ')
check(ok and traces == 1, 'the trace file holds the final record')

# Run 2: the disk is enlarged; everything written from now on lands on record boundaries.
check(subprocess.run(['mount', '-o', 'remount,size=1m', disk]).returncode == 0, 'disk enlarged to 1 MiB')


def on_enlarged_disk(agent):
    stats = [r for r in netward_json(agent.port, 'TES ' + day) if r['Tag'] == 'STAT']
    check(len(stats) == kept + 500, 'TES: %d stored and 500 live stations (%d)' % (kept, len(stats)))


out2 = run(free_port(), on_enlarged_disk)
check('cannot be written' not in out2, 'no write failed on the enlarged disk')
ok, count = whole(tes, 166, b'TES1')
check(ok and count == kept + 500, 'every record of the second run reads back whole: %d' % count)
ok, traces = whole(tet, 40, b'TET ')
check(ok and traces == 3, 'trace file: %d whole records' % traces)
subprocess.run(['umount', disk])
print('ALL OK')
