#include "tests/rt/test_ketrel_file_graph.h"

#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_writer.h"
#include "rt/ketrel_memory.h"

namespace ketrel::test {

data_type_definition TestVertexType[] = {
    {Real32Member, "Position", nullptr, 3, {0, 0, 0}, 0},
    {UInt8Member, "BoneIndices", nullptr, 4, {0, 0, 0}, 0},
    {NormalUInt8Member, "BoneWeights", nullptr, 4, {0, 0, 0}, 0},
    {Int16Member, "UV16", nullptr, 2, {0, 0, 0}, 0},
    {Real16Member, "Half", nullptr, 2, {0, 0, 0}, 0},
    {EndMember, nullptr, nullptr, 0, {0, 0, 0}, 0},
};
constexpr size_t kVertexSize = 28;

data_type_definition TestCurveType[] = {
    {Int16Member, "Format", nullptr, 0, {0, 0, 0}, 0},
    {Int16Member, "Degree", nullptr, 0, {0, 0, 0}, 0},
    {ReferenceToArrayMember, "Controls", Real32Type, 0, {0, 0, 0}, 0},
    {EndMember, nullptr, nullptr, 0, {0, 0, 0}, 0},
};
constexpr size_t kCurveSize = 16;

data_type_definition TestExtendedType[] = {
    {Int32Member, "Count", nullptr, 0, {1, 2, 3}, 0},
    {StringMember, "Label", nullptr, 0, {0, 0, 0}, 0},
    {Real32Member, "Weights", nullptr, 2, {7, 0, -1}, 0},
    {EndMember, nullptr, nullptr, 0, {0, 0, 0}, 0},
};

namespace {

template <typename T>
void Put(unsigned char* at, T value) {
  std::memcpy(at, &value, sizeof(T));
}

transform MakeTransform(float seed) {
  transform t = IdentityTransform();
  t.Flags = HasPosition | HasOrientation;
  t.Position[0] = seed;
  t.Position[1] = -seed;
  t.Position[2] = 0.5f;
  t.Orientation[2] = 0.70710678f;
  t.Orientation[3] = 0.70710678f;
  return t;
}

}  // namespace

RichGraph::RichGraph() {
  Put(extended_, int32_t(-42));
  Put(extended_ + 4, "extended label");
  Put(extended_ + 12, 1.5f);
  Put(extended_ + 16, -2.25f);

  artTool_ = {"Stand-in Host", 20,        1,         64,         39.37f,
              {0, 0, 0},       {1, 0, 0}, {0, 0, 1}, {0, -1, 0}, {TestExtendedType, extended_}};
  exporter_ = {"Ketrel Exporter", 2, 7, 0, 1234, {}};

  for (int i = 0; i < 24; ++i) pixels0_[i] = uint8_t(i * 11);
  for (int i = 0; i < 4; ++i) pixels1_[i] = uint8_t(200 + i);
  mips_[0] = {8, 24, pixels0_};
  mips_[1] = {4, 4, pixels1_};
  image_ = {2, mips_};
  texture_ = {
      "textures/brick.tga", 1, 2, 2, 3, 0, {4, {0, 8, 16, 24}, {8, 8, 8, 8}}, 1, &image_, {}};
  textures_[0] = &texture_;

  // material A -> map -> material B -> map -> material A: a cycle.
  mapsA_[0] = {"Diffuse Color", &materials_[1]};
  mapsB_[0] = {"Back", &materials_[0]};
  materials_[0] = {"Brick", 1, mapsA_, &texture_, {TestExtendedType, extended_}};
  materials_[1] = {"Brick Back", 1, mapsB_, nullptr, {}};
  materialList_[0] = &materials_[0];
  materialList_[1] = &materials_[1];

  const char* boneNames[3] = {"Root", "Spine", "Head"};
  for (int i = 0; i < 3; ++i) {
    bones_[i].Name = boneNames[i];
    bones_[i].ParentIndex = i - 1;
    bones_[i].Transform = MakeTransform(float(i));
    for (int r = 0; r < 4; ++r) bones_[i].InverseWorldTransform[r][r] = 1.0f;
    bones_[i].InverseWorldTransform[3][2] = -float(i);
    bones_[i].LODError = 0.01f * float(i);
  }
  skeleton_ = {"Biped", 3, bones_, 1, {}};
  skeletons_[0] = &skeleton_;

  for (int v = 0; v < 4; ++v) {
    unsigned char* at = vertices_ + v * kVertexSize;
    Put(at, float(v));
    Put(at + 4, float(v) * 0.5f);
    Put(at + 8, -float(v));
    at[12] = uint8_t(v);
    at[13] = 1;
    at[16] = 255;
    at[17] = uint8_t(v * 10);
    Put(at + 20, int16_t(-v * 1000));
    Put(at + 22, int16_t(v * 300));
    Put(at + 24, uint16_t(0x3C00));  // 1.0 as a half
    Put(at + 26, uint16_t(0xC000 + v));
  }
  componentNames_[0] = "Position";
  componentNames_[1] = "BoneIndices";
  annotationValues_[0] = 5;
  annotationValues_[1] = -6;
  for (int i = 0; i < 4; ++i) annotationIndices_[i] = i & 1;
  vertexAnnotations_[0] = {
      "Smoothing", {Int32Type, 2, annotationValues_}, 1, 4, annotationIndices_};
  vertexData_ = {{TestVertexType, 4, vertices_}, 2, componentNames_, 1, vertexAnnotations_};
  vertexDatas_[0] = &vertexData_;

  groups_[0] = {0, 0, 2};
  for (int i = 0; i < 6; ++i) {
    indices_[i] = i % 4;
    indices16_[i] = int16_t(3 - i % 4);
    neighbors_[i] = i == 2 ? -1 : i;
  }
  triAnnotationValues_[0] = 10;
  triAnnotationValues_[1] = 11;
  triAnnotationIndices_[0] = 1;
  triAnnotationIndices_[1] = 0;
  triAnnotations_[0] = {
      "FaceIds", {Int32Type, 2, triAnnotationValues_}, 0, 2, triAnnotationIndices_};
  topology_.GroupCount = 1;
  topology_.Groups = groups_;
  topology_.IndexCount = 6;
  topology_.Indices = indices_;
  topology_.Index16Count = 6;
  topology_.Indices16 = indices16_;
  topology_.SideToNeighborCount = 6;
  topology_.SideToNeighborMap = neighbors_;
  topology_.TriAnnotationSetCount = 1;
  topology_.TriAnnotationSets = triAnnotations_;
  topologies_[0] = &topology_;

  // The morph target shares the mesh's vertex data: one block, two fix-ups.
  morphs_[0] = {"Smile", &vertexData_, 1};
  materialBindings_[0] = {&materials_[0]};
  materialBindings_[1] = {&materials_[1]};
  boneTriangles_[0] = 0;
  boneTriangles_[1] = 1;
  boneBindings_[0] = {"Spine", {-1, -1, -1}, {1, 1, 1}, 2, boneTriangles_};
  mesh_ = {"Body", &vertexData_,      1, morphs_,       &topology_,
           2,      materialBindings_, 1, boneBindings_, {}};
  meshes_[0] = &mesh_;
  meshBindings_[0] = {&mesh_};
  model_ = {"Hero", &skeleton_, MakeTransform(3), 1, meshBindings_, {}};
  models_[0] = &model_;

  for (int i = 0; i < 8; ++i) controls_[i] = 0.25f * float(i) - 1.0f;
  for (int c = 0; c < 3; ++c) {
    Put(curveData_[c], int16_t(c + 1));
    Put(curveData_[c] + 2, int16_t(3 - c));
    Put(curveData_[c] + 4, int32_t(4));  // curves 0 and 2 share one array
    Put(curveData_[c] + 8, &controls_[c == 1 ? 4 : 0]);
  }
  vectorTracks_[0] = {"Blink", 0xABCD1234u, 1, {{TestCurveType, curveData_[0]}}};
  transformTracks_[0].Name = "Spine";
  transformTracks_[0].Flags = 3;
  transformTracks_[0].OrientationCurve = {{TestCurveType, curveData_[1]}};
  transformTracks_[0].PositionCurve = {{TestCurveType, curveData_[2]}};
  transformTracks_[0].ScaleShearCurve = {{}};  // an absent curve
  lodErrors_[0] = 0.5f;
  lodErrors_[1] = 0.125f;
  entries_[0] = {0.0f, "start"};
  entries_[1] = {1.5f, "footstep"};
  textTracks_[0] = {"Events", 2, entries_};
  loop_ = {2.0f, 0.5f, 0.1f, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}};
  trackGroup_.Name = "Walk";
  trackGroup_.VectorTrackCount = 1;
  trackGroup_.VectorTracks = vectorTracks_;
  trackGroup_.TransformTrackCount = 1;
  trackGroup_.TransformTracks = transformTracks_;
  trackGroup_.TransformLODErrorCount = 2;
  trackGroup_.TransformLODErrors = lodErrors_;
  trackGroup_.TextTrackCount = 1;
  trackGroup_.TextTracks = textTracks_;
  trackGroup_.InitialPlacement = IdentityTransform();
  trackGroup_.AccumulationFlags = 2;
  trackGroup_.LoopTranslation[0] = 1.0f;
  trackGroup_.PeriodicLoop = &loop_;
  trackGroups_[0] = &trackGroup_;
  // The animation refers to the shared track group, then a null entry.
  animationGroups_[0] = &trackGroup_;
  animationGroups_[1] = nullptr;
  animation_ = {"Walk Cycle", 1.0f, 1.0f / 30.0f, 1.0f, 2, animationGroups_, 0, 1, {}};
  animations_[0] = &animation_;

