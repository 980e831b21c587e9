#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_settings_read.h"
#include "tests/export/test_ketrel_settings_support.h"
#include "tests/support/log_capture.h"

namespace ketrel {
namespace {

using test::ReadFileBytes;
using test::RequesterBytes;
using test::ScratchPath;
using test::SettingsBytes;

const std::string kGoldenKes = std::string(KETREL_TEST_DATA) + "/settings/default.kes";

struct Root {
  Root() : item(CreateSettingsRoot()) {}
  ~Root() { DestroySettingsItem(item); }
  SettingsItem* Category(const char* name) const { return FindChildItem(item, name); }
  RequesterProperty* Property(const char* category, const char* label) const {
    return FindPropertyByLabel(Category(category)->Requester, label);
  }
  SettingsItem* item;
};

// A Requester blob with one record, for hand-made stored data.
std::vector<uint8_t> OneRecordBlob(uint32_t id, uint32_t locked, uint32_t value) {
  uint32_t words[] = {kRequesterBlobMagic, 1, id, 8, locked, value, 0};
  std::vector<uint8_t> bytes(sizeof(words));
  std::memcpy(bytes.data(), words, sizeof(words));  // the test machine is little-endian
  return bytes;
}

uint32_t FloatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, 4);
  return bits;
}

TEST(SettingsBlob, RoundTripsAndMatchesTheGoldenFile) {
  Root a;
  std::vector<uint8_t> bytes = SettingsBytes(a.item, 1);
  ASSERT_FALSE(bytes.empty());
  EXPECT_EQ(bytes, ReadFileBytes(kGoldenKes)) << "the settings format or schema changed";
  // Changed values survive a trip through a fresh tree byte for byte.
  SetPropertyInt(a.Property("File", "Object alignment"), 64);
  a.Property("Meshes", "Bones per vertex")->Locked = 1;
  RequesterProperty* platform = a.Property("File", "File platform");
  SelectChoice(platform, FindChoiceById(platform, 218));
  bytes = SettingsBytes(a.item, 1);
  Root b;
  ASSERT_TRUE(ReadSettingsItem(b.item, bytes.data(), bytes.size()));
  EXPECT_EQ(SettingsBytes(b.item, 1), bytes);
  EXPECT_EQ(GetSettingInt(b.Category("File"), 74), 64);
  EXPECT_EQ(GetSettingChoice(b.Category("File"), 212), 218u);
  EXPECT_EQ(b.Property("Meshes", "Bones per vertex")->Locked, 1u);
  // Depth 0 carries no categories.
  EXPECT_EQ(SettingsItemBlobSize(a.item, 0), 8 + RequesterBlobSize(a.item->Requester));
}

TEST(SettingsBlob, StoredValuesAreClampedAndNaNIsRefused) {
  Root root;
  Requester* mesh = root.Category("Meshes")->Requester;
  test::LogCapture log;
  std::vector<uint8_t> blob = OneRecordBlob(8, 0, 99);  // "Bones per vertex"
  ASSERT_TRUE(ReadRequester(mesh, blob.data(), blob.size()));
  EXPECT_EQ(GetPropertyInt(FindPropertyById(mesh, 8)), 16);
  blob = OneRecordBlob(8, 1, static_cast<uint32_t>(-7));
  ASSERT_TRUE(ReadRequester(mesh, blob.data(), blob.size()));
  EXPECT_EQ(GetPropertyInt(FindPropertyById(mesh, 8)), 1);
  EXPECT_EQ(FindPropertyById(mesh, 8)->Locked, 1u);

  Requester* file = root.Category("File")->Requester;
  blob = OneRecordBlob(74, 0, 40);  // an alignment shift of 40 would overflow
  ASSERT_TRUE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_EQ(GetPropertyInt(FindPropertyById(file, 74)), 4096);
  blob = OneRecordBlob(145, FloatBits(0.0f), FloatBits(0.0f));  // "Units per Meter"
  ASSERT_TRUE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_FLOAT_EQ(GetPropertyFloat(FindPropertyById(file, 145)), 0.0001f);
  EXPECT_EQ(log.errors(), 0u);

  std::vector<uint8_t> before = RequesterBytes(file);
  blob = OneRecordBlob(145, 0, FloatBits(std::nanf("")));
  EXPECT_FALSE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_TRUE(log.Contains("Corrupted settings data encountered"));
  EXPECT_EQ(RequesterBytes(file), before);
}

