"""What a signature may hold, declared once: every attribute by where it may
stand, how many times, its value's type and byte bound, and which signer
writes it and why it is safe; the fields of the structures that carry no
cryptography of their own (Microsoft's timing-metrics attribute certificate,
a timestamp's TSTInfo) field by field. A generic walk refuses whatever this
module does not declare, and every repetition it does not allow.

Each row says which question it serves: GENUINE, a rule that Windows (or
CMS, which Windows follows) applies to any signature; RELEASE, the policy
of what a signature of our releases, made by sign-release.sh or a signing
service docs/releasing.md names, may carry, so that every byte is
accounted for."""
from typing import Callable, Dict, NamedTuple, Optional, Tuple

from asn1crypto import algos, cms, core, parser, tsp, x509

from release.hostile_input import shown
from verify.digests import DIGEST_SIZES, DIGESTS

GENUINE, RELEASE = "genuine", "release"
# A serial number (RFC 5280: 20 octets), a nonce, a token's or attribute
# certificate's number: room for a number, not for a payload.
LIMIT_NUMBER_BITS = 160
# The time servers' NTP fields are 64-bit numbers.
LIMIT_NTP_BITS = 64
LIMIT_OID_BYTES = 32
# A 4096-bit RSA key's signature value.
LIMIT_SIGNATURE_VALUE = 512
# An algorithm's parameters as each defines them: NULL (RSA, and digests
# by some signers) or nothing (ECDSA, and digests by others).
NULL, ABSENT_PARAMETERS = b"\x05\x00", b""


def parameters(algorithm) -> bytes:
    """The parameters' raw bytes: asn1crypto would read them as the algorithm's type, or fail."""
    contents = algorithm.contents
    _, _, _, header, oid, _ = parser.parse(contents)
    return contents[len(header) + len(oid):]


class Refusal(Exception):
    """A signature that is not accepted. part: the part at fault, as a user
    reads it; str(): the whole reason, as the report gives it."""

    def __init__(self, part: str, words: str):
        super().__init__(words)
        self.part = part


class Refused(Refusal):
    """It is read, and breaks a rule of what a signature may hold."""


# The places an attribute may stand.
SIGNER = "its signer"                       # the file signer's signed attributes
TOKEN = "the timestamp token"               # an RFC 3161 token signer's signed attributes
COUNTERSIGNER = "the countersignature"      # a legacy countersignature's signed attributes
UNSIGNED = "its signer's unsigned attributes"


class Row(NamedTuple):
    place: str
    kind: str            # the attribute's dotted object identifier
    name: str            # as a user reads it
    least: int           # how many attributes of this kind at least (1: once)
    most: int            # and at most (1: at most once)
    value: Callable      # the value (asn1crypto, as parsed) -> None or what is wrong
    bound: int           # the value's contents, without its tag and length, in bytes
    serves: str
    why: str             # which signer writes it, and why it is safe


def unnamed_fields(value) -> bool:
    """Whether value holds elements its structure does not name (asn1crypto
    keeps them aside, where no rule looks). A certificate is taken whole: its
    issuer's signature covers it, and real ones are not always DER."""
    if isinstance(value, x509.Certificate):
        return False
    if isinstance(value, core.Sequence):
        return len(value) > len(list(value)) or any(unnamed_fields(value[name])
                                                     for name in value)
    if isinstance(value, (core.SequenceOf, core.SetOf)):
        return any(unnamed_fields(child) for child in value)
    if isinstance(value, core.Choice):
        return unnamed_fields(value.chosen)
    return False


def of_type(kind, check: Callable = None, whole: bool = True) -> Callable:
    """A value check: the value parses as kind, every element of it a field
    kind names, and check (if any) holds. A signature or a token (not whole)
    holds content of its own type, which its reader parses and judges."""
    def judged(value):
        try:
            parsed = kind.load(value.dump(), strict=True)
            if not whole:
                return None
            parsed.native  # every field read: one that does not parse is caught here
            extra = unnamed_fields(parsed)
        except (ValueError, TypeError, KeyError):
            return "is not a %s" % kind.__name__
        if extra:
            return "holds fields that its type (%s) does not name" % kind.__name__
        return check(parsed) if check else None
    return judged


