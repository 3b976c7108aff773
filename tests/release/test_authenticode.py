"""The signature's structure, judged on signatures built here from their parts."""
import hashlib
import unittest

from authenticode import (OID_COUNTERSIGNATURE, OID_MESSAGE_DIGEST, OID_MS_TIMESTAMP, OID_NESTED,
                          OID_SIGNED_DATA, OID_SIGNING_TIME, children, element, encoded,
                          signed_data, structure)

SHA256 = encoded(0x30, bytes.fromhex("0609608648016503040201") + b"\x05\x00")
VALUE = b"signature value"
SPC_INDIRECT_DATA = bytes.fromhex("060a2b060104018237020104")


def attribute(oid, value):
    return encoded(0x30, oid + encoded(0x31, value))


def signer(*unsigned):
    fields = b"\x02\x01\x01" + encoded(0x30, b"") + SHA256 + SHA256 + encoded(0x04, VALUE)
    return encoded(0x30, fields + (encoded(0xA1, b"".join(unsigned)) if unsigned else b""))


def signature(*signers):
    content = encoded(0x30, SPC_INDIRECT_DATA + encoded(0xA0, encoded(0x30, b"")))
    body = b"\x02\x01\x01" + encoded(0x31, SHA256) + content + encoded(0x31, b"".join(signers))
    return encoded(0x30, OID_SIGNED_DATA + encoded(0xA0, encoded(0x30, body)))


def countersignature(digest):
    attributes = attribute(OID_MESSAGE_DIGEST, encoded(0x04, digest)) + attribute(
        OID_SIGNING_TIME, encoded(0x17, b"231114221320Z"))
    return encoded(0x30, b"\x02\x01\x01" + encoded(0x30, b"") + SHA256 + encoded(0xA0, attributes))


def judged(der):
    return structure(der, signed_data(der), "/nonexistent")


class Structure(unittest.TestCase):
    def test_verdicts(self):
        genuine = hashlib.sha256(VALUE).digest()
        for title, der, want in (
                ("one signer", signature(signer()), (None, [])),
                ("two signers", signature(signer(), signer()),
                 ("a second signer: the signature holds 2 signers; Authenticode allows one", [])),
                ("none", signature(), ("no signer", [])),
                ("an unknown attribute", signature(signer(attribute(
                    bytes.fromhex("06032a0304"), encoded(0x04, bytes(300))))),
                 ("an unsigned attribute of 317 bytes, which is no timestamp", [])),
                ("a nested signature", signature(signer(attribute(OID_NESTED, signature(
                    signer())))), ("a nested signature (sign-release.sh makes none)", [])),
                ("a countersignature of this signature", signature(signer(attribute(
                    OID_COUNTERSIGNATURE, countersignature(genuine)))),
                 (None, [("20231114221320Z", "an Authenticode countersignature, whose own "
                                             "signature is not checked")])),
                ("a countersignature of another", signature(signer(attribute(
                    OID_COUNTERSIGNATURE, countersignature(bytes(32))))),
                 ("a timestamp that covers another signature", [])),
                ("another file's signature as a timestamp", signature(signer(attribute(
                    OID_MS_TIMESTAMP, signature(signer())))),
                 ("a timestamp that covers another signature: the attribute holds no "
                  "timestamp", []))):
            self.assertEqual(judged(der), want, title)

    def test_der_lengths_are_bounded(self):
        for data in (b"\x30", b"\x30\x85\x00\x00\x00\x00\x01", b"\x30\x05\x00"):
            with self.assertRaises(ValueError):
                element(data, 0, len(data))
        self.assertEqual(children(b"\x04\x01x\x05\x00", 0, 5),
                         [(4, 2, 3, 0), (5, 5, 5, 3)])


if __name__ == "__main__":
    unittest.main()