TEST(SettingsBlob, ComboboxSelectionRules) {
  Root root;
  Requester* file = root.Category("File")->Requester;
  RequesterProperty* platform = FindPropertyById(file, 212);
  auto record = [](uint32_t selected, const std::vector<uint8_t>& list) {
    std::vector<uint8_t> blob;
    auto word = [&blob](uint32_t w) {
      for (int i = 0; i < 4; ++i) blob.push_back(static_cast<uint8_t>(w >> (8 * i)));
    };
    word(kRequesterBlobMagic);
    word(1);
    word(212);
    word(static_cast<uint32_t>(8 + list.size()));
    word(0);
    word(selected);
    blob.insert(blob.end(), list.begin(), list.end());
    word(0);
    return blob;
  };
  std::vector<uint8_t> list = RequesterBytes(platform->Combobox.Choices);
  std::vector<uint8_t> blob = record(0, list);  // 0 keeps the selection
  ASSERT_TRUE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_EQ(platform->Combobox.Selected->Id, 215u);
  blob = record(217, list);
  ASSERT_TRUE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_EQ(platform->Combobox.Selected->Id, 217u);
  test::LogCapture log;
  blob = record(999, list);  // an unknown choice keeps the selection, with a warning
  ASSERT_TRUE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_EQ(platform->Combobox.Selected->Id, 217u);
  EXPECT_EQ(log.warnings(), 1u);
  // The nested list must fill the record exactly.
  list.push_back(0);
  blob = record(216, list);
  EXPECT_FALSE(ReadRequester(file, blob.data(), blob.size()));
  EXPECT_EQ(platform->Combobox.Selected->Id, 217u);
}

TEST(SettingsBlob, EveryTruncationAndRandomDamageFailsCleanly) {
  std::vector<uint8_t> golden = ReadFileBytes(kGoldenKes);
  ASSERT_GT(golden.size(), 1000u);
  Root root;
  SetPropertyInt(root.Property("Meshes", "Bones per vertex"), 7);
  std::vector<uint8_t> before = SettingsBytes(root.item, 1);
  Requester* file = root.Category("File")->Requester;
  std::vector<uint8_t> fileBlob = RequesterBytes(file);
  test::LogCapture log;
  for (size_t length = 0; length < golden.size(); ++length) {
    ASSERT_FALSE(ReadSettingsItem(root.item, golden.data(), length)) << length;
    if (length < fileBlob.size()) {
      ASSERT_FALSE(ReadRequester(file, fileBlob.data(), length));
    }
  }
  EXPECT_EQ(SettingsBytes(root.item, 1), before);  // nothing was applied

  std::mt19937 random(5);
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> damaged = golden;
    int flips = 1 + round % 4;
    for (int i = 0; i < flips; ++i) {
      damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
    }
    Root scratch;
    if (ReadSettingsItem(scratch.item, damaged.data(), damaged.size())) {
      // Whatever got in obeys the bounds.
      EXPECT_GE(GetSettingInt(scratch.Category("Meshes"), 8), 1);
      EXPECT_LE(GetSettingInt(scratch.Category("File"), 74), 4096);
    }
  }
  std::vector<uint8_t> noise(4096);
  for (int round = 0; round < 200; ++round) {
    for (auto& b : noise) b = static_cast<uint8_t>(random());
    EXPECT_FALSE(ReadSettingsItem(root.item, noise.data(), noise.size() - round));
  }
}

