#!/usr/bin/env python3
"""Writes a small skinned glTF with several clips for the take tests.

A bar of 3 joints ("Root", "Mid", "Tip", 1 m apart along Y) skins a mesh
node that has no name of its own (its mesh is "BarMesh"). The skin's
inverse bind matrices hold the straight bar; the Tip node's own transform
is turned 30 degrees about Z, so the file's rest pose and its bind pose
differ at that joint. Clips, keyed at 30 Hz with linear interpolation:
"Bend" (Mid swings about Z, 1 s), "Lift" (Root travels and turns, 0.5 s),
"Twist" (Tip turns about Y, keys from 0.5 s to 2 s) and a second clip named
"Bend" (1.5 s), whose name the importer must tell apart. With --early the
Twist keys run a second earlier, from -0.5 s: before the clip's start. With
--sheared the Tip's bind pose leans X along Y (a shear no rest pose holds).

  make_test_clips.py OUT.gltf [--early | --sheared]
"""
import base64
import json
import math
import struct
import sys

RATE = 30


def axis_angle(axis, angle):
    s = math.sin(angle / 2)
    return (axis[0] * s, axis[1] * s, axis[2] * s, math.cos(angle / 2))


def translation_matrix(y):
    # Column-major 4x4, as glTF stores it.
    return [1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, y, 0, 1]


def build(early=False, sheared=False):
    blob = bytearray()
    views, accessors = [], []

    def add(values, kind, fmt="f", component=5126, target=None):
        while len(blob) % 4:
            blob.append(0)
        offset = len(blob)
        flat = [c for v in values for c in (v if isinstance(v, (tuple, list)) else (v,))]
        blob.extend(struct.pack("<%d%s" % (len(flat), fmt), *flat))
        view = {"buffer": 0, "byteOffset": offset, "byteLength": len(blob) - offset}
        if target:
            view["target"] = target
        views.append(view)
        accessor = {"bufferView": len(views) - 1, "componentType": component,
                    "count": len(values), "type": kind}
        if kind == "SCALAR" and component == 5126:
            accessor["min"] = [min(values)]
            accessor["max"] = [max(values)]
        if kind == "VEC3" and component == 5126:
            accessor["min"] = [min(v[i] for v in values) for i in range(3)]
            accessor["max"] = [max(v[i] for v in values) for i in range(3)]
        accessors.append(accessor)
        return len(accessors) - 1

    # A bar 0.2 m thick from y = 0 to y = 2: rings of 4 vertices every 0.25 m.
    positions, joints, weights, indices = [], [], [], []
    rings = 9
    for r in range(rings):
        y = 2.0 * r / (rings - 1)
        for x, z in ((-0.1, -0.1), (0.1, -0.1), (0.1, 0.1), (-0.1, 0.1)):
            positions.append((x, y, z))
            lower = min(int(y), 1)
            t = min(max(y - lower, 0.0), 1.0)
            joints.append((lower, lower + 1, 0, 0))
            weights.append((1.0 - t, t, 0.0, 0.0))
    for r in range(rings - 1):
        for k in range(4):
            a, b = 4 * r + k, 4 * r + (k + 1) % 4
            c, d = a + 4, b + 4
            indices += [a, b, d, a, d, c]
    mesh = {"name": "BarMesh", "primitives": [{
        "attributes": {"POSITION": add(positions, "VEC3", target=34962),
                       "JOINTS_0": add(joints, "VEC4", "H", 5123, 34962),
                       "WEIGHTS_0": add(weights, "VEC4", target=34962)},
        "indices": add(indices, "SCALAR", "H", 5123, 34963)}]}
    # The sheared Tip binds at x' = x + 0.5 y, y' = y + 2: its inverse.
    tip_bind = [1, 0, 0, 0, -0.5, 1, 0, 0, 0, 0, 1, 0, 1, -2, 0, 1] if sheared \
        else translation_matrix(-2.0)
    inverse_binds = add([translation_matrix(-0.0), translation_matrix(-1.0), tip_bind], "MAT4")

    nodes = [
        {"mesh": 0, "skin": 0},
        {"name": "Root", "children": [2]},
        {"name": "Mid", "translation": [0, 1, 0], "children": [3]},
        {"name": "Tip", "translation": [0, 1, 0],
         "rotation": list(axis_angle((0, 0, 1), math.radians(30)))},
    ]

    def clip(name, start, seconds, channels):
        frames = int(round((seconds - start) * RATE))
        times = [start + f / RATE for f in range(frames + 1)]
        time_accessor = add(times, "SCALAR")
        samplers, out = [], []
        for node, path, value in channels:
            values = [value((t - start) / (seconds - start)) for t in times]
            kind = "VEC4" if path == "rotation" else "VEC3"
            samplers.append({"input": time_accessor, "output": add(values, kind),
                             "interpolation": "LINEAR"})
            out.append({"sampler": len(samplers) - 1, "target": {"node": node, "path": path}})
        return {"name": name, "samplers": samplers, "channels": out}

    animations = [
        clip("Bend", 0.0, 1.0, [(2, "rotation",
                                 lambda u: axis_angle((0, 0, 1), math.sin(2 * math.pi * u)))]),
        clip("Lift", 0.0, 0.5, [(1, "translation", lambda u: (0.5 * u, 0.3 * u * u, 0.0)),
                                (1, "rotation", lambda u: axis_angle((0, 1, 0), 0.8 * u))]),
        clip("Twist", -0.5 if early else 0.5, 1.0 if early else 2.0,
             [(3, "rotation", lambda u: axis_angle((0, 1, 0), 2.0 * u))]),
        clip("Bend", 0.0, 1.5, [(2, "rotation",
                                 lambda u: axis_angle((1, 0, 0), 0.7 * math.sin(math.pi * u)))]),
    ]
    uri = "data:application/octet-stream;base64," + base64.b64encode(bytes(blob)).decode()
    return {
        "asset": {"version": "2.0", "generator": "make_test_clips.py"},
        "scene": 0,
        "scenes": [{"nodes": [0, 1]}],
        "nodes": nodes,
        "meshes": [mesh],
        "skins": [{"joints": [1, 2, 3], "inverseBindMatrices": inverse_binds}],
        "animations": animations,
        "buffers": [{"byteLength": len(blob), "uri": uri}],
        "bufferViews": views,
        "accessors": accessors,
    }


def main():
    option = sys.argv[2] if len(sys.argv) == 3 else None
    if len(sys.argv) not in (2, 3) or option not in (None, "--early", "--sheared"):
        sys.exit(__doc__)
    with open(sys.argv[1], "w") as f:
        json.dump(build(option == "--early", option == "--sheared"), f)


if __name__ == "__main__":
    main()
