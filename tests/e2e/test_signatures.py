"""Signed packages: keys from the real minisign and from pkgtool keygen,
signatures that minisign -V checks, signed packages that run wherever
unsigned ones do, and a host trust store (an overlay over /etc in a
private mount namespace) that runs only packages its keys signed."""
import json
import os
import shutil
import subprocess
import unittest

from e2e_util import (LAUNCHER, MINIUNZIP, SANITIZED, TOOL, E2ETest, build_package, make_zip,
                      tool_args)
from pkg_util import Parts, run_pkgtool

MINISIGN = shutil.which("minisign")
STORE = "/etc/trell/trusted-keys"


def minisign(*args, input=None):
    return subprocess.run([MINISIGN, *args], capture_output=True, text=True, input=input)


class SigningTest(E2ETest):
    def setUp(self):
        super().setUp()
        if MINISIGN is None:
            self.skipTest("minisign is not installed (scripts/setup.sh installs it)")
        # One key pair from minisign itself, one from pkgtool.
        self.mkey, self.mpub = self.path("m.key"), self.path("m.pub")
        r = minisign("-G", "-W", "-s", self.mkey, "-p", self.mpub)
        self.assertEqual(0, r.returncode, r.stderr)
        self.pkey, self.ppub = self.path("p.key"), self.path("p.pub")
        r = run_pkgtool("keygen", "--secret", self.pkey, "--public", self.ppub)
        self.assertEqual(0, r.returncode, r.stderr)

    def host(self, keys=None, store_mode=0o755, key_mode=0o644):
        """Setup commands that give the namespace a trust store holding
        keys (copies of public key files), or none at all (keys None)."""
        upper, work = self.path("etc-upper"), self.path("etc-work")
        os.makedirs(work)
        os.makedirs(upper)
        if keys is not None:
            store = os.path.join(upper, "trell", "trusted-keys")
            os.makedirs(store)
            os.chmod(store, store_mode)
            for pub in keys:
                copy = shutil.copy(pub, store)
                os.chmod(copy, key_mode)
        return "mount -t overlay overlay -o lowerdir=/etc,upperdir=%s,workdir=%s /etc" % (
            upper, work)

    def sign(self, pkg, key, *extra):
        r = run_pkgtool("sign", "--key", key, *extra, pkg)
        self.assertEqual(0, r.returncode, r.stderr)
        return pkg

    def key_id(self, pub):
        with open(pub) as f:
            return f.readline().split()[-1]

    def signed_bytes(self, pkg):
        r = run_pkgtool("info", pkg, "--json")
        end = json.loads(r.stdout)["directory_offset"] + 549
        with open(pkg, "rb") as f:
            return f.read()[:end]


