// Host properties as they arrive in an exported file: the records' member
// names and types, shared custom attributes, what the settings ask for, and
// values the file cannot hold as given.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "export/host/host_export.h"
#include "export/host/host_scene_document.h"
#include "export/ketrel_settings_file.h"
#include "rt/ketrel_load.h"
#include "tests/support/log_capture.h"
#include "tests/support/packed_value.h"

namespace ketrel::host {
namespace {

struct FreeInfo {
  void operator()(file_info* info) const { FreeFileInfo(info); }
};
using InfoPtr = std::unique_ptr<file_info, FreeInfo>;

// Exports `scene` in memory with `settings` ("Label=value") applied to every
// item, and loads the file.
InfoPtr ExportAndLoad(Scene& scene, const std::vector<std::string>& settings = {}) {
  std::unique_ptr<HostToolInterface> tool = CreateToolInterface(scene, WalkOptions());
  file_writer* memory = CreateMemoryFileWriter(4096, 0);
  ExportRequest request;
  request.ShowProgress = false;
  request.EditSettings = [](SettingsItem* root, ToolInterface&, NodeGraph*, void* user) {
    std::string message;
    for (const std::string& s : *static_cast<const std::vector<std::string>*>(user))
      if (!SetCategorySettingByLabel(root, s.c_str(), message)) return false;
    return true;
  };
  request.EditSettingsUser = const_cast<std::vector<std::string>*>(&settings);
  InfoPtr info;
  if (ExportSceneToWriter(tool.get(), memory, request)) {
    size_t size = 0;
    const void* bytes = GetMemoryWriterBytes(memory, &size);
    info.reset(LoadFileInfoFromMemory(bytes, size));
  }
  DeleteFileWriter(memory);
  return info;
}

// A variant's members: name, type, and where the value is.
struct Field {
  std::string Name;
  const data_type_definition* Definition;
  const unsigned char* At;
};

std::vector<Field> Fields(const data_type_definition* type, const void* object) {
  std::vector<Field> fields;
  const auto* at = static_cast<const unsigned char*>(object);
  for (const data_type_definition* m = type; m && m->Type != EndMember; ++m) {
    fields.push_back({m->Name ? m->Name : "", m, at});
    at += GetMemberTypeSize(m);
  }
  return fields;
}

// "Name:MemberType" or "Name:MemberType[width]" per member, in order.
std::vector<std::string> Shape(const data_type_definition* type) {
  std::vector<std::string> shape;
  for (const Field& f : Fields(type, nullptr)) {
    std::string text = f.Name;
    text += ':';
    text += GetMemberTypeInfo(f.Definition->Type)->Name;
    if (f.Definition->ArrayWidth > 1) {
      text += '[';
      text += std::to_string(f.Definition->ArrayWidth);
      text += ']';
    }
    shape.push_back(text);
  }
  return shape;
}

const Field* Find(const std::vector<Field>& fields, const std::string& name) {
  for (const Field& f : fields)
    if (f.Name == name) return &f;
  return nullptr;
}

template <typename T>
T Read(const unsigned char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The record a reference member points to: its type and object.
variant Nested(const Field& f) { return {f.Definition->ReferenceType, Read<void*>(f.At)}; }

const bone* FindBone(const file_info* info, const std::string& name) {
  for (int32_t s = 0; s < info->SkeletonCount; ++s)
    for (int32_t b = 0; b < info->Skeletons[s]->BoneCount; ++b)
      if (name == info->Skeletons[s]->Bones[b].Name) return &info->Skeletons[s]->Bones[b];
  return nullptr;
}

template <typename T>
const T* FindNamed(T** list, int32_t count, const std::string& name) {
  for (int32_t i = 0; i < count; ++i)
    if (name == list[i]->Name) return list[i];
  return nullptr;
}

// One of each kind of item the host describes with a fixed record.
constexpr const char* kEveryKind = R"({
  "format": "kscene", "version": 1,
  "documentProperties": [
    {"name": "SummaryInfo", "properties": [{"id": 2, "value": "Title text"},
                                           {"id": 6, "value": "A comment"}]},
    {"name": "DocumentContents", "properties": [{"id": 2, "value": "Props"},
                                                {"id": 15, "value": "Studio"},
                                                {"id": 99, "value": {"$date": [2026, 12, 8, 9, 5, 0]}}]}
  ],
  "materials": [
    {"name": "Paint", "type": "standard", "maps": [{"slot": "Diffuse", "map": 1}]},
    {"name": "Decal", "type": "bitmap", "fileName": "missing.png"}
  ],
  "nodes": [
    {"name": "Cam", "object": {"type": "camera"},
     "parameters": [{"name": "FOV", "value": [0.8]}]},
    {"name": "Lamp", "object": {"type": "light"}, "projectorMap": 1,
     "parameters": [{"name": "Color", "dimension": 3, "value": [1, 0.5, 0.25]}]},
    {"name": "Ball", "object": {"type": "sphere"}, "material": 0, "instanceGroup": 4,
     "parameters": [{"name": "Radius", "value": [2]}],
     "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}},
    {"name": "Crate", "object": {"type": "box"}, "instanceGroup": 4,
     "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}},
    {"name": "Pill", "object": {"type": "capsule"},
     "mesh": {"vertices": [[0,0,0],[1,0,0],[0,1,0]], "faces": [[0,1,2]]}}
  ]
})";

using Golden = std::vector<std::string>;
const Golden kNodeFlags = {"Hide:Int8Member",
                           "Freeze:Int8Member",
                           "SeeThrough:Int8Member",
                           "DisplayAsBox:Int8Member",
                           "BackfaceCull:Int8Member",
                           "Trajectory:Int8Member",
                           "VertexTicks:Int8Member",
                           "IgnoreExtents:Int8Member",
                           "ShowFrozenInGray:Int8Member",
                           "Renderable:Int8Member",
                           "InheritVisibility:Int8Member",
                           "VisibleToCamera:Int8Member",
                           "VisibleToReflectionRefraction:Int8Member",
                           "ReceiveShadows:Int8Member",
                           "CastShadows:Int8Member",
                           "ApplyAtmospherics:Int8Member",
                           "RenderOccludedObjects:Int8Member",
                           "Unused:UInt8Member[3]"};
const Golden kFlagCompanions = {"MaxProperties:ReferenceMember", "GBufferObjId:Int32Member",
                                "MotionBlur_Type:Int32Member",
                                "MotionBlur_Multiplier:Real32Member"};

Golden Join(std::initializer_list<Golden> parts) {
  Golden all;
  for (const Golden& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

TEST(HostExtendedData, EveryRecordHasItsMembersInOrderWithTheirTypes) {
  Scene scene;
  std::string error;
  ASSERT_TRUE(ParseSceneDocument(kEveryKind, "", scene, &error)) << error;
  test::LogCapture log;
  InfoPtr info = ExportAndLoad(scene);
  ASSERT_TRUE(info);

  const bone* cam = FindBone(info.get(), "Cam");
  ASSERT_TRUE(cam && cam->ExtendedData.Type);
  EXPECT_EQ(Shape(cam->ExtendedData.Type),
            Join({{"FOV:Real32Member", "UserDefinedProperties:StringMember"},
                  kFlagCompanions,
                  {"CameraInfo:ReferenceMember"}}));
  const auto camFields = Fields(cam->ExtendedData.Type, cam->ExtendedData.Object);
  EXPECT_EQ(Shape(Nested(*Find(camFields, "MaxProperties")).Type), kNodeFlags);
  const variant camera = Nested(*Find(camFields, "CameraInfo"));
  EXPECT_EQ(Shape(camera.Type),
            (Golden{"typeName:StringMember", "Orthographic:Int32Member", "FOV:Real32Member",
                    "Target Distance:Real32Member", "Near Clip Distance:Real32Member",
                    "Far Clip Distance:Real32Member", "Near Environment Range:Real32Member",
                    "Far Environment Range:Real32Member"}));
  EXPECT_FLOAT_EQ(Read<float>(Find(Fields(camera.Type, camera.Object), "FOV")->At), 0.8f);

  const bone* lamp = FindBone(info.get(), "Lamp");
  ASSERT_TRUE(lamp && lamp->ExtendedData.Type);
  const auto lampFields = Fields(lamp->ExtendedData.Type, lamp->ExtendedData.Object);
  const variant light = Nested(*Find(lampFields, "LightInfo"));
  Golden lightGolden = {"typeName:StringMember",
                        "Use:Int32Member",
                        "Hotspot:Real32Member",
                        "Falloff:Real32Member",
                        "Use Near Attenuation:Int32Member",
                        "Near Attenuation Start:Real32Member",
                        "Near Attenuation End:Real32Member",
                        "Use Far Attenuation:Int32Member",
                        "Far Attenuation Start:Real32Member",
                        "Far Attenuation End:Real32Member",
                        "Target Distance:Real32Member",
                        "Cone Display:Int32Member",
                        "Shadow Method:Int32Member",
                        "Color:Real32Member[3]"};
  for (const char* name : {"Intensity", "Aspect", "Map Bias", "Map Size", "Ray Bias"})
    lightGolden.push_back(std::string(name) + ":Real32Member");
  for (const char* name :
       {"Use Global", "Shadow", "Shadow Type", "Absolute Map Bias", "Overshoot", "Projector",
        "Type", "Shape", "Affect Diffuse", "Affect Specular", "Ambient Only", "Extra", "Include"})
    lightGolden.push_back(std::string(name) + ":Int32Member");
  lightGolden.push_back("Projected Material:ReferenceMember");
  EXPECT_EQ(Shape(light.Type), lightGolden);
  const auto lightFields = Fields(light.Type, light.Object);
  EXPECT_EQ(Read<float>(Find(lightFields, "Color")->At + 4), 0.5f);
  // The projector points at the exported map material.
  const auto* projected = Read<const material_map*>(Find(lightFields, "Projected Material")->At);
  ASSERT_NE(projected, nullptr);
  const material* projector = test::Value(projected->Map);
  ASSERT_NE(projector, nullptr);
  EXPECT_STREQ(test::Value(projector->Name), "Decal");

  const Golden meshHead = {"UserDefinedProperties:StringMember",
                           "FullPath:StringMember",
                           "SiblingInstances:ReferenceToArrayMember",
                           "SiblingIsReference:ReferenceToArrayMember",
                           "NormalTransform_4x3:Real32Member[12]",
                           "VertexTransform_4x3:Real32Member[12]",
                           "typeName:StringMember"};
  const std::map<std::string, std::pair<std::string, Golden>> shapes = {
      {"Ball", {"SphereInfo", {"Radius:Real32Member"}}},
      {"Crate", {"BoxInfo", {"Length:Real32Member", "Width:Real32Member", "Height:Real32Member"}}},
      {"Pill", {"CapsuleInfo", {"Height:Real32Member", "Radius:Real32Member"}}}};
  for (const auto& [name, expected] : shapes) {
    const mesh* m = FindNamed(info->Meshes, info->MeshCount, name);
    ASSERT_TRUE(m && m->ExtendedData.Type) << name;
    Golden golden = Join({name == "Ball" ? Golden{"Radius:Real32Member"} : Golden{},
                          meshHead,
                          kFlagCompanions,
                          {expected.first + ":ReferenceMember"}});
    EXPECT_EQ(Shape(m->ExtendedData.Type), golden) << name;
    const variant shape =
        Nested(*Find(Fields(m->ExtendedData.Type, m->ExtendedData.Object), expected.first));
    EXPECT_EQ(Shape(shape.Type),
              Join({expected.second, {"Matrix:Real32Member[9]", "Center:Real32Member[3]"}}))
        << name;
  }
  // Ball and Crate are instances of one object: each names the other.
  const mesh* ball = FindNamed(info->Meshes, info->MeshCount, "Ball");
  const auto ballFields = Fields(ball->ExtendedData.Type, ball->ExtendedData.Object);
  const Field* siblings = Find(ballFields, "SiblingInstances");
  ASSERT_TRUE(siblings);
  ASSERT_EQ(Read<int32_t>(siblings->At), 1);
  EXPECT_STREQ(Read<const char*>(Read<const unsigned char*>(siblings->At + 4)), "Crate");

  const material* paint = FindNamed(info->Materials, info->MaterialCount, "Paint");
  ASSERT_TRUE(paint && paint->ExtendedData.Type);
  EXPECT_EQ(
      Shape(paint->ExtendedData.Type),
      (Golden{"typeName:StringMember", "Ambient Color:Real32Member[3]",
              "Diffuse Color:Real32Member[3]", "Specular Color:Real32Member[3]",
              "Shininess:Real32Member", "Shininess Strength:Real32Member",
              "Transparency:Real32Member", "Self Illumination:Real32Member",
              "SelfIlluminationIsOn:Int32Member", "Self Illumination Color:Real32Member[3]"}));
  const material* decal = FindNamed(info->Materials, info->MaterialCount, "Decal");
  ASSERT_TRUE(decal && decal->ExtendedData.Type);
  EXPECT_EQ(
      Shape(decal->ExtendedData.Type),
      (Golden{"typeName:StringMember", "UVWTransform:Real32Member[12]", "UVWOffset:Real32Member[3]",
              "UVWTiling:Int32Member", "UVWSource:Int32Member", "UVWChannel:Int32Member",
              "Blur:Real32Member", "BlurOffset:Real32Member", "NoiseAmount:Real32Member",
              "NoiseSize:Real32Member", "NoiseLevel:Real32Member", "NoisePhase:Real32Member",
              "HideMapBack:Int32Member", "UseRealWorldScale:Int32Member"}));

  // Document properties: unnamed ones named by their id within their own set
  // (2 is the title of the summary and the category of the contents).
  const variant doc = info->ArtToolInfo->ExtendedData;
  ASSERT_TRUE(doc.Type);
  const auto docFields = Fields(doc.Type, doc.Object);
  EXPECT_EQ(Shape(doc.Type),
            (Golden{"SummaryInfo:ReferenceMember", "DocumentContents:ReferenceMember"}));
  EXPECT_EQ(Shape(Nested(docFields[0]).Type),
            (Golden{"Title:StringMember", "Comments:StringMember"}));
  const variant contents = Nested(docFields[1]);
  EXPECT_EQ(Shape(contents.Type),
            (Golden{"Category:StringMember", "Company:StringMember", "PID_99:StringMember"}));
  EXPECT_STREQ(Read<const char*>(Fields(contents.Type, contents.Object)[2].At),
               "2026/12/08 - 09:05:00");
}

TEST(HostExtendedData, SettingsChooseHowMuchAndSharedAttributesAreWrittenOnce) {
  Scene scene;
  ASSERT_TRUE(LoadSceneDocument(std::string(KETREL_SOURCE_DIR) + "/examples/figure.kscene", scene));
  InfoPtr all = ExportAndLoad(scene);
  ASSERT_TRUE(all);
  // One custom attribute on the Figure bone's node and the Body mesh's.
  const bone* figure = FindBone(all.get(), "Figure");
  const mesh* body = FindNamed(all->Meshes, all->MeshCount, "Body");
  ASSERT_TRUE(figure && body && figure->ExtendedData.Type && body->ExtendedData.Type);
  const auto bodyFields = Fields(body->ExtendedData.Type, body->ExtendedData.Object);
  const auto figureFields = Fields(figure->ExtendedData.Type, figure->ExtendedData.Object);
  const Field* fromBone = Find(figureFields, "GameData");
  const Field* fromMesh = Find(bodyFields, "GameData");
  ASSERT_TRUE(fromBone && fromMesh);
  EXPECT_EQ(Read<void*>(fromBone->At), Read<void*>(fromMesh->At));
  EXPECT_EQ(Shape(fromMesh->Definition->ReferenceType),
            (Golden{"team:StringMember", "health:Int32Member", "armor:Real32Member",
                    "tags:ReferenceToArrayMember"}));
  EXPECT_STREQ(Read<const char*>(Find(bodyFields, "UserDefinedProperties")->At),
               "lod = 0\r\nkind = \"figure\"");
  // A frozen node shown in grey.
  const bone* head = FindBone(all.get(), "Head");
  ASSERT_TRUE(head && head->ExtendedData.Type);
  const auto headFlags =
      Nested(*Find(Fields(head->ExtendedData.Type, head->ExtendedData.Object), "MaxProperties"));
  const auto flags = Fields(headFlags.Type, headFlags.Object);
  EXPECT_EQ(Read<int8_t>(Find(flags, "Freeze")->At), 1);
  EXPECT_EQ(Read<int8_t>(Find(flags, "ShowFrozenInGray")->At), 1);

  InfoPtr user = ExportAndLoad(scene, {"Only User Attributes=true"});
  ASSERT_TRUE(user);
  const bone* userFigure = FindBone(user.get(), "Figure");
  const mesh* userBody = FindNamed(user->Meshes, user->MeshCount, "Body");
  ASSERT_TRUE(userFigure && userBody);
  EXPECT_EQ(Shape(userFigure->ExtendedData.Type),
            (Golden{"GameData:ReferenceMember", "UserDefinedProperties:StringMember"}));
  EXPECT_EQ(Shape(userBody->ExtendedData.Type),
            (Golden{"GameData:ReferenceMember", "UserDefinedProperties:StringMember",
                    "FullPath:StringMember"}));
  // The file settings offer no "Only User Attributes": the document's
  // properties stay whole.
  EXPECT_EQ(Shape(user->ArtToolInfo->ExtendedData.Type),
            (Golden{"SummaryInfo:ReferenceMember", "UserDefined:ReferenceMember",
                    "SelectionSets:ReferenceToArrayMember", "Layers:ReferenceToArrayMember"}));

  InfoPtr none = ExportAndLoad(scene, {"Include art tool specific data=false"});
  ASSERT_TRUE(none);
  const bone* noneFigure = FindBone(none.get(), "Figure");
  const mesh* noneBody = FindNamed(none->Meshes, none->MeshCount, "Body");
  ASSERT_TRUE(noneFigure && noneBody);
  EXPECT_EQ(test::Value(noneFigure->ExtendedData.Type), nullptr);
  EXPECT_EQ(test::Value(noneBody->ExtendedData.Type), nullptr);
  EXPECT_EQ(test::Value(none->Materials[0]->ExtendedData.Type), nullptr);
  EXPECT_EQ(test::Value(none->ArtToolInfo), nullptr);  // the file leaves the whole record out
}

// Values a file cannot hold as given: each is written another way, with a
// warning naming the item, and the export goes on.
TEST(HostExtendedData, UnrepresentableValuesAreWrittenAnotherWayWithAWarning) {
  using K = PropertyValue::Kind;
  auto value = [](K kind) {
    PropertyValue v;
    v.Type = kind;
    return v;
  };
  PropertyValue deep = value(K::Int);
  for (int i = 0; i < 40; ++i) {
    PropertyValue outer = value(K::Object);
    outer.Members.push_back({"inner", 0, deep});
    deep = outer;
  }
  PropertyValue mixed = value(K::List);
  mixed.Items = {value(K::Int), value(K::Text)};
  mixed.Items[1].Text = "a\"b";
  PropertyValue shapes = value(K::List);
  shapes.Items = {value(K::Object), value(K::Object)};
  shapes.Items[0].Members.push_back({"a", 0, value(K::Int)});
  shapes.Items[1].Members.push_back({"b", 0, value(K::Text)});
  PropertyValue wide = value(K::Int);
  wide.Int = int64_t(1) << 40;
  PropertyValue nan = value(K::Real);
  nan.Real = std::nan("");

  struct Case {
    std::string Name;
    PropertyValue Value;
    std::string Warning;   // what the warning says
    std::string FileName;  // the member's name in the file
    std::string FileType;
  };
  const std::vector<Case> cases = {
      {"deep", deep, "nests too deep", "deep", "ReferenceMember"},
      {"mixed", mixed, "list of mixed values; written as text", "mixed", "StringMember"},
      {"shapes", shapes, "different shapes; written as text", "shapes", "StringMember"},
      {"wide", wide, "out of range; written as text", "wide", "StringMember"},
      {"nan", nan, "not a finite number", "nan", "Real32Member"},
      {"twice", value(K::Int), "repeats a name in its record", "twice_2", "Int32Member"},
      {"bad\xff", value(K::Int), "not UTF-8", "bad?", "Int32Member"},
  };
  for (const Case& c : cases) {
    Scene scene;
    Node* node = scene.AddNode("Holder");
    node->HasObject = true;
    node->Object.SuperClass = kHelperSuperClass;
    auto owner = std::make_shared<PropertyOwner>();
    if (c.Name == "twice") owner->Parameters.push_back({"twice", 0, value(K::Int)});
    owner->Parameters.push_back({c.Name, 0, c.Value});
    node->Animatables.push_back(owner);
    test::LogCapture log;
    InfoPtr info = ExportAndLoad(scene);
    ASSERT_TRUE(info) << c.Name;
    EXPECT_TRUE(log.Contains(c.Warning)) << c.Name << "\n" << log.All();
    EXPECT_TRUE(log.Contains("Holder")) << c.Name;
    const bone* holder = FindBone(info.get(), "Holder");
    ASSERT_TRUE(holder && holder->ExtendedData.Type) << c.Name;
    const auto fields = Fields(holder->ExtendedData.Type, holder->ExtendedData.Object);
    const Field* f = Find(fields, c.FileName);
    ASSERT_TRUE(f) << c.Name;
    EXPECT_STREQ(GetMemberTypeInfo(f->Definition->Type)->Name, c.FileType.c_str()) << c.Name;
    // Text standing for a value is JSON, its quotes escaped.
    if (c.Name == "mixed") {
      EXPECT_STREQ(Read<const char*>(f->At), "[0,\"a\\\"b\"]");
    }
  }

  // An object that is also its own base object (no modifiers between) is
  // one owner listed twice: its parameters go in once, without renaming.
  Scene scene;
  Node* node = scene.AddNode("Twice");
  node->HasObject = true;
  node->Object.SuperClass = kHelperSuperClass;
  auto object = std::make_shared<PropertyOwner>();
  object->Parameters.push_back({"size", 0, value(K::Int)});
  node->Animatables = {object, object};
  test::LogCapture log;
  InfoPtr info = ExportAndLoad(scene);
  ASSERT_TRUE(info);
  const bone* twice = FindBone(info.get(), "Twice");
  ASSERT_TRUE(twice && twice->ExtendedData.Type);
  EXPECT_EQ(Shape(twice->ExtendedData.Type)[0], "size:Int32Member");
  EXPECT_EQ(Shape(twice->ExtendedData.Type)[1], "UserDefinedProperties:StringMember");
  EXPECT_FALSE(log.Contains("repeats a name")) << log.All();
}

}  // namespace
}  // namespace ketrel::host
