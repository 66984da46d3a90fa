"""trell-upload (uploadFile) against real servers on loopback: Debian's
nginx, vsftpd and OpenSSH's internal-sftp, started by the test with
certificates from its own CA (upload_servers.py).  Every message of every
run is checked for the password."""
import os
import pty
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import unittest

from e2e_util import descendants, cmdline
from install_util import BUILD
from upload_servers import CuttingRelay, Servers, form_server

UPLOAD = os.path.join(BUILD, "bin", "trell-upload")
FAKE_CURL = os.path.join(BUILD, "ftp-fakes", "scripted")
PASSWORD = "pw-%d-Secret" % os.getpid()


def sha256sum(folder, name):
    """sha256sum's own line for the file."""
    return subprocess.run(["sha256sum", name], cwd=folder, capture_output=True, check=True).stdout


class Upload(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="trell-upload-", dir="/var/tmp")
        os.chmod(cls.dir, 0o755)
        cls.addClassCleanup(shutil.rmtree, cls.dir, ignore_errors=True)
        cls.servers = s = Servers(cls.dir)
        cls.addClassCleanup(s.stop)
        s.certificates()
        cls.user = s.make_user(PASSWORD)
        cls.form = form_server(s.folder("form"))
        cls.addClassCleanup(cls.form.server_close)
        cls.addClassCleanup(cls.form.shutdown)
        cls.https = s.nginx(cls.form.server_address[1])
        cls.ftp, _ = s.vsftpd("explicit")
        cls.ftps, cls.slow_ftps = s.vsftpd("implicit", implicit=True, rate=4000000)
        cls.sftp = s.sshd()
        cls.home = s.path("home")  # where FTP and SFTP uploads land
        cls.netrc = cls.write("netrc", "machine 127.0.0.1 login %s password %s\n"
                              % (cls.user, PASSWORD))
        cls.password = cls.write("password", PASSWORD + "\n")
        cls.data = os.urandom(3 * 1024 * 1024 + 17)
        cls.file = cls.write("report.bin", cls.data)
        cls.ca = ["--ca-file", s.path("ca.pem")]

    @classmethod
    def write(cls, name, content):
        path = cls.servers.path(name)
        with open(path, "wb" if isinstance(content, bytes) else "w") as f:
            f.write(content)
        os.chmod(path, 0o600)
        return path

    def upload(self, *args, env=None):
        # Straight to the servers on loopback, whatever proxy the machine names.
        clean = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        r = subprocess.run([UPLOAD, *args], capture_output=True, text=True, timeout=120,
                           env=dict(clean, **(env or {})))
        self.assertNotIn(PASSWORD.upper(), (r.stdout + r.stderr).upper())
        return r

    def assertArrived(self, folder, name, data=None):
        with open(os.path.join(folder, name), "rb") as f:
            self.assertTrue(f.read() == (data or self.data), name)

    def sftp_url(self, port=None):
        return "sftp://%s@127.0.0.1:%d%s/" % (self.user, port or self.sftp, self.home)

    def test_each_protocol_arrives_byte_for_byte(self):
        s = self.servers
        # A name that URLs and sha256sum lines must escape.
        odd = self.write("odd \\ name.bin", self.data)
        ssh_home = s.folder("ssh-home")
        os.makedirs(os.path.join(ssh_home, ".ssh"))
        shutil.copy(s.path("known_hosts"), os.path.join(ssh_home, ".ssh", "known_hosts"))
        https = "https://127.0.0.1:%d" % self.https["good"]
        cases = [
            (s.path("put"), "report.bin", [*self.ca, https + "/put/", self.file], None),
            (s.path("form"), "report.bin", [*self.ca, "--form", "result", https + "/form",
                                            self.file], None),
            (self.home, "explicit.bin", [*self.ca, "--netrc", self.netrc,
                                         "ftp://127.0.0.1:%d/explicit.bin" % self.ftp, self.file],
             None),
            (self.home, "report.bin", [*self.ca, "--netrc", self.netrc,
                                       "ftps://127.0.0.1:%d/" % self.ftps, self.file], None),
            # The password file with the URL's user; the user's own known hosts.
            (self.home, "odd \\ name.bin", ["--netrc", self.password, self.sftp_url(), odd],
             {"HOME": ssh_home}),
            (self.home, "key.bin", ["--ssh-key", s.path("client_key"), "--known-hosts",
                                    s.path("known_hosts"), self.sftp_url() + "key.bin",
                                    self.file], None)]
        for folder, name, args, env in cases:
            with self.subTest(url=args[-2]):
                r = self.upload("--checksum", *args, env=env)
                self.assertEqual((0, "", ""), (r.returncode, r.stdout, r.stderr))
                self.assertArrived(folder, name)
                with open(os.path.join(folder, name + ".sha256"), "rb") as f:
                    self.assertEqual(sha256sum(folder, name), f.read())
                if folder == s.path("form"):
                    with open(os.path.join(folder, "fields")) as f:
                        self.assertEqual("result=report.bin\nresult=report.bin.sha256\n", f.read())

    def test_large_sparse_file_uploads_in_bounded_memory(self):
        big = self.servers.path("big.bin")
        with open(big, "wb") as f:
            f.truncate(1 << 30)
        self.addCleanup(os.remove, big)
        url = "https://127.0.0.1:%d/put/" % self.https["good"]
        peaks = []
        # A sanitized build keeps freed memory in quarantine, unless told not to.
        env = dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") +
                   ":quarantine_size_mb=0")
        for path in (self.file, big):
            r = subprocess.run(["/usr/bin/time", "-f", "%M", UPLOAD, "--checksum", *self.ca, url,
                                path], capture_output=True, text=True, timeout=300, env=env)
            self.assertEqual(0, r.returncode, r.stderr)
            peaks.append(int(r.stderr.split()[-1]))
        # The same peak (KiB) for 3 MB and for 1 GB: the file is streamed.
        self.assertLess(peaks[1], peaks[0] + 8192, peaks)
        arrived = self.servers.path("put", "big.bin")
        self.addCleanup(os.remove, arrived)
        self.assertEqual(1 << 30, os.path.getsize(arrived))
        self.assertEqual(0, subprocess.run(["cmp", big, arrived]).returncode)
        with open(arrived + ".sha256", "rb") as f:
            self.assertEqual(sha256sum(self.servers.path(), "big.bin"), f.read())

    def test_servers_that_cannot_be_trusted_are_refused(self):
        s, name = self.servers, "untrusted.bin"
        local = self.write(name, b"secret result")
        https = "https://127.0.0.1:%d/put/"
        cases = [
            ([*self.ca, https % self.https["expired"]], "certificate has expired"),
            ([*self.ca, https % self.https["wrong-name"]],
             "no alternative certificate subject name matches target host name '127.0.0.1'"),
            ([https % self.https["good"]], "unable to get local issuer certificate"),
            # ftp:// takes the TLS the server offers, and verifies it the same.
            (["--netrc", self.netrc, "ftp://127.0.0.1:%d/" % self.ftp],
             "unable to get local issuer certificate"),
            (["--ssh-key", s.path("client_key"), "--known-hosts", s.path("changed_hosts"),
              self.sftp_url()], "host key is not the one in " + s.path("changed_hosts")),
            (["--ssh-key", s.path("client_key"), "--known-hosts", os.devnull, self.sftp_url()],
             "host key is not the one in /dev/null")]
        for args, reason in cases:
            with self.subTest(reason=reason):
                r = self.upload(*args, local)
                self.assertEqual(1, r.returncode)
                self.assertIn(reason, r.stderr)
                self.assertEqual(1, len(r.stderr.splitlines()), r.stderr)
        for folder in (s.path("put"), self.home):
            self.assertNotIn(name, os.listdir(folder))

        # --require-tls refuses a server without TLS, which is used without it.
        plain = s.folder("plain")
        url = "ftp://127.0.0.1:%d/" % s.plain_ftp(plain)
        r = self.upload("--require-tls", url, local)
        self.assertEqual((1, "Upload: %s: Requested SSL level failed\n" % name),
                         (r.returncode, r.stderr))
        self.assertEqual([], os.listdir(plain))
        r = self.upload(url, local)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertArrived(plain, name, b"secret result")

    def test_broken_connections_resume_or_start_over(self):
        s = self.servers
        data = os.urandom(8 * 1024 * 1024)
        local = self.write("cut.bin", data)
        with open(s.path("known_hosts")) as f:
            known = f.read()
        # SFTP resumes: the second connection carries about what was left.
        # HTTPS starts over: it carries the whole file again.
        for kind, port, args in (
                ("sftp", self.sftp, ["--ssh-key", s.path("client_key"), "--known-hosts",
                                     s.path("relay_hosts")]),
                ("https", self.https["good"], self.ca)):
            with self.subTest(kind=kind):
                relay = CuttingRelay(port, len(data) // 2)
                self.addCleanup(relay.close)
                with open(s.path("relay_hosts"), "w") as f:
                    f.write(known.replace(":%d " % self.sftp, ":%d " % relay.port))
                url = (self.sftp_url(relay.port) + kind + ".bin" if kind == "sftp" else
                       "https://localhost:%d/put/%s.bin" % (relay.port, kind))
                r = self.upload("--checksum", *args, url, local)
                self.assertEqual((0, ""), (r.returncode, r.stderr))
                folder = self.home if kind == "sftp" else s.path("put")
                self.assertArrived(folder, kind + ".bin", data)
                with open(os.path.join(folder, kind + ".bin.sha256"), "rb") as f:
                    self.assertEqual(sha256sum(folder, kind + ".bin"), f.read())
                carried = relay.carried[1]
                if kind == "sftp":
                    self.assertLess(carried, len(data) * 3 // 4, relay.carried)
                else:
                    self.assertGreater(carried, len(data), relay.carried)

        # FTPS resumes after the server's session is killed halfway; on a
        # terminal, the progress and the failed try show.
        arrived = os.path.join(self.home, "cut.bin")
        master, terminal = pty.openpty()
        p = subprocess.Popen([UPLOAD, "--checksum", *self.ca, "--netrc", self.netrc,
                              "ftps://127.0.0.1:%d/" % self.ftps, local], stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        self.assertTrue(self.wait_for(lambda: os.path.exists(arrived) and
                                      os.path.getsize(arrived) >= len(data) // 2))
        # The password is in neither its command line nor its environment.
        with open("/proc/%d/environ" % p.pid, "rb") as f:
            self.assertNotIn(PASSWORD.encode(), f.read() + cmdline(p.pid))
        for pid in descendants(self.slow_ftps.pid):
            os.kill(pid, signal.SIGKILL)
        shown = self.read_all(master).decode()
        self.assertEqual(0, p.wait(), shown)
        self.assertArrived(self.home, "cut.bin", data)
        with open(arrived + ".sha256", "rb") as f:
            self.assertEqual(sha256sum(self.home, "cut.bin"), f.read())
        self.assertIn("APPE cut.bin", s.ftp_log("implicit"))
        self.assertRegex(shown, r"\rUpload: cut\.bin:  \d\d%, [\d.]+ of 8\.0 MiB, [\d.]+ MiB/s")
        self.assertRegex(shown, r"\r\nUpload: cut\.bin: [^\r]+; trying again in 1 s\r\n")
        self.assertRegex(shown, r"\rUpload: cut\.bin: 100%, 8\.0 of 8\.0 MiB, [\d.]+ MiB/s \r\n$")
        self.assertNotIn(PASSWORD, shown)

    def test_silent_servers_end_within_the_time_out(self):
        # One that accepts the connection and never answers; one that stops
        # in the middle of the transfer (libcurl's speed is an average over
        # about five seconds, which comes on top of the time-out).
        silent = socket.create_server(("127.0.0.1", 0))
        self.addCleanup(silent.close)
        relay = CuttingRelay(self.https["good"], len(self.data) // 2, stall=True)
        self.addCleanup(relay.close)
        for port, longest in ((silent.getsockname()[1], 5), (relay.port, 12)):
            start = time.monotonic()
            r = self.upload(*self.ca, "--timeout", "2", "--retries", "0",
                            "https://localhost:%d/put/" % port, self.file)
            took = time.monotonic() - start
            self.assertEqual(1, r.returncode)
            self.assertRegex(r.stderr, r"^Upload: report\.bin: .*(timeout|too slow)")
            self.assertTrue(2 <= took < longest, took)

    def test_http_403_is_final_and_503_is_tried_again(self):
        base = "https://127.0.0.1:%d/status/" % self.https["good"]
        for status, tries in ((403, 1), (503, 3)):
            r = self.upload(*self.ca, "--retries", "2", base + str(status), self.file)
            self.assertEqual(1, r.returncode)
            self.assertEqual("Upload: %d: the server answered HTTP %d%s\n" % (
                status, status, "" if tries == 1 else " (after 3 tries)"), r.stderr)
            self.assertEqual(tries, self.servers.requests("/status/%d" % status))

    def test_passwords_in_urls_and_refused_logins_end_at_once(self):
        url = "ftps://%s@127.0.0.1:%d/"
        r = self.upload(*self.ca, url % (self.user + ":" + PASSWORD, self.ftps), self.file)
        self.assertEqual(1, r.returncode)
        self.assertIn("the URL holds a password", r.stderr)
        # A password of the longest length is tried, one byte more is refused.
        for password, told in ((PASSWORD.upper(), "Access denied: 530"),
                               ("p" * 1023, "Access denied: 530"),
                               ("p" * 1024, "the first line of %s must hold the password (1 to "
                                            "1023 bytes)" % self.servers.path("wrong"))):
            wrong = self.write("wrong", password + "\n")
            r = self.upload(*self.ca, "--netrc", wrong, url % (self.user, self.ftps), self.file)
            self.assertEqual(1, r.returncode)
            self.assertRegex(r.stderr, r"^Upload: (report\.bin: )?%s\n$" % re.escape(told))
        # A refused login is final: no second try.
        self.assertEqual(2, self.servers.ftp_log("implicit").count("FAIL LOGIN"))

    def test_hosts_without_libcurl_or_its_sftp(self):
        libs = self.servers.folder("no-curl")
        for name in ("libcurl.so", "libcurl.so.4"):
            self.write(os.path.join(libs, name), "not a library")
        r = self.upload("https://127.0.0.1/", self.file, env={"LD_LIBRARY_PATH": libs})
        self.assertEqual(1, r.returncode)
        self.assertRegex(r.stderr, r"^Upload: libcurl cannot be loaded \(.*libcurl\.so\.4.*\); ")
        r = self.upload("--known-hosts", self.servers.path("known_hosts"), self.sftp_url(),
                        self.file,
                        env={"LD_LIBRARY_PATH": FAKE_CURL, "FAKECURL_PROTOCOLS": "ftp ftps https"})
        self.assertEqual((1, "Upload: this host's libcurl 7.0.0-fake has no SFTP: that needs a "
                          "libcurl built with libssh2\n"), (r.returncode, r.stderr))

    def test_usage_errors_exit_with_2(self):
        for args in ([], ["ftp://h/"], ["--retries", "11", "ftp://h/", "f"], ["--bogus", "u", "f"]):
            self.assertEqual(2, self.upload(*args).returncode, args)

    # -- helpers --------------------------------------------------------------
    def wait_for(self, predicate, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            if predicate():
                return True
            time.sleep(0.01)
        return False

    @staticmethod
    def read_all(fd):
        """What a terminal shows until its other side closes."""
        got = b""
        try:
            while chunk := os.read(fd, 65536):
                got += chunk
        except OSError:  # EIO: the other side has gone
            pass
        os.close(fd)
        return got


if __name__ == "__main__":
    unittest.main()