def digest_bytes(value) -> Optional[str]:
    return None if len(value.native) in DIGEST_SIZES.values() else \
        "is not a digest of SHA-1 or SHA-2 (%d bytes)" % len(value.native)


SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
TST_INFO_TYPE = "1.2.840.113549.1.9.16.1.4"
DATA = "1.2.840.113549.1.7.1"
# CMS: the content type names what is signed, the type of the content itself.
CONTENT_TYPES = {SPC_INDIRECT_DATA: "Authenticode's SpcIndirectData",
                 TST_INFO_TYPE: "RFC 3161's TSTInfo", DATA: "id-data"}


def content_type(wanted: str) -> Callable:
    return lambda value: None if value.dotted == wanted else "is %s, not %s" % (
        shown(value.dotted), CONTENT_TYPES[wanted])


def hexadecimal(value) -> Optional[str]:
    digits = value.contents
    if not 1 <= len(digits) <= 2 * DIGEST_SIZES["sha512"] or \
            digits.strip(b"0123456789ABCDEFabcdef"):
        return "is not a digest in hexadecimal (1 to %d hexadecimal digits)" % (
            2 * DIGEST_SIZES["sha512"])
    return None


def small_number(value) -> Optional[str]:
    return None if 0 <= value.native < 1 << 31 else "is not a small number"


def null(value) -> Optional[str]:
    return None if value.dump() == b"\x05\x00" else "is not the implied one (a NULL)"


def known_algorithm(oid: core.ObjectIdentifier) -> bool:
    """Whether asn1crypto, whose tables follow the RFCs, names the algorithm."""
    return any(oid.dotted in table._map for table in (
        algos.EncryptionAlgorithmId, algos.DigestAlgorithmId, algos.SignedDigestAlgorithmId))


def capabilities(value) -> Optional[str]:
    for capability in value:
        if not known_algorithm(capability["capability_id"]):
            return "names %s, which is no algorithm" % shown(capability["capability_id"].dotted)
        raw = capability["parameters"].dump()
        # RC2 gives its key size; every other algorithm has no parameters or NULL.
        if raw not in (ABSENT_PARAMETERS, NULL) and not (raw[:1] == b"\x02" and len(raw) <= 4):
            return "gives %s parameters that are more than a key size" % shown(
                capability["capability_id"].native)
    return None


class CertifiedAttributes(core.Choice):
    """RFC 5126's SignerAttribute alternative that Microsoft's timestamp
    service writes; claimed attributes ([0]) are no form it uses."""
    _alternatives = [("certified_attributes", cms.AttributeCertificateV2, {"explicit": 1})]


class SignerAttribute(core.SequenceOf):
    _child_spec = CertifiedAttributes


class SpcStatementType(core.SequenceOf):
    _child_spec = core.ObjectIdentifier


# Authenticode's statement types: individual or commercial code signing.
STATEMENT_TYPES = ("1.3.6.1.4.1.311.2.1.21", "1.3.6.1.4.1.311.2.1.22")


def statement_types(value) -> Optional[str]:
    return None if all(kind.dotted in STATEMENT_TYPES for kind in value) else \
        "names a purpose other than individual or commercial code signing"


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}),
                     ("ascii", core.IA5String, {"implicit": 1})]


class SpcLink(core.Choice):
    # A moniker (a serialized object) or a file is no form a signer writes here.
    _alternatives = [("url", core.IA5String, {"implicit": 0})]


class SpcSpOpusInfo(core.Sequence):
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]


