"""Checks one executable taken from a download against the reference build:
unsigned, it must be that build byte for byte; signed, the signature attached
to that build must give the download back byte for byte, and the signature
itself is judged (authenticode.py), against the trust anchors the user
named, if any. Used for the zip's executables and for the one inside each
package."""
from authenticode import Findings, attached_to, judge, signer_verdict, unsigned_problems
from signed_file import osslsigncode, signature
from untrusted import NotARelease


def executable_check(name: str, image: bytes, built: bytes, source: str, anchors,
                     work: str) -> Findings:
    """The findings for one executable."""
    try:
        der = signature(image)
    except NotARelease:
        return Findings([], ["%s is not a Windows executable" % name])
    if der is None:
        if image == built:
            return Findings(["%s: unsigned; identical to %s's build" % (name, source)],
                            unsigned_problems(name, anchors))
        return Findings([], ["%s: unsigned; DIFFERS from %s's build" % (name, source)])
    found = []
    if attached_to(built, der, work) != image:
        unsigned = osslsigncode("remove-signature", [], image, work).data
        if unsigned is not None and unsigned != built:
            found.append("%s: without its signature, DIFFERS from %s's build" % (name, source))
        else:
            found.append("%s: its signature is not attached the way osslsigncode attaches one "
                         "to %s's build (the certificate table or the headers hold other bytes)"
                         % (name, source))
    signer = signer_verdict(name, judge(image, der, False, anchors, work))
    if found or signer.differences:
        return Findings([], found + signer.differences)
    return Findings(["%s: signed; the signature covers exactly %s's build" % (name, source)]
                    + signer.lines, [])
