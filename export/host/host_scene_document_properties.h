#pragma once
// The host properties part of a scene document: property owners (parameter
// blocks and custom attributes, in one top-level list that nodes, materials
// and owners refer to by index, so shared ones stay shared), node flags,
// material colours, map coordinates, document property sets, selection
// sets and layers. Shared by the document reader and writer.
//
// A property is {"name", "id" (document properties), "value"}; a value is a
// JSON integer, number, boolean, string, array or object, or one of the
// tagged forms {"$reals": [...]} (a point or colour), {"$date": [y, m, d, h,
// min, s]} and {"$real": "nan" | "inf" | "-inf"} (numbers JSON cannot hold).
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "export/host/host_scene.h"

namespace ketrel::host::document {

class Reader;
using json = nlohmann::json;
using OwnerTable = std::vector<std::shared_ptr<PropertyOwner>>;

// Values nest no deeper than this in a document.
inline constexpr int kMostValueDepth = 32;

// Reading. Each names the place of a fault in the reader's error.
bool ReadPropertyOwners(Reader& r, const json& list, OwnerTable& owners);
bool ReadAnimatables(Reader& r, const json& list, const std::string& path, const OwnerTable& owners,
                     std::vector<std::shared_ptr<PropertyOwner>>& out);
bool ReadNodeFlags(Reader& r, const json& value, const std::string& path, NodeFlags& flags);
bool ReadMaterialColors(Reader& r, const json& value, const std::string& path,
                        MaterialColors& colors);
bool ReadMapCoordinates(Reader& r, const json& value, const std::string& path,
                        MapCoordinates& coordinates);
bool ReadDocumentProperties(Reader& r, const json& list, std::vector<PropertySet>& sets);
bool ReadNodeSets(Reader& r, const json& list, const std::string& path,
                  std::vector<NamedNodeSet>& sets);

// Writing: each owner reachable from the scene gets its index in `Owners`.
struct OwnerWriter {
  json Owners = json::array();
  std::vector<const PropertyOwner*> Written;
  json Animatables(const std::vector<std::shared_ptr<PropertyOwner>>& owners);
  size_t IndexOf(const PropertyOwner* owner);
};
json PropertyValueJson(const PropertyValue& value);
json PropertiesJson(const std::vector<Property>& properties);
// Null when every flag and value is at its default.
json NodeFlagsJson(const NodeFlags& flags);
json MaterialColorsJson(const MaterialColors& colors);
json MapCoordinatesJson(const MapCoordinates& coordinates);
json NodeSetsJson(const std::vector<NamedNodeSet>& sets);

}  // namespace ketrel::host::document
