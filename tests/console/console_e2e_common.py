# Shared by the console's desktop tests: the mixed workload replayed by a real agent on a private
# desktop (tests/taskbar/desktop_session.py), netward's view of the same agent, and the AT-SPI steps
# that find the console's window, its views and its tables.
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'taskbar'))
from desktop_session import (AgentProcess, Desktop, app_named, atspi, check, end, find, skip,  # noqa: E402,F401
                             wait_for, walk, windows)
from agent_e2e import multi_sz, write_hive  # noqa: E402

APP = 'netward-console'
KEY = 'secret'


def workload(generator, work, frames, stations, extra_hive=''):
    """The generated mixed capture and a hive that replays it as this PC's adapter."""
    if not os.path.exists(generator):
        skip('no workload generator at %s' % generator)
    capture = os.path.join(work, 'mix.pcap')
    subprocess.run(['/usr/bin/python3', generator, '--frames', str(frames), '--stations', str(stations), '--seed', '5',
                    '--out', capture], check=True, stderr=subprocess.DEVNULL)
    hive = write_hive(os.path.join(work, 'hive.reg'), key=KEY, extra=(
        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
        '"OwnAddress"="00:60:08:00:00:0a"\n%s'
        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mix\\Parameters\\Tcpip]\n'
        '"EnableDHCP"=dword:00000000\n"IPAddress"=%s\n"SubnetMask"=%s\n"DefaultGateway"=%s\n'
        % (extra_hive, multi_sz('10.1.0.10'), multi_sz('255.255.0.0'), multi_sz('127.0.0.1'))))
    return capture, hive


class Netward:
    """netward --json against the agent's local endpoint."""

    def __init__(self, netward, local):
        self.netward, self.local = netward, local

    def records(self, request, tag=None):
        out = subprocess.run([self.netward, '--local', self.local, '--key', KEY, '--json', request], capture_output=True,
                             text=True, timeout=60)
        check(out.returncode == 0, 'netward %s (%s)' % (request, out.stderr.strip()))
        records = json.loads(out.stdout.splitlines()[0])['Records']
        return [r for r in records if tag is None or r['Tag'] == tag]

    def wait_replayed(self, frames, seconds=60):
        done = wait_for('replayed', lambda: self.records('TOTAL', 'TOT ')[0]['FrameSequence'] >= frames, seconds, 0.2)
        check(done, 'the agent has replayed the %d frames' % frames)


def console_window(prefix='NETWARD - ', seconds=20, app=None):
    """The console's main window (a frame whose name starts with `prefix`)."""
    def look():
        a = app or app_named(APP)
        for w in windows(a):
            try:
                if w.getRoleName() == 'frame' and (w.name or '').startswith(prefix):
                    return w
            except Exception:
                continue
        return None
    return wait_for('console window', look, seconds)


def show_view(window, name):
    """Selects the notebook page `name` as a click on its tab would."""
    tabs = find(window, 'page tab list')
    check(tabs is not None, 'the window has its view tabs')
    for i in range(tabs.childCount):
        if tabs.getChildAtIndex(i).name == name:
            tabs.querySelection().selectChild(i)
            return
    check(False, 'a view named %s' % name)


def table(window, name):
    return wait_for('table ' + name, lambda: find(window, 'table', name=name), 10)


def rows(tbl):
    return tbl.queryTable().nRows


def column(tbl, c, limit=None):
    """The texts of column `c`, top to bottom."""
    t = tbl.queryTable()
    n = t.nRows if limit is None else min(limit, t.nRows)
    return [t.getAccessibleAt(r, c).name for r in range(n)]


def number(text):
    return int(text.replace(',', '') or 0)
