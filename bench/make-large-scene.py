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
import argparse, os, random

from juce_state import derived_ids, largest_component, memory_block, memory_block_slow, vst3_container


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
