"""verify-release.sh against downloads made to fool it: each case is a small
change to a genuine release zip or package, made here, with the status it must give and a
word its message must hold. Every case also runs under a 200 MB memory
limit, and must print no control character and no traceback. Used by
test_signing.py, which has the genuine zips and the throwaway key."""
import io
import os
import random
import re
import resource
import struct
import subprocess
import tempfile
import types
import zipfile
import zlib

import olefile

from asn1crypto import cms, core, x509 as asn1_x509

from tests.support.hostile_signatures import (CODE_SIGNING, DAY, LIFETIME_SIGNING, MICROSOFT_COMMERCIAL,
                                MS_TIMESTAMP, NOW, SERVER,
                                TIMESTAMPING, Forge, anchor_files, countersigned, party,
                                lattice, signature_value, signer_infos, time_server_certificate,
                                timestamped, token, with_token_certificate,
                                weak_party,
                                with_capabilities, with_certificate, with_content_type, with_crl,
                                with_doubled_content_type, with_parameters, with_signed_attributes,
                                with_signers,
                                with_unsigned)
from release.make_msi import msi_bytes
from verify.trust import LIMIT_CHAIN
from release.package_facts import version_of
from verify.verify_msi import OLE_MAGIC, streams
from verify import signed_file
from release.authenticode_tool import certificate_table, osslsigncode, signature
from release.zip_reading import read_zip
from release.zip_layout import EXECUTABLES, MODES, checksums, zip_bytes

MEMORY_LIMIT = 200 << 20
NESTED = "1.3.6.1.4.1.311.2.4.1"
FIFO = None  # a case whose download is a named pipe, never written to
SHA256SUMS = "SHA256SUMS"


def limited():
    resource.setrlimit(resource.RLIMIT_AS, (MEMORY_LIMIT, MEMORY_LIMIT))


def verify(zip_path, reference=None, options=(), env=None):
    return subprocess.run(["sh", "scripts/verify-release.sh", *options, zip_path]
                          + ([reference] if reference else []), timeout=60,
                          capture_output=True, stdin=subprocess.DEVNULL, preexec_fn=limited,
                          env=dict(os.environ, **env) if env else None)


def release(path, changes=None, top=None, attributes=None, resum=True):
    """The zip at path with files changed, the top folder renamed or entry
    attributes ({name: external_attr}) set; SHA256SUMS rewritten to match,
    as an attacker would."""
    old_top, files, _, epoch = read_zip(path)
    files.update(changes or {})
    if resum:
        files[SHA256SUMS] = checksums(files)
    data = zip_bytes(top or old_top, files, {n: MODES.get(n, 0o644) for n in files}, epoch)
    if not attributes:
        return data
    archive = zipfile.ZipFile(io.BytesIO(data))
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as out:
        for info in archive.infolist():
            name = info.filename.split("/", 1)[1]
            info.external_attr = attributes.get(name, info.external_attr)
            out.writestr(info, archive.read(info), compresslevel=9)
    return buffer.getvalue()


def patched(data, local_offset, central_offset, value, fmt="<H"):
    """The first entry's local and central headers with one field set."""
    data = bytearray(data)
    start = zipfile.ZipFile(io.BytesIO(bytes(data))).start_dir
    struct.pack_into(fmt, data, local_offset, value)
    struct.pack_into(fmt, data, start + central_offset, value)
    return bytes(data)


def lying_entry(path):
    """The first entry's data swapped for 200 MB of zeros, its headers left
    claiming 40 bytes of another content."""
    top, files, _, epoch = read_zip(path)
    files["BUILDINFO.txt"] = bytes(200 << 20)
    data = zip_bytes(top, files, MODES, epoch)
    data = patched(data, 14, 16, zlib.crc32(b"x" * 40), "<I")
    return patched(data, 22, 24, 40, "<I")


def with_table(image, table, offset=None):
    """A signed image whose certificate table is replaced by table (or an
    image given one at offset)."""
    _, directory, found, _ = certificate_table(image)
    offset = found if offset is None else offset
    image = bytearray(image[:offset] + table)
    struct.pack_into("<II", image, directory, offset, len(table))
    return bytes(image)


def table_of(image):
    _, _, offset, size = certificate_table(image)
    return image[offset:offset + size]


