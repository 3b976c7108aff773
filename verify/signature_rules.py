"""What a release's signature may hold: every byte accounted for by the
signer, a chain or one timestamp of this very signature, and no algorithm
Windows refuses. Each refusal names the part."""
import hashlib
from typing import List, Optional

from asn1crypto import algos, cms, parser, x509

from verify.signature_reader import (COUNTERSIGNATURE, NESTED, SIGNER_ATTRIBUTE, SPC_INDIRECT_DATA,
                                     TIMESTAMP_TYPES, Signature, Timestamp, unnamed_fields)
from release.hostile_input import shown

# A genuine signature with its chain and an RFC 3161 timestamp with the
# authority's chain is 5 to 12 KiB; anything far larger carries what no
# signature needs.
LIMIT_SIGNATURE = 32 << 10
DIGESTS = ("sha1", "sha256", "sha384", "sha512")
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
NULL, ABSENT = b"\x05\x00", b""
# The signed attributes signers write: osslsigncode and signtool for the
# file's signature (content type, digest, time, SpcStatementType,
# SpcSpOpusInfo, CMS algorithm protection), an authority for its token.
SIGNER_ATTRIBUTES = ("content_type", "message_digest", "signing_time", "cms_algorithm_protection",
                     "1.3.6.1.4.1.311.2.1.11", "1.3.6.1.4.1.311.2.1.12", "smime_capabilities",
                     "1.3.6.1.4.1.311.10.3.28", "1.2.840.113549.1.9.25.4")
# signtool numbers a nested signature with PKCS #9's sequenceNumber: a small INTEGER.
SEQUENCE_NUMBER = "1.2.840.113549.1.9.25.4"
# Microsoft's signing service writes on its own binaries a platform manifest
# binary ID: a digest in hexadecimal, as a UTF8String.
BINARY_ID = "1.3.6.1.4.1.311.10.3.28"
LIMIT_BINARY_ID = 128
# S/MIME capabilities (RFC 8551), which OpenSSL-based signers such as Debian's
# signing service write by default: a short list of algorithms, each with no
# parameters, NULL or RC2's key size, so no payload can ride there.
LIMIT_CAPABILITIES = 512
# Microsoft's public timestamp service (the one its cloud signing service
# uses) writes CAdES's signature policy identifier in its implied form, a
# NULL that holds nothing, and its timing metrics as a signer attribute
# (signature_reader reads that into the token's attribute certificates,
# which are judged as one, wherever they stand).
SIGNATURE_POLICY = "1.2.840.113549.1.9.16.2.15"
TOKEN_ATTRIBUTES = ("content_type", "message_digest", "signing_time", "signing_certificate",
                    "signing_certificate_v2", "cms_algorithm_protection", SIGNATURE_POLICY,
                    SIGNER_ATTRIBUTE)
COUNTERSIGNATURE_ATTRIBUTES = ("content_type", "message_digest", "signing_time")
# A publisher that dual-signs (SHA-1 for Windows before 8, SHA-2 beside it)
# nests its second signature in the first; more than a few is no publisher's.
LIMIT_NESTED = 3
# Fields of a token that are numbers or names: room for a serial number
# (RFC 5280's 20 octets) and a nonce, not for a payload.
LIMIT_NUMBER_BITS = 160
LIMIT_POLICY_BYTES = 32
# Microsoft's timestamp service puts in each token one attribute certificate
# of its time servers' timing metrics and policy (about 850 bytes), signed by
# a key the token does not carry. So it is taken only in that form, every
# field a bounded number, time or name (trust.py ties it to the authority),
# and nothing is taken from it; its signature value is the one part of a
# signature that no carried key vouches for, and the report says so.
LIMIT_ATTRIBUTE_CERTIFICATE = 2048
TIMING_ATTRIBUTES = ("timing_metrics", "timing_policy")
LIMIT_POLICIES = 4
LIMIT_SIGNATURE_VALUE = 512  # a 4096-bit RSA key's


def parameters(algorithm) -> bytes:
    """The parameters' raw bytes: asn1crypto would read them as the algorithm's type, or fail."""
    contents = algorithm.contents
    _, _, _, header, oid, _ = parser.parse(contents)
    return contents[len(header) + len(oid):]


