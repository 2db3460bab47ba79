#!/usr/bin/env python3
"""Checks the layout of the declarations shared with the KivraWwiseRTCSDK
library (include/) under the Microsoft x64 ABI and the Itanium ABIs.

clang lays the declarations out for each target and prints every record's
field offsets and every virtual table's slots. The check fails when

  * the layouts differ from the expected file checked in beside this script
    (any changed slot, offset, size or signature, on any target);
  * a record's fields, offsets or size differ between the Microsoft x64 build
    and the Itanium x86-64 and AArch64 builds;
  * a virtual table's order differs between the ABIs, once Itanium's two
    destructor entries (complete, deleting) are taken as MSVC's one;
  * an operation the bridge calls is not at the slot the SDK contract gives.

No MSVC is needed: clang targeting x86_64-pc-windows-msvc uses MSVC's record
and vftable layout rules. It checks declarations, not a DLL built by MSVC.

Usage: check_layout.py [--clang clang++] [--update]
"""

import argparse
import difflib
import os
import re
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
EXPECTED = os.path.join(HERE, "expected_layout.txt")

MSVC = "x86_64-pc-windows-msvc"
# (name, clang target, extra defines). The MSVC layout is taken twice: as the
# wrapper's DLL compiles the headers (exporting the buffer proxy) and as the
# SDK and the game include them; both must agree.
TARGETS = [
    ("msvc-x64", MSVC, ["-DKIVRA_WRAPPER_BUILDING"]),
    ("msvc-x64-importer", MSVC, []),
    ("itanium-x86_64", "x86_64-linux-gnu", ["-DKIVRA_WRAPPER_BUILDING"]),
    ("itanium-aarch64", "aarch64-linux-gnu", ["-DKIVRA_WRAPPER_BUILDING"]),
    ("itanium-armv7", "armv7-linux-gnueabihf", ["-DKIVRA_WRAPPER_BUILDING"]),
]
# Targets whose records must match the Microsoft x64 ones field for field.
SAME_RECORDS_AS_MSVC = ["itanium-x86_64", "itanium-aarch64"]

# The slots the SDK contract states, counted the Microsoft way (one
# destructor slot); on Itanium every slot after a virtual destructor is one
# further on (two destructor entries).
OBSERVER_BASE = "kivra::media::IAudioFrameObserverBase"
CONTRACT = {
    "kivra::rtc::IRtcEngine": {"findInterface": 0},
    "kivra::media::IMediaEngine": {
        "registerAudioFrameObserver": 0,
        "pushFrameToTrack": 4,
        "makeCustomAudioTrack": 8,
    },
    OBSERVER_BASE: {
        "~": 0,
        "onRecordAudioFrame": 1,
        "onPlaybackAudioFrame": 2,
        "onMixedAudioFrame": 3,
        "onEarMonitoringAudioFrame": 4,
        "onPlaybackAudioFrameBeforeMixing(const char *, rtc::user_id_t": 5,
        "getObservedAudioFramePosition": 6,
        "getPlaybackAudioParams": 7,
        "getRecordAudioParams": 8,
        "getMixedAudioParams": 9,
        "getEarMonitoringAudioParams": 10,
    },
    "kivra::media::IAudioFrameObserver": {
        "~": 0,
        "onRecordAudioFrame": 1,
        "onPlaybackAudioFrameBeforeMixing(const char *, rtc::user_id_t": 5,
        "getEarMonitoringAudioParams": 10,
        "onPlaybackAudioFrameBeforeMixing(const char *, rtc::uid_t": 11,
    },
    "IAkAudioBufferProxy": {
        "~": 0,
        "CapacityFrames": 1,
        "MarkState": 2,
        "Reserved": 3,
        "SetFilledFrames": 4,
        "FilledFrames": 5,
        "ChannelCount": 6,
        "ChannelData": 7,
    },
}
RECORDS = ["kivra::media::AudioFrame", "kivra::media::AudioParams", "kivra::rtc::AudioTrackConfig"]


def ours(name):
    return name.startswith("kivra::") or name == "IAkAudioBufferProxy"


def dump(clang, target, defines):
    cmd = [clang, "-target", target, "-std=c++17", "-ffreestanding", "-nostdinc++",
           "-nostdlibinc", "-isystem", os.path.join(HERE, "freestanding"),
           "-I", os.path.join(ROOT, "include"), *defines,
           "-Xclang", "-fdump-vtable-layouts", "-Xclang", "-fdump-record-layouts",
           "-emit-llvm", "-S", "-o", os.devnull, os.path.join(HERE, "layout_tu.cpp")]
    run = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if run.returncode != 0:
        sys.exit("check_layout: clang failed for %s:\n%s" % (target, run.stderr))
    return run.stdout


ROW = re.compile(r"^\s*(\d+)? \| (.*)$")


def parse_records(text):
    """{record: (size, align, [(offset, field)])} for the records of ours."""
    records = {}
    for block in text.split("*** Dumping AST Record Layout")[1:]:
        lines = block.strip("\n").split("\n")
        head = ROW.match(lines[0])
        name = head.group(2).split(" ", 1)[1]
        if not ours(name) or name in records:
            continue
        fields = []
        size = align = None
        for line in lines[1:]:
            m = ROW.match(line)
            if not m:
                break
            body = m.group(2)
            s = re.match(r"\[sizeof=(\d+), (?:dsize=\d+, )?align=(\d+)", body.strip())
            if s:
                size, align = int(s.group(1)), int(s.group(2))
                continue
            if m.group(1) is None or not body.startswith("  ") or body.startswith("   "):
                continue  # continuation lines and members of bases or members
            body = body.strip()
            if body.endswith("vftable pointer)") or body.endswith("vtable pointer)"):
                body = "(virtual table pointer)"
            elif body.endswith("(primary base)") or body.endswith("(base)"):
                body = "base " + body.split(" ")[1]
            else:
                body = body.split(" ")[-1]
            fields.append((int(m.group(1)), body))
        records[name] = (size, align, fields)
    return records