  info_.ArtToolInfo = &artTool_;
  info_.ExporterInfo = &exporter_;
  info_.FromFileName = "scenes/hero.json";
  info_.TextureCount = 1;
  info_.Textures = textures_;
  info_.MaterialCount = 2;
  info_.Materials = materialList_;
  info_.SkeletonCount = 1;
  info_.Skeletons = skeletons_;
  info_.VertexDataCount = 1;
  info_.VertexDatas = vertexDatas_;
  info_.TriTopologyCount = 1;
  info_.TriTopologies = topologies_;
  info_.MeshCount = 1;
  info_.Meshes = meshes_;
  info_.ModelCount = 1;
  info_.Models = models_;
  info_.TrackGroupCount = 1;
  info_.TrackGroups = trackGroups_;
  info_.AnimationCount = 1;
  info_.Animations = animations_;
  info_.ExtendedData = {TestExtendedType, extended_};
}

// ---- Writing a graph into a builder ------------------------------------------

namespace {

template <typename T>
T Get(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof(T));
  return value;
}

class GraphWriter {
 public:
  explicit GraphWriter(file_builder* builder, uint32_t sections)
      : builder_(builder), sections_(sections) {}

  file_location Type(const data_type_definition* type) {
    auto found = types_.find(type);
    if (found != types_.end()) return found->second;
    int32_t count = GetMemberCount(type);
    file_location location;
    AddFileObject(builder_, 0, 4, uint32_t(44 * (count + 1)), type, &location);
    types_[type] = location;
    for (int32_t i = 0; i < count; ++i) {
      const data_type_definition& member = type[i];
      AddFilePointerFixup(builder_, location, uint32_t(44 * i + 4), String(member.Name));
      bool referencesType = member.Type == InlineMember || member.Type == ReferenceMember ||
                            member.Type == ReferenceToArrayMember ||
                            member.Type == ArrayOfReferencesMember;
      if (referencesType && member.ReferenceType != nullptr) {
        AddFilePointerFixup(builder_, location, uint32_t(44 * i + 12), Type(member.ReferenceType));
      }
    }
    return location;
  }

