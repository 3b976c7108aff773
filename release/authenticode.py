"""Whether an Authenticode signature covers a PE image, judged without
judging trust: the digest the signature holds must be the image's own, and
the signature must check against the signer's certificate. Who the signer
is stays a claim; whether Windows trusts that certificate is Windows' call.

OpenSSL cannot check an Authenticode signature as it stands (the signed
content is the inner value of SpcIndirectDataContent, not an octet string),
so the signature is rewritten with that value as detached data and handed
to `openssl smime -verify -noverify`, which checks the signature and not
the certificate chain."""
import calendar
import hashlib
import os
import re
import time

from pe_image import certificate_table, osslsigncode
from tools import run_tool
from untrusted import NotARelease, shown

# The trust anchor the user named (verify-release.sh --ca-file), or None.
TRUST = {"ca_file": None}

OID_DATA = bytes.fromhex("06092a864886f70d010701")
OID_NESTED = bytes.fromhex("060a2b060104018237020401")
OID_MS_TIMESTAMP = bytes.fromhex("060a2b060104018237030301")
OID_TIMESTAMP_TOKEN = bytes.fromhex("060b2a864886f70d010910020e")
OID_COUNTERSIGNATURE = bytes.fromhex("06092a864886f70d010906")
OID_MESSAGE_DIGEST = bytes.fromhex("06092a864886f70d010904")
OID_SIGNING_TIME = bytes.fromhex("06092a864886f70d010905")
OID_TST_INFO = bytes.fromhex("060b2a864886f70d0109100104")
OID_SIGNED_DATA = bytes.fromhex("06092a864886f70d010702")
DIGESTS = {bytes.fromhex("2b0e03021a"): hashlib.sha1,
           bytes.fromhex("608648016503040201"): hashlib.sha256,
           bytes.fromhex("608648016503040202"): hashlib.sha384,
           bytes.fromhex("608648016503040203"): hashlib.sha512}


def element(data: bytes, at: int, end: int) -> tuple:
    """(tag, start of value, end of value) of the DER element at `at`;
    ValueError when it does not fit before end."""
    if at + 2 > end:
        raise ValueError("truncated")
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        if not 1 <= count <= 4 or at + count > end:
            raise ValueError("bad length")
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    if at + length > end:
        raise ValueError("truncated")
    return tag, at, at + length


def children(data: bytes, start: int, end: int) -> list:
    """[(tag, start of value, end of value, start of element)] inside a value."""
    found, at = [], start
    while at < end:
        tag, value, after = element(data, at, end)
        found.append((tag, value, after, at))
        at = after
    return found


def encoded(tag: int, value: bytes) -> bytes:
    length = len(value)
    if length < 0x80:
        return bytes([tag, length]) + value
    size = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + value


def signed_data(der: bytes) -> list:
    """The elements of a PKCS#7 ContentInfo's SignedData."""
    tag, start, end = element(der, 0, len(der))
    outer = children(der, start, end)
    if tag != 0x30 or len(outer) != 2 or der[outer[0][3]:outer[0][2]] != OID_SIGNED_DATA:
        raise ValueError("not a PKCS#7 signed-data")
    wrapper = children(der, outer[1][1], outer[1][2])
    return children(der, wrapper[0][1], wrapper[0][2])


# How a timestamp was judged: an RFC 3161 token's own signature is checked,
# so its time can say when the file was signed; a countersignature's is not.
RFC3161 = "RFC 3161"
COUNTERSIGNED = "an Authenticode countersignature, whose own signature is not checked"


