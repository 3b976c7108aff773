"""Who made a signature and when, judged with OpenSSL against the --ca-file
anchors (an intermediate counts too). Chains are built here, by name, and
handed to `openssl verify` exactly, so the chain judged is the one whose
usages and keys were read."""
import datetime
import hashlib
import os
import re
from dataclasses import dataclass, field
from typing import List, Optional, Tuple

from asn1crypto import cms, core, pem, x509

from verify.signature_reader import Signature, Timestamp
from verify.signature_rules import certificate_problem
from verify.digests import DIGESTS
from release.tools import run_tool, write_file
from release.hostile_input import NotARelease, read_bounded, shown

CODE_SIGNING = "1.3.6.1.5.5.7.3.3"
TIMESTAMPING = "1.3.6.1.5.5.7.3.8"
ANY_USAGE = "2.5.29.37.0"
USAGE_WORDS = {CODE_SIGNING: "code signing", TIMESTAMPING: "timestamping"}

LIMIT_CHAIN = 6
# A bundle of every root a system trusts is a few hundred KiB.
LIMIT_CA_FILE = 4 << 20
LIFETIME_SIGNING = "1.3.6.1.4.1.311.10.3.13"
LIMIT_PATHS = 8
# Certificates the search for one chain may step through: a genuine chain
# takes a handful, and certificates that share names could make the paths
# grow as the fifth power of their number.
LIMIT_STEPS = 2000
# Signature checks that accounting for the carried certificates may make (one
# `openssl verify` each): a genuine chain needs a few; certificates of one name
# that do not check against each other could ask for thousands.
LIMIT_CHECKS = 256


class BadAnchors(Exception):
    """The --ca-file cannot serve as trust anchors; str() says why."""


@dataclass
class Anchors:
    certificates: List[x509.Certificate]
    name: str  # the file's name, fit to show
    skipped: List[str] = field(default_factory=list)  # PEM blocks of other kinds, fit to show


@dataclass
class Time:
    when: datetime.datetime
    kind: str
    trusted: bool
    said: str


def read_anchors(path: str) -> Anchors:
    """PEM (one or a bundle), DER (one or several in a row) or PKCS#7."""
    label = "the CA file %s" % shown(path)
    try:
        data = read_bounded(path, label, "a CA file holds a few certificates", LIMIT_CA_FILE)
    except NotARelease as error:
        said = str(error)  # the file's kind, or its size and reading, named by label already
        raise BadAnchors(said if said.startswith(label) else "the CA file: " + said) from None
    skipped = []
    blocks = pem_blocks(data, path, skipped) if pem.detect(data) else der_blocks(data, path)
    found = []
    for number, der in enumerate(blocks, 1):
        try:  # an anchor is the user's own: read, not held to DER
            certificate = x509.Certificate.load(der, strict=True)
            certificate.subject.human_friendly  # every field a chain reads
            certificate.public_key.bit_size
        except (ValueError, TypeError):
            raise BadAnchors("the CA file %s: certificate %d cannot be read" % (
                shown(path), number)) from None
        found.append(certificate)
    if not found:
        raise BadAnchors("the CA file %s holds no certificate" % shown(path))
    return Anchors(found, shown(os.path.basename(path)), skipped)


def pem_blocks(data: bytes, path: str, skipped: list) -> list:
    """The certificates; the kinds of the other blocks (a key beside its
    certificate, say) go into skipped, as OpenSSL, curl and Python skip them."""
    try:
        blocks = list(pem.unarmor(data, multiple=True))
    except (ValueError, TypeError):
        raise BadAnchors("the CA file %s has a damaged PEM block" % shown(path)) from None
    skipped += [shown(kind) for kind, _, _ in blocks if kind not in ("CERTIFICATE", "PKCS7")]
    return [der for kind, _, body in blocks if kind in ("CERTIFICATE", "PKCS7") for der in (
        bundle(body, path) if kind == "PKCS7" else [body])]


def der_blocks(data: bytes, path: str) -> list:
    blocks, at = [], 0
    try:
        while at < len(data):
            element = core.Asn1Value.load(data[at:])
            size = len(element.dump())
            blocks.append(data[at:at + size])
            at += size
    except (ValueError, TypeError):
        raise BadAnchors("the CA file %s is neither PEM nor DER certificates" % shown(
            path)) from None
    if len(blocks) == 1 and is_signed_data(data):
        return bundle(data, path)
    return blocks


