#!/usr/bin/python3
# The metrics endpoint scraped by a real Prometheus server. The agent replays a generated mixed
# capture with --metrics on loopback; Prometheus (its own process, on loopback, storage in the work
# directory) scrapes it every second; the frame total read back through Prometheus's HTTP API must
# equal the frame sequence that TOTAL gives over RPC. promtool lints the endpoint's own output, and
# hostile clients (a wrong path, POST, a 1 MB header, 500 idle connections) get their error or are
# dropped while /metrics and Prometheus's scrapes go on.
# Usage: metrics_prometheus_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, make_workload, write_hive  # noqa: E402

tapeyesv, netward, generator, work = sys.argv[1:5]
TOP = 10

for tool in ('prometheus', 'promtool'):
    if shutil.which(tool) is None:
        print('SKIP: %s is not installed (scripts/setup-deps.sh installs it)' % tool)
        raise SystemExit(77)
shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
capture = os.path.join(work, 'mix.pcap')
make_workload(generator, capture, 20000, 80, 7)


def netward_json(port, request, key='secret'):
    out = subprocess.run([netward, '--port', str(port), '--key', key, '--json', request],
                         capture_output=True, text=True, timeout=30)
    return out.returncode, [json.loads(line) for line in out.stdout.splitlines() if line.strip()]


def http(url, method='GET', headers=None, data=None):
    """(status, headers, body); errors answered by the server count as answers."""
    req = urllib.request.Request(url, method=method, headers=headers or {}, data=data)
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.headers, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.headers, e.read().decode()


def samples(text):
    out = {}
    for line in text.splitlines():
        if line and not line.startswith('#'):
            name, value = line.rsplit(' ', 1)
            out[name] = float(value)
    return out


def prom_query(api, query):
    """The result vector of an instant query; a failed query ends the test."""
    _, _, body = http(api + '/api/v1/query?' + urllib.parse.urlencode({'query': query}))
    reply = json.loads(body)
    if reply['status'] != 'success':
        check(False, 'Prometheus answers %s: %s' % (query, body))
    return reply['data']['result']


metrics_port, rpc_port, prom_port = free_port(), free_port(), free_port()
hive = write_hive(os.path.join(work, 'hive.reg'), key='secret',
                  extra='\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n'
                        '"MetricsTopStations"=dword:%08x\n'
                        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
                        '"OwnAddress"="00:60:08:00:00:0a"\n' % TOP)
