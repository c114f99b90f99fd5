#!/usr/bin/python3
# The real agent in the console, driven over DCE RPC by impacket as an independent client: the
# endpoint mapper on a test port, PingRpc, RequestRpc with the right key, the same key in other
# letter case, a wrong key, a key changed in the settings file while it runs; then Ctrl+C ends it
# with exit code 0.
# Usage: agent_rpc_e2e.py TAPEYESV WORKDIR
import os
import sys

from impacket.dcerpc.v5 import epm, transport
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, read_reply, send_request, write_hive  # noqa: E402

IFACE = uuidtup_to_bin(('cabcbc10-aaae-11d2-a9f7-00104b7babc3', '1.0'))
tapeyesv, work = sys.argv[1], sys.argv[2]


def request(dce, key, text):
    send_request(dce, text, key)
    return read_reply(dce)[1:]


os.makedirs(work, exist_ok=True)
rpc_port, epm_port = free_port(), free_port()
hive = write_hive(os.path.join(work, 'hive.reg'), epm_port=epm_port)
agent = Agent(tapeyesv, work, hive, rpc_port)
try:
    lines = agent.wait_ready()
    check(any(l == 'RpcServerUseProtseq ncacn_ip_tcp = 0\n' for l in lines), 'TCP protocol sequence opened')
    check(any(l == 'RpcServerUseProtseq ncacn_spx = 1703\n' for l in lines), 'SPX reported as not supported')

    e = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % epm_port).get_dce_rpc()
    e.connect()
    binding = epm.hept_map('127.0.0.1', IFACE, protocol='ncacn_ip_tcp', dce=e)
    check(binding.endswith('[%d]' % rpc_port), 'endpoint mapper gives the agent port: ' + binding)

    d = transport.DCERPCTransportFactory(binding).get_dce_rpc()
    d.connect()
    d.bind(IFACE)
    d.call(0, b'')
    check(d.recv() == b'\0\0\0\0', 'PingRpc returns 0')

    block, length, status = request(d, b'Secret', b'TOTAL')
    check(status == 0 and length == 132 == len(block), 'TOTAL gives a 132-byte block')
    check(block[:12] == b'TASK19990415' and block[32:36] == b'TOT ', 'reply header and TOT record')
    block, length, status = request(d, b'sECRET', b'HISTORY_LIST')
    check(status == 0 and block[132:136] == b'HIST', 'key in other letter case accepted; history listed')
    block, length, status = request(d, b'Wrong', b'TOTAL')
    check(status == 0xFFFFFFFE and length == 0 and block == b'', 'wrong key gives -2 and no block')

    # A key changed in the settings file takes effect at the next "OPEN " request.
    write_hive(hive, key='Changed', epm_port=epm_port)
    block, length, status = request(d, b'Secret', b'TOTAL')
    check(status == 0, 'the old key still works until an OPEN request')
    block, length, status = request(d, b'Changed', b'OPEN ')
    check(status == 0 and length == 132, 'OPEN with the key now in the file is accepted')
    block, length, status = request(d, b'Secret', b'OPEN ')
    check(status == 0xFFFFFFFE and length == 0, 'OPEN with the old key is refused with -2')
finally:
    rc = agent.stop()
check(rc == 0, 'agent ended with exit code 0 on Ctrl+C (%s)' % rc)
print('ALL OK')