# id-aa-ets-signerAttr: where the newer tokens of Microsoft's public
# timestamp service hold the timing metrics' attribute certificate.
SIGNER_ATTRIBUTE = "1.2.840.113549.1.9.16.2.18"
SIGNATURE_POLICY = "1.2.840.113549.1.9.16.2.15"
BINARY_ID = "1.3.6.1.4.1.311.10.3.28"
SEQUENCE_NUMBER = "1.2.840.113549.1.9.25.4"
SPC_STATEMENT_TYPE = "1.3.6.1.4.1.311.2.1.11"
SPC_OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"
CONTENT_TYPE = "1.2.840.113549.1.9.3"
MESSAGE_DIGEST = "1.2.840.113549.1.9.4"
SIGNING_TIME = "1.2.840.113549.1.9.5"
ALGORITHM_PROTECTION = "1.2.840.113549.1.9.52"
SMIME_CAPABILITIES = "1.2.840.113549.1.9.15"
SIGNING_CERTIFICATE = "1.2.840.113549.1.9.16.2.12"
SIGNING_CERTIFICATE_V2 = "1.2.840.113549.1.9.16.2.47"
TIMESTAMP_TOKEN = "1.3.6.1.4.1.311.3.3.1"
COUNTERSIGNATURE = "1.2.840.113549.1.9.6"
NESTED = "1.3.6.1.4.1.311.2.4.1"
# A publisher that dual-signs (SHA-1 for Windows before 8, SHA-2 beside it)
# nests its second signature in the first; more than a few is no publisher's.
LIMIT_NESTED = 3
# A genuine signature with its chain and an RFC 3161 timestamp with the
# authority's chain is 5 to 12 KiB; anything far larger carries what no
# signature needs.
LIMIT_SIGNATURE = 32 << 10
# A timing-metrics attribute certificate is about 850 bytes, and names a
# policy or two.
LIMIT_ATTRIBUTE_CERTIFICATE = 2048
LIMIT_POLICIES = 4
# RFC 3161's accuracy: seconds, then millis and micros of 1 to 999.
LIMIT_ACCURACY_BITS = 10

