#!/usr/bin/env python3
"""Checks what a built KivraWwiseWrapper makes visible, per platform flavour.

  check_exports.py lists --header H --map M --macos-list L
      The six functions declared KW_API in the C header are exactly the ones
      the ELF version script and the macOS exported-symbols list name.
  check_exports.py elf --nm NM --flavour hidden|android --library SO [--objects O...]
      hidden: the shared object defines exactly the six functions.
      android: default visibility; the six, the six callbacks, the front
      end's and the bridge object's members and the globals are visible, and
      so is every external symbol of the library's own objects.
  check_exports.py pe --objdump OBJDUMP --library DLL
      The DLL exports the six functions and the buffer proxy's special
      members, virtual table and type info, nothing else, and imports only
      system DLLs and KivraWwiseRTCSDK.dll.
Exit status 0 when every check holds; each failure is printed.
"""
import argparse
import re
import subprocess
import sys

SIX = [
    "KW_InitKivraWwisePlugin",
    "KW_UninitKivraWwisePlugin",
    "KW_SetUidToGameObjectIDMapping",
    "KW_GetUidByGameObjectID",
    "KW_ClearReceiveOpenID",
    "KW_SetWwiseSampleRate",
]

CALLBACKS = [
    "SetTransferRecordingData",
    "GetRecodeAudioFrame",
    "PushRecodeAudioFrameAfterEffect",
    "SetTransferPlayoutData",
    "GetPlayoutAudioFrameByUid",
    "PushPlayoutAudioFrameAfterEffect",
]

SETTERS = ["KWPluginSetCallback_" + name for name in CALLBACKS]

FRONT_END = "FKivraWwiseCommHandlerKivraInterface::"
BRIDGE = "KivraWwiseCommWrapper::"

# Names (demangled, without parameters) the Android build must make visible
# besides the six functions and the six callbacks.
ANDROID_MEMBERS = [
    FRONT_END + "InitKivraWwisePlugin",
    FRONT_END + "UninitKivraWwisePlugin",
    FRONT_END + "SetWwiseSampleRate",
    FRONT_END + "SetTransferRecordingData",
    FRONT_END + "GetRecodeAudioFrame",
    FRONT_END + "PushRecodeAudioFrameAfterEffect",
    FRONT_END + "SetTransferPlayoutData",
    FRONT_END + "GetPlayoutAudioFrameByUid",
    FRONT_END + "PushPlayoutAudioFrameAfterEffect",
    FRONT_END + "KWPlugin_Receive_SetUidToGameObjectIDMapping",
    FRONT_END + "KWPlugin_Receive_GetUidByGameObjectID",
    FRONT_END + "KWPlugin_Receive_ClearReceiveOpenID",
    BRIDGE + "getInstance",
    BRIDGE + "destroyInstance",
    BRIDGE + "onRecordAudioFrame",
    BRIDGE + "onPlaybackAudioFrameBeforeMixing",
    BRIDGE + "popOriginRecordAudioFrame",
    BRIDGE + "pushRecordAudioFrameAfterEffect",
    BRIDGE + "popOriginPlayerAudioFrameByUid",
    BRIDGE + "pushReverseAudioFrameAfterEffect",
    "vtable for KivraWwiseCommWrapper",
    "KV_INIT_LOG",
    "KV_LOG",
    "KV_SHUTDOWN_LOG",
    "KV_GET_LOG_DIR",
    "getCurrentTimeMillis",
    "getExternalStoragePath",
    "directoryExists",
    "createDirectory",
]
ANDROID_GLOBALS = ["LogDir", "LogPath", "logFile", "m_wrapper_lock_", "m_wrapper"]

# The Windows DLL: the buffer proxy's special members in both the complete
# and the base-object forms GCC emits, the deleting destructor, the virtual
# table and the type info a class derived in another module refers to.
PROXY = "19IAkAudioBufferProxy"
WINDOWS_PROXY = [
    "_ZN%sC1Ev" % PROXY,  # default constructor
    "_ZN%sC2Ev" % PROXY,
    "_ZN%sC1ERKS_" % PROXY,  # copy constructor
    "_ZN%sC2ERKS_" % PROXY,
    "_ZN%sD0Ev" % PROXY,  # virtual destructor: deleting, complete, base
    "_ZN%sD1Ev" % PROXY,
    "_ZN%sD2Ev" % PROXY,
    "_ZN%saSERKS_" % PROXY,  # copy assignment
    "_ZTV%s" % PROXY,  # virtual table
    "_ZTI%s" % PROXY,  # type info
]
WINDOWS_SYSTEM_DLLS = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll"}
SDK_DLL = "KivraWwiseRTCSDK.dll"

failures = []


def fail(message):
    failures.append(message)
    print("FAIL: " + message)


def run(cmd):
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            universal_newlines=True)
    if result.returncode != 0:
        print("command failed: %s\n%s" % (" ".join(cmd), result.stderr))
        sys.exit(2)
    return result.stdout


def check_set(what, found, expected):
    missing = sorted(set(expected) - set(found))
    extra = sorted(set(found) - set(expected))
    for name in missing:
        fail("%s: missing %s" % (what, name))
    for name in extra:
        fail("%s: unexpected %s" % (what, name))


# ---- header and export lists ------------------------------------------------

def cmd_lists(args):
    header = open(args.header).read()
    declared = re.findall(r"KW_API\s+int\s+(\w+)\s*\(", header)
    check_set("C header KW_API functions", declared, SIX)
    with open(args.map) as f:
        text = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
    match = re.search(r"global:(.*?)local:", text, re.S)
    mapped = re.findall(r"(\w+)\s*;", match.group(1)) if match else []
    if not re.search(r"local:\s*\*\s*;", text):
        fail("%s: does not hide everything else (local: *;)" % args.map)
    check_set("ELF version script", mapped, declared)
    with open(args.macos_list) as f:
        listed = [line.strip() for line in f if line.strip() and not line.startswith("#")]
    check_set("macOS exported symbols list", listed, ["_" + name for name in declared])


