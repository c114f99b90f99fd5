#!/usr/bin/python3
# The agent replays a generated mixed capture; the netward client fetches the totals, station
# statistics and decoded frames as JSON, and they are checked against an independent count of the
# capture file (frames in all, frames sent by the own station, sum of the per-station counters).
# Usage: replay_totals_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import signal
import socket
import struct
import subprocess
import sys
import time

tapeyesv, netward, generator, work = sys.argv[1:5]
OWN = bytes.fromhex('00600800000a')


def check(cond, what):
    print(('ok ' if cond else 'FAIL ') + what, flush=True)
    if not cond:
        raise SystemExit(1)


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def pcap_frames(path):
    with open(path, 'rb') as f:
        data = f.read()
    magic = struct.unpack_from('<I', data, 0)[0]
    endian = '<' if magic in (0xa1b2c3d4, 0xa1b23c4d) else '>'
    off, frames = 24, []
    while off + 16 <= len(data):
        _, _, incl, orig = struct.unpack_from(endian + 'IIII', data, off)
        frames.append((data[off + 16:off + 16 + incl], orig))
        off += 16 + incl
    return frames


def query(port, *requests):
    out = subprocess.run([netward, '--port', str(port), '--key', 'secret', '--json', *requests],
                         capture_output=True, text=True, timeout=30)
    check(out.returncode == 0, 'netward %s exits 0 (%s)' % (' '.join(requests), out.stderr.strip()))
    return [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


os.makedirs(work, exist_ok=True)
if not os.path.exists(generator):
    print('SKIP: no workload generator at', generator)
    raise SystemExit(77)
capture = os.path.join(work, 'mix.pcap')
subprocess.run(['/usr/bin/python3', generator, '--frames', '20000', '--stations', '80', '--seed', '5',
                '--out', capture], check=True, stderr=subprocess.DEVNULL)
frames = pcap_frames(capture)
own_sent = sum(1 for data, _ in frames if data[6:12] == OWN)

rpc_port = free_port()
hive = os.path.join(work, 'hive.reg')
with open(hive, 'w') as f:
    f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n'
            '"OpenKey"="Secret"\n"EndpointMapperPort"=dword:%08x\n'
            '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\n"Export"=hex(7):00,00\n'
            '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
            '"OwnAddress"="00:60:08:00:00:0a"\n' % free_port())
agent = subprocess.Popen([tapeyesv, '-debug', '--hive', hive, '--state-dir', work, '--rpc-port', str(rpc_port),
                          '--local-endpoint', os.path.join(work, 'rpc.sock'), '--replay', capture],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
try:
    for line in agent.stdout:
        if line.startswith('To Terminate'):
            break
    for _ in range(200):
        tot = query(rpc_port, 'TOTAL')[0]['Records'][0]
        if tot['FrameSequence'] == len(frames):
            break
        time.sleep(0.05)
    check(tot['FrameSequence'] == len(frames), 'every frame of the file read (%d)' % tot['FrameSequence'])
    own = tot['OwnFrames'] + tot['OwnGroupFrames'] + tot['OwnEventFrames']
    check(own == own_sent, 'frames sent by this station: %d, file says %d' % (own, own_sent))
    total = own + tot['OtherFrames'] + tot['OtherGroupFrames'] + tot['OtherEventFrames']
    check(total == len(frames), 'every frame counted once in the totals (%d)' % total)

    stats = [r for r in query(rpc_port, 'STATS_PRO 0')[0]['Records'] if r['Tag'] == 'STAT']
    sent = sum(r['FramesSent'] + r['GroupFramesSent'] + r['EventFramesSent'] for r in stats)
    check(0 < len(stats) <= 500, '%d stations' % len(stats))
    selfs = [r for r in stats if r['AddressLabel'].startswith('*')]
    check(len(selfs) >= 1, 'own stations marked with "*": %s' % [(r['ProtocolLabel'], r['Role']) for r in selfs])
    check(all(r['AddressLabel'].startswith('*') for r in stats if r['Role'] == 'Self'), 'only own stations are Self')

    details = [r for r in query(rpc_port, 'DETAILS 0')[0]['Records'] if r['Tag'] == 'DETL']
    check(len(details) == 300, 'the recent-frame ring holds the last 300 frames')
    check(sorted(r['Sequence'] for r in details)[-1] == len(frames), 'the last frame is in the ring')
    errors = [r for r in query(rpc_port, 'ERRORS 0')[0]['Records'] if r['Tag'] == 'DETL']
    check(len(errors) == min(100, tot['OwnEventFrames'] + tot['OtherEventFrames']), '%d event frames logged' % len(errors))
    check(all(r['EventText'].strip() for r in errors), 'every logged frame names its event')
finally:
    agent.send_signal(signal.SIGINT)
    try:
        rc = agent.wait(timeout=5)
    except subprocess.TimeoutExpired:
        agent.kill()
        rc = 'timeout'
check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
tet = [n for n in os.listdir(os.path.join(work, 'NETWARD History')) if n.endswith('.TES')]
check(len(tet) == 1, 'statistics file written at the stop')
print('ALL OK')
