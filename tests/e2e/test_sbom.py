"""Bills of materials (pkgtool sbom, build --sbom, verify --sbom) of real
packages built on this build's stubs: valid against the official CycloneDX
1.5 schema (from the npm registry's @cyclonedx/cyclonedx-library, which
scripts/setup.sh installs into the build folder), the same bytes for the
same package, every component the package is made of (the stubs with the
libraries they record, on every architecture built, each file of the image
with the hash of what it unpacks to, the signature), and each difference of
a changed document named."""
import hashlib
import json
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import jsonschema

from e2e_util import MINIUNZIP, PKGTOOL, architectures
from emulation import CROSS_ARCHES, stub_paths
from install_util import BUILD, project_version
from pkg_util import Parts, run_pkgtool, write_tree

SCHEMAS = os.path.join(BUILD, "cyclonedx", "node_modules", "@cyclonedx", "cyclonedx-library",
                       "res", "schema")
ZIP_EPOCH = "1980-01-01T00:00:00Z"
LIBRARIES = {"launcher": {"musl", "libsodium"}, "unzip-utility": {"musl", "libdeflate"}}
# Per library: the installed package to compare its version with, the
# Debian package its package URL names, and its architecture there (None:
# that of the stubs; libsodium is compiled from its source package).
DEBIAN = {"musl": ("musl-dev", "musl-dev", None),
          "libdeflate": ("libdeflate-dev", "libdeflate-dev", None),
          "libsodium": ("libsodium-dev", "libsodium", "source")}


def validator():
    """The CycloneDX 1.5 schema's validator, its two neighbours resolved
    from the same package."""
    def load(name):
        with open(os.path.join(SCHEMAS, name)) as f:
            return json.load(f)
    bom = load("bom-1.5.SNAPSHOT.schema.json")
    store = {}
    for name in ("spdx.SNAPSHOT.schema.json", "jsf-0.82.SNAPSHOT.schema.json"):
        schema = load(name)
        store["http://cyclonedx.org/schema/" + name] = schema
        store[schema.get("$id", name)] = schema
    resolver = jsonschema.RefResolver.from_schema(bom, store=store)
    return jsonschema.Draft7Validator(bom, resolver=resolver,
                                      format_checker=jsonschema.draft7_format_checker)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def props(component):
    """A component's properties: name -> list of values."""
    out = {}
    for p in component.get("properties", []):
        out.setdefault(p["name"], []).append(p["value"])
    return out


def digest(component):
    return {h["alg"]: h["content"] for h in component["hashes"]}["SHA-256"]


def debian_version(package):
    """The version of an installed Debian package, as dpkg tells it."""
    return subprocess.run(["dpkg-query", "-W", "-f=${Version}", package], capture_output=True,
                          text=True, check=True).stdout


def upstream(package):
    """The upstream version of an installed Debian package: no epoch, no
    revision."""
    return re.sub(r"-[^-]*$", "", re.sub(r"^\d+:", "", debian_version(package)))


def machine_name(row):
    """pkgtool's name of an architecture's ELF machine (the table's, with
    its byte order where the name always says it)."""
    name = row["elf"]
    if name.endswith("+order"):
        name = name[:-len("+order")] + " " + row["order"] + "-endian"
    return name


