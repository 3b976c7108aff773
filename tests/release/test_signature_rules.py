"""The signature reader and its structure rules, on signatures built here
with asn1crypto from their parts (no key: the rules judge structure, not
cryptography, which the hostile table covers end to end)."""
import datetime
import hashlib
import unittest

from asn1crypto import algos, cms, core, tsp, x509

from verify import signature_rules
from verify.signature_reader import SPC_INDIRECT_DATA, SpcIndirectDataContent, Unreadable, read_signature

VALUE = b"signature value"
SHA256 = {"algorithm": "sha256"}


def attribute(kind, *values):
    return cms.CMSAttribute.load(core.Sequence(contents=core.ObjectIdentifier(kind).dump()
                                               + core.Set(contents=b"".join(
                                                   v.dump() for v in values)).dump()).dump())


def signer(unsigned=(), digest=SHA256, content_type=SPC_INDIRECT_DATA, opus=b"", extra=()):
    signed = [attribute("1.2.840.113549.1.9.3", core.ObjectIdentifier(content_type)),
              attribute("1.2.840.113549.1.9.4", core.OctetString(bytes(32)))] + list(extra)
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


WHEN = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
TSA = cms.Name.build({"common_name": "TSA"})


def time_metrics(holder=None, issuer_names=1, leap=False, extra=None):
    """A timing-metrics attribute certificate of the form Microsoft's time
    servers write; holder, the holder's fields in its place."""
    big = lambda seconds: {"major": seconds, "fractional_seconds": 0}
    metrics = {"ntp_time": big(3976000000), "offset": big(0), "delay": big(0),
               "expiration": big(3976086400)}
    if leap:
        metrics["leap_event"] = [{"leap_time": {"major": 0, "fractional_seconds": 0,
                                                "sign": 1}, "action": 1}] * 40
    attributes = [{"type": "timing_metrics", "values": [metrics]}] + ([extra] if extra else [])
    name = x509.GeneralName(name="directory_name", value=TSA)
    return cms.AttributeCertificateV2({"ac_info": {
        "version": "v2",
        "holder": holder or {"entity_name": [name], "object_digest_info": {
            "digested_object_type": "public_key_cert", "digest_algorithm": {"algorithm": "sha1"},
            "object_digest": bytes(20)}},
        "issuer": cms.AttCertIssuer(name="v2_form", value={"issuer_name": [name] * issuer_names}),
        "signature": {"algorithm": "sha256_rsa"}, "serial_number": 5,
        "att_cert_validity_period": {"not_before_time": WHEN, "not_after_time": WHEN},
        "attributes": attributes},
        "signature_algorithm": {"algorithm": "sha256_rsa"}, "signature": bytes(256)})


def token(certificate=None):
    """An RFC 3161 token of VALUE, its signature bytes of no key, carrying an
    attribute certificate."""
    info = tsp.TSTInfo({"version": "v1", "policy": "1.2.3.4", "message_imprint": {
        "hash_algorithm": SHA256, "hashed_message": hashlib.sha256(VALUE).digest()},
        "serial_number": 9, "gen_time": WHEN})
    token_signer = cms.SignerInfo({
        "version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
            "issuer": TSA, "serial_number": 3}}), "digest_algorithm": SHA256,
        "signed_attrs": [attribute("1.2.840.113549.1.9.3", core.ObjectIdentifier(
            "1.2.840.113549.1.9.16.1.4")), attribute("1.2.840.113549.1.9.4", core.OctetString(
                bytes(32)))],
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": b"x"})
    signed = {"version": "v3", "digest_algorithms": [SHA256], "encap_content_info": {
        "content_type": "tst_info", "content": core.ParsableOctetString(info.dump())},
        "signer_infos": [token_signer]}
    if certificate is not None:
        signed["certificates"] = [cms.CertificateChoices(name="v2_attr_cert",
                                                         value=certificate)]
    return cms.ContentInfo({"content_type": "signed_data", "content": cms.SignedData(signed)})