  file_location String(const char* text) {
    auto found = strings_.find(text);
    if (found != strings_.end()) return found->second;
    file_location location;
    AddFileObject(builder_, 0, 1, uint32_t(std::strlen(text) + 1), text, &location);
    strings_[text] = location;
    return location;
  }

  file_location Objects(const data_type_definition* type, const void* objects, uint32_t count,
                        uint32_t section) {
    auto found = objects_.find(objects);
    if (found != objects_.end()) return found->second;
    uint32_t size = uint32_t(GetTotalObjectSize(type));
    uint32_t marshalling = GetObjectMarshalling(type);
    file_location location;
    AddFileObject(builder_, section < sections_ ? section : 0, marshalling, size * count, objects,
                  &location);
    objects_[objects] = location;
    if (IsMixedMarshalling(marshalling)) {
      AddFileMarshallingFixup(builder_, Type(type), location, count);
    }
    for (uint32_t i = 0; i < count; ++i) {
      file_location element;
      OffsetFileLocation(builder_, location, i * size, &element);
      Members(type, element, static_cast<const unsigned char*>(objects) + i * size);
    }
    return location;
  }

 private:
  uint32_t SectionForArray(const data_type_definition* type) const {
    if (type == TestVertexType) return 1;
    if (type == Int32Type || type == Int16Type) return 2;
    if (type == UInt8Type) return 5;
    return 0;
  }

