#!/usr/bin/env python3
"""Writes a large Vorn Live scene for the benchmark: 64 strips x 8 slots, every slot a VST3
plug-in whose state is a JUCE VST3 container (component + controller), about 128 MiB of state
bytes in all. Also writes the concatenated component and controller bytes beside it, so that
the time of sha256sum over the same state bytes can be measured.

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
    with open(out, "wb") as scene, open(out + ".state-bytes", "wb") as raw:
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
                scene.write(b'">\r\n        <PLUGIN name="Bench %d-%d" format="VST3" manufacturer="Bench" uniqueId="%x" uid="0"/>\r\n'
                            b'      </Slot>\r\n' % (s, k, 0x10000 + s * 8 + k))
            scene.write(b"    </Strip>\r\n")
        scene.write(b"  </Strips>\r\n  <Routing>\r\n")
        for s in range(64):
            scene.write(b'    <Route strip="%d" inL="%d" inR="%d" outL="0" outR="1"/>\r\n' % (s, 2 * s, 2 * s + 1))
        scene.write(b"  </Routing>\r\n</VornLiveScene>\r\n")


if __name__ == "__main__":
    main()
