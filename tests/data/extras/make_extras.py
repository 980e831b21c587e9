#!/usr/bin/python3
# Makes extras.gltf (and extras.glb, the same as a binary file), the scene the host property import tests read: node,
# mesh and material extras of every JSON kind (integers, reals, strings,
# booleans, arrays, nested objects), a mesh two nodes instance, extras
# nested deeper than the importer keeps (and, like an extension of the same
# node, far deeper than Assimp 5.2.5 reads in time) and a string longer than it keeps, a texture
# with a KHR_texture_transform on UV set 1, and a perspective and an
# orthographic camera, a point and a spot light (KHR_lights_punctual).
import base64, json, struct

positions = struct.pack('<9f', 0, 0, 0, 1, 0, 0, 0, 1, 0)
uvs = struct.pack('<6f', 0, 0, 1, 0, 0, 1)
data = positions + uvs
deep = 'leaf'
for _ in range(40):
    deep = {'d': deep}

gltf = {
    'asset': {'version': '2.0', 'generator': 'make_extras.py', 'copyright': 'Ketrel test data',
              'extras': {'project': 'ketrel'}},
    'scene': 0,
    'scenes': [{'nodes': [0, 4, 5, 6, 7, 8, 9]}],
    'nodes': [
        {'name': 'Holder', 'children': [1, 2, 3],
         'extras': {'count': 7, 'weight': 2.5, 'label': 'crate', 'active': True, 'off': False,
                    'list': [1, 2.5, 'x', True], 'nested': {'inner': {'value': -3}, 'name': 'n'}}},
        {'name': 'InstanceA', 'mesh': 0, 'extras': {'slot': 1}},
        {'name': 'InstanceB', 'mesh': 0, 'translation': [2, 0, 0]},
        {'name': 'Single', 'mesh': 1},
        {'name': 'Deep', 'extras': {'deep': deep}, 'extensions': {'EXT_deep_test': deep}},
        {'name': 'Long', 'extras': {'text': 'y' * 70000 + '\u00e9'}},
        {'name': 'Lens', 'camera': 0},
        {'name': 'Flat', 'camera': 1},
        {'name': 'Bulb', 'extensions': {'KHR_lights_punctual': {'light': 0}}},
        {'name': 'Cone', 'extensions': {'KHR_lights_punctual': {'light': 1}}},
    ],
    'meshes': [
        {'name': 'Shared', 'extras': {'lod': 2, 'tags': ['a', 'b']},
         'primitives': [{'attributes': {'POSITION': 0, 'TEXCOORD_0': 1, 'TEXCOORD_1': 1},
                         'material': 0}]},
        {'name': 'Plain', 'primitives': [{'attributes': {'POSITION': 0}, 'material': 1}]},
    ],
    'materials': [
        {'name': 'Painted', 'extras': {'surface': 'metal', 'wear': 0.25},
         'emissiveFactor': [0.5, 0.25, 0],
         'pbrMetallicRoughness': {
             'baseColorFactor': [1, 1, 1, 0.75],
             'baseColorTexture': {'index': 0, 'texCoord': 1, 'extensions': {
                 'KHR_texture_transform': {'offset': [0.5, 0.25], 'scale': [2, 4], 'rotation': 0}}}}},
        {'name': 'Bare'},
    ],
    'textures': [{'source': 0}],
    'images': [{'uri': 'extras_missing.png'}],
    'cameras': [
        {'type': 'perspective', 'perspective': {'yfov': 0.8, 'aspectRatio': 1.5, 'znear': 0.1, 'zfar': 250}},
        {'type': 'orthographic', 'orthographic': {'xmag': 3, 'ymag': 2, 'znear': 0.5, 'zfar': 40}},
    ],
    'extensionsUsed': ['KHR_lights_punctual', 'KHR_texture_transform'],
    'extensions': {'KHR_lights_punctual': {'lights': [
        {'type': 'point', 'color': [1, 0.5, 0.25], 'intensity': 3, 'range': 20},
        {'type': 'spot', 'intensity': 2, 'spot': {'innerConeAngle': 0.25, 'outerConeAngle': 0.5}},
    ]}},
    'accessors': [
        {'bufferView': 0, 'componentType': 5126, 'count': 3, 'type': 'VEC3',
         'min': [0, 0, 0], 'max': [1, 1, 0]},
        {'bufferView': 1, 'componentType': 5126, 'count': 3, 'type': 'VEC2'},
    ],
    'bufferViews': [
        {'buffer': 0, 'byteOffset': 0, 'byteLength': len(positions)},
        {'buffer': 0, 'byteOffset': len(positions), 'byteLength': len(uvs)},
    ],
    'buffers': [{'byteLength': len(data),
                 'uri': 'data:application/octet-stream;base64,' + base64.b64encode(data).decode()}],
}
json.dump(gltf, open('extras.gltf', 'w'), indent=1)

# extras.glb: the same scene with its buffer in the binary chunk.
gltf['buffers'] = [{'byteLength': len(data)}]
text = json.dumps(gltf).encode()
text += b' ' * (-len(text) % 4)
body = data + b'\0' * (-len(data) % 4)
glb = struct.pack('<I4s', len(text), b'JSON') + text + struct.pack('<I4s', len(body), b'BIN\0') + body
open('extras.glb', 'wb').write(b'glTF' + struct.pack('<II', 2, 12 + len(glb)) + glb)
