"""The signature reader and its structure rules, on signatures built here
with asn1crypto from their parts (no key: the rules judge structure, not
cryptography, which the hostile table covers end to end)."""
import hashlib
import unittest

from asn1crypto import algos, cms, core

from verify import signature_rules
from verify.signature_reader import SPC_INDIRECT_DATA, SpcIndirectDataContent, Unreadable, read_signature

VALUE = b"signature value"
SHA256 = {"algorithm": "sha256"}


def attribute(kind, *values):
    return cms.CMSAttribute.load(core.Sequence(contents=core.ObjectIdentifier(kind).dump()
                                               + core.Set(contents=b"".join(
                                                   v.dump() for v in values)).dump()).dump())


def signer(unsigned=(), digest=SHA256, content_type=SPC_INDIRECT_DATA, opus=b""):
    signed = [attribute("1.2.840.113549.1.9.3", core.ObjectIdentifier(content_type)),
              attribute("1.2.840.113549.1.9.4", core.OctetString(bytes(32)))]
    if opus:
        signed.append(attribute("1.3.6.1.4.1.311.2.1.12", core.OctetString(opus)))
    fields = {"version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
        "issuer": cms.Name.build({"common_name": "CA"}), "serial_number": 1}}),
        "digest_algorithm": digest, "signed_attrs": signed,
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": VALUE}
    if unsigned:
        fields["unsigned_attrs"] = list(unsigned)
    return cms.SignerInfo(fields)


def signature(*signers, crls=None):
    indirect = SpcIndirectDataContent({"data": {"type": "1.3.6.1.4.1.311.2.1.15"},
                                       "message_digest": {"digest_algorithm": SHA256,
                                                          "digest": bytes(32)}})
    content = cms.ContentInfo.load(core.Sequence(contents=core.ObjectIdentifier(
        SPC_INDIRECT_DATA).dump() + core.Sequence(contents=indirect.contents, explicit=0).dump())
                                               .dump())
    fields = {"version": "v1", "digest_algorithms": [SHA256], "encap_content_info": content,
              "signer_infos": list(signers)}
    if crls:
        fields["crls"] = crls
    return cms.ContentInfo({"content_type": "signed_data", "content": cms.SignedData(fields)}
                           ).dump()


def countersignature(digest):
    return cms.SignerInfo({
        "version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
            "issuer": cms.Name.build({"common_name": "TSA"}), "serial_number": 2}}),
        "digest_algorithm": SHA256, "signed_attrs": [
            attribute("1.2.840.113549.1.9.4", core.OctetString(digest)),
            attribute("1.2.840.113549.1.9.5", core.UTCTime("231114221320Z"))],
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": b"x"})


def judged(der):
    try:
        return signature_rules.problem(read_signature(der))
    except Unreadable as error:
        return str(error)


def with_extra_field(der):
    """der with an element its signer's structure does not name."""
    info = cms.ContentInfo.load(der)
    raw = info["content"]["signer_infos"][0].dump()
    body = core.Sequence.load(raw).contents + core.OctetString(b"ride").dump()
    info["content"]["signer_infos"] = cms.SignerInfos([cms.SignerInfo.load(
        core.Sequence(contents=body).dump())])
    return cms.ContentInfo({"content_type": "signed_data", "content": info["content"]}).dump()


class Rules(unittest.TestCase):
    def test_verdicts(self):
        mine = hashlib.sha256(VALUE).digest()
        md5 = {"algorithm": "md5"}
        for title, der, want in (
                ("one signer", signature(signer()), None),
                ("two signers", signature(signer(), signer()),
                 "a second signer: the signature holds 2 signers; Authenticode allows one"),
                ("none", signature(), "the signature has no signer"),
                ("an unknown unsigned attribute", signature(signer([attribute(
                    "1.2.3.4", core.OctetString(bytes(300)))])),
                 "an unsigned attribute of 317 bytes, which is no timestamp"),
                ("a nested signature attribute with no value", signature(signer([attribute(
                    "1.3.6.1.4.1.311.2.4.1")])),
                 "a nested signature attribute with 0 values; a publisher nests 3 at most"),
                ("a timestamp attribute with no value", signature(signer([attribute(
                    "1.3.6.1.4.1.311.3.3.1")])),
                 "an unsigned timestamp attribute with 0 values; it holds exactly one"),
                ("a countersignature of this signature", signature(signer([attribute(
                    "1.2.840.113549.1.9.6", countersignature(mine))])), None),
                ("a countersignature of another", signature(signer([attribute(
                    "1.2.840.113549.1.9.6", countersignature(bytes(32)))])),
                 "a timestamp that covers another signature"),
                ("two timestamps", signature(signer([attribute(
                    "1.2.840.113549.1.9.6", countersignature(mine))] * 2)),
                 "2 unsigned attributes; a signature holds one timestamp at most"),
                ("signed attributes digested with MD5", signature(signer(digest=md5)),
                 "its signer is digested with MD5, which Windows refuses"),
                ("a digest algorithm with parameters", signature(signer(
                    digest=algos.DigestAlgorithm.load(core.Sequence(contents=core.ObjectIdentifier(
                        "2.16.840.1.101.3.4.2.1").dump() + core.OctetString(b"ride").dump()).dump()))),
                 "its signer: its digest algorithm carries parameters, which SHA-1 and SHA-2 "
                 "have none of"),
                ("content of another type", signature(signer(content_type="1.2.840.113549.1.7.1")),
                 "its signer's content type is 1.2.840.113549.1.7.1, not Authenticode's "
                 "SpcIndirectData"),
                ("a revocation list", signature(signer(), crls=cms.RevocationInfoChoices([
                    cms.RevocationInfoChoice({"other": {"other_rev_info_format": "1.2.3.4",
                                                        "other_rev_info": core.Null()}})])),
                 "its signature carries certificate revocation lists; a release's carries none"),
                ("a field no structure names", with_extra_field(signature(signer())),
                 "its signature holds bytes outside the structures it is defined by (fields "
                 "they do not name)"),
                ("40 KiB in a signed attribute", signature(signer(opus=bytes(40 << 10))),
                 "its signature is 41268 bytes; a genuine one with its chains and a timestamp "
                 "is a few KiB, and none over 32768 bytes is accepted"),
                ("not DER at all", b"\x30\x03\x02\x01", "its signature cannot be read as an "
                                                        "Authenticode signature")):
            with self.subTest(title):
                self.assertEqual(judged(der), want)

    def test_no_signature_nested_in_a_nested_one(self):
        # The judgement walks one level: a deeper signature would go unjudged.
        nested = signature(signer([attribute("1.3.6.1.4.1.311.2.4.1", cms.ContentInfo.load(
            signature(signer())))]))
        self.assertIsNone(signature_rules.problem(read_signature(nested)))
        self.assertEqual(signature_rules.problem(read_signature(nested), outer=False),
                         "a nested signature within a nested signature")


if __name__ == "__main__":
    unittest.main()