def structure(der: bytes, signed: list, work: str) -> tuple:
    """(what is wrong with the signature's structure or None, [(time, how it
    was judged) of each timestamp]): one signer, and no unsigned attribute
    but timestamps over this very signature."""
    signers = children(der, signed[-1][1], signed[-1][2])
    if signed[-1][0] != 0x31 or len(signers) != 1:
        return ("a second signer: the signature holds %d signers; Authenticode allows one"
                % len(signers) if len(signers) > 1 else "no signer"), []
    fields = children(der, signers[0][1], signers[0][2])
    signature_value = encrypted_digest(der, fields)
    times = []
    for unsigned in (field for field in fields if field[0] == 0xA1):
        for attribute in children(der, unsigned[1], unsigned[2]):
            kind, values = children(der, attribute[1], attribute[2])[:2]
            kind = der[kind[3]:kind[2]]
            for item in children(der, values[1], values[2]):
                if kind == OID_NESTED:
                    return "a nested signature (sign-release.sh makes none)", []
                if kind in (OID_MS_TIMESTAMP, OID_TIMESTAMP_TOKEN):
                    wrong, when = rfc3161(der[item[3]:item[2]], signature_value, work)
                elif kind == OID_COUNTERSIGNATURE:
                    wrong, when = countersignature(der, item, signature_value)
                else:
                    wrong = "an unsigned attribute of %d bytes, which is no timestamp" % (
                        attribute[2] - attribute[3])
                if wrong:
                    return wrong, []
                times.append(when)
    return None, times


def encrypted_digest(der: bytes, signer_fields: list) -> bytes:
    """The signature value of a SignerInfo, given its elements: what a
    timestamp of this signature must be the digest of."""
    value = [field for field in signer_fields if field[0] == 0x04][-1]
    return der[value[1]:value[2]]


def imprint_problem(algorithm: bytes, hashed: bytes, signature_value: bytes) -> str:
    """Whether a timestamp's digest (algorithm identifier's OID, digest) is
    of this signature value."""
    hasher = DIGESTS.get(algorithm)
    if hasher is None or hasher(signature_value).digest() != hashed:
        return "a timestamp that covers another signature"
    return None


def rfc3161(token: bytes, signature_value: bytes, work: str) -> tuple:
    """(problem or None, time) of an RFC 3161 timestamp token: it must be of
    this signature value and check against the certificate it carries."""
    try:
        encapsulated = children(token, *signed_data(token)[2][1:3])
        if token[encapsulated[0][3]:encapsulated[0][2]] != OID_TST_INFO:
            return "a timestamp that covers another signature: the attribute holds no " \
                   "timestamp", None
        octets = children(token, encapsulated[1][1], encapsulated[1][2])[0]
        info = children(token, *children(token, octets[1], octets[2])[0][1:3])
        algorithm, hashed = children(token, info[2][1], info[2][2])[:2]
        algorithm = children(token, algorithm[1], algorithm[2])[0]
        when = token[info[4][1]:info[4][2]].decode("ascii")
    except (ValueError, IndexError, UnicodeDecodeError):
        return "a timestamp attribute that cannot be read", None
    wrong = imprint_problem(token[algorithm[1]:algorithm[2]], token[hashed[1]:hashed[2]],
                            signature_value)
    if wrong:
        return wrong, None
    path = os.path.join(work, "timestamp.der")
    with open(path, "wb") as f:
        f.write(token)
    if openssl("cms", "-verify", "-noverify", "-inform", "DER", "-in", path, "-out",
               os.devnull).returncode != 0:
        return "a timestamp whose own signature does not check against its certificate", None
    return None, (when, RFC3161)


def countersignature(der: bytes, counter, signature_value: bytes) -> tuple:
    """(problem or None, time) of an Authenticode countersignature (a legacy
    timestamp): its message digest must be of this signature value. Its own
    signature is not checked, and the time says so."""
    try:
        fields = children(der, counter[1], counter[2])
        algorithm = children(der, fields[2][1], fields[2][2])[0]
        attributes = {der[a[0][3]:a[0][2]]: children(der, a[1][1], a[1][2])[0] for a in (
            children(der, attribute[1], attribute[2]) for attribute in
            children(der, fields[3][1], fields[3][2]))}
        digest, signed_at = attributes[OID_MESSAGE_DIGEST], attributes[OID_SIGNING_TIME]
        when = der[signed_at[1]:signed_at[2]].decode("ascii")
    except (ValueError, IndexError, KeyError, UnicodeDecodeError):
        return "a countersignature that cannot be read", None
    wrong = imprint_problem(der[algorithm[1]:algorithm[2]], der[digest[1]:digest[2]],
                            signature_value)
    return wrong, ("20" + when, COUNTERSIGNED)


