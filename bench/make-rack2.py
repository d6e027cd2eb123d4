#!/usr/bin/env python3
"""Writes a LiveProfessor 2 project (.rack2, JUCE's binary value-tree stream) for benchmarks, in
the layout the converter's reader takes as complete: one chain per strip, `slots` plug-ins per
chain (native runtime ids, no converter metadata), every plug-in a host-verified VST3 class whose
state is a JUCE VST3 container with `chunk` component bytes and `params` parameters P0..Pn, and
a live audio patch that wires every chain's main bus to hardware channels.

Two shapes make the usual benchmark pair: many small plug-in states (many strips and slots, small
chunk and parameter list), and one large plug-in state (one strip, one slot, a large chunk or a
long parameter list; a parameter costs 18 to 20 bytes of the file). A plug-in may hold at most
1,000,000 parameters: one more makes a project the converter refuses, which is a benchmark case
of its own.

With --convert-kit DIR it also writes what a conversion of the project needs into DIR: the
plug-in's bundle folder, a factory catalog (cat.tsv), LiveProfessor's plug-in list under
DIR/home (run vornconv with HOME=DIR/home) and a parameter probe (probe.sh) that answers, for the
generated state, the VNPM text of the project's own parameter values: a benchmark measures the
converter, not a plug-in. The project must then hold at most 64 strips and 8 slots, and converts
with --profile <strips>x<slots> --io 128x128 --factory-catalog DIR/cat.tsv
--plugin-probe DIR/probe.sh --parameter-cache <a folder>.

With --mib M the number of strips is chosen so that the file comes to about M MiB (the many
small states shape at a given size). With --state BYTES the component is chosen so that the
stored state (the JUCE VST3 container in chunkData, which the 64 MiB limit of a state bounds)
comes to at most BYTES.

usage: make-rack2.py <out.rack2> [--strips N | --mib M] [--slots N] [--params N] [--chunk BYTES | --state BYTES] [--convert-kit DIR]
"""
import argparse, io, os, struct

from juce_state import derived_ids, largest_component, vst3_container

CID = "ED57BD725C60467EA64DD2F400758B6F"   # a class the converter's built-in LiveProfessor profile accepts
NAME = "EQ Test"
VENDOR = "Acme"


# ---- JUCE's binary value-tree stream ----