def digest_problem(algorithm: algos.DigestAlgorithm, where: str) -> Optional[str]:
    name = algorithm["algorithm"].native
    if name in WEAK_DIGESTS:
        return "%s is digested with %s, which Windows refuses" % (where, name.upper())
    if name not in DIGESTS:
        return "%s is digested with %s, which a release's signature does not use" % (
            where, shown(algorithm["algorithm"].dotted))
    if parameters(algorithm) not in (NULL, ABSENT):
        return "%s: its digest algorithm carries parameters, which SHA-1 and SHA-2 have none of" \
               % where
    return None


def signature_algorithm_problem(algorithm, where: str) -> Optional[str]:
    name = algorithm["algorithm"].native
    if name in ("md2_rsa", "md5_rsa"):
        return "%s is signed with %s, which Windows refuses" % (where, name.split("_")[0].upper())
    wanted = NULL if name in RSA_SIGNATURES else ABSENT if name in EC_SIGNATURES else None
    if wanted is None:
        return "%s is signed with the algorithm %s, which a release's signature does not use" % (
            where, shown(algorithm["algorithm"].dotted))
    if parameters(algorithm) != wanted:
        return "%s: its signature algorithm carries parameters that %s does not define" % (
            where, name)
    return None


def certificate_problem(certificate: x509.Certificate) -> Optional[str]:
    where = "the certificate of %s" % shown(certificate.subject.human_friendly)
    found = signature_algorithm_problem(certificate["signature_algorithm"], where)
    if found:
        return found
    key = certificate.public_key
    # asn1crypto rounds an RSA key's size up to whole bytes: 2041 bits would pass as 2048.
    bits = key["public_key"].parsed["modulus"].native.bit_length() if key.algorithm == "rsa" \
        else key.bit_size
    if key.algorithm == "rsa" and bits < LIMIT_RSA_BITS:
        return "%s has an RSA key of %d bits; Windows and the code-signing baseline " \
               "requirements want %d at least" % (where, bits, LIMIT_RSA_BITS)
    if key.algorithm == "ec" and bits < LIMIT_EC_BITS:
        return "%s has an elliptic-curve key of %d bits; %d at least is wanted" % (
            where, bits, LIMIT_EC_BITS)
    if key.algorithm not in ("rsa", "ec"):
        return "%s has a %s key; only RSA and elliptic-curve keys sign code" % (
            where, shown(key.algorithm))
    return None


def attributes_problem(attributes, allowed: tuple, where: str) -> Optional[str]:
    for attribute in attributes or []:
        kind = attribute["type"]
        if kind.native not in allowed and kind.dotted not in allowed:
            return "%s holds the signed attribute %s, which no signer of a release writes" % (
                where, shown(kind.dotted))
        if len(attribute["values"]) != 1:
            return "%s holds the attribute %s with %d values; each holds exactly one" % (
                where, shown(kind.native), len(attribute["values"]))
        raw = attribute["values"][0].dump()
        if kind.dotted == SEQUENCE_NUMBER and not (raw[:1] == b"\x02" and 3 <= len(raw) <= 6):
            return "%s holds a sequence number that is not a small integer" % where
        if kind.dotted == BINARY_ID and binary_id_problem(attribute["values"][0]):
            return "%s holds a platform manifest binary ID that is not a digest in " \
                   "hexadecimal" % where
        if kind.dotted == SIGNATURE_POLICY and raw != NULL:
            return "%s holds a signature policy other than the implied one (a NULL)" % where
        if kind.native == "smime_capabilities" and capabilities_problem(attribute["values"][0]):
            return "%s holds S/MIME capabilities of %d bytes that are more than a list of " \
                   "algorithms (at most %d bytes, each with no parameters, NULL or a key " \
                   "size)" % (where, len(attribute.dump()), LIMIT_CAPABILITIES)
    return None


def binary_id_problem(value) -> bool:
    raw = value.dump()  # a UTF8String of under 128 bytes has a length of one byte
    return raw[:1] != b"\x0c" or len(raw) > LIMIT_BINARY_ID + 1 or raw[1] != len(raw) - 2 or \
        raw[2:].strip(b"0123456789ABCDEFabcdef") != b""


def capabilities_problem(capabilities) -> bool:
    if len(capabilities.dump()) > LIMIT_CAPABILITIES:
        return True
    for capability in capabilities:
        raw = capability["parameters"].dump()
        if raw not in (ABSENT, NULL) and not (raw[:1] == b"\x02" and len(raw) <= 4):
            return True
    return False


def signer_problem(signer: cms.SignerInfo, allowed: tuple, where: str) -> Optional[str]:
    if signer["version"].native not in ("v1", "v3") or signer["sid"].name not in (
            "issuer_and_serial_number", "subject_key_identifier"):
        return "%s has a version or signer identifier that CMS does not define" % where
    return digest_problem(signer["digest_algorithm"], where) or signature_algorithm_problem(
        signer["signature_algorithm"], where) or attributes_problem(
        signer["signed_attrs"], allowed, where)