  void Fixup(const file_location& at, uint32_t offset, const file_location& to) {
    AddFilePointerFixup(builder_, at, offset, to);
  }

  void Members(const data_type_definition* type, file_location at, const unsigned char* bytes) {
    for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
      const int32_t size = GetMemberTypeSize(m);
      switch (m->Type) {
        case InlineMember: {
          int32_t unit = GetMemberUnitSize(m);
          for (int32_t e = 0; e < GetMemberArrayWidth(m); ++e) {
            file_location element;
            OffsetFileLocation(builder_, at, uint32_t(e * unit), &element);
            Members(m->ReferenceType, element, bytes + e * unit);
          }
          break;
        }
        case ReferenceMember:
          if (auto* p = Get<const void*>(bytes)) Fixup(at, 0, Objects(m->ReferenceType, p, 1, 0));
          break;
        case ReferenceToArrayMember: {
          int32_t count = Get<int32_t>(bytes);
          if (auto* p = Get<const void*>(bytes + 4); p != nullptr && count > 0) {
            Fixup(at, 4,
                  Objects(m->ReferenceType, p, uint32_t(count), SectionForArray(m->ReferenceType)));
          }
          break;
        }
        case ArrayOfReferencesMember: {
          int32_t count = Get<int32_t>(bytes);
          auto* p = Get<const void* const*>(bytes + 4);
          if (p == nullptr || count <= 0) break;
          file_location array;
          AddFileObject(builder_, at.SectionIndex, 0, uint32_t(8 * count), p, &array);
          Fixup(at, 4, array);
          for (int32_t i = 0; i < count; ++i) {
            if (p[i] != nullptr) {
              AddFilePointerFixup(builder_, array, uint32_t(8 * i),
                                  Objects(m->ReferenceType, p[i], 1, 0));
            }
          }
          break;
        }
        case VariantReferenceMember: {
          auto* variantType = Get<const data_type_definition*>(bytes);
          if (variantType == nullptr) break;
          Fixup(at, 0, Type(variantType));
          if (auto* p = Get<const void*>(bytes + 8)) Fixup(at, 8, Objects(variantType, p, 1, 0));
          break;
        }
        case ReferenceToVariantArrayMember: {
          auto* variantType = Get<const data_type_definition*>(bytes);
          if (variantType == nullptr) break;
          Fixup(at, 0, Type(variantType));
          int32_t count = Get<int32_t>(bytes + 8);
          if (auto* p = Get<const void*>(bytes + 12); p != nullptr && count > 0) {
            Fixup(at, 12, Objects(variantType, p, uint32_t(count), SectionForArray(variantType)));
          }
          break;
        }
        case StringMember:
          if (auto* text = Get<const char*>(bytes)) Fixup(at, 0, String(text));
          break;
        default:
          break;
      }
      OffsetFileLocation(builder_, at, uint32_t(size), &at);
      bytes += size;
    }
  }

  file_builder* builder_;
  uint32_t sections_;
  // Looked up only, never iterated: the file does not depend on addresses.
  std::map<const void*, file_location> types_;
  std::map<std::string, file_location> strings_;
  std::map<const void*, file_location> objects_;
};

}  // namespace

