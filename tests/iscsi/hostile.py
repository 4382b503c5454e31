#!/usr/bin/env python3
"""Hostile iSCSI clients against a running kx20-simd, over plain sockets.

usage: hostile.py check PID PORTAL LOG    the test (see hostile.sh for the
                                          server options it expects)
       hostile.py measure PID PORTAL CASE one attack, then the server's
                                          resident memory and threads
                                          (CASE: writes8, idle300, fill16)

The attackers connect from 127.0.0.2 and 127.0.0.3 (loopback), the
well-behaved sessions from 127.0.0.1, so a limit per peer address keeps the
attackers from crowding them out. Every loop is bounded in count and time.
"""
import os
import socket
import struct
import subprocess
import sys
import time

TARGET = "iqn.2026-12.kx20.sim:e"
MAX_TRANSFER = 65535 * 512  # one READ(10)/WRITE(10) of 65535 blocks


def stats(pid):
    """(resident kB, threads) of a process, from /proc."""
    rss = threads = 0
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
    return rss, threads


def alive(pid):
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    with open(f"/proc/{pid}/stat") as f:
        return f.read().split()[2] != "Z"


# --- PDUs -------------------------------------------------------------------

def header(op, flags, data=b"", itt=0, **fields):
    h = bytearray(48)
    h[0] = op
    h[1] = flags
    h[5:8] = len(data).to_bytes(3, "big")
    struct.pack_into(">I", h, 16, itt)
    for offset, value in fields.get("u32", {}).items():
        struct.pack_into(">I", h, offset, value)
    if "cdb" in fields:
        h[32:32 + len(fields["cdb"])] = fields["cdb"]
    if "isid" in fields:
        h[8:14] = fields["isid"]
    pad = (4 - len(data) % 4) % 4
    return bytes(h) + data + b"\0" * pad


def text(*pairs):
    return b"".join(f"{k}={v}".encode() + b"\0" for k, v in pairs)


def login_pdu(itt=1, stage_flags=0x87, target=TARGET):
    """A login request (operational stage straight to full feature by default)."""
    keys = [("InitiatorName", "iqn.2026-12.test:hostile"), ("SessionType", "Normal"), ("TargetName", target),
            ("HeaderDigest", "None"), ("DataDigest", "None"), ("MaxRecvDataSegmentLength", "262144"),
            ("InitialR2T", "Yes"), ("ImmediateData", "Yes"), ("MaxBurstLength", "262144"),
            ("FirstBurstLength", "65536")]
    if stage_flags & 0x0C == 0:  # security stage
        keys.append(("AuthMethod", "None"))
    data = text(*keys)
    return header(0x43, stage_flags, data, itt, isid=b"\x80\x12\x34\x56\x78\x9a", u32={24: 1, 28: 0}) 


def rw10(op, lba, blocks):
    return bytes([op, 0]) + lba.to_bytes(4, "big") + b"\0" + blocks.to_bytes(2, "big") + b"\0"


def command(itt, cmdsn, cdb, edtl, read=False, write=False, data=b""):
    flags = 0x80 | (0x40 if read else 0) | (0x20 if write else 0) | 1
    return header(0x01, flags, data, itt, cdb=cdb, u32={20: edtl, 24: cmdsn, 28: 0})


def data_out(itt, ttt, datasn, offset, data, final=True):
    return header(0x05, 0x80 if final else 0, data, itt, u32={20: ttt, 36: datasn, 40: offset})


def recv_exact(s, n):
    out = bytearray()
    while len(out) < n:
        chunk = s.recv(n - len(out))
        if not chunk:
            raise EOFError("connection closed")
        out += chunk
    return bytes(out)


def read_pdu(s):
    h = recv_exact(s, 48)
    length = int.from_bytes(h[5:8], "big")
    data = recv_exact(s, length + (4 - length % 4) % 4)[:length]
    return h, data


