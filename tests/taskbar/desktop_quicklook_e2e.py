#!/usr/bin/python3
# The tray and QuickLook on a desktop of their own (Xvfb, a private session bus, the test tray),
# worked through the tray's menu and AT-SPI as a person would: the icon follows a replay, QuickLook
# shows the agent's totals, its buttons run the reports, a snapshot and help, "Advanced" starts the
# client once with the loading window, and a stop closes the window. Screenshots go to
# WORKDIR/screenshots. Pings go to loopback only (the capture's gateway and DNS are 127.0.0.x).
# Usage: desktop_quicklook_e2e.py TAPEYESV NETWARD WORKDIR
import json
import os
import socket
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import (AgentProcess, Desktop, app_named, check, find, press, set_text,  # noqa: E402
                             table_rows, text_of, wait_for, atspi)
from agent_e2e import multi_sz, write_hive  # noqa: E402

tapeyesv, netward, work = map(os.path.abspath, sys.argv[1:4])
APP = os.path.basename(tapeyesv)
TRAY_AREA = '64x40+0+0'  # the test tray's window, top left


OWN = bytes.fromhex('00600800000a')
OTHER = bytes.fromhex('00600800002b')
BROADCAST = b'\xff' * 6


def frame(dst, src, payload=b'', ethertype=0x88b5):
    return (dst + src + struct.pack('>H', ethertype) + payload).ljust(60, b'\0')


def tcp_reset(seq):
    """A TCP reset from the other station to this PC (10.1.0.43:80 -> 10.1.0.10:1024)."""
    tcp = struct.pack('>HHIIBBHHH', 80, 1024, seq, 0, 5 << 4, 0x04, 0, 0, 0)
    ip = struct.pack('>BBHHHBBH4s4s', 0x45, 0, 40, seq & 0xffff, 0, 64, 6, 0, bytes([10, 1, 0, 43]),
                     bytes([10, 1, 0, 10]))
    return frame(OWN, OTHER, ip + tcp, 0x0800)


def write_capture(path, cycles):
    """Two-second phases, each a traffic state of its own: broadcasts received, a burst of unicast
    received (1,200 frames), broadcasts sent, resets; repeated `cycles` times. Returns the count."""
    records, t = [], 1700000000.0
    for c in range(cycles):
        for i in range(20):
            records.append((t + i * 0.1, frame(BROADCAST, OTHER)))
        for i in range(1200):
            records.append((t + 2 + i / 600, frame(OWN, OTHER)))
        for i in range(20):
            records.append((t + 4 + i * 0.1, frame(BROADCAST, OWN)))
        for i in range(4):
            records.append((t + 6 + i * 0.5, tcp_reset(1000 * c + i)))
        t += 8
    with open(path, 'wb') as f:
        f.write(struct.pack('<IHHiIII', 0xa1b2c3d4, 2, 4, 0, 0, 65535, 1))
        for when, data in records:
            f.write(struct.pack('<IIII', int(when), int(round((when % 1) * 1e6)) % 1000000, len(data), len(data)))
            f.write(data)
    return len(records)


def totals(key='secret'):
    out = subprocess.run([netward, '--local', agent.local, '--key', key, '--json', 'TOTAL'], capture_output=True,
                         text=True, timeout=30)
    if out.returncode != 0:
        return None
    records = json.loads(out.stdout.splitlines()[0])['Records']
    return [r for r in records if r['Tag'] == 'TOT '][0]


def grouped(n):
    return '-' if n == 0 else '{:,}'.format(n)


def percent(x, total):
    return 0 if total == 0 else (total + 200 * x) // (2 * total)