# ---- ELF (Linux, Android rules, macOS rules on Linux) -----------------------

def nm_symbols(nm, path, flags):
    """(type, name) of every symbol nm lists with the given flags."""
    symbols = []
    for line in run([nm] + flags + [path]).splitlines():
        parts = line.split(None, 2)
        if len(parts) == 3:
            symbols.append((parts[1], parts[2]))
        elif len(parts) == 2:
            symbols.append((parts[0], parts[1]))
    return symbols


def plain_name(demangled):
    """The qualified name without parameters and ABI tags."""
    name = demangled
    if not name.startswith(("vtable for ", "typeinfo for ")):
        depth = 0
        for i, ch in enumerate(name):
            if ch == "<":
                depth += 1
            elif ch == ">":
                depth -= 1
            elif ch == "(" and depth == 0:
                name = name[:i]
                break
    return re.sub(r"\[abi:[^\]]*\]", "", name).strip()


def defined_dynamic(nm, library, demangle):
    flags = ["-D", "--defined-only"] + (["-C"] if demangle else [])
    # Absolute symbols are version nodes, not code or data.
    return [name for kind, name in nm_symbols(nm, library, flags) if kind not in ("A", "a")]


def cmd_elf(args):
    raw = defined_dynamic(args.nm, args.library, False)
    imported = [name for _, name in nm_symbols(args.nm, args.library, ["-D", "--undefined-only"])]
    for setter in SETTERS:
        if setter not in imported:
            fail("the library does not import %s from the SDK" % setter)
    if args.flavour == "hidden":
        # Versioned names look like name@@VERSION; none are expected.
        check_set("exported symbols", [n.split("@")[0] for n in raw], SIX)
        return
    # android: default visibility.
    # Plain C names; the C++ globals carry an ABI tag and are matched below.
    for name in SIX + CALLBACKS:
        if name not in raw:
            fail("exported symbols: missing %s" % name)
    visible = {plain_name(n) for n in defined_dynamic(args.nm, args.library, True)}
    for name in ANDROID_MEMBERS + ANDROID_GLOBALS:
        if name not in visible:
            fail("exported symbols: missing %s" % name)
    # Every external symbol the library's own objects define stays visible.
    own = set()
    for obj in args.objects:
        for kind, name in nm_symbols(args.nm, obj, ["--defined-only", "--extern-only"]):
            # DW.ref.* are the compiler's hidden personality-routine slots.
            if kind not in ("A", "a") and not name.startswith("DW.ref."):
                own.add(name)
    if not own:
        fail("no external symbols found in the library's objects")
    raw_set = set(raw)
    for name in sorted(own - raw_set):
        fail("symbol of the library not visible: %s" % name)
    print("%d defined dynamic symbols, %d of them the library's own" % (len(raw_set), len(own)))


# ---- PE (Windows DLL) -------------------------------------------------------

def pe_tables(objdump, library):
    """(exported names, {imported dll: [names]}) from objdump -p."""
    text = run([objdump, "-p", library])
    exports = []
    imports = {}
    section = None
    current_dll = None
    for line in text.splitlines():
        if line.startswith("[Ordinal/Name Pointer] Table"):
            section = "exports"
            continue
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            section = "imports"
            current_dll = match.group(1)
            imports[current_dll] = []
            continue
        if section == "exports":
            match = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if match:
                exports.append(match.group(1))
            elif not line.strip():
                section = None
        elif section == "imports":
            match = re.match(r"\s*[0-9a-f]+\s+\d+\s+(\S+)", line)
            if match:
                imports[current_dll].append(match.group(1))
            elif not line.strip():
                section = None
    return exports, imports


def cmd_pe(args):
    exports, imports = pe_tables(args.objdump, args.library)
    check_set("exported symbols", exports, SIX + WINDOWS_PROXY)
    for dll in imports:
        if dll.lower() not in WINDOWS_SYSTEM_DLLS and dll != SDK_DLL:
            fail("the DLL needs %s: link the runtime statically" % dll)
    from_sdk = imports.get(SDK_DLL, [])
    for setter in SETTERS:
        if setter not in from_sdk:
            fail("the DLL does not import %s from %s" % (setter, SDK_DLL))
    print("exports: " + " ".join(exports))
    print("imports from: " + " ".join(sorted(imports)))


def main():
    parser = argparse.ArgumentParser()
    sub = parser.add_subparsers(dest="mode", required=True)
    lists = sub.add_parser("lists")
    lists.add_argument("--header", required=True)
    lists.add_argument("--map", required=True)
    lists.add_argument("--macos-list", required=True)
    elf = sub.add_parser("elf")
    elf.add_argument("--nm", required=True)
    elf.add_argument("--flavour", choices=["hidden", "android"], required=True)
    elf.add_argument("--library", required=True)
    elf.add_argument("--objects", nargs="*", default=[])
    pe = sub.add_parser("pe")
    pe.add_argument("--objdump", required=True)
    pe.add_argument("--library", required=True)
    args = parser.parse_args()
    # CMake may hand a list of objects over as one ';'-separated argument.
    if getattr(args, "objects", None):
        args.objects = [o for arg in args.objects for o in arg.split(";") if o]
    {"lists": cmd_lists, "elf": cmd_elf, "pe": cmd_pe}[args.mode](args)
    if failures:
        print("%d export check(s) failed" % len(failures))
        return 1
    print("export checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
