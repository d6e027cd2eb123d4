#!/usr/bin/env python3
"""Writes a large Vorn Live scene for the benchmark: 64 strips x 8 slots, every slot a VST3
plug-in whose state is a JUCE VST3 container (component + controller), about 128 MiB of state
bytes in all. Also writes the concatenated component and controller bytes beside it, so that
the time of sha256sum over the same state bytes can be measured, and a factory catalog that
proves every plug-in's identity, so that the scene can be converted.

usage: make-large-scene.py <out.ksn> [total MiB of state bytes, default 128]
"""
import base64, os, random, struct, sys

JUCE = b".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+"
STD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
TO_JUCE = bytes.maketrans(STD, JUCE)


def memory_block_slow(data):
    """JUCE MemoryBlock text: size, '.', 6-bit groups of the little-endian bit stream."""
    n = len(data)
    v = int.from_bytes(data, "little")
    return b"%d." % n + bytes(JUCE[(v >> (6 * i)) & 63] for i in range((8 * n + 5) // 6))


def groups(data):
    # Whole 3-byte groups map to 4 characters each; reversing the bytes, taking standard base64
    # and reversing the characters gives the little-endian order JUCE uses.
    return base64.b64encode(data[::-1])[::-1].translate(TO_JUCE)


def memory_block(data):
    n = len(data)
    whole = n - n % 3
    tail = memory_block_slow(data[whole:]).split(b".", 1)[1] if n % 3 else b""
    return b"%d." % n + groups(data[:whole]) + tail


def vst3_container(component, controller):
    xml = (b'<?xml version="1.0" encoding="UTF-8"?> <VST3PluginState><IComponent>' + memory_block(component)
           + b"</IComponent><IEditController>" + memory_block(controller) + b"</IEditController></VST3PluginState>")
    return b"VC2!" + struct.pack("<I", len(xml)) + xml + b"\0"


def derived_ids(cid):
    """The 32-bit ids a VST3 host derives from a class id: uniqueId folds the four big-endian
    words, uid folds the sixteen bytes taken as signed chars."""
    data = bytes.fromhex(cid)
    uid = 0
    for b in data:
        uid = (uid * 31 + (b - 256 if b > 127 else b)) & 0xFFFFFFFF
    unique = 0
    for i in range(0, 16, 4):
        unique = (unique * 31 + int.from_bytes(data[i:i + 4], "big")) & 0xFFFFFFFF
    return unique, uid


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    total = int(sys.argv[2]) if len(sys.argv) > 2 else 128
    for size in range(0, 12):  # the fast encoder must agree with the plain one
        sample = os.urandom(size)
        assert memory_block(sample) == memory_block_slow(sample), size
    rng = random.Random(1)
    slots = 64 * 8
    component_size = total * 1024 * 1024 // slots
    with open(out, "wb") as scene, open(out + ".state-bytes", "wb") as raw, \
            open(out + ".catalog.tsv", "w") as catalog:
        scene.write(b'<?xml version="1.0" encoding="UTF-8"?>\r\n<VornLiveScene version="1">\r\n')
        scene.write(b'  <AudioDevice outputDevice="Bench" inputDevice="Bench" sampleRate="48000.0" bufferSize="64"/>\r\n  <Strips>\r\n')
        for s in range(64):
            scene.write(b'    <Strip index="%d" name="Strip %d" inputStereo="1" outputStereo="1">\r\n' % (s, s + 1))
            for k in range(8):
                component = rng.randbytes(component_size)
                controller = rng.randbytes(64)
                raw.write(component + controller)
                scene.write(b'      <Slot index="%d" state="0" sidechainSrc="0" pluginState="' % k)
                scene.write(memory_block(vst3_container(component, controller)))
                cid = "BE7C%02X%02X" % (s, k) + "0123456789ABCDEF01234567"
                unique, uid = derived_ids(cid)
                catalog.write("%s\tBench %d-%d\tBench\t1.0\t/opt/bench/Bench%d-%d.vst3\n" % (cid, s, k, s, k))
                scene.write(b'">\r\n        <PLUGIN name="Bench %d-%d" format="VST3" manufacturer="Bench" '
                            b'file="/opt/bench/Bench%d-%d.vst3" uniqueId="%x" uid="%x"/>\r\n'
                            b'      </Slot>\r\n' % (s, k, s, k, unique, uid))
            scene.write(b"    </Strip>\r\n")
        scene.write(b"  </Strips>\r\n  <Routing>\r\n")
        for s in range(64):
            scene.write(b'    <Route strip="%d" inL="%d" inR="%d" outL="0" outR="1"/>\r\n' % (s, 2 * s, 2 * s + 1))
        scene.write(b"  </Routing>\r\n</VornLiveScene>\r\n")


if __name__ == "__main__":
    main()