def pieces(der: bytes) -> tuple:
    """(the signature with its content detached, the signed content, the
    digest algorithm, the digest it names); ValueError when it is not an
    Authenticode signature."""
    signed = signed_data(der)
    content_info = children(der, signed[2][1], signed[2][2])
    indirect = children(der, content_info[1][1], content_info[1][2])[0]
    digest_info = children(der, indirect[1], indirect[2])[1]
    algorithm, digest = children(der, digest_info[1], digest_info[2])
    algorithm_oid = children(der, algorithm[1], algorithm[2])[0]
    hasher = DIGESTS.get(der[algorithm_oid[1]:algorithm_oid[2]])
    if hasher is None or digest[0] != 0x04:
        raise ValueError("unknown digest")
    body = b"".join(der[item[3]:item[2]] for item in signed[:2]) + encoded(0x30, OID_DATA)
    body += b"".join(der[item[3]:item[2]] for item in signed[3:])
    detached = encoded(0x30, OID_SIGNED_DATA + encoded(0xA0, encoded(0x30, body)))
    return detached, der[indirect[1]:indirect[2]], hasher, der[digest[1]:digest[2]]


def image_digest(image: bytes, hasher) -> bytes:
    """The Authenticode digest of a PE image: all of it but the checksum,
    the certificate table's directory entry and the table itself."""
    checksum, directory, offset, size = certificate_table(image)
    if not size:
        offset = len(image)
    return hasher(image[:checksum] + image[checksum + 4:directory] + image[directory + 8:offset]
                  + image[offset + size:]).digest()


def openssl(*arguments: str):
    """openssl with these arguments, through the one tool runner."""
    return run_tool(["openssl"] + list(arguments))


def judge(image: bytes, der: bytes, work: str) -> tuple:
    """Of a PE image's (or, with image None, a package's) signature: (what is
    wrong with it, or None when it covers the image; the lines to show of
    who signed and when). The signature must have one signer, no nested
    signature and no unsigned attribute but a timestamp over this very
    signature; the signer is checked against TRUST["ca_file"] when one is
    named, and is otherwise a claim."""
    try:
        detached, content, hasher, digest = pieces(der)
        wrong, times = structure(der, signed_data(der), work)
    except (ValueError, IndexError):
        return "its signature cannot be read as an Authenticode signature", []
    if wrong:
        return wrong, []
    checked, signature, certificate = check_signature(detached, content, work)
    try:  # a package's digest (image None) is checked by its caller
        matches = image is None or image_digest(image, hasher) == digest
    except NotARelease:
        matches = False
    if not matches:
        return "its signature was made for other bytes: the digest it signs is not this " \
               "file's", []
    if not checked:
        return "its signature does not check against its own certificate: it is not a " \
               "signature of these bytes", []
    return who_signed(certificate, signature, times, work)


def check_signature(detached: bytes, content: bytes, work: str) -> tuple:
    """(whether the signature checks against the certificate it carries, the
    detached signature's path, the signer certificate's path)."""
    signature, data, certificate = (os.path.join(work, name)
                                    for name in ("detached.p7", "content.bin", "signer.pem"))
    for path, value in ((signature, detached), (data, content)):
        with open(path, "wb") as f:
            f.write(value)
    if os.path.exists(certificate):
        os.unlink(certificate)
    checked = openssl("smime", "-verify", "-noverify", "-binary", "-inform", "DER", "-in",
                      signature, "-content", data, "-signer", certificate, "-out", os.devnull)
    return checked.returncode == 0 and os.path.exists(certificate), signature, certificate


