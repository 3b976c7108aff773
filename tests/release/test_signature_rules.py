"""The signature reader and its structure rules, on signatures built here
with asn1crypto from their parts (no key: the rules judge structure, not
cryptography, which the hostile table covers end to end)."""
import datetime
import hashlib
import unittest

from asn1crypto import algos, cms, core, tsp, x509

from verify import signature_table as table
from verify.signature_reader import SPC_INDIRECT_DATA, SpcIndirectDataContent, read_signature

VALUE = b"signature value"
SHA256 = {"algorithm": "sha256"}


def attribute(kind, *values):
    return cms.CMSAttribute.load(core.Sequence(contents=core.ObjectIdentifier(kind).dump()
                                               + core.Set(contents=b"".join(
                                                   v.dump() for v in values)).dump()).dump())


def signer(unsigned=(), digest=SHA256, content_type=SPC_INDIRECT_DATA, opus=b"", extra=(),
           omit=()):
    signed = [attribute("1.2.840.113549.1.9.3", core.ObjectIdentifier(content_type)),
              attribute("1.2.840.113549.1.9.4", core.OctetString(bytes(32)))]
    signed = [a for a in signed if a["type"].dotted not in omit] + list(extra)
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


def countersignature(digest, extra=(), omit=()):
    return cms.SignerInfo({
        "version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
            "issuer": cms.Name.build({"common_name": "TSA"}), "serial_number": 2}}),
        "digest_algorithm": SHA256, "signed_attrs": [a for a in (
            attribute("1.2.840.113549.1.9.4", core.OctetString(digest)),
            attribute("1.2.840.113549.1.9.5", core.UTCTime("231114221320Z")))
            if a["type"].dotted not in omit] + list(extra),
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": b"x"})


WHEN = datetime.datetime(2026, 1, 2, 3, 4, 5, tzinfo=datetime.timezone.utc)
TSA = cms.Name.build({"common_name": "TSA"})


def time_metrics(holder=None, issuer_names=1, leap=False, extra=None, change=None):
    """A timing-metrics attribute certificate of the form Microsoft's time
    servers write; holder, the holder's fields in its place; change, a
    function that changes its ac_info."""
    big = lambda seconds: {"major": seconds, "fractional_seconds": 0}
    metrics = {"ntp_time": big(3976000000), "offset": dict(big(0), sign=-1), "delay": big(0),
               "expiration": big(3976086400)}
    if leap:
        metrics["leap_event"] = [{"leap_time": {"major": 0, "fractional_seconds": 0,
                                                "sign": 1}, "action": 1}] * 40
    attributes = [{"type": "timing_metrics", "values": [metrics]}] + ([extra] if extra else [])
    name = x509.GeneralName(name="directory_name", value=TSA)
    made = cms.AttributeCertificateV2({"ac_info": {
        "version": "v2",
        "holder": holder or {"entity_name": [name], "object_digest_info": {
            "digested_object_type": "public_key_cert", "digest_algorithm": {"algorithm": "sha1"},
            "object_digest": bytes(20)}},
        "issuer": cms.AttCertIssuer(name="v2_form", value={"issuer_name": [name] * issuer_names}),
        "signature": {"algorithm": "sha256_rsa"}, "serial_number": 5,
        "att_cert_validity_period": {"not_before_time": WHEN, "not_after_time": WHEN},
        "attributes": attributes},
        "signature_algorithm": {"algorithm": "sha256_rsa"}, "signature": bytes(256)})
    if change:
        info = made["ac_info"]
        change(info)
        made["ac_info"] = info
    return cms.AttributeCertificateV2.load(made.dump(force=True))


