// Turns the category tables into Requester trees. The tables themselves live
// in one file per category; this file holds the row interpreter and the
// choice lists that are generated rather than written out.
#include "export/ketrel_settings_schema.h"

#include "export/ketrel_settings_schema_rows.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace schema {
namespace {

const CategoryTable* const kCategories[] = {
    &kRootCategory,       &kFileCategory,          &kTextureCategory,    &kMaterialCategory,
    &kBoneCategory,       &kModelCategory,         &kMeshCategory,       &kAnimationCategory,
    &kTrackGroupCategory, &kBoneAnimationCategory, &kMorphTrackCategory,
};
static_assert(sizeof(kCategories) / sizeof(kCategories[0]) ==
              static_cast<size_t>(SettingsCategory::Count));

const char* const kSectionNames[8] = {
    "StandardMainSection",
    "StandardRigidVertexSection",
    "StandardRigidIndexSection",
    "StandardDeformableVertexSection",
    "StandardDeformableIndexSection",
    "StandardTextureSection",
    "StandardDiscardableSection",
    "StandardUnloadedSection",
};

struct TypePlacementRow {
  uint32_t id;
  const char* typeName;
};
// One placement per object type of the file; 65551 and 65552 are unused.
const TypePlacementRow kTypePlacements[] = {
    {65537, "animation"},
    {65538, "art_tool_info"},
    {65539, "curve2"},
    {65540, "exporter_info"},
    {65541, "material_map"},
    {65542, "material"},
    {65543, "bone_binding"},
    {65544, "material_binding"},
    {65545, "morph_target"},
    {65546, "mesh"},
    {65547, "model_mesh_binding"},
    {65548, "model"},
    {65549, "periodic_loop"},
    {65550, "pixel_layout"},
    {65553, "bone"},
    {65554, "skeleton"},
    {65555, "strings"},
    {65556, "texture_mip_level"},
    {65557, "texture_image"},
    {65558, "texture"},
    {65559, "vector_track"},
    {65560, "transform_track"},
    {65561, "text_track_entry"},
    {65562, "text_track"},
    {65563, "track_group"},
    {65564, "tri_material_group"},
    {65565, "tri_annotation_set"},
    {65566, "tri_topology"},
    {65567, "vertex_annotation_set"},
    {65568, "vertex_data"},
};

struct TextureFormatRow {
  uint32_t id;
  const char* label;
  const char* help;
  bool codec;  // carries "Compression" and "Compress in YUV space"
  bool yCoCg;  // only offered with kFormatOfferYCoCg
};
const TextureFormatRow kTextureFormats[] = {
    {20, "Raw RGB 888", "Uncompressed 8-bit red, green and blue.", false, false},
    {42, "Raw RGBA 8888", "Uncompressed 8-bit red, green, blue and alpha.", false, false},
    {285, "YCoCg compressed", "Block compression in YCoCg colour space.", false, true},
    {134, "Murra1 still-image compression", "Lossy still-image compression.", true, false},
    {135, "Murra1 still-image compression with alpha channel",
     "Lossy still-image compression that keeps the alpha channel.", true, false},
    {22, "4-bit S3TC no alpha", "S3TC block compression without alpha.", false, false},
    {49, "4-bit S3TC 1-bit alpha", "S3TC block compression with 1-bit alpha.", false, false},
    {50, "8-bit S3TC explicit alpha", "S3TC block compression with explicit alpha.", false, false},
    {51, "8-bit S3TC interpolated alpha", "S3TC block compression with interpolated alpha.", false,
     false},
    {34, "8-bit S3TC auto alpha", "Tries both 8-bit S3TC formats and keeps the more faithful one.",
     false, false},
    {236, "Determine from Source", "Takes the source texture's own format.", false, false},
};

constexpr const char kPlacementHelp[] =
    "Selects the file section in which to put this type of data.";

Requester* NewChoiceList(Requester* owner, uint32_t id, const char* label, const char* help) {
  return AddRequester(owner->context, owner->allocator, owner->contextWord, id, label, nullptr,
                      help);
}

bool AddChoiceList(RequesterProperty* combobox, Requester* owner, const ChoiceList& list,
                   uint32_t defaultChoice) {
  Requester* choices = NewChoiceList(owner, list.id, list.label, combobox->Help);
  if (choices == nullptr) return false;
  SetChoices(combobox, choices);  // owns it from here on
  for (size_t i = 0; i < list.count; ++i) {
    const ChoiceRow& row = list.choices[i];
    Requester* choice = AddRequester(owner->context, owner->allocator, owner->contextWord, row.id,
                                     row.label, choices, row.help);
    if (choice == nullptr || !AddRows(choice, row.rows, 0)) return false;
  }
  return SetDefaultChoice(combobox, FindChoiceById(combobox, defaultChoice));
}

bool AddTextureFormatCombobox(Requester* owner, const PropertyRow& row) {
  RequesterProperty* combobox =
      AddComboboxProperty(owner, row.id, row.detail, row.label, row.help, /*sorted=*/false);
  if (combobox == nullptr) return false;
  Requester* choices = NewChoiceList(owner, 23, "Compression Types", row.help);
  if (choices == nullptr) return false;
  SetChoices(combobox, choices);
  for (const TextureFormatRow& format : kTextureFormats) {
    if (format.yCoCg && (row.variant & kFormatOfferYCoCg) == 0) continue;
    Requester* choice = AddRequester(owner->context, owner->allocator, owner->contextWord,
                                     format.id, format.label, choices, format.help);
    if (choice == nullptr) return false;
    if (format.codec) {
      RowTable codec = (row.variant & kFormatYuvDefault) != 0 ? kCodecRowsYuv : kCodecRowsRgb;
      if (!AddRows(choice, codec, 0)) return false;
    }
  }
  return SetDefaultChoice(combobox, FindChoiceById(combobox, static_cast<uint32_t>(row.def)));
}

bool AddPlacementCombobox(Requester* owner, uint32_t id, const char* label) {
  RequesterProperty* combobox =
      AddComboboxProperty(owner, id, 1, label, kPlacementHelp, /*sorted=*/true);
  if (combobox == nullptr) return false;
  Requester* choices = NewChoiceList(owner, id + 32768, label, kPlacementHelp);
  if (choices == nullptr) return false;
  SetChoices(combobox, choices);
  Requester* byDefault = AddRequester(owner->context, owner->allocator, owner->contextWord,
                                      setting::DefaultPlacement, "(allow default placement)",
                                      choices, "Stores this type wherever it would go by default.");
  if (byDefault == nullptr) return false;
  for (uint32_t i = 0; i < 8; ++i) {
    if (AddRequester(owner->context, owner->allocator, owner->contextWord,
                     setting::SectionPlacementBase + i, kSectionNames[i], choices,
                     "A section in the file format.") == nullptr) {
      return false;
    }
  }
  return SetDefaultChoice(combobox, byDefault);
}

RequesterProperty* AddOne(Requester* requester, const PropertyRow& row) {
  switch (row.kind) {
    case Row::Bool:
      return AddBoolProperty(requester, row.id, row.detail, row.label, row.def != 0, row.help);
    case Row::Number:
      return AddNumberProperty(requester, row.id, row.detail, row.label, row.min, row.max, row.def,
                               row.help);
    case Row::Range:
    case Row::RangePow2:
      return AddRangeProperty(
          requester, row.id, row.detail, row.label, static_cast<int32_t>(row.min),
          static_cast<int32_t>(row.max), static_cast<int32_t>(row.def),
          row.kind == Row::RangePow2 ? DisplayFunction::PowerOfTwo : DisplayFunction::Identity,
          row.help);
    case Row::Separator:
      return AddSeparator(requester, row.id);
    case Row::Combobox: {
      RequesterProperty* combobox = AddComboboxProperty(requester, row.id, row.detail, row.label,
                                                        row.help, row.choices->sorted);
      if (combobox == nullptr ||
          !AddChoiceList(combobox, requester, *row.choices, static_cast<uint32_t>(row.def))) {
        return nullptr;
      }
      return combobox;
    }
    default:
      return nullptr;
  }
}

}  // namespace