def who_signed(certificate: str, signature: str, times: list, work: str) -> tuple:
    """judge()'s answer for a signature that covers the file: the signer as a
    claim, or judged against the trust anchor the user named."""
    subject, issuer = names(certificate)
    lines = ["  signed by \"%s\", issued by \"%s\"" % (shown(subject), shown(issuer))]
    lines += ["  timestamped %s (%s) by a timestamp that covers this signature"
              % (shown(when), how) for when, how in times]
    if TRUST["ca_file"] is None:
        return None, lines + ["  who signed is a claim: not checked against any trust anchor "
                              "(--ca-file names one)"]
    return trusted(certificate, chain(signature, work), times, TRUST["ca_file"]), lines + [
        "  its certificate chains to a certificate in %s, for code signing"
        % shown(os.path.basename(TRUST["ca_file"]))]


def names(certificate: str) -> tuple:
    """(subject, issuer) of a PEM certificate, RFC 2253."""
    said = openssl("x509", "-in", certificate, "-noout", "-subject", "-issuer", "-nameopt",
                   "RFC2253").stdout.decode("utf-8", "replace").splitlines()
    fields = dict(line.split("=", 1) for line in said if "=" in line)
    return fields.get("subject", ""), fields.get("issuer", "")


def chain(signature: str, work: str) -> str:
    """The certificates the signature carries, as a PEM file."""
    path = os.path.join(work, "carried.pem")
    with open(path, "wb") as f:
        f.write(openssl("pkcs7", "-inform", "DER", "-in", signature, "-print_certs").stdout)
    return path


def trusted(certificate: str, untrusted: str, times: list, ca_file: str) -> str:
    """None when the signer's chain, with the carried certificates as
    intermediates, validates to ca_file for code signing (at the timestamp's
    time where one says when it was signed); else the reason in words."""
    checked = [when for when, how in times if how == RFC3161]
    at = ["-attime", str(calendar.timegm(time.strptime(checked[0][:14], "%Y%m%d%H%M%S")))] \
        if checked else []
    done = openssl("verify", "-purpose", "any", "-CAfile", ca_file, "-untrusted", untrusted,
                   *at, certificate)
    said = done.stdout.decode("utf-8", "replace") + done.stderr.decode("utf-8", "replace")
    if done.returncode != 0:
        reason = re.search(r"error \d+ at \d+ depth lookup: ?(.*)", said)
        return "its signer does not chain to a certificate in %s (%s)" % (
            shown(os.path.basename(ca_file)), shown(reason.group(1) if reason else "not trusted"))
    usage = openssl("x509", "-in", certificate, "-noout", "-ext", "extendedKeyUsage").stdout
    if usage.strip() and b"Code Signing" not in usage:
        return "its signer's certificate is not for code signing (its extended key usage " \
               "lacks it)"
    return None


def attached_to(built: bytes, der: bytes, work: str) -> bytes:
    """built (an image or a package) with the signature der attached the way
    osslsigncode attaches one, or None. attach-signature writes its output,
    then fails on a chain it cannot trust, so its status is not looked at."""
    path = os.path.join(work, "signature.der")
    with open(path, "wb") as f:
        f.write(der)
    return osslsigncode("attach-signature", ["-sigin", path], built, work, any_status=True)[0]


def unsigned_problems(label: str) -> list:
    """The difference an unsigned file makes when a trust anchor was named."""
    return ["%s: not signed, and --ca-file asks for a signature that chains to it" % label] \
        if TRUST["ca_file"] else []


def signer_verdict(label: str, wrong, lines: list) -> tuple:
    """(lines to show, differences) of judge()'s answer for the file label."""
    if wrong:
        return [], ["%s: %s" % (label, wrong)]
    return lines, []