def compressed_int(value):
    magnitude = abs(value)
    data = magnitude.to_bytes((magnitude.bit_length() + 7) // 8, "little") if magnitude else b""
    return bytes([len(data) | (0x80 if value < 0 else 0)]) + data


def name(text):
    return text.encode("utf-8") + b"\0"


def v_int(value):
    return compressed_int(5) + b"\x01" + struct.pack("<i", value)


def v_int64(value):
    return compressed_int(9) + b"\x06" + struct.pack("<q", value)


def v_bool(value):
    return compressed_int(1) + (b"\x02" if value else b"\x03")


def v_double(value):
    return compressed_int(9) + b"\x04" + struct.pack("<d", value)


def v_string(text):
    data = text.encode("utf-8") + b"\0"
    return compressed_int(len(data) + 1) + b"\x05" + data


def v_binary(data):
    return compressed_int(len(data) + 1) + b"\x08" + data


def node(out, type_name, properties=(), children=()):
    """Writes one node; children are callables that write themselves."""
    out.write(name(type_name))
    out.write(compressed_int(len(properties)))
    for key, value in properties:
        out.write(name(key))
        out.write(value)
    out.write(compressed_int(len(children)))
    for child in children:
        child(out)


def leaf(type_name, properties=()):
    return lambda out: node(out, type_name, properties)


def branch(type_name, properties=(), children=()):
    return lambda out: node(out, type_name, properties, children)


# ---- plug-in states and identities ----

def parameter_value(i):
    return ((i * 7919) % 1000) / 999.0


def string_hash(text):
    h = 0
    for c in text:
        h = (h * 31 + ord(c)) & 0xFFFFFFFF
    return h


def type_id(bundle, unique):
    """LiveProfessor's plug-in type id: format, name, the hash of the file text, the uniqueId."""
    return "VST3-%s-%x-%x" % (NAME, string_hash(bundle), unique)


# ---- the project ----

def plugin_node(runtime_id, type_text, chunk, params):
    def parameters(out):
        out.write(name("parameters"))
        out.write(compressed_int(params))
        for i in range(params):
            out.write(name("P%d" % i))
            out.write(v_double(parameter_value(i)))
        out.write(compressed_int(0))

    snapshot = branch("PluginSnapshot", [("chunkData", v_binary(chunk)), ("SnapshotIdTag", v_int64(runtime_id))], [parameters])
    return branch("Plugin", [("pluginTypeId", v_string(type_text)), ("pluginTypeName", v_string(NAME)),
                             ("pluginUid", v_int64(runtime_id))], [
        branch("ProcessorSettingsContainer", [("id", v_int64(runtime_id))], [
            leaf("processorState", [("enabled", v_bool(True)), ("bypassed", v_bool(False)), ("audioMute", v_bool(False))])]),
        branch("Plugin", [], [snapshot]),
    ])


def chain_node(strip, slots, type_text, chunk, params):
    chain_id = 0x100000 + strip
    plugin_ids = [0x200000 + strip * 16 + s for s in range(slots)]
    settings = branch("ChainSettings", [("ChainColour", v_string("ffff7b33")), ("ChainInputCount", v_int(2)),
                                        ("ChainOutputCount", v_int(2)), ("SideChainCount", v_int(0))], [
        branch("ProcessorSettingsContainer", [("id", v_int64(chain_id)), ("name", v_string("Strip %d" % strip))], [
            leaf("processorState", [("inputGain", v_double(1.0)), ("outputGain", v_double(1.0)), ("audioMute", v_bool(False)),
                                    ("isolate", v_bool(False)), ("bypassed", v_bool(False)), ("enabled", v_bool(True))])]),
        branch("ProcessorOrder", [], [leaf("plug", [("id", v_int64(i)), ("type", v_string(type_text))]) for i in plugin_ids]),
    ])
    plugins = branch("ChainPlugins", [], [plugin_node(i, type_text, chunk, params) for i in plugin_ids])
    return branch("Chain", [], [settings, plugins, branch("ChainSnapshotList")])


def audio_patch(strips):
    """Chain i takes hardware inputs 2i and 2i + 1 (modulo 128) and feeds the same outputs."""
    entries = []
    for strip in range(strips):
        chain_id = 0x100000 + strip
        for channel in range(2):
            physical = (2 * strip + channel) % 128
            entries.append(((1, physical), (1, physical, chain_id, channel)))
            entries.append(((chain_id, channel), (chain_id, channel, 2, physical)))
    grouped = {}
    for key, point in entries:
        grouped.setdefault(key, []).append(point)
    outputs = []
    for (node_id, channel), points in grouped.items():
        outputs.append(branch("outputs", [("nodeId", v_int64(node_id)), ("channelId", v_int(channel))], [
            leaf("point", [("outputNodeId", v_int64(a)), ("outputChannelId", v_int(b)), ("inputNodeId", v_int64(c)),
                           ("inputChannelId", v_int(d)), ("isMidi", v_bool(False))]) for a, b, c, d in points]))
    return branch("AudioPatch", [], outputs)


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("output")
    parser.add_argument("--strips", type=int, default=1)
    parser.add_argument("--mib", type=float, help="choose the number of strips for a file of about this size")
    parser.add_argument("--slots", type=int, default=1)
    parser.add_argument("--params", type=int, default=16)
    parser.add_argument("--chunk", type=int, default=64, help="component bytes of every plug-in state")
    parser.add_argument("--state", type=int, help="stored bytes of every plug-in state (sets --chunk)")
    parser.add_argument("--convert-kit", metavar="DIR")
    args = parser.parse_args()

    unique, uid = derived_ids(CID)
    kit = os.path.abspath(args.convert_kit) if args.convert_kit else None
    bundle = os.path.join(kit, "Eq.vst3") if kit else "/Library/Audio/Plug-Ins/VST3/Eq.vst3"
    type_text = type_id(bundle, unique)
    if args.state:
        args.chunk = largest_component(args.state, b"CTRL")
    component = bytes((i * 131 + 7) & 0xFF for i in range(4096)) * (args.chunk // 4096 + 1)
    component = component[:args.chunk]
    chunk = vst3_container(component, b"CTRL")

    def project(strips):
        return branch("LiveProfessorProjectFile", [("appVersion", v_string("2.5.1"))], [
            branch("AudioMidiHardware", [], [leaf("IOdeviceProperties", [("inputDeviceName", v_string("Bench In")),
                                                                        ("outputDeviceName", v_string("Bench Out"))])]),
            leaf("projectSettings", [("BufferSize", v_int(256))]),
            branch("Chains", [], [chain_node(s, args.slots, type_text, chunk, args.params) for s in range(strips)]),
            branch("GlobalSnapshot", [], [audio_patch(strips)]),
        ])

    strips = args.strips
    if args.mib:
        sizes = []
        for n in (1, 2):
            probe = io.BytesIO()
            project(n)(probe)
            sizes.append(len(probe.getvalue()))
        per_strip = sizes[1] - sizes[0]
        strips = max(1, round((args.mib * 1048576 - (sizes[0] - per_strip)) / per_strip))
    with open(args.output, "wb") as out:
        project(strips)(out)

    if kit:
        home_list = os.path.join(kit, "home", "Library", "Application Support", "audiostrom", "LiveProfessor 2")
        os.makedirs(bundle, exist_ok=True)
        os.makedirs(home_list, exist_ok=True)
        with open(os.path.join(kit, "cat.tsv"), "w") as f:
            f.write("%s\t%s\t%s\t1.0.0\t%s\n" % (CID, NAME, VENDOR, bundle))
        with open(os.path.join(home_list, "Plugins.xml"), "w") as f:
            f.write('<PROPERTIES><VALUE name="KnownPluginList"><KNOWNPLUGINS><PLUGIN format="VST3" name="%s" manufacturer="%s" '
                    'version="1.0.0" file="%s" numInputs="2" numOutputs="2" uniqueId="%x" uid="%x"/></KNOWNPLUGINS></VALUE>'
                    '</PROPERTIES>' % (NAME, VENDOR, bundle, unique, uid))
        answer = os.path.join(kit, "probe.vnpm")
        with open(answer, "w") as f:
            f.write("VNPM\t%d\n" % args.params)
            f.writelines("P\t%d\t%.9g\n" % (i, parameter_value(i)) for i in range(args.params))
        probe = os.path.join(kit, "probe.sh")
        with open(probe, "w") as f:
            f.write("#!/bin/sh\n# Every generated plug-in shares one state and one parameter list.\nexec cat '%s'\n" % answer)
        os.chmod(probe, 0o755)


if __name__ == "__main__":
    main()