def attached(signed_from, onto, work):
    """onto with the signature of signed_from (an image or a package)
    attached by osslsigncode."""
    der = signature(signed_from) if signed_from[:2] == b"MZ" else package_signature(signed_from,
                                                                                      work)
    return grafted(der, onto, work)


TSA_CONFIG = """[tsa]
default_tsa = throwaway
[throwaway]
serial = %s
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha256
ess_cert_id_alg = sha256
[req]
distinguished_name = dn
[dn]
[tsa_certificate]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature
extendedKeyUsage = critical,timeStamping
"""


def timestamp_token(value, work):
    """An RFC 3161 timestamp token of value (a signature value) from a
    throwaway time-stamping authority under the throwaway CA in work."""
    path = lambda name: os.path.join(work, name)
    if not os.path.exists(path("tsa.pem")):
        with open(path("ts.cnf"), "w") as f:
            f.write(TSA_CONFIG % path("tsa.serial"))
        with open(path("tsa.serial"), "w") as f:
            f.write("01\n")
        for step in (
                ["req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", path("tsa.key"),
                 "-out", path("tsa.csr"), "-subj", "/CN=Throwaway Time Stamping",
                 "-config", path("ts.cnf")],
                ["x509", "-req", "-in", path("tsa.csr"), "-CA", path("ca.pem"), "-CAkey",
                 path("ca.key"), "-set_serial", "2", "-days", "30", "-out", path("tsa.pem"),
                 "-extfile", path("ts.cnf"), "-extensions", "tsa_certificate"]):
            subprocess.run(["openssl"] + step, check=True, capture_output=True)
    with open(path("value.bin"), "wb") as f:
        f.write(value)
    for step in (["-query", "-data", path("value.bin"), "-sha256", "-cert", "-out",
                  path("query.tsq")],
                 ["-reply", "-queryfile", path("query.tsq"), "-inkey", path("tsa.key"), "-signer",
                  path("tsa.pem"), "-chain", path("ca.pem"), "-config", path("ts.cnf"),
                  "-token_out", "-out", path("token.der")]):
        subprocess.run(["openssl", "ts"] + step, check=True, capture_output=True)
    with open(path("token.der"), "rb") as f:
        return f.read()


def grafted(der, onto, work):
    """onto (an image or a package) with the signature der attached: an
    image's as Authenticode tools attach it, whatever der holds; a package's
    by osslsigncode."""
    if onto[:2] == b"MZ":
        return signed_file.attached(onto, der)
    paths = [os.path.join(work, name) for name in ("graft.der", "graft-in.msi", "graft-out.msi")]
    for path, data in zip(paths, (der, onto)):
        with open(path, "wb") as f:
            f.write(data)
    if os.path.exists(paths[2]):
        os.unlink(paths[2])
    subprocess.run(["osslsigncode", "attach-signature", "-sigin", paths[0], "-in", paths[1],
                    "-out", paths[2]], capture_output=True)
    with open(paths[2], "rb") as f:
        return f.read()


def structure_cases(genuine, impostor_der, x64, x86, work):
    """(title, signature, word) for signatures whose structure is not sign-release.sh's."""
    der = signature(genuine[x64])
    other = signature(genuine[x86])
    foreign = timestamp_token(signature_value(other), work)
    mine, theirs = signer_infos(der)[0], signer_infos(impostor_der)[0]
    return [
        ("a second signer after the genuine one", with_signers(der, [mine, theirs]),
         b"a second signer"),
        ("a second signer before the genuine one", with_signers(der, [theirs, mine]),
         b"a second signer"),
        ("an unsigned attribute carrying 8 KiB", with_unsigned(
            der, "1.2.3.4", [core.OctetString(bytes(8 << 10))]),
         b"an unsigned attribute of"),
        ("a nested signature by another signer", with_unsigned(
            der, "1.3.6.1.4.1.311.2.4.1", [impostor_der]), b"a nested signature"),
        ("a timestamp that is another file's signature", with_unsigned(
            der, MS_TIMESTAMP, [other]), b"a timestamp that covers another signature"),
        ("a genuine timestamp of another file's signature", with_unsigned(
            der, MS_TIMESTAMP, [foreign]), b"a timestamp that covers another signature"),
    ]


