#!/usr/bin/python3
# A snapshot's stored frames as pcap files, read by tshark. The agent replays a generated Ethernet
# capture and a Token Ring capture made here; `netward --write-pcap DIR SNAPSHOT` (the image over
# RPC) and `netward --snapshot FILE --write-pcap DIR` (a file the agent wrote) must give the same
# files, and tshark must read from them the frame count, wire and stored lengths and times that the
# agent's own DETAILS reply gives for the same frames, with the bytes of the original captures.
#
# Usage: pcap_export_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, make_workload, write_hive  # noqa: E402

tapeyesv, netward, generator, work = sys.argv[1:5]
ETHERNET_FRAMES, RING_FRAMES = 2000, 40
DLT_EN10MB, DLT_IEEE802 = 1, 6

if shutil.which('tshark') is None:
    print('SKIP: tshark is not installed')
    raise SystemExit(77)


def write_pcap(path, link_type, frames):
    with open(path, 'wb') as f:
        f.write(struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, link_type))
        for i, data in enumerate(frames):
            f.write(struct.pack('<IIII', 1700000000 + i // 10, (i % 10) * 100000, len(data), len(data)) + data)


def read_pcap(path):
    """(snapshot length, link type, [(captured bytes, wire length)]) of a classic little-endian pcap file."""
    with open(path, 'rb') as f:
        data = f.read()
    check(struct.unpack_from('<I', data, 0)[0] == 0xa1b2c3d4, '%s is a microsecond pcap file' % path)
    snaplen, link = struct.unpack_from('<II', data, 16)
    off, frames = 24, []
    while off + 16 <= len(data):
        _, _, incl, orig = struct.unpack_from('<IIII', data, off)
        frames.append((data[off + 16:off + 16 + incl], orig))
        off += 16 + incl
    return snaplen, link, frames


def ring_frame(i):
    """A Token Ring frame: AC, FC (LLC), destination, source, SNAP header for IPv4, an IPv4/UDP packet."""
    dst = b'\xff' * 6 if i % 5 == 0 else bytes.fromhex('10005a0000%02x' % (i % 3))
    src = bytes.fromhex('10005a1000%02x' % (i % 4))
    payload = bytes((i + k) & 0xff for k in range(20 + (i * 37) % 1400))
    udp = struct.pack('!HHHH', 1024 + i, 53, 8 + len(payload), 0) + payload
    ip = struct.pack('!BBHHHBBH4s4s', 0x45, 0, 20 + len(udp), i, 0, 64, 17, 0, bytes([10, 2, 0, 1 + i % 4]),
                     bytes([10, 2, 0, 200])) + udp
    return b'\x10\x40' + dst + src + b'\xaa\xaa\x03\x00\x00\x00\x08\x00' + ip


def netward_run(*args):
    p = subprocess.run([netward, '--key', 'secret', *args], capture_output=True, text=True, timeout=60)
    return p.returncode, p.stdout, p.stderr


def tshark_fields(path):
    out = subprocess.run(['tshark', '-r', path, '-T', 'fields', '-e', 'frame.len', '-e', 'frame.cap_len',
                          '-e', 'frame.time_epoch', '-e', 'frame.protocols'],
                         capture_output=True, text=True, timeout=60)
    check(out.returncode == 0, 'tshark reads %s (%s)' % (os.path.basename(path), out.stderr.strip()[-200:]))
    return [line.split('\t') for line in out.stdout.splitlines() if line]


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
mix = os.path.join(work, 'mix.pcap')
make_workload(generator, mix, ETHERNET_FRAMES, 40, 3)
ring = os.path.join(work, 'ring.pcap')
write_pcap(ring, DLT_IEEE802, [ring_frame(i) for i in range(RING_FRAMES)])
originals = {1: read_pcap(mix)[2][-300:], 2: read_pcap(ring)[2]}

rpc_port = free_port()
hive = write_hive(os.path.join(work, 'hive.reg'), key='secret',
                  extra='\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
                        '"OwnAddress"="00:60:08:00:00:0a"\n'
                        # The ring's 40 frames over 4 seconds: the dump's millisecond offsets count.
                        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\ring]\n'
                        '"Pace"="realtime"\n')
agent = Agent(tapeyesv, work, hive, rpc_port, '--replay', mix, '--replay', ring)
live_dir, file_dir = os.path.join(work, 'live'), os.path.join(work, 'file')
os.makedirs(live_dir)
os.makedirs(file_dir)
nws = os.path.join(work, 'agent.NWS')
try:
    agent.wait_ready()
    want = ETHERNET_FRAMES + RING_FRAMES
    for _ in range(200):
        rc, out, _ = netward_run('--port', str(rpc_port), '--json', 'TOTAL')
        if rc == 0 and json.loads(out)['Records'][0]['FrameSequence'] == want:
            break
        time.sleep(0.1)
    rc, out, err = netward_run('--port', str(rpc_port), '--json', 'DETAILS 0')
    check(rc == 0, 'DETAILS 0 answers')
    details = {1: [], 2: []}
    for r in sorted((r for r in json.loads(out)['Records'] if r['Tag'] == 'DETL'), key=lambda r: r['Sequence']):
        details[r['AdapterNumber']].append(r)
    check(len(details[1]) == 300 and len(details[2]) == RING_FRAMES, 'the rings hold 300 and %d frames' % RING_FRAMES)

    rc, out, err = netward_run('--port', str(rpc_port), '--write-pcap', live_dir, 'SNAPSHOT')
    check(rc == 0 and out == '%s/DUMP_1.pcap: 300 frames, Ethernet\n%s/DUMP_2.pcap: %d frames, Token Ring\n'
          % (live_dir, live_dir, RING_FRAMES), 'the image over RPC gives one pcap per adapter: %r %s' % (out, err))
    rc, _, err = netward_run('--port', str(rpc_port), '--write-pcap', live_dir, 'SNAPSHOT ' + nws)
    check(rc == 1 and 'SNAPSHOT' in err, 'a SNAPSHOT with a file name is refused with --write-pcap (%d)' % rc)
    rc, _, err = netward_run('--port', str(rpc_port), 'SNAPSHOT ' + nws)
    check(rc == 0 and os.path.getsize(nws) > 0, 'the agent writes a snapshot file')
finally:
    agent.stop()

rc, out, err = netward_run('--snapshot', nws, '--write-pcap', file_dir)
check(rc == 0 and out.count(file_dir + '/DUMP_') == 2, 'the snapshot file gives the same two files: %r' % out)

for adapter, link, medium in ((1, DLT_EN10MB, 'eth'), (2, DLT_IEEE802, 'tr')):
    name = 'DUMP_%d.pcap' % adapter
    with open(os.path.join(live_dir, name), 'rb') as a, open(os.path.join(file_dir, name), 'rb') as b:
        check(a.read() == b.read(), '%s: the same bytes from the image and from the file' % name)
    path = os.path.join(live_dir, name)
    rows = tshark_fields(path)
    expect, lines = originals[adapter], details[adapter]
    check(len(rows) == len(expect), '%s: tshark reads %d frames, the dump holds %d' % (name, len(rows), len(expect)))
    check(all(r[3].split(':')[0] == medium for r in rows), '%s: tshark decodes every frame as %s' % (name, medium))
    check([int(r[0]) for r in rows] == [orig for _, orig in expect] == [d['Length'] for d in lines],
          '%s: wire lengths of the original capture and of DETAILS' % name)
    check([int(r[1]) for r in rows] == [min(orig, 256) for _, orig in expect], '%s: at most 256 bytes stored' % name)
    times = [float(r[2]) for r in rows]
    check([time.strftime('%H:%M:%S', time.localtime(t)) for t in times] == [d['TimeText'] for d in lines],
          '%s: frame times as DETAILS gives them' % name)
    check(times == sorted(times) and (adapter == 1 or len(set(times)) >= 4),
          '%s: times in order over %d distinct seconds' % (name, len(set(times))))
    snaplen, got_link, frames = read_pcap(path)
    check(got_link == link and snaplen == 256, '%s: link type %d, snapshot length %d' % (name, got_link, snaplen))
    check([data for data, _ in frames] == [data[:256] for data, _ in expect], '%s: the stored bytes of each frame' % name)
print('ALL OK')