# RFC 5652, 11: content type, message digest and signing time each appear
# once at most, with one value; every row here holds one value.
_DIGEST = (of_type(core.OctetString, digest_bytes), DIGEST_SIZES["sha512"])
_TYPE = lambda wanted: (of_type(core.ObjectIdentifier, content_type(wanted)), LIMIT_OID_BYTES)
_TIME = (of_type(cms.Time), 24)
_PROTECTION = (of_type(cms.CMSAlgorithmProtection), 256)
_SIGNING_CERTIFICATE = (of_type(tsp.SigningCertificate), 1024)
_SIGNING_CERTIFICATE_V2 = (of_type(tsp.SigningCertificateV2), 1024)
ATTRIBUTES: Tuple[Row, ...] = (
    Row(SIGNER, CONTENT_TYPE, "content type", 1, 1, *_TYPE(SPC_INDIRECT_DATA), GENUINE,
        "CMS: what is signed, SpcIndirectData for Authenticode"),
    Row(SIGNER, MESSAGE_DIGEST, "message digest", 1, 1, *_DIGEST, GENUINE,
        "CMS: the digest of the SpcIndirectData that the signature covers"),
    Row(SIGNER, SIGNING_TIME, "signing time", 0, 1, *_TIME, RELEASE,
        "osslsigncode writes the signer's own claim of time (-time); a time, nothing more"),
    Row(SIGNER, ALGORITHM_PROTECTION, "CMS algorithm protection", 0, 1, *_PROTECTION, RELEASE,
        "OpenSSL 3 writes it (RFC 6211): the signer's own two algorithms again, which "
        "signature_rules compares"),
    Row(SIGNER, SPC_STATEMENT_TYPE, "SpcStatementType", 0, 1,
        of_type(SpcStatementType, statement_types), 64, RELEASE,
        "osslsigncode and signtool: individual or commercial signing, a list of OIDs"),
    Row(SIGNER, SPC_OPUS_INFO, "SpcSpOpusInfo", 0, 1, of_type(SpcSpOpusInfo), 2048, RELEASE,
        "osslsigncode (-n, -i) and signtool: the program's name and web address, words the "
        "signer chose"),
    Row(SIGNER, SMIME_CAPABILITIES, "S/MIME capabilities", 0, 1,
        of_type(cms.SMIMECapabilites, capabilities), 512, RELEASE,
        "OpenSSL-based signers (Debian's signing service) by default: a short list of "
        "algorithms, each with no parameters, NULL or RC2's key size"),
    Row(SIGNER, BINARY_ID, "platform manifest binary ID", 0, 1,
        of_type(core.UTF8String, hexadecimal), 2 * DIGEST_SIZES["sha512"], RELEASE,
        "Microsoft's signing service on its own binaries: a digest in hexadecimal"),
    Row(SIGNER, SEQUENCE_NUMBER, "sequence number", 0, 1, of_type(core.Integer, small_number),
        4, RELEASE, "signtool numbers a nested signature with PKCS #9's sequenceNumber"),
    Row(TOKEN, CONTENT_TYPE, "content type", 1, 1, *_TYPE(TST_INFO_TYPE), GENUINE,
        "CMS: TSTInfo, what a token signs"),
    Row(TOKEN, MESSAGE_DIGEST, "message digest", 1, 1, *_DIGEST, GENUINE,
        "CMS: the digest of the TSTInfo"),
    Row(TOKEN, SIGNING_TIME, "signing time", 0, 1, *_TIME, RELEASE,
        "most authorities repeat their time here"),
    Row(TOKEN, SIGNING_CERTIFICATE, "signing certificate", 0, 1, *_SIGNING_CERTIFICATE,
        GENUINE, "RFC 3161 asks for it (ESS): the authority's certificate's digest"),
    Row(TOKEN, SIGNING_CERTIFICATE_V2, "signing certificate (v2)", 0, 1,
        *_SIGNING_CERTIFICATE_V2, GENUINE, "RFC 5816's form of the same, with SHA-2"),
    Row(TOKEN, ALGORITHM_PROTECTION, "CMS algorithm protection", 0, 1, *_PROTECTION, RELEASE,
        "authorities built on OpenSSL 3 write it"),
    Row(TOKEN, SIGNATURE_POLICY, "signature policy", 0, 1, null, LIMIT_OID_BYTES,
        RELEASE, "Microsoft's public timestamp service: CAdES's implied policy, a NULL"),
    Row(TOKEN, SIGNER_ATTRIBUTE, "signer attributes", 0, 1, of_type(SignerAttribute),
        LIMIT_ATTRIBUTE_CERTIFICATE + 16, RELEASE,
        "Microsoft's public timestamp service: its timing metrics' attribute certificate, "
        "judged as one wherever it stands"),
    Row(COUNTERSIGNER, CONTENT_TYPE, "content type", 0, 1, *_TYPE(DATA), GENUINE,
        "legacy Authenticode countersignatures name id-data"),
    Row(COUNTERSIGNER, MESSAGE_DIGEST, "message digest", 1, 1, *_DIGEST, GENUINE,
        "the digest of the countersigned signature's value"),
    Row(COUNTERSIGNER, SIGNING_TIME, "signing time", 1, 1, *_TIME, GENUINE,
        "the time the countersignature vouches for"),
    Row(UNSIGNED, TIMESTAMP_TOKEN, "RFC 3161 timestamp", 0, 1,
        of_type(cms.ContentInfo, whole=False), LIMIT_SIGNATURE, GENUINE,
        "Windows reads an RFC 3161 token under Microsoft's attribute; CAdES's is ignored"),
    Row(UNSIGNED, COUNTERSIGNATURE, "countersignature", 0, 1,
        of_type(cms.SignerInfo, whole=False),
        LIMIT_SIGNATURE, GENUINE, "a legacy Authenticode timestamp"),
    Row(UNSIGNED, NESTED, "nested signature", 0, 1, of_type(cms.ContentInfo, whole=False),
        LIMIT_SIGNATURE, GENUINE, "a publisher's dual signature, judged signature by signature"),
)
# Each value of a nested-signature attribute is one signature; a timestamp
# attribute holds exactly one.
VALUES = {NESTED: LIMIT_NESTED}
# A signature holds one timestamp at most, of either kind: a second would
# vouch for a time nothing compares.
ONE_OF = {UNSIGNED: (TIMESTAMP_TOKEN, COUNTERSIGNATURE)}


