"""Shared helpers of the generators that write the shipped language bundles.

The generators take their vocabularies (elements, properties, functions...) from machine-readable
sources: PHP's own reflection, and data packages from the npm registry installed at pinned
versions into a cache folder outside the repository. Everything they write is an XML property
list with sorted keys, so a regenerated bundle shows as a readable diff.
"""

import json
import os
import plistlib
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUNDLES = os.path.join(ROOT, "resources", "Bundles")
ELLIPSIS = "\u2026"


def bundle_contents(folder_name):
    """The "Contents" folder of a shipped bundle, created when missing."""
    path = os.path.join(BUNDLES, folder_name, "Contents")
    os.makedirs(path, exist_ok=True)
    return path


def write_plist(path, value):
    with open(path, "wb") as handle:
        plistlib.dump(value, handle, fmt=plistlib.FMT_XML, sort_keys=True)
    print("wrote", os.path.relpath(path, ROOT))


def read_plist(path):
    with open(path, "rb") as handle:
        return plistlib.load(handle)


def info_plist(identifier, title, categories, file_types=None, tooltip=None, hidden=False):
    info = {
        "CFBundleIdentifier": identifier,
        "CFBundleName": title,
        "CFBundleVersion": "1.0",
        "file-categories": categories,
    }
    if file_types:
        info["file-types"] = file_types
    if tooltip:
        info["tooltip"] = tooltip
    if hidden:
        info["hide-in-list"] = True
    return info


def fail(message):
    sys.stderr.write(message + "\n")
    sys.exit(1)


def npm_modules(packages):
    """Installs the pinned npm packages (name@version) into the cache folder once and answers
    its node_modules folder. QORVEL_GENERATOR_CACHE overrides the cache folder."""
    if not shutil.which("npm") or not shutil.which("node"):
        fail("npm and node are needed: apt-get install nodejs npm")
    cache = os.environ.get("QORVEL_GENERATOR_CACHE") or os.path.join(
        os.path.expanduser("~"), ".cache", "qorvel-bundle-data")
    os.makedirs(cache, exist_ok=True)
    manifest = os.path.join(cache, "package.json")
    if not os.path.exists(manifest):
        with open(manifest, "w") as handle:
            json.dump({"name": "qorvel-bundle-data", "private": True}, handle)
    modules = os.path.join(cache, "node_modules")
    missing = []
    for package in packages:
        name, version = package.rsplit("@", 1)
        installed = os.path.join(modules, name, "package.json")
        if not os.path.exists(installed) or json.load(open(installed))["version"] != version:
            missing.append(package)
    if missing:
        subprocess.run(["npm", "install", "--no-audit", "--no-fund", "--no-save", *missing],
                       cwd=cache, check=True)
    return modules


def node_json(modules, script):
    """Runs an ES module script with node beside the cache's node_modules and answers the JSON it
    prints."""
    result = subprocess.run(["node", "--input-type=module", "-e", script], cwd=os.path.dirname(modules),
                            capture_output=True, text=True)
    if result.returncode != 0:
        fail("node failed:\n" + result.stderr)
    return json.loads(result.stdout)


def keyword_entries(words, kind):
    """Completion keys for plain words: {word: "<kind> <word>"}."""
    return {word: "%s %s" % (kind, word) for word in words}


def add_entry(keys, key, representation):
    """Adds one completion entry to "keys", turning a key into a list of entries when it has
    several distinct ones (overloads)."""
    current = keys.get(key)
    if current is None:
        keys[key] = representation
    elif isinstance(current, list):
        if representation not in current:
            current.append(representation)
    elif current != representation:
        keys[key] = [current, representation]
