#!/usr/bin/python3
# "CMD VEDEZOZE STOP" through the real RPC server: the client that asks for the stop gets its text,
# a client whose long reply is still being sent when the stop comes gets all of it, and the agent
# exits 0 within CommonStop's 2.5 s. Once with impacket clients, once with the netward tool.
# Usage: agent_stop_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import os
import shutil
import socket
import struct
import subprocess
import sys
import time

from impacket.dcerpc.v5 import transport
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, make_workload, read_reply, send_request, write_hive  # noqa: E402

IFACE = uuidtup_to_bin(('cabcbc10-aaae-11d2-a9f7-00104b7babc3', '1.0'))
STOP_TEXT = b'TapEye Service terminating'
tapeyesv, netward, generator, work = sys.argv[1:5]


class SmallWindowSocket(socket.socket):
    """A socket that reads little at a time: a long reply to it stays in the sending for a while."""

    def connect(self, address):
        self.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        super().connect(address)


def bound(port, small_window=False):
    saved = transport.socket.socket
    if small_window:
        transport.socket.socket = SmallWindowSocket
    try:
        d = transport.DCERPCTransportFactory('ncacn_ip_tcp:127.0.0.1[%d]' % port).get_dce_rpc()
        d.connect()
    finally:
        transport.socket.socket = saved
    d.bind(IFACE)
    return d


def exit_within(agent, seconds):
    try:
        return agent.process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        return 'still running after %.1f s' % seconds


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
capture = os.path.join(work, 'mix.pcap')
make_workload(generator, capture, 20000, 80, 5)

# ---- impacket: a long reply in progress, then the stop from a second client ----
rpc_port = free_port()
agent = Agent(tapeyesv, os.path.join(work, 'a'), write_hive(os.path.join(work, 'a.reg')), rpc_port,
              '--replay', capture)
try:
    agent.wait_ready()
    d = bound(rpc_port)
    for _ in range(400):
        send_request(d, b'TOTAL')
        _, block, _, _ = read_reply(d)
        if struct.unpack_from('<I', block, 36)[0] == 20000:
            break
        time.sleep(0.05)
    send_request(d, b'SNAPSHOT')
    snapshot_length = read_reply(d)[2]
    check(snapshot_length > 200000, 'a snapshot image of the replay is long (%d bytes)' % snapshot_length)

    slow = bound(rpc_port, small_window=True)
    send_request(slow, b'SNAPSHOT')  # its reply is not read until after the stop
    time.sleep(0.5)
    stopper = bound(rpc_port)
    send_request(stopper, b'CMD VEDEZOZE STOP')
    _, block, length, status = read_reply(stopper)
    stopped_at = time.time()
    check(status == 0 and block[32:36] == b'TXT4' and block[36:36 + len(STOP_TEXT) + 1] == STOP_TEXT + b'\0',
          'impacket: the stop request gets "TapEye Service terminating"')
    _, block, length, status = read_reply(slow)
    check(status == 0 and length == len(block) and block[32:36] == b'NWS ' and
          abs(length - snapshot_length) < snapshot_length // 10,
          'the long reply in progress at the stop arrives whole (%d bytes)' % length)
    rc = exit_within(agent, 2.5 - (time.time() - stopped_at))
    check(rc == 0, 'the agent exits 0 within 2.5 s of the stop (%s)' % rc)
    refused = False
    try:
        socket.create_connection(('127.0.0.1', rpc_port), timeout=1).close()
    except OSError:
        refused = True
    check(refused, 'the RPC port is closed')
finally:
    if agent.process.poll() is None:
        agent.stop()

# ---- netward ----
rpc_port = free_port()
agent = Agent(tapeyesv, os.path.join(work, 'b'), write_hive(os.path.join(work, 'b.reg')), rpc_port)
try:
    agent.wait_ready()
    out = subprocess.run([netward, '--port', str(rpc_port), '--key', 'Secret', 'CMD VEDEZOZE STOP'],
                         capture_output=True, text=True, timeout=30)
    stopped_at = time.time()
    check(out.returncode == 0 and STOP_TEXT.decode() in out.stdout,
          'netward: the stop request prints its text (exit %d: %s)' % (out.returncode, out.stdout.strip()[-80:]))
    rc = exit_within(agent, 2.5 - (time.time() - stopped_at))
    check(rc == 0, 'the agent exits 0 within 2.5 s of the stop (%s)' % rc)
finally:
    if agent.process.poll() is None:
        agent.stop()
print('ALL OK')
