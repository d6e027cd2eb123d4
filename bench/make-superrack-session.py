#!/usr/bin/env python3
"""Writes a SuperRack Performer session (.sprk, SQLite) for benchmarks, in the shape the
converter's SuperRack reader takes as complete: `strips` active input tracks of 64 input
chainers, `slots` VST3 plug-ins per strip, every plug-in's active state a SuperRack preset text
(a VST3 preset body with its "Comp" and "Cont" chunks) of `state` component bytes, and every
strip patched to two physical inputs and outputs.

Beside it, it writes what a conversion into a new Performer session needs:
  <out>.template.sprk  an empty host-save base (64 spare input chainers, no tracks) with the
                       columns and tables a host-saved Performer session has beyond the reader's
  <out>.tsv            a factory catalog that proves the one plug-in identity

Convert with: vornconv --convert superrack-performer --factory-catalog <out>.tsv
  --template <out>.template.sprk --output <new.sprk> <out>

The two usual benchmark shapes: many small states (--strips 64 --slots 8 --state 16384) and one
large state (--strips 1 --slots 1 --state 16777216).

usage: make-superrack-session.py <out.sprk> [--strips N] [--slots N] [--state BYTES]
"""
import argparse, base64, os, sqlite3, struct

CID = "ED57BD725C60467EA64DD2F400758B6F"   # a FabFilter class SuperRack's own encodings are known for
NAME = "Pro-Q 3"
VENDOR = "FabFilter"
CHAINERS = 64

SCHEMA = """
CREATE TABLE info(id INTEGER PRIMARY KEY, application_type TEXT);
CREATE TABLE mixer_settings(id INTEGER PRIMARY KEY, sample_rate_preference INTEGER, user_sample_rate INTEGER, native_buffer_size INTEGER);
CREATE TABLE device(id INTEGER PRIMARY KEY, device_gender INTEGER, description TEXT);
CREATE TABLE config_info(id INTEGER PRIMARY KEY, track_type INTEGER, num_tracks INTEGER);
CREATE TABLE object(id INTEGER PRIMARY KEY, obj_type INTEGER, obj_index INTEGER, name TEXT);
CREATE TABLE chainer(obj_id INTEGER PRIMARY KEY, num_inputs INTEGER, num_outputs INTEGER, input_stem_format INTEGER, output_stem_format INTEGER);
CREATE TABLE chainer_params(id INTEGER PRIMARY KEY, name TEXT);
CREATE TABLE snapshot(id INTEGER PRIMARY KEY, number INTEGER, name TEXT, note TEXT, info TEXT, tempo REAL, sync_tempo INTEGER);
CREATE TABLE snapshot_chainer(id INTEGER PRIMARY KEY, chainer_id INTEGER, snapshot_id INTEGER, name TEXT, preset_name TEXT,
                              selected_slot INTEGER, ch_scope_type_id INTEGER, in_scope INTEGER);
CREATE TABLE snapshot_chainer_params(id INTEGER PRIMARY KEY, chainer_id INTEGER, snapshot_id INTEGER, param_id INTEGER, param_value);
CREATE TABLE routes(id INTEGER PRIMARY KEY, src_cluster_type, src_cluster_type_index, src_section_type, src_section_index, src_channel_index,
                    dst_cluster_type, dst_cluster_type_index, dst_section_type, dst_section_index, dst_channel_index, status,
                    src_control_id INTEGER, src_asgn_type INTEGER, dst_control_id INTEGER, dst_asgn_type INTEGER);
CREATE TABLE plug(id INTEGER PRIMARY KEY, chainer_id INTEGER, slot INTEGER, plugin_name TEXT, plugin_4cc TEXT, additional_info TEXT,
                  disabled INTEGER, side_chain INTEGER DEFAULT 0, vendor_name TEXT, plug_role INTEGER);
CREATE TABLE plug_sidechain(id INTEGER PRIMARY KEY, plug_id INTEGER, AsgnType, ControlType, TrackType, TrackHandle, SectionType,
                            SectionIndex, ChannelIndex, controlID);
CREATE TABLE plugin_preset(id INTEGER PRIMARY KEY, preset TEXT, hash TEXT, ref_count INTEGER);
CREATE UNIQUE INDEX plugin_preset_hash ON plugin_preset(hash);
CREATE TABLE snapshot_plugin(id INTEGER PRIMARY KEY, plug_id INTEGER, preset_id INTEGER, snapshot_id INTEGER, bypass INTEGER, mute INTEGER,
                             setup_type_id INTEGER, docked INTEGER);
CREATE TABLE recalled_snapshot(id INTEGER PRIMARY KEY, number INTEGER);
CREATE TABLE hot_plug(id INTEGER PRIMARY KEY, plug_id INTEGER REFERENCES plug(id));
CREATE TABLE snapshot_hot_plugins(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_assignment(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_iom(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_mute_group(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_output_chainer_preset(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE snapshot_scope_settings(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
CREATE TABLE chainer_snapshot_scope_settings(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id), chainer_id INTEGER);
CREATE TABLE hot_snapshots(id INTEGER PRIMARY KEY, snapshot_id INTEGER REFERENCES snapshot(id));
INSERT INTO info VALUES(0,'com.waves.mixer.MRSG');
INSERT INTO chainer_params(id,name) VALUES(1,'PARAM_OUTPUT_GAIN'),(2,'PARAM_IN_ON_OFF'),(3,'PARAM_INPUT_CHOOSE_BANK'),
  (4,'PARAM_INPUT_GAIN_FADER'),(5,'PARAM_PLUGINS_UNDOCK'),(6,'PARAM_COLOR_VALUE'),(7,'PARAM_OUTPUT_PAN_L'),(8,'PARAM_OUTPUT_MAIN_MUTE');
INSERT INTO object(id,obj_type,obj_index,name) VALUES(2000,1,0,'Out');
INSERT INTO snapshot(id,number,name,note,info,tempo,sync_tempo) VALUES(-1,-1,'Active','','',120,0);
INSERT INTO recalled_snapshot(number) VALUES(-1);
"""


