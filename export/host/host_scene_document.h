#pragma once
// The host scene document (.kscene): a host scene as versioned JSON
// ("format": "kscene", "version": 1), our stand-in for the saved scene file.
//
// Layout (indices refer to the document's own arrays; ticks are host ticks):
//   { "format": "kscene", "version": 1,
//     "scene": { "frameRate": 30, "animationStart": 0, "animationEnd": 4800,
//                "systemUnit": 0.01, "settings": [CHUNK...] },
//     "materials": [ { "name", "type": "standard"|"multi"|"bitmap"|"map",
//                      "superClass", "class": [a, b], "twoSided", "diffuse": [r, g, b],
//                      "fileName", "subMaterials": [index|null...],
//                      "maps": [{"slot", "map": index}...], "parameters", "settings" } ],
//     "nodes": [ { "name", "parent": index|-1, "selected",
//                  "object": { "type": "mesh"|"box"|"sphere"|"capsule"|"bone"|"helper"|
//                              "camera"|"light"|"shape"|"target", "superClass",
//                              "class", "baseClass", "interfaces": [id...] } | null,
//                  "lookAt": index, "controllerClass": [a, b],
//                  "position": TRACK, "rotation": TRACK, "scale": TRACK,
//                  "objectOffset": [12 floats, rows], "visibility": TRACK,
//                  "noteTracks": [[{"tick", "text"}...]...], "material": index,
//                  "projectorMap": index, "mesh": MESH,
//                  "skin": { "bones": [index...], "weights": [[[bone, weight]...]...],
//                            "bindMatrices": [[12 floats]...], "meshBindMatrix": [12 floats] },
//                  "morphChannels": [{"name", "active", "target": MESH, "weight": TRACK}...],
//                  "morpher": bool, "userProperties": "text",
//                  "parameters": [{"name", TRACK fields}], "settings": [CHUNK...] } ] }
//   MESH = { "vertices": [[x, y, z]...], "faces": [[a, b, c]...],
//            "smoothingGroups": [mask...], "materialIds": [id...],
//            "normals": [[x, y, z]...], "normalFaces": [[a, b, c]...],
//            "maps": [{"channel": -2..99, "vertices": [[u, v, w]...], "faces": [[a, b, c]...]}],
//            "tangentChannel": n, "tangents": [[x, y, z]...], "binormals": [[x, y, z]...],
//            "tangentFaces": [[a, b, c]...] }
//     Per-face arrays (smoothing groups, material ids, map and tangent faces)
//     have one entry per face; normal faces may differ in count (the mesh
//     then uses its smoothing groups). Skin weights are one list per mesh
//     vertex, raw. Morph targets may differ from the base mesh in counts.
//     A "morphChannels" list implies "morpher": true unless it says false.
//   TRACK = [v...] (static) | { "interpolation": "step"|"linear"|"smooth",
//           "value": [v...], "keys": [{"tick", "value": [v...]}...] }; rotation values
//           are quaternions [x, y, z, w] or "axisAngle": [x, y, z, degrees].
//   CHUNK = { "kind": u32, "index": i32, "data": base64 }
// Numbers for ids may also be written as hex strings ("0x10"). A key the
// object does not have is an error naming it, with the nearest known key
// ("nodes[3] "Hips".positon: unknown key; did you mean "position"?"): a
// mistyped key skipped in silence would change the export.
//
// Loading is all or nothing: any fault (invalid JSON, missing field, wrong
// type, value or index out of range, parent or material cycle, bad base64,
// non-finite numbers, per-face counts that do not match) leaves the target
// scene untouched and returns false with a message that names the place,
// nodes, materials and takes by name as well as number, e.g.
// "nodes[3] "Hips".mesh.faces[12]: vertex 99 out of range 0..7"; the message
// is also logged. Floats are written as the shortest decimal that reads
// back to the same bits. Saving writes a temporary file beside the target
// and renames it over the target, so a failed save never damages it.

#include <string>

#include "export/host/host_scene.h"

namespace ketrel::host {

inline constexpr int kSceneDocumentVersion = 1;

// Reads `path` into `scene`. Relative bitmap file names are resolved against
// the document's directory; the scene's FileName and FilePath are set. On
// failure the message naming the place goes to `error` when given (the
// caller reports it), else to the log; `scene` is untouched.
bool LoadSceneDocument(const std::string& path, Scene& scene, std::string* error = nullptr);
// The same from text; `baseDirectory` resolves relative bitmap file names.
bool ParseSceneDocument(const std::string& text, const std::string& baseDirectory, Scene& scene,
                        std::string* error = nullptr);

// The document text of a scene.
std::string SceneDocumentText(const Scene& scene);
// Writes the document atomically; on success clears NeedsSave.
bool SaveSceneDocument(Scene& scene, const std::string& path, std::string* error = nullptr);

}  // namespace ketrel::host