def with_token(certificate=None):
    return signature(signer([attribute("1.3.6.1.4.1.311.3.3.1", token(certificate))]))


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
                 "its signature holds the nested signature attribute with 0 values; it holds 1 "
                 "to 3"),
                ("a timestamp attribute with no value", signature(signer([attribute(
                    "1.3.6.1.4.1.311.3.3.1")])),
                 "its signature holds the RFC 3161 timestamp attribute with 0 values; it holds "
                 "exactly one"),
                ("a countersignature of this signature", signature(signer([attribute(
                    "1.2.840.113549.1.9.6", countersignature(mine))])), None),
                ("a countersignature of another", signature(signer([attribute(
                    "1.2.840.113549.1.9.6", countersignature(bytes(32)))])),
                 "a timestamp that covers another signature"),
                ("two timestamps", signature(signer([attribute(
                    "1.2.840.113549.1.9.6", countersignature(mine))] * 2)),
                 "its signature holds the countersignature attribute 2 times; it may appear "
                 "once"),
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

    def test_what_a_signature_may_hold(self):
        """Each attribute as often as the table allows, its value of its type
        within its bound; every field of the timing metrics declared."""
        signed = lambda *extra: signature(signer(extra=extra))
        time = attribute("1.2.840.113549.1.9.5", core.UTCTime(WHEN))
        binary_id = lambda digits: attribute("1.3.6.1.4.1.311.10.3.28", core.UTF8String(digits))
        capabilities = lambda *oids: attribute("1.2.840.113549.1.9.15", cms.SMIMECapabilites(
            [{"capability_id": oid} for oid in oids]))
        name = x509.GeneralName(name="directory_name", value=TSA)
        issuer_serial = {"issuer": [name], "serial": 3, "issuer_uid": core.OctetBitString(
            bytes(700))}
        metrics = "the timestamp token's attribute certificate holds more than a time " \
                  "server's timing metrics and policy: "
        for title, der, want in (
                ("two signing times", signed(time, time),
                 "its signer holds the signing time attribute 2 times; it may appear once"),
                ("two capability lists", signed(*[capabilities("aes256_cbc")] * 2),
                 "its signer holds the S/MIME capabilities attribute 2 times; it may appear "
                 "once"),
                ("a capability that is no algorithm", signed(capabilities("aes256_cbc",
                                                                          "1.2.3.4.5.6.7.8")),
                 "its signer: the value of its S/MIME capabilities attribute names "
                 "1.2.3.4.5.6.7.8, which is no algorithm"),
                ("a SHA-512 binary ID", signed(binary_id("aB" * 64)), None),
                ("an empty binary ID", signed(binary_id("")), "its signer: the value of its "
                 "platform manifest binary ID attribute is not a digest in hexadecimal (1 to "
                 "128 hexadecimal digits)"),
                ("a binary ID of 129 digits", signed(binary_id("a" * 129)), "its signer: the "
                 "value of its platform manifest binary ID attribute is 129 bytes, 128 at most"),
                ("a sequence number of five bytes", signed(attribute(
                    "1.2.840.113549.1.9.25.4", core.Integer(1 << 32))),
                 "its signer: the value of its sequence number attribute is 5 bytes, 4 at most"),
                ("an unknown signed attribute", signed(attribute("1.2.3.4", core.Null())),
                 "its signer holds the signed attribute 1.2.3.4, which no signer of a release "
                 "writes"),
                ("timing metrics as a time server writes them", with_token(time_metrics()),
                 None),
                ("a leap event", with_token(time_metrics(leap=True)), metrics +
                 "it holds ac_info.attributes[0].leap_event, which nothing declares"),
                ("an issuer unique ID in the holder", with_token(time_metrics(holder={
                    "base_certificate_id": issuer_serial, "entity_name": [name]})), metrics +
                 "it holds ac_info.holder.base_certificate_id.issuer_uid, which nothing "
                 "declares"),
                ("a dozen issuer names", with_token(time_metrics(issuer_names=12)), metrics +
                 "its ac_info.issuer.issuer_name is not one directory name"),
                ("a holder by name only", with_token(time_metrics(holder={
                    "entity_name": [name]})), "the timestamp token's attribute certificate "
                 "names its holder otherwise than by one name and its certificate"),
                ("timing metrics twice", with_token(time_metrics(extra={
                    "type": "timing_metrics", "values": [time_metrics()["ac_info"][
                        "attributes"][0]["values"][0]]})), metrics +
                 "its ac_info.attributes[1] is 1.3.6.1.4.1.601.10.4.1, a second time")):
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