def signed_data_problem(signed: cms.SignedData, where: str) -> Optional[str]:
    if signed["crls"].dump() != b"":
        return "%s carries certificate revocation lists; a release's carries none" % where
    if len(signed["digest_algorithms"]) > len(DIGESTS):
        return "%s names %d digest algorithms" % (where, len(signed["digest_algorithms"]))
    for algorithm in signed["digest_algorithms"]:
        found = digest_problem(algorithm, where)
        if found:
            return found
    return None


def token_problem(stamp: Timestamp) -> Optional[str]:
    where = "the timestamp token"
    if stamp.signed_data["version"].native not in ("v1", "v3"):
        return "%s has a version that CMS does not define" % where
    info = stamp.tst_info
    numbers = [info["serial_number"].native, info["nonce"].native or 0]
    accuracy = info["accuracy"]
    if accuracy.dump():
        numbers += [accuracy[name].native or 0 for name in ("seconds", "millis", "micros")]
    if info["version"].native != "v1" or info["extensions"].dump() or any(
            abs(n).bit_length() > LIMIT_NUMBER_BITS for n in numbers) or len(
            info["policy"].dump()) > LIMIT_POLICY_BYTES:
        return "%s's TSTInfo holds more than a timestamp needs (extensions, or an outsized " \
               "serial number, nonce, accuracy or policy)" % where
    # Compared by value: the tsa field holds the name under its GeneralName tag.
    if info["tsa"].dump() and (info["tsa"].name != "directory_name" or not any(
            info["tsa"].chosen == c.subject for c in stamp.certificates)):
        return "%s names an authority that is none of its certificates' subjects" % where
    return attribute_certificate_problem(stamp) or signed_data_problem(
        stamp.signed_data, where) or signer_problem(
        stamp.signer, TOKEN_ATTRIBUTES, where) or digest_problem(
        stamp.imprint_algorithm, where + "'s message imprint") or (
        "%s carries unsigned attributes" % where if stamp.signer["unsigned_attrs"].dump()
        else None)


def attribute_certificate_problem(stamp: Timestamp) -> Optional[str]:
    where = "the timestamp token's attribute certificate"
    if len(stamp.attribute_certificates) > 1:
        return "the timestamp token carries %d attribute certificates; a timestamp service " \
               "adds one at most" % len(stamp.attribute_certificates)
    for certificate in stamp.attribute_certificates:
        info, size = certificate["ac_info"], len(certificate.dump())
        issuer, holder = info["issuer"], info["holder"]
        if size > LIMIT_ATTRIBUTE_CERTIFICATE:
            return "%s is %d bytes; a timestamp service's is under %d" % (
                where, size, LIMIT_ATTRIBUTE_CERTIFICATE)
        if info["version"].native != "v2" or issuer.name != "v2_form" or not single_name(
                issuer.chosen["issuer_name"]) or issuer.chosen["base_certificate_id"].dump() or \
                issuer.chosen["object_digest_info"].dump():
            return "%s names its issuer otherwise than by one name" % where
        if not single_name(holder["entity_name"]) or not (
                holder["base_certificate_id"].dump() or holder["object_digest_info"].dump()):
            return "%s names its holder otherwise than by one name and its certificate" % where
        if info["issuer_unique_id"].dump() or info["extensions"].dump() or \
                timing_problem(info["attributes"]) or len(certificate["signature"].contents) \
                > LIMIT_SIGNATURE_VALUE + 1 or info["serial_number"].native.bit_length() > \
                LIMIT_NUMBER_BITS:
            return "%s holds more than a time server's timing metrics and policy" % where
        found = signature_algorithm_problem(certificate["signature_algorithm"], where)
        if found:
            return found
    return None


def timing_problem(attributes) -> bool:
    kinds = [attribute["type"].native for attribute in attributes]
    if sorted(kinds) != sorted(set(kinds)) or not set(kinds) <= set(TIMING_ATTRIBUTES) or any(
            len(attribute["values"]) != 1 for attribute in attributes):
        return True
    numbers = []
    for attribute in attributes:
        value = attribute["values"][0]
        if attribute["type"].native == "timing_policy":
            if len(value["policy_id"]) > LIMIT_POLICIES or any(
                    len(policy.dump()) > LIMIT_POLICY_BYTES for policy in value["policy_id"]):
                return True
            times = [value[name] for name in ("max_offset", "max_delay")]
        else:
            times = [value[name] for name in ("ntp_time", "offset", "delay", "expiration")]
        numbers += [t[name].native or 0 for t in times if t.dump()
                    for name in ("major", "fractional_seconds")]
    return any(abs(n).bit_length() > 64 for n in numbers)


