#!/usr/bin/python3
# Makes the textured skinned glTF test scenes from Assimp's simple_skin.gltf
# (assimp-testmodels): UVs, two materials that share a base colour image,
# a normal map and one occlusion-roughness-metal image used in three slots.
# textured_skin.gltf reads its images from files beside it; textured_skin.glb
# carries them in its binary chunk. Needs python3-pil.
import base64, io, json, math, struct
from PIL import Image

src = json.load(open('/usr/share/assimp/models/glTF2/simple_skin/simple_skin.gltf'))
data = bytearray(base64.b64decode(src['buffers'][0]['uri'].split(',', 1)[1]))
while len(data) % 4:
    data.append(0)
positions = src['accessors'][1]
view = src['bufferViews'][positions['bufferView']]
start = view.get('byteOffset', 0) + positions.get('byteOffset', 0)
uvs = bytearray()
for i in range(positions['count']):
    x, y, _ = struct.unpack_from('<3f', data, start + 12 * i)
    uvs += struct.pack('<2f', x, 1.0 - y / 2.0)
src['bufferViews'].append({'buffer': 0, 'byteOffset': len(data), 'byteLength': len(uvs), 'target': 34962})
data += uvs
src['accessors'].append({'bufferView': len(src['bufferViews']) - 1, 'componentType': 5126,
                         'count': positions['count'], 'type': 'VEC2'})
front = src['meshes'][0]['primitives'][0]
front['attributes']['TEXCOORD_0'] = len(src['accessors']) - 1
front['material'] = 0
back = json.loads(json.dumps(front))
back['material'] = 1
src['meshes'][0]['primitives'].append(back)


def png(size, colour):
    image = Image.new('RGB', (size, size))
    image.putdata([colour(x, y) for y in range(size) for x in range(size)])
    out = io.BytesIO()
    image.save(out, 'PNG')
    return out.getvalue()


names = ['skin_basecolor.png', 'skin_normal.png', 'skin_orm.png']
files = {
    names[0]: png(64, lambda x, y: (40 + 3 * x, 90 + int(60 * math.sin(y / 10.0)), 200 - 2 * y)),
    names[1]: png(32, lambda x, y: (128 + int(60 * math.sin(x / 5.0)), 128 + int(60 * math.cos(y / 5.0)), 230)),
    names[2]: png(16, lambda x, y: (255 - 4 * x, 16 * y, 128)),
}
src['materials'] = [
    {'name': 'Skin', 'normalTexture': {'index': 1}, 'occlusionTexture': {'index': 2},
     'pbrMetallicRoughness': {'baseColorTexture': {'index': 0}, 'metallicRoughnessTexture': {'index': 2}}},
    {'name': 'Skin Back', 'pbrMetallicRoughness': {'baseColorTexture': {'index': 0}},
     'emissiveTexture': {'index': 2}, 'emissiveFactor': [1, 1, 1]},
]
src['textures'] = [{'source': 0}, {'source': 1}, {'source': 2}]

gltf = json.loads(json.dumps(src))
gltf['images'] = [{'uri': name} for name in names]
gltf['buffers'][0] = {'byteLength': len(data),
                      'uri': 'data:application/octet-stream;base64,' + base64.b64encode(bytes(data)).decode()}
json.dump(gltf, open('textured_skin.gltf', 'w'), indent=1)
for name in names:
    open(name, 'wb').write(files[name])

glb = json.loads(json.dumps(src))
blob = bytearray(data)
glb['images'] = []
for name in names:
    while len(blob) % 4:
        blob.append(0)
    glb['bufferViews'].append({'buffer': 0, 'byteOffset': len(blob), 'byteLength': len(files[name])})
    blob += files[name]
    glb['images'].append({'bufferView': len(glb['bufferViews']) - 1, 'mimeType': 'image/png', 'name': name})
while len(blob) % 4:
    blob.append(0)
glb['buffers'][0] = {'byteLength': len(blob)}
text = json.dumps(glb).encode()
while len(text) % 4:
    text += b' '
header = struct.pack('<3I', 0x46546C67, 2, 12 + 8 + len(text) + 8 + len(blob))
open('textured_skin.glb', 'wb').write(header + struct.pack('<2I', len(text), 0x4E4F534A) + text +
                                      struct.pack('<2I', len(blob), 0x004E4942) + blob)