class Sbom(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(os.path.join(SCHEMAS, "bom-1.5.SNAPSHOT.schema.json")):
            raise AssertionError("no CycloneDX schema in %s: scripts/setup.sh installs it"
                                 % SCHEMAS)
        cls.validator = validator()

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="trell-sbom-", dir="/var/tmp")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        # Text, a file larger than the decoder's 4 MiB buffer (streamed),
        # an empty one, a name beyond ASCII, an executable below a folder.
        self.files = {"tool": "#!/bin/sh\necho tool\n",
                      "lib/big.bin": bytes(range(256)) * (5 << 12),
                      "lib/empty": b"",
                      "share/na\u00efve.txt": "caf\u00e9\n",
                      "bin/helper": "#!/bin/sh\nexit 0\n",
                      "share/docs/": None}
        self.image = write_tree(self.path("image"), self.files)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def pkgtool(self, *args, env=None, status=0):
        r = run_pkgtool(*args, env=env)
        self.assertEqual(status, r.returncode, r.stderr)
        return r

    def build(self, name, *extra, image=None, env=None):
        out = self.path(name)
        self.pkgtool("build", "-o", out, "--record", "redhat", "8", "x86-64", "0", "./tool", "",
                     "--record", "debian", "12", "x86-64", "1", "./tool", "-v",
                     *(["--image", image or self.image] if "--image-pair" not in extra else []),
                     *extra, env=env)
        return out

    def sbom(self, pkg, env=None):
        text = self.pkgtool("sbom", pkg, env=env).stdout
        doc = json.loads(text)
        errors = [e.message for e in self.validator.iter_errors(doc)]
        self.assertEqual([], errors)
        return doc, text

    def components(self, doc):
        return {c["bom-ref"]: c for c in doc["components"]}

    def expected_files(self):
        """path -> (size, SHA-256, mode) of the image folder's files."""
        out = {}
        for name, content in self.files.items():
            if content is None:
                continue
            data = content.encode() if isinstance(content, str) else content
            out[name] = (str(len(data)), sha256(data),
                         "0755" if data.startswith(b"#!") else "0644")
        return out

    def files_of(self, archive):
        return {f["name"]: (props(f)["trell:size"][0], digest(f), props(f)["trell:mode"][0])
                for f in archive["components"]}

    def assertStubs(self, doc, pkg, row):
        """The launcher's and unzip utility's components: version, SHA-256,
        machine, and (static ones) the libraries they record, as the build
        took them from Debian's packages for row's architecture."""
        parts = Parts(pkg)
        info = json.loads(self.pkgtool("info", "--json", pkg).stdout)["executables"]
        comps = self.components(doc)
        for element, ref in ((0, "launcher"), (1, "unzip-utility")):
            c = comps[ref]
            self.assertEqual(project_version(), c["version"])
            self.assertEqual(sha256(parts.element(element)), digest(c))
            self.assertEqual([machine_name(row)], props(c)["trell:machine"])
            if not info[element]["static"]:
                # A sanitized build's x86-64 stubs link the host's libraries.
                self.assertNotIn("components", c)
                continue
            libraries = {l["name"]: l for l in c["components"]}
            self.assertEqual(LIBRARIES[ref], set(libraries), ref)
            for name, library in libraries.items():
                installed, package, arch = DEBIAN[name]
                self.assertEqual(upstream(installed), library["version"], (row["set"], ref))
                self.assertEqual("%s:%s" % (ref, name), library["bom-ref"])
                self.assertRegex(library["purl"], r"^pkg:deb/debian/%s@%s-[%%.\w~]+\?arch=%s$"
                                 % (package, re.escape(library["version"]),
                                    arch or row["debian"]))
                if arch is None and row["build"] == "native":
                    self.assertEqual("pkg:deb/debian/%s@%s?arch=%s" % (
                        package, debian_version(installed).replace("+", "%2B"), row["debian"]),
                        library["purl"])

    def test_the_components_of_a_signed_package(self):
        pkg = self.build("signed.pkg")
        self.pkgtool("keygen", "--secret", self.path("k.key"), "--public", self.path("k.pub"))
        self.pkgtool("sign", "--key", self.path("k.key"), "--comment", "release 7 \u2713", pkg)
        doc, _ = self.sbom(pkg)
        with open(pkg, "rb") as f:
            whole = f.read()
        package = doc["metadata"]["component"]
        self.assertEqual("signed.pkg", package["name"])
        self.assertEqual(sha256(whole), digest(package))
        self.assertEqual(["redhat 8 x86-64", "debian 12 x86-64"], props(package)["trell:platform"])
        self.assertEqual(["launcher", "unzip-utility", "image", "signature"],
                         [c["bom-ref"] for c in doc["components"]])
        self.assertStubs(doc, pkg, architectures()[0])
        image = self.components(doc)["image"]
        self.assertEqual(sha256(Parts(pkg).element(4)), digest(image))
        # Every file, none of the folders, as the unzip utility writes them.
        self.assertEqual(self.expected_files(), self.files_of(image))
        unpacked = self.path("unpacked")
        self.pkgtool("unpack", pkg, unpacked)
        for name, (size, hashed, mode) in self.files_of(image).items():
            with open(os.path.join(unpacked, name), "rb") as f:
                self.assertEqual(hashed, sha256(f.read()), name)
            self.assertEqual(mode, "%04o" % (os.stat(os.path.join(unpacked, name)).st_mode & 0o777))
        signature = props(self.components(doc)["signature"])
        key = json.loads(self.pkgtool("info", "--json", pkg).stdout)["signature"]["key_id"]
        self.assertEqual([key], signature["trell:signature:key-id"])
        self.assertEqual(["release 7 \u2713"], signature["trell:signature:trusted-comment"])

    def test_stubs_of_every_architecture_built_and_of_other_origins(self):
        rows = {row["set"]: row for row in architectures()}
        built = ["i386"] if os.path.exists(stub_paths("i386")[1]) else []
        for arch in built + CROSS_ARCHES:
            with self.subTest(stubs=arch):
                pkg = self.build(arch + ".pkg", "--stubs", arch)
                doc, _ = self.sbom(pkg)
                self.assertStubs(doc, pkg, rows[arch])
        # An image pair on Debian's miniunzip, which records no libraries and
        # no version: each archive with its architecture and files.
        pkg = self.build("pair.pkg", "--unzip", MINIUNZIP,
                         "--image-pair", self.image, self.image)
        doc, _ = self.sbom(pkg)
        comps = self.components(doc)
        self.assertEqual(["launcher", "unzip-utility", "x86-image", "x86-64-image"], list(comps))
        unzip = comps["unzip-utility"]
        self.assertNotIn("version", unzip)
        self.assertNotIn("components", unzip)
        self.assertEqual(["none recorded: the executable carries no library mark"],
                         props(unzip)["trell:libraries"])
        for ref, arch in (("x86-image", "x86"), ("x86-64-image", "x86-64")):
            self.assertEqual([arch], props(comps[ref])["trell:architecture"])
            self.assertEqual(self.expected_files(), self.files_of(comps[ref]))

    def test_the_same_package_gives_the_same_bytes(self):
        pkg = self.build("a.pkg")
        doc, text = self.sbom(pkg)
        # Stamped from the image's entries: a zipped folder's are 1980's.
        self.assertEqual(ZIP_EPOCH, doc["metadata"]["timestamp"])
        self.assertEqual(["image"], props(doc["metadata"])["trell:timestamp-source"])
        # Again, in another time zone, from another folder, and as build
        # --sbom writes it beside the package.
        r = subprocess.run([PKGTOOL, "sbom", "a.pkg"], cwd=self.dir, capture_output=True,
                           text=True, env=dict(os.environ, TZ="Asia/Tokyo"))
        self.assertEqual(text, r.stdout)
        self.build("a.pkg", "--sbom", self.path("a.json"))
        self.pkgtool("sbom", pkg, "-o", self.path("b.json"))
        for name in ("a.json", "b.json"):
            with open(self.path(name)) as f:
                self.assertEqual(text, f.read(), name)
        # SOURCE_DATE_EPOCH stamps the document, and the image's entries.
        self.assertEqual("2009-02-13T23:31:30Z", self.sbom(pkg, env={
            "SOURCE_DATE_EPOCH": "1234567890"})[0]["metadata"]["timestamp"])
        dated = self.build("dated.pkg", env={"SOURCE_DATE_EPOCH": "1700000000"})
        self.assertEqual("2023-11-14T22:13:20Z", self.sbom(dated)[0]["metadata"]["timestamp"])
        # A zip of another maker: its newest entry's time.
        made = self.path("made.zip")
        with zipfile.ZipFile(made, "w") as z:
            z.writestr(zipfile.ZipInfo("tool", (2021, 6, 1, 12, 0, 0)), "#!/bin/sh\n")
            z.writestr(zipfile.ZipInfo("old", (1999, 12, 31, 23, 59, 58)), "x")
        self.assertEqual("2021-06-01T12:00:00Z",
                         self.sbom(self.build("made.pkg", image=made))[0]["metadata"]["timestamp"])

    def test_verify_names_each_difference(self):
        pkg = self.build("v.pkg")
        doc, _ = self.sbom(pkg)
        good = self.path("good.json")
        with open(good, "w") as f:
            json.dump(doc, f, sort_keys=True)  # another layout, the same document
        r = self.pkgtool("verify", pkg, "--sbom", good)
        self.assertIn("v.pkg: bill of materials %s: matches" % good, r.stdout)

        changed = json.loads(json.dumps(doc))
        files = self.components(changed)["image"]["components"]
        big = next(f for f in files if f["name"] == "lib/big.bin")
        big["hashes"][0]["content"] = "0" * 64
        files.remove(next(f for f in files if f["name"] == "lib/empty"))
        files.append(dict(big, **{"bom-ref": "image:extra", "name": "extra"}))
        next(p for p in next(f for f in files if f["name"] == "tool")["properties"]
             if p["name"] == "trell:mode")["value"] = "0644"
        launcher = self.components(changed)["launcher"]
        launcher["version"] = "0.9"
        changed["metadata"]["timestamp"] = "2020-01-01T00:00:00Z"
        bad = self.path("bad.json")
        with open(bad, "w") as f:
            json.dump(changed, f)
        r = self.pkgtool("verify", pkg, "--sbom", bad, status=1)
        lines = [l.split("differs: ", 1)[1] for l in r.stderr.splitlines() if "differs: " in l]
        zeros = '"%s"' % ("0" * 64)
        self.assertEqual(sorted([
            'the document: metadata.timestamp is "2020-01-01T00:00:00Z" in the document, '
            '"%s" in the package' % ZIP_EPOCH,
            'component "launcher": version is "0.9" in the document, "%s" in the package'
            % project_version(),
            'component "image:lib/big.bin": hash SHA-256 is %s in the document, "%s" in the '
            'package' % (zeros, sha256(self.files["lib/big.bin"])),
            'component "image:tool": property trell:mode is "0644" in the document, "0755" in '
            'the package',
            'component "image:lib/empty" is in the package but not in the document',
            'component "image:extra" is in the document but not in the package']), sorted(lines))
        self.assertNotIn(": OK", r.stdout)

        # A stamp the document says SOURCE_DATE_EPOCH gave is taken as it is.
        stamped = self.path("stamped.json")
        env = {"SOURCE_DATE_EPOCH": "1234567890"}
        self.pkgtool("sbom", pkg, "-o", stamped, env=env)
        self.pkgtool("verify", pkg, "--sbom", stamped)
        # The document of a package whose file changed names that file.
        self.files["tool"] = "#!/bin/sh\necho changed\n"
        write_tree(self.image, self.files)
        r = self.pkgtool("verify", self.build("v.pkg"), "--sbom", good, status=1)
        self.assertIn('component "image:tool": hash SHA-256 is', r.stderr)
        self.assertIn('component "package": hash SHA-256 is', r.stderr)
        with open(bad, "w") as f:
            f.write("{ not json")
        r = self.pkgtool("verify", pkg, "--sbom", bad, status=1)
        self.assertIn("the bill of materials %s is no JSON document" % bad, r.stderr)


if __name__ == "__main__":
    unittest.main()
