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
import socket
import struct
import subprocess
import sys
import time

tapeyesv, netward, generator, work = sys.argv[1:5]
FRAMES = 1000


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def check(cond, what):
    print(('ok ' if cond else 'FAIL ') + what, flush=True)
    if not cond:
        raise SystemExit(1)


def run(*args):
    p = subprocess.run([netward, '--key', 'Secret'] + list(args), capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


if not os.path.exists(generator):
    print('SKIP: no workload generator at', generator)
    raise SystemExit(77)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, 'NETWARD History'))
capture = os.path.join(work, 'mix.pcap')
subprocess.run(['/usr/bin/python3', generator, '--frames', str(FRAMES), '--stations', '40', '--seed', '3',
                '--out', capture], check=True, capture_output=True)

rpc_port = free_port()
hive = os.path.join(work, 'hive.reg')
with open(hive, 'w') as f:
    f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n'
            '"OpenKey"="Secret"\n"EndpointMapperPort"=dword:%08x\n'
            '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\n"Export"=hex(7):00,00\n'
            % free_port())
agent = subprocess.Popen([tapeyesv, '-debug', '--hive', hive, '--state-dir', work, '--rpc-port', str(rpc_port),
                          '--local-endpoint', os.path.join(work, 'rpc.sock'), '--replay', capture],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
try:
    for line in agent.stdout:
        if line.startswith('To Terminate'):
            break
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
    agent.terminate()
    try:
        agent.wait(timeout=10)
    except subprocess.TimeoutExpired:
        agent.kill()

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
