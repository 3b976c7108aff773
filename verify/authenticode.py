"""Whether an Authenticode signature covers a file, and who made it when;
and one executable of a download against the reference build."""
import os
from typing import List, NamedTuple, Optional, Union

from verify import trust
from verify.signature_reader import read_signature
from verify.signature_table import Refusal, same_signer
from release.authenticode_tool import osslsigncode, signature as signature_of
from release.tools import write_file
from verify.signed_file import (ImageFile, attached, image_digest, package_digest, table_problem,
                                unsigned_image)
from release.hostile_input import NotARelease, shown


class Findings(NamedTuple):
    lines: List[str]
    differences: List[str]  # any one refuses the download


class Judgement(NamedTuple):
    wrong: Optional[str]
    lines: List[str]  # who signed and when, if nothing is wrong


OTHER_BYTES = "its signature was made for other bytes: the digest it signs is not this file's"


def digest_problem(signature, data: Union[bytes, ImageFile], package: bool,
                   work: str) -> Optional[str]:
    """None only when this file's digest is the signed one; a reader's failure refuses."""
    algorithm = signature.digest_algorithm["algorithm"].native
    try:
        # A package's other fault (its extended signature's record of its
        # entries) is named only once its digest is the signed one.
        computed, wrong = package_digest(data, algorithm) if package else (
            image_digest(data, algorithm), None)
    except NotARelease as error:  # an image on disk was cut short, or this is none
        computed = str(error) if isinstance(data, ImageFile) else None
    if not isinstance(computed, bytes):
        return "the digest of this file could not be computed (%s), so nothing shows that its " \
               "signature covers it" % (computed or "it is not a Windows executable")
    return wrong if computed == signature.digest else OTHER_BYTES


def judge(data: Union[bytes, ImageFile], der: bytes, package: bool,
          anchors: Optional[trust.Anchors], work: str) -> Judgement:
    """The signature and each signature nested in it (a publisher's dual
    signing: SHA-1 for old Windows, SHA-2 beside it), all by the same signer:
    the same certificate, or the same key (a renewed certificate)."""
    judged, certificate, signature = judged_signature(data, der, package, anchors, work, True)
    if judged.wrong:
        return judged
    lines = list(judged.lines)
    for number, nested in enumerate(signature.nested, 1):
        inner, inner_certificate, _ = judged_signature(data, nested, package, anchors, work,
                                                       False)
        if inner.wrong:
            return Judgement("its nested signature %d: %s" % (number, inner.wrong), [])
        if not same_signer(certificate, inner_certificate):
            return Judgement("a nested signature by another signer (%s) than its own (%s): "
                             "neither the same certificate nor the same key" % (
                                 shown(inner_certificate.subject.human_friendly),
                                 shown(certificate.subject.human_friendly)), [])
        lines += ["  and a nested signature (%s):" % shown(
            inner_signature_digest(nested))] + ["  " + line for line in inner.lines]
    return Judgement(None, lines)


def inner_signature_digest(der: bytes) -> str:
    return read_signature(der).digest_algorithm["algorithm"].native.upper()


def judged_signature(data: Union[bytes, ImageFile], der: bytes, package: bool,
                     anchors: Optional[trust.Anchors], work: str, outer: bool):
    """(its judgement, its signer's certificate, the signature read)."""
    try:
        signature = read_signature(der, outer)
    except Refusal as refusal:
        return Judgement(str(refusal), []), None, None
    wrong = digest_problem(signature, data, package, work)
    if wrong:
        return Judgement(wrong, []), None, signature
    wrong, certificate = trust.signer_certificate(signature, work)
    times, authorities = [], []
    for stamp in signature.timestamps:  # one at most: the rules allow no more
        wrong, authority = (wrong, None) if wrong else trust.timestamp_authority(stamp, work)
        if authority is not None:
            authorities.append(authority)
            times.append(trust.timestamp_time(stamp, authority, anchors, work))
    wrong = wrong or trust.accounting_problem([certificate] + authorities,
                                              signature.certificates, work)
    if wrong:
        return Judgement(wrong, []), certificate, signature
    return who_signed(signature, certificate, times, anchors, work), certificate, signature