def token(certificate=None, extra=(), change=None, omit=()):
    """An RFC 3161 token of VALUE, its signature bytes of no key, carrying an
    attribute certificate; extra, signed attributes added."""
    info = tsp.TSTInfo({"version": "v1", "policy": "1.2.3.4", "message_imprint": {
        "hash_algorithm": SHA256, "hashed_message": hashlib.sha256(VALUE).digest()},
        "serial_number": 9, "gen_time": WHEN})
    if change:
        change(info)
    token_signer = cms.SignerInfo({
        "version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
            "issuer": TSA, "serial_number": 3}}), "digest_algorithm": SHA256,
        "signed_attrs": [a for a in (attribute("1.2.840.113549.1.9.3", core.ObjectIdentifier(
            "1.2.840.113549.1.9.16.1.4")), attribute("1.2.840.113549.1.9.4", core.OctetString(
                bytes(32)))) if a["type"].dotted not in omit] + list(extra),
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": b"x"})
    signed = {"version": "v3", "digest_algorithms": [SHA256], "encap_content_info": {
        "content_type": "tst_info", "content": core.ParsableOctetString(info.dump())},
        "signer_infos": [token_signer]}
    if certificate is not None:
        signed["certificates"] = [cms.CertificateChoices(name="v2_attr_cert",
                                                         value=certificate)]
    return cms.ContentInfo({"content_type": "signed_data", "content": cms.SignedData(signed)})


def with_token(certificate=None, extra=(), change=None, omit=()):
    return signature(signer([attribute("1.3.6.1.4.1.311.3.3.1", token(certificate, extra,
                                                                      change, omit))]))


def dict_set(value, key, new):
    value[key] = new
    return value


def setting(**fields):
    """A change that sets fields (a dotted path: a value) of a structure."""
    def change(value):
        for path, new in fields.items():
            *parents, last = path.split("__")
            node = value
            for parent in parents:
                node = node[parent]
            node[last] = new
    return change


