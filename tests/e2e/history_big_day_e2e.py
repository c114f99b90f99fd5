#!/usr/bin/python3
# A 100 MB history day (a trace file and a statistics file of 100 MB each, far beyond any real day):
# TET and TES of that day answer with whole records, cut at the reply limit, and the agent's peak
# resident memory stays under 64 MB while it does (not checked under the sanitizers, whose own
# memory dwarfs ours). Before, the day was read whole into memory and the reply failed.
# Usage: history_big_day_e2e.py TAPEYESV NETWARD WORKDIR
import json
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, write_hive  # noqa: E402

MB = 1 << 20
REPLY_LIMIT = 6 * MB  # the body bytes a history day may fill
tapeyesv, netward, work = sys.argv[1:4]
sanitized = os.environ.get('NETWARD_SANITIZED') == '1'
shutil.rmtree(work, ignore_errors=True)
history = os.path.join(work, 'NETWARD History')
os.makedirs(history)

# Yesterday: no live records join the stored ones, and the purge keeps it.
t0 = int(time.time()) - 86400
day = time.strftime('%Y%m%d', time.localtime(t0))
trace = b''.join(b'TET ' + struct.pack('<I', t0 - t0 % 600 + 600 * (i % 144)) + struct.pack('<8I', *[i] * 8)
                 for i in range(1024))
with open(os.path.join(history, day + '.TET'), 'wb') as f:
    for _ in range(100 * MB // len(trace)):
        f.write(trace)
station = b'TES1' + struct.pack('<I', 1) + bytes(158)
with open(os.path.join(history, day + '.TES'), 'wb') as f:
    block = station * 1024
    for _ in range(100 * MB // len(block)):
        f.write(block)

hive = write_hive(os.path.join(work, 'hive.reg'))
agent = Agent(tapeyesv, work, hive, free_port())
peak_kb = 0
try:
    agent.wait_ready()
    for request, tag, size in (('TET ' + day, 'TET ', 40), ('TES ' + day, 'STAT', 124)):
        began = time.time()
        out = subprocess.run([netward, '--port', str(agent.port), '--key', 'Secret', '--json', request],
                             capture_output=True, text=True, timeout=60)
        check(out.returncode == 0, '%s: a reply of whole records (exit %d %s)' % (request, out.returncode,
                                                                                   out.stderr.strip()))
        records = json.loads(out.stdout.splitlines()[0])['Records']
        check(len(records) == REPLY_LIMIT // size and all(r['Tag'] == tag for r in records),
              '%s: %d records, cut at the reply limit, in %.1f s' % (request, len(records), time.time() - began))
    first = records[0]
    check(first['AdapterNumber'] == 2, 'a stored station keeps its adapter: %s' % first['AdapterNumber'])
    with open('/proc/%d/status' % agent.process.pid) as f:
        for line in f:
            if line.startswith('VmHWM:'):
                peak_kb = int(line.split()[1])
finally:
    rc = agent.stop()
check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
if sanitized:
    print('peak resident memory %d kB (not bounded under the sanitizers)' % peak_kb)
else:
    check(0 < peak_kb < 64 * 1024, 'peak resident memory %d kB, under 64 MB' % peak_kb)
shutil.rmtree(work, ignore_errors=True)
print('ALL OK')
