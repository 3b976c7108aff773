"""Signatures made to fool verify-release.sh's signature checks, built with
asn1crypto, python3-cryptography and openssl, never with the checker's own
reader: certificates with any dates, usages, keys and digests; timestamps
from any authority at any time; genuine signatures with bytes added where a
careless reader would not look. Each maker returns DER or a signed image."""
import datetime
import hashlib
import os
import subprocess

from asn1crypto import algos, cms, core, tsp, x509 as asn1_x509
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID, ObjectIdentifier

CODE_SIGNING = ExtendedKeyUsageOID.CODE_SIGNING
TIMESTAMPING = ExtendedKeyUsageOID.TIME_STAMPING
SERVER = ExtendedKeyUsageOID.SERVER_AUTH
MICROSOFT_COMMERCIAL = ObjectIdentifier("1.3.6.1.4.1.311.2.1.22")
LIFETIME_SIGNING = ObjectIdentifier("1.3.6.1.4.1.311.10.3.13")
NOW = datetime.datetime.utcnow().replace(microsecond=0)
DAY = datetime.timedelta(days=1)
MS_TIMESTAMP = "1.3.6.1.4.1.311.3.3.1"


class Party:
    """A certificate and its key."""

    def __init__(self, certificate, key, key_pem=None):
        self.certificate, self.key, self.own_key_pem = certificate, key, key_pem

    @property
    def der(self) -> bytes:
        return self.certificate.public_bytes(serialization.Encoding.DER)

    @property
    def pem(self) -> bytes:
        return self.certificate.public_bytes(serialization.Encoding.PEM)

    def key_pem(self) -> bytes:
        if self.own_key_pem:
            return self.own_key_pem
        return self.key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.TraditionalOpenSSL,
                                      serialization.NoEncryption())


def party(name: str, issuer=None, ca=False, usages=(CODE_SIGNING,), bits=2048,
          valid=(NOW - DAY, NOW + 30 * DAY), digest=hashes.SHA256(), critical=None,
          key=None) -> Party:
    """A certificate for name, issued by issuer (a Party) or self-signed;
    key, another party's key to certify."""
    key = key or rsa.generate_private_key(65537, bits)
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    builder = x509.CertificateBuilder().subject_name(subject).issuer_name(
        issuer.certificate.subject if issuer else subject).public_key(
        key.public_key()).serial_number(x509.random_serial_number()).not_valid_before(
        valid[0]).not_valid_after(valid[1]).add_extension(
        x509.BasicConstraints(ca=ca, path_length=None), critical=True)
    if usages:
        builder = builder.add_extension(x509.ExtendedKeyUsage(list(usages)),
                                        critical=TIMESTAMPING in usages)
    if critical:  # an extension of this object identifier, marked critical
        builder = builder.add_extension(x509.UnrecognizedExtension(
            ObjectIdentifier(critical), b"\x05\x00"), critical=True)
    return Party(builder.sign(issuer.key if issuer else key, digest), key)


def weak_party(name: str, issuer: Party, work: str, key=("rsa:2048",), digest="sha256") -> Party:
    """A code-signing leaf issued by issuer with a key (openssl's -newkey
    arguments) or a signature digest that python3-cryptography does not
    make (RSA under 1024 bits or of an odd size, small curves, MD5):
    `openssl` makes them."""
    path = lambda part: os.path.join(work, "weak-" + part)
    write(path("issuer.pem"), issuer.pem)
    write(path("issuer.key"), issuer.key_pem())
    write(path("extensions.cnf"), b"basicConstraints = critical, CA:FALSE\n"
          b"extendedKeyUsage = codeSigning\n")
    for command in (["req", "-new", "-newkey", *key, "-nodes", "-keyout",
                     path("key.pem"), "-subj", "/CN=" + name, "-out", path("request.pem")],
                    ["x509", "-req", "-in", path("request.pem"), "-CA", path("issuer.pem"),
                     "-CAkey", path("issuer.key"), "-set_serial", "3", "-days", "30",
                     "-" + digest, "-extfile", path("extensions.cnf"), "-out", path("cert.pem")]):
        done = subprocess.run(["openssl"] + command, capture_output=True)
        if done.returncode:
            raise RuntimeError(done.stderr.decode())
    with open(path("cert.pem"), "rb") as f, open(path("key.pem"), "rb") as g:
        return Party(x509.load_pem_x509_certificate(f.read()), None, g.read())