agent = Agent(tapeyesv, work, hive, rpc_port, '--replay', capture, '--metrics', '127.0.0.1:%d' % metrics_port)
prometheus = None
url = 'http://127.0.0.1:%d/metrics' % metrics_port
try:
    lines = agent.wait_ready()
    check(any(l == 'Metrics served at %s\n' % url for l in lines), 'the agent says where the metrics are')
    for _ in range(400):
        rc, replies = netward_json(rpc_port, 'TOTAL')
        sequence = replies[0]['Records'][0]['FrameSequence'] if rc == 0 else -1
        if sequence == 20000:
            break
        time.sleep(0.05)
    check(sequence == 20000, 'the replay has ended: TOTAL frame sequence %d' % sequence)

    # ---- the endpoint's own output ----
    status, headers, text = http(url)
    check(status == 200 and headers['Content-Type'] == 'text/plain; version=0.0.4; charset=utf-8',
          'GET /metrics: 200, text format 0.0.4')
    lint = subprocess.run(['promtool', 'check', 'metrics'], input=text, capture_output=True, text=True, timeout=30)
    check(lint.returncode == 0 and lint.stdout.strip() == '' and lint.stderr.strip() == '',
          'promtool check metrics passes (%s%s)' % (lint.stdout.strip(), lint.stderr.strip()))
    s = samples(text)
    check(s['netward_frames_total'] == 20000 and s['netward_adapter_frames_total{adapter="mix"}'] == 20000,
          'frame totals on the endpoint')
    tot = replies[0]['Records'][0]
    check(s['netward_unicast_frames_total{sender="other"}'] == tot['OtherFrames'] and
          s['netward_event_frames_total{sender="own"}'] == tot['OwnEventFrames'],
          'totals by sender agree with TOTAL')
    events = sum(v for k, v in s.items() if k.startswith('netward_adapter_events_total{'))
    check(events == tot['OwnEventFrames'] + tot['OtherEventFrames'] and events > 0,
          'events by kind add up to the event frames (%d)' % events)
    stations = [k for k in s if k.startswith('netward_station_sent_bytes_total{')]
    check(len(stations) == TOP, 'top talkers held to MetricsTopStations: %d series' % len(stations))
    status, headers, om = http(url, headers={'Accept': 'application/openmetrics-text;version=1.0.0'})
    check(status == 200 and headers['Content-Type'].startswith('application/openmetrics-text; version=1.0.0') and
          om.endswith('\n# EOF\n') and '# TYPE netward_frames counter\n' in om, 'OpenMetrics when asked for')

    # ---- a real Prometheus scrapes it ----
    config = os.path.join(work, 'prometheus.yml')
    with open(config, 'w') as f:
        f.write('global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n'
                'scrape_configs:\n  - job_name: netward\n    static_configs:\n'
                '      - targets: ["127.0.0.1:%d"]\n' % metrics_port)
    prom_log = open(os.path.join(work, 'prometheus.log'), 'w')
    prometheus = subprocess.Popen(['prometheus', '--config.file', config, '--storage.tsdb.path',
                                   os.path.join(work, 'tsdb'), '--web.listen-address', '127.0.0.1:%d' % prom_port,
                                   '--log.level', 'warn'], stdout=prom_log, stderr=prom_log)
    api = 'http://127.0.0.1:%d' % prom_port
    ready = False
    for _ in range(600):  # it takes a few seconds to open its storage and load the configuration
        try:
            ready = http(api + '/-/ready')[0] == 200
        except (urllib.error.URLError, ConnectionError):
            ready = False
        if ready:
            break
        if prometheus.poll() is not None:
            check(False, 'Prometheus is running: ' + open(os.path.join(work, 'prometheus.log')).read())
        time.sleep(0.1)
    check(ready, 'Prometheus is ready')
    result = []
    for _ in range(300):
        result = prom_query(api, 'netward_frames_total')
        if result:
            break
        time.sleep(0.1)
    check(len(result) == 1, 'Prometheus has scraped the agent: %s' % result)
    check(float(result[0]['value'][1]) == sequence,
          'the frame total through Prometheus\'s API equals TOTAL\'s frame sequence (%s)' % result[0]['value'][1])
    check(result[0]['metric'].get('job') == 'netward', 'the series carries the scrape job')
    count = prom_query(api, 'count(netward_station_sent_bytes_total)')
    check(float(count[0]['value'][1]) == TOP, 'Prometheus holds %s top-talker series' % count[0]['value'][1])
    _, _, body = http(api + '/api/v1/targets')
    target = json.loads(body)['data']['activeTargets'][0]
    check(target['health'] == 'up' and target['lastError'] == '', 'the scrape target is up without errors')

    rc, _ = netward_json(rpc_port, 'TOTAL', key='wrong')
    check(rc == 3, 'a wrong key is refused')
    s = samples(http(url)[2])
    check(s['netward_rpc_refused_keys_total'] == 1, 'the refused key is counted')
    check(s['netward_rpc_calls_total{procedure="RequestRpc"}'] >= 2, 'RPC calls are counted')

    # ---- hostile clients, while /metrics and the scrapes go on ----
    status, _, _ = http(url.replace('/metrics', '/admin'))
    check(status == 404, 'a wrong path gets 404')
    status, headers, _ = http(url, method='POST', data=b'x' * 1000)
    check(status == 405 and headers['Allow'] == 'GET, HEAD', 'POST gets 405 with Allow: GET, HEAD')
    big = socket.create_connection(('127.0.0.1', metrics_port), timeout=10)
    answer = b''
    try:
        big.sendall(b'GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: ' + b'a' * (1 << 20) + b'\r\n\r\n')
        answer = big.recv(100)
    except (ConnectionResetError, BrokenPipeError):
        pass  # dropped while sending
    big.close()
    check(answer == b'' or answer.startswith(b'HTTP/1.1 431 '), 'a 1 MB header is refused: %r' % answer[:40])
    idle = []
    for i in range(500):
        c = socket.create_connection(('127.0.0.1', metrics_port), timeout=10)
        if i % 2:
            c.sendall(b'GET /metr')  # a request that never ends
        idle.append(c)
    began = time.time()
    status, _, text = http(url)
    check(status == 200 and samples(text)['netward_frames_total'] == 20000 and time.time() - began < 2,
          '/metrics answers with 500 idle connections held (%.3f s)' % (time.time() - began))
    scraped_before = prom_query(api, 'timestamp(up{job="netward"})')[0]['value'][1]
    newer = False
    for _ in range(50):
        newer = prom_query(api, 'timestamp(up{job="netward"})')[0]['value'][1] != scraped_before
        if newer:
            break
        time.sleep(0.1)
    up = prom_query(api, 'up{job="netward"}')[0]['value'][1]
    check(newer and up == '1', 'Prometheus\'s scrapes succeed with them held too')
    for c in idle:
        c.close()
    status, _, _ = http(url)
    check(status == 200, '/metrics answers after they went')
finally:
    if prometheus is not None:
        prometheus.send_signal(signal.SIGTERM)
        try:
            prometheus.wait(timeout=20)
        except subprocess.TimeoutExpired:
            prometheus.kill()
    rc = agent.stop()
check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
print('ALL OK')
