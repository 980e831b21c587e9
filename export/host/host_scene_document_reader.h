#pragma once
// Reading a scene document: typed values out of the parsed JSON, each fault
// kept with the place it was found ("nodes[3] "Hips".rotation: ...").
// Shared by the document reader's parts; not a public interface.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

#include "export/host/host_base64.h"
#include "export/host/host_scene.h"
#include "export/shared/ketrel_did_you_mean.h"

namespace ketrel::host::document {

using json = nlohmann::json;

inline std::string Item(const std::string& path, size_t index) {
  return path + "[" + std::to_string(index) + "]";
}
inline std::string Member(const std::string& path, const char* key) {
  return path.empty() ? key : path + "." + key;
}
// An entry of a list with names (nodes, materials, takes), named as well
// as numbered so that a fault is easy to find: nodes[3] "Hips".
inline std::string NamedItem(const std::string& path, size_t index, const nlohmann::json& entry) {
  const auto name = entry.is_object() ? entry.find("name") : entry.end();
  if (!entry.is_object() || name == entry.end() || !name->is_string()) return Item(path, index);
  std::string named = Item(path, index);
  named += " \"";
  named += name->get_ref<const std::string&>();
  named += '"';
  return named;
}

// Reads typed values out of the parsed document, keeping the first fault
// with the place it was found.
class Reader {
 public:
  std::string error;
  // The document's property owners, which nodes and materials refer to.
  std::vector<std::shared_ptr<PropertyOwner>> owners;

  bool Fail(const std::string& path, const std::string& message) {
    if (error.empty()) error = (path.empty() ? "document" : path) + ": " + message;
    return false;
  }

  // Every key of `object` is one of `known`: a mistyped key would otherwise
  // be skipped and change the scene in silence. A newer writer with more to
  // say raises the document's version.
  bool Keys(const json& object, const std::string& path,
            std::initializer_list<std::string_view> known) {
    for (auto it = object.begin(); it != object.end(); ++it) {
      if (std::find(known.begin(), known.end(), it.key()) != known.end()) continue;
      std::string hint = DidYouMean(it.key(), std::vector<std::string_view>(known));
      if (hint.empty()) {
        hint = " (known:";
        for (std::string_view key : known) {
          hint += ' ';
          hint += key;
        }
        hint += ')';
      }
      return Fail(Member(path, it.key().c_str()), "unknown key" + hint);
    }
    return true;
  }

  const json* Optional(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
  }
  const json* Required(const json& object, const std::string& path, const char* key) {
    const json* value = Optional(object, key);
    if (!value) Fail(path, std::string("missing field \"") + key + "\"");
    return value;
  }

  bool Object(const json& value, const std::string& path) {
    return value.is_object() || Fail(path, "expected an object");
  }
  bool Array(const json& value, const std::string& path) {
    return value.is_array() || Fail(path, "expected an array");
  }

