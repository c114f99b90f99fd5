#!/usr/bin/python3
# A 100 MB history day (a trace file and a statistics file of 100 MB each, far beyond any real day):
# TET and TES of that day answer with whole records, cut at the reply limit, and the agent's peak
# resident memory stays under 64 MB while it does (not checked under the sanitizers, whose own
# memory dwarfs ours). Before, the day was read whole into memory and the reply failed.
# Usage: history_big_day_e2e.py TAPEYESV WORKDIR
import os
import shutil
import struct
import sys
import time

from impacket.dcerpc.v5 import transport
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, write_hive  # noqa: E402

IFACE = uuidtup_to_bin(('cabcbc10-aaae-11d2-a9f7-00104b7babc3', '1.0'))
MB = 1 << 20
REPLY_LIMIT = 6 * MB  # the body bytes a history day may fill
tapeyesv, work = sys.argv[1:3]
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



def reply_body(dce, text):
    """The reply body of an accepted RequestRpc (the block after its 32-byte header)."""
    dce.call(1, b'Secret'.ljust(16, b'\0') + text.encode().ljust(256, b'\0'))
    r = dce.recv()
    check(struct.unpack_from('<L', r, 0)[0] != 0, text + ': a reply block')
    n = struct.unpack_from('<L', r, 4)[0]
    block = r[8:8 + n]
    length, status = struct.unpack_from('<lL', r, 8 + n + (-n % 4))
    check(status == 0 and length == n == len(block) and block[:4] == b'TASK', text + ': accepted, %d bytes' % n)
    return block[32:]


hive = write_hive(os.path.join(work, 'hive.reg'))
agent = Agent(tapeyesv, work, hive, free_port())
peak_kb = 0
try:
    agent.wait_ready()
    # impacket, an independent client, brings the reply block as it came.
    dce = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % agent.port).get_dce_rpc()
    dce.connect()
    dce.bind(IFACE)
    for request, tag, size in (('TET ' + day, b'TET ', 40), ('TES ' + day, b'STAT', 124)):
        began = time.time()
        body = reply_body(dce, request)
        records = [body[at:at + size] for at in range(0, len(body), size)]
        check(len(body) == REPLY_LIMIT // size * size and all(r[:4] == tag for r in records),
              '%s: %d whole records, cut at the reply limit, in %.1f s' % (request, len(records), time.time() - began))
    check(struct.unpack_from('<I', records[0], 4)[0] == 2, 'a stored station keeps its adapter')
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