def rows(place: str) -> Dict[str, Row]:
    return {row.kind: row for row in ATTRIBUTES if row.place == place}


def check_attributes(attributes, place: str, where: str) -> None:
    """Every attribute declared for place, no more of a kind than allowed,
    each value of its type within its bound; raises Refused naming where."""
    declared, seen = rows(place), {}
    for attribute in attributes or []:
        kind = attribute["type"].dotted
        row = declared.get(kind)
        if row is None:
            words = ("an unsigned attribute of %d bytes, which is no timestamp" % len(
                attribute.dump())) if place == UNSIGNED else (
                "%s holds the signed attribute %s, which no signer of a release writes" % (
                    where, shown(kind)))
            raise Refused(where, words)
        seen[kind] = seen.get(kind, 0) + 1
        if seen[kind] > row.most:
            raise Refused(where, "%s holds the %s attribute %d times; it may appear %s" % (
                where, row.name, seen[kind], "once" if row.most == 1 else "%d times" % row.most))
        try:  # asn1crypto parses a value by its attribute's type only when it is asked
            values = list(attribute["values"])
            most = VALUES.get(kind, 1)
            if not 1 <= len(values) <= most:
                raise Refused(where, "%s holds the %s attribute with %d values; it holds %s" % (
                    where, row.name, len(values), "exactly one" if most == 1 else
                    "1 to %d" % most))
            for value in values:
                check_value(value, row, where)
        except (ValueError, TypeError, KeyError):
            raise Refused(where, "%s: the value of its %s attribute is not of its type" % (
                where, row.name)) from None
    for kind, row in declared.items():
        if seen.get(kind, 0) < row.least:
            raise Refused(where, "%s lacks its %s attribute" % (where, row.name))
    timestamps = sum(seen.get(kind, 0) for kind in ONE_OF.get(place, ()))
    if timestamps > 1:
        raise Refused(where, "%s holds %d timestamps; a signature holds one at most" % (
            where, timestamps))


def check_value(value, row: Row, where: str) -> None:
    size = len(value.contents or b"")
    if size > row.bound:
        raise Refused(where, "%s: the value of its %s attribute is %d bytes, %d at most" % (
            where, row.name, size, row.bound))
    wrong = row.value(value)
    if wrong:
        raise Refused(where, "%s: the value of its %s attribute %s" % (where, row.name, wrong))


# The fields of a structure, walked: a dict names each field a Sequence may
# hold (an absent one may stay absent unless Required); ABSENT, a field that
# must not be there; Each(most, shape), a list of at most `most`; Choice,
# which alternatives; ByKind, attributes by their type; a callable, a leaf's
# check (None, or what is wrong).
class Each(NamedTuple):
    most: int
    shape: object


class Choice(NamedTuple):
    alternatives: dict


class Required(NamedTuple):
    shape: object


class ByKind(NamedTuple):
    """A list of attributes (type, values), each kind once at most, with one
    value of that kind's shape."""
    kinds: dict


ABSENT = "absent"


def number(bits: int) -> Callable:
    return lambda value: None if abs(value.native).bit_length() <= bits else \
        "is a number of more than %d bits" % bits


def one_name(value) -> Optional[str]:
    return None if len(value) == 1 and value[0].name == "directory_name" else \
        "is not one directory name"


