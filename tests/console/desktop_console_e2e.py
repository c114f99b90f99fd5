#!/usr/bin/python3
# netward-console against a real agent replaying the generated mixed workload, on a private desktop,
# worked through AT-SPI: a wrong key is refused with a message and the right one accepted, the title
# names the agent, every view shows what netward reads of the same agent (station count, sorting,
# the 300 recent frames, one chart bar per trace interval of today), and a snapshot the agent wrote
# shows the same stations offline; an agent that is not there ends it with exit status 2. Screenshots of every view go to WORKDIR/screenshots.
# Usage: desktop_console_e2e.py TAPEYESV NETWARD NETWARD-CONSOLE GENERATOR WORKDIR
import json
import os
import signal
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_e2e_common import (APP, KEY, AgentProcess, Desktop, Netward, app_named, check, column,  # noqa: E402
                                 console_window, find, end, number, rows, show_view, table, wait_for, workload)

tapeyesv, netward, console, generator, work = map(os.path.abspath, sys.argv[1:6])
FRAMES = 20000
STATUS_TEXTS = ('Error detected', 'Broadcast traffic sent', 'Session traffic', 'Session traffic since last broadcast',
                'Broadcast traffic received', 'No traffic sent or received', 'NO traffic received since PC started',
                'No traffic received in over 60 seconds')