TEST(SettingsFile, SaveLoadSaveIsByteIdenticalAndLocksSurvive) {
  std::string first = ScratchPath("first.kes");
  std::string second = ScratchPath("second.kes");
  Root a;
  SetPropertyFloat(a.Property("Animations", "Position curve tolerance"), 0.25);
  SetPropertyInt(a.Property("Meshes", "Bones per vertex"), 8);
  ASSERT_TRUE(SaveSettingsFile(a.item, first.c_str()));

  Root b;
  SettingsItem* meshes = b.Category("Meshes");
  SettingsItem* locked = CreateSettingsItem(meshes, "locked", nullptr);
  SettingsItem* open = CreateSettingsItem(meshes, "open", nullptr);
  ASSERT_TRUE(ApplyStoredSettings(locked, nullptr, nullptr));
  ASSERT_TRUE(ApplyStoredSettings(open, nullptr, nullptr));
  SetSettingInt(locked, 8, 2);
  FindPropertyById(locked->Requester, 8)->Locked = 1;
  SetSettingInt(open, 8, 3);
  ASSERT_TRUE(LoadSettingsFile(b.item, first.c_str()));
  EXPECT_EQ(GetSettingInt(locked, 8), 2);
  EXPECT_EQ(GetSettingInt(open, 8), 8);
  EXPECT_FLOAT_EQ(GetSettingFloat(b.Category("Animations"), 149), 0.25f);
  ASSERT_TRUE(SaveSettingsFile(b.item, second.c_str()));
  EXPECT_EQ(ReadFileBytes(first), ReadFileBytes(second));
  std::remove(first.c_str());
  std::remove(second.c_str());
}

TEST(SettingsFile, FailuresChangeNothing) {
  std::string path = ScratchPath("fail.kes");
  Root root;
  SettingsItem* mesh = CreateSettingsItem(root.Category("Meshes"), "m", nullptr);
  ASSERT_TRUE(ApplyStoredSettings(mesh, nullptr, nullptr));
  SetSettingInt(mesh, 8, 5);
  std::vector<uint8_t> before = SettingsBytes(root.item, 2);
  test::LogCapture log;

  EXPECT_FALSE(LoadSettingsFile(root.item, ScratchPath("missing.kes").c_str()));
  EXPECT_TRUE(log.Contains("Unable to open settings file"));
  std::vector<uint8_t> golden = ReadFileBytes(kGoldenKes);
  golden.push_back(0);  // trailing bytes make it no settings file
  test::WriteFileBytes(path, golden);
  EXPECT_FALSE(LoadSettingsFile(root.item, path.c_str()));
  golden.resize(golden.size() / 2);
  test::WriteFileBytes(path, golden);
  EXPECT_FALSE(LoadSettingsFile(root.item, path.c_str()));
  std::string text;
  EXPECT_FALSE(DumpSettingsFileToText(path.c_str(), text));
  EXPECT_EQ(SettingsBytes(root.item, 2), before);
  EXPECT_EQ(GetSettingInt(mesh, 8), 5);

  // A failed save leaves the existing file as it was.
  ASSERT_TRUE(SaveSettingsFile(root.item, path.c_str()));
  std::vector<uint8_t> saved = ReadFileBytes(path);
  SetAllocationFailureCountdown(0);
  EXPECT_FALSE(SaveSettingsFile(root.item, path.c_str()));
  SetAllocationFailureCountdown(-1);
  EXPECT_TRUE(log.Contains("Unable to allocate settings buffer"));
  EXPECT_FALSE(SaveSettingsFile(root.item, ScratchPath("no/such/dir.kes").c_str()));
  EXPECT_TRUE(log.Contains("Unable to write settings file"));
  EXPECT_EQ(ReadFileBytes(path), saved);
  std::remove(path.c_str());
}

