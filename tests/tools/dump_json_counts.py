"""Checks `ketrel dump --json` against the counts `ketrel info --json` states.

Usage: dump_json_counts.py INFO.json DUMP.json
Every array of the dump must be whole (no abbreviation, one element type),
and its length must equal the count the file gives for it. Exit 0 when all
agree; otherwise each disagreement on stderr and exit 1.
"""
import json
import sys

info = json.load(open(sys.argv[1]))["contents"]
dump = json.load(open(sys.argv[2]))
ids = {}
faults = []


def index(value):
    """Numbers every "$id" so that "$ref"s can be followed."""
    if isinstance(value, dict):
        if "$id" in value:
            ids[value["$id"]] = value
        for child in value.values():
            index(child)
    elif isinstance(value, list):
        kinds = {"number" if type(v) in (int, float) else type(v).__name__
                 for v in value if v is not None}
        if len(kinds) > 1:
            faults.append("an array of mixed types: %s" % sorted(kinds))
        for child in value:
            index(child)


def follow(value):
    """The object or array a value stands for: references, variant and
    shared-array wrappers taken away."""
    while isinstance(value, dict):
        if "$ref" in value:
            value = ids[value["$ref"]]
        elif "$value" in value:
            value = value["$value"]
        elif "$items" in value:
            value = value["$items"]
        else:
            break
    return value if value is not None else []


def expect(what, stated, found):
    if stated != found:
        faults.append("%s: the file states %s, the dump has %s" % (what, stated, found))


index(dump)
for key, name in [("textures", "Textures"), ("materials", "Materials"),
                  ("skeletons", "Skeletons"), ("meshes", "Meshes"),
                  ("animations", "Animations")]:
    expect(name, len(info[key]), len(follow(dump[name])))
for i, texture in enumerate(info["textures"]):
    images = follow(follow(dump["Textures"][i])["Images"])
    mips = [m for image in images for m in follow(image["MIPLevels"])]
    expect("texture %d mip levels" % i, texture["mipLevels"], len(mips))
    expect("texture %d pixel bytes" % i, texture["pixelBytes"],
           sum(len(follow(m["PixelBytes"])) for m in mips))
for i, material in enumerate(info["materials"]):
    expect("material %d maps" % i, len(material["maps"]),
           len(follow(follow(dump["Materials"][i])["Maps"])))
for i, skeleton in enumerate(info["skeletons"]):
    expect("skeleton %d bones" % i, skeleton["bones"],
           len(follow(follow(dump["Skeletons"][i])["Bones"])))
for i, mesh in enumerate(info["meshes"]):
    dumped = follow(dump["Meshes"][i])
    expect("mesh %d bone bindings" % i, mesh["boneBindings"], len(follow(dumped["BoneBindings"])))
    expect("mesh %d morph targets" % i, mesh["morphTargets"], len(follow(dumped["MorphTargets"])))
    if "vertices" in mesh:
        vertices = follow(follow(dumped["PrimaryVertexData"])["Vertices"])
        expect("mesh %d vertices" % i, mesh["vertices"], len(vertices))
    if "triangles" in mesh:
        topology = follow(dumped["PrimaryTopology"])
        indices = len(follow(topology["Indices"])) + len(follow(topology["Indices16"]))
        expect("mesh %d triangles" % i, mesh["triangles"], indices // 3)
for i, animation in enumerate(info["animations"]):
    expect("animation %d track groups" % i, animation["trackGroupCount"],
           len(follow(follow(dump["Animations"][i])["TrackGroups"])))
for fault in faults:
    print(fault, file=sys.stderr)
sys.exit(1 if faults else 0)