desk = Desktop(work)
live = snap = None
try:
    capture, hive = workload(generator, work, FRAMES, 80)
    agent = AgentProcess(tapeyesv, desk, hive, '--replay', capture)
    agent.wait_ready()
    nw = Netward(netward, agent.local)
    nw.wait_replayed(FRAMES)
    stations = nw.records('STATS_PRO 0', 'STAT')
    details = nw.records('DETAILS 0', 'DETL')
    today = time.strftime('%Y%m%d')
    tot = nw.records('TOTAL', 'TOT ')[0]

    # ---- an agent that is not there: a message, then exit status 2 as netward's ----
    gone = subprocess.Popen([console, '--local', os.path.join(work, 'none.sock'), '--key', KEY], env=desk.env,
                            stderr=subprocess.PIPE, text=True)
    desk.procs.append(gone)
    box = wait_for('message', lambda: find(app_named(APP), 'label', prefix='The agent is unreachable'), 20)
    check(box is not None and 'none.sock' in box.name, 'an unreachable agent is said so: "%s"' % (box and box.name))
    desk.screenshot('unreachable')
    find(app_named(APP), 'push button', name='Close').queryAction().doAction(0)
    try:
        rc = gone.wait(timeout=10)
    except subprocess.TimeoutExpired:
        rc = 'running'
    check(rc == 2, 'the console ends with exit status 2 (%s)' % rc)

    # ---- a wrong key, refused with a message; the right one accepted ----
    env = dict(desk.env, NETWARD_KEY='wrong')
    live = subprocess.Popen([console, '--local', agent.local], env=env, stderr=open(os.path.join(work, 'console.log'), 'w'))
    desk.procs.append(live)
    dialog = wait_for('key dialog', lambda: find(app_named(APP), 'label', prefix='The agent at '), 20)
    check(dialog is not None and 'refused the key' in dialog.name, 'a wrong key is refused: "%s"' %
          (dialog.name if dialog else None))
    app = app_named(APP)
    entry = find(app, 'password text', name='Key')
    check(entry is not None, 'the key prompt asks again')
    desk.screenshot('key-refused')
    entry.queryEditableText().setTextContents(KEY)
    find(app, 'push button', name='OK').queryAction().doAction(0)
    window = console_window()
    check(window is not None, 'the right key is accepted and the window comes up')
    host_address = 'NETWARD - %s  %s' % (tot['HostName'], tot['AddressText'])
    check(window.name == host_address, 'title "%s" (netward reads "%s")' % (window.name, host_address))

    # ---- Overview ----
    state = wait_for('state', lambda: find(window, 'label', name='Traffic state'), 10)
    check(state is not None and wait_for('state text', lambda: state.queryText().getText(0, -1) in STATUS_TEXTS, 10),
          'the overview shows the traffic state as the tray words it')
    desk.screenshot('overview')

    # ---- Stations: as many as STATS_PRO, sorted by a column head ----
    show_view(window, 'Stations')
    tbl = table(window, 'Stations')
    check(wait_for('stations', lambda: rows(tbl) == len(stations), 20),
          'the Stations view lists the agent\'s %d stations (%d rows)' % (len(stations), rows(tbl)))
    sent = tbl.queryTable().getColumnHeader(5)
    check(sent is not None and sent.name == 'Frames sent', 'column 6 is "Frames sent" (%s)' % (sent and sent.name))
    before = column(tbl, 0)
    sent.queryAction().doAction(0)
    values = wait_for('sorted', lambda: (lambda v: v if v == sorted(v, reverse=True) else None)(
        [number(x) for x in column(tbl, 5)]), 10)
    check(values is not None and column(tbl, 0) != before, 'a click on "Frames sent" sorts the busiest first (%s)'
          % (values[:5] if values else None))
    busiest = max(stations, key=lambda s: s['FramesSent'])
    check(values[0] == busiest['FramesSent'], 'the top row is the busiest sender (%d)' % busiest['FramesSent'])
    sent.queryAction().doAction(0)
    check(wait_for('ascending', lambda: (lambda v: v == sorted(v))([number(x) for x in column(tbl, 5)]), 10),
          'a second click turns the order round')
    desk.screenshot('stations')

    # ---- Frames: the 300 recent frames, newest first; Errors ----
    show_view(window, 'Frames')
    frames = table(window, 'Frames')
    check(wait_for('frames', lambda: rows(frames) == 300, 20), 'the Frames view shows the %d recent frames' % rows(frames))
    newest = max(details, key=lambda d: d['Sequence'])
    first = [frames.queryTable().getAccessibleAt(0, c).name for c in (0, 1, 2)]
    check(first == [newest['TimeText'].strip(), str(newest['Length']), newest['SourceText'].strip()],
          'the newest frame comes first: %s' % first)
    desk.screenshot('frames')
    show_view(window, 'Errors')
    errors = table(window, 'Errors')
    want = len(nw.records('ERRORS 0', 'DETL'))
    check(wait_for('errors', lambda: rows(errors) == want, 20), 'the Errors view shows the %d logged frames' % want)
    desk.screenshot('errors')

    # ---- an agent that stops answering does not freeze the window ----
    agent.signal(signal.SIGSTOP)
    try:
        time.sleep(4)  # a refresh is under way now, waiting for the agent
        t0 = time.time()
        show_view(window, 'Stations')
        count = find(window, 'label', name='Station count')
        answered = count is not None and count.queryText().getText(0, -1) == '%d stations' % len(stations)
        took = time.time() - t0
    finally:
        agent.signal(signal.SIGCONT)
    check(answered and took < 3, 'the window answers while the agent is silent (%.1f s)' % took)

    show_view(window, 'Broadcasts')
    bc = table(window, 'Broadcasts')
    want = len(nw.records('BCASTERS LOW', 'BENT'))
    check(wait_for('broadcasts', lambda: rows(bc) == want, 20), 'BCASTERS LOW: %d entries' % want)
    desk.screenshot('broadcasts')

    # ---- History: today's chart has one bar per trace interval ----
    show_view(window, 'History')
    def chart_matches():
        # TET read again each time: a checkpoint may have filed another interval meanwhile.
        n = len(nw.records('TET ' + today, 'TET '))
        label = 'Chart of %s-%s-%s: %d intervals' % (today[:4], today[4:6], today[6:], n)
        return label if find(window, 'drawing area', name=label) else None
    label = wait_for('chart', chart_matches, 20)
    caption = find(window, 'label', name='History caption')
    check(label is not None, 'the History view draws as many intervals as TET of today returns ("%s"; the view says'
          ' "%s")' % (label, caption and caption.queryText().getText(0, -1)))
    check(wait_for('day stations', lambda: rows(table(window, 'Day stations')) == len(stations), 10),
          'and today\'s station statistics')
    desk.screenshot('history')

    for view in ('Adapters', 'Configuration'):
        show_view(window, view)
        text = wait_for(view, lambda: (lambda t: t if t and t.queryText().characterCount > 20 else None)(
            find(window, 'text', name=view)), 20)
        check(text is not None, '%s shows its reports' % view)
        desk.screenshot(view.lower())
    content = text.queryText().getText(0, -1)
    check('=== CMD CONFIG' in content and '10.1.0.10' in content, 'the configuration report names this PC\'s address')

    # ---- Save snapshot: the agent's image, written where the user says ----
    saved = os.path.join(work, 'saved.NWS')
    find(window, 'push button', name='Save snapshot...').queryAction().doAction(0)
    chooser = wait_for('chooser', lambda: find(app_named(APP), 'file chooser'), 10)
    check(chooser is not None, 'Save snapshot asks where')
    name = wait_for('name', lambda: find(chooser, 'text'), 5)
    name.queryEditableText().setTextContents(saved)
    find(chooser, 'push button', name='Save').queryAction().doAction(0)
    status = find(window, 'label', name='Status')
    check(wait_for('saved', lambda: status.queryText().getText(0, -1).startswith('Snapshot saved to ' + saved), 30),
          'the snapshot is saved: "%s"' % status.queryText().getText(0, -1))
    out = subprocess.run([netward, '--snapshot', saved, '--json'], capture_output=True, text=True, timeout=60)
    tes = [json.loads(line) for line in out.stdout.splitlines() if line.startswith('{')]
    tes = [r for reply in tes if str(reply.get('Request', '')).startswith('TES ') for r in reply.get('Records', [])
           if r['Tag'] == 'STAT']
    check(out.returncode == 0 and len(tes) == len(stations), 'netward reads the saved file: %d stations' % len(tes))

    # ---- a snapshot the agent wrote: the same stations, offline ----
    snapshot = os.path.join(work, 'agent.NWS')
    nw.records('SNAPSHOT ' + snapshot)
    check(wait_for('snapshot', lambda: os.path.exists(snapshot), 10), 'the agent wrote %s' % snapshot)
    end(live)
    snap = subprocess.Popen([console, '--snapshot', snapshot], env=desk.env)
    desk.procs.append(snap)
    window = console_window()
    check(window is not None and window.name.endswith('(snapshot %s)' % snapshot), 'the snapshot window: %s' %
          (window and window.name))
    show_view(window, 'Stations')
    tbl = table(window, 'Stations')
    check(wait_for('snapshot stations', lambda: rows(tbl) == len(stations), 20),
          'the snapshot shows the same %d stations as the live view (%d)' % (len(stations), rows(tbl)))
    desk.screenshot('snapshot-stations')
    end(snap)
    check(agent.stop() == 0, 'the agent exits 0')
finally:
    end(live)
    end(snap)
    desk.close()
print('desktop console: all checks passed')
