#!/usr/bin/python3
"""Loosens each rule of verify/signature_table.py in turn (a row's count,
its value check, its bound; a field of a declared structure let be
anything, or no longer required) and runs the rules' unit tests against
it: a rule no test pins is printed as surviving. A review tool, not a
test: run it after changing the table (a few seconds)."""
import argparse
import io
import os
import sys
import unittest

if __package__ in (None, ""):  # started as a file: the packages lie at the checkout's top
    sys.path[0] = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from verify import signature_reader
from verify import signature_table as table

TESTS = "tests.release.test_signature_rules"
# Loosenings that change no verdict, each for the reason given: another rule
# or the reader refuses first what the loosened one would have let in.
EXACT = "its value check admits one value, or digests' sizes only, within the bound"
TYPED = "asn1crypto parses this attribute by its type before any check of ours"
EQUIVALENT = {
    "its signer, content type: bound 1 MiB": EXACT,
    "its signer, message digest: bound 1 MiB": EXACT,
    "the timestamp token, content type: bound 1 MiB": EXACT,
    "the timestamp token, message digest: bound 1 MiB": EXACT,
    "the timestamp token, signature policy: bound 1 MiB": EXACT,
    "its signer, signing time: any value": TYPED,
    "the timestamp token, signing time: any value": TYPED,
    "the countersignature, signing time: any value": TYPED,
    "the timestamp token, signing certificate: any value": TYPED,
    "the timestamp token, signing certificate (v2): any value": TYPED,
    "its signer, CMS algorithm protection: any value": TYPED,
    "the timestamp token, CMS algorithm protection: any value": TYPED,
    "its signer, CMS algorithm protection: bound 1 MiB":
        "it must name the signer's own two algorithms, which bounds it",
    "the timestamp token, CMS algorithm protection: bound 1 MiB":
        "it must name the signer's own two algorithms, which bounds it",
    "the timestamp token, message digest: any value":
        "OpenSSL checks the token's signature over it against the TSTInfo's digest",
    "the countersignature, message digest: any value":
        "it must equal the digest of the signature value it countersigns",
    "the countersignature, message digest: bound 1 MiB":
        "it must equal the digest of the signature value it countersigns",
    "the countersignature, message digest: at least 0":
        "the reader cannot read a countersignature without its digest and time",
    "the countersignature, signing time: at least 0":
        "the reader cannot read a countersignature without its digest and time",
    "the timestamp token, signer attributes: at most 99":
        "each holds an attribute certificate, and a token holds one at most",
    "the timestamp token, signer attributes: any value":
        "the reader loads it strictly, as certified attributes alone",
    "the timestamp token, signer attributes: bound 1 MiB":
        "the attribute certificate it holds is bounded, and walked field by field",
    "its signer's unsigned attributes, RFC 3161 timestamp: at most 99":
        "a second timestamp of either kind is refused first",
}
for kind in ("RFC 3161 timestamp", "countersignature", "nested signature"):
    for how in ("any value", "bound 1 MiB"):
        EQUIVALENT["its signer's unsigned attributes, %s: %s" % (kind, how)] = \
            "the reader parses it as its kind, and the whole signature's bound comes first"


def anything(value):
    return None


def passes() -> bool:
    suite = unittest.defaultTestLoader.loadTestsFromName(TESTS)
    return unittest.TextTestRunner(stream=io.StringIO(), verbosity=0).run(suite).wasSuccessful()


def fields(shape, path=()):
    """(path, rule) of every field a shape declares, not through a shared one."""
    if isinstance(shape, table.Required):
        shape = shape.shape
    if shape is table.NTP_TIME or shape is table.OBJECT_DIGEST:
        return
    children = shape.items() if isinstance(shape, dict) else \
        [("<%s>" % k, v) for k, v in shape.alternatives.items()] if isinstance(
            shape, table.Choice) else [("<%s>" % k, v) for k, v in shape.kinds.items()] \
        if isinstance(shape, table.ByKind) else [("[]", shape.shape)] if isinstance(
            shape, table.Each) else []
    for key, rule in children:
        if not key.startswith("<"):
            yield path + (key,), rule
        yield from fields(rule, path + (key,))


