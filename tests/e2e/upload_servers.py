"""Real servers on loopback for the upload tests, each started from a folder
of the test's own (which the servers' users can read, wherever the checkout
lies), on ports free at the time: certificates from a CA made with openssl;
Debian's nginx (PUT, and POST to a small form handler); vsftpd, with
explicit and with implicit TLS, for a user made for the test; OpenSSH's
internal-sftp for the same user; and a relay that cuts a connection."""
import email.parser
import http.server
import os
import shutil
import signal
import socket
import subprocess
import threading
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_listening(port, process, timeout=20):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if process.poll() is not None:
            raise AssertionError("server ended at start: %s" % process.args)
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise AssertionError("no server on port %d" % port)


def run(*argv, **kwargs):
    return subprocess.run(argv, check=True, capture_output=True, **kwargs)


class Servers:
    """The servers of one test class, under root.  stop() ends all."""

    def __init__(self, root):
        self.root = root
        self.processes = []
        self.user = None

    def path(self, *names):
        return os.path.join(self.root, *names)

    def folder(self, name, owner=None):
        path = self.path(name)
        os.makedirs(path, exist_ok=True)
        if owner:
            shutil.chown(path, owner)
        return path

    def start(self, argv, port, log, env=None):
        with open(self.path(log), "ab") as out:
            p = subprocess.Popen(argv, stdout=out, stderr=out, stdin=subprocess.DEVNULL,
                                 start_new_session=True, env=env)
        self.processes.append(p)
        wait_listening(port, p)
        return p

    def stop(self):
        for p in self.processes:
            # Each server leads a session of its own: its workers go with it.
            try:
                os.killpg(p.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            p.wait()
        if self.user:
            subprocess.run(["userdel", self.user], capture_output=True)

    # -- certificates -----------------------------------------------------
    def certificates(self):
        """ca.pem; server certificates good.pem (localhost, 127.0.0.1),
        wrong-name.pem and expired.pem, all for the key server.key."""
        ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
        run("openssl", "req", "-x509", *ec, "-keyout", self.path("ca.key"), "-out",
            self.path("ca.pem"), "-days", "2", "-subj", "/CN=Trell test CA")
        run("openssl", "req", "-new", *ec, "-keyout", self.path("server.key"), "-out",
            self.path("server.csr"), "-subj", "/CN=trell test server")
        for name, alt, days in (("good", "DNS:localhost,IP:127.0.0.1", "2"),
                                ("wrong-name", "DNS:wrong.example", "2"),
                                ("expired", "DNS:localhost,IP:127.0.0.1", "-1")):
            with open(self.path(name + ".ext"), "w") as f:
                f.write("subjectAltName=%s\n" % alt)
            run("openssl", "x509", "-req", "-in", self.path("server.csr"), "-CA",
                self.path("ca.pem"), "-CAkey", self.path("ca.key"), "-CAcreateserial",
                "-days", days, "-extfile", self.path(name + ".ext"), "-out",
                self.path(name + ".pem"))

    # -- a user for FTP and SFTP logins -------------------------------------
    def make_user(self, password):
        self.user = "trellup%d" % (os.getpid() % 1000000)
        home = self.path("home")
        run("useradd", "-M", "-d", home, "-s", "/bin/sh", self.user)
        run("chpasswd", input=("%s:%s\n" % (self.user, password)).encode())
        self.folder("home", self.user)
        return self.user

    # -- nginx: /put/ takes PUT, /form is the form handler, /status/N answers N
    def nginx(self, form_port):
        ports = {name: free_port() for name in ("good", "wrong-name", "expired")}
        for d in ("put", "nginx-tmp"):
            os.chmod(self.folder(d), 0o777)
        servers = "".join("""
  server {
    listen 127.0.0.1:%d ssl;
    ssl_certificate %s;
    ssl_certificate_key %s;
    location /put/ { alias %s/; dav_methods PUT; }
    location /form { proxy_pass http://127.0.0.1:%d; }
    location /status/ { return 200; }
    location /status/403 { return 403; }
    location /status/503 { return 503; }
  }""" % (port, self.path(name + ".pem"), self.path("server.key"), self.path("put"), form_port)
                          for name, port in ports.items())
        tmp = self.path("nginx-tmp")
        with open(self.path("nginx.conf"), "w") as f:
            f.write("""daemon off;
worker_processes 1;
user nobody nogroup;
pid %s;
error_log %s;
events {}
http {
  access_log %s;
  client_max_body_size 0;
  client_body_temp_path %s; proxy_temp_path %s; fastcgi_temp_path %s;
  uwsgi_temp_path %s; scgi_temp_path %s;%s
}
""" % (self.path("nginx.pid"), self.path("nginx.log"), self.path("access.log"),
       tmp, tmp, tmp, tmp, tmp, servers))
        self.start(["nginx", "-c", self.path("nginx.conf"), "-e", self.path("nginx.log")],
                   ports["good"], "nginx.out")
        return ports

    def requests(self, path):
        """How many requests for path nginx has logged."""
        with open(self.path("access.log")) as f:
            return sum(1 for line in f if '"PUT %s ' % path in line)

    # -- vsftpd ----------------------------------------------------------------
    def vsftpd(self, name, implicit=False, rate=0):
        port = free_port()
        empty = self.folder("vsftpd-empty")
        os.chmod(empty, 0o755)
        with open(self.path(name + ".conf"), "w") as f:
            f.write("""listen=YES
listen_address=127.0.0.1
listen_port=%d
background=NO
anonymous_enable=NO
local_enable=YES
write_enable=YES
local_umask=022
seccomp_sandbox=NO
secure_chroot_dir=%s
ssl_enable=YES
implicit_ssl=%s
rsa_cert_file=%s
rsa_private_key_file=%s
require_ssl_reuse=NO
force_local_logins_ssl=YES
force_local_data_ssl=YES
local_max_rate=%d
xferlog_enable=YES
xferlog_std_format=NO
log_ftp_protocol=YES
vsftpd_log_file=%s
""" % (port, empty, "YES" if implicit else "NO", self.path("good.pem"),
       self.path("server.key"), rate, self.path(name + ".log")))
        process = self.start(["vsftpd", self.path(name + ".conf")], port, name + ".out")
        return port, process

    def plain_ftp(self, folder):
        """Anonymous FTP without TLS: pyftpdlib, of Debian's own Python."""
        port = free_port()
        env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
        self.start(["/usr/bin/python3", "-m", "pyftpdlib", "-i", "127.0.0.1", "-p", str(port),
                    "-w", "-d", folder], port, "pyftpdlib.log", env=env)
        return port

    def ftp_log(self, name):
        with open(self.path(name + ".log")) as f:
            return f.read()

    # -- OpenSSH's internal-sftp -----------------------------------------------
    def sshd(self):
        port = free_port()
        for key in ("host", "client", "other"):
            run("ssh-keygen", "-q", "-t", "ecdsa", "-m", "PEM", "-N", "", "-f",
                self.path(key + "_key"))
        shutil.copy(self.path("client_key.pub"), self.path("authorized_keys"))
        with open(self.path("sshd_config"), "w") as f:
            f.write("""Port %d
ListenAddress 127.0.0.1
HostKey %s
PidFile %s
AuthorizedKeysFile %s
UsePAM no
StrictModes no
PasswordAuthentication yes
KbdInteractiveAuthentication no
AllowUsers %s
Subsystem sftp internal-sftp
ForceCommand internal-sftp
""" % (port, self.path("host_key"), self.path("sshd.pid"), self.path("authorized_keys"),
       self.user))
        # Debian makes the privilege separation folder at boot, not at install.
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.start(["/usr/sbin/sshd", "-D", "-e", "-f", self.path("sshd_config")], port,
                   "sshd.log")
        for name, key in (("known_hosts", "host"), ("changed_hosts", "other")):
            with open(self.path(key + "_key.pub")) as pub, open(self.path(name), "w") as f:
                f.write("[127.0.0.1]:%d %s\n" % (port, " ".join(pub.read().split()[:2])))
        return port


class FormHandler(http.server.BaseHTTPRequestHandler):
    """Saves the file parts of a multipart/form-data POST into the folder
    of its server, by their file names, as "FIELD=NAME" lines in fields."""

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        head = "Content-Type: %s\r\n\r\n" % self.headers["Content-Type"]
        message = email.parser.BytesParser().parsebytes(head.encode() + body)
        for part in message.get_payload():
            name = part.get_filename()
            with open(os.path.join(self.server.folder, name), "wb") as f:
                f.write(part.get_payload(decode=True))
            with open(os.path.join(self.server.folder, "fields"), "a") as f:
                f.write("%s=%s\n" % (part.get_param("name", header="content-disposition"), name))
        self.send_response(201)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def form_server(folder):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), FormHandler)
    server.folder = folder
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


class CuttingRelay:
    """Relays connections on its own port to target; the first is cut once
    it has carried cut bytes from the client, or with stall set, stops
    reading and answering there.  carried lists the bytes each connection
    took from the client."""

    def __init__(self, target, cut, stall=False):
        self.target, self.cut, self.stall, self.carried = target, cut, stall, []
        self.closed = threading.Event()
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target))
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            index = len(self.carried)
            self.carried.append(0)
            limit = self.cut if index == 0 else None
            threading.Thread(target=self.pump, args=(server, client, None, None),
                             daemon=True).start()
            threading.Thread(target=self.pump, args=(client, server, index, limit),
                             daemon=True).start()

    def pump(self, source, sink, index, limit):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if index is not None:
                    self.carried[index] += len(data)
                sink.sendall(data)
                if limit is not None and self.carried[index] >= limit:
                    if self.stall:
                        self.closed.wait()
                    break
        except OSError:
            pass
        for s in (source, sink):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            s.close()

    def close(self):
        self.closed.set()
        self.listener.close()