def is_signed_data(der: bytes) -> bool:
    """Whether der is a PKCS#7 signed-data (a bundle of certificates), not a certificate."""
    try:
        return cms.ContentInfo.load(der)["content_type"].native == "signed_data"
    except (ValueError, TypeError):
        return False


def bundle(der: bytes, path: str) -> list:
    try:
        info = cms.ContentInfo.load(der)
        return [c.chosen.dump() for c in info["content"]["certificates"]]
    except (ValueError, TypeError, KeyError):
        raise BadAnchors("the CA file %s has a PKCS#7 bundle that cannot be read" % shown(
            path)) from None


def openssl(*arguments: str):
    return run_tool(["openssl"] + list(arguments))


def written(work: str, name: str, certificates: list) -> str:
    return write_file(os.path.join(work, name), b"".join(
        pem.armor("CERTIFICATE", c.dump()) for c in certificates))


def verified(leaf, intermediates: list, anchor, at, work: str) -> Optional[str]:
    """None when OpenSSL validates exactly this chain at `at` (a datetime,
    None for now, "any" for no time); else its reason."""
    # OpenSSL 3.0 has no code-signing purpose, and "any" checks no usage: usage_problem does.
    command = ["verify", "-partial_chain", "-check_ss_sig", "-purpose", "any", "-CAfile",
               written(work, "anchor.pem", [anchor])]
    if intermediates:
        command += ["-untrusted", written(work, "intermediates.pem", intermediates)]
    if at == "any":
        command.append("-no_check_time")
    elif at is not None:
        command += ["-attime", str(int(at.timestamp()))]
    done = openssl(*command, written(work, "leaf.pem", [leaf]))
    if done.returncode == 0:
        return None
    said = (done.stdout + done.stderr).decode("utf-8", "replace")
    reason = re.search(r"error \d+ at \d+ depth lookup: ?(.*)", said)
    return reason.group(1).strip() if reason else "not trusted"


def issued(certificate, issuer) -> bool:
    return certificate.issuer == issuer.subject


def accounting_problem(leaves: list, carried: list, work: str,
                       carrier: str = "its signature") -> Optional[str]:
    """Every certificate carried signs, or issues one that is accounted for."""
    accounted = list(leaves)
    waiting = [c for c in carried if all(c.dump() != a.dump() for a in accounted)]
    refused = {}  # a waiting certificate's DER: (the one that names it as issuer, openssl's reason)
    checks = 0
    grew = True
    while waiting and grew:
        grew = False
        for candidate in list(waiting):
            for a in accounted:
                if not issued(a, candidate) or a.dump() == candidate.dump():
                    continue
                checks += 1
                if checks > LIMIT_CHECKS:
                    return "%s carries more certificates of shared names than any chain " \
                           "needs: %d signature checks did not account for them" % (
                               carrier, LIMIT_CHECKS)
                reason = verified(a, [], candidate, "any", work)
                if reason is None:
                    accounted.append(candidate)
                    waiting.remove(candidate)
                    grew = True
                    break
                refused[candidate.dump()] = (a, reason)
    if waiting:
        found = "%s carries a certificate that belongs to no chain of its signer or its " \
                "timestamp: %s" % (carrier, shown(waiting[0].subject.human_friendly))
        if waiting[0].dump() in refused:  # the part at fault may be the one it would issue
            named, reason = refused[waiting[0].dump()]
            found += " (%s, which names it as its issuer, does not check against it: %s)" % (
                shown(named.subject.human_friendly), shown(reason))
        return found
    return None


def paths(leaf, pool: list, anchors: list) -> Tuple[list, str]:
    """The paths from leaf to an anchor, and why the search stopped short of
    some: "" (it did not), "depth" or "work"."""
    found, steps, cut = [], 0, ""

    def walk(path):
        nonlocal steps, cut
        top = path[-1]
        steps += 1
        if steps > LIMIT_STEPS:
            cut = "work"
        if len(found) >= LIMIT_PATHS or cut == "work":
            return
        if any(top.dump() == a.dump() for a in anchors):
            found.append(path)
            return
        found.extend(path + [a] for a in anchors if issued(top, a))
        if top.self_issued:
            return
        issuers = [c for c in pool if issued(top, c) and all(c.dump() != p.dump() for p in path)]
        if len(path) >= LIMIT_CHAIN:
            cut = cut or ("depth" if issuers else "")
            return
        for certificate in issuers:
            walk(path + [certificate])
    walk([leaf])
    return found[:LIMIT_PATHS], cut