# A value of each signed attribute's kind as its signer writes it.
SAMPLES = {
    "1.2.840.113549.1.9.3": core.ObjectIdentifier("1.3.6.1.4.1.311.2.1.4"),
    "1.2.840.113549.1.9.4": core.OctetString(bytes(32)),
    "1.2.840.113549.1.9.5": core.UTCTime("231114221320Z"),
    "1.2.840.113549.1.9.52": cms.CMSAlgorithmProtection({
        "digest_algorithm": SHA256, "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}}),
    "1.3.6.1.4.1.311.2.1.11": table.SpcStatementType(["1.3.6.1.4.1.311.2.1.21"]),
    "1.3.6.1.4.1.311.2.1.12": core.Sequence(contents=b""),
    "1.2.840.113549.1.9.15": cms.SMIMECapabilites([{"capability_id": "aes256_cbc"}]),
    "1.3.6.1.4.1.311.10.3.28": core.UTF8String("ab" * 32),
    "1.2.840.113549.1.9.25.4": core.Integer(1),
    "1.2.840.113549.1.9.16.2.12": tsp.SigningCertificate({"certs": [{
        "cert_hash": bytes(20)}]}),
    "1.2.840.113549.1.9.16.2.47": tsp.SigningCertificateV2({"certs": [{
        "cert_hash": bytes(32)}]}),
    "1.2.840.113549.1.9.16.2.15": core.Null(),
    "1.2.840.113549.1.9.16.2.18": table.SignerAttribute([table.CertifiedAttributes(
        name="certified_attributes", value=time_metrics())]),
}
# Values of each kind's own type, but larger than any signer writes.
LONG_OID = "1.2." + ".".join(["99999"] * 900)
OVERSIZED = {
    "1.2.840.113549.1.9.3": core.ObjectIdentifier(LONG_OID),
    "1.2.840.113549.1.9.5": core.GeneralizedTime(contents=b"20200101000000." + b"0" * 3985
                                                 + b"Z"),
    "1.3.6.1.4.1.311.2.1.11": table.SpcStatementType(["1.3.6.1.4.1.311.2.1.21"] * 400),
    "1.3.6.1.4.1.311.2.1.12": core.Sequence(contents=core.Asn1Value(
        class_="context", tag=0, method=1, contents=core.BMPString("x" * 2000).untag().dump()
        .replace(b"\x1e", b"\x80", 1)).dump()),
    "1.2.840.113549.1.9.15": cms.SMIMECapabilites([{"capability_id": "aes256_cbc"}] * 400),
    "1.2.840.113549.1.9.16.2.12": tsp.SigningCertificate({"certs": [{
        "cert_hash": bytes(20)}] * 200}),
    "1.2.840.113549.1.9.16.2.47": tsp.SigningCertificateV2({"certs": [{
        "cert_hash": bytes(32)}] * 200}),
}
# Where a place's signer writes another value of the kind: what it signs.
SAMPLES_AT = {
    (table.TOKEN, "1.2.840.113549.1.9.3"): core.ObjectIdentifier("1.2.840.113549.1.9.16.1.4"),
    (table.COUNTERSIGNER, "1.2.840.113549.1.9.3"): core.ObjectIdentifier("1.2.840.113549.1.7.1"),
    (table.COUNTERSIGNER, "1.2.840.113549.1.9.4"): core.OctetString(
        hashlib.sha256(VALUE).digest())}
# The attributes each place's builder writes itself.
WRITTEN = {table.SIGNER: ("1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"),
           table.TOKEN: ("1.2.840.113549.1.9.3", "1.2.840.113549.1.9.4"),
           table.COUNTERSIGNER: ("1.2.840.113549.1.9.4", "1.2.840.113549.1.9.5")}


def placed(place, *extra, omit=()):
    """A signature whose signed attributes at place hold extra beside what
    that place's builder writes, but for the kinds in omit."""
    if place == table.SIGNER:
        return signature(signer(extra=extra, omit=omit))
    if place == table.TOKEN:
        return with_token(extra=extra, omit=omit)
    return signature(signer([attribute("1.2.840.113549.1.9.6", countersignature(
        hashlib.sha256(VALUE).digest(), extra, omit))]))


def judged(der, outer=True):
    try:
        read_signature(der, outer)
    except table.Refusal as refusal:
        return str(refusal)
    return None


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
                 "its signer: the value of its content type attribute is 1.2.840.113549.1.7.1, "
                 "not Authenticode's SpcIndirectData"),
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

    def test_every_signed_attribute_row(self):
        """Each row's value as its signer writes it is taken; twice, of another
        type, or with 4 KiB in it, it is refused."""
        for row in table.ATTRIBUTES:
            if row.place == table.UNSIGNED:
                continue
            sample = attribute(row.kind, SAMPLES_AT.get((row.place, row.kind),
                                                        SAMPLES[row.kind]))
            extra = () if row.kind in WRITTEN[row.place] else (sample,)
            with self.subTest(row.place + " " + row.name):
                self.assertIsNone(judged(placed(row.place, *extra)))
                for how, attributes in (
                        ("twice", extra + (sample,)),
                        ("another type", (attribute(row.kind, core.Boolean(True)),)),
                        ("4 KiB", (attribute(row.kind, OVERSIZED.get(
                            row.kind, core.OctetString(bytes(4096)))),))):
                    if row.kind in WRITTEN[row.place] and how != "twice":
                        continue  # its builder's own value already stands once
                    self.assertIsNotNone(judged(placed(row.place, *attributes)), how)
                if row.kind in WRITTEN[row.place] and row.place != table.COUNTERSIGNER:
                    # CMS asks for both in every signer's attributes; the
                    # reader needs a countersignature's two to read it at all.
                    self.assertRegex(judged(placed(row.place, omit=(row.kind,))),
                                     "lacks its %s attribute" % row.name, "omitted")
                if row.kind in OVERSIZED and row.kind not in WRITTEN[row.place]:
                    self.assertRegex(judged(placed(row.place, attribute(
                        row.kind, OVERSIZED[row.kind]))), r"attribute is \d+ bytes, \d+ at most")

    def test_near_misses(self):
        """One field of a form a signer writes, changed to carry bytes or a
        meaning no signer gives it: each refused, its part named."""
        name = x509.GeneralName(name="directory_name", value=TSA)
        big = 1 << 200
        ntp = {"major": big, "fractional_seconds": 0}
        serial = lambda **fields: {"base_certificate_id": dict(
            {"issuer": [name], "serial": 3}, **fields), "entity_name": [name]}
        countersigned = lambda der: signature(signer(list(cms.ContentInfo.load(der)["content"][
            "signer_infos"][0]["unsigned_attrs"]) + [attribute(
                "1.2.840.113549.1.9.6", countersignature(hashlib.sha256(VALUE).digest()))]))
        nested = attribute("1.3.6.1.4.1.311.2.4.1", cms.ContentInfo.load(signature(signer())))
        for title, der, words in (
                ("an attribute certificate of version 1",
                 with_token(time_metrics(change=setting(version="v1"))), "version is none"),
                ("a dozen issuer names in the holder", with_token(time_metrics(holder=serial(
                    issuer=[name] * 12))), "base_certificate_id.issuer is not one"),
                ("a holder's serial number of 201 bits", with_token(time_metrics(
                    holder=serial(serial=big))), "base_certificate_id.serial is a number"),
                ("two names for the holder", with_token(time_metrics(holder={
                    "entity_name": [name] * 2, "base_certificate_id": serial()[
                        "base_certificate_id"]})), "holder.entity_name is not one"),
                ("a holder's digest of 700 bytes", with_token(time_metrics(holder={
                    "entity_name": [name], "object_digest_info": {
                        "digested_object_type": "public_key", "digest_algorithm": SHA256,
                        "object_digest": bytes(700)}})), "object_digest is more than"),
                ("a holder's digest of another object", with_token(time_metrics(holder={
                    "entity_name": [name], "object_digest_info": {
                        "digested_object_type": "other_objy_types",
                        "digest_algorithm": SHA256, "object_digest": bytes(32)}})),
                 "digested_object_type is none of"),
                ("a holder of no name", with_token(time_metrics(holder={
                    "base_certificate_id": serial()["base_certificate_id"]})),
                 "it lacks ac_info.holder.entity_name"),
                ("a holder's digest of another object type", with_token(time_metrics(holder={
                    "entity_name": [name], "object_digest_info": {
                        "digested_object_type": "public_key", "other_object_type_id": "1.2.3",
                        "digest_algorithm": SHA256, "object_digest": bytes(32)}})),
                 "object_digest_info.other_object_type_id, which nothing declares"),
                ("a holder's digest by MD5", with_token(time_metrics(holder={
                    "entity_name": [name], "object_digest_info": {
                        "digested_object_type": "public_key", "digest_algorithm": {
                            "algorithm": "md5"}, "object_digest": bytes(16)}})),
                 "object_digest_info.digest_algorithm is not SHA-1 or SHA-2"),
                ("an issuer named by digest too", with_token(time_metrics(change=setting(
                    issuer=cms.AttCertIssuer(name="v2_form", value={
                        "issuer_name": [name], "object_digest_info": {
                        "digested_object_type": "public_key", "digest_algorithm": SHA256,
                        "object_digest": bytes(32)}})))), "issuer.object_digest_info, which"),
                ("an issuer without its name", with_token(time_metrics(change=setting(
                    issuer=cms.AttCertIssuer.load(b"\xa0\x00")))),
                 "it lacks ac_info.issuer.issuer_name"),
                ("an extension", with_token(time_metrics(change=setting(extensions=[{
                    "extn_id": "1.2.3.4", "extn_value": b"x"}]))),
                 "ac_info.extensions, which nothing declares"),
                ("a signature value of 700 bytes", with_token(cms.AttributeCertificateV2.load(
                    dict_set(time_metrics(), "signature", core.OctetBitString(bytes(700)))
                    .dump(force=True))), "its signature is more than 512 bytes"),
                ("an NTP fraction of 201 bits", with_token(time_metrics(extra={
                    "type": "timing_policy", "values": [{"policy_id": ["1.2.3"], "max_delay": {
                        "major": 0, "fractional_seconds": big}}]})),
                 "max_delay.fractional_seconds is a number"),
                ("an NTP time's sign", with_token(time_metrics(extra={
                    "type": "timing_policy", "values": [{"policy_id": ["1.2.3"], "max_delay": {
                        "major": 0, "fractional_seconds": 0, "sign": 1 << 200}}]})),
                 "max_delay.sign is not -1 or 1"),
                ("a timing policy of 40 bytes", with_token(time_metrics(extra={
                    "type": "timing_policy", "values": [{"policy_id": [
                        "1.2." + ".".join(["99999"] * 14)]}]})), "policy_id[0] is an outsized"),
                ("a TSTInfo serial number of 201 bits", with_token(change=setting(
                    serial_number=big)), "its serial_number is a number"),
                ("an accuracy of 2000 seconds", with_token(change=setting(
                    accuracy={"seconds": 2000})), "its accuracy.seconds is a number"),
                ("an accuracy of 2000 microseconds", with_token(change=setting(
                    accuracy={"micros": 2000})), "its accuracy.micros is a number"),
                ("an issuer of the first form", with_token(time_metrics(change=setting(
                    issuer=cms.AttCertIssuer(name="v1_form", value=[name])))),
                 "issuer is of another form"),
                ("an issuer named by serial number too", with_token(time_metrics(change=setting(
                    issuer=cms.AttCertIssuer(name="v2_form", value={
                        "issuer_name": [name], "base_certificate_id": {
                            "issuer": [name], "serial": 1}})))),
                 "issuer.base_certificate_id, which nothing declares"),
                ("a serial number of 201 bits", with_token(time_metrics(change=setting(
                    serial_number=big))), "its ac_info.serial_number is a number"),
                ("an attribute of another kind", with_token(time_metrics(extra={
                    "type": "charging_identity", "values": [{"values": [cms.IetfAttrValue(
                        name="octets", value=bytes(60))]}]})), "attributes[1] is 1.3.6.1.5.5.7"),
                ("an NTP time of 201 bits", with_token(time_metrics(extra={
                    "type": "timing_policy", "values": [{"policy_id": ["1.2.3"],
                                                         "max_offset": ntp}]})),
                 "attributes[1].max_offset.major is a number"),
                ("five timing policies", with_token(time_metrics(extra={
                    "type": "timing_policy", "values": [{"policy_id": ["1.2.3"] * 5}]})),
                 "attributes[1].policy_id holds 5, 4 at most"),
                ("an issuer unique ID", with_token(time_metrics(change=setting(
                    issuer_unique_id=core.OctetBitString(bytes(60))))),
                 "ac_info.issuer_unique_id, which nothing declares"),
                ("an attribute certificate of 2 KiB", with_token(time_metrics(holder={
                    "entity_name": [x509.GeneralName(name="directory_name", value=cms.Name.build(
                        {"common_name": "x" * 2000}))], "object_digest_info": {
                        "digested_object_type": "public_key", "digest_algorithm": SHA256,
                        "object_digest": bytes(32)}})), "a timestamp service's is under 2048"),
                ("a TSTInfo of version 2", with_token(change=setting(version=2)),
                 "TSTInfo holds more than a timestamp needs: its version is none"),
                ("a TSTInfo policy of 40 bytes", with_token(change=setting(
                    policy="1.2." + ".".join(["99999"] * 14))), "its policy is an outsized"),
                ("a nonce of 201 bits", with_token(change=setting(nonce=big)),
                 "its nonce is a number of more than 160 bits"),
                ("an accuracy of 2000 milliseconds", with_token(change=setting(
                    accuracy={"millis": 2000})), "its accuracy.millis is a number"),
                ("a TSTInfo extension", with_token(change=setting(extensions=[{
                    "extn_id": "1.2.3.4", "extn_value": b"x"}])),
                 "it holds extensions, which nothing declares"),
                ("a token and a countersignature", countersigned(with_token()),
                 "its signature holds 2 timestamps; a signature holds one at most"),
                ("four nested signatures", signature(signer([attribute(
                    "1.3.6.1.4.1.311.2.4.1", *[cms.ContentInfo.load(signature(signer()))] * 4)])),
                 "nested signature attribute with 4 values; it holds 1 to 3"),
                ("a capability's parameters of 60 bytes", signature(signer(extra=[attribute(
                    "1.2.840.113549.1.9.15", cms.SMIMECapabilites([{
                        "capability_id": "rc2", "parameters": core.OctetString(bytes(60))}]))])),
                 "gives rc2 parameters that are more than a key size"),
                ("two nested signature attributes", signature(signer([nested, nested])),
                 "its signature holds the nested signature attribute 2 times"),
                ("a token's content type of another content", with_token(omit=(
                    "1.2.840.113549.1.9.3",), extra=[attribute("1.2.840.113549.1.9.3",
                                                               core.ObjectIdentifier(
                                                                   "1.2.840.113549.1.7.1"))]),
                 "content type attribute is 1.2.840.113549.1.7.1, not RFC 3161's TSTInfo"),
                ("a countersignature's content type of another content", placed(
                    table.COUNTERSIGNER, attribute("1.2.840.113549.1.9.3", core.ObjectIdentifier(
                        "1.3.6.1.4.1.311.2.1.4"))),
                 "content type attribute is 1.3.6.1.4.1.311.2.1.4, not id-data"),
                ("a countersignature's time of 4 KiB", placed(
                    table.COUNTERSIGNER, attribute("1.2.840.113549.1.9.5", OVERSIZED[
                        "1.2.840.113549.1.9.5"]), omit=("1.2.840.113549.1.9.5",)),
                 "signing time attribute is 4001 bytes, 24 at most"),
                ("a message digest of 33 bytes", signature(signer(omit=(
                    "1.2.840.113549.1.9.4",), extra=[attribute("1.2.840.113549.1.9.4",
                                                               core.OctetString(bytes(33)))])),
                 "message digest attribute is not a digest of SHA-1 or SHA-2 (33 bytes)"),
                ("a statement type of another purpose", signature(signer(extra=[attribute(
                    "1.3.6.1.4.1.311.2.1.11", table.SpcStatementType(["1.2.3.4.5"]))])),
                 "names a purpose other than individual or commercial"),
                ("opus info with a field its type does not name", signature(signer(
                    extra=[attribute("1.3.6.1.4.1.311.2.1.12", core.Sequence(
                        contents=core.OctetString(b"ride", explicit=2).dump()))])),
                 "SpcSpOpusInfo attribute"),
                ("an algorithm protection of another digest", signature(signer(extra=[
                    attribute("1.2.840.113549.1.9.52", cms.CMSAlgorithmProtection({
                        "digest_algorithm": {"algorithm": "sha512"},
                        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}}))])),
                 "protection names other algorithms than its own"),
                ("an algorithm protection of another signature algorithm", signature(signer(
                    extra=[attribute("1.2.840.113549.1.9.52", cms.CMSAlgorithmProtection({
                        "digest_algorithm": SHA256,
                        "signature_algorithm": {"algorithm": "sha256_ecdsa"}}))])),
                 "protection names other algorithms than its own")):
            with self.subTest(title):
                said = judged(der)
                self.assertIsNotNone(said)
                self.assertIn(words, said)

    def test_no_signature_nested_in_a_nested_one(self):
        # The judgement walks one level: a deeper signature would go unjudged.
        nested = signature(signer([attribute("1.3.6.1.4.1.311.2.4.1", cms.ContentInfo.load(
            signature(signer())))]))
        self.assertIsNone(judged(nested))
        self.assertEqual(judged(nested, outer=False),
                         "a nested signature within a nested signature")


if __name__ == "__main__":
    unittest.main()