def with_streams(package, count, work):
    """The package with count more streams of a few bytes (msitools' msibuild)."""
    path, stream = os.path.join(work, "many-streams.msi"), os.path.join(work, "stream.txt")
    with open(path, "wb") as f:
        f.write(package)
    with open(stream, "w") as f:
        f.write("x\n")
    for number in range(count):
        subprocess.run(["msibuild", path, "-a", "extra%d" % number, stream], check=True,
                       capture_output=True)
    with open(path, "rb") as f:
        return f.read()


def package_signature(package, work):
    path = os.path.join(work, "graft-package.msi")
    with open(path, "wb") as f:
        f.write(package)
    return streams(path, tempfile.mkdtemp(dir=work))["\x05DigitalSignature"]


def cases(work, unsigned, signed, packages, key, impostor, other_commit):
    """(title, zip bytes, status, word it must print)."""
    _, plain, _, _ = read_zip(unsigned)
    _, genuine, _, _ = read_zip(signed)
    x64, x86 = EXECUTABLES
    changed = bytearray(plain[x64])
    changed[0x600] ^= 1
    changed_signed = attached(genuine[x64], bytes(changed), work)
    signed_over_changed, _ = osslsigncode("sign", key + ["-h", "sha256", "-time", "1"],
                                          bytes(changed), work)
    table = table_of(genuine[x64])
    junk = table[:8] + random.Random(16).randbytes(len(table) - 8)
    padded = struct.pack("<I", len(table) + 8) + table[4:] + bytes(8)
    data = release(unsigned)
    with open(signed, "rb") as f:
        genuine_zip = f.read()
    with open(other_commit, "rb") as f:
        other = f.read()
    top, _, _, epoch = read_zip(unsigned)
    with open(os.path.join(packages, "portcheck-1.0.0-x64-signed.msi"), "rb") as f:
        package = f.read()
    unsigned_package = msi_bytes(version_of(top), "x64", plain[x64], plain, epoch)
    package_der = package_signature(package, work)
    flipped = bytearray(package)
    flipped[package.index(b"MSCF") + 200] ^= 1
    return [
        ("a package holding a changed executable", msi_bytes(
            version_of(top), "x64", bytes(changed), plain, epoch), 1,
         b"DIFFERS from"),
        ("a signed package with a byte of its cabinet changed", bytes(flipped), 2,
         b"cabinet cannot be read"),
        # The times of its entries are no part of the digest a plain signature covers.
        ("a signed package with its root entry's time changed", with_root_time(package), 1,
         b"with its signature taken as it is, it DIFFERS"),
        ("a package's signature grafted on the unsigned package", attached(
            package, unsigned_package, work), 1, b"other bytes"),
        ("a package's signature with a second signer", grafted(
            with_signers(package_der, signer_infos(package_der) * 2), unsigned_package, work), 1,
         b"a second signer"),
        ("a package that is no package", OLE_MAGIC + bytes(600), 2,
         b"not a readable Windows Installer package"),
        ("a package of 5 MiB", OLE_MAGIC + bytes(5 << 20), 2, b"a package is a few tens of KiB"),
        ("a package's compound file cut short", unsigned_package[:3000], 2,
         b"not a readable Windows Installer package (its compound file"),
        ("a package with more than 64 streams", with_streams(unsigned_package, 65, work), 2,
         b"more than 64 streams"),
        ("the genuine signed x64 package", package, 0, b"x64 package: signed; the signature "
         b"covers exactly"),
        ("control sequences in the top folder", release(
            unsigned, top="portcheck-1.0.0\x1b[2K\r\x1b[32mVERIFIED"), 2, b"top folder"),
        ("control sequences in an entry name", release(
            unsigned, {"README.txt\x1b]0;x\x07": b"x"}), 1, b"README.txt\\x1b]0;x\\x07"),
        ("another file's signature grafted on", release(
            signed, {x64: attached(genuine[x86], plain[x64], work)}), 1, b"other bytes"),
        ("a signature made over different bytes", release(
            signed, {x64: attached(signed_over_changed, plain[x64], work)}), 1, b"other bytes"),
        ("random bytes in place of the signature", release(
            signed, {x64: with_table(genuine[x64], junk)}), 1, b"cannot be read"),
        ("a certificate table padded after the signature", release(
            signed, {x64: with_table(genuine[x64], padded)}), 1, b"other bytes after"),
        ("a second certificate table entry after the genuine one", release(
            signed, {x64: with_table(genuine[x64], table + table)}), 1,
         b"a second entry (WIN_CERTIFICATE)"),
        ("an impostor's signature, with no trust anchor: a claim shown as such", impostor, 0,
         b"signed by \"CN=Zelnar Official Release Signing\""),
        ("a changed executable, signature kept", release(
            signed, {x64: changed_signed}), 1, b"DIFFERS from"),
        ("a changed README.txt", release(
            unsigned, {"README.txt": b"Run this as administrator\r\n"}), 1, b"README.txt differs"),
        ("a changed licence", release(
            unsigned, {"LICENSE.txt": b"All rights reserved.\r\n"}), 1, b"LICENSE.txt differs"),
        ("SHA256SUMS left as it was", release(
            unsigned, {"README.txt": b"x"}, resum=False), 1, b"SHA256SUMS does not match"),
        ("a wrong version in the top folder", release(
            unsigned, top="portcheck-9.9.9"), 1, b"portcheck-9.9.9"),
        ("README.txt as a symbolic link", release(
            unsigned, attributes={"README.txt": 0o120777 << 16}), 1, b"symbolic link"),
        ("a set-user-ID executable", release(
            unsigned, attributes={x64: 0o104755 << 16}), 1, b"mode 4755"),
        ("a world-writable README.txt", release(
            unsigned, attributes={"README.txt": 0o100666 << 16}), 1, b"mode 0666"),
        ("hidden and reparse-point attribute bits", release(
            unsigned, attributes={"README.txt": 0o100644 << 16 | 0x402}), 1,
         b"DOS attributes hidden, reparse point"),
        ("a zip with no entries", b"PK\x05\x06" + bytes(18), 2, b"no entries"),
        ("a FIFO in place of the download", FIFO, 2, b"FIFO"),
        ("data before the first entry", b"MZ" + bytes(98) + data, 1, b"bytes differ"),
        ("data after the last entry", data + b"trailing", 1, b"bytes differ"),
        ("a zip comment", data[:-2] + b"\x02\x00hi", 1, b"comment"),
        ("an entry claiming 3 GB", patched(data, 22, 24, 3 << 30, "<I"), 2, b"claims"),
        ("an entry inflating beyond what it claims", lying_entry(unsigned), 2, b"CRC"),
        ("an encrypted entry", patched(data, 6, 8, 0x1), 2, b"encrypted"),
        ("an unknown compression method", patched(data, 8, 10, 99), 2, b"compression method"),
        ("a truncated zip", data[:len(data) // 2], 2, b"not a readable zip"),
        ("a bad CRC", patched(data, 14, 16, 0, "<I"), 2, b"CRC"),
        ("not a zip at all", b"<html>not found</html>", 2, b"not a readable zip"),
        ("a release recorded on another Debian release", release(unsigned, {
            "BUILDINFO.txt": re.sub(rb"debian-suite \w+", b"debian-suite forky",
                                    plain["BUILDINFO.txt"])}), 1,
         b"built on Debian forky; the reference zip was built on"),
        ("a genuine release of another commit", other, 1,
         read_zip(other_commit)[1]["BUILDINFO.txt"].split(b"\r\n")[1].split()[1]),
        ("the genuine signed release", genuine_zip, 0, b"not checked against any trust anchor"),
    ] + [(title, release(signed, {x64: grafted(der, plain[x64], work)}), 1, word)
         for title, der, word in structure_cases(genuine, signature(entries(impostor, work)[x64]),
                                                 x64, x86, work)]


def with_root_time(package):
    """package with its root directory entry's modification time set."""
    ole = olefile.OleFileIO(io.BytesIO(package))
    at = (ole.first_dir_sector + 1) * ole.sectorsize + 0x6C  # the entry's modifyTime
    return package[:at] + struct.pack("<Q", 132000000000000000) + package[at + 8:]


def entries(data, work):
    """{name: bytes} of a zip's bytes."""
    path = os.path.join(work, "entries.zip")
    with open(path, "wb") as f:
        f.write(data)
    return read_zip(path)[1]


def trust_cases(unsigned, signed, packages, impostor, work):
    """(title, zip bytes, status, word, options, environment) of signatures
    judged for who made them and when, and of the CA file's forms."""
    with open(signed, "rb") as f:
        genuine = f.read()
    with open(unsigned, "rb") as f:
        plain = f.read()
    x64, x86 = EXECUTABLES
    forge = Forge(work)
    anchors = anchor_files(work, forge)
    der = signature(entries(genuine, work)[x64])
    builds = read_zip(unsigned)[1]
    build = builds[x64]
    graft = lambda new_der: release(signed, {x64: grafted(new_der, build, work)})
    image = lambda signer, **options: release(signed, {name: forge.signed(
        builds[name], signer, **options) for name in EXECUTABLES})
    expired = signature(forge.signed(build, forge.expired))
    back_then = forge.now - 200 * DAY
    self_made = party("Self-made TSA", usages=(TIMESTAMPING,))
    with open(os.path.join(packages, "portcheck-1.0.0-x86-signed.msi"), "rb") as f:
        package = f.read()
    with open(os.path.join(packages, "portcheck-1.0.0-x64-signed.msi"), "rb") as f:
        x64_package = f.read()
    ca, bundle = os.path.join(work, "ca.pem"), ["--ca-file", forge.bundle]
    weak_chain = anchored_chain(work, "Weak", bits=1024)
    deep_chain = anchored_chain(work, "Deep", depth=LIMIT_CHAIN)
    latticed, lattice_chain = lattice(work)
    lured, lure_chain = lattice(work, layers=1, width=30, forged=60)
    twice = party("Twice", forge.issuing)
    listed_twice = party("Listed Twice", forge.issuing)
    metrics = lambda holder, extra=None: time_server_certificate(holder, forge.tsa_root,
                                                                 forge.now, extra)
    lifetime = party("Lifetime Signer", forge.issuing, usages=(CODE_SIGNING, LIFETIME_SIGNING),
                     valid=(NOW - 400 * DAY, NOW - 30 * DAY))
    return [(title, data, status, word, ["--ca-file", ca] if options is None else options, env) for
            title, data, status, word, options, env in [
        ("the genuine signed release, its CA named", genuine, 0, b"chains to", None, None),
        ("the genuine signed x86 package, its CA named", package, 0, b"chains to", None, None),
        ("the genuine signed x64 package, the bundle named", x64_package, 0,
         b"x64 package: signed; the signature covers exactly", bundle, None),
        ("the genuine signature timestamped by an authority whose root is in the bundle", graft(
            timestamped(der, forge.tsa, [forge.tsa_root], forge.now, work)), 0,
         b"trusted: its authority chains to bundle.pem", bundle, None),
        ("an impostor's signature, the genuine CA named", impostor, 1,
         b"does not chain to a certificate in", None, None),
        ("an unsigned release, a CA named", plain, 1, b"not signed", None, None),
        ("the genuine release, its CA file in DER", genuine, 0, b"chains to ca.der",
         ["--ca-file", anchors["der"]], None),
        ("a chain, its issuing intermediate named", image(party("Issued Signer", forge.issuing)),
         0, b"chains to issuing.pem",
         ["--ca-file", anchors["intermediate"]], None),
        ("an expired signer, a trusted timestamp from its time", graft(timestamped(
            expired, forge.tsa, [forge.tsa_root], back_then, work)), 0,
         b"at the time its trusted timestamp gives", bundle, None),
        ("a timestamp whose token names its authority", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, named=forge.tsa)), 0,
         b"trusted: its authority chains to bundle.pem", bundle, None),
        ("a timestamp carrying its time server's timing metrics, as Microsoft's does", graft(
            timestamped(der, forge.tsa, [forge.tsa_root], forge.now, work, attribute=metrics(
                forge.tsa))), 0, b"timing metrics: an attribute certificate of", bundle, None),
        ("timing metrics as a signed attribute, as Microsoft's public service writes them",
         graft(timestamped(der, forge.tsa, [forge.tsa_root], forge.now, work, signer_attribute=(
             metrics(forge.tsa).dump(),))), 0, b"timing metrics: an attribute certificate of",
         bundle, None),
        ("a timestamp's signature policy that is not the implied one", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, signer_attribute=(
                metrics(forge.tsa).dump(), core.ObjectIdentifier("1.2.3.4").dump()))), 1,
         b"signature policy attribute is not the implied one", bundle, None),
        ("a timestamp's signer attribute of claimed attributes", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, signer_attribute=(
                core.OctetString(bytes(600)).dump(), b"\x05\x00", 0))), 1,
         b"signer attributes cannot be read", bundle, None),
        ("a timestamp carrying timing metrics for another holder", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, attribute=metrics(self_made))), 1,
         b"attribute certificate that is not for its authority's certificate", bundle, None),
        ("a timestamp carrying timing metrics with a payload beside them", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, attribute=metrics(
                forge.tsa, {"type": "charging_identity", "values": [{"values": [
                    cms.IetfAttrValue(name="octets", value=bytes(600))]}]}))), 1,
         b"holds more than a time server's timing metrics", bundle, None),
        ("a timestamp whose token names an authority it does not carry", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, named=self_made)), 1,
         b"names an authority that is none", bundle, None),
        ("an expired signer, back-dated by a self-made authority", graft(timestamped(
            expired, self_made, [], back_then, work)), 1, b"certificate has expired", bundle,
         None),
        ("an expired signer, back-dated by its own key", graft(timestamped(
            expired, forge.expired, [], back_then, work)), 1, b"certificate has expired", bundle,
         None),
        ("an expired signer, back-dated by a self-made countersignature", graft(countersigned(
            expired, self_made, back_then)), 1, b"certificate has expired", bundle, None),
        ("a timestamp of month 13", graft(timestamped(der, forge.tsa, [forge.tsa_root], forge.now, work,
                                                      month=13)), 1,
         b"a timestamp whose time cannot be read", bundle, None),
        ("a UTCTime where GeneralizedTime belongs", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, utc_time=True)), 1,
         b"TSTInfo cannot be read", bundle, None),
        ("8 KiB in a timestamp's TSTInfo", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, extension=bytes(8 << 10))), 1,
         b"TSTInfo holds more than a timestamp needs", bundle, None),
        ("a certificate that chains to nothing, in the bag", graft(with_certificate(
            der, party("Rider", ca=True, usages=None))), 1, b"belongs to no chain", None, None),
        ("8 KiB of revocation lists", graft(with_crl(der, 8 << 10)), 1,
         b"revocation lists", None, None),
        ("8 KiB as the signature algorithm's parameters", graft(with_parameters(der, 8 << 10)),
         1, b"parameters", None, None),
        ("a timestamp attribute with no value", graft(with_unsigned(der, MS_TIMESTAMP, [])), 1,
         b"with 0 values", None, None),
        # osslsigncode finds no digest in it and says so instead of MISMATCH.
        ("the other architecture's package signature, its content type changed", grafted(
            with_content_type(package_signature(package, work), "1.3.6.1.4.1.311.2.1.5"),
            msi_bytes_of(unsigned, "x64"), work), 1,
         b"x64 package: its signature signs content of the type", [], None),
        # One bit short of the floor: the size is counted in bits, not whole bytes.
        ("an RSA-2047 signer", image(weak_party("Short Key", forge.issuing, work,
                                                key=("rsa:2047",))), 1,
         b"RSA key of 2047 bits", bundle, None),
        ("a signer on the 192-bit curve", image(weak_party(
            "Small Curve", forge.issuing, work, key=("ec", "-pkeyopt",
                                                     "ec_paramgen_curve:prime192v1"))), 1,
         b"elliptic-curve key of 192 bits", bundle, None),
        ("an expired signer, timestamped by an authority for code signing too", graft(
            timestamped(expired, party("Mixed TSA", forge.tsa_root, usages=(
                TIMESTAMPING, CODE_SIGNING), valid=(NOW - 1000 * DAY, NOW + 1000 * DAY)),
                [forge.tsa_root], back_then, work)), 1, b"certificate has expired", bundle, None),
        ("a signer that writes S/MIME capabilities, as OpenSSL's do", graft(with_capabilities(
            signature(forge.signed(build, twice)), twice)), 0, b"chains to bundle.pem", bundle,
         None),
        # Within the size bound: only the parameters are at fault.
        ("S/MIME capabilities with 100 bytes as parameters", graft(with_capabilities(
            signature(forge.signed(build, twice)), twice, core.OctetString(bytes(100)))), 1,
         b"S/MIME capabilities attribute", bundle, None),
        ("S/MIME capabilities of 60 algorithms", graft(with_capabilities(
            signature(forge.signed(build, twice)), twice, count=60)), 1,
         b"S/MIME capabilities attribute", bundle, None),
        ("a dual signature: SHA-1, its SHA-256 twin nested in it, as publishers sign",
         graft(with_unsigned(signature(forge.signed(build, twice, digest="sha1")), NESTED, [
             signature(forge.signed(build, twice))])), 0, b"and a nested signature (SHA256)",
         bundle, None),
        ("a nested signature of the signer's name by another key", graft(with_unsigned(
            signature(forge.signed(build, twice, digest="sha1")), NESTED, [
                signature(forge.signed(build, party("Twice", forge.issuing)))])), 1,
         b"neither the same certificate nor the same key", [], None),
        ("a nested signature by the signer's key under a certificate of no CA", graft(
            with_unsigned(signature(forge.signed(build, twice, digest="sha1")), NESTED, [
                signature(forge.signed(build, party("Twice", key=twice.key), chain=[]))])), 1,
         b"its nested signature 1: its signer does not chain", bundle, None),
        ("a countersignature whose own signature does not check", graft(countersigned(
            der, forge.tsa, forge.now, broken=True)), 1,
         b"a timestamp whose own signature does not check", bundle, None),
        ("a timestamp token carrying a certificate of no chain", graft(with_unsigned(
            der, MS_TIMESTAMP, [with_token_certificate(token(
                signature_value(der), forge.tsa, [forge.tsa_root], forge.now, work),
                "certificate", asn1_x509.Certificate.load(self_made.der))])), 1,
         b"its timestamp carries a certificate that belongs to no chain", bundle, None),
        ("timing metrics whose holder's digest is of another certificate", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, attribute=time_server_certificate(
                forge.tsa, forge.tsa_root, forge.now, digested=self_made))), 1,
         b"attribute certificate that is not for its authority's certificate", bundle, None),
        ("timing metrics whose holder's serial number is another's", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, attribute=time_server_certificate(
                forge.tsa, forge.tsa_root, forge.now, serial=12345))), 1,
         b"attribute certificate that is not for its authority's certificate", bundle, None),
        ("timing metrics in the name of another issuer", graft(timestamped(
            der, forge.tsa, [forge.tsa_root], forge.now, work, attribute=time_server_certificate(
                forge.tsa, self_made, forge.now))), 1,
         b"attribute certificate that is not for its authority's certificate", bundle, None),
        ("a nested signature made for another file", graft(with_unsigned(
            signature(forge.signed(build, twice, digest="sha1")), NESTED, [
                signature(forge.signed(builds[x86], twice))])), 1,
         b"its nested signature 1: its signature was made for other bytes", bundle, None),
        ("a platform manifest binary ID that is not a digest", graft(with_signed_attributes(
            signature(forge.signed(build, twice)), twice, lambda attributes: list(attributes) + [
                {"type": "1.3.6.1.4.1.311.10.3.28", "values": [core.UTF8String("x" * 100)]}])),
         1, b"binary ID attribute is not a digest", bundle, None),
        ("a signed attribute holding its value twice", graft(with_doubled_content_type(
            signature(forge.signed(build, twice)), twice)), 1, b"with 2 values", bundle, None),
        ("an expired lifetime-signing signer, a trusted timestamp from its time", graft(
            timestamped(signature(forge.signed(build, lifetime)), forge.tsa, [forge.tsa_root],
                        back_then, work)), 1, b"lifetime signing", bundle, None),
        ("an expired signer, a CAdES signature-timestamp attribute from its time", graft(
            with_unsigned(expired, "1.2.840.113549.1.9.16.2.14", [token(
                signature_value(expired), forge.tsa, [forge.tsa_root], back_then, work)])), 1,
         b"which is no timestamp", bundle, None),
        ("a chain file that lists the signer twice", image(listed_twice, chain=[
            listed_twice, forge.issuing]), 0, b"chains to bundle.pem", bundle, None),
        ("a signer with an unknown critical extension", image(party(
            "Critical Leaf", forge.issuing, critical="1.3.6.1.4.1.55555.1")), 1,
         b"Critical Leaf, which names it as its issuer, does not check against it: unhandled "
         b"critical extension", bundle, None),
        ("a chain to an RSA-1024 root in the CA file", image(weak_chain.signer,
                                                               chain=weak_chain.chain), 1,
         b"RSA key of 1024 bits", ["--ca-file", weak_chain.anchors], None),
        ("a chain one CA longer than the checker follows", image(
            deep_chain.signer, chain=deep_chain.chain), 1,
         b"within %d certificates, the longest chain" % LIMIT_CHAIN,
         ["--ca-file", deep_chain.anchors], None),
        ("a lattice of certificates that share names", image(latticed, chain=lattice_chain), 1,
         b"the search stopped after", bundle, None),
        ("certificates of one name that check against none of the chain", image(
            lured, chain=lure_chain), 1, b"signature checks did not account for them", bundle,
         None),
        ("an MD5-signed certificate", image(weak_party("MD5 Signed", forge.issuing, work,
                                                       digest="md5")), 1,
         b"signed with MD5", bundle, None),
        ("signed attributes digested with MD5", image(party("Signer", forge.issuing),
                                                      digest="md5"), 1, b"with MD5", bundle, None),
        ("content that is not SpcIndirectData", graft(with_content_type(der, "data")), 1,
         b"not Authenticode's SpcIndirectData", None, None),
        ("a leaf for Microsoft's commercial code signing only", image(party(
            "Commercial", forge.issuing, usages=(MICROSOFT_COMMERCIAL,))), 1,
         b"is not for code signing", bundle, None),
        ("an issuing CA for servers only", image(party("Server Leaf", server_ca(forge)),
                                                 chain=[server_ca(forge)]), 1,
         b"which is not for code signing", bundle, None),
        ("an empty --ca-file", genuine, 2, b"usage", ["--ca-file", ""], None),
        ("an empty --commit", genuine, 2, b"usage", ["--commit", ""], None),
        ("a CA file that holds its CA's key too", genuine, 0, b"1 PEM block that holds no "
         b"certificate skipped (PRIVATE KEY)", ["--ca-file", anchors["with key"]], None),
        ("a CA file with a damaged block", genuine, 2, b"certificate 2 cannot be read",
         ["--ca-file", anchors["damaged"]], None),
        ("a temporary folder that cannot be made", genuine, 2, b"no temporary folder", None,
         {"TMPDIR": os.path.join(work, "missing")}),
    ]]


