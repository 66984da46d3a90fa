"""Fleets for the Ansible tests: each host an sshd on a loopback port in a
private mount namespace, with its own /root, /home, /tmp, /var/tmp and
/dev/shm (folders of the test bound over them, noexec or read-only as the
host asks), users that exist only on that host, and the ansible-playbook
of Debian's ansible-core that reaches them with the collection of this
checkout."""
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

from e2e_util import ROOT, descendants, process_state

# Run in the host's namespace with the host's folder as $0; what comes from
# below /var/tmp is bound before /var/tmp itself is covered.  The host's
# users and sudoers are files of an overlay over /etc (a file bound over
# /etc/passwd would fall off when useradd on the machine replaces it).
START = r"""set -e
h=$0
mount --bind "$h/conf" /mnt
mount -t overlay overlay -o "lowerdir=/etc,upperdir=$h/etc,workdir=$h/etc-work" /etc
if [ -n "$USR_LOCAL" ]; then mount --bind "$USR_LOCAL" /usr/local; fi
place() {
  mount --bind "$h/$1" "$2"
  if [ -n "$3" ]; then mount -o "remount,bind,$3" "$2"; fi
}
place root /root ""
place home /home ""
place tmp /tmp "$TMP_MOUNT"
place shm /dev/shm "$SHM_MOUNT"
place vartmp /var/tmp "$VARTMP_MOUNT"
exec /usr/bin/time -f %M -o /mnt/maxrss /usr/sbin/sshd -D -e -f /mnt/sshd_config
"""

SSHD_CONFIG = """Port %d
ListenAddress 127.0.0.1
HostKey /mnt/host_key
PidFile none
UsePAM no
StrictModes no
PermitRootLogin prohibit-password
PasswordAuthentication no
KbdInteractiveAuthentication no
AuthorizedKeysFile /mnt/authorized_keys
Subsystem sftp internal-sftp
LogLevel VERBOSE
"""

NOEXEC = "noexec,nosuid,nodev"
PLACES = ("root", "home", "tmp", "vartmp", "shm")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def free_uids(count):
    uids, uid = [], 61000
    while len(uids) < count:
        try:
            pwd.getpwuid(uid)
        except KeyError:
            uids.append(uid)
        uid += 1
    return uids


def mount_ns(pid):
    try:
        return os.readlink("/proc/%d/ns/mnt" % pid)
    except OSError:
        return None