def single_name(names) -> bool:
    return bool(names) and len(names) == 1 and names[0].name == "directory_name"


def covers_problem(stamp: Timestamp, signature_value: bytes) -> Optional[str]:
    name = stamp.imprint_algorithm["algorithm"].native
    if name not in DIGESTS or hashlib.new(name, signature_value).digest() != stamp.imprint:
        return "a timestamp that covers another signature"
    return None


def timestamp_problem(stamp: Timestamp) -> Optional[str]:
    if stamp.token is not None:
        return token_problem(stamp)
    where = "the countersignature"
    if stamp.signer["version"].native != "v1" or \
            stamp.signer["sid"].name != "issuer_and_serial_number":
        return "%s has a version or signer identifier that Authenticode does not define" % where
    return signer_problem(stamp.signer, COUNTERSIGNATURE_ATTRIBUTES, where) or (
        "%s carries unsigned attributes" % where if stamp.signer["unsigned_attrs"].dump()
        else None)


def unsigned_problem(signature: Signature, outer: bool) -> Optional[str]:
    kinds = []
    for attribute in signature.unsigned:
        kind = attribute["type"].native
        kinds.append("nested" if kind == NESTED else "timestamp")
        if kind == NESTED and not outer:
            return "a nested signature within a nested signature"
        if kind == NESTED:
            if not 1 <= len(attribute["values"]) <= LIMIT_NESTED:
                return "a nested signature attribute with %d values; a publisher nests %d at " \
                       "most" % (len(attribute["values"]), LIMIT_NESTED)
            continue
        if kind not in TIMESTAMP_TYPES + (COUNTERSIGNATURE,):
            return "an unsigned attribute of %d bytes, which is no timestamp" % len(
                attribute.dump())
        if len(attribute["values"]) != 1:
            return "an unsigned timestamp attribute with %d values; it holds exactly one" % len(
                attribute["values"])
    if kinds.count("timestamp") > 1:
        return "%d unsigned attributes; a signature holds one timestamp at most" % len(
            signature.unsigned)
    if kinds.count("nested") > 1:
        return "%d nested signature attributes; a signature holds them in one" % kinds.count(
            "nested")
    return None


def problem(signature: Signature, outer: bool = True) -> Optional[str]:
    for attribute in signature.signer["signed_attrs"] or []:
        if attribute["type"].native == "content_type" and len(attribute["values"]) == 1 and \
                attribute["values"][0].dotted != SPC_INDIRECT_DATA:
            return "its signer's content type is %s, not Authenticode's SpcIndirectData" % \
                shown(attribute["values"][0].dotted)
    if signature.signed_data["version"].native != "v1" or signature.signer["version"].native \
            != "v1" or signature.signer["sid"].name != "issuer_and_serial_number":
        return "its signature has a version or signer identifier that Authenticode does not " \
               "define"
    found = unsigned_problem(signature, outer) or signed_data_problem(
        signature.signed_data, "its signature") or signer_problem(
        signature.signer, SIGNER_ATTRIBUTES, "its signer") or digest_problem(
        signature.digest_algorithm, "the file's digest in its signature")
    value = signature.signer["signature"].native
    for stamp in signature.timestamps:
        found = found or timestamp_problem(stamp) or covers_problem(stamp, value)
    for certificate in carried(signature):
        found = found or certificate_problem(certificate)
    if not found:
        found = encoding_problem(signature.der)
    if not found and len(signature.der) > LIMIT_SIGNATURE:
        found = "its signature is %d bytes; a genuine one with its chains and a timestamp is " \
                "a few KiB, and none over %d bytes is accepted" % (len(signature.der),
                                                                   LIMIT_SIGNATURE)
    return found


def encoding_problem(der: bytes) -> Optional[str]:
    if unnamed_fields(cms.ContentInfo.load(der, strict=True)):
        return "its signature holds bytes outside the structures it is defined by (fields " \
               "they do not name)"
    return None


def carried(signature: Signature) -> List[x509.Certificate]:
    return signature.certificates + [c for stamp in signature.timestamps if stamp.token
                                     for c in stamp.certificates]
