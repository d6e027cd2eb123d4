#!/usr/bin/env python3
"""Writes a large Vorn Live scene for the benchmark: 64 strips x 8 slots (or --slots per strip),
every slot a VST3 plug-in whose state is a JUCE VST3 container (component + controller), about
128 MiB of state bytes in all. Also writes the concatenated component and controller bytes beside
it (<out>.state-bytes), so that the time of sha256sum over the same state bytes can be measured,
and a factory catalog that proves every plug-in's identity (<out>.catalog.tsv), so that the scene
can be converted.

With --one-state BYTES the scene holds one plug-in instead (strip 1, slot 1; the other 63 strips
empty), whose stored state, the JUCE VST3 container, comes to at most BYTES: the container is
what the 64 MiB limit of a state bounds, so 67108864 gives the largest state a scene can hold.

usage: make-large-scene.py <out.ksn> [total MiB of state bytes, default 128] [--slots N] [--one-state BYTES]
"""
import argparse, base64, os, random, struct

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


CONTAINER_HEAD = b'<?xml version="1.0" encoding="UTF-8"?> <VST3PluginState><IComponent>'
CONTAINER_MIDDLE = b"</IComponent><IEditController>"
CONTAINER_TAIL = b"</IEditController></VST3PluginState>"


def vst3_container(component, controller):
    xml = CONTAINER_HEAD + memory_block(component) + CONTAINER_MIDDLE + memory_block(controller) + CONTAINER_TAIL
    return b"VC2!" + struct.pack("<I", len(xml)) + xml + b"\0"


def container_size(component_size, controller):
    text = len(b"%d." % component_size) + (8 * component_size + 5) // 6
    return 9 + len(CONTAINER_HEAD) + text + len(CONTAINER_MIDDLE) + len(memory_block(controller)) + len(CONTAINER_TAIL)


def largest_component(limit, controller):
    """The most component bytes whose container, with this controller, is at most limit bytes."""
    size = max(0, (limit - container_size(0, controller)) * 3 // 4)
    while size > 0 and container_size(size, controller) > limit:
        size -= 1
    while container_size(size + 1, controller) <= limit:
        size += 1
    return size


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
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("output")
    parser.add_argument("total", nargs="?", type=int, default=128, help="MiB of state bytes in all")
    parser.add_argument("--slots", type=int, default=8, help="occupied slots per strip, 1 to 8")
    parser.add_argument("--one-state", type=int, metavar="BYTES", help="one plug-in whose stored state is at most BYTES")
    args = parser.parse_args()
    if not 1 <= args.slots <= 8:
        parser.error("1 to 8 slots per strip")
    out = args.output
    for size in range(0, 12):  # the fast encoder must agree with the plain one
        sample = os.urandom(size)
        assert memory_block(sample) == memory_block_slow(sample), size
    rng = random.Random(1)
    if args.one_state:
        slots_per_strip, occupied = 1, 1
        controller_size = 64
        component_size = largest_component(args.one_state, bytes(controller_size))
        if component_size < 1:
            parser.error("--one-state is too small for a container")
    else:
        slots_per_strip, occupied = args.slots, 64 * args.slots
        controller_size = 64
        component_size = args.total * 1024 * 1024 // occupied
    with open(out, "wb") as scene, open(out + ".state-bytes", "wb") as raw, \
            open(out + ".catalog.tsv", "w") as catalog:
        scene.write(b'<?xml version="1.0" encoding="UTF-8"?>\r\n<VornLiveScene version="1">\r\n')
        scene.write(b'  <AudioDevice outputDevice="Bench" inputDevice="Bench" sampleRate="48000.0" bufferSize="64"/>\r\n  <Strips>\r\n')
        placed = 0
        for s in range(64):
            scene.write(b'    <Strip index="%d" name="Strip %d" inputStereo="1" outputStereo="1">\r\n' % (s, s + 1))
            for k in range(slots_per_strip):
                if placed == occupied:
                    break
                placed += 1
                component = rng.randbytes(component_size)
                controller = rng.randbytes(controller_size)
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
