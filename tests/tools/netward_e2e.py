#!/usr/bin/python3
# netward against the real agent (no adapters, a known key, a trace file of yesterday): TCP, the
# endpoint mapper and the local endpoint; JSON and text output; the key in other letter case; a
# wrong key (exit 3); an unreachable agent (exit 2). Then against a fake RPC server on loopback that
# answers with a broken reply block (exit 4, the message names the record and the offset).
# Usage: netward_e2e.py TAPEYESV NETWARD WORKDIR
import datetime
import json
import os
import shutil
import socket
import struct
import subprocess
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, write_hive  # noqa: E402

tapeyesv, netward, work = sys.argv[1], sys.argv[2], sys.argv[3]


def run(*args, key='Secret'):
    cmd = [netward] + (['--key', key] if key is not None else []) + list(args)
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    return p.returncode, p.stdout, p.stderr


def fake_agent(port, block, ready):
    """Answers one bind and one request on loopback with `block` as the reply block."""
    srv = socket.socket()
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(('127.0.0.1', port))
    srv.listen(1)
    ready.set()
    c, _ = srv.accept()

    def pdu():
        h = b''
        while len(h) < 16:
            h += c.recv(16 - len(h))
        n = struct.unpack_from('<H', h, 8)[0]
        body = b''
        while len(body) < n - 16:
            body += c.recv(n - 16 - len(body))
        return h, body

    def send(ptype, call_id, body):
        c.sendall(struct.pack('<BBBB4sHHL', 5, 0, ptype, 3, b'\x10\0\0\0', 16 + len(body), 0, call_id) + body)

    h, _ = pdu()
    ndr = bytes.fromhex('045d888aeb1cc9119fe808002b104860') + struct.pack('<L', 2)
    send(12, struct.unpack_from('<L', h, 12)[0],
         struct.pack('<HHLH2sB3xHH', 5840, 5840, 1, 2, b'0\0', 1, 0, 0) + ndr)
    h, _ = pdu()
    stub = struct.pack('<LL', 0x20000, len(block)) + block + b'\0' * (-len(block) % 4)
    stub += struct.pack('<lL', len(block), 0)
    send(2, struct.unpack_from('<L', h, 12)[0], struct.pack('<LHH', len(stub), 0, 0) + stub)
    c.close()
    srv.close()


shutil.rmtree(work, ignore_errors=True)
os.makedirs(os.path.join(work, 'NETWARD History'))
yesterday = datetime.datetime.now() - datetime.timedelta(days=1)
day = yesterday.strftime('%Y%m%d')
today = datetime.datetime.now().strftime('%Y%m%d')
t0 = int(yesterday.replace(hour=9, minute=25, second=0).timestamp())  # interval 9 * 6 + 2 = 56
with open(os.path.join(work, 'NETWARD History', day + '.TET'), 'wb') as f:
    f.write(b'TET ' + struct.pack('<LfLLLfLLL', t0, 1500.0, 3, 1, 0, 64.0, 2, 2, 1))
    f.write(b'TET ' + struct.pack('<LfLLLfLLL', t0 + 600, 0.0, 0, 0, 0, 0.0, 0, 0, 0))
    f.write(b'TET ' + b'\0' * 10)  # a last record cut short is ignored