def write(path: str, data: bytes) -> str:
    with open(path, "wb") as f:
        f.write(data)
    return path


def signed_image(image: bytes, signer: Party, chain: list, work: str, digest="sha256") -> bytes:
    """image signed by osslsigncode with signer's key, carrying chain."""
    certs = write(os.path.join(work, "forge-chain.pem"), b"".join(p.pem for p in [signer] + chain))
    key = write(os.path.join(work, "forge-key.pem"), signer.key_pem())
    given, made = os.path.join(work, "forge-in.exe"), os.path.join(work, "forge-out.exe")
    write(given, image)
    if os.path.exists(made):
        os.unlink(made)
    subprocess.run(["osslsigncode", "sign", "-certs", certs, "-key", key, "-h", digest, "-in",
                    given, "-out", made], check=True, capture_output=True)
    with open(made, "rb") as f:
        return f.read()


def loaded(der: bytes) -> cms.ContentInfo:
    return cms.ContentInfo.load(der)


def signer_of(info: cms.ContentInfo) -> cms.SignerInfo:
    return info["content"]["signer_infos"][0]


def rebuilt(info: cms.ContentInfo, signer: cms.SignerInfo = None) -> bytes:
    """The signature with what was set in its SignedData (and in signer)
    encoded anew, every other part's bytes kept as they were."""
    if signer is not None:
        info["content"]["signer_infos"] = cms.SignerInfos([signer])
    return cms.ContentInfo({"content_type": "signed_data", "content": info["content"]}).dump()


def signature_value(der: bytes) -> bytes:
    return signer_of(loaded(der))["signature"].native


def with_signers(der: bytes, signers: list) -> bytes:
    info = loaded(der)
    info["content"]["signer_infos"] = cms.SignerInfos(signers)
    return rebuilt(info)


def signer_infos(der: bytes) -> list:
    return [cms.SignerInfo.load(s.dump()) for s in loaded(der)["content"]["signer_infos"]]


def with_unsigned(der: bytes, kind: str, values: list) -> bytes:
    """der with one unsigned attribute of this type (its dotted OID) and
    values (asn1crypto values or DER) added to its signer."""
    info = loaded(der)
    signer = signer_of(info)
    attributes = list(signer["unsigned_attrs"] or [])
    values = b"".join(v if isinstance(v, bytes) else v.dump() for v in values)
    attributes.append(cms.CMSAttribute.load(core.Sequence(contents=core.ObjectIdentifier(
        kind).dump() + core.Set(contents=values).dump()).dump()))
    signer["unsigned_attrs"] = cms.CMSAttributes(attributes)
    return rebuilt(info, signer)


def time_server_certificate(holder: Party, issuer: Party, when: datetime.datetime,
                            extra=None, digested=None, serial=None) -> cms.AttributeCertificateV2:
    """An attribute certificate of timing metrics as Microsoft's time servers
    write one into each token: for holder (by name and digest), in issuer's
    name, signed by a key no token carries (any bytes, here); extra, an
    attribute added to it; digested, the party whose certificate its holder's
    digest is of; serial, a serial number its holder names too."""
    when = when.replace(tzinfo=datetime.timezone.utc)
    seconds = int(when.timestamp()) + 2208988800  # NTP's era starts in 1900
    metrics = {"ntp_time": {"major": seconds, "fractional_seconds": 0}, "offset": {"major": 0, "fractional_seconds": 4689},
               "delay": {"major": 0, "fractional_seconds": 5099},
               "expiration": {"major": seconds + 86400, "fractional_seconds": 0}}
    attributes = [{"type": "timing_metrics", "values": [metrics]}] + ([extra] if extra else [])
    name = lambda party: asn1_x509.Certificate.load(party.der).subject
    return cms.AttributeCertificateV2({"ac_info": {
        "version": "v2",
        "holder": {"entity_name": [asn1_x509.GeneralName(name="directory_name",
                                                         value=name(holder))],
                   "object_digest_info": {"digested_object_type": "public_key_cert",
                                          "digest_algorithm": {"algorithm": "sha1"},
                                          "object_digest": hashlib.sha1(
                                              (digested or holder).der).digest()},
                   **({"base_certificate_id": {"issuer": [asn1_x509.GeneralName(
                       name="directory_name", value=name(issuer))], "serial": serial}}
                      if serial is not None else {})},
        "issuer": cms.AttCertIssuer(name="v2_form", value={"issuer_name": [
            asn1_x509.GeneralName(name="directory_name", value=name(issuer))]}),
        "signature": {"algorithm": "sha256_rsa"}, "serial_number": seconds,
        "att_cert_validity_period": {"not_before_time": when, "not_after_time": when + DAY},
        "attributes": attributes},
        "signature_algorithm": {"algorithm": "sha256_rsa"},
        "signature": hashlib.sha512(holder.der).digest() * 4})


