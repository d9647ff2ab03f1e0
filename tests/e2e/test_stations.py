"""Stations and a collector as separate qv7host processes on loopback: records
and files travel from the stations' resend folders into the collector's
folder byte for byte, the collector prints each stored name, a second
collector on the same port fails with "bind", and many stations at once are
each greeted and served."""

import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qv7e2e as e  # noqa: E402


def send_file(sock, name, content):
    """One file over a raw connection; returns the two replies."""
    import base64
    sock.sendall(name + b"\r\n")
    first = e.read_line(sock)
    sock.sendall(base64.b64encode(content) + b"\r\n")
    return first, e.read_line(sock)


class Stations(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e.keep_wineserver()
        cls.root = e.temp_root("stations")
        cls.port = e.free_port()
        cls.collector = e.Collector(os.path.join(cls.root, "collector"), cls.port)
        cls.collector.wait_listening()

    @classmethod
    def tearDownClass(cls):
        cls.collector.stop()
        if os.environ.get("QV7_KEEP"):
            print("kept:", cls.root)
        else:
            shutil.rmtree(cls.root, ignore_errors=True)

    def station(self, name):
        return e.make_station(os.path.join(self.root, name),
                              {"client": {"server": "127.0.0.1", "port": self.port,
                                          "name": name}})

    def inbox(self, name):
        return e.read_bytes(os.path.join(self.collector.inbox, name))

    def resent(self, station):
        folder = os.path.join(station, "resent")
        return sorted(os.listdir(folder)) if os.path.isdir(folder) else []

    def test_records_arrive_named_by_number_time_and_station(self):
        st = self.station("PC1")
        texts = [b"1,2,3\r\n4,5,6\r\n", b"name;\xe6\x97\xa5\xe6\x9c\xac\r\n"]
        files = []
        for i, text in enumerate(texts):
            path = os.path.join(st, "record%d.txt" % i)
            with open(path, "wb") as f:
                f.write(text)
            files.append(e.host_path(path))
        r = e.run_host(st, "record", "--number", "7", "--time", "2024-01-05T14:03:09", *files)
        self.assertIn(r.returncode, (0, 1), r.stdout + r.stderr)
        # A record raised while a delivery run is under way waits for the next
        # trigger: the send event delivers whatever is left.
        r = e.run_host(st, "send")
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        names = ["7_20240105_140309_PC1.csv", "8_20240105_140309_PC1.csv"]
        self.assertEqual(names, self.collector.stored(2))
        for name, text in zip(names, texts):
            self.assertEqual(text, self.inbox(name))
        self.assertEqual([], self.resent(st))

    def test_files_arrive_byte_for_byte(self):
        st = self.station("BIN")
        resent = os.path.join(st, "resent")
        os.makedirs(resent)
        big = os.urandom(10 * 1024 * 1024 + 7)
        files = {
            "empty.csv": b"",
            "binary.csv": bytes(range(256)) * 3 + b"\x00\r\n\x00",
            "big.csv": big,
        }
        for name, content in files.items():
            with open(os.path.join(resent, name), "wb") as f:
                f.write(content)
        r = e.run_host(st, "send", "--wait", "120")
        self.assertEqual(0, r.returncode, r.stdout + r.stderr)
        self.assertEqual(sorted(files), sorted(self.collector.stored(3)))
        for name, content in files.items():
            self.assertEqual(content, self.inbox(name), name)
        self.assertEqual([], self.resent(st))

    def test_second_collector_on_the_same_port_reports_bind(self):
        second = e.Collector(os.path.join(self.root, "second"), self.port)
        try:
            status = second.wait(30)
        finally:
            second.stop()
        self.assertNotEqual(0, status)
        self.assertIn("server error: bind", second.stderr)
        # The first collector goes on serving.
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            self.assertEqual(b"+OK", e.read_line(s))
            self.assertEqual((b"+OK", b"+OK"), send_file(s, b"after_bind.csv", b"still"))
        self.assertEqual(["after_bind.csv"], self.collector.stored(1))
        self.assertEqual(b"still", self.inbox("after_bind.csv"))

    def test_names_never_leave_the_inbox(self):
        before = sorted(os.listdir(self.root))
        with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
            self.assertEqual(b"+OK", e.read_line(s))
            for name in (b"../escaped.csv", b"..\\escaped.csv", b"..", b"", b"CON"):
                self.assertEqual((b"+OK", b"-ERR"), send_file(s, name, b"x"), name)
            self.assertEqual((b"+OK", b"+OK"), send_file(s, b"inside.csv", b"in"))
        self.assertEqual(["inside.csv"], self.collector.stored(1))
        self.assertEqual(before, sorted(os.listdir(self.root)))

    def test_many_stations_at_once(self):
        # Raw connections, all open before any speaks: each has its greeting.
        conns = [socket.create_connection(("127.0.0.1", self.port), timeout=30)
                 for _ in range(40)]
        try:
            for c in conns:
                self.assertEqual(b"+OK", e.read_line(c))
            replies = {}

            def deliver(i, c):
                replies[i] = send_file(c, b"raw%02d.csv" % i, b"raw %d\r\n" % i * 1000)

            threads = [threading.Thread(target=deliver, args=(i, c))
                       for i, c in enumerate(conns)]
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            for c in conns:
                c.close()
        self.assertEqual({i: (b"+OK", b"+OK") for i in range(40)}, replies)
        self.assertEqual(40, len(self.collector.stored(40)))
        for i in range(40):
            self.assertEqual(b"raw %d\r\n" % i * 1000, self.inbox("raw%02d.csv" % i))

        # Stations as separate host processes, recording at the same time.
        count = 4 if e.WINDOWS else 12
        stations = [self.station("ST%02d" % i) for i in range(count)]
        procs = []
        for i, st in enumerate(stations):
            path = os.path.join(st, "rec.txt")
            with open(path, "wb") as f:
                f.write(b"station %d\r\n" % i)
            procs.append(subprocess.Popen(
                e.host_command(st, "record", "--number", str(100 + i), "--time",
                               "2024-02-29T23:59:58", e.host_path(path)),
                env=e.environment(), cwd=st, stdout=subprocess.PIPE,
                stderr=subprocess.STDOUT))
        for p in procs:
            out = p.communicate(timeout=120 * e.SLOW)[0]
            self.assertEqual(0, p.returncode, out)
        expected = {"%d_20240229_235958_ST%02d.csv" % (100 + i, i) for i in range(count)}
        self.assertEqual(expected, set(self.collector.stored(count)))
        for i in range(count):
            self.assertEqual(b"station %d\r\n" % i,
                             self.inbox("%d_20240229_235958_ST%02d.csv" % (100 + i, i)))

    @unittest.skipIf(e.WINDOWS, "Wine maps no signal to the console's Ctrl+C here")
    def test_interrupt_ends_the_collector_cleanly(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            port = e.free_port()
            c = e.Collector(os.path.join(self.root, "interrupted%d" % sig), port)
            c.wait_listening()
            c.proc.send_signal(sig)
            self.assertEqual(0, c.wait(10), sig)
            c.stop()


if __name__ == "__main__":
    unittest.main(verbosity=2)