  bool Integer(const json& value, const std::string& path, int64_t min, int64_t max, int64_t& out) {
    if (value.is_string()) {
      // Hex ids are easier to read than their decimal values.
      const std::string& text = value.get_ref<const std::string&>();
      if (text.size() < 3 || text.size() > 18 || text[0] != '0' ||
          (text[1] != 'x' && text[1] != 'X'))
        return Fail(path, "expected an integer or a hex string like \"0x10\"");
      uint64_t parsed = 0;
      for (size_t i = 2; i < text.size(); ++i) {
        int digit = std::isxdigit(static_cast<unsigned char>(text[i]))
                        ? (std::isdigit(static_cast<unsigned char>(text[i]))
                               ? text[i] - '0'
                               : (std::tolower(static_cast<unsigned char>(text[i])) - 'a' + 10))
                        : -1;
        if (digit < 0) return Fail(path, "expected an integer or a hex string like \"0x10\"");
        parsed = parsed << 4 | unsigned(digit);
      }
      if (parsed > uint64_t(max) || int64_t(parsed) < min)
        return Fail(path, "value " + text + " out of range " + std::to_string(min) + ".." +
                              std::to_string(max));
      out = int64_t(parsed);
      return true;
    }
    if (value.is_number_unsigned()) {
      uint64_t v = value.get<uint64_t>();
      if (v > uint64_t(max) || (min > 0 && v < uint64_t(min)))
        return Fail(path, "value " + std::to_string(v) + " out of range " + std::to_string(min) +
                              ".." + std::to_string(max));
      out = int64_t(v);
      return true;
    }
    if (!value.is_number_integer()) return Fail(path, "expected an integer");
    int64_t v = value.get<int64_t>();
    if (v < min || v > max)
      return Fail(path, "value " + std::to_string(v) + " out of range " + std::to_string(min) +
                            ".." + std::to_string(max));
    out = v;
    return true;
  }
  bool Int32(const json& value, const std::string& path, int32_t& out,
             int64_t min = std::numeric_limits<int32_t>::min(),
             int64_t max = std::numeric_limits<int32_t>::max()) {
    int64_t v;
    if (!Integer(value, path, min, max, v)) return false;
    out = int32_t(v);
    return true;
  }
  bool Uint32(const json& value, const std::string& path, uint32_t& out) {
    int64_t v;
    if (!Integer(value, path, 0, std::numeric_limits<uint32_t>::max(), v)) return false;
    out = uint32_t(v);
    return true;
  }
  // An index into an array of `count` entries.
  bool Index(const json& value, const std::string& path, size_t count, int32_t& out) {
    if (!value.is_number_integer() && !value.is_number_unsigned())
      return Fail(path, "expected an index");
    int64_t v = value.is_number_unsigned()
                    ? int64_t(std::min<uint64_t>(value.get<uint64_t>(), INT64_MAX))
                    : value.get<int64_t>();
    if (v < 0 || uint64_t(v) >= count) {
      if (count == 0) return Fail(path, "index " + std::to_string(v) + " but there are none");
      return Fail(path,
                  "index " + std::to_string(v) + " out of range 0.." + std::to_string(count - 1));
    }
    out = int32_t(v);
    return true;
  }
  bool Float(const json& value, const std::string& path, float& out) {
    if (!value.is_number()) return Fail(path, "expected a number");
    double v = value.get<double>();
    // Up to half a step above the largest float still rounds to it: the
    // shortest decimal of FLT_MAX ("3.4028235e+38") lies there.
    const double limit = double(std::numeric_limits<float>::max()) + std::ldexp(1.0, 103);
    if (!std::isfinite(v) || std::fabs(v) >= limit) return Fail(path, "number out of range");
    out = std::fabs(v) > std::numeric_limits<float>::max()
              ? std::copysign(std::numeric_limits<float>::max(), float(v > 0 ? 1 : -1))
              : float(v);
    return true;
  }
  bool Double(const json& value, const std::string& path, double& out) {
    if (!value.is_number()) return Fail(path, "expected a number");
    out = value.get<double>();
    return std::isfinite(out) || Fail(path, "number out of range");
  }
  bool Bool(const json& value, const std::string& path, bool& out) {
    if (!value.is_boolean()) return Fail(path, "expected true or false");
    out = value.get<bool>();
    return true;
  }
  bool String(const json& value, const std::string& path, std::string& out) {
    if (!value.is_string()) return Fail(path, "expected a string");
    out = value.get<std::string>();
    return true;
  }
  bool Floats(const json& value, const std::string& path, size_t count, float* out) {
    if (!value.is_array() || value.size() != count)
      return Fail(path, "expected an array of " + std::to_string(count) + " numbers");
    for (size_t i = 0; i < count; ++i)
      if (!Float(value[i], Item(path, i), out[i])) return false;
    return true;
  }
  bool Class(const json& value, const std::string& path, ClassId& out) {
    if (!value.is_array() || value.size() != 2) return Fail(path, "expected a class id [a, b]");
    return Uint32(value[0], Item(path, 0), out.a) && Uint32(value[1], Item(path, 1), out.b);
  }

  bool Mode(const json& value, const std::string& path, Interpolation& out) {
    std::string text;
    if (!String(value, path, text)) return false;
    if (text == "step")
      out = Interpolation::Step;
    else if (text == "linear")
      out = Interpolation::Linear;
    else if (text == "smooth")
      out = Interpolation::Smooth;
    else
      return Fail(path, "unknown interpolation \"" + text + "\" (step, linear, smooth)" +
                            DidYouMean(text, {"step", "linear", "smooth"}));
    return true;
  }

  bool KeyTick(const json& key, const std::string& path, std::vector<int32_t>& ticks) {
    int32_t tick;
    const json* value = Required(key, path, "tick");
    if (!value || !Int32(*value, Member(path, "tick"), tick)) return false;
    if (!ticks.empty() && tick <= ticks.back())
      return Fail(Member(path, "tick"), std::to_string(tick) + " not after the previous key " +
                                            std::to_string(ticks.back()));
    ticks.push_back(tick);
    return true;
  }

