"""An SBOM checked with the CycloneDX project's own 1.6 JSON schema, taken
from its library on the npm registry (@cyclonedx/cyclonedx-library, which
bundles the schema and the SPDX and JSF schemas it refers to) and applied
with Debian's python3-jsonschema; and its hashes checked against the files."""
import glob
import hashlib
import json
import os
import subprocess
import tarfile

import jsonschema

LIBRARY = "@cyclonedx/cyclonedx-library@10.3.0"
SCHEMAS = ("bom-1.6.SNAPSHOT.schema.json", "spdx.SNAPSHOT.schema.json",
           "jsf-0.82.SNAPSHOT.schema.json")


def validator(work):
    """A validator for CycloneDX 1.6 JSON, from the npm package unpacked in work."""
    done = subprocess.run(["npm", "pack", "--silent", LIBRARY], cwd=work, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise RuntimeError("npm pack %s failed:\n%s" % (LIBRARY, done.stderr[-2000:]))
    store = {}
    with tarfile.open(glob.glob(os.path.join(work, "cyclonedx-cyclonedx-library-*.tgz"))[0]) as t:
        for name in SCHEMAS:
            schema = json.load(t.extractfile("package/res/schema/" + name))
            # Referred to by its file name, and known by its $id.
            store[schema["$id"]] = store["http://cyclonedx.org/schema/" + name] = schema
    schema = store["http://cyclonedx.org/schema/bom-1.6.schema.json"]
    return jsonschema.Draft7Validator(schema, resolver=jsonschema.RefResolver.from_schema(
        schema, store=store))


def problems(check, text, files):
    """Schema errors, and hashes that do not match {name: bytes}."""
    document = json.loads(text)
    found = ["%s: %s" % ("/".join(map(str, e.path)), e.message[:200])
             for e in check.iter_errors(document)]
    for component in document.get("components", []):
        if component.get("type") == "file":
            data = files.get(component["name"])
            want = {h["alg"]: h["content"] for h in component.get("hashes", [])}
            if data is None or want != {"SHA-256": hashlib.sha256(data).hexdigest(),
                                        "SHA-512": hashlib.sha512(data).hexdigest()}:
                found.append("%s: its hashes do not match the file" % component["name"])
    return found