def digest_algorithm(value) -> Optional[str]:
    if value["algorithm"].native not in DIGESTS:
        return "is not SHA-1 or SHA-2"
    return None if parameters(value) in (ABSENT_PARAMETERS, NULL) else "carries parameters"


def bytes_within(limit: int) -> Callable:
    # A BIT STRING's contents begin with its count of unused bits.
    return lambda value: None if len(value.contents) <= limit + 1 else \
        "is more than %d bytes" % limit


def any_value(value) -> Optional[str]:
    return None


def oid(value) -> Optional[str]:
    return None if len(value.contents) <= LIMIT_OID_BYTES else "is an outsized identifier"


def one_of(*names) -> Callable:
    return lambda value: None if value.native in names else "is none of %s" % ", ".join(names)


# Shapes declare every field; Required marks a field the schema lets be
# absent but the signer always writes. Fields the schema itself demands are
# there once parsed, so only their values are declared.
NTP_TIME = {"major": number(LIMIT_NTP_BITS), "fractional_seconds": number(LIMIT_NTP_BITS),
            # Microsoft's servers mark a negative offset so (its public service, 2026).
            "sign": lambda value: None if value.native in (-1, 1) else "is not -1 or 1"}
OBJECT_DIGEST = {"digested_object_type": one_of("public_key", "public_key_cert"),
                 "other_object_type_id": ABSENT, "digest_algorithm": digest_algorithm,
                 "object_digest": bytes_within(DIGEST_SIZES["sha512"])}
TIMING = {"timing_metrics": {"ntp_time": NTP_TIME, "offset": NTP_TIME, "delay": NTP_TIME,
                             "expiration": NTP_TIME, "leap_event": ABSENT},
          "timing_policy": {"policy_id": Each(LIMIT_POLICIES, oid), "max_offset": NTP_TIME,
                            "max_delay": NTP_TIME}}
# Microsoft's time servers put one in each token: their timing metrics and
# policy for the token's authority (by name, and its certificate's digest or
# serial number), in the name of that authority's CA, signed by a key no token
# carries. So only its form is taken, every field a bounded number, time or
# one name; trust.py ties its holder and issuer to the authority.
ATTRIBUTE_CERTIFICATE = {
    "ac_info": {
        "version": one_of("v2"),
        "holder": {
            "base_certificate_id": {"issuer": one_name, "serial": number(LIMIT_NUMBER_BITS),
                                    "issuer_uid": ABSENT},
            "entity_name": Required(one_name),
            "object_digest_info": OBJECT_DIGEST},
        "issuer": Choice({"v2_form": {"issuer_name": Required(one_name),
                                      "base_certificate_id": ABSENT,
                                      "object_digest_info": ABSENT}}),
        "signature": any_value,  # an algorithm: signature_rules judges it
        "serial_number": number(LIMIT_NUMBER_BITS),
        # Two times, of no bearing: nothing is taken from the certificate.
        "att_cert_validity_period": {"not_before_time": any_value, "not_after_time": any_value},
        "attributes": ByKind(TIMING),
        "issuer_unique_id": ABSENT, "extensions": ABSENT},
    "signature_algorithm": any_value,  # signature_rules judges it
    "signature": bytes_within(LIMIT_SIGNATURE_VALUE)}
# One of these must name the holder's certificate: a name alone could be anyone's.
HOLDER_BY_CERTIFICATE = ("base_certificate_id", "object_digest_info")
# RFC 3161's TSTInfo: what a token vouches for, and nothing beside it. The
# imprint is judged by signature_rules (its algorithm) and by what it must
# equal (the signature value's digest), its time by the reader.
TST_INFO = {
    "version": one_of("v1"), "policy": oid,
    "message_imprint": {"hash_algorithm": any_value, "hashed_message": any_value},
    "serial_number": number(LIMIT_NUMBER_BITS), "gen_time": any_value,
    "accuracy": {"seconds": number(LIMIT_ACCURACY_BITS), "millis": number(LIMIT_ACCURACY_BITS),
                 "micros": number(LIMIT_ACCURACY_BITS)},
    "ordering": any_value,  # a BOOLEAN
    "nonce": number(LIMIT_NUMBER_BITS),
    "tsa": any_value,  # a name: signature_rules compares it with the certificates' subjects
    "extensions": ABSENT}


