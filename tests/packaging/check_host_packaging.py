#!/usr/bin/env python3
"""Checks the property lists and entitlements the macOS build embeds in the three hosts.

The system reads these files, not our code: a missing usage text means the permission prompt is
never shown and the capture or the Bluetooth link fails silently on a user's machine. They are
checked here because the macOS link that embeds them cannot run on this machine.

usage: check_host_packaging.py PREFIX HOST=PLIST[,ENTITLEMENTS] ...
"""
import plistlib
import sys
import unicodedata


def load(path):
    with open(path, "rb") as f:
        return plistlib.load(f)


def is_chinese_sentence(text):
    return any(unicodedata.name(c, "").startswith("CJK UNIFIED IDEOGRAPH") for c in text)


def check(prefix, host, info, entitlements):
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(f"{host}: {what}")

    expect(info.get("CFBundleExecutable") == host, "CFBundleExecutable names the program")
    expect(str(info.get("CFBundleIdentifier", "")).startswith(prefix + ".desktop."),
           f"CFBundleIdentifier derives from {prefix}.desktop")
    expect(info.get("CFBundlePackageType") == "APPL", "CFBundlePackageType is APPL")
    expect(info.get("LSMinimumSystemVersion") == "13.0", "requires macOS 13.0")
    expect(info.get("LSBackgroundOnly") is True or info.get("LSUIElement") is True,
           "runs without a Dock icon")
    for key in ("CFBundleShortVersionString", "CFBundleVersion", "CFBundleName"):
        expect(bool(info.get(key)), f"{key} is set")

    if host == "OrvixBleHost":
        expect(info.get("CFBundleIdentifier") == prefix + ".desktop.ble-host", "ble-host identifier")
        expect(info.get("CFBundleName") == "Orvix BLE Host", "CFBundleName")
        expect(info.get("CFBundleShortVersionString") == "1.0.62", "short version 1.0.62")
        expect(info.get("CFBundleVersion") == "1.0.62", "version 1.0.62")
        expect(info.get("CFBundleDevelopmentRegion") == "zh_CN", "development region zh_CN")
        expect(info.get("LSBackgroundOnly") is True, "background-only")
        always = info.get("NSBluetoothAlwaysUsageDescription", "")
        expect(is_chinese_sentence(always), "Bluetooth usage text is a Chinese sentence")
        expect(info.get("NSBluetoothPeripheralUsageDescription") == always,
               "both Bluetooth usage texts are the same sentence")
    elif host == "OrvixAudioCaptureHost":
        expect(info.get("LSUIElement") is True, "background element")
        for key in ("NSAudioCaptureUsageDescription", "NSMicrophoneUsageDescription"):
            expect(bool(str(info.get(key, "")).strip()), f"{key} is set")
        expect(entitlements is not None and
               entitlements.get("com.apple.security.device.audio-input") is True,
               "signed with the audio-input entitlement")
    return failures


def main(arguments):
    prefix, hosts = arguments[0], arguments[1:]
    failures, identifiers = [], {}
    for argument in hosts:
        host, files = argument.split("=", 1)
        plist, _, entitlements = files.partition(",")
        info = load(plist)
        failures += check(prefix, host, info, load(entitlements) if entitlements else None)
        identifiers.setdefault(info.get("CFBundleIdentifier"), []).append(host)
    failures += [f"{' and '.join(h)} share the identifier {i}"
                 for i, h in identifiers.items() if len(h) > 1]
    for failure in failures:
        print("FAIL", failure)
    print(f"{len(hosts)} hosts checked, {len(failures)} failures")
    return 1 if failures or not hosts else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