desk = Desktop(work)
client_pid = None
try:
    capture = os.path.join(work, 'mix.pcap')
    # 16 s replayed in real time: the icon's states in the first cycle, the table read in the second.
    FRAMES = write_capture(capture, 2)
    hive = write_hive(os.path.join(work, 'hive.reg'), key='secret', extra=(
        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Parameters\\mix]\n'
        '"OwnAddress"="00:60:08:00:00:0a"\n"Pace"="realtime"\n'
        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\mix\\Parameters\\Tcpip]\n'
        '"EnableDHCP"=dword:00000000\n"IPAddress"=%s\n"SubnetMask"=%s\n"DefaultGateway"=%s\n'
        '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters]\n"NameServer"="127.0.0.2"\n'
        % (multi_sz('10.1.0.10'), multi_sz('255.255.0.0'), multi_sz('127.0.0.1'))))
    opened = os.path.join(work, 'xdg-open.log')
    desk.stand_in('xdg-open', '#!/bin/sh\necho "$@" >> %s\n' % opened)
    tray = desk.start_tray()
    agent = AgentProcess(tapeyesv, desk, hive, '--replay', capture)
    agent.wait_ready()
    check('Taskbar: tray icon on display %s' % desk.env['DISPLAY'] in agent.console(), 'the desktop back end is chosen')

    # ---- the tray item: icon, tooltip, menu ----
    item = tray.wait(lambda e: e.get('event') == 'item' and e.get('status') == 'Active', 10)
    check(item is not None, 'the icon is added to the tray')
    host = socket.gethostname().upper()[:32]
    title = item['title']
    check(title.startswith('NETWARD - %s  ' % host), 'tooltip "%s"' % title)
    check(item['menu'] == [['Advanced', False], ['QuickLook', True], ['Settings', True], ['-', True], ['Help', True]],
          'menu %s, Advanced greyed without the client' % item['menu'])

    # The icon follows the traffic second by second: a screenshot of each picture it shows.
    seen = {}
    since = 0
    deadline = time.time() + 9
    while time.time() < deadline and len(seen) < 5:
        e = tray.wait(lambda e: e.get('event') == 'item' and e.get('icon') not in seen and e.get('icon'), 1, since)
        since = tray.mark()
        if e:
            time.sleep(0.3)
            seen[e['icon']] = desk.screenshot('tray-' + e['icon'], TRAY_AREA)
    check(len(seen) >= 4, 'the icon showed %d states during the replay: %s' % (len(seen), sorted(seen)))

    # ---- QuickLook from the menu, read while the replay runs ----
    tray.send('click QuickLook')
    app = wait_for('app', lambda: app_named(APP), 10)
    check(app is not None, 'the agent is on the accessibility bus')
    ql = wait_for('quicklook', lambda: find(app, 'frame', prefix='NETWARD QuickLook - '), 10)
    check(ql is not None and ql.name == 'NETWARD QuickLook - ' + title[len('NETWARD - '):],
          'QuickLook opens from the menu: "%s"' % (ql.name if ql else None))
    table = find(ql, 'table')
    t = table.queryTable()
    headers = [t.getColumnDescription(c) for c in range(t.nColumns)]
    check(headers == ['Traffic sent or received by this PC', 'Percent', 'Total Packets', 'Packets/Sec'],
          'columns %s' % headers)
    rows = wait_for('cells', lambda: (lambda r: r if r[2][2] not in ('', '-') else None)(table_rows(table)), 5)
    check(rows is not None and [r[0] for r in rows] == [
        ' Errors dectected', ' Broadcast traffic sent', ' Session traffic', ' Broadcast traffic received',
        ' No traffic sent or received', ' Possible physical connection problem'], 'six rows in order')
    first = int(rows[2][2].replace(',', ''))
    check(rows[2][3] not in ('', '-') and rows[4][1:] == ['', '', ''] and rows[5][1:] == ['', '', ''],
          'while the replay runs: session traffic %s/s, rows 4 and 5 without numbers' % rows[2][3])
    grew = wait_for('growing', lambda: int(table_rows(table)[2][2].replace(',', '') or 0) > first, 4)
    check(grew, 'the totals grow second by second (from %d)' % first)

    # Once the replay is over, the table holds the agent's totals.
    tot = wait_for('replayed', lambda: (lambda t: t if t and t['FrameSequence'] == FRAMES else None)(totals()), 20)
    check(tot is not None, 'every frame replayed')
    expect = [tot['OtherEventFrames'] + tot['OwnEventFrames'], tot['OwnGroupFrames'],
              tot['OtherFrames'] + tot['OwnFrames'], tot['OtherGroupFrames']]
    want = [[str(percent(x, FRAMES)) if percent(x, FRAMES) else '-', grouped(x), '-'] for x in expect]
    got = wait_for('final table', lambda: (lambda r: r if [row[1:] for row in r[:4]] == want else None)(table_rows(table)), 5)
    check(got is not None, 'Percent, Total Packets and Packets/Sec match the agent: %s (table %s)' %
          (want, [row[1:] for row in table_rows(table)[:4]]))
    status = find(ql, 'text', text='No traffic sent or received')
    check(status is not None, 'the status text follows the icon')
    desk.screenshot('quicklook')

    # ---- Test, then Config, in the report pane ----
    report = find(ql, 'text', name='Report')
    config = text_of(report)
    check(' Computer Name : %s\r\n' % host in config and '----Testing' not in config,
          'the configuration report at opening:\n' + config[:400])
    press(find(ql, 'push button', name='Test'))
    done = wait_for('tests', lambda: '----Testing DNS connectivity' in text_of(report), 30)
    check(done, 'Test shows the connectivity tests:\n' + text_of(report)[:600])
    check('PING 127.0.0.1' in text_of(report).upper() or '127.0.0.1' in text_of(report), 'the gateway was pinged')
    press(find(ql, 'push button', name='Config'))
    check(wait_for('config', lambda: text_of(report) == config, 10), 'Config replaces the results by the report')

    # ---- Snapshot through the save dialog ----
    press(find(ql, 'push button', name='Snapshot'))
    chooser = wait_for('chooser', lambda: find(app, name='NETWARD Snapshot Save As'), 10)
    check(chooser is not None, 'Snapshot asks for a file: "NETWARD Snapshot Save As"')
    entry = wait_for('name', lambda: find(chooser, 'text', text=host), 5)
    check(entry is not None, 'the name is filled in with the host name')
    set_text(entry, os.path.join(work, 'lab'))
    press(find(chooser, 'push button', name='Save'))
    snap = os.path.join(work, 'lab.NWS')
    check(wait_for('snapshot', lambda: os.path.exists(snap) and open(snap, 'rb').read()[-4:] == b'\0\0\0\0', 30),
          'the snapshot is written with the default extension')
    check(open(snap, 'rb').read(4) == b'NWS ', 'it is a snapshot file')
    # A file that cannot be written: the agent's message box, as a dialog on the desktop.
    press(find(ql, 'push button', name='Snapshot'))
    chooser = wait_for('chooser', lambda: find(app, name='NETWARD Snapshot Save As'), 10)
    set_text(wait_for('name', lambda: find(chooser, 'text', text=host), 5), '/proc/lab.NWS')
    press(find(chooser, 'push button', name='Save'))
    box = wait_for('box', lambda: find(app, 'alert', name='NETWARD ERROR'), 10)
    check(box is not None and find(box, 'label', name='Could not save to file') is not None,
          'an unwritable file: the box "Could not save to file" titled "NETWARD ERROR"')
    press(find(box, 'push button', name='OK'))
    check(wait_for('box gone', lambda: find(app, 'alert', name='NETWARD ERROR') is None, 5) is not None,
          'the box closes with OK')
    check('NETWARD ERROR: Could not save to file' in agent.console(), 'and is a line on standard error too')

    # ---- Help ----
    press(find(ql, 'push button', name='Help'))
    tray.send('click Help')
    pages = wait_for('help', lambda: os.path.exists(opened) and len(open(opened).read().splitlines()) >= 2 and
                     open(opened).read().splitlines(), 5)
    check(pages and pages[0].startswith('file://') and pages[0].endswith('/netward-help.html#quicklook') and
          pages[1].endswith('/netward-help.html'), 'help pages opened with xdg-open: %s' % pages)

    # ---- Advanced: the client appears, is started once, the loading window waits for it ----
    advanced = find(ql, 'push button', name='Advanced')
    pyatspi = atspi()
    check(not advanced.getState().contains(pyatspi.STATE_SENSITIVE), 'QuickLook greys Advanced without the client')
    started = os.path.join(work, 'console.log')
    desk.stand_in('netward-console', '''#!/bin/sh
echo $$ >> %s
exec /usr/bin/python3 -c '
import gi
gi.require_version("Gtk", "3.0")
from gi.repository import GLib, Gtk
w = Gtk.Window(title="NETWARD - Console stand-in")
GLib.timeout_add(3000, lambda: w.show_all())
GLib.timeout_add(40000, Gtk.main_quit)
Gtk.main()'
''' % started)
    mark = tray.mark()
    e = tray.wait(lambda e: e.get('event') == 'item' and e.get('menu', [[0, 0]])[0] == ['Advanced', True], 5, mark)
    check(e is not None, 'the menu offers Advanced once the client is there')
    tray.send('click Advanced')
    tray.send('click Advanced')
    loading = wait_for('loading', lambda: find(app, 'label', name='NETWARD Advanced is loading .....'), 5)
    check(loading is not None, 'the loading window shows while the client starts')
    desk.screenshot('loading')
    gone = wait_for('loading gone', lambda: find(app, 'label', name='NETWARD Advanced is loading .....') is None, 8)
    check(gone, 'the loading window closes when the client window appears')
    time.sleep(1)
    starts = open(started).read().splitlines()
    client_pid = int(starts[0].split()[0])
    check(len(starts) == 1, 'two clicks within 5 s start the client once (%s)' % starts)

    # ---- the stop closes QuickLook, the agent exits 0 ----
    rc = agent.stop()
    check(rc == 0, 'the agent exits 0 with QuickLook open (%s)' % rc)
    check(wait_for('closed', lambda: app_named(APP) is None, 5) is not None, 'QuickLook closed with the agent')
    check(tray.wait(lambda e: e.get('gone'), 5) is not None, 'the icon left the tray')
    check('TapEyeSv shutdown in progress.' in agent.console(), 'the stop ran CommonStop')
finally:
    if client_pid:
        try:
            os.kill(client_pid, 15)
        except OSError:
            pass
    desk.close()
print('desktop QuickLook: all checks passed')
