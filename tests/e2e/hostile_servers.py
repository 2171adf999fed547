#!/usr/bin/env python3
"""End-to-end: tarnwick --headless --until-idle against misbehaving servers on 127.0.0.1.

An endless body, a body dripping one byte every few seconds, a body arriving steadily just above
the low-speed limit, a body cut before its Content-Length, a 1 MB header line, a redirect to
another server with the item's credentials, cookie and secret extra headers, a redirect to
another server that asks for credentials, a Location holding CR and a server refusing HEAD.
Every run must end by itself with one clear result line per item, within bounded memory,
leaving the watch list whole and no partial downloads behind. The limits are shortened for the
run through TARNWICK_TEST_* variables that only tests set. Beside them, real Japanese pages that
do not declare their code, in each of the four codes, must be read in that code.
"""
import os
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "lib"))
from hostile import HostileServer  # noqa: E402
from localweb import tarnwick_env  # noqa: E402

TARNWICK = os.environ.get("TARNWICK_BINARY", "")
UPDATED = "更新されています"
SECRET_HEADERS = urllib.parse.quote("X-Api-Key: k1\r\nProxy-Authorization: Basic cHJveHk6cHc=",
                                    safe="")
TIME_LIMIT = "ダウンロードに時間がかかりすぎるため中断しました"


def block(fetch, watch):
    lines = ["\t//{{TOP-W", "\t//{{TOP"]
    lines += [f"{k}: {v}" for k, v in fetch]
    lines.append("\tEND}}//")
    lines += [f"{k}: {v}" for k, v in watch]
    lines.append("\tEND-W}}//")
    return "".join(line + "\r\n" for line in lines)