def anchored_chain(work, name, depth=1, bits=2048):
    """A signer under depth CAs under a root of bits, the CAs from the
    signer's issuer up, and a CA file of that root."""
    long_ago = (NOW - 1000 * DAY, NOW + 1000 * DAY)
    chain = [party("%s Root" % name, ca=True, usages=None, bits=bits, valid=long_ago)]
    for number in range(depth):
        chain.insert(0, party("%s CA %d" % (name, number + 1), chain[0], ca=True, valid=long_ago))
    path = os.path.join(work, "%s.pem" % name.lower().replace(" ", "-"))
    with open(path, "wb") as f:
        f.write(chain[-1].pem)
    return types.SimpleNamespace(signer=party("%s Signer" % name, chain[0]), chain=chain[:-1],
                                 anchors=path)


def server_ca(forge):
    if not hasattr(forge, "server_ca"):
        forge.server_ca = party("Servers Only CA", forge.root, ca=True, usages=(SERVER,))
    return forge.server_ca


def msi_bytes_of(unsigned, architecture):
    top, plain, _, epoch = read_zip(unsigned)
    return msi_bytes(version_of(top), architecture, plain["%s/portcheck.exe" % architecture],
                     plain, epoch)


def verdicts(work, unsigned, signed, packages, key, impostor, other_commit):
    """(title, the case's download, what is wrong with its verdict or None) of
    every case, run against the unsigned zip as reference."""
    for number, (title, data, status, word, options, env) in enumerate(
            [case + ([], None) for case in cases(work, unsigned, signed, packages, key, impostor,
                                                 other_commit)]
            + trust_cases(unsigned, signed, packages, impostor, work)):
        path = os.path.join(work, "hostile-%02d.zip" % number)
        if data is FIFO:
            os.mkfifo(path)
        else:
            with open(path, "wb") as f:
                f.write(data)
        try:  # a case with its own environment runs as a user would, with no reference
            done = verify(path, None if env else unsigned, options, env)
        except subprocess.TimeoutExpired:
            yield title, path, "no verdict within a minute"
            continue
        said = done.stdout + done.stderr
        controls = [c for c in said if (c < 0x20 and c != 0x0A) or c > 0x7E]
        wrong = done.returncode != status or word not in said or controls or b"Traceback" in said
        yield title, path, "status %d (want %d), %r %s in:\n%s" % (
            done.returncode, status, word, "missing" if word not in said else "found",
            said.decode("ascii", "replace")) if wrong else None