def who_signed(signature, certificate, times: list, anchors: Optional[trust.Anchors],
               work: str) -> Judgement:
    subject, issuer = trust.names(certificate, work)
    lines = ["  signed by \"%s\", issued by \"%s\"" % (shown(subject), shown(issuer))]
    lines += ["  timestamped %s (%s) by a timestamp that covers this signature; its time is %s"
              % (time.when.strftime("%Y-%m-%d %H:%M:%S UTC"), time.kind, time.said)
              for time in times]
    lines += ["  its timestamp carries its time server's timing metrics: an attribute certificate "
              "of %d bytes whose signature is by a key the timestamp does not carry, so nothing "
              "is taken from it" % len(c.dump()) for stamp in signature.timestamps
              for c in stamp.attribute_certificates]
    if anchors is None:
        return Judgement(None, lines + ["  who signed is a claim: not checked against any "
                                        "trust anchor (--ca-file names one)"])
    # Windows lets a lifetime-signing certificate's signatures lapse with it,
    # whatever timestamp they carry.
    lifetime = trust.LIFETIME_SIGNING in (trust.usages(certificate) or [])
    trusted = [] if lifetime else [time.when for time in times if time.trusted]
    reason = trust.chain_problem(certificate, signature.certificates, anchors,
                                 trust.CODE_SIGNING, trusted[0] if trusted else None, work)
    if reason:
        return Judgement("its signer %s%s%s" % (reason, "".join(
            "; the time its timestamp gives is %s" % time.said for time in times
            if not time.trusted), "; its certificate is for lifetime signing, which no "
            "timestamp extends" if lifetime and times else ""), [])
    return Judgement(None, lines + [
        "  its certificate chains to a certificate in %s, for code signing, %s" % (
            anchors.name, "at the time its trusted timestamp gives" if trusted
            else "at the present time%s" % (" (its certificate is for lifetime signing, which "
                                             "no timestamp extends)" if lifetime and times else ""))])


def package_attached(built: bytes, der: bytes, work: str) -> bytes:
    # attach-signature writes its output, then fails on a chain it cannot trust.
    path = write_file(os.path.join(work, "signature.der"), der)
    return osslsigncode("attach-signature", ["-sigin", path], built, work, any_status=True).data


def unsigned_problems(label: str, anchors: Optional[trust.Anchors]) -> list:
    return ["%s: not signed, and --ca-file asks for a signature that chains to it" % label] \
        if anchors else []


def signer_verdict(label: str, judged: Judgement) -> Findings:
    if judged.wrong:
        return Findings([], ["%s: %s" % (label, judged.wrong)])
    return Findings(judged.lines, [])


def executable_check(name: str, image: bytes, built: bytes, source: str, anchors,
                     work: str) -> Findings:
    """Unsigned, it must be the build; signed, the build with its signature attached."""
    try:
        der = signature_of(image)
    except NotARelease:
        return Findings([], ["%s is not a Windows executable" % name])
    if der is None:
        if image == built:
            return Findings(["%s: unsigned; identical to %s's build" % (name, source)],
                            unsigned_problems(name, anchors))
        return Findings([], ["%s: unsigned; DIFFERS from %s's build" % (name, source)])
    # Attached here, not by osslsigncode: its versions differ in what they
    # can attach, and the verdict must not depend on the one installed.
    found = [] if attached(built, der) == image else [
        "%s: %s" % (name, table_problem(image)) if table_problem(image) else
        "%s: without its signature, DIFFERS from %s's build" % (name, source)
        if unsigned_image(image) != built else
        "%s: its signature is not attached the way Authenticode tools attach one to %s's "
        "build (the certificate table or the headers hold other bytes)" % (name, source)]
    signer = signer_verdict(name, judge(image, der, False, anchors, work))
    if found or signer.differences:
        return Findings([], found + signer.differences)
    return Findings(["%s: signed; the signature covers exactly %s's build" % (name, source)]
                    + signer.lines, [])