class HostileServers(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not TARNWICK or not os.path.exists(TARNWICK):
            raise RuntimeError("TARNWICK_BINARY does not name the built program")
        cls.other = HostileServer()
        cls.server = HostileServer(other=cls.other)

    @classmethod
    def tearDownClass(cls):
        cls.server.stop()
        cls.other.stop()

    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="tw-hostile-")
        self.home = os.path.join(self.root, "home")
        for d in (self.home, os.path.join(self.root, "config"), os.path.join(self.root, "run")):
            os.makedirs(d, mode=0o700)
        self.bin = os.path.join(self.root, "bin")
        os.makedirs(self.bin)

    def tearDown(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def env(self, **limits):
        return dict(tarnwick_env(self.root, self.home, self.bin), **limits)

    def write_list(self, items):
        self.list_path = os.path.join(self.home, "WatchList.twl")
        with open(self.list_path, "wb") as f:
            f.write("".join(items).encode("cp932"))

    def run_headless(self, env, timeout=180):
        """Runs the checks; returns the result rows by item name, and standard error."""
        proc = subprocess.run([TARNWICK, "--headless", "--until-idle"], env=env,
                              capture_output=True, timeout=timeout)
        out = proc.stdout.decode("utf-8", errors="replace")
        err = proc.stderr.decode("utf-8", errors="replace")
        print(out, err, file=sys.stderr)
        rows = {}
        for line in out.splitlines():
            parts = line.split("\t")
            self.assertEqual(len(parts), 3, line)
            rows[parts[1]] = parts[2]
        return rows, err

    def leftovers(self):
        """Downloads in the data folder that no item keeps as its stored copy."""
        with open(self.list_path, "rb") as f:
            kept = {line[len(b"Hidd: "):].decode() for line in f.read().split(b"\r\n")
                    if line.startswith(b"Hidd: ")}
        found = []
        for folder, subfolders, names in os.walk(self.home):
            # The failure counts are named by the item's key, like its stored copy.
            if "failures" in subfolders and folder == self.home:
                subfolders.remove("failures")
            found += [os.path.join(folder, n) for n in names
                      if n.startswith("temp") and os.path.join(folder, n) not in kept]
        return found

    def test_every_misbehaviour_ends_with_a_clear_result(self):
        s = self.server
        items = [
            block([("Targ", s.url("endless.html")), ("Name", "endless"), ("Modi", "0")], [("Show", "0")]),
            block([("Targ", s.url("drip.html")), ("Name", "drip"), ("Modi", "0")], [("Show", "0")]),
            block([("Targ", s.url("cut.html")), ("Name", "cut"), ("Modi", "0")], [("Show", "0")]),
            block([("Targ", s.url("huge.html")), ("Name", "huge"), ("Modi", "0")], [("Show", "0")]),
            block([("Targ", s.url("away.html")), ("Name", "away"), ("User", "alice"),
                   ("Pass", "secret"), ("Cook", "session=private"),
                   ("Refe", "http://referrer.test/"), ("Head", SECRET_HEADERS), ("Modi", "0")],
                  [("Show", "0")]),
            block([("Targ", s.url("login.html")), ("Name", "login"), ("User", "carol"),
                   ("Pass", "hers"), ("Modi", "0")], [("Show", "0")]),
            block([("Targ", s.url("cr.html")), ("Name", "cr"), ("Modi", "0")], [("Show", "0")]),
            block([("Targ", s.url("nohead.html")), ("Name", "nohead")], [("Show", "0")]),
            block([("Targ", s.url("plain.html")), ("Name", "plain"), ("Modi", "0")], [("Show", "0")]),
        ]
        self.write_list(items)
        # Modi 0 skips the Last-Modified query, which alone would settle a first check; the
        # nohead item keeps it to show that a refused HEAD falls back to a download.
        # A 2 s window at 1 KiB/s ends the drip (one byte every 2 s); 4 MiB ends the endless body.
        env = self.env(TARNWICK_TEST_LOW_SPEED_SECONDS="2", TARNWICK_TEST_LOW_SPEED_BYTES="1024",
                       TARNWICK_TEST_MAX_BODY_BYTES=str(4 << 20))
        rows, err = self.run_headless(env)
        out = "\n".join(f"{k}: {v}" for k, v in rows.items())
        peak_kib = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
        print(f"peak RSS {peak_kib} KiB", file=sys.stderr)

        self.assertEqual(sorted(rows), sorted(["endless", "drip", "cut", "huge", "away", "login",
                                               "cr", "nohead", "plain"]), out)
        self.assertIn("ページが大きすぎるため中断しました", rows["endless"])
        self.assertIn("通信速度が遅すぎるため中断しました", rows["drip"])
        self.assertEqual(rows["cut"], "受信の途中で接続が切れました（ページの一部しか届いていません）")
        self.assertEqual(rows["huge"], "サーバーの応答ヘッダーが長すぎます")
        self.assertEqual(rows["cr"], "リダイレクト先のアドレスに改行などの制御文字が含まれています")
        # A HEAD that is refused falls back to a download.
        self.assertEqual(rows["nohead"], UPDATED)
        self.assertTrue(any(r[0] == "GET" for r in s.seen("/nohead.html")))
        self.assertEqual(rows["plain"], UPDATED)

        # The redirect to another server was followed without the item's secrets.
        self.assertEqual(rows["away"], UPDATED)
        self.assertTrue(any("authorization" in r[2] for r in s.seen("/away.html")))
        landed = self.other.seen("/away.html")
        self.assertTrue(landed)
        for _, _, headers in landed:
            self.assertNotIn("authorization", headers)
            self.assertNotIn("cookie", headers)
            self.assertNotIn("x-api-key", headers)
            self.assertNotIn("proxy-authorization", headers)
            self.assertEqual(headers.get("referer"), "http://referrer.test/")
        self.assertTrue(any(r[2].get("x-api-key") == "k1" for r in s.seen("/away.html")))

        # The other server asked for credentials: the prompt (answered "no" without a user)
        # named that server and its realm, not the watched page, and the item's own
        # credentials never went there.
        self.assertEqual(rows["login"], "認証が否定されました")
        self.assertIn(f"認証が必要です: http://127.0.0.1:{self.other.port}（Other realm）", err)
        self.assertNotIn(s.url("login.html"), err)
        asked = self.other.seen("/login.html")
        self.assertTrue(asked)
        for _, _, headers in asked:
            self.assertNotIn("authorization", headers)

        # Memory stayed bounded although 4 MiB of endless body came in.
        self.assertLess(peak_kib, 200 * 1024)
        with open(self.list_path, "rb") as f:
            saved = f.read()
        self.assertEqual(saved.count(b"\t//{{TOP-W\r\n"), 9)
        self.assertEqual(saved.count(b"\tEND-W}}//\r\n"), 9)
        for name in rows:
            self.assertIn(f"Name: {name}\r\n".encode(), saved)
        self.assertIn(b"Pass: secret\r\n", saved)
        self.assertIn(b"User: carol\r\nPass: hers\r\n", saved)
        self.assertEqual(self.leftovers(), [])

    def test_sigterm_reaches_a_dripping_download(self):
        # One byte a second, and no shortened limits: only the cancel can end this check
        # before the 60 s low-speed window.
        slow = HostileServer(drip_gap=1.0)
        self.addCleanup(slow.stop)
        # The item's last completed check, which the cancelled one must leave as it was.
        done = [("Last", "1796000000"), ("Resu", "1"), ("Show", "0")]
        self.write_list([block([("Targ", slow.url("drip.html")), ("Name", "drip"), ("Modi", "0")],
                               done)])
        proc = subprocess.Popen([TARNWICK, "--headless", "--until-idle"], env=self.env(),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            # Wait on the condition: the download has started when the server saw it.
            tick = threading.Event()
            while not tick.wait(0.05):
                if slow.seen("/drip.html") or proc.poll() is not None:
                    break
            self.assertIsNone(proc.poll(), "ended before the download started")
            started = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            # A generous bound: the cancel takes well under a second; the drip alone would
            # hold the check for a minute.
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.fail("the program did not end within 10 s of SIGTERM")
            ended = time.monotonic() - started
            print(f"\nSIGTERM during a one-byte-a-second download: ended after {ended:.2f} s",
                  file=sys.stderr)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            proc.stdout.close()
            proc.stderr.close()
        self.assertEqual(proc.returncode, 0)
        with open(self.list_path, "rb") as f:
            saved = f.read()
        self.assertEqual(saved.count(b"\t//{{TOP-W\r\n"), 1)
        for key, value in done:
            self.assertIn(f"{key}: {value}\r\n".encode(), saved)
        self.assertEqual(self.leftovers(), [])

    def test_a_steady_trickle_ends_at_the_time_limit_and_the_next_item_is_checked(self):
        # 1,200 bytes a second passes a low-speed check of 1,024 over 2 s for ever; the whole
        # download may take 4 s, through the tests' variable, then 3 s through tarnwick.conf.
        slow = HostileServer(trickle_rate=1200)
        self.addCleanup(slow.stop)
        items = [block([("Targ", slow.url("trickle.html")), ("Name", "trickle"), ("Modi", "0")],
                       [("Show", "0")]),
                 block([("Targ", slow.url("plain.html")), ("Name", "behind"), ("Modi", "0")],
                       [("Show", "0")])]
        limits = dict(TARNWICK_TEST_LOW_SPEED_SECONDS="2", TARNWICK_TEST_LOW_SPEED_BYTES="1024")
        for conf, variable, shown in ((None, "4", "上限4秒"), ("[net]\nmax_download_s=3\n", None,
                                                               "上限3秒")):
            with self.subTest(shown=shown):
                # A data folder of its own for each run.
                shutil.rmtree(self.home)
                os.makedirs(self.home, mode=0o700)
                self.write_list(items)
                conf_path = os.path.join(self.home, "tarnwick.conf")
                if conf:
                    with open(conf_path, "w", encoding="utf-8") as f:
                        f.write(conf)
                env = self.env(**limits)
                if variable:
                    env["TARNWICK_TEST_MAX_DOWNLOAD_SECONDS"] = variable
                # Without a time limit the trickle would hold the check for more than two hours.
                rows, _ = self.run_headless(env, timeout=120)
                self.assertEqual(rows.get("trickle"), f"{TIME_LIMIT}（{shown}）")
                self.assertEqual(rows.get("behind"), UPDATED)
                self.assertEqual(self.leftovers(), [])
                if conf:
                    with open(conf_path, encoding="utf-8") as f:
                        self.assertEqual(f.read(), conf)

    def test_undeclared_japanese_pages_are_read_in_their_code(self):
        # Ordinary Japanese text without a charset anywhere in the page, served in each code
        # once with the code in the Content-Type header only and once with no hint at all.
        text = ("<html><head><title>今週のお知らせ</title></head><body>\n"
                "<p>本日は朝から良い天気でした。駅前の小さな本屋で、新しい料理の本を買いました。"
                "帰りに喫茶店へ寄って、温かいコーヒーを飲みながら少しだけ読んでみました。"
                "野菜をたくさん使った献立が多く、家族にも喜ばれそうです。</p>\n"
                "<p>本日の価格：1,980円（税込）</p>\n</body></html>\n")
        codes = {"sjis": ("shift_jis", "Shift_JIS"), "euc": ("euc_jp", "EUC-JP"),
                 "utf8": ("utf-8", "UTF-8"), "jis": ("iso2022_jp", "ISO-2022-JP")}
        pages = {}
        items = []
        for name, (codec, charset) in codes.items():
            body = text.encode(codec)
            self.assertNotIn(b"charset", body)
            for hint, content_type in (("header", f"text/html; charset={charset}"),
                                       ("bytes", "text/html")):
                path = f"/{name}-{hint}.html"
                pages[path] = (content_type, body)
                items.append(block([("Targ", f"http://127.0.0.1:{{port}}{path}"),
                                    ("Name", f"{name}-{hint}"), ("Modi", "0")],
                                   [("Keyw", "本日の価格："), ("KeyP", "1"), ("CmpO", "0"),
                                    ("CmpS", "7"), ("Jpco", "0"), ("Show", "0")]))
        server = HostileServer(pages=pages)
        self.addCleanup(server.stop)
        self.write_list([item.replace("{port}", str(server.port)) for item in items])
        rows, _ = self.run_headless(self.env())
        self.assertEqual(len(rows), 8, rows)
        for name, result in rows.items():
            self.assertEqual(result, UPDATED, name)
        with open(self.list_path, "rb") as f:
            saved = f.read()
        # Every item found its keyword and keeps the area behind it, in code page 932.
        self.assertEqual(saved.count(b"CmpD: "), 8, saved)
        for line in saved.split(b"\r\n"):
            if line.startswith(b"CmpD: "):
                self.assertEqual(urllib.parse.unquote_to_bytes(line[6:]),
                                 "1,980円".encode("cp932"), line)


if __name__ == "__main__":
    unittest.main(verbosity=2)