void WriteGraph(file_builder* builder, data_type_definition* rootType, const void* root) {
  GraphWriter writer(builder, kStandardSectionCount);
  file_location object = writer.Objects(rootType, root, 1, 0);
  file_location type = writer.Type(rootType);
  SetFileRoot(builder, type, object);
}

std::vector<unsigned char> BuildRichFile(file_platform platform, const uint32_t* compression) {
  RichGraph graph;
  file_builder* builder =
      BeginFileInMemory(kStandardSectionCount, 0x4B543201u, MakeMagicRecord(platform), 256);
  for (uint32_t s = 0; compression != nullptr && s < kStandardSectionCount; ++s) {
    SetFileSectionFormat(builder, s, compression[s], 4);
  }
  WriteGraph(builder, FileInfoType, graph.Root());
  file_writer* writer = CreateMemoryFileWriter(4096, 4096);
  std::vector<unsigned char> bytes;
  if (EndFileToWriter(builder, writer)) {
    size_t size = 0;
    const unsigned char* data =
        static_cast<const unsigned char*>(GetMemoryWriterBytes(writer, &size));
    bytes.assign(data, data + size);
  }
  DeleteFileWriter(writer);
  return bytes;
}

// ---- Comparing graphs ------------------------------------------------------------

namespace {

class GraphComparer {
 public:
  std::string Types(const data_type_definition* a, const data_type_definition* b,
                    const std::string& path) {
    if ((a == nullptr) != (b == nullptr)) return path + ": one type is null";
    if (a == nullptr || !typePairs_.insert({a, b}).second) return "";
    for (int i = 0;; ++i) {
      const data_type_definition& ma = a[i];
      const data_type_definition& mb = b[i];
      std::string at = path + "." + (ma.Name != nullptr ? ma.Name : "<end>");
      if (ma.Type != mb.Type) return at + ": member types differ";
      if (ma.Type == EndMember) return "";
      if (std::strcmp(ma.Name, mb.Name) != 0) return at + ": names differ";
      if (ma.ArrayWidth != mb.ArrayWidth) return at + ": widths differ";
      if (std::memcmp(ma.Extra, mb.Extra, sizeof(ma.Extra)) != 0) return at + ": Extra differs";
      std::string inner = Types(ma.ReferenceType, mb.ReferenceType, at);
      if (!inner.empty()) return inner;
    }
  }

  std::string Objects(const data_type_definition* ta, const unsigned char* a,
                      const data_type_definition* tb, const unsigned char* b,
                      const std::string& path) {
    std::string typeDifference = Types(ta, tb, path + "<type>");
    if (!typeDifference.empty()) return typeDifference;
    if ((a == nullptr) != (b == nullptr)) return path + ": one object is null";
    if (a == nullptr || !objectPairs_.insert({a, b}).second) return "";
    for (const data_type_definition* m = ta; m->Type != EndMember; ++m) {
      std::string at = path + "." + m->Name;
      std::string difference = Member(m, a, b, at);
      if (!difference.empty()) return difference;
      a += GetMemberTypeSize(m);
      b += GetMemberTypeSize(m);
    }
    return "";
  }

 private:
  std::string Array(const data_type_definition* type, const unsigned char* a,
                    const unsigned char* b, int32_t count, const std::string& path) {
    int32_t size = GetTotalObjectSize(type);
    if ((a == nullptr) != (b == nullptr)) return path + ": one array is null";
    for (int32_t i = 0; a != nullptr && i < count; ++i) {
      std::string d =
          Elements(type, a + i * size, b + i * size, path + "[" + std::to_string(i) + "]");
      if (!d.empty()) return d;
    }
    return "";
  }