TEST(SettingsFile, TextDump) {
  std::string text;
  ASSERT_TRUE(DumpSettingsFileToText(kGoldenKes.c_str(), text));
  EXPECT_EQ(text.rfind("File settings\n  Include exporter info: true\n", 0), 0u);
  EXPECT_NE(text.find("\n  Object alignment: 4.000000\n"), std::string::npos);
  EXPECT_NE(text.find("\n  File platform: 32-bit, little endian\n"), std::string::npos);
  EXPECT_NE(text.find("\nAnimation settings\n"), std::string::npos);
  EXPECT_EQ(text.find("Root settings"), std::string::npos);
  EXPECT_EQ(text.find("Compression:"), std::string::npos);  // choice properties are not listed
  std::string out = ScratchPath("dump.txt");
  ASSERT_TRUE(DumpSettingsFile(kGoldenKes.c_str(), out.c_str()));
  std::vector<uint8_t> written = ReadFileBytes(out);
  EXPECT_EQ(std::string(written.begin(), written.end()), text);
  std::remove(out.c_str());
}

TEST(SettingsFile, SetByLabel) {
  Root root;
  SettingsItem* mesh = CreateSettingsItem(root.Category("Meshes"), "m", nullptr);
  SettingsItem* locked = CreateSettingsItem(root.Category("Meshes"), "l", nullptr);
  ASSERT_TRUE(ApplyStoredSettings(mesh, nullptr, nullptr));
  ASSERT_TRUE(ApplyStoredSettings(locked, nullptr, nullptr));
  FindPropertyById(locked->Requester, 8)->Locked = 1;
  std::string message;
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "bones per vertex = 6", message)) << message;
  EXPECT_EQ(GetSettingInt(root.Category("Meshes"), 8), 6);
  EXPECT_EQ(GetSettingInt(mesh, 8), 6);
  EXPECT_EQ(GetSettingInt(locked, 8), 4);
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "Object alignment=16", message));
  EXPECT_EQ(GetSettingInt(root.Category("File"), 74), 16);
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "File platform=64-bit, big endian", message));
  EXPECT_EQ(GetSettingChoice(root.Category("File"), 212), 218u);
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "Treat Alpha = 1 textures as RGB=on", message));
  EXPECT_TRUE(GetSettingBool(root.Category("Textures"), 248));
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "Tool Coordinate System=Up=Z Back=NegY Right=X",
                                        message));
  EXPECT_EQ(GetSettingChoice(root.Category("File"), 281), 265u);
  // Every category with the label takes the value.
  ASSERT_TRUE(
      SetCategorySettingByLabel(root.item, "Include art tool specific data=false", message));
  EXPECT_FALSE(GetSettingBool(root.Category("File"), 66));
  EXPECT_FALSE(GetSettingBool(mesh, 66));

  std::vector<uint8_t> before = SettingsBytes(root.item, 2);
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "Bones per vertex=17", message));
  EXPECT_NE(message.find("from 1 to 16"), std::string::npos) << message;
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "Object alignment=24", message));
  EXPECT_NE(message.find("1, 2, 4, 8, 16, 32"), std::string::npos) << message;
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "File compression=zip", message));
  EXPECT_NE(message.find("\"Tessik2 Compression\""), std::string::npos) << message;
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "Units per Meter=nan", message));
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "Detailed Settings=maybe", message));
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "No such thing=1", message));
  EXPECT_NE(message.find("\"Bones per vertex\""), std::string::npos);
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "Bones per vertex", message));
  EXPECT_EQ(SettingsBytes(root.item, 2), before);
}