class Host:
    """One host.  user logs in (root, or a user of this host only); sudo
    lets that user become root.  tmp, vartmp and shm are mount options
    (noexec, ro) of its /tmp, /var/tmp and /dev/shm; usr_local a folder that
    becomes its /usr/local."""

    def __init__(self, fleet, name, user="root", uid=None, tmp="", vartmp="", shm="",
                 usr_local=None):
        self.fleet, self.name, self.user = fleet, name, user
        self.dir = os.path.join(fleet.dir, "hosts", name)
        self.vars = {"ansible_host": "127.0.0.1", "ansible_user": user}
        conf, etc = self.path("conf"), self.path("etc")
        for place in PLACES + ("conf", "etc", "etc-work"):
            os.makedirs(self.path(place))
        for place in ("tmp", "vartmp", "shm"):
            os.chmod(self.path(place), 0o1777)
        os.chmod(self.path("root"), 0o700)
        shutil.copy(fleet.host_key, os.path.join(conf, "host_key"))
        shutil.copy(fleet.client_key + ".pub", os.path.join(conf, "authorized_keys"))
        for f in ("passwd", "group", "shadow", "sudoers"):
            shutil.copy2("/etc/" + f, os.path.join(etc, f))
        if user != "root":
            self.uid = uid
            self.home = self.path("home", user)
            with open(os.path.join(etc, "passwd"), "a") as f:
                f.write("%s:x:%d:%d::/home/%s:/bin/sh\n" % (user, uid, uid, user))
            with open(os.path.join(etc, "group"), "a") as f:
                f.write("%s:x:%d:\n" % (user, uid))
            with open(os.path.join(etc, "shadow"), "a") as f:
                f.write("%s:*:19000:0:99999:7:::\n" % user)
            with open(os.path.join(etc, "sudoers"), "a") as f:
                f.write("%s ALL=(ALL) NOPASSWD: ALL\n" % user)
            os.mkdir(self.home, 0o700)
            os.chown(self.home, uid, uid)
        else:
            self.uid, self.home = 0, self.path("root")
        self.env = dict(os.environ, TMP_MOUNT=tmp, VARTMP_MOUNT=vartmp, SHM_MOUNT=shm,
                        USR_LOCAL=usr_local or "")
        self.proc = None
        for _ in range(5):
            if self.start():
                return
        raise AssertionError("sshd of %s did not start: %s" % (name, self.log()))

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def start(self):
        """Starts sshd on a free port; False when another took the port first."""
        self.port = free_port()
        self.vars["ansible_port"] = self.port
        with open(self.path("conf", "sshd_config"), "w") as f:
            f.write(SSHD_CONFIG % self.port)
        with open(self.path("sshd.log"), "ab") as log:
            self.proc = subprocess.Popen(["unshare", "-m", "--propagation", "private",
                                          "sh", "-c", START, self.dir], env=self.env,
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        end = time.monotonic() + 20
        while time.monotonic() < end and self.proc.poll() is None:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                self.ns = mount_ns(self.proc.pid)
                return True
            except OSError:
                time.sleep(0.05)
        self.proc.wait()
        return False

    def log(self):
        with open(self.path("sshd.log"), errors="replace") as f:
            return f.read()

    def sshd(self):
        """The listening sshd (below GNU time)."""
        below = descendants(self.proc.pid)
        return below[0] if below else None

    def processes(self):
        """The living processes in this host's mount namespace (GNU time
        above sshd aside)."""
        found = []
        for name in filter(str.isdigit, os.listdir("/proc")):
            pid = int(name)
            if pid != self.proc.pid and mount_ns(pid) == self.ns \
                    and process_state(pid) not in (None, "Z"):
                found.append(pid)
        return found

    def strays(self):
        """The processes of the host but its listening sshd."""
        listener = self.sshd()
        return [pid for pid in self.processes() if pid != listener]

    def cut(self):
        """The host's connections break: every sshd of the host is killed,
        what they started is left to itself."""
        for pid in self.processes():
            try:
                with open("/proc/%d/comm" % pid) as f:
                    if f.read().strip() == "sshd":
                        os.kill(pid, signal.SIGKILL)
            except OSError:
                pass

    def max_rss_kib(self):
        """The largest resident set of any process of the host, once stopped."""
        with open(self.path("conf", "maxrss")) as f:
            return int(f.read().split()[-1])

    def leftovers(self):
        """Everything of a run that could stay: files in the host's /tmp,
        /var/tmp and /dev/shm, Ansible's temporary folders (which hold the
        private folders of the runs)."""
        found = []
        for place, seen_as in (("tmp", "/tmp"), ("vartmp", "/var/tmp"), ("shm", "/dev/shm")):
            found += [os.path.join(seen_as, n) for n in os.listdir(self.path(place))]
        ansible_tmp = os.path.join(self.home, ".ansible", "tmp")
        if os.path.isdir(ansible_tmp):
            found += os.listdir(ansible_tmp)
        return found

    def stop(self):
        if self.proc.poll() is None:
            sshd = self.sshd()
            if sshd:
                os.kill(sshd, signal.SIGTERM)
            try:
                self.proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for pid in self.processes():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


class Fleet:
    """Hosts, an inventory of them, and ansible-playbook run on them."""

    def __init__(self, folder):
        self.dir = folder
        # sshd's privilege separation folder, which the system makes when it
        # starts its own sshd (a machine that never did may lack it).
        os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.hosts = {}
        self.closed = {}
        keys = os.path.join(folder, "keys")
        os.makedirs(keys)
        self.host_key = os.path.join(keys, "host_key")
        self.client_key = os.path.join(keys, "client_key")
        for key in (self.host_key, self.client_key):
            subprocess.run(["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", key],
                           check=True)
        self.collections = os.path.join(folder, "collections")
        shutil.copytree(os.path.join(ROOT, "ansible"),
                        os.path.join(self.collections, "ansible_collections", "trell", "portable"),
                        ignore=shutil.ignore_patterns("__pycache__"))

    def host(self, name, **kwargs):
        self.hosts[name] = Host(self, name, **kwargs)
        return self.hosts[name]

    def closed_port(self, name):
        """A host at a loopback port where nothing listens."""
        self.closed[name] = {"ansible_host": "127.0.0.1", "ansible_port": free_port(),
                             "ansible_user": "root"}

    def env(self):
        cp = os.path.join(self.dir, "cp")
        config = os.path.join(self.dir, "ansible.cfg")
        if not os.path.exists(config):
            open(config, "w").close()
        return dict(
            os.environ, ANSIBLE_CONFIG=config, ANSIBLE_COLLECTIONS_PATH=self.collections,
            ANSIBLE_COLLECTIONS_SCAN_SYS_PATH="False", ANSIBLE_HOST_KEY_CHECKING="False",
            ANSIBLE_SSH_ARGS="-C -o ControlMaster=auto -o ControlPersist=60s "
                             "-o UserKnownHostsFile=/dev/null -o LogLevel=ERROR",
            ANSIBLE_SSH_CONTROL_PATH_DIR=cp, ANSIBLE_PRIVATE_KEY_FILE=self.client_key,
            ANSIBLE_LOCAL_TEMP=os.path.join(self.dir, "ansible-local"),
            ANSIBLE_HOME=os.path.join(self.dir, "ansible-home"),
            ANSIBLE_PYTHON_INTERPRETER="/usr/bin/python3", ANSIBLE_FORKS="10",
            ANSIBLE_TIMEOUT="10", ANSIBLE_NOCOLOR="1")

    def play(self, variables, host_vars=None, hosts=None, name="play", while_running=None):
        """Runs the playbook trell.portable.run on hosts (default: all of
        the fleet) with variables for all and host_vars by host,
        calling while_running() while it runs until that gives True.  Returns
        the finished process with its output, .seconds (wall time) and
        .max_rss_kib (the largest process on the controller)."""
        host_vars = host_vars or {}
        names = hosts or list(self.hosts) + list(self.closed)
        inventory = {"all": {"hosts": {}, "vars": variables}}
        for h in names:
            base = self.hosts[h].vars if h in self.hosts else self.closed[h]
            inventory["all"]["hosts"][h] = dict(base, **host_vars.get(h, {}))
        inventory_file = os.path.join(self.dir, name + "-inventory.json")
        with open(inventory_file, "w") as f:
            json.dump(inventory, f)
        out = {kind: os.path.join(self.dir, "%s.%s" % (name, kind))
               for kind in ("stdout", "stderr", "maxrss")}
        start = time.monotonic()
        with open(out["stdout"], "w") as stdout, open(out["stderr"], "w") as stderr:
            proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", out["maxrss"],
                                     "ansible-playbook", "-i", inventory_file,
                                     "trell.portable.run"],
                                    cwd=self.dir, env=self.env(), stdin=subprocess.DEVNULL,
                                    stdout=stdout, stderr=stderr)
        try:
            while proc.poll() is None:
                if while_running and while_running():
                    while_running = None
                time.sleep(0.05)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        r = subprocess.CompletedProcess(proc.args, proc.returncode)
        r.seconds = time.monotonic() - start
        with open(out["stdout"]) as f:
            r.stdout = f.read()
        with open(out["stderr"]) as f:
            r.stderr = f.read()
        with open(out["maxrss"]) as f:
            r.max_rss_kib = int(f.read().split()[-1])
        return r

    def close_connections(self):
        """Ends Ansible's persistent SSH connections."""
        cp = os.path.join(self.dir, "cp")
        for sock in os.listdir(cp) if os.path.isdir(cp) else []:
            subprocess.run(["ssh", "-o", "ControlPath=" + os.path.join(cp, sock), "-O", "exit",
                            "x"], capture_output=True, timeout=30)

    def close(self):
        self.close_connections()
        for host in self.hosts.values():
            host.stop()
