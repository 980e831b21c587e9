#!/usr/bin/env python3
"""Writes a small glTF character for the animation tests and benchmark.

A 22-bone humanoid (1.7 m tall, Y up) under an "Armature" node, with three
clips ("Idle", "Walk", "Wave") keyed at 30 Hz with linear interpolation:
smooth swings with a little capture-like jitter, and the hips travelling.
Besides character.gltf it writes the same figure under an armature scaled
by 100 and by 0.01 (every bone offset and hips key divided by the scale),
as rigs authored in other units arrive: the three play the same motion in
the figure's space.

  make_test_character.py OUTDIR
"""
import base64
import json
import math
import random
import struct
import sys

# name, parent, offset from the parent (metres, Y up)
BONES = [
    ("Hips", None, (0.0, 1.0, 0.0)),
    ("Spine", "Hips", (0.0, 0.12, 0.0)),
    ("Chest", "Spine", (0.0, 0.15, 0.0)),
    ("Neck", "Chest", (0.0, 0.2, 0.0)),
    ("Head", "Neck", (0.0, 0.1, 0.0)),
    ("HeadTop", "Head", (0.0, 0.13, 0.0)),
]
for side, x in (("L", 1.0), ("R", -1.0)):
    BONES += [
        (side + "Shoulder", "Chest", (0.08 * x, 0.16, 0.0)),
        (side + "UpperArm", side + "Shoulder", (0.1 * x, 0.0, 0.0)),
        (side + "LowerArm", side + "UpperArm", (0.28 * x, 0.0, 0.0)),
        (side + "Hand", side + "LowerArm", (0.25 * x, 0.0, 0.0)),
        (side + "Finger", side + "Hand", (0.08 * x, 0.0, 0.0)),
        (side + "UpLeg", "Hips", (0.1 * x, -0.05, 0.0)),
        (side + "Leg", side + "UpLeg", (0.0, -0.45, 0.0)),
        (side + "Foot", side + "Leg", (0.0, -0.42, 0.0)),
    ]

RATE = 30
# name, seconds, swing scale, travel speed (m/s)
CLIPS = [("Idle", 2.0, 0.15, 0.0), ("Walk", 1.5, 1.0, 1.2), ("Wave", 3.0, 0.5, 0.0)]


def axis_angle(axis, angle):
    n = math.sqrt(sum(a * a for a in axis))
    s = math.sin(angle / 2) / n
    return (axis[0] * s, axis[1] * s, axis[2] * s, math.cos(angle / 2))


def clip_keys(index, seconds, swing, speed):
    rng = random.Random(1000 + index)
    frames = int(round(seconds * RATE))
    times = [f / RATE for f in range(frames + 1)]
    rotations = {}
    for b, (name, _, _) in enumerate(BONES):
        axis = (rng.uniform(-1, 1), rng.uniform(-1, 1), rng.uniform(-1, 1))
        amplitude = math.radians(rng.uniform(5, 35)) * swing
        frequency = rng.choice((1, 2)) / seconds
        phase = rng.uniform(0, 2 * math.pi)
        keys = []
        for t in times:
            jitter = math.radians(0.2) * rng.uniform(-1, 1)
            angle = amplitude * math.sin(2 * math.pi * frequency * t + phase) + jitter
            keys.append(axis_angle(axis, angle))
        rotations[name] = keys
    translations = []
    for t in times:
        bob = 0.02 * swing * math.sin(4 * math.pi * t / seconds)
        translations.append((0.05 * swing * math.sin(2 * math.pi * t / seconds),
                             1.0 + bob, speed * t))
    return times, rotations, translations


def build(scale):
    blob = bytearray()
    views, accessors = [], []

    def add(values, kind, components):
        offset = len(blob)
        flat = [c for v in values for c in (v if components > 1 else (v,))]
        blob.extend(struct.pack("<%df" % len(flat), *flat))
        views.append({"buffer": 0, "byteOffset": offset, "byteLength": len(flat) * 4})
        accessor = {"bufferView": len(views) - 1, "componentType": 5126,
                    "count": len(values), "type": kind}
        if kind == "SCALAR":
            accessor["min"] = [min(values)]
            accessor["max"] = [max(values)]
        accessors.append(accessor)
        return len(accessors) - 1

    index = {name: i + 1 for i, (name, _, _) in enumerate(BONES)}
    nodes = [{"name": "Armature", "children": [index["Hips"]]}]
    if scale != 1:
        nodes[0]["scale"] = [scale, scale, scale]
    for name, parent, offset in BONES:
        node = {"name": name, "translation": [c / scale for c in offset]}
        children = [index[n] for n, p, _ in BONES if p == name]
        if children:
            node["children"] = children
        nodes.append(node)

    body = len(nodes)
    nodes.append({"name": "Body"})
    animations = []
    for c, (name, seconds, swing, speed) in enumerate(CLIPS):
        times, rotations, translations = clip_keys(c, seconds, swing, speed)
        time_accessor = add(times, "SCALAR", 1)
        samplers, channels = [], []
        for bone, keys in rotations.items():
            samplers.append({"input": time_accessor, "output": add(keys, "VEC4", 4),
                             "interpolation": "LINEAR"})
            channels.append({"sampler": len(samplers) - 1,
                             "target": {"node": index[bone], "path": "rotation"}})
        hips = [tuple(v / scale for v in p) for p in translations]
        samplers.append({"input": time_accessor, "output": add(hips, "VEC3", 3),
                         "interpolation": "LINEAR"})
        channels.append({"sampler": len(samplers) - 1,
                         "target": {"node": index["Hips"], "path": "translation"}})
        animations.append({"name": name, "samplers": samplers, "channels": channels})

    uri = "data:application/octet-stream;base64," + base64.b64encode(bytes(blob)).decode()
    return {
        "asset": {"version": "2.0", "generator": "make_test_character.py"},
        "scene": 0,
        # A second top-level node, as a character's body mesh beside its
        # armature: the armature stays a node of its own.
        "scenes": [{"nodes": [0, body]}],
        "nodes": nodes,
        "animations": animations,
        "buffers": [{"byteLength": len(blob), "uri": uri}],
        "bufferViews": views,
        "accessors": accessors,
    }


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = sys.argv[1]
    for suffix, scale in (("", 1), ("_x100", 100), ("_x0.01", 0.01)):
        with open("%s/character%s.gltf" % (out, suffix), "w") as f:
            json.dump(build(scale), f)


if __name__ == "__main__":
    main()
