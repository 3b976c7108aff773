"""Reads an Authenticode signature (DER PKCS#7) by asn1crypto's named
structures into records that are judged as they are made: a Signature is
never handed out before signature_rules has found it to hold only what
signature_table declares. Whatever cannot be read is Unreadable, whatever
breaks a rule Refused (both a Refusal, naming the part)."""
import datetime
from dataclasses import dataclass, field
from typing import List, Optional

from asn1crypto import algos, cms, core, parser, tsp, x509

from verify.signature_table import (COUNTERSIGNATURE, LIMIT_SIGNATURE, NESTED, SIGNER_ATTRIBUTE,
                                    SPC_INDIRECT_DATA, TIMESTAMP_TOKEN, Refusal, SignerAttribute,
                                    unnamed_fields)


class Unreadable(Refusal):
    """It cannot be read as the structure it must be."""

    def __init__(self, words: str, part: str = "its signature"):
        super().__init__(part, words)


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


@dataclass
class Timestamp:
    """An RFC 3161 token, or a legacy countersignature (a SignerInfo)."""
    kind: str
    time: datetime.datetime
    imprint_algorithm: algos.DigestAlgorithm
    imprint: bytes
    signer: cms.SignerInfo
    certificates: List[x509.Certificate]
    token: Optional[bytes] = None
    signed_data: Optional[cms.SignedData] = None
    tst_info: Optional[tsp.TSTInfo] = None
    attribute_certificates: List[cms.AttributeCertificateV2] = field(default_factory=list)


@dataclass
class Signature:
    der: bytes
    signed_data: cms.SignedData
    signer: cms.SignerInfo
    certificates: List[x509.Certificate]
    content_type: str
    indirect: Optional[SpcIndirectDataContent]
    unsigned: List[cms.CMSAttribute]
    timestamps: List[Timestamp] = field(default_factory=list)
    nested: List[bytes] = field(default_factory=list)  # the DER of each nested signature

    @property
    def digest_algorithm(self) -> algos.DigestAlgorithm:
        return self.indirect["message_digest"]["digest_algorithm"]

    @property
    def digest(self) -> bytes:
        return self.indirect["message_digest"]["digest"].native

    @property
    def signed_content(self) -> bytes:
        """What messageDigest digests: the content without its tag and length."""
        return self.indirect.contents

    def detached(self) -> bytes:
        """As id-data with detached content: OpenSSL 3.0 checks no SEQUENCE content."""
        info = cms.ContentInfo.load(self.der)
        info["content"]["encap_content_info"] = cms.ContentInfo({"content_type": "data"})
        return info.dump()


def loaded(structure, der: bytes, what: str):
    try:
        value = structure.load(der, strict=True)
        extra = unnamed_fields(value)
    except Exception:  # asn1crypto raises many kinds on malformed input
        raise Unreadable("%s cannot be read" % what) from None
    if extra:
        raise Unreadable("%s holds fields that its structure does not name" % what)
    return value


def certificates_of(signed_data: cms.SignedData, what: str,
                    attributes: Optional[list] = None) -> List[x509.Certificate]:
    """The X.509 certificates; attribute certificates (v2) go into attributes
    where one may stand (a timestamp token), else they refuse."""
    found = []
    for choice in signed_data["certificates"] or []:
        if choice.name == "v2_attr_cert" and attributes is not None:
            attributes.append(choice.chosen)
        elif choice.name != "certificate":
            raise Unreadable("%s carries a certificate of another kind than X.509%s" % (
                what, " or a version 2 attribute certificate" if attributes is not None else ""))
        else:
            found.append(choice.chosen)
    return found


def only_signer(signed_data: cms.SignedData, what: str) -> cms.SignerInfo:
    signers = signed_data["signer_infos"]
    if len(signers) != 1:
        raise Unreadable("a second signer: %s holds %d signers; Authenticode allows one"
                         % (what, len(signers)) if len(signers) > 1 else "%s has no signer" % what)
    return signers[0]


def read_signature(der: bytes, outer: bool = True) -> Signature:
    """The signature, read and judged by every rule of what it may hold
    (outer: it is not itself nested in another); raises a Refusal."""
    found = read_parts(der)
    # The rules judge this module's records, so they are imported once those exist.
    from verify import signature_rules
    try:
        signature_rules.check(found, outer)
    except (ValueError, TypeError, KeyError):  # a field asn1crypto reads only when asked
        raise Unreadable("its signature cannot be read as an Authenticode signature") from None
    return found


