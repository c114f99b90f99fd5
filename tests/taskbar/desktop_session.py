# A private desktop for the desktop end-to-end tests: Xvfb on a free display, a session bus of its
# own, the test tray (tray_host.py), the agent in the console with that environment, and AT-SPI
# helpers that find and work the agent's windows as a screen reader (or a person) would.
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'common'))
from agent_e2e import check  # noqa: E402

SKIP = 77


def skip(why):
    print('SKIP: %s' % why, flush=True)
    raise SystemExit(SKIP)


def end(p, seconds=5):
    """Terminates `p` if it runs, killing it after `seconds`."""
    if p and p.poll() is None:
        p.terminate()
        try:
            p.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            p.kill()


def wait_for(what, predicate, seconds=10.0, step=0.1):
    """The predicate's first true value within `seconds`, or None."""
    deadline = time.time() + seconds
    while True:
        value = predicate()
        if value:
            return value
        if time.time() > deadline:
            return None
        time.sleep(step)


class Desktop:
    def __init__(self, work):
        self.work = work
        self.procs = []
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        self.bin = os.path.join(work, 'bin')
        os.makedirs(self.bin)
        self.shots = os.path.join(work, 'screenshots')
        os.makedirs(self.shots)
        for tool in ('Xvfb', 'dbus-daemon', 'import'):
            if shutil.which(tool) is None:
                skip('%s is not installed (scripts/setup-deps.sh installs it)' % tool)
        self.display = self._start_x()
        run = os.path.join(work, 'run')
        os.makedirs(run, mode=0o700)
        home = os.path.join(work, 'home')
        os.makedirs(home)
        self.env = dict(os.environ, DISPLAY=self.display, XDG_RUNTIME_DIR=run, HOME=home,
                        PATH=self.bin + ':' + os.environ.get('PATH', '/usr/bin:/bin'), GTK_A11Y='atspi',
                        NO_AT_BRIDGE='0', GSETTINGS_BACKEND='memory')
        self.env.pop('WAYLAND_DISPLAY', None)
        self.env['DBUS_SESSION_BUS_ADDRESS'] = self._start_bus()
        # pyatspi reaches the accessibility bus through this process's session bus.
        os.environ.update({k: self.env[k] for k in ('DISPLAY', 'DBUS_SESSION_BUS_ADDRESS', 'XDG_RUNTIME_DIR')})
        self.tray = None

    def _start_x(self):
        r, w = os.pipe()
        log = open(os.path.join(self.work, 'xvfb.log'), 'w')
        try:
            p = subprocess.Popen(['Xvfb', '-displayfd', str(w), '-screen', '0', '1024x768x24', '-nolisten', 'tcp', '-noreset'],
                                 pass_fds=[w], stdout=log, stderr=log)
        except OSError as e:
            skip('no display server can start: %s' % e)
        os.close(w)
        self.procs.append(p)
        ready, _, _ = select.select([r], [], [], 15)
        number = os.read(r, 32).decode().strip() if ready else ''
        self.display_fd = r  # kept open: the server may write its number again (and dies if it cannot)
        if not number:
            self.close()
            skip('no display server can start (Xvfb: %s)' % open(os.path.join(self.work, 'xvfb.log')).read()[-300:])
        return ':' + number

    def _start_bus(self):
        p = subprocess.Popen(['dbus-daemon', '--session', '--nofork', '--print-address=1'], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, text=True, env=self.env)
        self.procs.append(p)
        address = p.stdout.readline().strip()
        check(address.startswith('unix:'), 'a session bus of its own (%s)' % address)
        return address

    def start_tray(self):
        self.tray = Tray(self.env, self.work)
        check(self.tray.wait(lambda e: e.get('event') == 'ready', 10) is not None, 'the test tray owns the watcher')
        return self.tray

    def stand_in(self, name, script):
        """A program of the test's own on the agent's PATH."""
        path = os.path.join(self.bin, name)
        with open(path, 'w') as f:
            f.write(script)
        os.chmod(path, 0o755)
        return path

    def screenshot(self, name, crop=None):
        """The whole screen (or `crop`, "WxH+X+Y") as build-tree PNG, for a person to look at."""
        path = os.path.join(self.shots, name + '.png')
        args = ['import', '-display', self.display, '-window', 'root']
        if crop:
            args += ['-crop', crop]
        subprocess.run(args + [path], env=self.env, timeout=20, check=False)
        print('screenshot %s' % path, flush=True)
        return path

    def close(self):
        if getattr(self, 'display_fd', None) is not None:
            os.close(self.display_fd)
            self.display_fd = None
        if self.tray:
            self.tray.close()
        for p in reversed(self.procs):
            end(p)