def replaced(shape, path, new):
    """shape with the field at path replaced by new, the rest shared."""
    if isinstance(shape, table.Required):
        return table.Required(replaced(shape.shape, path, new))
    key, rest = path[0], path[1:]
    if isinstance(shape, dict):
        return dict(shape, **{key: new if not rest else replaced(shape[key], rest, new)})
    if isinstance(shape, table.Each):
        return table.Each(shape.most, new if not rest else replaced(shape.shape, rest, new))
    group = shape.alternatives if isinstance(shape, table.Choice) else shape.kinds
    changed = dict(group, **{key[1:-1]: replaced(group[key[1:-1]], rest, new)})
    return table.Choice(changed) if isinstance(shape, table.Choice) else table.ByKind(changed)


def mutants():
    """(title, the module attribute, its mutated value)."""
    for number, row in enumerate(table.ATTRIBUTES):
        for how, changed in (("at most 99", row._replace(most=99)),
                             ("at least 0", row._replace(least=0) if row.least else None),
                             ("any value", row._replace(value=anything)),
                             ("bound 1 MiB", row._replace(bound=1 << 20))):
            if changed is not None:
                rows = list(table.ATTRIBUTES)
                rows[number] = changed
                yield "%s, %s: %s" % (row.place, row.name, how), "ATTRIBUTES", tuple(rows)
    for name in ("ATTRIBUTE_CERTIFICATE", "TST_INFO"):
        shape = getattr(table, name)
        for path, rule in fields(shape):
            inner = rule.shape if isinstance(rule, table.Required) else rule
            where = "%s.%s" % (name, ".".join(path))
            if inner is not table.any_value and (inner == table.ABSENT or callable(inner)):
                yield where + ": anything", name, replaced(shape, path, anything)
            if isinstance(rule, table.Required):
                yield where + ": not required", name, replaced(shape, path, inner)
            if isinstance(inner, table.Each):
                yield where + ": 99 at most", name, replaced(shape, path,
                                                             table.Each(99, inner.shape))
    for name in ("NTP_TIME", "OBJECT_DIGEST"):
        for key, rule in getattr(table, name).items():
            if rule is not table.any_value:
                yield "%s.%s: anything" % (name, key), name, dict(getattr(table, name),
                                                                  **{key: anything})
    for name, value in (("LIMIT_ATTRIBUTE_CERTIFICATE", 1 << 20), ("VALUES", {}),
                        ("HOLDER_BY_CERTIFICATE", ("entity_name",)), ("ONE_OF", {}),
                        ("LIMIT_SIGNATURE", 1 << 30)):
        yield name, name, value


def shared(name: str, value) -> None:
    """Sets the declaration, and every declaration built of it."""
    setattr(table, name, value)
    if hasattr(signature_reader, name):
        setattr(signature_reader, name, value)


def main(arguments: list) -> int:
    argparse.ArgumentParser(prog="table_mutants.py", description=__doc__.split("\n\n")[0]
                            ).parse_args(arguments)
    if not passes():
        print("the rules' tests fail with the table as it is")
        return 2
    kept = {name: getattr(table, name) for name in (
        "ATTRIBUTES", "ATTRIBUTE_CERTIFICATE", "TST_INFO", "NTP_TIME", "OBJECT_DIGEST",
        "LIMIT_ATTRIBUTE_CERTIFICATE", "VALUES", "HOLDER_BY_CERTIFICATE", "ONE_OF",
        "LIMIT_SIGNATURE")}
    survivors, count = [], 0
    for title, name, value in mutants():
        count += 1
        if name in ("NTP_TIME", "OBJECT_DIGEST"):  # shared: changed in place, everywhere
            getattr(table, name).update(value)
        else:
            shared(name, value)
        try:
            if passes():
                survivors.append(title)
        finally:
            for restored, original in kept.items():
                if restored in ("NTP_TIME", "OBJECT_DIGEST"):
                    getattr(table, restored).clear()
                    getattr(table, restored).update(original_shared[restored])
                else:
                    shared(restored, original)
    argued = [title for title in survivors if title in EQUIVALENT]
    pinned = [title for title in survivors if title not in EQUIVALENT]
    print("%d mutants of the table: %d survive, %d of them argued equivalent" % (
        count, len(survivors), len(argued)))
    for title in argued:
        print("  equivalent: %s (%s)" % (title, EQUIVALENT[title]))
    for title in pinned:
        print("  SURVIVES: " + title)
    return 1 if pinned else 0


original_shared = {"NTP_TIME": dict(table.NTP_TIME), "OBJECT_DIGEST": dict(table.OBJECT_DIGEST)}

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
