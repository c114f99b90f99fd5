#!/usr/bin/python3
# The Settings dialog on a desktop of its own, opened from the test tray's menu and worked through
# AT-SPI: every failing check shows its message box, a missing directory is asked about, a new
# password is saved to the settings file and takes effect at once for remote sessions (and the old
# one no longer does). Also: the icon comes back when the tray restarts, and a log-off closes the
# agent's windows while the agent runs on. Screenshots go to WORKDIR/screenshots.
# Usage: desktop_settings_e2e.py TAPEYESV NETWARD WORKDIR
import os
import shutil
import signal
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from desktop_session import (AgentProcess, Desktop, app_named, check, find, press, set_text,  # noqa: E402
                             text_of, wait_for, walk, windows)
from agent_e2e import write_hive  # noqa: E402

tapeyesv, netward, work = map(os.path.abspath, sys.argv[1:4])
APP = os.path.basename(tapeyesv)
TITLE = 'NETWARD Settings'


def session_key_works(key):
    """True when a remote session opens with `key` (netward exits 3 for a refused key)."""
    out = subprocess.run([netward, '--local', agent.local, '--key', key, 'TOTAL'], capture_output=True, text=True,
                         timeout=30)
    check(out.returncode in (0, 3), 'netward with key %r: exit %d %s' % (key, out.returncode, out.stderr.strip()))
    return out.returncode == 0


def settings_window():
    return find(app, 'frame', name=TITLE)


def message_box():
    """The message box over Settings: (its message, the box), or None."""
    box = find(app, 'alert', name=TITLE)
    if box is None:
        return None
    texts = [n.name for n in walk(box) if n.getRoleName() == 'label' and n.name and
             n.parent.getRoleName() != 'push button']
    return (texts[-1] if texts else ''), box


def ok_with(password, confirm, directory, expect, answer=None, shot=None):
    """Fill the fields, press OK and read the box that comes (None: expect no box)."""
    window = settings_window()
    set_text(find(window, 'password text', name='Password'), password)
    set_text(find(window, 'password text', name='Confirm Password'), confirm)
    set_text(find(window, 'text', name='Directory'), directory)
    press(find(window, 'push button', name='OK'))
    got = wait_for('box', message_box, 10)
    text = got[0] if got else None
    check(text == expect, 'OK with %r/%r/%r: %r (got %r; windows %s)' % (
        password, confirm, directory, expect, text, [(w.getRoleName(), w.name) for w in windows(app)]))
    if shot:
        desk.screenshot(shot)
    press(find(got[1], 'push button', name=answer or 'OK'))
    if answer != 'Yes':  # a Yes goes on to the next box
        check(wait_for('box gone', lambda: message_box() is None, 5) is not None, 'the box closes')
    return got