def with_token_certificate(token_der: bytes, choice: str, value) -> bytes:
    """A token with one more CertificateChoices entry: outside what its authority signs."""
    info = loaded(token_der)
    choices = list(info["content"]["certificates"]) + [cms.CertificateChoices(
        name=choice, value=value)]
    info["content"]["certificates"] = cms.CertificateSet(choices)
    return rebuilt(info)


def token(value: bytes, authority: Party, chain: list, when: datetime.datetime, work: str,
          utc_time=False, extension=None, month=None, named=None, attribute=None,
          signer_attribute=None) -> bytes:
    """An RFC 3161 token of value (a signature value) by authority at when:
    its TSTInfo written with asn1crypto, signed by `openssl cms`; named, a
    party whose name its optional tsa field gives; attribute, an attribute
    certificate added to its certificates; signer_attribute, with_signer_attribute's
    arguments after the authority."""
    info = tsp.TSTInfo({"version": "v1", "policy": "1.2.3.4.1", "message_imprint": {
        "hash_algorithm": {"algorithm": "sha256"},
        "hashed_message": hashlib.sha256(value).digest()},
        "serial_number": 7, "gen_time": when.replace(tzinfo=datetime.timezone.utc)})
    if extension:
        info["extensions"] = [{"extn_id": "1.2.3.4", "extn_value": extension}]
    if named:
        info["tsa"] = asn1_x509.GeneralName(
            name="directory_name", value=asn1_x509.Certificate.load(named.der).subject)
    der = info.dump(force=True)
    if utc_time or month:  # a time field no strict reader takes
        start = der.index(b"\x18\x0f")
        text = der[start + 2:start + 17]
        if month:
            text = text[:4] + b"%02d" % month + text[6:]
        der = der[:start] + (b"\x17\x0d" + text[2:14] + b"Z" if utc_time else
                             b"\x18\x0f" + text) + der[start + 17:]
        der = der[:1] + bytes([len(der) - 2]) + der[2:] if der[1] < 0x80 else \
            der[:2] + bytes([len(der) - 3]) + der[3:]
    paths = [os.path.join(work, "forge-" + name) for name in (
        "tst.der", "tsa.pem", "tsa.key", "tsa-chain.pem", "token.der")]
    write(paths[0], der)
    write(paths[1], authority.pem)
    write(paths[2], authority.key_pem())
    chained = ["-certfile", write(paths[3], b"".join(p.pem for p in chain))] if chain else []
    done = subprocess.run(["openssl", "cms", "-sign", "-binary", "-nodetach", "-nosmimecap",
                           "-outform", "DER", "-econtent_type", "1.2.840.113549.1.9.16.1.4",
                           "-md", "sha256", "-signer", paths[1], "-inkey", paths[2], *chained,
                           "-in", paths[0], "-out", paths[4]], capture_output=True)
    if done.returncode:
        raise RuntimeError(done.stderr.decode())
    with open(paths[4], "rb") as f:
        made = f.read()
    if signer_attribute:
        made = with_signer_attribute(made, authority, *signer_attribute)
    return with_token_certificate(made, "v2_attr_cert", attribute) if attribute else made


def with_signer_attribute(token_der: bytes, authority: Party, certified: bytes,
                          policy: bytes = b"\x05\x00", tag: int = 1) -> bytes:
    """A token whose signed attributes also hold what the newer tokens of
    Microsoft's public timestamp service hold: a signature policy (the implied
    one, NULL) and certified (an attribute certificate's DER) as a signer
    attribute under [tag] (1 for certified attributes), signed anew by
    authority's key."""
    choice = core.Asn1Value(class_="context", tag=tag, contents=certified)
    choice.method = 1  # constructed, an explicit tag
    raw = lambda kind, value: cms.CMSAttribute.load(core.Sequence(
        contents=core.ObjectIdentifier(kind).dump() + core.Set(contents=value).dump()).dump())
    return with_signed_attributes(token_der, authority, lambda attributes: list(attributes) + [
        raw("1.2.840.113549.1.9.16.2.15", policy),
        raw("1.2.840.113549.1.9.16.2.18", core.Sequence(contents=choice.dump()).dump())])