def walk(value, shape, path: str, where: str, words: str) -> None:
    """Refused(where, words: path, what is wrong) for the first field of
    value that shape does not declare, or that its check refuses."""
    if isinstance(shape, Required):
        shape = shape.shape
    if callable(shape):
        wrong = shape(value)
        if wrong:
            raise Refused(where, "%s: its %s %s" % (words, path, wrong))
    elif isinstance(shape, Each):
        if len(value) > shape.most:
            raise Refused(where, "%s: its %s holds %d, %d at most" % (
                words, path, len(value), shape.most))
        for number_, child in enumerate(value):
            walk(child, shape.shape, "%s[%d]" % (path, number_), where, words)
    elif isinstance(shape, Choice):
        if not isinstance(value, core.Choice) or value.name not in shape.alternatives:
            raise Refused(where, "%s: its %s is of another form" % (words, path))
        walk(value.chosen, shape.alternatives[value.name], path, where, words)
    elif isinstance(shape, ByKind):
        kinds = [attribute["type"].native for attribute in value]
        for number_, attribute in enumerate(value):
            at = "%s[%d]" % (path, number_)
            if kinds[number_] not in shape.kinds or kinds[number_] in kinds[:number_]:
                raise Refused(where, "%s: its %s is %s%s" % (words, at, shown(
                    attribute["type"].dotted), "" if kinds[number_] not in shape.kinds
                    else ", a second time"))
            if len(attribute["values"]) != 1:
                raise Refused(where, "%s: its %s holds %d values" % (
                    words, at, len(attribute["values"])))
            walk(attribute["values"][0], shape.kinds[kinds[number_]], at, where, words)
    else:
        for name, _, _ in value._fields:
            rule = shape.get(name)
            child = value[name]
            present = not isinstance(child, core.Void) and child.dump() != b""
            if rule is None or rule == ABSENT:
                if present:
                    raise Refused(where, "%s: it holds %s%s, which nothing declares" % (
                        words, path + "." if path else "", name))
                continue
            if not present:
                if isinstance(rule, Required):
                    raise Refused(where, "%s: it lacks %s%s" % (
                        words, path + "." if path else "", name))
                continue
            walk(child, rule, (path + "." if path else "") + name, where, words)


def check_attribute_certificate(certificate: cms.AttributeCertificateV2, where: str) -> None:
    size = len(certificate.dump())
    if size > LIMIT_ATTRIBUTE_CERTIFICATE:
        raise Refused(where, "%s is %d bytes; a timestamp service's is under %d" % (
            where, size, LIMIT_ATTRIBUTE_CERTIFICATE))
    walk(certificate, ATTRIBUTE_CERTIFICATE, "", where,
         "%s holds more than a time server's timing metrics and policy" % where)
    holder = certificate["ac_info"]["holder"]
    if not any(holder[name].dump() for name in HOLDER_BY_CERTIFICATE):
        raise Refused(where, "%s names its holder otherwise than by one name and its "
                             "certificate" % where)


def check_tst_info(info, where: str) -> None:
    walk(info, TST_INFO, "", where, "%s's TSTInfo holds more than a timestamp needs" % where)


def same_signer(outer: x509.Certificate, inner: x509.Certificate) -> bool:
    """A nested signature is the publisher's own only by the same certificate
    or the same key: a name anyone may put in a certificate of their own."""
    return inner.dump() == outer.dump() or inner.public_key.dump() == outer.public_key.dump()