def connect(portal, source="127.0.0.1", timeout=5.0):
    host, port = portal.rsplit(":", 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.settimeout(timeout)
    s.bind((source, 0))
    s.connect((host, int(port)))
    return s


def login(s, target=TARGET):
    s.sendall(login_pdu(target=target))
    h, _ = read_pdu(s)
    if h[0] & 0x3F != 0x23 or h[36] != 0 or h[1] & 0x83 != 0x83:
        raise RuntimeError(f"login refused: status {h[36]:02x}/{h[37]:02x}")


def closed_by_server(s, within):
    """True when the server closes `s` within `within` seconds (anything it
    sends meanwhile is read and dropped)."""
    s.settimeout(max(0.05, within))
    deadline = time.monotonic() + within
    try:
        while time.monotonic() < deadline:
            s.settimeout(max(0.05, deadline - time.monotonic()))
            if not s.recv(65536):
                return True
    except (socket.timeout, TimeoutError):
        return False
    except OSError:
        return True  # reset
    return False


def open_many(portal, source, n):
    socks = []
    for _ in range(n):
        try:
            socks.append(connect(portal, source))
        except OSError:
            break
    return socks


def close_all(socks):
    for s in socks:
        try:
            s.close()
        except OSError:
            pass


# --- The well-behaved session ----------------------------------------------

def good_session(portal, lba):
    """Logs in from 127.0.0.1, writes 512 KB in two R2T bursts, reads it back
    and compares, logs out; then libiscsi's iscsi-inq. Raises on failure."""
    s = connect(portal)
    try:
        login(s)
        blocks = 1024
        payload = bytes((i * 7 + lba) & 0xFF for i in range(blocks * 512))
        s.sendall(command(0x10, 1, rw10(0x2A, lba, blocks), len(payload), write=True))
        sent = 0
        while True:
            h, data = read_pdu(s)
            op = h[0] & 0x3F
            if op == 0x31:  # R2T
                ttt, offset, length = struct.unpack_from(">I", h, 20)[0], *struct.unpack_from(">II", h, 40)
                datasn = 0
                for at in range(offset, offset + length, 65536):
                    n = min(65536, offset + length - at)
                    s.sendall(data_out(0x10, ttt, datasn, at, payload[at:at + n], final=at + n == offset + length))
                    datasn += 1
                sent += length
            elif op == 0x21:
                if h[3] != 0:
                    raise RuntimeError(f"write status {h[3]}")
                break
            else:
                raise RuntimeError(f"unexpected opcode {op:#x} during a write")
        if sent != len(payload):
            raise RuntimeError(f"R2Ts asked for {sent} bytes, not {len(payload)}")
        s.sendall(command(0x11, 2, rw10(0x28, lba, blocks), len(payload), read=True))
        got = bytearray()
        while True:
            h, data = read_pdu(s)
            if h[0] & 0x3F != 0x25:
                raise RuntimeError(f"unexpected opcode {h[0] & 0x3F:#x} during a read")
            got += data
            if h[1] & 0x01:
                break
        if bytes(got) != payload:
            raise RuntimeError("read back other data than written")
        s.sendall(header(0x46, 0x80, b"", 0x12, u32={24: 3}))
        read_pdu(s)
    finally:
        s.close()
    out = subprocess.run(["iscsi-inq", f"iscsi://{portal}/{TARGET}/0"], capture_output=True, text=True, timeout=20)
    if out.returncode != 0 or "Vendor:VYN" not in out.stdout:
        raise RuntimeError(f"iscsi-inq failed: {out.stdout}{out.stderr}")


# --- The test -----------------------------------------------------------------

class Check:
    def __init__(self, pid, portal, log, limits):
        self.pid, self.portal, self.log = pid, portal, log
        self.total, self.per_peer, self.login_timeout, self.idle_timeout = limits
        self.failures = 0
        self.lba = 1000
        self.base_rss, self.base_threads = stats(pid)
        self.peak_rss, self.peak_threads = self.base_rss, self.base_threads

    def fail(self, what):
        print(f"FAIL: {what}", file=sys.stderr)
        self.failures += 1

    def sample(self, phase):
        rss, threads = stats(self.pid)
        self.peak_rss, self.peak_threads = max(self.peak_rss, rss), max(self.peak_threads, threads)
        print(f"{phase}: resident {rss // 1024} MB, {threads} threads")
        # The listener, one thread per connection the limits allow, and one
        # that ThreadSanitizer starts for itself.
        if threads > self.total + 2:
            self.fail(f"{phase}: {threads} threads with at most {self.total} connections")
        return rss, threads

    def good(self, phase):
        self.lba += 1024
        try:
            good_session(self.portal, self.lba)
        except Exception as e:  # noqa: BLE001 (any failure of the good session is the finding)
            self.fail(f"{phase}: a well-behaved session failed: {e}")

    def logged(self, text):
        with open(self.log, errors="replace") as f:
            return text in f.read()

    def idle_connections(self):
        # 300 sockets that never say a word, from one address: the limit per
        # peer takes a few, the rest are refused at once; the login timeout
        # closes the few.
        socks = open_many(self.portal, "127.0.0.2", 300)
        time.sleep(0.3)
        self.sample("300 idle sockets")
        open_now = [s for s in socks if not closed_by_server(s, 0.01)]
        if len(open_now) > self.per_peer:
            self.fail(f"{len(open_now)} idle connections from one address kept, limit {self.per_peer}")
        if not self.logged(f"refusing 127.0.0.2:") or not self.logged("connections from 127.0.0.2 open"):
            self.fail("no log line for a connection refused by the limit per address")
        self.good("300 idle sockets")
        start = time.monotonic()
        still = [s for s in open_now if not closed_by_server(s, self.login_timeout + 2.0 - (time.monotonic() - start))]
        if still:
            self.fail(f"{len(still)} idle connections not closed by the login timeout")
        if not self.logged("login not completed within"):
            self.fail("no log line for the login timeout")
        close_all(socks)

    def total_limit(self):
        a = open_many(self.portal, "127.0.0.2", self.per_peer)
        b = open_many(self.portal, "127.0.0.3", self.per_peer)
        time.sleep(0.3)
        self.sample("connections from two addresses")
        kept = [s for s in a + b if not closed_by_server(s, 0.01)]
        if len(kept) > self.total:
            self.fail(f"{len(kept)} connections kept, limit {self.total}")
        if not self.logged(f"{self.total} connections open"):
            self.fail("no log line for a connection refused by the total limit")
        close_all(a + b)

    def writes_without_data(self):
        # Logged-in sessions that each ask to write 32 MB and never send it:
        # nothing is allocated for data that has not come; the idle timeout
        # pings them (NOP-In) and drops them when they do not answer.
        socks = []
        for i in range(self.per_peer):
            try:
                s = connect(self.portal, "127.0.0.2")
                login(s)
                s.sendall(command(0x20 + i, 1, rw10(0x2A, 0, 65535), MAX_TRANSFER, write=True))
                h, _ = read_pdu(s)
                if h[0] & 0x3F != 0x31:
                    self.fail(f"a large write got opcode {h[0] & 0x3F:#x}, not R2T")
                socks.append(s)
            except (OSError, EOFError, RuntimeError) as e:
                self.fail(f"setting up write {i}: {e}")
        time.sleep(0.3)
        rss, _ = self.sample(f"{len(socks)} writes of 32 MB without data")
        if rss - self.base_rss > 48 * 1024:
            self.fail(f"resident memory grew by {(rss - self.base_rss) // 1024} MB for writes that sent no data")
        self.good("writes without data")
        pinged = 0
        for s in socks:
            s.settimeout(self.idle_timeout * 2 + 2)
            try:
                h, _ = read_pdu(s)
                if h[0] & 0x3F == 0x20 and struct.unpack_from(">I", h, 20)[0] != 0xFFFFFFFF:
                    pinged += 1
            except (OSError, EOFError):
                pass
        if pinged != len(socks):
            self.fail(f"{pinged} of {len(socks)} silent sessions got a NOP-In ping")
        dropped = sum(closed_by_server(s, self.idle_timeout * 2 + 2) for s in socks)
        if dropped != len(socks):
            self.fail(f"{dropped} of {len(socks)} sessions that did not answer the ping were dropped")
        if not self.logged("no answer to NOP-In"):
            self.fail("no log line for a session dropped after an unanswered ping")
        close_all(socks)

    def disconnect_mid_transfer(self):
        shapes = []
        for i in range(4):
            try:
                s = connect(self.portal, "127.0.0.2")
                login(s)
                s.sendall(command(0x30, 1, rw10(0x2A, 0, 2048), 1 << 20, write=True))
                h, _ = read_pdu(s)
                ttt = struct.unpack_from(">I", h, 20)[0]
                pdu = data_out(0x30, ttt, 0, 0, b"\xAB" * 65536, final=False)
                if i == 0:
                    s.sendall(pdu[:48 + 1000])  # half a Data-Out, then gone
                elif i == 1:
                    s.sendall(pdu)              # one whole Data-Out of the burst, then gone
                elif i == 2:
                    # A 32 MB read whose data is never read.
                    s.sendall(command(0x31, 2, rw10(0x28, 0, 65535), MAX_TRANSFER, read=True))
                    time.sleep(0.2)
                else:
                    s.sendall(pdu[:48 + 1000])  # half a Data-Out, then silence
                    shapes.append(s)
                    continue
                s.close()
            except (OSError, EOFError, RuntimeError) as e:
                self.fail(f"disconnect shape {i}: {e}")
        time.sleep(0.3)
        self.sample("clients gone mid-transfer")
        self.good("clients gone mid-transfer")
        if shapes and not closed_by_server(shapes[0], self.idle_timeout + 2):
            self.fail("a client silent inside a Data-Out was not dropped")
        close_all(shapes)

    def login_never_completes(self):
        socks = []
        for shape in range(3):
            s = connect(self.portal, "127.0.0.2")
            if shape == 0:
                s.sendall(login_pdu()[:20])  # a torn header
            elif shape == 1:
                # Security stage, no transit: a valid request that leads nowhere.
                s.sendall(login_pdu(stage_flags=0x00))
            socks.append((shape, s))
        start = time.monotonic()
        # Shape 2 keeps talking: a valid first request, then one every 0.2 s
        # with a key the target does not know, never moving on.
        chatty = socks[2][1]
        chatty.sendall(login_pdu(stage_flags=0x00))
        answers = 0
        itt = 2
        while time.monotonic() - start < self.login_timeout + 1.5:
            try:
                chatty.settimeout(0.5)
                h, _ = read_pdu(chatty)
                if h[0] & 0x3F != 0x23 or h[36] != 0:
                    break
                answers += 1
                time.sleep(0.2)
                chatty.sendall(header(0x43, 0x00, text((f"X-kx20-noise-{itt}", "1")), itt,
                                      isid=b"\x80\x12\x34\x56\x78\x9a"))
            except (OSError, EOFError):
                break
            itt += 1
        if answers < 3:
            self.fail(f"the chatty login got {answers} answers before it was closed, not several")
        for shape, s in socks:
            if not closed_by_server(s, max(0.1, self.login_timeout + 2 - (time.monotonic() - start))):
                self.fail(f"a login that never completes (shape {shape}) was not closed by the login timeout")
        self.sample("logins that never complete")
        self.good("logins that never complete")
        close_all(s for _, s in socks)

    def run(self):
        print(f"before: resident {self.base_rss // 1024} MB, {self.base_threads} threads")
        self.good("before")
        self.idle_connections()
        self.total_limit()
        self.writes_without_data()
        self.disconnect_mid_transfer()
        self.login_never_completes()
        time.sleep(0.5)
        if not alive(self.pid):
            self.fail("the server died")
            return
        rss, threads = stats(self.pid)
        print(f"after: resident {rss // 1024} MB, {threads} threads; peak {self.peak_rss // 1024} MB, "
              f"{self.peak_threads} threads")
        self.good("after")


def measure(pid, portal, case):
    socks = []
    try:
        if case == "writes8":
            for i in range(8):
                s = connect(portal)
                login(s)
                s.sendall(command(0x20 + i, 1, rw10(0x2A, 0, 65535), MAX_TRANSFER, write=True))
                socks.append(s)
        elif case == "idle300":
            socks = open_many(portal, "127.0.0.1", 300)
        elif case == "fill16":
            # Sixteen writes of 32 MB that send all but their last burst.
            chunk = b"\x5A" * 262144
            for i in range(16):
                s = connect(portal)
                login(s)
                s.sendall(command(0x40 + i, 1, rw10(0x2A, 0, 65535), MAX_TRANSFER, write=True))
                socks.append(s)
            for i, s in enumerate(socks):
                offset = 0
                while offset < MAX_TRANSFER - 262144:
                    h, _ = read_pdu(s)
                    if h[0] & 0x3F != 0x31:
                        raise RuntimeError(f"opcode {h[0] & 0x3F:#x} instead of R2T")
                    ttt, r2t_offset, length = struct.unpack_from(">I", h, 20)[0], *struct.unpack_from(">II", h, 40)
                    datasn = 0
                    for at in range(r2t_offset, r2t_offset + length, len(chunk)):
                        n = min(len(chunk), r2t_offset + length - at)
                        s.sendall(data_out(0x40 + i, ttt, datasn, at, chunk[:n], final=at + n == r2t_offset + length))
                        datasn += 1
                    offset = r2t_offset + length
        else:
            raise SystemExit(f"unknown case {case}")
    except (OSError, EOFError, RuntimeError) as e:
        print(f"{case}: client stopped: {e}")
    time.sleep(1.0)
    if not alive(pid):
        print(f"{case}: the server is gone")
        return
    rss, threads = stats(pid)
    print(f"{case}: resident {rss // 1024} MB, {threads} threads, {len(socks)} sockets open")
    close_all(socks)


def main():
    mode, pid, portal = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    if mode == "measure":
        measure(pid, portal, sys.argv[4])
        return 0
    log = sys.argv[4]
    limits = tuple(float(x) if "." in x else int(x) for x in sys.argv[5:9])
    check = Check(pid, portal, log, limits)
    check.run()
    if check.failures:
        print(f"{check.failures} failure(s)", file=sys.stderr)
        return 1
    print("hostile clients: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