bool AddRows(Requester* requester, RowTable rows, uint8_t offers) {
  if (requester == nullptr) return false;
  for (size_t i = 0; i < rows.count; ++i) {
    const PropertyRow& row = rows.rows[i];
    if (row.offer != 0 && (row.offer & offers) == 0) continue;
    bool ok = true;
    switch (row.kind) {
      case Row::InclusionBlock:
        ok = AddRows(requester, kInclusionRows, row.variant);
        break;
      case Row::CurveBlock:
        ok = AddRows(requester, kCurveRows, row.variant);
        break;
      case Row::RootMotionBlock:
        ok = AddRows(requester, kRootMotionRows, 0);
        break;
      case Row::TextureFormats:
        ok = AddTextureFormatCombobox(requester, row);
        break;
      case Row::Placement:
        ok = AddPlacementCombobox(requester, row.id, row.label);
        break;
      case Row::TypePlacements:
        for (const TypePlacementRow& type : kTypePlacements) {
          ok = ok && AddPlacementCombobox(requester, type.id, type.typeName);
        }
        break;
      default: {
        RequesterProperty* property = AddOne(requester, row);
        if (property == nullptr) return false;
        if (row.ctl != 0) {
          RequesterProperty* controlling = FindPropertyById(requester, row.ctl);
          if (controlling == nullptr) {
            KT_LOG_ERROR(Settings, "Setting %u names an unknown controlling setting %u", row.id,
                         row.ctl);
            return false;
          }
          SetControllingProperty(property, controlling);
        }
        break;
      }
    }
    if (!ok) return false;
  }
  return true;
}

const CategoryTable* FindCategory(SettingsCategory category) {
  for (const CategoryTable* table : kCategories) {
    if (table->category == category) return table;
  }
  return nullptr;
}

}  // namespace schema

Requester* CreateCategoryRequester(SettingsCategory category, const Allocator& allocator) {
  const schema::CategoryTable* table = schema::FindCategory(category);
  if (!KT_CHECK_PARAMETER(Settings, table != nullptr)) return nullptr;
  Requester* requester =
      AddRequester(nullptr, allocator, 0, table->id, table->label, nullptr, table->help);
  if (requester == nullptr) return nullptr;
  if (!schema::AddRows(requester, table->rows, 0)) {
    KT_LOG_ERROR(Settings, "Unable to build \"%s\"", table->label);
    DestroyRequester(requester);
    return nullptr;
  }
  return requester;
}

const char* SettingsCategoryLabel(SettingsCategory category) {
  const schema::CategoryTable* table = schema::FindCategory(category);
  return table != nullptr ? table->label : "";
}

uint32_t SettingsCategoryId(SettingsCategory category) {
  const schema::CategoryTable* table = schema::FindCategory(category);
  return table != nullptr ? table->id : 0;
}

}  // namespace ketrel