def usages(certificate) -> Optional[List[str]]:
    value = certificate.extended_key_usage_value
    return None if value is None else [purpose.dotted for purpose in value]


def usage_problem(path: list, usage: str) -> Optional[str]:
    # RFC 3161: a timestamping leaf is for that alone; Windows: every CA's listed usages allow it.
    leaf = usages(path[0])
    if (usage == TIMESTAMPING and leaf != [TIMESTAMPING]) or (
            leaf is not None and usage not in leaf):
        return "is not for %s (its certificate's extended key usage is %s)" % (
            USAGE_WORDS[usage], ", ".join(leaf) if leaf else "absent")
    for ca in path[1:]:
        listed = usages(ca)
        if listed is not None and usage not in listed and ANY_USAGE not in listed:
            return "has in its chain the CA %s, which is not for %s (its extended key usage " \
                   "is %s)" % (shown(ca.subject.human_friendly), USAGE_WORDS[usage],
                               ", ".join(listed))
    return None


def chain_problem(leaf, pool: list, anchors: Anchors, usage: str, at, work: str) -> Optional[str]:
    """None, or why leaf does not chain (words that follow "its signer")."""
    reasons = []
    found, cut = paths(leaf, pool, anchors.certificates)
    for path in found:
        weak = next(filter(None, map(certificate_problem, path)), None)
        reason = "has weak cryptography in its chain: %s" % weak if weak else usage_problem(
            path, usage)
        if reason is None:
            said = verified(path[0], path[1:-1], path[-1], at, work)
            if said is None:
                return None
            reason = "does not chain to a certificate in %s (%s)" % (anchors.name, shown(said))
        reasons.append(reason)
    if reasons:
        return reasons[0]
    if cut == "depth":
        return "does not chain to a certificate in %s within %d certificates, the longest " \
               "chain this checker follows" % (anchors.name, LIMIT_CHAIN)
    if cut == "work":
        return "does not chain to a certificate in %s among the certificates it carries that " \
               "share names: the search stopped after %d steps, far more than any chain " \
               "takes" % (anchors.name, LIMIT_STEPS)
    return "does not chain to a certificate in %s (unable to get local issuer certificate)" \
        % anchors.name


def signer_certificate(signature: Signature, work: str) -> Tuple[Optional[str], object]:
    detached = write_file(os.path.join(work, "detached.p7"), signature.detached())
    content = write_file(os.path.join(work, "content.bin"), signature.signed_content)
    named = signed_by(["smime", "-verify", "-noverify", "-binary", "-inform", "DER", "-in",
                       detached, "-content", content], signature.signer, signature.certificates,
                      work)
    if named is None:
        return "its signature does not check against its own certificate: it is not a " \
               "signature of these bytes", None
    return None, named


def signed_by(verify: list, signer, certificates: list, work: str):
    """The certificate signer names, when OpenSSL's check passes using that one."""
    used = os.path.join(work, "used.pem")
    if os.path.exists(used):
        os.unlink(used)
    done = openssl(*verify, "-signer", used, "-out", os.devnull)
    named = named_certificate(signer, certificates)
    return named if done.returncode == 0 and named is not None and same_as(used, named) else None


def named_certificate(signer, certificates: list):
    sid = signer["sid"]
    if sid.name == "issuer_and_serial_number":
        match = [c for c in certificates if c.issuer == sid.chosen["issuer"]
                 and c.serial_number == sid.chosen["serial_number"].native]
    else:
        match = [c for c in certificates if c.key_identifier == sid.chosen.native]
    # A chain file that lists the signer twice (cat leaf.pem fullchain.pem) carries it twice.
    return match[0] if len({c.dump() for c in match}) == 1 else None


def same_as(path: str, certificate) -> bool:
    if not os.path.exists(path):
        return False
    with open(path, "rb") as f:
        _, _, der = pem.unarmor(f.read())
    return der == certificate.dump()


