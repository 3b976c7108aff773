"""What a release's signature may hold: every byte accounted for by the
signer, a chain or one timestamp of this very signature, and no algorithm
Windows refuses. Each refusal names the part."""
import hashlib
from typing import List, Optional

from asn1crypto import algos, cms, x509

from verify import signature_table as table
from verify.digests import DIGESTS
from verify.signature_table import ABSENT_PARAMETERS, NULL, Refused, parameters
from verify.signature_reader import Signature, Timestamp
from verify.signature_table import unnamed_fields
from release.hostile_input import shown

# Broken for signatures: Windows refuses them, and so does this checker.
WEAK_DIGESTS = ("md2", "md4", "md5")
# RSA keys under 2048 bits are refused by Microsoft's root program and the
# code-signing baseline requirements (which ask 3072 of new certificates).
LIMIT_RSA_BITS = 2048
LIMIT_EC_BITS = 256
# The parameters each algorithm defines: NULL for RSA, none for ECDSA;
# digests may carry NULL or nothing.
RSA_SIGNATURES = ("rsassa_pkcs1v15", "sha1_rsa", "sha256_rsa", "sha384_rsa", "sha512_rsa")
EC_SIGNATURES = ("sha256_ecdsa", "sha384_ecdsa", "sha512_ecdsa")
# CMS's versions, and the signer identifiers each place may use: Authenticode
# (and its legacy countersignature) names its signer by issuer and serial
# number in a version 1 structure; an RFC 3161 token may use either.
CMS_VERSIONS = ("v1", "v3")
SIGNER_IDS = ("issuer_and_serial_number", "subject_key_identifier")


def refuse(where: str, words: str):
    raise Refused(where, words)


def check_digest(algorithm: algos.DigestAlgorithm, where: str) -> None:
    name = algorithm["algorithm"].native
    if name in WEAK_DIGESTS:
        refuse(where, "%s is digested with %s, which Windows refuses" % (where, name.upper()))
    if name not in DIGESTS:
        refuse(where, "%s is digested with %s, which a release's signature does not use" % (
            where, shown(algorithm["algorithm"].dotted)))
    if parameters(algorithm) not in (NULL, ABSENT_PARAMETERS):
        refuse(where, "%s: its digest algorithm carries parameters, which SHA-1 and SHA-2 have "
                      "none of" % where)


def check_signature_algorithm(algorithm, where: str) -> None:
    name = algorithm["algorithm"].native
    if name in ("md2_rsa", "md5_rsa"):
        refuse(where, "%s is signed with %s, which Windows refuses" % (
            where, name.split("_")[0].upper()))
    wanted = NULL if name in RSA_SIGNATURES else \
        ABSENT_PARAMETERS if name in EC_SIGNATURES else None
    if wanted is None:
        refuse(where, "%s is signed with the algorithm %s, which a release's signature does not "
                      "use" % (where, shown(algorithm["algorithm"].dotted)))
    if parameters(algorithm) != wanted:
        refuse(where, "%s: its signature algorithm carries parameters that %s does not define"
               % (where, name))


def check_certificate(certificate: x509.Certificate) -> None:
    where = "the certificate of %s" % shown(certificate.subject.human_friendly)
    check_signature_algorithm(certificate["signature_algorithm"], where)
    key = certificate.public_key
    if key.algorithm not in ("rsa", "ec"):
        refuse(where, "%s has a %s key; only RSA and elliptic-curve keys sign code" % (
            where, shown(key.algorithm)))
    # asn1crypto rounds an RSA key's size up to whole bytes: 2041 bits would pass as 2048.
    bits = key["public_key"].parsed["modulus"].native.bit_length() if key.algorithm == "rsa" \
        else key.bit_size
    if key.algorithm == "rsa" and bits < LIMIT_RSA_BITS:
        refuse(where, "%s has an RSA key of %d bits; Windows and the code-signing baseline "
                      "requirements want %d at least" % (where, bits, LIMIT_RSA_BITS))
    if key.algorithm == "ec" and bits < LIMIT_EC_BITS:
        refuse(where, "%s has an elliptic-curve key of %d bits; %d at least is wanted" % (
            where, bits, LIMIT_EC_BITS))


def certificate_problem(certificate: x509.Certificate) -> Optional[str]:
    """What is wrong with a certificate of a chain, or None (for trust.py)."""
    try:
        check_certificate(certificate)
    except Refused as refusal:
        return str(refusal)
    return None


def check_signer(signer: cms.SignerInfo, place: str, where: str) -> None:
    if signer["version"].native not in CMS_VERSIONS or signer["sid"].name not in SIGNER_IDS:
        refuse(where, "%s has a version or signer identifier that CMS does not define" % where)
    check_digest(signer["digest_algorithm"], where)
    check_signature_algorithm(signer["signature_algorithm"], where)
    table.check_attributes(signer["signed_attrs"], place, where)
    check_protection(signer, where)