class Tray:
    """tray_host.py: what the tray shows (the item's icon, title, menu) and its clicks."""

    def __init__(self, env, work):
        self.p = subprocess.Popen(['/usr/bin/python3', os.path.join(HERE, 'tray_host.py')], stdin=subprocess.PIPE,
                                  stdout=subprocess.PIPE, stderr=open(os.path.join(work, 'tray.log'), 'a'),
                                  text=True, env=env)
        self.events = []
        self.cv = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.p.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                continue
            with self.cv:
                self.events.append(event)
                self.cv.notify_all()

    def wait(self, predicate, seconds=10, since=0):
        """The first event from index `since` on that matches, waiting up to `seconds`."""
        deadline = time.time() + seconds
        with self.cv:
            while True:
                for e in self.events[since:]:
                    if predicate(e):
                        return e
                left = deadline - time.time()
                if left <= 0:
                    return None
                self.cv.wait(left)

    def mark(self):
        with self.cv:
            return len(self.events)

    def item(self):
        with self.cv:
            items = [e for e in self.events if e.get('event') == 'item']
            return items[-1] if items else None

    def send(self, command):
        self.p.stdin.write(command + '\n')
        self.p.stdin.flush()

    def close(self):
        end(self.p)


class AgentProcess:
    """tapeyesv -debug in the desktop's environment; its console drained to a file."""

    def __init__(self, tapeyesv, desktop, hive, *more):
        work = desktop.work
        self.local = os.path.join(work, 'rpc.sock')
        self.log_path = os.path.join(work, 'agent.log')
        self.log = open(self.log_path, 'w')
        os.makedirs(os.path.join(work, 'state'), exist_ok=True)
        self.p = subprocess.Popen([tapeyesv, '-debug', '--hive', hive, '--state-dir', os.path.join(work, 'state'),
                                   '--local-endpoint', self.local, *more],
                                  stdout=self.log, stderr=subprocess.STDOUT, env=desktop.env, cwd=work)
        desktop.procs.append(self.p)

    def console(self):
        with open(self.log_path) as f:
            return f.read()

    def wait_ready(self):
        up = wait_for('ready', lambda: 'To Terminate' in self.console(), 30) is not None
        check(up, 'the agent is up' + ('' if up else ':\n' + self.console()[-600:]))

    def signal(self, sig):
        self.p.send_signal(sig)

    def stop(self, seconds=15):
        self.p.send_signal(signal.SIGINT)
        try:
            return self.p.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            self.p.kill()
            return 'timeout'


# ---- AT-SPI ----

def atspi():
    import pyatspi  # noqa: imported late: it connects to the session bus set up above
    return pyatspi


def app_named(name):
    desktop = atspi().Registry.getDesktop(0)
    for i in range(desktop.childCount):
        a = desktop.getChildAtIndex(i)
        if a is not None and a.name == name:
            return a
    return None


def walk(node, depth=0, limit=12):
    if node is None or depth > limit:
        return
    yield node
    try:
        children = [node.getChildAtIndex(i) for i in range(node.childCount)]
    except Exception:  # a window that went away while it was looked at
        return
    for child in children:
        yield from walk(child, depth + 1, limit)


def find(root, role=None, name=None, prefix=None, text=None):
    """The first accessible under `root` with the role and name (or name prefix, or text)."""
    for node in walk(root):
        try:
            if role and node.getRoleName() != role:
                continue
            if name is not None and node.name != name:
                continue
            if prefix is not None and not (node.name or '').startswith(prefix):
                continue
            if text is not None and text_of(node) != text:
                continue
            return node
        except Exception:  # a window that went away while it was looked at
            continue
    return None


def windows(app):
    return [app.getChildAtIndex(i) for i in range(app.childCount)] if app else []


def text_of(node):
    t = node.queryText()
    return t.getText(0, t.characterCount)


def set_text(node, value):
    node.queryEditableText().setTextContents(value)


def press(node):
    node.queryAction().doAction(0)


def table_rows(table):
    """The table's cells as text, row by row (the first column's text comes from its text part)."""
    t = table.queryTable()
    rows = []
    for r in range(t.nRows):
        row = []
        for c in range(t.nColumns):
            cell = t.getAccessibleAt(r, c)
            name = cell.name
            if not name and cell.childCount:
                name = ''.join(cell.getChildAtIndex(i).name or '' for i in range(cell.childCount))
            row.append(name)
        rows.append(row)
    return rows


if __name__ == '__main__':
    # .ci/run: says whether the desktop tests can run here, in one line.
    import tempfile
    probe = tempfile.mkdtemp(prefix='netward-desktop-probe-')
    try:
        Desktop(probe).close()
        print('desktop tests: a display server (Xvfb) and a session bus start here; the tests run')
    except SystemExit:
        print('desktop tests: SKIPPED, no display server or session bus can start here (see the line above)')
    finally:
        shutil.rmtree(probe, ignore_errors=True)
