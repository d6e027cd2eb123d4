#!/usr/bin/env python3
"""Writes a REAPER project in the converter's own shape for the benchmark, so that it reads as
complete and converts back to REAPER, together with a factory catalog and a REAPER plug-in cache
that prove its one plug-in identity (<out>.tsv and <out>.ini beside it).

Shapes:
  states  <tracks> <slots> <state bytes>  tracks of VST3 plug-ins, each with its own state of the
                                           given size (a component; no controller), in the wrapper
                                           shape REAPER saves
  lines   <MiB>                            an empty project whose notes block holds MiB of short lines
  markers <tracks>                         tracks of 8 plug-ins whose name markers are 16384 hex digits

Convert a "states" project with: vornconv --convert reaper --profile <tracks>x<slots>
  --factory-catalog <out>.tsv --reaper-cache <out>.ini --output <new.rpp> <out>

usage: make-reaper-project.py <out.rpp> states|lines|markers <numbers...>
"""
import base64, struct, sys

CID = "ED57BD725C60467EA64DD2F400758B6F"
HOST_ID = 934538646
# The largest state that the built-in profile rewraps within the 64 MiB limit of a plug-in block.
BUILT_IN_OVERHEAD = 107


def guid(tag, a, b, check):
    d = "%s%08X%04X%04X" % (tag, a & 0xFFFFFFFF, b & 0xFFFF, check & 0xFFFF)
    return "{%s-%s-%s-%s-%s}" % (d[0:8], d[8:12], d[12:16], d[16:20], d[20:32])


def track_id(t):
    return guid("564F524E52505401", t, 0, t * 257 + 0x5A3C)


def fx_id(t, s):
    return guid("564F524E52505001", t, s, t * 257 + s * 17 + 0xA5C3)


def wrapper(component):
    """REAPER's VST3 wrapper: 2 in / 2 out, the header word of REAPER's saves, no controller."""
    out = struct.pack("<II", HOST_ID, 0xFEED5EEE)
    out += struct.pack("<I", 2) + struct.pack("<QQ", 1, 2) + struct.pack("<I", 2) + struct.pack("<QQ", 1, 2)
    out += struct.pack("<IIIII", len(component) + 16, 1, 0x00100000, len(component), 1) + component
    out += struct.pack("<II", 0, 0) + b"\0Default\0\x10\0\0\0"
    return out


def state_bytes(seed, size):
    block = bytes((seed * 131 + i) & 0xFF for i in range(4096))
    return (block * (size // 4096 + 1))[:size]


def write_track(f, t, slots, size, name_hex, vendor_hex):
    tid = track_id(t)
    f.write('  <TRACK %s\n    NAME "T%d"\n    VOLPAN 1 0 -1 -1 1\n    MUTESOLO 0 0 0\n    IPHASE 0\n    PLAYOFFS 0 1\n'
            "    REC 0 -1 1 0 0 0 0 0\n    NCHAN 2\n    <EXT\n      VORN_CHANNEL_LAYOUT 2,2\n" % (tid, t))
    for s in range(slots):
        f.write("      VORN_PLUGIN_NAME_SLOT_%d %s\n      VORN_PLUGIN_VENDOR_SLOT_%d %s\n" % (s, name_hex, s, vendor_hex))
    f.write("    >\n    FX 1\n    TRACKID %s\n    MAINSEND 1 0\n    <FXCHAIN\n      SHOW 0\n" % tid)
    for s in range(slots):
        f.write('      BYPASS 0 0 0\n      <VST "VST3: Pro-Q 4 (FabFilter)" "FabFilter Pro-Q 4.vst3" 0 "" %d{%s} ""\n'
                % (HOST_ID, CID))
        data = wrapper(state_bytes(t * 8 + s, size))
        for i in range(0, len(data), 96):
            f.write("        " + base64.b64encode(data[i:i + 96]).decode() + "\n")
        f.write("      >\n      FXID %s\n" % fx_id(t, s))
    f.write("    >\n  >\n")


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    out, shape, numbers = sys.argv[1], sys.argv[2], [int(n) for n in sys.argv[3:]]
    vendor_hex = "FabFilter".encode().hex().upper()
    with open(out, "w", newline="") as f:
        f.write('<REAPER_PROJECT 0.1 "7.65/macOS-arm64"\n  SAMPLERATE 48000 0 0\n')
        if shape == "states":
            tracks, slots, size = numbers
            size = min(size, 64 * 1024 * 1024 - BUILT_IN_OVERHEAD)
            for t in range(tracks):
                write_track(f, t, slots, size, "Pro-Q 4".encode().hex().upper(), vendor_hex)
        elif shape == "lines":
            f.write("  <NOTES\n" + "    |x\n" * (numbers[0] * 1024 * 1024 // 7) + "  >\n")
        elif shape == "markers":
            for t in range(numbers[0]):
                write_track(f, t, 8, 64, ("A" * 8192).encode().hex().upper(), vendor_hex)
        else:
            sys.exit(__doc__)
        f.write(">\n")
    with open(out + ".tsv", "w") as f:
        f.write("%s\tPro-Q 4\tFabFilter\t4.0\t/Library/Audio/Plug-Ins/VST3/FabFilter Pro-Q 4.vst3\n" % CID)
    with open(out + ".ini", "w") as f:
        f.write("[vstcache]\nFabFilter_Pro-Q_4.vst3=0000000000000000,%d{%s,Pro-Q 4 (FabFilter)\n" % (HOST_ID, CID))


if __name__ == "__main__":
    main()