  // A value track of `dimension` floats; keeps `track`'s defaults for what
  // the document leaves out.
  // `checkKeys` false: the caller has checked the object's keys (a parameter's
  // track shares its object with the parameter's name).
  bool Track(const json& value, const std::string& path, int32_t dimension, ValueTrack& track,
             bool checkKeys = true) {
    track.Dimension = dimension;
    std::vector<float> values(size_t(dimension), 0.0f);
    if (value.is_array() || value.is_number()) {
      if (value.is_number()) {
        if (dimension != 1 || !Float(value, path, values[0]))
          return Fail(path, "expected an array");
      } else if (!Floats(value, path, size_t(dimension), values.data())) {
        return false;
      }
      track.Value = values;
      return true;
    }
    if (!Object(value, path)) return false;
    if (checkKeys && !Keys(value, path, {"interpolation", "value", "keys"})) return false;
    if (const json* mode = Optional(value, "interpolation"))
      if (!Mode(*mode, Member(path, "interpolation"), track.Mode)) return false;
    if (const json* v = Optional(value, "value")) {
      if (!ReadValue(*v, Member(path, "value"), dimension, values.data())) return false;
      track.Value = values;
    }
    if (const json* keys = Optional(value, "keys")) {
      std::string keysPath = Member(path, "keys");
      if (!Array(*keys, keysPath)) return false;
      for (size_t k = 0; k < keys->size(); ++k) {
        std::string keyPath = Item(keysPath, k);
        const json& key = (*keys)[k];
        if (!Object(key, keyPath) || !Keys(key, keyPath, {"tick", "value"}) ||
            !KeyTick(key, keyPath, track.KeyTicks))
          return false;
        const json* v = Required(key, keyPath, "value");
        if (!v || !ReadValue(*v, Member(keyPath, "value"), dimension, values.data())) return false;
        track.KeyValues.insert(track.KeyValues.end(), values.begin(), values.end());
      }
    }
    return true;
  }
  bool ReadValue(const json& value, const std::string& path, int32_t dimension, float* out) {
    if (dimension == 1 && value.is_number()) return Float(value, path, out[0]);
    return Floats(value, path, size_t(dimension), out);
  }

  // A quaternion as written when it is already of unit length (normalising
  // again would move it by an ulp on every load and save); else normalised.
  static Quaternion UnitQuaternion(const float v[4]) {
    double length2 =
        double(v[0]) * v[0] + double(v[1]) * v[1] + double(v[2]) * v[2] + double(v[3]) * v[3];
    if (std::fabs(length2 - 1.0) <= 1e-6) return {v[0], v[1], v[2], v[3]};
    return Normalize({v[0], v[1], v[2], v[3]});
  }

  bool Rotation(const json& object, const std::string& path, Quaternion& out) {
    if (const json* aa = Optional(object, "axisAngle")) {
      float v[4];
      if (!Floats(*aa, Member(path, "axisAngle"), 4, v)) return false;
      if (v[0] == 0 && v[1] == 0 && v[2] == 0)
        return Fail(Member(path, "axisAngle"), "axis of zero length");
      out = QuaternionFromAxisAngle({v[0], v[1], v[2]}, float(v[3] * M_PI / 180.0));
      return true;
    }
    const json* q = Required(object, path, "value");
    float v[4];
    if (!q || !Floats(*q, Member(path, "value"), 4, v)) return false;
    if (v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0)
      return Fail(Member(path, "value"), "quaternion of zero length");
    out = UnitQuaternion(v);
    return true;
  }

  bool RotationTrackOf(const json& value, const std::string& path, RotationTrack& track) {
    if (value.is_array()) {
      float v[4];
      if (!Floats(value, path, 4, v)) return false;
      if (v[0] == 0 && v[1] == 0 && v[2] == 0 && v[3] == 0)
        return Fail(path, "quaternion of zero length");
      track.Value = UnitQuaternion(v);
      return true;
    }
    if (!Object(value, path) || !Keys(value, path, {"interpolation", "value", "axisAngle", "keys"}))
      return false;
    if (const json* mode = Optional(value, "interpolation"))
      if (!Mode(*mode, Member(path, "interpolation"), track.Mode)) return false;
    if (Optional(value, "value") || Optional(value, "axisAngle"))
      if (!Rotation(value, path, track.Value)) return false;
    if (const json* keys = Optional(value, "keys")) {
      std::string keysPath = Member(path, "keys");
      if (!Array(*keys, keysPath)) return false;
      for (size_t k = 0; k < keys->size(); ++k) {
        std::string keyPath = Item(keysPath, k);
        const json& key = (*keys)[k];
        Quaternion q;
        if (!Object(key, keyPath) || !Keys(key, keyPath, {"tick", "value", "axisAngle"}) ||
            !KeyTick(key, keyPath, track.KeyTicks) || !Rotation(key, keyPath, q))
          return false;
        track.KeyValues.push_back(q);
      }
    }
    return true;
  }