desk = Desktop(work)
try:
    hive = write_hive(os.path.join(work, 'hive.reg'), key='OldKey')
    desk.start_tray()
    agent = AgentProcess(tapeyesv, desk, hive)
    agent.wait_ready()
    tray = desk.tray
    check(tray.wait(lambda e: e.get('event') == 'item' and e.get('status') == 'Active', 10) is not None,
          'the icon is in the tray')
    check(session_key_works('OldKey'), 'a session opens with the password in the settings file')

    # ---- the tray goes away and comes back: the icon is added again ----
    tray.close()
    desk.tray = None
    tray = desk.start_tray()
    again = tray.wait(lambda e: e.get('event') == 'item' and e.get('status') == 'Active' and e.get('icon'), 10)
    check(again is not None, 'the icon is back after the tray restarted (%s)' % (again or {}).get('icon'))

    # ---- Settings from the menu: the stored values ----
    tray.send('click Settings')
    app = wait_for('app', lambda: app_named(APP), 10)
    window = wait_for('settings', settings_window, 10)
    check(window is not None, 'Settings opens from the menu')
    state_dir = os.path.join(work, 'state')
    directory = wait_for('fields', lambda: (lambda t: t or None)(text_of(find(window, 'text', name='Directory'))), 5)
    check(directory == state_dir + '/NETWARD History/', 'the directory field shows the default %r' % directory)
    check(len(text_of(find(window, 'password text', name='Password'))) == len('OldKey'),
          'the password field holds the stored password, hidden')
    desk.screenshot('settings')

    # ---- each failing check, in order ----
    missing = os.path.join(work, 'missing')
    ok_with('', '', '', 'Require Password')
    ok_with('NewKey', '', '', 'Require Password Confirmation')
    ok_with('NewKey', 'other', '', 'Password Confirmation FAILED')
    ok_with('NewKey', 'newkey', '', 'Require Data Path')
    ok_with('NewKey', 'newkey', missing, "Data Path '%s' does not exist.  Do you wish to create it ?" % missing,
            answer='No', shot='settings-question')
    check(not os.path.exists(missing) and settings_window() is not None, 'No: nothing created, the dialog stays')
    deep = os.path.join(work, 'nope', 'deeper')
    ok_with('NewKey', 'newkey', deep, "Data Path '%s' does not exist.  Do you wish to create it ?" % deep, answer='Yes')
    check(wait_for('failed', lambda: message_box() and message_box()[0] == 'Create Directory FAILED', 10),
          'Yes on a path whose parent is missing: "Create Directory FAILED"')
    press(find(message_box()[1], 'push button', name='OK'))
    wait_for('box gone', lambda: message_box() is None, 5)
    # A settings file that no longer reads is not overwritten.
    shutil.copy(hive, hive + '.good')
    with open(hive, 'w') as f:
        f.write('this is not a settings file\n')
    ok_with('NewKey', 'newkey', state_dir, 'FAILED to create/open registry key')
    check(open(hive).read() == 'this is not a settings file\n', 'the unreadable settings file is left alone')
    shutil.copy(hive + '.good', hive)
    check(session_key_works('OldKey'), 'nothing saved yet: the old password still opens a session')

    # ---- a good save: the new password at once, the old one refused ----
    history = os.path.join(work, 'history')
    ok_with('NewKey', 'newkey', history, "Data Path '%s' does not exist.  Do you wish to create it ?" % history,
            answer='Yes')
    saved = wait_for('saved', lambda: (lambda b: b if b and b[0].startswith('Settings successfully') else None)(
        message_box()), 10)
    check(saved is not None and saved[0] ==
          'Settings successfully modified.\r\n\r\nThe Password setting will take effect immediately.\r\n'
          'The History Directory setting will take effect after next re-boot.', 'the success text: %r' %
          (saved[0] if saved else None))
    desk.screenshot('settings-saved')
    press(find(saved[1], 'push button', name='OK'))
    check(wait_for('closed', lambda: settings_window() is None, 5) is not None, 'Settings closes after the save')
    check(os.path.isdir(history), 'the history directory was created')
    text = open(hive).read()
    check('"OpenKey"="NewKey"' in text and ('"DataPath"="%s"' % history.replace('\\', '\\\\')) in text,
          'both values are in the settings file, the password as typed')
    check(session_key_works('NewKey'), 'the new password opens a session')
    check(not session_key_works('OldKey'), 'the old password is refused')

    # ---- log-off closes the agent's windows; the agent and its icon stay ----
    tray.send('click Settings')
    check(wait_for('settings', settings_window, 10) is not None, 'Settings opens again')
    agent.signal(signal.SIGHUP)
    check(wait_for('closed', lambda: settings_window() is None, 5) is not None, 'log-off closes Settings')
    check(agent.p.poll() is None and session_key_works('NewKey'), 'the agent runs on after the log-off')
    rc = agent.stop()
    check(rc == 0, 'the agent exits 0 (%s)' % rc)
finally:
    desk.close()
print('desktop Settings: all checks passed')