def check_protection(signer: cms.SignerInfo, where: str) -> None:
    """RFC 6211: the algorithm protection names the signer's own algorithms,
    so it holds no byte of its own."""
    for attribute in signer["signed_attrs"] or []:
        if attribute["type"].dotted != table.ALGORITHM_PROTECTION:
            continue
        protection = attribute["values"][0]
        named = protection["signature_algorithm"].untag()
        if protection["digest_algorithm"].dump() != signer["digest_algorithm"].dump() or \
                protection["mac_algorithm"].dump() or not same_algorithm(
                    named, signer["signature_algorithm"], signer["digest_algorithm"]):
            refuse(where, "%s's CMS algorithm protection names other algorithms than its own"
                   % where)
        check_signature_algorithm(named, where + "'s CMS algorithm protection")


def same_algorithm(named, used, digest) -> bool:
    """Whether named is the signature algorithm used: the same identifier, or
    its key's algorithm joined with the digest (sha256_rsa for rsassa_pkcs1v15
    with SHA-256), as signers write it either way."""
    if named.dump() == used.dump():
        return True
    try:
        return named.signature_algo == used.signature_algo and \
            named.hash_algo == digest["algorithm"].native
    except ValueError:  # an algorithm asn1crypto cannot split in two
        return False


def check_signed_data(signed: cms.SignedData, where: str) -> None:
    if signed["crls"].dump() != b"":
        refuse(where, "%s carries certificate revocation lists; a release's carries none"
               % where)
    if len(signed["digest_algorithms"]) > len(DIGESTS):
        refuse(where, "%s names %d digest algorithms" % (where, len(signed["digest_algorithms"])))
    for algorithm in signed["digest_algorithms"]:
        check_digest(algorithm, where)


def check_unsigned_none(signer: cms.SignerInfo, where: str) -> None:
    if signer["unsigned_attrs"].dump():
        refuse(where, "%s carries unsigned attributes" % where)


def check_token(stamp: Timestamp) -> None:
    where = "the timestamp token"
    if stamp.signed_data["version"].native not in CMS_VERSIONS:
        refuse(where, "%s has a version that CMS does not define" % where)
    info = stamp.tst_info
    table.check_tst_info(info, where)
    # Compared by value: the tsa field holds the name under its GeneralName tag.
    if info["tsa"].dump() and (info["tsa"].name != "directory_name" or not any(
            info["tsa"].chosen == c.subject for c in stamp.certificates)):
        refuse(where, "%s names an authority that is none of its certificates' subjects" % where)
    check_attribute_certificates(stamp)
    check_signed_data(stamp.signed_data, where)
    check_signer(stamp.signer, table.TOKEN, where)
    check_digest(stamp.imprint_algorithm, where + "'s message imprint")
    check_unsigned_none(stamp.signer, where)


def check_attribute_certificates(stamp: Timestamp) -> None:
    where = "the timestamp token's attribute certificate"
    if len(stamp.attribute_certificates) > 1:
        refuse(where, "the timestamp token carries %d attribute certificates; a timestamp "
                      "service adds one at most" % len(stamp.attribute_certificates))
    for certificate in stamp.attribute_certificates:
        table.check_attribute_certificate(certificate, where)
        check_signature_algorithm(certificate["signature_algorithm"], where)
        check_signature_algorithm(certificate["ac_info"]["signature"], where)


def check_covers(stamp: Timestamp, signature_value: bytes) -> None:
    name = stamp.imprint_algorithm["algorithm"].native
    if name not in DIGESTS or hashlib.new(name, signature_value).digest() != stamp.imprint:
        refuse("its timestamp", "a timestamp that covers another signature")


def check_timestamp(stamp: Timestamp) -> None:
    if stamp.token is not None:
        check_token(stamp)
        return
    where = "the countersignature"
    if stamp.signer["version"].native != "v1" or stamp.signer["sid"].name != SIGNER_IDS[0]:
        refuse(where, "%s has a version or signer identifier that Authenticode does not define"
               % where)
    check_signer(stamp.signer, table.COUNTERSIGNER, where)
    check_unsigned_none(stamp.signer, where)


def check(signature: Signature, outer: bool = True) -> None:
    """Raises Refused, naming the part, for the first rule the signature breaks."""
    if signature.signed_data["version"].native != "v1" or signature.signer["version"].native \
            != "v1" or signature.signer["sid"].name != SIGNER_IDS[0]:
        refuse("its signature", "its signature has a version or signer identifier that "
                                "Authenticode does not define")
    if not outer and any(a["type"].dotted == table.NESTED for a in signature.unsigned):
        refuse("its signature", "a nested signature within a nested signature")
    table.check_attributes(signature.unsigned, table.UNSIGNED, "its signature")
    check_signed_data(signature.signed_data, "its signature")
    check_signer(signature.signer, table.SIGNER, "its signer")
    check_digest(signature.digest_algorithm, "the file's digest in its signature")
    for stamp in signature.timestamps:
        check_timestamp(stamp)
        check_covers(stamp, signature.signer["signature"].native)
    for certificate in carried(signature):
        check_certificate(certificate)
    if unnamed_fields(cms.ContentInfo.load(signature.der, strict=True)):
        refuse("its signature", "its signature holds bytes outside the structures it is "
                                "defined by (fields they do not name)")


def carried(signature: Signature) -> List[x509.Certificate]:
    return signature.certificates + [c for stamp in signature.timestamps if stamp.token
                                     for c in stamp.certificates]