def with_doubled_content_type(der: bytes, signer: Party) -> bytes:
    """der with its signer's content-type attribute holding its value twice,
    signed anew by signer's key, so that only the attribute's form is at fault."""
    return with_signed_attributes(der, signer, lambda attributes: [
        {"type": "content_type", "values": [a["values"][0]] * 2}
        if a["type"].native == "content_type" else a for a in attributes])


def with_capabilities(der: bytes, signer: Party, parameters=None, count=1) -> bytes:
    """der with S/MIME capabilities among its signed attributes, as OpenSSL
    writes them (AES-256 count times, and RC2 with its key size or the
    parameters given), signed anew by signer's key."""
    rc2 = {"capability_id": "1.2.840.113549.3.2", "parameters": parameters or core.Integer(128)}
    return with_signed_attributes(der, signer, lambda attributes: list(attributes) + [
        {"type": "smime_capabilities", "values": [
            [{"capability_id": "2.16.840.1.101.3.4.1.42"}] * count + [rc2]]}])


def with_signed_attributes(der: bytes, signer: Party, change) -> bytes:
    info = loaded(der)
    signer_info = signer_of(info)
    attributes = cms.CMSAttributes(change(signer_info["signed_attrs"]))
    signer_info["signed_attrs"] = attributes
    signer_info["signature"] = signer.key.sign(attributes.dump(), padding.PKCS1v15(),
                                               hashes.SHA256())
    return rebuilt(info, signer_info)


def timestamped(der: bytes, authority: Party, chain: list, when, work: str, **options) -> bytes:
    return with_unsigned(der, MS_TIMESTAMP, [token(signature_value(der), authority, chain, when,
                                                   work, **options)])


def countersigned(der: bytes, authority: Party, when: datetime.datetime,
                  broken=False) -> bytes:
    """der with a legacy Authenticode countersignature by authority at when,
    its certificate added to the signature's own; broken, one bit of its
    signature value changed."""
    attributes = cms.CMSAttributes([
        {"type": "content_type", "values": ["data"]},
        {"type": "signing_time", "values": [cms.Time({"utc_time": when.replace(
            tzinfo=datetime.timezone.utc)})]},
        {"type": "message_digest", "values": [hashlib.sha256(signature_value(der)).digest()]}])
    value = authority.key.sign(attributes.dump(), padding.PKCS1v15(), hashes.SHA256())
    if broken:
        value = value[:-1] + bytes([value[-1] ^ 1])
    issuer = asn1_x509.Certificate.load(authority.der)
    counter = cms.SignerInfo({
        "version": "v1", "sid": cms.SignerIdentifier({"issuer_and_serial_number": {
            "issuer": issuer.issuer, "serial_number": issuer.serial_number}}),
        "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": attributes,
        "signature_algorithm": {"algorithm": "rsassa_pkcs1v15"}, "signature": value})
    info = loaded(with_unsigned(der, "1.2.840.113549.1.9.6", [counter]))
    info["content"]["certificates"] = list(info["content"]["certificates"]) + [
        cms.CertificateChoices({"certificate": issuer})]
    return rebuilt(info)


def with_certificate(der: bytes, extra: Party) -> bytes:
    info = loaded(der)
    info["content"]["certificates"] = list(info["content"]["certificates"]) + [
        cms.CertificateChoices({"certificate": asn1_x509.Certificate.load(extra.der)})]
    return rebuilt(info)


def with_crl(der: bytes, size: int) -> bytes:
    """der with an 'other' revocation list of size bytes."""
    info = loaded(der)
    info["content"]["crls"] = cms.RevocationInfoChoices([cms.RevocationInfoChoice({"other": {
        "other_rev_info_format": "1.2.3.4", "other_rev_info": core.OctetString(bytes(size))}})])
    return rebuilt(info)


def with_parameters(der: bytes, size: int) -> bytes:
    """der whose signer's signature algorithm carries size bytes as parameters."""
    info = loaded(der)
    raw = core.ObjectIdentifier("1.2.840.113549.1.1.1").dump() + core.OctetString(
        bytes(size)).dump()
    signer = signer_of(info)
    signer["signature_algorithm"] = algos.SignedDigestAlgorithm.load(
        core.Sequence(contents=raw).dump())
    return rebuilt(info, signer)


def with_content_type(der: bytes, kind: str) -> bytes:
    info = loaded(der)
    content = info["content"]["encap_content_info"]
    content["content_type"] = kind
    info["content"]["encap_content_info"] = content
    return rebuilt(info)


