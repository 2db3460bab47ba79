#!/usr/bin/env python3
"""Reads an ELF shared object's dynamic symbol table and checks that the
symbols it defines and exports are exactly the six game-facing functions.

Usage: check_exports.py LIBRARY
"""
import struct
import sys

EXPECTED = {
    "KW_InitKivraWwisePlugin",
    "KW_UninitKivraWwisePlugin",
    "KW_SetUidToGameObjectIDMapping",
    "KW_GetUidByGameObjectID",
    "KW_ClearReceiveOpenID",
    "KW_SetWwiseSampleRate",
}
SHT_DYNSYM = 11
SHN_UNDEF = 0
STB_GLOBAL, STB_WEAK, STB_GNU_UNIQUE = 1, 2, 10
STT_FUNC = 2
STV_DEFAULT, STV_PROTECTED = 0, 3


def exported_symbols(path):
    """(name, type) of every defined, visible global symbol in .dynsym."""
    data = open(path, "rb").read()
    if data[:4] != b"\x7fELF":
        raise SystemExit("%s: not an ELF file" % path)
    is64 = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if is64:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x3A)
        sh_fmt, sym_fmt = end + "IIQQQQIIQQ", end + "IBBHQQ"
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum = struct.unpack_from(end + "HH", data, 0x2E)
        sh_fmt, sym_fmt = end + "IIIIIIIIII", end + "IIIBBH"
    sections = [struct.unpack_from(sh_fmt, data, shoff + i * shentsize) for i in range(shnum)]
    result = []
    for sec in sections:
        if sec[1] != SHT_DYNSYM:
            continue
        offset, size, link, entsize = sec[4], sec[5], sec[6], sec[9]
        strtab = sections[link][4]
        for i in range(size // entsize):
            fields = struct.unpack_from(sym_fmt, data, offset + i * entsize)
            if is64:
                name_off, info, other, shndx = fields[0], fields[1], fields[2], fields[3]
            else:
                name_off, info, other, shndx = fields[0], fields[3], fields[4], fields[5]
            bind, typ, vis = info >> 4, info & 0xF, other & 0x3
            if shndx == SHN_UNDEF or bind not in (STB_GLOBAL, STB_WEAK, STB_GNU_UNIQUE):
                continue
            if vis not in (STV_DEFAULT, STV_PROTECTED):
                continue
            name = data[strtab + name_off:data.index(b"\0", strtab + name_off)].decode()
            if name:
                result.append((name, typ))
    return result


def main():
    symbols = exported_symbols(sys.argv[1])
    names = {n for n, _ in symbols}
    ok = True
    if names != EXPECTED:
        extra = sorted(names - EXPECTED)
        print("unexpected exports (%d): %s" % (len(extra), extra[:20]))
        print("missing exports: %s" % sorted(EXPECTED - names))
        ok = False
    for name, typ in symbols:
        if name in EXPECTED and typ != STT_FUNC:
            print("%s is not a function (type %d)" % (name, typ))
            ok = False
    print("exported (%d): %s" % (len(names), sorted(names)[:20]))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
