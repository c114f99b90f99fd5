#!/usr/bin/python3
# The agent on live interfaces of a network namespace of the test's own (a user namespace with its
# own sysfs, a veth pair 10.77.0.1/24 - 10.77.0.2/24 and loopback; no traffic can leave it). UDP
# broadcasts sent out of one end are captured on both; the system views must then tell the truth:
# the TCP/IP report shows the namespace's addresses and subnet, the stations get the "Self" role from
# it, the adapter status comes from the kernel, the subnet check sees the broadcast it expects, and
# the helper program pings the other end of the pair.
# Usage: netns_diagnostics_e2e.py TAPEYESV NETWARD WORKDIR
import json
import os
import shutil
import socket
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, write_hive  # noqa: E402

if '--inner' not in sys.argv:
    try:
        rc = subprocess.call(['unshare', '-rnm', sys.executable, os.path.abspath(__file__), '--inner'] + sys.argv[1:])
    except OSError as e:
        print('SKIP: no unshare:', e)
        raise SystemExit(77)
    raise SystemExit(rc)

tapeyesv, netward, work = [a for a in sys.argv[1:] if a != '--inner']


def sh(*args):
    subprocess.run(args, check=True, capture_output=True)


try:
    sh('mount', '-t', 'sysfs', 'sysfs', '/sys')  # this namespace's interfaces only
    sh('ip', 'link', 'set', 'lo', 'up')
    sh('ip', 'link', 'add', 'nw0', 'type', 'veth', 'peer', 'name', 'nw1')
    sh('ip', 'addr', 'add', '10.77.0.1/24', 'dev', 'nw0')
    sh('ip', 'addr', 'add', '10.77.0.2/24', 'dev', 'nw1')
    sh('ip', 'link', 'set', 'nw0', 'up')
    sh('ip', 'link', 'set', 'nw1', 'up')
except (OSError, subprocess.CalledProcessError) as e:
    print('SKIP: cannot set up a network namespace here:', e)
    raise SystemExit(77)
with open('/sys/class/net/nw0/address') as f:
    mac0 = f.read().strip().replace(':', '').upper()


def query(port, request):
    out = subprocess.run([netward, '--port', str(port), '--key', 'secret', '--json', request],
                         capture_output=True, text=True, timeout=30)
    check(out.returncode == 0, 'netward %s exits 0 (%s)' % (request, out.stderr.strip()))
    return json.loads(out.stdout)['Records']


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
rpc_port = free_port()
# No adapter list in the hive: the agent takes this namespace's interfaces that are up.
with open(write_hive(os.path.join(work, 'hive.reg'))) as f:
    text = f.read()
with open(os.path.join(work, 'hive.reg'), 'w') as f:
    f.write(text.replace('\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\n'
                         '"Export"=hex(7):00,00\n', '\n'))
agent = Agent(tapeyesv, work, os.path.join(work, 'hive.reg'), rpc_port)
try:
    lines = agent.wait_ready()
    adapters = [l.split('TapEye_')[1].strip() for l in lines if 'ZivUzevari Thread for Adapter' in l]
    check(sorted(adapters) == ['lo', 'nw0', 'nw1'], 'the namespace\'s interfaces are monitored: %s' % adapters)

    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b'nw0')
    s.bind(('10.77.0.1', 0))
    for _ in range(5):
        s.sendto(b'netward test', ('10.77.0.255', 9999))
    s.close()
    for _ in range(200):
        tot = query(rpc_port, 'TOTAL')[0]
        if tot['OwnGroupFrames'] + tot['OtherGroupFrames'] >= 10:
            break
        time.sleep(0.05)
    check(tot['OwnGroupFrames'] >= 5 and tot['OtherGroupFrames'] >= 5,
          'the broadcasts seen leaving nw0 and arriving on nw1 (%d own, %d other)'
          % (tot['OwnGroupFrames'], tot['OtherGroupFrames']))
    check(tot['AddressText'].startswith('IP='), 'AddressText set at start-up: %s' % tot['AddressText'])

    config = [r for r in query(rpc_port, 'CMD CONFIG') if r['Tag'] == 'TXT4'][0]['Text']
    check('\r\n Address       : 10.77.0.1       \r\n' in config and
          '\r\n Local Subnet  : 10.77.0.0       to 10.77.0.255' in config and
          '\r\n Address       : 127.0.0.1       \r\n' in config,
          'CMD CONFIG shows the namespace\'s addresses and subnets')
    stations = [r for r in query(rpc_port, 'STATS_PRO 0') if r['Tag'] == 'STAT']
    own = [r for r in stations if r['AddressLabel'] == '*' + mac0 and r['ProtocolLabel'] == 'IP 10.77.0.1']
    check(len(own) == 1 and own[0]['Role'] == 'Self', 'nw0\'s station is Self: %s' % own)

    oid = {r['AdapterName']: r for r in query(rpc_port, 'OID') if r['Tag'] == 'OID '}
    n0 = oid.get('nw0', {})
    check(n0.get('State') == 'Open' and n0.get('Media') == 'Ethernet' and n0.get('OwnAddress') == mac0 and
          n0.get('HardwareStatus') == 'Ready' and n0.get('MediaConnection') == 'Connected',
          'OID of nw0 from the kernel: %s' % {k: n0.get(k) for k in ('State', 'OwnAddress', 'HardwareStatus',
                                                                    'MediaConnection', 'LinkSpeed')})
    subnet = [r for r in query(rpc_port, 'CMD SUBNET') if r['Tag'] == 'TXT4'][0]['Text']
    check('10.77.0.255      received and matches 10.77.0.2 / 255.255.255.0' in subnet,
          'CMD SUBNET: the broadcast seen on nw1 matches its subnet')
    ping = [r for r in query(rpc_port, 'CMD PING 10.77.0.2') if r['Tag'] == 'TXT4'][0]['Text']
    check('Reply from 10.77.0.2' in ping and '\r\n' in ping, 'CMD PING through the helper: %r' % ping[:80])
    bcast = [r for r in query(rpc_port, 'BCASTERS HIGH') if r['Tag'] == 'BENT']
    check(any(r['AddressLabel'] == mac0 and r['WindowFrames'] >= 5 for r in bcast) and
          any(r['AddressLabel'] == '*' + mac0 and r['WindowFrames'] >= 5 for r in bcast),
          'BCASTERS: nw0 as this PC on nw0 and as another station on nw1')
finally:
    rc = agent.stop()
check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
print('ALL OK')