def token_signer(stamp: Timestamp, work: str):
    token = write_file(os.path.join(work, "token.der"), stamp.token)
    return signed_by(["cms", "-verify", "-noverify", "-binary", "-inform", "DER", "-in", token],
                     stamp.signer, stamp.certificates, work)


def signs(certificate, digest: str, data: bytes, value: bytes, work: str) -> bool:
    """Whether value is certificate's key's signature of data."""
    files = [write_file(os.path.join(work, name), content) for name, content in (
        ("signed.der", data), ("signed.sig", value),
        ("signed.key", pem.armor("PUBLIC KEY", certificate.public_key.dump())))]
    return openssl("dgst", "-" + digest, "-verify", files[2], "-signature", files[1],
                   files[0]).returncode == 0


def countersigner(stamp: Timestamp, work: str):
    named = named_certificate(stamp.signer, stamp.certificates)
    # The signature is over the attributes as a SET, not as the [0] they are stored as.
    attributes = b"\x31" + stamp.signer["signed_attrs"].dump()[1:]
    return named if named is not None and signs(
        named, stamp.signer["digest_algorithm"]["algorithm"].native, attributes,
        stamp.signer["signature"].native, work) else None


def holds_for(holder, authority) -> bool:
    """Whether an attribute certificate's holder is the authority's certificate
    (by name, and by serial number or digest where it gives them)."""
    if holder["entity_name"][0].chosen != authority.subject:
        return False
    serial = holder["base_certificate_id"]
    if serial.dump() and (serial["serial"].native != authority.serial_number or all(
            name.chosen != authority.issuer for name in serial["issuer"])):
        return False
    digest = holder["object_digest_info"]
    if not digest.dump():
        return True
    algorithm = digest["digest_algorithm"]["algorithm"].native
    digested = {"public_key_cert": authority.dump(), "public_key": authority.public_key.dump()}
    return algorithm in DIGESTS and digest[
        "digested_object_type"].native in digested and hashlib.new(algorithm, digested[
            digest["digested_object_type"].native]).digest() == digest["object_digest"].native


def attribute_problem(stamp: Timestamp, authority) -> Optional[str]:
    """An attribute certificate (timing metrics) rides in a token only as
    Microsoft's time servers write it: for the token's authority, in the name
    of its CA. Its validity is not the token's time (a genuine one began six
    hours after it), and nothing is taken from it."""
    for certificate in stamp.attribute_certificates:
        info = certificate["ac_info"]
        if not holds_for(info["holder"], authority) or info["issuer"].chosen["issuer_name"][
                0].chosen != authority.issuer:
            return "its timestamp carries an attribute certificate that is not for its " \
                   "authority's certificate, in the name of that certificate's issuer"
    return None


def timestamp_authority(stamp: Timestamp, work: str) -> Tuple[Optional[str], object]:
    made_by = token_signer(stamp, work) if stamp.token else countersigner(stamp, work)
    if made_by is None:
        return "a timestamp whose own signature does not check against its certificate", None
    if stamp.token:
        wrong = accounting_problem([made_by], stamp.certificates, work, "its timestamp") or \
            attribute_problem(stamp, made_by)
        if wrong:
            return wrong, None
    return None, made_by


def timestamp_time(stamp: Timestamp, authority, anchors: Optional[Anchors], work: str) -> Time:
    """Trusted only when its authority chains to an anchor for timestamping at
    that time; otherwise a claim, and the signer is judged at the present time."""
    if anchors is None:
        return Time(stamp.time, stamp.kind, False, "a claim: not checked against any trust anchor")
    reason = chain_problem(authority, stamp.certificates, anchors, TIMESTAMPING, stamp.time, work)
    if reason:
        return Time(stamp.time, stamp.kind, False, "a claim: its authority %s; the signer is "
                    "judged at the present time" % reason)
    return Time(stamp.time, stamp.kind, True,
                "trusted: its authority chains to %s for timestamping" % anchors.name)


def names(certificate, work: str) -> Tuple[str, str]:
    said = openssl("x509", "-in", written(work, "named.pem", [certificate]), "-noout", "-subject",
                   "-issuer", "-nameopt", "RFC2253").stdout.decode("utf-8", "replace").splitlines()
    fields = dict(line.split("=", 1) for line in said if "=" in line)
    return fields.get("subject", ""), fields.get("issuer", "")
