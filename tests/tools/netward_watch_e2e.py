#!/usr/bin/python3
# `netward --watch` on a real terminal: tmux (its own server socket, ended at the end) runs it against
# an agent replaying a generated capture in real time; the screen read with capture-pane must show
# the totals with rates per second while frames come, the stations busiest first, and give the
# terminal back on 'q'. A wrong key ends the watch with exit status 3 and a line that stays visible.
#
# Usage: netward_watch_e2e.py TAPEYESV NETWARD GENERATOR WORKDIR
import json
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'common'))
from agent_e2e import Agent, check, free_port, make_workload, write_hive  # noqa: E402

tapeyesv, netward, generator, work = sys.argv[1:5]
FRAMES = 20000  # ten seconds of the workload in real time
SOCKET = 'netward_watch_%d' % os.getpid()

if shutil.which('tmux') is None:
    print('SKIP: tmux is not installed (scripts/setup-deps.sh installs it)')
    raise SystemExit(77)


def tmux(*args):
    return subprocess.run(['tmux', '-L', SOCKET, *args], capture_output=True, text=True, timeout=10)


def screen():
    return tmux('capture-pane', '-p', '-t', 'watch').stdout


def exit_status(seconds=5):
    """The watch's exit status, as its shell wrote it ('' while it runs)."""
    deadline = time.time() + seconds
    while time.time() < deadline:
        if os.path.exists(STATUS):
            with open(STATUS) as f:
                status = f.read().strip()
            if status:
                return status
        time.sleep(0.1)
    return ''


def wait_for(predicate, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        text = screen()
        if predicate(text):
            return text
        time.sleep(0.2)
    return screen()


def start_watch(*args):
    tmux('kill-session', '-t', 'watch')
    if os.path.exists(STATUS):
        os.unlink(STATUS)
    # Through a shell that writes the watch's exit status and waits a moment, so that the screen can
    # be read after the watch has ended.
    command = ' '.join("'%s'" % a for a in [netward, *args]) + "; echo $? > '%s'; sleep 1" % STATUS
    r = tmux('new-session', '-d', '-s', 'watch', '-x', '200', '-y', '50', command)
    check(r.returncode == 0, 'tmux runs %s (%s)' % (' '.join(args), r.stderr.strip()))


def station_rows(text):
    """(address, bytes per second, bytes sent + received) of the station lines, in screen order."""
    rows = []
    for line in text.splitlines():
        m = re.match(r'\s+\d+  (\S+)\s.*?\s(-|[\d.]+)\s+(-|[\d.]+)\s+(\d+)\s+(\d+)\s+\d+\s+\d+\s+\d\d:\d\d:\d\d$', line)
        if m:
            rate = -1.0 if m.group(2) == '-' else float(m.group(2))
            rows.append((m.group(1), rate, int(m.group(4)) + int(m.group(5))))
    return rows


shutil.rmtree(work, ignore_errors=True)
os.makedirs(work)
STATUS = os.path.join(work, 'watch.status')
capture = os.path.join(work, 'mix.pcap')
make_workload(generator, capture, FRAMES, 60, 11)
rpc_port = free_port()
hive = write_hive(os.path.join(work, 'hive.reg'), key='secret',
                  extra='\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
                        '"OwnAddress"="00:60:08:00:00:0a"\n"Pace"="realtime"\n')
agent = Agent(tapeyesv, work, hive, rpc_port, '--replay', capture)
try:
    agent.wait_ready()
    start_watch('--port', str(rpc_port), '--key', 'secret', '--watch', '1', 'STATS_PRO 0')

    # While the replay runs: rates above zero, the busiest station first.
    def moving(text):
        m = re.search(r'frames (\d+) \(([\d.]+)/s\)', text)
        return m is not None and float(m.group(2)) > 0 and len(station_rows(text)) > 3
    text = wait_for(moving, 8)
    lines = text.splitlines()
    check(lines[0].startswith("netward --watch 1 'STATS_PRO 0'  127.0.0.1 port %d" % rpc_port) and
          lines[0].endswith('(q quits)'), 'the title names the request and the agent: %r' % lines[0])
    check(moving(text), 'frames per second while the replay runs: %r' % (lines[1] if len(lines) > 1 else text))
    other = [l for l in lines if l.startswith('Other ')]
    check(other and float(other[0].split()[2]) > 0, 'other stations\' frames per second: %r' % other)
    rows = station_rows(text)
    rates = [r for _, r, _ in rows]
    check(rates == sorted(rates, reverse=True) and rates[0] > 0, 'stations busiest first: %s' % rates[:8])
    check(re.search(r'Stations: \d+, busiest first', text) is not None, 'the station count heads the list')

    # The replay over, rates fall to zero and the order is by bytes today.
    for _ in range(200):
        rc = subprocess.run([netward, '--port', str(rpc_port), '--key', 'secret', '--json', 'TOTAL'],
                            capture_output=True, text=True, timeout=30)
        if json.loads(rc.stdout)['Records'][0]['FrameSequence'] == FRAMES:
            break
        time.sleep(0.1)
    text = wait_for(lambda t: re.search(r'frames %d \(0\.0/s\)' % FRAMES, t) is not None, 5)
    text = wait_for(lambda t: re.search(r'frames %d \(0\.0/s\)' % FRAMES, t) is not None, 3)
    check(re.search(r'frames %d \(0\.0/s\)' % FRAMES, text) is not None, 'the frame total stands still at %d' % FRAMES)
    rows = station_rows(text)
    totals = [b for _, _, b in rows]
    check(rows and all(r == 0 for _, r, _ in rows) and totals == sorted(totals, reverse=True),
          'with no traffic, stations by bytes today: %s' % totals[:8])

    tmux('send-keys', '-t', 'watch', 'q')
    status = exit_status()
    check(status == '0', 'q ends the watch with exit status 0 (%r)' % status)
    check('busiest first' not in screen(), 'the terminal\'s own screen is given back')

    start_watch('--port', str(rpc_port), '--key', 'wrong', '--watch', '1', 'TOTAL')
    # Read while the shell waits: a dead pane's screen shows only that it is dead.
    text = wait_for(lambda t: 'key rejected' in t, 3)
    check('netward: key rejected by the agent at 127.0.0.1 port %d (result -2)' % rpc_port in text,
          'a wrong key is said on the terminal: %r' % text.strip())
    status = exit_status()
    check(status == '3', 'and ends the watch with exit status 3 (%r)' % status)
finally:
    tmux('kill-server')
    rc = agent.stop()
check(rc == 0, 'agent ended with exit code 0 (%s)' % rc)
print('ALL OK')
