#!/usr/bin/python3
# The tray's "Advanced" starts the real netward-console: it is handed the agent's local endpoint and
# key through a file named in its environment (never on its command line), asks for no key, removes
# the file, and its window ("NETWARD - ...") ends the loading window. Screenshots: WORKDIR/screenshots.
# Usage: desktop_console_advanced_e2e.py TAPEYESV NETWARD NETWARD-CONSOLE GENERATOR WORKDIR
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_e2e_common import (APP, KEY, AgentProcess, Desktop, Netward, app_named, check, console_window,  # noqa: E402
                                find, rows, show_view, table, wait_for, workload)

tapeyesv, netward, console, generator, work = map(os.path.abspath, sys.argv[1:6])
FRAMES = 2000


def children_running(parent, exe):
    """Pids of `parent`'s children that run `exe`."""
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open('/proc/%s/stat' % pid) as f:
                ppid = int(f.read().rsplit(')', 1)[1].split()[1])
            if ppid == parent and os.path.realpath('/proc/%s/exe' % pid) == exe:
                found.append(int(pid))
        except (OSError, IndexError, ValueError):
            continue
    return found


desk = Desktop(work)
client = None
try:
    capture, hive = workload(generator, work, FRAMES, 40)
    # The console as the agent finds it along PATH (it is installed beside the agent).
    os.symlink(console, os.path.join(desk.bin, 'netward-console'))
    tray = desk.start_tray()
    agent = AgentProcess(tapeyesv, desk, hive, '--replay', capture)
    agent.wait_ready()
    Netward(netward, agent.local).wait_replayed(FRAMES)
    e = tray.wait(lambda e: e.get('event') == 'item' and e.get('menu', [[0, 0]])[0] == ['Advanced', True], 10)
    check(e is not None, 'the tray offers Advanced: the console is there')
    tray.send('click Advanced')
    pids = wait_for('started', lambda: children_running(agent.p.pid, console), 10)
    check(pids is not None and len(pids) == 1, 'Advanced started the console (%s)' % pids)
    client = pids[0]
    window = console_window(seconds=20)
    check(window is not None, 'its window "%s" comes up' % (window and window.name))
    check(find(app_named(APP), 'password text', name='Key') is None, 'without asking for the key')
    with open('/proc/%d/cmdline' % client, 'rb') as f:
        argv = f.read().split(b'\0')[:-1]
    check(len(argv) == 1 and KEY.encode() not in b' '.join(argv),
          'nothing on its command line: %s' % argv)
    with open('/proc/%d/environ' % client, 'rb') as f:
        handoff = [v.split(b'=', 1)[1].decode() for v in f.read().split(b'\0') if v.startswith(b'NETWARD_CONSOLE_HANDOFF=')]
    check(len(handoff) == 1 and handoff[0].startswith(desk.env['XDG_RUNTIME_DIR'] + '/'),
          'the hand-off file is named in its environment, in the user\'s runtime directory (%s)' % handoff)
    check(not os.path.exists(handoff[0]), 'and is gone once read')
    gone = wait_for('loading gone', lambda: find(app_named(os.path.basename(tapeyesv)), 'label',
                                                  name='NETWARD Advanced is loading .....') is None, 10)
    check(gone, 'the loading window closed when the console\'s window appeared')
    show_view(window, 'Stations')
    tbl = table(window, 'Stations')
    check(wait_for('rows', lambda: rows(tbl) > 0, 20), 'the handed key is accepted: %d stations' % rows(tbl))
    desk.screenshot('advanced-console')
    os.kill(client, 15)
    check(agent.stop() == 0, 'the agent exits 0')
finally:
    if client:
        try:
            os.kill(client, 15)
        except OSError:
            pass
    desk.close()
print('desktop console via Advanced: all checks passed')
