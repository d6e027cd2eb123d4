"""What the benchmark's generators share: JUCE's memory-block text, the JUCE VST3 container a
plug-in state is stored in, and the 32-bit ids a VST3 host derives from a class id."""
import base64, struct

JUCE = b".ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+"
STD = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"
TO_JUCE = bytes.maketrans(STD, JUCE)


def memory_block_slow(data):
    """JUCE MemoryBlock text: size, '.', 6-bit groups of the little-endian bit stream."""
    n = len(data)
    v = int.from_bytes(data, "little")
    return b"%d." % n + bytes(JUCE[(v >> (6 * i)) & 63] for i in range((8 * n + 5) // 6))


def memory_block(data):
    """memory_block_slow, fast: whole 3-byte groups map to 4 characters each; reversing the bytes,
    taking standard base64 and reversing the characters gives the little-endian order JUCE uses."""
    n = len(data)
    whole = n - n % 3
    text = base64.b64encode(data[:whole][::-1])[::-1].translate(TO_JUCE)
    if n % 3:
        text += memory_block_slow(data[whole:]).split(b".", 1)[1]
    return b"%d." % n + text


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
