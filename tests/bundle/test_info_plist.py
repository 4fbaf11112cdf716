#!/usr/bin/env python3
"""The bundle's Info.plist, made by the build's own step, read back by a property-list parser."""
import pathlib, plistlib, subprocess, sys, tempfile

cmake, script, identifier, version = sys.argv[1:5]
expected = {"CFBundleName": "Kestrune", "CFBundleDisplayName": "Kestrune", "CFBundleExecutable": "Kestrune",
            "CFBundleIdentifier": identifier, "CFBundleShortVersionString": version, "CFBundleVersion": version,
            "CFBundlePackageType": "APPL", "LSMinimumSystemVersion": "11.0", "NSHighResolutionCapable": True,
            "LSUIElement": True}  # accessory: no Dock icon, no menu bar
folder = tempfile.TemporaryDirectory()  # removed as the interpreter ends
output = pathlib.Path(folder.name) / "Info.plist"


def write(bundle_identifier):
    command = [cmake, f"-DOUTPUT={output}", f"-DIDENTIFIER={bundle_identifier}", f"-DVERSION={version}", "-P", script]
    return subprocess.run(command, capture_output=True).returncode == 0 and plistlib.loads(output.read_bytes())


info = write(identifier)
wrong = {key: info.get(key) for key, value in expected.items() if info and repr(info.get(key)) != repr(value)}
assert info and not wrong, f"the build's values were refused, or wrong or missing: {wrong}"
# Values go into the XML unescaped: markup in the identifier must be refused.
assert not write("app.<b>&"), "markup in the identifier was accepted"
