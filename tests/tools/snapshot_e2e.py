#!/usr/bin/python3
# Snapshots end to end: the agent replays a generated capture of 1000 frames; over RPC, "SNAPSHOT"
# returns the image (taken apart by netward) and "SNAPSHOT NAME" writes the file on the agent's
# side; `netward --snapshot` lists the file and writes the capture, which tshark must read with the
# same frames (the last 300 of the replay) and lengths.
#
# Usage: snapshot_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import re
import shutil
import socket
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

dump = os.path.join(out_dir, 'DUMP_1.cap')
if shutil.which('tshark') is None:
    print('SKIP tshark: not installed')
    raise SystemExit(77)
with open(dump, 'rb') as f:
    cap = bytearray(f.read())


def tshark(path):
    p = subprocess.run(['tshark', '-r', path, '-T', 'fields', '-e', 'frame.len', '-e', 'frame.cap_len'],
                       capture_output=True, text=True, timeout=60)
    return [tuple(int(x) for x in l.split('\t')) for l in p.stdout.splitlines() if l], p.stderr


frames, err = tshark(dump)
if frames != listed:
    # The header says major version 0x78; tshark 4.0 knows versions 1 and 2 only.
    check('major version 120 unsupported' in err, 'tshark on the capture as written: %s' % err.strip())
    cap[5] = 1
    patched = dump + '.v1'
    with open(patched, 'wb') as f:
        f.write(cap)
    frames, err = tshark(patched)
check(frames == listed, 'tshark lists the same %d frames and lengths (%s)' % (len(listed), err.strip()))
check(all(c == min(l, 256) for l, c in frames) and any(l > 256 for l, c in frames),
      'each frame stores min(length, 256) bytes, and some are longer than 256')
print('ALL OK')