  bool Chunks(const json& value, const std::string& path, SettingsChunks& chunks) {
    if (!Array(value, path)) return false;
    for (size_t i = 0; i < value.size(); ++i) {
      std::string at = Item(path, i);
      const json& chunk = value[i];
      if (!Object(chunk, at) || !Keys(chunk, at, {"kind", "index", "data"})) return false;
      const json* kind = Required(chunk, at, "kind");
      const json* index = Required(chunk, at, "index");
      const json* data = Required(chunk, at, "data");
      uint32_t k = 0;
      int32_t n = 0;
      std::string text;
      if (!kind || !index || !data || !Uint32(*kind, Member(at, "kind"), k) ||
          !Int32(*index, Member(at, "index"), n) || !String(*data, Member(at, "data"), text))
        return false;
      std::vector<uint8_t> bytes;
      if (!DecodeBase64(text, bytes)) return Fail(Member(at, "data"), "invalid base64");
      if (!chunks.emplace(std::make_pair(k, n), std::move(bytes)).second)
        return Fail(at,
                    "a second chunk of kind " + std::to_string(k) + " index " + std::to_string(n));
    }
    return true;
  }

  bool Parameters(const json& value, const std::string& path, std::vector<Parameter>& out) {
    if (!Array(value, path)) return false;
    for (size_t i = 0; i < value.size(); ++i) {
      const json& entry = value[i];
      std::string at = NamedItem(path, i, entry);
      Parameter parameter;
      if (!Object(entry, at) ||
          !Keys(entry, at, {"name", "dimension", "interpolation", "value", "keys"}))
        return false;
      const json* name = Required(entry, at, "name");
      if (!name || !String(*name, Member(at, "name"), parameter.Name)) return false;
      int32_t dimension = 1;
      if (const json* d = Optional(entry, "dimension"))
        if (!Int32(*d, Member(at, "dimension"), dimension, 1, 4)) return false;
      if (!Track(entry, at, dimension, parameter.Track, false)) return false;
      out.push_back(std::move(parameter));
    }
    return true;
  }
};

// --- meshes, skins and morphers ---

// Rows of `width` numbers ([[x, y, z], ...]), flattened into `out`.
inline bool FloatRows(Reader& r, const json& value, const std::string& path, size_t width,
                      std::vector<float>& out) {
  if (!r.Array(value, path)) return false;
  out.resize(value.size() * width);
  for (size_t i = 0; i < value.size(); ++i)
    if (!r.Floats(value[i], Item(path, i), width, &out[i * width])) return false;
  return true;
}

// Triangles of indices into an array of `count` `what`s ([[a, b, c], ...]).
// The place named is the triangle, so a fault reads "faces[12]: vertex 99
// out of range 0..7".
inline bool IndexTriangles(Reader& r, const json& value, const std::string& path, size_t count,
                           const char* what, std::vector<int32_t>& out) {
  if (!r.Array(value, path)) return false;
  out.resize(value.size() * 3);
  for (size_t i = 0; i < value.size(); ++i) {
    std::string at = Item(path, i);
    const json& face = value[i];
    if (!face.is_array() || face.size() != 3) return r.Fail(at, "expected 3 indices");
    for (size_t c = 0; c < 3; ++c) {
      const json& index = face[c];
      if (!index.is_number_integer() && !index.is_number_unsigned())
        return r.Fail(at, std::string("expected 3 indices"));
      int64_t v = index.is_number_unsigned()
                      ? int64_t(std::min<uint64_t>(index.get<uint64_t>(), INT64_MAX))
                      : index.get<int64_t>();
      if (v < 0 || uint64_t(v) >= count) {
        if (count == 0)
          return r.Fail(at, std::string(what) + " " + std::to_string(v) + " but there are none");
        return r.Fail(at, std::string(what) + " " + std::to_string(v) + " out of range 0.." +
                              std::to_string(count - 1));
      }
      out[i * 3 + c] = int32_t(v);
    }
  }
  return true;
}

// A per-face array must have one entry per face.
inline bool PerFace(Reader& r, const json& value, const std::string& path, size_t faces,
                    const char* what) {
  if (!r.Array(value, path)) return false;
  if (value.size() != faces)
    return r.Fail(path, std::to_string(value.size()) + " " + what + " for " +
                            std::to_string(faces) + " faces");
  return true;
}

inline bool Matrix(Reader& r, const json& value, const std::string& path, HostMatrix& out) {
  float m[12];
  if (!r.Floats(value, path, 12, m)) return false;
  for (int i = 0; i < 12; ++i) out.m[i / 3][i % 3] = m[i];
  return true;
}

}  // namespace ketrel::host::document
