#!/usr/bin/python3
"""Cross-checks netward-decode against tshark on capture files.

For every frame that both programs dissect as the same protocol, the fields both show must agree:
destination IP or MAC, TCP/UDP ports, ICMP type, DNS question name, IPX destination, LLC SAPs.
Disagreements listed in tshark_expected_differences.txt (with the reason) are reported but
accepted; any other disagreement fails the run. Exit 77 (skipped) when tshark is not installed.

usage: tshark_crosscheck.py NETWARD_DECODE CAPTURE_DIR [--workload MAKE_PCAP] [--verbose]
"""
import collections
import concurrent.futures
import fnmatch
import os
import re
import shutil
import subprocess
import sys
import tempfile

SKIP = 77
HERE = os.path.dirname(os.path.abspath(__file__))
FIELDS = ["frame.number", "eth.dst", "ip.dst", "tcp.srcport", "tcp.dstport", "udp.srcport",
          "udp.dstport", "icmp.type", "dns.qry.name", "llc.dsap", "llc.ssap", "ipx.dst.net",
          "ipx.dst.node"]

# Summary prefix -> ICMP type, longest prefixes first.
ICMP_TYPES = [("ICMP PING Reply", {0}), ("ICMP Source Quench", {4}), ("ICMP Redirect", {5}),
              ("ICMP PING", {8}), ("ICMP Router Advertisement", {9}),
              ("ICMP Router Solicitation", {10}), ("ICMP Time Exceeded", {11}),
              ("ICMP Parameter Problem", {12}), ("ICMP Timestamp Reply", {14}),
              ("ICMP Timestamp", {13}), ("ICMP Information Request", {15}),
              ("ICMP Information Reply", {16}), ("ICMP Subnet Mask Address Request", {17}),
              ("ICMP Subnet Mask Address Reply", {18})]
PORTS = re.compile(r"^(TCP|UDP)/(\d+|www-http)(?: (\d+|www-http))?(?= |$)")
DOTTED = re.compile(r"^\d+\.\d+\.\d+\.\d+$")
MAC = re.compile(r"^[0-9A-F]{12}$")
IPX = re.compile(r"^([0-9A-F]{8}):([0-9A-F]{12})$")
LLC = re.compile(r"(?:^|\s)LLC ([0-9A-F]{2})/([0-9A-F]{2})")


def load_expected():
    rules = []
    with open(os.path.join(HERE, "tshark_expected_differences.txt")) as f:
        for line in f:
            body = line.split("#", 1)[0].split()
            if len(body) == 3:
                rules.append(tuple(body))
    return rules


def is_expected(rules, capture, frame, field):
    return any(fnmatch.fnmatch(capture, c) and fnmatch.fnmatch(str(frame), fr) and field == fd
               for c, fr, fd in rules)


def ours(tool, path):
    r = subprocess.run([tool, "--numeric", path], capture_output=True, text=True,
                       errors="replace")
    lines = {}
    for line in r.stdout.splitlines():
        cols = line.split("\t")
        if len(cols) == 8:
            lines[int(cols[0])] = cols
    return lines


def theirs(path):
    # No reassembly: the decoder sees each stored frame alone, so a later IP fragment is not
    # ICMP or UDP to it, and must not be to tshark either.
    cmd = ["tshark", "-n", "-o", "ip.defragment:FALSE", "-r", path, "-T", "fields",
           "-E", "separator=/t", "-E", "occurrence=f"]
    for f in FIELDS:
        cmd += ["-e", f]
    r = subprocess.run(cmd, capture_output=True, text=True, errors="replace")
    rows = {}
    for line in r.stdout.splitlines():
        cols = line.split("\t")
        if len(cols) == len(FIELDS) and cols[0].isdigit():
            rows[int(cols[0])] = dict(zip(FIELDS, cols))
    return rows


def port(text):
    return "80" if text == "www-http" else text


CHECKED = collections.Counter()