// "Category/Label" picks one category or kind of object; a bare label that
// stands for different settings is refused only once more than one of them
// takes effect; a label repeated in choices reaches every choice.
TEST(SettingsFile, SetByLabelWithCategoriesAmbiguityAndSuggestions) {
  Root root;
  SettingsItem* walk = CreateSettingsItem(root.Category("Animations"), "Walk",
                                          CreateCategoryRequester(SettingsCategory::Animation));
  SettingsItem* hips =
      CreateSettingsItem(walk, "Hips", CreateCategoryRequester(SettingsCategory::BoneAnimation));
  SettingsItem* mesh = CreateSettingsItem(root.Category("Meshes"), "m", nullptr);
  ASSERT_TRUE(hips && ApplyStoredSettings(mesh, nullptr, nullptr));
  const uint32_t kAnimationTolerance = 149, kMorphCurveTolerance = 190;
  auto tolerances = [&] {
    return std::vector<float>{GetSettingFloat(root.Category("Animations"), kAnimationTolerance),
                              GetSettingFloat(walk, kAnimationTolerance),
                              GetSettingFloat(hips, kAnimationTolerance),
                              GetSettingFloat(mesh, kMorphCurveTolerance)};
  };
  std::string message;
  ASSERT_TRUE(SetCategorySettingByLabel(
      root.item, "Bone animation settings/Position curve tolerance=0.5", message))
      << message;
  EXPECT_EQ(tolerances(), (std::vector<float>{0.01f, 0.01f, 0.5f, 0.01f}));
  ASSERT_TRUE(
      SetCategorySettingByLabel(root.item, "animations/Position curve tolerance=0.25", message));
  EXPECT_EQ(tolerances(), (std::vector<float>{0.25f, 0.25f, 0.25f, 0.01f}));
  // Vertex morph curves off: the bare label works as it always has.
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "Position curve tolerance=0.125", message));
  EXPECT_EQ(tolerances(), (std::vector<float>{0.125f, 0.125f, 0.125f, 0.125f}));
  // One mesh with vertex morph curves: now the choice matters.
  ASSERT_TRUE(SelectChoice(FindPropertyById(mesh->Requester, 237),
                           FindChoiceById(FindPropertyById(mesh->Requester, 237), 241)));
  SetSettingInt(mesh, 188, 1);
  std::vector<uint8_t> before = SettingsBytes(root.item, 4);
  EXPECT_FALSE(SetCategorySettingByLabel(root.item, "Position curve tolerance=2", message));
  EXPECT_NE(message.find("\"Mesh settings\", \"Animation settings\"; name the category"),
            std::string::npos)
      << message;
  EXPECT_EQ(SettingsBytes(root.item, 4), before);
  ASSERT_TRUE(
      SetCategorySettingByLabel(root.item, "Mesh settings/Position curve tolerance=2", message));
  EXPECT_EQ(tolerances(), (std::vector<float>{0.125f, 0.125f, 0.125f, 2.0f}));
  // "Compression" lives in a choice of "No alpha" and of "Alpha": both take it.
  ASSERT_TRUE(SetCategorySettingByLabel(root.item, "Compression=20", message));
  EXPECT_EQ(GetChoiceSettingInt(root.Category("Textures"), 19, 24), 20);
  EXPECT_EQ(GetChoiceSettingInt(root.Category("Textures"), 36, 24), 20);

  const struct {
    const char* assignment;
    const char* said;
  } refused[] = {
      {"Positon curve tolerance=1", "did you mean \"Position curve tolerance\"?"},
      {"Bone animaton settings/Position curve tolerance=1",
       "Unknown category \"Bone animaton settings\"; did you mean \"Bone animation settings\"?"},
      {"Meshes/Oversampling=2", "\"Meshes\" has no setting \"Oversampling\". Its settings:"},
      {"Bone animation settings/Position curve tolerance=-1", "takes a number from"},
  };
  before = SettingsBytes(root.item, 4);
  for (const auto& c : refused) {
    EXPECT_FALSE(SetCategorySettingByLabel(root.item, c.assignment, message)) << c.assignment;
    EXPECT_NE(message.find(c.said), std::string::npos) << c.assignment << ": " << message;
  }
  EXPECT_EQ(SettingsBytes(root.item, 4), before);
}