def clean_entry(entry):
    entry = entry.replace(" [pure]", "").strip()
    return re.sub(r"\[(complete|deleting|scalar deleting)\]", r"[\1 destructor]", entry)


def parse_vtables(text, msvc):
    """{class: [entry]} in slot order, slot 0 first."""
    tables = {}
    head = re.compile(r"^VFTable for '([^']+)'(?: in '([^']+)')? \(\d+ entries\)\.$" if msvc
                      else r"^Vtable for '([^']+)' \(\d+ entries\)\.$")
    lines = text.split("\n")
    i = 0
    while i < len(lines):
        m = head.match(lines[i])
        i += 1
        if not m:
            continue
        name = (m.group(2) or m.group(1)) if msvc else m.group(1)
        entries = []
        while i < len(lines) and lines[i].strip():
            row = ROW.match(lines[i])
            i += 1
            if not row or row.group(1) is None:
                continue  # "-- ... vtable address --"
            body = row.group(2)
            if body.startswith("offset_to_top") or body.endswith(" RTTI"):
                continue
            entries.append(clean_entry(body))
        if ours(name) and name not in tables:
            tables[name] = entries
    return tables


def render(name, records, tables):
    out = ["[%s]" % name]
    for rec in sorted(records):
        size, align, fields = records[rec]
        out.append("record %s size %d align %d" % (rec, size, align))
        out += ["  %3d %s" % f for f in fields]
    for cls in sorted(tables):
        out.append("vtable %s" % cls)
        out += ["  %3d %s" % (slot, e) for slot, e in enumerate(tables[cls])]
    return out


def slot_of(entries, key):
    """The slot of "~" (the destructor), a method name, or a name with the
    start of its parameter list (for overloads)."""
    for slot, e in enumerate(entries):
        if key == "~":
            if "~" in e:
                return slot
        elif ("::" + key + ("" if "(" in key else "(")) in e:
            return slot
    return None


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--clang", default=os.environ.get("CLANGXX", "clang++"))
    ap.add_argument("--update", action="store_true",
                    help="rewrite the expected file (after an intended change)")
    args = ap.parse_args()

    layouts = {}
    text = []
    for name, target, defines in TARGETS:
        raw = dump(args.clang, target, defines)
        records = parse_records(raw)
        tables = parse_vtables(raw, target == MSVC)
        layouts[name] = (records, tables)
        if name != "msvc-x64-importer":  # compared with msvc-x64 below
            text += render(name, records, tables) + [""]
    problems = []

    # Every record and table the contract names was laid out.
    for name, (records, tables) in layouts.items():
        for rec in RECORDS:
            if rec not in records:
                problems.append("%s: no layout for record %s" % (name, rec))
        for cls in CONTRACT:
            if cls not in tables:
                problems.append("%s: no virtual table for %s" % (name, cls))
    if problems:
        print("\n".join(problems))
        return 1

    msvc_records, msvc_tables = layouts["msvc-x64"]
    if render("", *layouts["msvc-x64-importer"])[1:] != render("", msvc_records, msvc_tables)[1:]:
        problems.append("msvc-x64: the wrapper's DLL and its importers lay the headers out differently")
    for other in SAME_RECORDS_AS_MSVC:
        for rec in RECORDS:
            if layouts[other][0][rec] != msvc_records[rec]:
                problems.append("%s differs between msvc-x64 %s and %s %s" % (
                    rec, msvc_records[rec], other, layouts[other][0][rec]))

    for name, (_, tables) in layouts.items():
        itanium = name.startswith("itanium")
        for cls, want in CONTRACT.items():
            entries = tables[cls]
            has_dtor = any("~" in e for e in entries)
            # Itanium against Microsoft: the same order once the complete and
            # deleting destructor entries count as one.
            if itanium:
                folded = [e for e in entries if "[complete destructor]" not in e]
                folded = [e.replace("[deleting destructor]", "[scalar deleting destructor]")
                          for e in folded]
                if folded != msvc_tables[cls]:
                    problems.append("%s: %s's table order differs from msvc-x64's" % (name, cls))
            for key, slot in want.items():
                expect = slot + (1 if itanium and has_dtor and slot > 0 else 0)
                got = slot_of(entries, key)
                if got != expect:
                    problems.append("%s: %s %s at slot %s, the contract says %d" % (
                        name, cls, key, got, expect))

    rendered = "\n".join(text)
    if args.update:
        with open(EXPECTED, "w") as f:
            f.write(rendered)
        print("check_layout: wrote %s" % os.path.relpath(EXPECTED, ROOT))
    else:
        with open(EXPECTED) as f:
            expected = f.read()
        if expected != rendered:
            problems.append("layouts differ from %s:\n%s" % (
                os.path.relpath(EXPECTED, ROOT),
                "\n".join(difflib.unified_diff(expected.split("\n"), rendered.split("\n"),
                                               "expected", "now", lineterm=""))))
    if problems:
        print("check_layout: FAILED")
        print("\n".join(problems))
        return 1
    print("check_layout: %d targets, %d records and %d virtual tables as expected" % (
        len(TARGETS), len(RECORDS), len(CONTRACT)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
