#!/usr/bin/env python3
"""The bundle's Info.plist, made by the build's own step, read back by a property-list parser."""
import pathlib
import plistlib
import subprocess
import sys
import tempfile

cmake, script, identifier, version = sys.argv[1:5]
expected = {
    "CFBundleName": "Kestrune", "CFBundleDisplayName": "Kestrune", "CFBundleExecutable": "Kestrune",
    "CFBundleIdentifier": identifier, "CFBundleShortVersionString": version, "CFBundleVersion": version,
    "CFBundlePackageType": "APPL", "LSMinimumSystemVersion": "11.0",
    "NSHighResolutionCapable": True, "LSUIElement": True,  # accessory: no Dock icon, no menu bar
}


def write(output, bundle_identifier):
    command = [cmake, f"-DOUTPUT={output}", f"-DIDENTIFIER={bundle_identifier}", f"-DVERSION={version}", "-P", script]
    return subprocess.run(command, capture_output=True).returncode


with tempfile.TemporaryDirectory() as folder:
    output = pathlib.Path(folder) / "Info.plist"
    assert write(output, identifier) == 0, "the build's identifier and version were refused"
    info = plistlib.loads(output.read_bytes())
    wrong = {key: info.get(key) for key, value in expected.items()
             if info.get(key) != value or type(info.get(key)) is not type(value)}
    assert not wrong, f"wrong or missing: {wrong}"
    # Values go into the XML unescaped: markup in the identifier must be refused.
    assert write(pathlib.Path(folder) / "bad.plist", "app.<b>&") != 0, "markup in the identifier was accepted"