def lattice(work: str, layers=6, width=12, forged=0):
    """A signer under layers of width CAs each, every CA of a layer of one
    name and key, so that each issues every one of the layer below: a few
    KiB of P-256 certificates whose paths by name number width ** layers;
    and forged CAs above the top layer, of its issuer's name and keys of
    their own, which check against none of it."""
    keys = [ec.generate_private_key(ec.SECP256R1()) for _ in range(layers + 1)]
    name = lambda layer: x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "Layer %d" % layer)])

    def issued_by(layer, subject, ca, key):
        builder = x509.CertificateBuilder().subject_name(subject).issuer_name(
            name(layer)).public_key(key.public_key()).serial_number(
            x509.random_serial_number()).not_valid_before(NOW - DAY).not_valid_after(
            NOW + 30 * DAY).add_extension(x509.BasicConstraints(ca=ca, path_length=None),
                                          critical=True)
        if not ca:
            builder = builder.add_extension(x509.ExtendedKeyUsage([CODE_SIGNING]), critical=False)
        return builder.sign(keys[layer], hashes.SHA256())
    signer_key = ec.generate_private_key(ec.SECP256R1())
    signer = Party(issued_by(0, x509.Name([x509.NameAttribute(
        NameOID.COMMON_NAME, "Lattice Signer")]), False, signer_key), signer_key)
    chain = [Party(issued_by(layer + 1, name(layer), True, keys[layer]), keys[layer])
             for layer in range(layers) for _ in range(width)]
    for _ in range(forged):  # each self-signed under its issuer's name
        own = ec.generate_private_key(ec.SECP256R1())
        keys[layers + 1:] = [own]
        chain.append(Party(issued_by(layers + 1, name(layers), True, own), own))
    return signer, chain


def loaded_party(certificate: str, key: str) -> Party:
    with open(certificate, "rb") as f, open(key, "rb") as g:
        return Party(x509.load_pem_x509_certificate(f.read()),
                     serialization.load_pem_private_key(g.read(), None))


class Forge:
    """The parties of the hostile signatures, made once: a root that has
    long been valid with an issuing CA under it, a time-stamping authority
    under a root of its own, and the CA file that names the roots."""

    def __init__(self, work: str):
        self.work = work
        # After the genuine CA and signer were made: a timestamp of "now"
        # must not fall before their validity begins.
        self.now = datetime.datetime.utcnow().replace(microsecond=0)
        long_ago = (NOW - 1000 * DAY, NOW + 1000 * DAY)
        self.genuine_ca = loaded_party(os.path.join(work, "ca.pem"), os.path.join(work, "ca.key"))
        self.root = party("Forge Root", ca=True, usages=None, valid=long_ago)
        self.issuing = party("Forge Issuing CA", self.root, ca=True, usages=(CODE_SIGNING,),
                             valid=long_ago)
        self.tsa_root = party("Forge TSA Root", ca=True, usages=None, valid=long_ago)
        self.tsa = party("Forge TSA", self.tsa_root, usages=(TIMESTAMPING,), valid=long_ago)
        self.bundle = write(os.path.join(work, "bundle.pem"), b"".join(
            p.pem for p in (self.genuine_ca, self.root, self.tsa_root)))
        self.expired = party("Expired Signer", self.issuing, valid=(NOW - 400 * DAY,
                                                                   NOW - 30 * DAY))

    def signed(self, image: bytes, signer: Party, chain=None, **options) -> bytes:
        return signed_image(image, signer, [self.issuing] if chain is None else chain, self.work,
                            **options)


def anchor_files(work: str, forge: Forge) -> dict:
    """CA files in the forms a user may give: DER, an intermediate alone,
    a bundle with a damaged block."""
    with open(os.path.join(work, "ca.pem"), "rb") as f:
        genuine = f.read()
    lines = genuine.split(b"\n")
    damaged = b"\n".join(lines[:5] + lines[6:])  # a line of its base64 lost
    with open(os.path.join(work, "ca.key"), "rb") as f:
        key = f.read()
    return {"der": write(os.path.join(work, "ca.der"), forge.genuine_ca.der),
            "with key": write(os.path.join(work, "ca-and-key.pem"), genuine + key),
            "intermediate": write(os.path.join(work, "issuing.pem"), forge.issuing.pem),
            "damaged": write(os.path.join(work, "damaged.pem"), forge.tsa_root.pem + damaged)}