class Signatures(SigningTest):
    def test_keys_and_detached_signatures_interwork_with_minisign(self):
        self.assertEqual(0o600, os.stat(self.pkey).st_mode & 0o777)
        # keygen never replaces a key.
        r = run_pkgtool("keygen", "--secret", self.pkey, "--public", self.path("other.pub"))
        self.assertEqual(1, r.returncode)
        for key, pub in ((self.mkey, self.mpub), (self.pkey, self.ppub)):
            with self.subTest(key=os.path.basename(key)):
                pkg = build_package(self.path("pkg-" + os.path.basename(key)), self.image)
                sig = self.path(os.path.basename(key) + ".minisig")
                self.sign(pkg, key, "--minisig", sig)
                data = self.signed_bytes(pkg)
                with open(self.path("signed"), "wb") as f:
                    f.write(data)
                r = minisign("-V", "-m", self.path("signed"), "-x", sig, "-p", pub)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertIn("Trusted comment: trell package pkg-", r.stdout)
                # One byte changed: minisign refuses.
                changed = bytearray(data)
                changed[len(changed) // 2] ^= 1
                with open(self.path("signed"), "wb") as f:
                    f.write(changed)
                r = minisign("-V", "-m", self.path("signed"), "-x", sig, "-p", pub)
                self.assertNotEqual(0, r.returncode)
        # minisign signs with pkgtool's key too.
        with open(self.path("f"), "w") as f:
            f.write("x")
        r = minisign("-S", "-s", self.pkey, "-m", self.path("f"))
        self.assertEqual(0, r.returncode, r.stderr)
        r = minisign("-V", "-m", self.path("f"), "-p", self.ppub)
        self.assertEqual(0, r.returncode, r.stderr)

    def test_verify_info_and_signing_again(self):
        pkg = build_package(self.path("pkg"), self.image)
        r = run_pkgtool("verify", pkg, "--trust", self.mpub)
        self.assertIn("%s: signature: unsigned\n" % pkg, r.stdout)
        self.assertNotIn("signature", run_pkgtool("verify", pkg).stdout)
        self.sign(pkg, self.mkey)
        mid = self.key_id(self.mpub)
        r = run_pkgtool("verify", pkg, "--trust", self.mpub)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("%s: signature: signed by key ID %s, trusted\n" % (pkg, mid), r.stdout)
        r = run_pkgtool("verify", pkg, "--trust", self.ppub)
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertIn("signed by key ID %s, untrusted\n" % mid, r.stdout)
        info = json.loads(run_pkgtool("info", pkg, "--json").stdout)
        self.assertEqual(mid, info["signature"]["key_id"])
        self.assertTrue(info["signature"]["valid"])
        # Signing again replaces the block: the same size, the new key.
        size = os.path.getsize(pkg)
        self.sign(pkg, self.pkey, "--comment", "release 7")
        self.assertEqual(size - len("trell package pkg") + len("release 7"), os.path.getsize(pkg))
        info = json.loads(run_pkgtool("info", pkg, "--json").stdout)
        self.assertEqual(self.key_id(self.ppub), info["signature"]["key_id"])
        self.assertEqual("release 7", info["signature"]["trusted_comment"])
        # A changed byte fails verify with the right key, whatever else.
        with open(pkg, "r+b") as f:
            f.seek(100)
            b = f.read(1)
            f.seek(100)
            f.write(bytes([b[0] ^ 1]))
        r = run_pkgtool("verify", pkg, "--trust", self.ppub)
        self.assertEqual(1, r.returncode)
        self.assertIn("the signature by key ID %s does not match the package"
                      % self.key_id(self.ppub), r.stderr)

    def test_signed_packages_run(self):
        pair = (make_zip(self.path("a.zip"), {"tool": TOOL}),
                make_zip(self.path("b.zip"), {"tool": TOOL}))
        packages = {"single": build_package(self.path("single"), self.image),
                    "pair": build_package(self.path("pair"), None, pair=pair),
                    "miniunzip": build_package(self.path("mini"), self.image, unzip=MINIUNZIP)}
        os.mkdir(self.path("bin"))
        for name, pkg in packages.items():
            with self.subTest(package=name):
                self.sign(pkg, self.mkey)
                r = self.run_pkg(["-v"], pkg=pkg, isolated=True)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(["-v"], tool_args(r.stdout))
                r = self.run_pkg(["--extract", self.path("out-" + name)], pkg=pkg, isolated=True)
                self.assertEqual(0, r.returncode, r.stderr)
        # Started through PATH: /proc/self/exe, and without /proc the search.
        shutil.copy(packages["single"], self.path("bin", "trelltool"))
        for setup in ("", "mount -t tmpfs none /proc"):
            if setup and SANITIZED:
                continue  # the sanitizers' run-time needs /proc
            with self.subTest(setup=setup):
                argv = self.isolated(["trelltool", "-v"], setup=setup)
                e = dict(self.env, PATH=self.path("bin") + ":/usr/bin:/bin")
                r = subprocess.run(argv, env=e, cwd="/", capture_output=True, text=True,
                                   timeout=60)
                self.assertEqual(0, r.returncode, r.stderr)
                self.assertEqual(["-v"], tool_args(r.stdout))

    def test_sign_refuses_a_launcher_without_the_slot(self):
        # A launcher from before the slot, as far as pkgtool can tell: its
        # mark is gone.
        with open(LAUNCHER, "rb") as f:
            old = f.read().replace(b"TRELL-LAUNCHER-KNOWS-SIGNATURE-SLOT",
                                   b"TRELL-LAUNCHER-PREDATES-THE-SLOT...")
        stub = self.path("old-launcher")
        with open(stub, "wb") as f:
            f.write(old)
        os.chmod(stub, 0o755)
        pkg = self.path("old")
        r = run_pkgtool("build", "-o", pkg, "--stub", stub, "--record", "redhat", "5", "x86-64",
                        "0", "./tool", "", "--image", self.image)
        self.assertEqual(0, r.returncode, r.stderr)
        with open(pkg, "rb") as f:
            before = f.read()
        r = run_pkgtool("sign", "--key", self.mkey, pkg)
        self.assertEqual(1, r.returncode)
        self.assertIn("knows no signature slot", r.stderr)
        with open(pkg, "rb") as f:
            self.assertEqual(before, f.read())

    def test_encrypted_keys_are_refused_with_the_reason(self):
        key, pub = self.path("enc.key"), self.path("enc.pub")
        r = minisign("-G", "-s", key, "-p", pub, input="pw\npw\n")
        if r.returncode != 0:
            self.skipTest("minisign cannot make an encrypted key here: " + r.stderr)
        pkg = build_package(self.path("pkg"), self.image)
        r = run_pkgtool("sign", "--key", key, pkg)
        self.assertEqual(1, r.returncode)
        self.assertIn("is an encrypted secret key", r.stderr)


class TrustStore(SigningTest):
    def run_on(self, pkg, setup):
        r = self.run_pkg(["-v"], pkg=pkg, isolated=True, setup=setup)
        shutil.rmtree(self.path("etc-upper"))
        shutil.rmtree(self.path("etc-work"))
        return r

    def assertRefused(self, r, message):
        self.assertEqual(1, r.returncode)
        self.assertEqual(message, r.stderr)
        self.assertEqual("", r.stdout)  # nothing unpacked, no banner
        self.assertNoWorkDir()

    def test_only_packages_of_trusted_keys_run(self):
        signed = self.sign(build_package(self.path("signed"), self.image), self.mkey)
        other = self.sign(build_package(self.path("other"), self.image), self.pkey)
        unsigned = build_package(self.path("unsigned"), self.image)
        mid, pid = self.key_id(self.mpub), self.key_id(self.ppub)
        r = self.run_on(signed, self.host([self.mpub]))
        self.assertEqual(0, r.returncode, r.stderr)
        self.assertEqual(["-v"], tool_args(r.stdout))
        self.assertRefused(self.run_on(unsigned, self.host([self.mpub])),
                           "Refused: this host runs only signed packages (keys in %s), and "
                           "this package is unsigned\n" % STORE)
        self.assertRefused(self.run_on(other, self.host([self.mpub])),
                           "Refused: this package is signed by key ID %s, which this host does "
                           "not trust (keys in %s)\n" % (pid, STORE))
        # Either of two keys serves.
        r = self.run_on(other, self.host([self.mpub, self.ppub]))
        self.assertEqual(0, r.returncode, r.stderr)
        # Without the store, or with an empty one, nobody is locked out.
        for keys in (None, []):
            r = self.run_on(unsigned, self.host(keys))
            self.assertEqual(0, r.returncode, r.stderr)
        # A changed signature, and a changed image, both fail the check.
        for where in ("signature", "image"):
            with self.subTest(changed=where):
                parts = Parts(signed)
                data = parts.data
                # Inside the signature, or inside the image's data (which the
                # launcher would not check before it unpacks).
                at = len(data) - 120 if where == "signature" else parts.entry_data_offset("tool")
                data[at] ^= 0x10
                bad = self.path("bad-" + where)
                with open(bad, "wb") as f:
                    f.write(data)
                os.chmod(bad, 0o755)
                self.assertRefused(self.run_on(bad, self.host([self.mpub])),
                                   "Refused: this package's signature by key ID %s does not "
                                   "match it: the package was changed after it was signed; get "
                                   "it again\n" % mid)

    def test_a_store_others_may_change_is_refused(self):
        signed = self.sign(build_package(self.path("signed"), self.image), self.mkey)
        self.assertRefused(self.run_on(signed, self.host([self.mpub], key_mode=0o664)),
                           "Refused: the trusted key %s/m.pub is not a regular file that only "
                           "its owner may change\n" % STORE)
        self.assertRefused(self.run_on(signed, self.host([self.mpub], store_mode=0o777)),
                           "Refused: the trust store %s is not a folder that only its owner may "
                           "change\n" % STORE)
        # A file that is no key is refused too, not passed over.
        with open(self.path("junk.pub"), "w") as f:
            f.write("untrusted comment: nothing\nnot base64\n")
        self.assertRefused(self.run_on(signed, self.host([self.mpub, self.path("junk.pub")])),
                           "Refused: %s/junk.pub in the trust store is not a minisign public "
                           "key\n" % STORE)


if __name__ == "__main__":
    unittest.main()
