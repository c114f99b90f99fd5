#!/usr/bin/python3
# By hand, not a CI test: the console's memory over a long run against a busy agent. The agent
# replays the generated mixed workload in real time (about 1,000 frames a second from 600
# stations) for longer than the run. The console first shows every view once (each builds its
# widgets and their accessibility objects then), and from there on, for MINUTES, each view in turn
# for 30 s, so that every view refreshes many times. Prints the console's resident set (VmRSS)
# after the first pass and every 30 s after it.
# Usage: console_rss.py TAPEYESV NETWARD NETWARD-CONSOLE GENERATOR WORKDIR [MINUTES (default 10)]
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_e2e_common import KEY, AgentProcess, Desktop, check, console_window, end, show_view  # noqa: E402
from agent_e2e import write_hive  # noqa: E402

tapeyesv, netward, console, generator, work = map(os.path.abspath, sys.argv[1:6])
minutes = float(sys.argv[6]) if len(sys.argv) > 6 else 10
VIEWS = ('Overview', 'Stations', 'Frames', 'Errors', 'Broadcasts', 'History', 'Adapters', 'Configuration')


def rss_kb(pid):
    with open('/proc/%d/status' % pid) as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


desk = Desktop(work)
p = None
try:
    capture = os.path.join(work, 'busy.pcap')
    frames = int((minutes + 4) * 60 * 1000)
    subprocess.run(['/usr/bin/python3', generator, '--frames', str(frames), '--stations', '600', '--seed', '9',
                    '--mean-gap-us', '1000', '--out', capture, '--quiet'], check=True)
    hive = write_hive(os.path.join(work, 'hive.reg'), key=KEY, extra=(
        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\busy]\n'
        '"OwnAddress"="00:60:08:00:00:0a"\n"Pace"="realtime"\n'))
    agent = AgentProcess(tapeyesv, desk, hive, '--replay', capture)
    agent.wait_ready()
    p = subprocess.Popen([console, '--local', agent.local, '--key', KEY], env=desk.env)
    desk.procs.append(p)
    window = console_window()
    check(window is not None, 'the console is up')
    for view in VIEWS:  # the first pass
        show_view(window, view)
        time.sleep(8)
    start = time.time()
    baseline = rss_kb(p.pid)
    print('after the first pass through the views: VmRSS %d kB' % baseline, flush=True)
    step = 0
    while time.time() - start < minutes * 60:
        view = VIEWS[step % len(VIEWS)]
        show_view(window, view)
        time.sleep(30)
        step += 1
        print('%6.0f s  %-13s VmRSS %7d kB' % (time.time() - start, view, rss_kb(p.pid)), flush=True)
    end = rss_kb(p.pid)
    print('VmRSS after the first pass: %d kB; %.0f minutes later: %d kB (%+d kB)'
          % (baseline, minutes, end, end - baseline), flush=True)
    agent.stop()
finally:
    end(p)
    desk.close()
