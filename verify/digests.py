"""The digests a signature may name: SHA-1 (for Windows before 8, by dual
signers) and SHA-2, with what each produces in bytes. A module of its own,
so that the package reader, under its memory limit, imports no more."""
DIGEST_SIZES = {"sha1": 20, "sha256": 32, "sha384": 48, "sha512": 64}
DIGESTS = tuple(DIGEST_SIZES)
