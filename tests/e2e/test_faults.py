"""Faults survived end to end, with stations and collectors as separate qv7host
processes on loopback: a collector killed in the middle of a run, a station
killed while it delivers, a collector that accepts and stays silent, and a
receive folder that is missing or full. In every case each record ends up in
the collector's folder with exactly its bytes, none is lost, and a record is
received twice only when it was stored but its acknowledgement was cut."""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import qv7e2e as e  # noqa: E402
import peers as p  # noqa: E402

# A run of 200 records of about 100 KB each lasts long enough to be caught in
# the middle: the kill comes once a quarter of them have arrived.
RECORDS = 200
RECORD_SIZE = 100000
KILL_AFTER = 50


class Faults(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e.keep_wineserver()

    def setUp(self):
        self.root = e.temp_root("faults")
        self.procs = []
        self.collectors = []
        self.silent = []
        self.mounts = []

    def tearDown(self):
        for run in self.procs:
            run.discard()
        for c in self.collectors:
            c.stop()
        for s in self.silent:
            s.close()
        for m in self.mounts:
            subprocess.run(["umount", "-l", m], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)
        shutil.rmtree(self.root, ignore_errors=True)

    # ---- helpers -------------------------------------------------------

    def collector(self, name, port, log_level=1):
        c = e.Collector(os.path.join(self.root, name), port, log_level)
        self.collectors.append(c)
        c.wait_listening()
        return c

    def station(self, name, port, log_level=1):
        return e.make_station(os.path.join(self.root, name),
                              {"option": {"log": log_level},
                               "client": {"server": "127.0.0.1", "port": port,
                                          "name": name}})

    def start_host(self, station, *args, env=None):
        run = p.HostRun(station, args,
                        os.path.join(self.root, "out%d.txt" % len(self.procs)), env)
        self.procs.append(run)
        return run

    def run_host(self, station, *args, timeout=120):
        """Runs one command to its end; returns (status, output)."""
        return self.start_host(station, *args).finish(timeout)

    def record_args(self, records, wait):
        return (["record", "--number", str(records[0][0]), "--time", p.TIME_TEXT,
                 "--wait", str(wait)] + [e.host_path(r[1]) for r in records])

    def queue_offline(self, station, records):
        """Stores the records in the station's resend folder with no collector
        listening on its port; the run that each record starts finds none."""
        status, out = self.run_host(station, *self.record_args(records, 0))
        self.assertEqual(len(records), out.count(": 1\n"), out)
        self.assertEqual(sorted(x[2] for x in records),
                         p.csv_names(os.path.join(station, "resent")))

    def assert_all_stored_once(self, collector, records, printed, in_flight):
        """Every record is in the collector's folder with exactly its bytes, the
        station keeps none, and only the name in_flight (the file whose
        acknowledgement was cut, or None) was received twice."""
        expected = {x[2]: x[3] for x in records}
        counts = p.tally(printed)
        self.assertEqual(set(expected), set(counts), "names received")
        twice = {n for n, k in counts.items() if k > 1}
        self.assertLessEqual(max(counts.values()), 2, counts.most_common(3))
        self.assertLessEqual(twice, {in_flight}, "received twice")
        self.assertEqual(sorted(expected), p.csv_names(collector.inbox))
        for name, text in expected.items():
            self.assertEqual(text, e.read_bytes(os.path.join(collector.inbox, name)), name)

    def assert_queue_empty(self, station):
        self.assertEqual([], p.csv_names(os.path.join(station, "resent")))

    # ---- killed processes ----------------------------------------------

    def test_collector_killed_mid_run(self):
        port = e.free_port()
        first = self.collector("collector", port)
        st = self.station("KC", port)
        records = p.write_records(os.path.join(st, "in"), 1, RECORDS, RECORD_SIZE, "KC")
        rec = self.start_host(st, *self.record_args(records, 2))

        # Another station is connected but idle when the collector dies: its
        # closed connection lingers on the collector's port (TIME_WAIT).
        idle = p.greet(port)
        self.assertIsNotNone(idle)
        printed = p.names_until(first, KILL_AFTER, timeout=120)
        self.assertEqual(KILL_AFTER, len(printed), "the run did not get going")
        first.proc.kill()
        first.proc.wait(timeout=30)
        self.assertEqual(b"", idle.recv(1))
        idle.close()
        printed += p.names_settled(first, quiet=0.5)
        self.assertLess(len(printed), RECORDS, "the run ended before the kill")

        # The station's run breaks off; what is left stays queued.
        status, out = rec.finish(timeout=120)
        self.assertEqual(1, status, out)
        self.assertEqual(RECORDS, out.count(": 1\n"), out)
        waiting = p.csv_names(os.path.join(st, "resent"))
        self.assertTrue(waiting)

        # The collector comes back on the same port and folder; a trigger
        # delivers the rest.
        second = self.collector("collector", port)
        status, out = self.run_host(st, "send", "--wait", "120")
        self.assertEqual(0, status, out)
        again = p.names_until(second, len(waiting), timeout=60)
        again += p.names_settled(second, quiet=0.5)
        self.assertEqual(sorted(waiting), sorted(again))
        self.assert_all_stored_once(second, records, printed + again, printed[-1])
        self.assert_queue_empty(st)

    def test_station_killed_mid_run(self):
        # Killed while a send delivers a queue filled offline, and killed while
        # a record command raises records and delivers them.
        for how in ("send", "record"):
            with self.subTest(killed=how):
                port = e.free_port()
                name = "KS" + how[0].upper()
                st = self.station(name, port)
                records = p.write_records(os.path.join(st, "in"), 1, RECORDS, RECORD_SIZE,
                                          name)
                if how == "send":
                    self.queue_offline(st, records)
                c = self.collector("collector_" + how, port)
                if how == "send":
                    proc = self.start_host(st, "send", "--wait", "120")
                else:
                    proc = self.start_host(st, *self.record_args(records, 120))

                printed = p.names_until(c, KILL_AFTER, timeout=120)
                self.assertEqual(KILL_AFTER, len(printed), "the run did not get going")
                proc.kill()
                out = proc.finish(timeout=30)[1]
                # The collector finishes what had fully arrived, then is idle.
                printed += p.names_settled(c, quiet=1.0)
                self.assertLess(len(printed), RECORDS, "the run ended before the kill")
                if how == "record":
                    # Only records whose event was raised are the plug-in's to
                    # keep; the host died before raising the others.
                    raised = {int(line.split()[1]) for line in out.splitlines()
                              if line.startswith("record ") and line.endswith(": 1")}
                    queued = p.csv_names(os.path.join(st, "resent"))
                    records = [x for x in records
                               if x[0] in raised or x[2] in queued or x[2] in printed]
                    self.assertTrue(raised)

                # Only the file under way when the station died may come twice.
                in_flight = printed[-1]
                status, out = self.run_host(st, "send", "--wait", "120")
                self.assertEqual(0, status, out)
                printed += p.names_settled(c, quiet=1.0, timeout=60)
                self.assert_all_stored_once(c, records, printed, in_flight)
                self.assert_queue_empty(st)

    # ---- a collector that stays silent ---------------------------------

    def test_silent_collector_times_out_and_the_next_trigger_delivers(self):
        port = e.free_port()
        silent = p.SilentCollector(port)
        self.silent.append(silent)
        st = self.station("SIL", port)
        records = p.write_records(os.path.join(st, "in"), 1, 2, 500, "SIL")
        env = e.environment()
        env["QV7_SOCK_RECV_TIMEOUT_MS"] = "2000"
        rec = self.start_host(st, *self.record_args(records, 120), env=env)

        # The station gives up on its own, long before its host stops waiting.
        deadline = time.time() + 60 * e.SLOW
        while not silent.closed_by_peer and time.time() < deadline:
            time.sleep(0.05)
        self.assertTrue(silent.closed_by_peer, "the station never gave up")
        self.assertIsNone(rec.proc.poll(), "the host ended, not the run")
        log = p.read_log(st)
        self.assertIn("Error(recv)", log)
        self.assertIn("End Send Thread", log)
        self.assertEqual([x[2] for x in records], p.csv_names(os.path.join(st, "resent")))

        # A real collector answers on that port now: the host's next trigger
        # delivers, and its wait ends with the queue empty.
        silent.close()
        c = self.collector("collector", port)
        status, out = rec.finish(timeout=120)
        self.assertEqual(0, status, out)
        printed = p.names_until(c, 2, timeout=30) + p.names_settled(c, quiet=0.5)
        self.assert_all_stored_once(c, records, printed, None)
        self.assert_queue_empty(st)

    # ---- a receive folder that cannot take the file --------------------

    def unwritable_inbox(self, c, how):
        """Makes the collector's folder refuse files; returns a procedure that
        mends it, or None when this machine cannot do that here."""
        if how == "missing":
            os.rmdir(c.inbox)
            return lambda: os.makedirs(c.inbox)
        r = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=256k", "tmpfs", c.inbox],
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if r.returncode != 0:
            return None
        self.mounts.append(c.inbox)
        return lambda: subprocess.run(["mount", "-o", "remount,size=8m", c.inbox], check=True)

    def test_unwritable_receive_folder_keeps_the_file_queued(self):
        for how in ("missing", "full"):
            with self.subTest(folder=how):
                port = e.free_port()
                name = "UW" + how[0].upper()
                st = self.station(name, port, log_level=2)
                # The big record cannot fit a full folder; the small one can.
                # Both wait in the queue before the run starts.
                big = p.write_records(os.path.join(st, "in"), 1, 1, 400000, name)
                small = p.write_records(os.path.join(st, "in"), 2, 1, 2000, name)
                self.queue_offline(st, big + small)
                c = self.collector("collector_" + how, port)
                mend = self.unwritable_inbox(c, how)
                if mend is None:
                    self.skipTest("no tmpfs mount here")
                status, out = self.run_host(st, "send", "--wait", "3")
                self.assertEqual(1, status, out)
                self.assertIn(": R: -ERR", p.read_log(st))
                self.assertIn("Error(file_write_buf)", p.read_log(c.folder))
                queued = p.csv_names(os.path.join(st, "resent"))
                if how == "missing":
                    self.assertEqual(sorted([big[0][2], small[0][2]]), queued)
                    printed = []
                else:
                    self.assertEqual([big[0][2]], queued)
                    printed = p.names_until(c, 1, timeout=30)
                    self.assertEqual([small[0][2]], printed)
                    self.assertNotIn(big[0][2], os.listdir(c.inbox))

                mend()
                status, out = self.run_host(st, "send", "--wait", "60")
                self.assertEqual(0, status, out)
                printed += p.names_until(c, len(queued), timeout=30)
                printed += p.names_settled(c, quiet=0.5)
                self.assert_all_stored_once(c, big + small, printed, None)
                self.assert_queue_empty(st)


if __name__ == "__main__":
    unittest.main(verbosity=2)