def chainer_id(strip):
    return 1000 + strip


def preset_text(component, controller):
    """SuperRack's preset text: base64 of the tag "VST", a line break, base64 of the wrapper
    (marker 307, a zero byte, the class id in hex, the body length, the body). The body is a VST3
    preset file without its 48-byte header, so its chunk list points 48 bytes further on."""
    c, t = len(component), len(controller)
    chunks = b"List" + struct.pack("<I", 2) + b"Comp" + struct.pack("<qq", 48, c) + b"Cont" + struct.pack("<qq", 48 + c, t)
    body = component + controller + chunks
    blob = struct.pack("<i", 307) + b"\0" + CID.encode() + struct.pack("<q", len(body)) + body
    return base64.b64encode(b"VST").decode() + "\n" + base64.b64encode(blob).decode()


def additional_info():
    """What the host stores beside the 4cc: the class id's first 3 and last 13 bytes in base64."""
    data = bytes.fromhex(CID)
    return base64.b64encode(data[:3]).decode() + "\n" + base64.b64encode(data[3:]).decode()


def state_bytes(seed, size):
    block = bytes((seed * 131 + i * 7) & 0xFF for i in range(4096))
    return (block * (size // 4096 + 1))[:size]


def create(path, sample_rate, buffer_size):
    if os.path.exists(path):
        os.remove(path)
    db = sqlite3.connect(path)
    db.executescript(SCHEMA)
    db.execute("INSERT INTO mixer_settings(sample_rate_preference,user_sample_rate,native_buffer_size) VALUES(-1,?,?)",
               (sample_rate, buffer_size))
    db.execute("INSERT INTO config_info(track_type,num_tracks) VALUES(0,0)")
    for i in range(CHAINERS):
        db.execute("INSERT INTO object(id,obj_type,obj_index,name) VALUES(?,0,?,'')", (chainer_id(i), i))
    db.execute("INSERT INTO chainer(obj_id,num_inputs,num_outputs,input_stem_format,output_stem_format) SELECT id,2,2,101,101 FROM object")
    return db


def fill(db, strips, slots, size):
    db.execute("UPDATE config_info SET num_tracks=? WHERE track_type=0", (strips,))
    plug_id = 0
    for s in range(strips):
        db.execute("INSERT INTO snapshot_chainer(chainer_id,snapshot_id,name,preset_name,selected_slot,ch_scope_type_id,in_scope) "
                   "VALUES(?,-1,?,'',-1,0,1)", (chainer_id(s), "Strip %d" % (s + 1)))
        for channel in range(2):
            physical = (2 * s + channel) % 128
            db.execute("INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,"
                       "src_control_id,src_asgn_type,dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,"
                       "dst_channel_index,dst_control_id,dst_asgn_type,status) VALUES(10,0,-1,-1,?,-1,-1,0,?,0,0,?,-1,0,4)",
                       (physical, s, channel))
            db.execute("INSERT INTO routes(src_cluster_type,src_cluster_type_index,src_section_type,src_section_index,src_channel_index,"
                       "src_control_id,src_asgn_type,dst_cluster_type,dst_cluster_type_index,dst_section_type,dst_section_index,"
                       "dst_channel_index,dst_control_id,dst_asgn_type,status) VALUES(0,?,-1,0,?,-1,-1,11,0,0,-1,?,-1,0,4)",
                       (s, channel, physical))
        for k in range(slots):
            plug_id += 1
            db.execute("INSERT INTO plug(id,chainer_id,slot,plugin_name,vendor_name,plugin_4cc,additional_info,disabled,side_chain) "
                       "VALUES(?,?,?,?,?,'VS2S',?,0,0)", (plug_id, chainer_id(s), k, NAME, VENDOR, additional_info()))
            text = preset_text(state_bytes(plug_id, size), b"CTRL%04d" % plug_id)
            db.execute("INSERT INTO plugin_preset(id,preset,hash,ref_count) VALUES(?,?,?,1)", (plug_id, text, "h%d" % plug_id))
            db.execute("INSERT INTO snapshot_plugin(plug_id,preset_id,snapshot_id,bypass,mute,setup_type_id,docked) "
                       "VALUES(?,?,-1,0,0,-1,1)", (plug_id, plug_id))


def main():
    parser = argparse.ArgumentParser(usage=__doc__)
    parser.add_argument("output")
    parser.add_argument("--strips", type=int, default=64)
    parser.add_argument("--slots", type=int, default=8)
    parser.add_argument("--state", type=int, default=16384, help="component bytes of every plug-in state")
    args = parser.parse_args()
    if not (1 <= args.strips <= CHAINERS and 1 <= args.slots <= 8 and args.state >= 1):
        parser.error("1..64 strips, 1..8 slots and a state of at least one byte")

    session = create(args.output, 48000, 256)
    fill(session, args.strips, args.slots, args.state)
    session.commit()
    session.close()

    template = create(args.output + ".template.sprk", 44100, 512)
    template.commit()
    template.close()

    with open(args.output + ".tsv", "w") as f:
        f.write("%s\t%s\t%s\t3.0\t/opt/vst3/ProQ3.vst3\n" % (CID, NAME, VENDOR))


if __name__ == "__main__":
    main()