rpc_port, epm_port = free_port(), free_port()
hive = write_hive(os.path.join(work, 'hive.reg'), epm_port=epm_port)
agent = Agent(tapeyesv, work, hive, rpc_port)
sock = agent.local
try:
    agent.wait_ready()

    rc, out, err = run('--port', str(rpc_port), '--json', 'TOTAL')
    check(rc == 0 and err == '', 'TOTAL over TCP (%d %s)' % (rc, err.strip()))
    r = json.loads(out)
    check(r['Request'] == 'TOTAL' and r['Header']['Version'] == '19990415', 'JSON reply header')
    check(r['Header']['Date'] == today and len(r['Records']) == 1, 'date of today, one record')
    tot = r['Records'][0]
    check(tot['Tag'] == 'TOT ' and tot['Offset'] == 32 and tot['FrameSequence'] == 0 and 'HostName' in tot,
          'TOT record with named fields')

    rc, out, err = run('--epm', '--epm-port', str(epm_port), '--json', 'HISTORY_LIST', 'TET ' + day,
                       'TET ' + today, 'STATS_PRO 0', 'CFG ', key='sECRET')
    check(rc == 0, 'five requests through the endpoint mapper, key in other letter case (%d %s)' % (rc, err.strip()))
    replies = [json.loads(l) for l in out.splitlines()]
    check(len(replies) == 5, 'one JSON line per request')
    hist = [x['Date'] for x in replies[0]['Records'] if x['Tag'] == 'HIST']
    # The agent may have written today's trace file by now; yesterday's must be listed.
    check(replies[0]['Records'][0]['Tag'] == 'TOT ' and day in hist, 'HISTORY_LIST: TOT, then HIST %s' % hist)
    tet = replies[1]['Records']
    check([x['Interval'] for x in tet] == [56, 57] and tet[0]['OwnBytes'] == 1500.0 and tet[0]['OtherEventFrames'] == 1,
          'TET of yesterday: the two whole stored records')
    check(len(replies[2]['Records']) >= 1 and all(x['Tag'] == 'TET ' for x in replies[2]['Records']),
          'TET of today: stored intervals and the running one')
    check([x['Tag'] for x in replies[3]['Records']] == ['TOT '], 'STATS_PRO without adapters: TOT only')
    check([x['Tag'] for x in replies[4]['Records']] == ['TXT4'], 'CFG: one TXT4 record')

    rc, out, err = run('--local', sock, 'TOTAL', 'TET ' + day)
    check(rc == 0 and '=== TET ' + day in out and 'Totals' in out, 'text output over the local endpoint')
    lines = out.splitlines()
    head = next(i for i, l in enumerate(lines) if l.startswith('Interval'))
    check(lines[head + 2].startswith(' 56 09:20') and lines[head + 3].startswith(' 57 09:30'),
          'TET table rows: ' + repr(lines[head + 2:head + 4]))
    check(len(set(len(l) for l in lines[head:head + 4])) == 1, 'TET table columns aligned')

    rc, out, err = run('--port', str(rpc_port), 'TOTAL', key='Wrong')
    check(rc == 3 and out == '' and 'key rejected' in err and '-2' in err, 'wrong key: exit 3 (%s)' % err.strip())
finally:
    agent.stop()

rc, out, err = run('--port', str(rpc_port), 'TOTAL')
check(rc == 2 and 'unreachable' in err, 'agent gone: exit 2 (%s)' % err.strip())

rc, out, err = run('--help', key=None)
for kw in ('TOTAL', 'OPEN', 'SNAPSHOT', 'CMD', 'CFG', 'HISTORY_LIST', 'TET', 'TES', 'DETAILS', 'ERRORS',
           'STATS_PRO', 'OID', 'BCASTSENT', 'BCASTERS'):
    check(rc == 0 and any(l.startswith('  ' + kw + ' ') for l in out.splitlines()), '--help lists ' + kw)

# Header, TOT, then a STAT record cut short at offset 132.
fake_port = free_port()
block = b'TASK19990415' + today.encode() + b'12:00:00' + b'\0' * 4 + b'TOT ' + b'\0' * 96 + b'STAT' + b'\0' * 20
ready = threading.Event()
t = threading.Thread(target=fake_agent, args=(fake_port, block, ready), daemon=True)
t.start()
ready.wait(5)
rc, out, err = run('--port', str(fake_port), 'STATS_PRO 0')
check(rc == 4 and '"STAT" at byte offset 132' in err, 'malformed reply: exit 4 (%s)' % err.strip())
t.join(5)
print('ALL OK')