def read_parts(der: bytes) -> Signature:
    if len(der) > LIMIT_SIGNATURE:  # the cheapest bound, before anything is parsed
        raise Unreadable("its signature is %d bytes; a genuine one with its chains and a "
                         "timestamp is a few KiB, and none over %d bytes is accepted" % (
                             len(der), LIMIT_SIGNATURE))
    try:
        info = cms.ContentInfo.load(der, strict=True)
        if info["content_type"].native != "signed_data":
            raise Unreadable("its signature is no PKCS#7 signed-data")
        signed = info["content"]
        content_type = signed["encap_content_info"]["content_type"].dotted
        if content_type != SPC_INDIRECT_DATA:
            raise Unreadable("its signature signs content of the type %s, not Authenticode's "
                             "SpcIndirectData" % content_type)
        signer = only_signer(signed, "the signature")
        found = Signature(der, signed, signer, certificates_of(signed, "the signature"),
                          content_type, indirect_data(signed),
                          list(signer["unsigned_attrs"] or []))
        for attribute in found.unsigned:
            kind = attribute["type"].dotted
            if kind in (TIMESTAMP_TOKEN, COUNTERSIGNATURE):
                found.timestamps += [read_timestamp(kind, value, found.certificates)
                                     for value in attribute["values"]]
            elif kind == NESTED:
                found.nested += [value.dump() for value in attribute["values"]]
        return found
    except Unreadable:
        raise
    except Exception:  # a field the reader touched that does not parse
        raise Unreadable("its signature cannot be read as an Authenticode signature") from None


def indirect_data(signed: cms.SignedData) -> Optional[SpcIndirectDataContent]:
    encapsulated = signed["encap_content_info"]
    if encapsulated["content_type"].dotted != SPC_INDIRECT_DATA:
        return None
    # Stored under its [0] tag: what is signed lies within.
    wrapped = parser.parse(encapsulated["content"].dump(), strict=True)[4]
    return loaded(SpcIndirectDataContent, wrapped, "its signed content")


def read_timestamp(kind: str, value, certificates: List[x509.Certificate]) -> Timestamp:
    if kind == COUNTERSIGNATURE:
        counter = loaded(cms.SignerInfo, value.dump(), "a countersignature")
        attributes = {a["type"].native: a["values"] for a in counter["signed_attrs"] or []}
        if "message_digest" not in attributes or "signing_time" not in attributes:
            raise Unreadable("a countersignature that cannot be read (it lacks its digest or "
                             "its time)")
        return Timestamp("an Authenticode countersignature", parsed_time(
            attributes["signing_time"][0]), counter["digest_algorithm"],
            attributes["message_digest"][0].native, counter, certificates)
    token = value.dump()
    try:
        info = cms.ContentInfo.load(token, strict=True)
        signed_data = info["content_type"].native == "signed_data"
    except Exception:  # asn1crypto raises many kinds on malformed input
        raise Unreadable("a timestamp token cannot be read") from None
    signed = info["content"] if signed_data else None
    if not signed_data or signed["encap_content_info"]["content_type"].native != "tst_info":
        raise Unreadable("a timestamp that covers another signature: the attribute holds no "
                         "timestamp")
    octets = signed["encap_content_info"]["content"].contents
    try:
        when = tsp.TSTInfo.load(octets, strict=True)["gen_time"]
    except Exception:  # asn1crypto raises many kinds on malformed input
        raise Unreadable("a timestamp's TSTInfo cannot be read") from None
    when = parsed_time(when)
    tst_info = loaded(tsp.TSTInfo, octets, "a timestamp's TSTInfo")
    loaded(cms.ContentInfo, token, "a timestamp token")
    imprint = tst_info["message_imprint"]
    attribute_certificates = []
    signer = only_signer(signed, "a timestamp token")
    certificates = certificates_of(signed, "a timestamp token", attribute_certificates)
    for attribute in signer["signed_attrs"] or []:
        if attribute["type"].dotted == SIGNER_ATTRIBUTE:
            attribute_certificates += [
                choice.chosen for value in attribute["values"] for choice in loaded(
                    SignerAttribute, value.dump(), "a timestamp token's signer attributes")]
    return Timestamp("RFC 3161", when,
                     imprint["hash_algorithm"], imprint["hashed_message"].native, signer,
                     certificates, token, signed, tst_info, attribute_certificates)


def parsed_time(value) -> datetime.datetime:
    try:
        when = value.native
    except Exception:  # asn1crypto's own words name no field a user knows
        when = None
    if not isinstance(when, datetime.datetime):
        raise Unreadable("a timestamp whose time cannot be read")
    return when
