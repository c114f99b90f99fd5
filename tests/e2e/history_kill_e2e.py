#!/usr/bin/python3
# kill -9 at random moments, 20 times: while the agent starts or runs, and in every other run just
# after Ctrl+C, the moment its final statistics write (83000 bytes for 500 stations) begins to grow
# the file. That write takes microseconds, so a real kill lands inside it only now and then (the
# count is printed); when it landed just after, the test cuts the file at a random byte of that write,
# which is what a kill inside it leaves. After each next start every history file holds whole records
# only, with their tags.
# Usage: history_kill_e2e.py TAPEYESV GENERATOR WORKDIR
import atexit
import glob
import os
import random
import shutil
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import check, free_port, write_hive  # noqa: E402

RUNS = 20
tapeyesv, generator, work = sys.argv[1:4]
if not os.path.exists(generator):
    print('SKIP no workload generator at ' + generator, flush=True)
    sys.exit(77)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
capture = os.path.join(work, 'mix.pcap')
subprocess.run([sys.executable, generator, '--frames', '10000', '--stations', '800', '--seed', '2', '--out', capture],
               check=True, stderr=subprocess.DEVNULL)
hive = write_hive(os.path.join(work, 'hive.reg'))
history = os.path.join(work, 'NETWARD History')
log = os.path.join(work, 'out.txt')
rng = random.Random(int(os.environ.get('NETWARD_KILL_SEED', time.time())))


running = []


@atexit.register
def kill_left_over():
    """A failed check ends the script; the agent it was watching ends with it."""
    for p in running:
        if p.poll() is None:
            p.kill()
            p.wait()


def start():
    out = open(log, 'w')
    p = subprocess.Popen([tapeyesv, '-debug', '--hive', hive, '--state-dir', work, '--rpc-port', str(free_port()),
                          '--local-endpoint', os.path.join(work, 'rpc.sock'), '--replay', capture],
                         stdout=out, stderr=subprocess.STDOUT)
    out.close()
    running.append(p)
    return p


def output():
    with open(log) as f:
        return f.read()


def wait_for(text, seconds=20):
    end = time.time() + seconds
    while time.time() < end:
        if text in output():
            return True
        time.sleep(0.01)
    return False


def files_state():
    """(all whole, any file ending in a partial record, description)"""
    whole, partial, info = True, False, []
    for path in sorted(glob.glob(os.path.join(history, '*.TE[TS]'))):
        size, tag = (40, b'TET ') if path.endswith('.TET') else (166, b'TES1')
        with open(path, 'rb') as f:
            data = f.read()
        cut = len(data) % size
        tags = all(data[i:i + 4] == tag for i in range(0, len(data) - cut, size))
        whole = whole and cut == 0 and tags
        partial = partial or cut != 0
        info.append('%s %d records%s%s' % (os.path.basename(path), len(data) // size, ' +%d bytes' % cut if cut else '',
                                           '' if tags else ' BAD TAGS'))
    return whole, partial, ', '.join(info)


partials = 0
caught = 0  # real kills that landed inside the final statistics write
for run in range(RUNS):
    p = start()
    # Whatever the last kill left, this start cuts it back before anything else is written.
    check(wait_for('Creating ZivUzevari Thread'), 'run %d: start-up has set up its adapter' % run)
    whole, _, info = files_state()
    check(whole, 'run %d: after the start every file is whole-record: %s' % (run, info))
    if run % 2 == 0:
        # Anywhere in the first seconds of running.
        time.sleep(rng.uniform(0, 2.5))
        p.kill()
        p.wait()
    else:
        # Ctrl+C, then kill -9 as soon as the final statistics write has begun.
        tes = os.path.join(history, time.strftime('%Y%m%d') + '.TES')
        before = os.path.getsize(tes) if os.path.exists(tes) else 0
        check(wait_for('To Terminate'), 'run %d: listening' % run)
        p.send_signal(signal.SIGINT)
        end = time.time() + 5
        size = before
        while size == before and time.time() < end:
            try:
                size = os.stat(tes).st_size
            except FileNotFoundError:
                pass
        p.kill()
        p.wait()
        size = os.path.getsize(tes) if os.path.exists(tes) else 0
        check(size > before, 'run %d: the final statistics write had begun' % run)
        if (size - before) % 166 == 0:
            os.truncate(tes, before + rng.randrange(1, size - before))
        else:
            caught += 1
    _, partial, info = files_state()
    partials += partial
    print('run %d killed: %s' % (run, info), flush=True)

p = start()
check(wait_for('To Terminate'), 'a last start')
whole, _, info = files_state()
check(whole, 'every file whole-record after the next start: ' + info)
p.send_signal(signal.SIGINT)
check(p.wait(timeout=10) == 0, 'the last run ends with exit code 0')
whole, _, info = files_state()
check(whole, 'and after its stop: ' + info)
print('runs that left a partial record: %d of %d; real kills inside the final statistics write: %d of %d'
      % (partials, RUNS, caught, RUNS // 2))
print('ALL OK')
