# Shared by the end-to-end scripts: checks that print one line each, free loopback ports, the
# generated workload, the request call over impacket, the test hive, and the real agent started in the console and ended
# with Ctrl+C.
import os
import signal
import socket
import struct
import subprocess
import threading
import time


def check(cond, what):
    print(('ok ' if cond else 'FAIL ') + what, flush=True)
    if not cond:
        raise SystemExit(1)


def free_port():
    s = socket.socket()
    s.bind(('127.0.0.1', 0))
    port = s.getsockname()[1]
    s.close()
    return port


def make_workload(generator, path, frames, stations, seed):
    """Writes the generated mixed LAN capture to `path`; a test without the generator is skipped."""
    if not os.path.exists(generator):
        print('SKIP: no workload generator at', generator)
        raise SystemExit(77)
    subprocess.run(['/usr/bin/python3', generator, '--frames', str(frames), '--stations', str(stations),
                    '--seed', str(seed), '--out', path], check=True, stderr=subprocess.DEVNULL)


def send_request(dce, text, key=b'Secret'):
    """The agent's request call (operation 1): the 16-byte key and the 256-byte request array."""
    dce.call(1, key.ljust(16, b'\0') + text.ljust(256, b'\0'))


def read_reply(dce):
    """The reply to send_request: (reply pointer referent, reply block, its length, status)."""
    r = dce.recv()
    ref = struct.unpack_from('<L', r, 0)[0]
    off, block = 4, b''
    if ref:
        n = struct.unpack_from('<L', r, 4)[0]
        block = r[8:8 + n]
        off = 8 + n + (-n % 4)
    length, status = struct.unpack_from('<lL', r, off)
    return ref, block, length, status


def multi_sz(*entries):
    """A REG_MULTI_SZ value in the hive's text: hex(7): of the NUL-terminated strings."""
    data = b''.join(e.encode() + b'\0' for e in entries) + b'\0'
    return 'hex(7):' + ','.join('%02x' % b for b in data)


def write_hive(path, key='Secret', epm_port=None, extra=''):
    """Settings with `key`, no reverse look-ups, the endpoint mapper on a free port and no live
    adapters (capture files come from --replay); `extra` is appended as is."""
    with open(path, 'w') as f:
        f.write('REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Brackwater\\NETWARD\\Parameters]\n'
                '"OpenKey"="%s"\n"AutoIpName"=dword:00000000\n"EndpointMapperPort"=dword:%08x\n'
                '\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tapeye\\Linkage]\n'
                '"Export"=hex(7):00,00\n%s' % (key, epm_port if epm_port else free_port(), extra))
    return path


class Agent:
    """tapeyesv -debug on `hive` in `work`, with a fixed TCP port and a local endpoint."""

    def __init__(self, tapeyesv, work, hive, rpc_port, *more):
        self.port = rpc_port
        self.local = os.path.join(work, 'rpc.sock')
        self.process = subprocess.Popen(
            [tapeyesv, '-debug', '--hive', hive, '--state-dir', work, '--rpc-port', str(rpc_port),
             '--local-endpoint', self.local, *more],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self._rest = []
        self._drain = None

    def wait_ready(self, seconds=20):
        """The console lines up to "To Terminate" (RPC is listening then); the rest is drained so
        that the agent never blocks on a full pipe."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            line = self.process.stdout.readline()
            if not line:
                break
            self.lines.append(line)
            if line.startswith('To Terminate'):
                break
        self._drain = threading.Thread(target=lambda: self._rest.append(self.process.stdout.read()), daemon=True)
        self._drain.start()
        return self.lines

    def rest(self):
        """The output after the lines wait_ready read, once the agent has ended."""
        if self._drain is not None:
            self._drain.join(timeout=10)
        return ''.join(self._rest)

    def stop(self):
        """Ctrl+C; the exit code, or 'timeout' when it had to be killed."""
        self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            return 'timeout'
