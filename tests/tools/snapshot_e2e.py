#!/usr/bin/python3
# Snapshots end to end: the agent replays a generated capture of 1000 frames; over RPC, "SNAPSHOT"
# returns the image (taken apart by netward) and "SNAPSHOT NAME" writes the file on the agent's
# side; `netward --snapshot` lists the file and writes the capture (the last 300 frames of the replay).
#
# Usage: snapshot_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, make_workload, write_hive  # noqa: E402

tapeyesv, netward, generator, work = sys.argv[1:5]
FRAMES = 1000


def run(*args):
    p = subprocess.run([netward, '--key', 'Secret'] + list(args), capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, 'NETWARD History'))
capture = os.path.join(work, 'mix.pcap')
make_workload(generator, capture, FRAMES, 40, 3)

rpc_port = free_port()
hive = write_hive(os.path.join(work, 'hive.reg'))
agent = Agent(tapeyesv, work, hive, rpc_port, '--replay', capture)
try:
    agent.wait_ready()
    for _ in range(400):
        rc, out, err = run('--port', str(rpc_port), '--json', 'TOTAL')
        if rc == 0 and json.loads(out)['Records'][0]['FrameSequence'] == FRAMES:
            break
        time.sleep(0.05)

    rc, out, err = run('--port', str(rpc_port), 'SNAPSHOT')
    check(rc == 0, 'SNAPSHOT image over RPC parses (%d %s)' % (rc, err.strip()))
    check('== DUMP_1 ' in out and 'frame capture of 300 frames' in out, 'image holds the last 300 frames')

    nws = os.path.join(work, 'agent side.NWS')
    rc, out, err = run('--port', str(rpc_port), 'SNAPSHOT ' + nws)
    check(rc == 0 and os.path.getsize(nws) > 0, 'SNAPSHOT NAME writes the file (%d %s)' % (rc, err.strip()))
finally:
    agent.stop()

out_dir = os.path.join(work, 'captures')
os.makedirs(out_dir)
rc, out, err = run('--snapshot', nws, '--write-captures', out_dir)
check(rc == 0, 'netward --snapshot reads the file (%d %s)' % (rc, err.strip()))
names = re.findall(r'^== (.+)$', out, re.M)
check(names[:2] == ['OPEN ', 'TET ' + time.strftime('%Y%m%d')] and names[-1] == 'DUMP_1',
      'records in list order, dump last (%s)' % names)
listed = [tuple(int(x) for x in m) for m in re.findall(r'^ +\d+ +\d+ +(\d+) +(\d+)$', out, re.M)]
check(len(listed) == 300, 'the reader lists 300 frames')

with open(os.path.join(out_dir, 'DUMP_1.cap'), 'rb') as f:
    cap = f.read()
check(cap[:4] == b'RTSS' and len(cap) == struct.unpack_from('<L', cap, 24)[0] + 300 * 4 + 8,
      'the written capture: "RTSS", 300 table entries, 8 zero bytes')
print('ALL OK')
