"""qv7host info: the registration a host sees, in English and Japanese, and a
module whose load step fails, which the host must report instead of using."""

import os
import shutil
import subprocess
import unittest

import qv7e2e as e


def info(station, lang):
    env = e.environment()
    for k in ("LC_ALL", "LC_MESSAGES", "LC_CTYPE", "QV7_ACP"):
        env.pop(k, None)
    env["LANG"] = lang
    return subprocess.run(e.host_command(station, "info"), env=env, cwd=station,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60 * e.SLOW)


class HostInfo(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        e.keep_wineserver()
        cls.root = e.temp_root("info")
        cls.station = e.make_station(os.path.join(cls.root, "st"), {"option": {"log": "1"}})

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root, ignore_errors=True)

    def test_registration_in_each_language(self):
        # The title comes in the ANSI code page: UTF-8 natively, 932 under Wine.
        japanese = "&CSV送信".encode("cp932" if e.WINDOWS else "utf-8")
        for lang, title in (("en_US.UTF-8", b"&CSV"), ("ja_JP.UTF-8", japanese)):
            with self.subTest(lang=lang):
                r = info(self.station, lang)
                self.assertEqual(0, r.returncode, r.stderr)
                lines = r.stdout.replace(b"\r\n", b"\n").split(b"\n")
                want_title = b"title: Send &CSV" if title == b"&CSV" else b"title: " + title
                self.assertIn(want_title, lines)
                self.assertIn(b"function: qv7_sock", lines)
                self.assertIn(b"mask: 0x41", lines)

    def test_a_module_that_cannot_load_is_reported(self):
        # A folder so deep that the module's INI, log and queue paths would
        # not fit their 260-byte buffers: the load step refuses the load.
        deep = os.path.join(self.root, "d" * 120, "e" * 120)
        os.makedirs(deep)
        shutil.copy(e.MODULE, os.path.join(deep, "qv7_sock.qv7"))
        r = info(deep, "en_US.UTF-8")
        self.assertNotEqual(0, r.returncode)
        self.assertIn(b"cannot load module", r.stderr)
        self.assertFalse(os.path.exists(os.path.join(deep, "qv7_sock.log")))


if __name__ == "__main__":
    unittest.main()
