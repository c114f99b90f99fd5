#!/usr/bin/python3
# Drives our server with impacket as an independent client: direct binding over ncacn_ip_tcp,
# binding found through our endpoint mapper (hept_map, hept_lookup), PingRpc and RequestRpc with
# good and bad keys, a reply large enough to be fragmented, short bodies, and a big-endian request.
# Usage: impacket_client.py PORT EPM_PORT KEY_HEX REPLY_SIZE
import os
import struct
import sys

from impacket.dcerpc.v5 import epm, transport
from impacket.dcerpc.v5.rpcrt import DCERPCException, MSRPCRespHeader
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import check, read_reply, send_request  # noqa: E402

IFACE = uuidtup_to_bin(('cabcbc10-aaae-11d2-a9f7-00104b7babc3', '1.0'))
port, epm_port, key, reply_size = int(sys.argv[1]), int(sys.argv[2]), bytes.fromhex(sys.argv[3]), int(sys.argv[4])


def connect(binding, frag=0):
    t = transport.DCERPCTransportFactory(binding)
    d = t.get_dce_rpc()
    if frag:
        d.set_max_fragment_size(frag)
    d.connect()
    return d


def request_rpc(d, k):
    send_request(d, b'STATUS', k)
    return read_reply(d)


# Through the endpoint mapper on its test port.
e = connect('ncacn_ip_tcp:127.0.0.1[%d]' % epm_port)
binding = epm.hept_map('127.0.0.1', IFACE, protocol='ncacn_ip_tcp', dce=e)
check(binding == 'ncacn_ip_tcp:127.0.0.1[%d]' % port, 'hept_map gives ' + str(binding))
e = connect('ncacn_ip_tcp:127.0.0.1[%d]' % epm_port)
entries = epm.hept_lookup('127.0.0.1', dce=e)
found = [x for x in entries if epm.PrintStringBinding(x['tower']['Floors']) == 'ncacn_ip_tcp:0.0.0.0[%d]' % port or
         epm.PrintStringBinding(x['tower']['Floors']) == 'ncacn_ip_tcp:127.0.0.1[%d]' % port]
check(len(found) >= 1, 'hept_lookup lists our endpoint (%d entries)' % len(entries))

d = connect(binding)
d.bind(IFACE)
d.call(0, b'')
check(d.recv() == b'\0\0\0\0', 'PingRpc returns 0')

ref, block, length, status = request_rpc(d, key)
check(ref != 0 and status == 0 and length == reply_size and len(block) == reply_size, 'RequestRpc good key, %d-byte reply' % length)
check(all(block[i] == (i & 0xff) for i in range(0, len(block), 1001)), 'reply block content')

ref, block, length, status = request_rpc(d, b'\0' * 16)
check(ref == 0 and length == 0 and status == 0xFFFFFFFE, 'RequestRpc bad key gives -2 and no block')

try:
    d.call(1, key + b'short')
    d.recv()
    check(False, 'short body faults')
except DCERPCException as ex:
    check("rpc_x_bad_stub_data" in str(ex), "short body faults with 1783 (%s)" % ex)

# Small fragments from the client side as well.
d2 = connect(binding, frag=1000)
d2.bind(IFACE)
ref, block, length, status = request_rpc(d2, key)
check(status == 0 and len(block) == reply_size, 'fragmented request and reply')

# Big-endian request built by hand on an impacket-bound transport: header and body fields
# follow the label 0x00000000.
t = d2.get_rpc_transport()
pdu = struct.pack('>BBBBLHHL', 5, 0, 0, 3, 0, 24, 0, 99) + struct.pack('>LHH', 0, 0, 0)
t.send(pdu)
raw = b''
while True:
    chunk = t.recv()
    check(len(chunk) > 0, 'the connection stays open for the big-endian request')
    raw += chunk
    hdr = MSRPCRespHeader(raw)
    if len(raw) >= hdr['frag_len']:
        break
check(raw[2] == 2 and struct.unpack_from('<L', raw, 12)[0] == 99 and raw[24:28] == b'\0\0\0\0',
      'big-endian PingRpc answered')
print('ALL OK')