TEST(SettingsPushDown, LocksHoldUnlessForcedAndChoicesFollowALockedCombobox) {
  Root root;
  SettingsItem* textures = root.Category("Textures");
  SettingsItem* texture = CreateSettingsItem(textures, "t", nullptr);
  ASSERT_TRUE(ApplyStoredSettings(texture, nullptr, nullptr));
  RequesterProperty* own = FindPropertyById(texture->Requester, 19);
  own->Locked = 1;
  FindPropertyById(texture->Requester, 12)->Locked = 1;
  RequesterProperty* category = FindPropertyById(textures->Requester, 19);
  SelectChoice(category, FindChoiceById(category, 20));
  SetPropertyInt(FindPropertyById(FindChoiceById(category, 134), 24), 40);
  SetPropertyInt(FindPropertyById(textures->Requester, 12), 0);
  SetPropertyInt(FindPropertyById(textures->Requester, 27), 1);

  PushDown(textures->Requester, textures, false, false);
  EXPECT_EQ(GetSettingChoice(texture, 19), 134u);       // locked combobox keeps its choice
  EXPECT_EQ(GetChoiceSettingInt(texture, 19, 24), 40);  // but its choices' values follow
  EXPECT_TRUE(GetSettingBool(texture, 12));             // locked
  EXPECT_TRUE(GetSettingBool(texture, 27));             // not locked
  PushDown(textures->Requester, textures, false, true);
  EXPECT_EQ(GetSettingChoice(texture, 19), 20u);
  EXPECT_FALSE(GetSettingBool(texture, 12));
  EXPECT_EQ(FindPropertyById(texture->Requester, 12)->Locked, 0u);  // takes the source's lock
}

TEST(SettingsChunks, StoreReloadStoreIsIdenticalAndHandlesWithoutObjectsAreSkipped) {
  test::MemoryChunkStore store;
  int node = 0;
  Root a;
  SettingsItem* mesh = CreateSettingsItem(a.Category("Meshes"), "m", nullptr);
  SettingsHandle handle{&node, kChunkMesh, -1};
  ASSERT_TRUE(ApplyStoredSettings(mesh, &store, &handle));  // no chunk yet: inherits
  SetSettingInt(mesh, 82, 3);
  ASSERT_TRUE(StoreSettings(mesh, store, handle));
  ASSERT_TRUE(StoreSettingsItemChunk(a.item, store, &node));
  auto first = store.chunks;

  Root b;
  SettingsItem* again = CreateSettingsItem(b.Category("Meshes"), "m", nullptr);
  ASSERT_TRUE(ApplySettingsItemChunk(b.item, store, &node));
  ASSERT_TRUE(ApplyStoredSettings(again, &store, &handle));
  EXPECT_EQ(GetSettingInt(again, 82), 3);
  ASSERT_TRUE(StoreSettings(again, store, handle));
  ASSERT_TRUE(StoreSettingsItemChunk(b.item, store, &node));
  EXPECT_EQ(store.chunks, first);

  // No host object (a model with neither bones nor materials): nothing happens.
  SettingsHandle none{nullptr, kChunkModel, -1};
  EXPECT_TRUE(StoreSettings(again, store, none));
  EXPECT_TRUE(ApplyStoredSettings(again, &store, &none));
  EXPECT_EQ(store.chunks, first);

  // A corrupt chunk is refused and changes nothing.
  store.chunks[{&node, kChunkMesh, -1}].resize(20);
  test::LogCapture log;
  EXPECT_FALSE(ApplyStoredSettings(again, &store, &handle));
  EXPECT_EQ(GetSettingInt(again, 82), 3);

  EXPECT_EQ(SettingsChunkSubId(kChunkTexture, -1), 2u);
  EXPECT_EQ(SettingsChunkSubId(kChunkTexture, 0) ^ SettingsChunkSubId(kChunkTexture, 1),
            (1u << 16) ^ (2u << 16));
}

}  // namespace
}  // namespace ketrel