def compare(o, t):
    """Yields (field, ours, theirs) for each disagreement of one frame."""
    dest, summary, protocol = o[5], o[6], o[7]
    if DOTTED.match(dest) and t["ip.dst"]:
        CHECKED["ip.dst"] += 1
        if dest != t["ip.dst"]:
            yield "ip.dst", dest, t["ip.dst"]
        m = PORTS.match(summary)
        if m:
            kind = m.group(1).lower()
            dst, src = port(m.group(2)), port(m.group(3) or m.group(2))
            CHECKED[kind + ".ports"] += bool(t[kind + ".dstport"])
            if t[kind + ".dstport"] and (dst, src) != (t[kind + ".dstport"], t[kind + ".srcport"]):
                yield kind + ".ports", f"{src}->{dst}", \
                    f"{t[kind + '.srcport']}->{t[kind + '.dstport']}"
        if summary.startswith("ICMP") and t["icmp.type"]:
            want = next((types for prefix, types in ICMP_TYPES if summary.startswith(prefix)),
                        {3} if protocol == "ICMP Destination Unreachable" else None)
            got = int(t["icmp.type"])
            CHECKED["icmp.type"] += 1
            if want is None:
                want = {1, 2, 6, 7} | set(range(19, 256))
            if got not in want:
                yield "icmp.type", summary, got
        if " Question=" in summary and t["dns.qry.name"]:
            name = summary.split(" Question=", 1)[1]
            theirs_name = "" if t["dns.qry.name"] == "<Root>" else t["dns.qry.name"]
            CHECKED["dns.qry.name"] += 1
            cut = len(o[6]) >= 100
            if name != theirs_name and not (cut and theirs_name.startswith(name)):
                yield "dns.qry.name", name, theirs_name
    elif IPX.match(dest) and t["ipx.dst.net"]:
        CHECKED["ipx.dst"] += 1
        net, node = IPX.match(dest).groups()
        tnet = t["ipx.dst.net"].lower().replace("0x", "").rjust(8, "0")
        tnode = t["ipx.dst.node"].replace(":", "").lower()
        if (net.lower(), node.lower()) != (tnet, tnode):
            yield "ipx.dst", dest, f"{tnet}:{tnode}"
    elif MAC.match(dest) and t["eth.dst"]:
        CHECKED["eth.dst"] += 1
        if dest.lower() != t["eth.dst"].replace(":", "").lower():
            yield "eth.dst", dest, t["eth.dst"]
    m = LLC.search(summary)
    if m and t["llc.dsap"]:
        CHECKED["llc.saps"] += 1
        mine = (int(m.group(1), 16), int(m.group(2), 16))
        other = (int(t["llc.dsap"], 16), int(t["llc.ssap"], 16))
        if mine != other:
            yield "llc.saps", "%02X/%02X" % mine, "%02X/%02X" % other


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    verbose = "--verbose" in sys.argv
    if len(args) < 2:
        print(__doc__)
        return 2
    if not shutil.which("tshark"):
        print("SKIP: tshark is not installed")
        return SKIP
    tool, capture_dir = args[0], args[1]
    captures = sorted(os.path.join(capture_dir, n) for n in os.listdir(capture_dir)
                      if n.endswith((".pcap", ".pcapng")))
    tmp = tempfile.mkdtemp(prefix="netward-xcheck-")
    try:
        if "--workload" in sys.argv:
            gen = sys.argv[sys.argv.index("--workload") + 1]
            mix = os.path.join(tmp, "mix.pcap")
            subprocess.run(["/usr/bin/python3", gen, "--frames", "20000", "--seed", "3",
                            "--out", mix, "--quiet"], check=True)
            captures.append(mix)
        rules = load_expected()
        compared = unexpected = expected = 0
        # Most of the time goes into starting tshark once per file: as many at once as there are cores.
        with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            decoded = list(pool.map(lambda p: (ours(tool, p), theirs(p)), captures))
        for path, (o, t) in zip(captures, decoded):
            name = os.path.basename(path)
            for n in sorted(set(o) & set(t)):
                compared += 1
                for field, mine, other in compare(o[n], t[n]):
                    known = is_expected(rules, name, n, field)
                    expected += known
                    unexpected += not known
                    if verbose or not known:
                        print(f"{'expected' if known else 'DIFFERS '} {name} frame {n} {field}: "
                              f"ours {mine!r} tshark {other!r}")
        print(f"{len(captures)} files, {compared} frames compared, {unexpected} unexpected and "
              f"{expected} expected differences")
        print("fields compared: " + ", ".join(f"{k} {v}" for k, v in sorted(CHECKED.items())))
        return 1 if unexpected else 0
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
