#!/usr/bin/python3
# The agent replays a generated mixed capture. Two independent clients, the netward tool (JSON) and
# impacket (raw DCE RPC, records taken apart here), fetch every statistics keyword; both are checked
# against an independent count of the capture file and against each other.
# Usage: replay_totals_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import shutil
import struct
import subprocess
import sys
import time

from impacket.dcerpc.v5 import transport
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, make_workload, read_reply, send_request, write_hive  # noqa: E402

IFACE = uuidtup_to_bin(('cabcbc10-aaae-11d2-a9f7-00104b7babc3', '1.0'))
tapeyesv, netward, generator, work = sys.argv[1:5]
OWN = bytes.fromhex('00600800000a')
GROUP_RING = 4500
SIZES = {b'TOT ': 100, b'TXT4': 4100, b'HIST': 12, b'TET ': 40, b'STAT': 124, b'DETL': 364, b'BHDR': 40,
         b'BENT': 244}


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


def netward_json(port, *requests, key='secret'):
    out = subprocess.run([netward, '--port', str(port), '--key', key, '--json', *requests],
                         capture_output=True, text=True, timeout=30)
    return out.returncode, [json.loads(line) for line in out.stdout.splitlines() if line.strip()], out.stderr


def query(port, request):
    rc, replies, err = netward_json(port, request)
    check(rc == 0, 'netward %s exits 0 (%s)' % (request, err.strip()))
    return replies[0]['Records']


def tagged(records, tag):
    return [r for r in records if r['Tag'] == tag]


def raw_request(dce, text, key=b'Secret'):
    send_request(dce, text, key)
    _, block, length, status = read_reply(dce)
    check(status == 0 and length == len(block), 'impacket: %s accepted, %d bytes' % (text.decode(), length))
    records, at = [], 32
    while at < len(block):
        tag = block[at:at + 4]
        if tag not in SIZES or at + SIZES[tag] > len(block):
            check(False, 'impacket: %s: record %r at %d' % (text.decode(), tag, at))
        records.append((tag.decode(), block[at:at + SIZES[tag]]))
        at += SIZES[tag]
    return records


def u32(rec, off):
    return struct.unpack_from('<I', rec, off)[0]


def text(rec, off, n):
    return rec[off:off + n].split(b'\0')[0].decode('latin-1').rstrip()


shutil.rmtree(work, ignore_errors=True)  # the day's history files of an earlier run would add up too
os.makedirs(work)
capture = os.path.join(work, 'mix.pcap')
make_workload(generator, capture, 20000, 80, 5)
frames = pcap_frames(capture)
own_sent = sum(1 for data, _ in frames if data[6:12] == OWN)
group = [data for data, _ in frames if data[0] & 1]
in_ring = group[-GROUP_RING:]

rpc_port = free_port()


def multi_sz(*entries):
    data = b''.join(e.encode() + b'\0' for e in entries) + b'\0'
    return 'hex(7):' + ','.join('%02x' % b for b in data)


# The capture's own TCP/IP settings, as the system would give them for a live adapter: this PC
# 10.1.0.10/16, the router 10.1.0.1, the DNS server 10.1.0.2.
hive = write_hive(os.path.join(work, 'hive.reg'),
                  extra='\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
                        '"OwnAddress"="00:60:08:00:00:0a"\n'
                        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mix\\Parameters\\Tcpip]\n'
                        '"EnableDHCP"=dword:00000000\n"IPAddress"=%s\n"SubnetMask"=%s\n"DefaultGateway"=%s\n'
                        '"NameServer"="10.1.0.2"\n'
                        % (multi_sz('10.1.0.10'), multi_sz('255.255.0.0'), multi_sz('10.1.0.1')))
