"""Whether an Authenticode signature covers a PE image, judged without
judging trust: the digest the signature holds must be the image's own, and
the signature must check against the signer's certificate. Who the signer
is stays a claim; whether Windows trusts that certificate is Windows' call.

OpenSSL cannot check an Authenticode signature as it stands (the signed
content is the inner value of SpcIndirectDataContent, not an octet string),
so the signature is rewritten with that value as detached data and handed
to `openssl smime -verify -noverify`, which checks the signature and not
the certificate chain."""
import hashlib
import os
import subprocess

from release_zip import NotARelease, certificate_table, osslsigncode, shown

OID_DATA = bytes.fromhex("06092a864886f70d010701")
OID_SIGNED_DATA = bytes.fromhex("06092a864886f70d010702")
DIGESTS = {bytes.fromhex("2b0e03021a"): hashlib.sha1,
           bytes.fromhex("608648016503040201"): hashlib.sha256,
           bytes.fromhex("608648016503040202"): hashlib.sha384,
           bytes.fromhex("608648016503040203"): hashlib.sha512}


def element(data, at, end):
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


def children(data, start, end):
    """[(tag, start of value, end of value, start of element)] inside a value."""
    found, at = [], start
    while at < end:
        tag, value, after = element(data, at, end)
        found.append((tag, value, after, at))
        at = after
    return found


def encoded(tag, value):
    length = len(value)
    if length < 0x80:
        return bytes([tag, length]) + value
    size = length.to_bytes((length.bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + value


def pieces(der):
    """(the signature with its content detached, the signed content, the
    digest algorithm, the digest it names); ValueError when it is not an
    Authenticode signature."""
    tag, start, end = element(der, 0, len(der))
    outer = children(der, start, end)
    if tag != 0x30 or len(outer) != 2 or der[outer[0][3]:outer[0][2]] != OID_SIGNED_DATA:
        raise ValueError("not a PKCS#7 signed-data")
    wrapper = children(der, outer[1][1], outer[1][2])
    signed = children(der, wrapper[0][1], wrapper[0][2])
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


def image_digest(image, hasher):
    """The Authenticode digest of a PE image: all of it but the checksum,
    the certificate table's directory entry and the table itself."""
    checksum, directory, offset, size = certificate_table(image)
    if not size:
        offset = len(image)
    return hasher(image[:checksum] + image[checksum + 4:directory] + image[directory + 8:offset]
                  + image[offset + size:]).digest()


def openssl(*arguments):
    return subprocess.run(["openssl"] + list(arguments), capture_output=True,
                          stdin=subprocess.DEVNULL)


def judge(image, der, work):
    """Of a PE image's (or, with image None, a package's) signature:
    (what is wrong with the signature, or None when it covers the image;
    the signer's certificate subject (RFC 2253), or None; whether that
    certificate is its own issuer)."""
    try:
        detached, content, hasher, digest = pieces(der)
    except (ValueError, IndexError):
        return "its signature cannot be read as an Authenticode signature", None, False
    signature, data, certificate = (os.path.join(work, name)
                                    for name in ("detached.p7", "content.bin", "signer.pem"))
    for path, value in ((signature, detached), (data, content)):
        with open(path, "wb") as f:
            f.write(value)
    if os.path.exists(certificate):
        os.unlink(certificate)
    checked = openssl("smime", "-verify", "-noverify", "-binary", "-inform", "DER", "-in",
                      signature, "-content", data, "-signer", certificate, "-out", os.devnull)
    subject = issuer = None
    if os.path.exists(certificate):
        names = openssl("x509", "-in", certificate, "-noout", "-subject", "-issuer", "-nameopt",
                        "RFC2253").stdout.decode("utf-8", "replace").splitlines()
        fields = dict(line.split("=", 1) for line in names if "=" in line)
        subject, issuer = fields.get("subject"), fields.get("issuer")
    self_issued = subject is not None and subject == issuer
    try:  # a package's digest (image None) is checked by its caller
        matches = image is None or image_digest(image, hasher) == digest
    except NotARelease:
        matches = False
    if not matches:
        return "its signature was made for other bytes: the digest it signs is not this " \
               "file's", subject, self_issued
    if checked.returncode != 0:
        return "its signature does not check against its own certificate: it is not a " \
               "signature of these bytes", subject, self_issued
    return None, subject, self_issued


def attached_to(built, der, work):
    """built (an image or a package) with the signature der attached the way
    osslsigncode attaches one, or None. attach-signature writes its output,
    then fails on a chain it cannot trust, so its status is not looked at."""
    path = os.path.join(work, "signature.der")
    with open(path, "wb") as f:
        f.write(der)
    return osslsigncode("attach-signature", ["-sigin", path], built, work, any_status=True)[0]


def signer_verdict(label, wrong, subject, self_issued):
    """(lines to show, differences) of judge()'s answer for the file label."""
    if wrong:
        return [], ["%s: %s" % (label, wrong)]
    if self_issued:
        return [], ["%s: its certificate is its own issuer (self-signed) and calls itself "
                    "\"%s\": that says nothing of who signed it" % (label, shown(subject))]
    return ["  its certificate says it belongs to \"%s\": a claim; whether Windows trusts "
            "that certificate is not judged here" % shown(subject)], []