  // Compares inline (not shared) elements: no pair bookkeeping.
  std::string Elements(const data_type_definition* type, const unsigned char* a,
                       const unsigned char* b, const std::string& path) {
    for (const data_type_definition* m = type; m->Type != EndMember; ++m) {
      std::string d = Member(m, a, b, path + "." + m->Name);
      if (!d.empty()) return d;
      a += GetMemberTypeSize(m);
      b += GetMemberTypeSize(m);
    }
    return "";
  }

  std::string Member(const data_type_definition* m, const unsigned char* a, const unsigned char* b,
                     const std::string& at) {
    switch (m->Type) {
      case InlineMember:
        for (int32_t e = 0; e < GetMemberArrayWidth(m); ++e) {
          int32_t unit = GetMemberUnitSize(m);
          std::string d = Elements(m->ReferenceType, a + e * unit, b + e * unit, at);
          if (!d.empty()) return d;
        }
        return "";
      case ReferenceMember:
        return Objects(m->ReferenceType, Get<const unsigned char*>(a), m->ReferenceType,
                       Get<const unsigned char*>(b), at);
      case ReferenceToArrayMember:
        if (Get<int32_t>(a) != Get<int32_t>(b)) return at + ": counts differ";
        return Array(m->ReferenceType, Get<const unsigned char*>(a + 4),
                     Get<const unsigned char*>(b + 4), Get<int32_t>(a), at);
      case ArrayOfReferencesMember: {
        int32_t count = Get<int32_t>(a);
        if (count != Get<int32_t>(b)) return at + ": counts differ";
        // Pointer arrays lie at 4-byte alignment in files: read entries bytewise.
        auto* pa = Get<const unsigned char*>(a + 4);
        auto* pb = Get<const unsigned char*>(b + 4);
        for (int32_t i = 0; pa != nullptr && pb != nullptr && i < count; ++i) {
          std::string d =
              Objects(m->ReferenceType, Get<const unsigned char*>(pa + 8 * i), m->ReferenceType,
                      Get<const unsigned char*>(pb + 8 * i), at + "[" + std::to_string(i) + "]");
          if (!d.empty()) return d;
        }
        return (pa == nullptr) != (pb == nullptr) ? at + ": one pointer array is null" : "";
      }
      case VariantReferenceMember:
        return Objects(Get<const data_type_definition*>(a), Get<const unsigned char*>(a + 8),
                       Get<const data_type_definition*>(b), Get<const unsigned char*>(b + 8), at);
      case ReferenceToVariantArrayMember: {
        auto* ta = Get<const data_type_definition*>(a);
        auto* tb = Get<const data_type_definition*>(b);
        std::string d = Types(ta, tb, at + "<type>");
        if (!d.empty()) return d;
        if (Get<int32_t>(a + 8) != Get<int32_t>(b + 8)) return at + ": counts differ";
        if (ta == nullptr) return "";
        return Array(ta, Get<const unsigned char*>(a + 12), Get<const unsigned char*>(b + 12),
                     Get<int32_t>(a + 8), at);
      }
      case StringMember: {
        auto* sa = Get<const char*>(a);
        auto* sb = Get<const char*>(b);
        if ((sa == nullptr) != (sb == nullptr)) return at + ": one string is null";
        return sa != nullptr && std::strcmp(sa, sb) != 0 ? at + ": \"" + sa + "\" != \"" + sb + "\""
                                                         : "";
      }
      case EmptyReferenceMember:
        return "";
      default:
        return std::memcmp(a, b, size_t(GetMemberTypeSize(m))) == 0 ? "" : at + ": values differ";
    }
  }

  std::set<std::pair<const void*, const void*>> typePairs_;
  std::set<std::pair<const void*, const void*>> objectPairs_;
};

}  // namespace

std::string CompareGraphs(const data_type_definition* typeA, const void* a,
                          const data_type_definition* typeB, const void* b) {
  GraphComparer comparer;
  return comparer.Objects(typeA, static_cast<const unsigned char*>(a), typeB,
                          static_cast<const unsigned char*>(b), "root");
}

}  // namespace ketrel::test