agent = Agent(tapeyesv, work, hive, rpc_port, '--replay', capture)
try:
    agent.wait_ready()
    for _ in range(400):
        tot = tagged(query(rpc_port, 'TOTAL'), 'TOT ')[0]
        if tot['FrameSequence'] == len(frames):
            break
        time.sleep(0.05)
    today = time.strftime('%Y%m%d')

    # ---- netward, checked against the capture file ----
    check(tot['FrameSequence'] == len(frames), 'every frame of the file read (%d)' % tot['FrameSequence'])
    own = tot['OwnFrames'] + tot['OwnGroupFrames'] + tot['OwnEventFrames']
    check(own == own_sent, 'frames sent by this station: %d, file says %d' % (own, own_sent))
    total = own + tot['OtherFrames'] + tot['OtherGroupFrames'] + tot['OtherEventFrames']
    check(total == len(frames), 'every frame counted once in the totals (%d)' % total)

    stats = tagged(query(rpc_port, 'STATS_PRO 0'), 'STAT')
    check(0 < len(stats) <= 500, '%d stations' % len(stats))
    selfs = [r for r in stats if r['AddressLabel'].startswith('*')]
    check(len(selfs) >= 1, 'own stations marked with "*": %s' % [(r['ProtocolLabel'], r['Role']) for r in selfs])
    check(all(r['AddressLabel'].startswith('*') for r in stats if r['Role'] == 'Self'), 'only own stations are Self')
    check(tagged(query(rpc_port, 'STATS_PRO %d' % len(frames)), 'STAT') == [], 'no station changed after the last frame')

    details = tagged(query(rpc_port, 'DETAILS 0'), 'DETL')
    check(len(details) == 300, 'the recent-frame ring holds the last 300 frames')
    check(sorted(r['Sequence'] for r in details) == list(range(len(frames) - 299, len(frames) + 1)),
          'the ring holds exactly the newest 300 sequence numbers')
    check(all(r['Length'] == frames[r['Sequence'] - 1][1] for r in details), 'each line has its frame\'s wire length')
    gateway = [r['ProtocolText'] for r in details if r['ProtocolText'].startswith('ARP Reply,   Found 10.1.0.1')]
    check(gateway and all(t == 'ARP Reply,   Found 10.1.0.1 (GW)' for t in gateway),
          'the gateway\'s ARP replies carry its role: %s' % gateway[:2])
    errors = tagged(query(rpc_port, 'ERRORS 0'), 'DETL')
    check(len(errors) == min(100, tot['OwnEventFrames'] + tot['OtherEventFrames']), '%d event frames logged' % len(errors))
    check(all(r['EventText'].strip() for r in errors), 'every logged frame names its event')

    for low in ('LOW', 'HIGH'):
        reply = query(rpc_port, 'BCASTERS ' + low)
        head, entries = tagged(reply, 'BHDR')[0], tagged(reply, 'BENT')
        check(head['GroupFrames'] == len(in_ring), 'BCASTERS %s: %d group frames, the ring holds %d'
              % (low, head['GroupFrames'], len(in_ring)))
        check(head['EntryCount'] == len(entries) and sum(e['WindowFrames'] for e in entries) == head['GroupFrames'],
              'BCASTERS %s: %d entries whose counts add up' % (low, len(entries)))
        sources = {d[6:12].hex().upper() for d in in_ring}
        check(all(e['AddressLabel'].lstrip('*') in sources for e in entries), 'every broadcaster is a source of the file')
    sent = query(rpc_port, 'BCASTSENT HIGH')
    own_group = sum(1 for d in in_ring if d[6:12] == OWN)
    check(tagged(sent, 'BHDR')[0]['GroupFrames'] == own_group, 'BCASTSENT counts the %d own group frames' % own_group)
    check(all(e['AddressLabel'].startswith('*') for e in tagged(sent, 'BENT')), 'BCASTSENT lists own frames only')

    hist = [r['Date'] for r in tagged(query(rpc_port, 'HISTORY_LIST'), 'HIST')]
    check(hist == [today], 'history list names today: %s' % hist)
    tet = tagged(query(rpc_port, 'TET ' + today), 'TET ')
    fields = ('OwnFrames', 'OwnGroupFrames', 'OwnEventFrames', 'OtherFrames', 'OtherGroupFrames', 'OtherEventFrames')
    check(sum(r[k] for r in tet for k in fields) == len(frames),
          'the day\'s trace intervals add up to every frame: %s' % [[r['Interval']] + [r[k] for k in fields] for r in tet])
    tes = tagged(query(rpc_port, 'TES ' + today), 'STAT')
    plain = lambda r: {k: v for k, v in r.items() if k != 'Offset'}  # TES has no TOT record in front
    diff = [(a, b) for a, b in zip(tes, stats) if plain(a) != plain(b)][:1]
    check(len(tes) == len(stats) and not diff, 'the day\'s statistics are the live stations (%d) %s' % (len(tes), diff))

    # The reports: adapter status, installed cards, the TCP/IP report and a helper command.
    oid = tagged(query(rpc_port, 'OID'), 'OID ')
    check(len(oid) == 1 and oid[0]['AdapterName'] == 'mix' and oid[0]['State'] == 'Open' and
          oid[0]['Media'] == 'Ethernet' and oid[0]['OwnAddress'] == OWN.hex().upper(),
          'OID: the capture-file adapter is open, Ethernet, with its own address')
    cfg = tagged(query(rpc_port, 'CFG '), 'TXT4')
    check(len(cfg) == 1 and cfg[0]['Text'].startswith('INSTALLED NETWORK ADAPTERS\r\n'), 'CFG lists the installed adapters')
    config = tagged(query(rpc_port, 'CMD CONFIG'), 'TXT4')[0]['Text']
    check(' Computer Name : ' in config and '10.1.0.10' in config and '10.1.0.1 ' in config,
          'CMD CONFIG: the capture adapter\'s TCP/IP settings from the hive')
    arp = tagged(query(rpc_port, 'CMD ARP -a'), 'TXT4')[0]['Text']
    check(len(arp) > 0 and '\r\n' in arp, 'CMD ARP -a runs the helper program (%d bytes)' % len(arp))

    rc, _, err = netward_json(rpc_port, 'TOTAL', key='wrong')
    check(rc == 3 and 'key' in err.lower(), 'netward: a wrong key is refused with exit 3 (%s)' % err.strip())

    # ---- impacket on the same requests, checked against netward ----
    d = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % rpc_port).get_dce_rpc()
    d.connect()
    d.bind(IFACE)
    raw = raw_request(d, b'TOTAL')
    check(u32(raw[0][1], 4) == len(frames), 'impacket: TOTAL frame sequence')
    raw = [rec for tag, rec in raw_request(d, b'STATS_PRO 0') if tag == 'STAT']
    check([(text(r, 8, 16), text(r, 24, 28), u32(r, 104), u32(r, 120)) for r in raw] ==
          [(s['AddressLabel'], s['ProtocolLabel'], s['FramesSent'], s['FramesReceived']) for s in stats],
          'impacket: the same %d stations in the same order' % len(raw))
    for request, want in (('DETAILS 0', details), ('ERRORS 0', errors)):
        raw = [rec for tag, rec in raw_request(d, request.encode()) if tag == 'DETL']
        check([(u32(r, 8), text(r, 144, 100)) for r in raw] == [(r['Sequence'], r['SummaryText']) for r in want],
              'impacket: %s gives the same decoded lines' % request)
    for request in ('BCASTERS HIGH', 'BCASTSENT LOW'):
        raw = raw_request(d, request.encode())
        want = query(rpc_port, request)
        check([tag for tag, _ in raw] == [r['Tag'] for r in want], 'impacket: %s gives the same records' % request)
        check([u32(r, 96) for tag, r in raw if tag == 'BENT'] == [e['WindowFrames'] for e in tagged(want, 'BENT')],
              'impacket: %s entry counts agree' % request)
    raw = raw_request(d, b'HISTORY_LIST')
    check([text(r, 4, 8) for tag, r in raw if tag == 'HIST'] == hist, 'impacket: history list')
    raw = raw_request(d, ('TET ' + today).encode())
    check(len(raw) == len(tet) and all(u32(r, 4) == t['Interval'] for (_, r), t in zip(raw, tet)), 'impacket: trace')
    raw = raw_request(d, ('TES ' + today).encode())
    check([text(r, 8, 16) for _, r in raw] == [s['AddressLabel'] for s in tes], 'impacket: day statistics')
finally:
    rc = agent.stop()
check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
tes_files = [n for n in os.listdir(os.path.join(work, 'NETWARD History')) if n.endswith('.TES')]
check(len(tes_files) == 1, 'statistics file written at the stop')
print('ALL OK')
