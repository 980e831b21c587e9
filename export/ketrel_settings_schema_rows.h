#pragma once
// The settings vocabulary as data: each category is a table of rows in
// display order; AddRows turns a table into properties of a Requester.
// Internal to the schema modules.

#include <cstddef>
#include <cstdint>

#include "export/ketrel_settings_schema.h"
#include "export/shared/ketrel_requester.h"

namespace ketrel::schema {

enum class Row : uint8_t {
  Bool,
  Number,
  Range,
  RangePow2,
  Separator,
  Combobox,        // choices from `choices`, default choice in `def`
  TextureFormats,  // combobox of the texture format choices; `variant` holds the Format* flags
  Placement,       // section placement combobox with the standard section choices
  TypePlacements,  // the thirty per-object-type placement comboboxes
  InclusionBlock,  // `variant` holds kUserAttributes or 0
  CurveBlock,      // `variant` holds the kPerComponent/kDontOversample/kProtectConstant flags
  RootMotionBlock,
};

// Offer flags: a row whose `offer` is non-zero is only added when the block
// is built with one of those flags on.
inline constexpr uint8_t kPerComponent = 1;
inline constexpr uint8_t kDontOversample = 2;
inline constexpr uint8_t kProtectConstant = 4;
inline constexpr uint8_t kUserAttributes = 8;

// Texture format combobox flags.
inline constexpr uint8_t kFormatYuvDefault = 1;
inline constexpr uint8_t kFormatOfferYCoCg = 2;

struct ChoiceList;

struct PropertyRow {
  uint32_t id = 0;
  Row kind = Row::Separator;
  const char* label = nullptr;
  double def = 0;  // bool 0/1, number value, range position, combobox choice id
  double min = 0;
  double max = 0;
  uint8_t detail = 1;
  uint32_t ctl = 0;  // id of the controlling property within the same Requester, 0 for none
  const char* help = nullptr;
  const ChoiceList* choices = nullptr;
  uint8_t offer = 0;
  uint8_t variant = 0;
};

struct RowTable {
  const PropertyRow* rows = nullptr;
  size_t count = 0;
};

template <size_t N>
constexpr RowTable Table(const PropertyRow (&rows)[N]) {
  return RowTable{rows, N};
}

struct ChoiceRow {
  uint32_t id;
  const char* label;
  const char* help;
  RowTable rows;  // properties shown while this choice is selected
};

struct ChoiceList {
  uint32_t id;
  const char* label;
  bool sorted;
  const ChoiceRow* choices;
  size_t count;
};

struct CategoryTable {
  SettingsCategory category;
  uint32_t id;
  const char* label;
  const char* help;
  RowTable rows;
};

// Row makers, so the tables read like the vocabulary they hold.
constexpr PropertyRow Bool(uint32_t id, const char* label, bool def, uint8_t detail, uint32_t ctl,
                           const char* help, uint8_t offer = 0) {
  return PropertyRow{id,     Row::Bool, label, def ? 1.0 : 0.0, 0,     0,
                     detail, ctl,       help,  nullptr,         offer, 0};
}
constexpr PropertyRow Number(uint32_t id, const char* label, double def, double min, double max,
                             uint8_t detail, uint32_t ctl, const char* help, uint8_t offer = 0) {
  return PropertyRow{id, Row::Number, label, def, min, max, detail, ctl, help, nullptr, offer, 0};
}
constexpr PropertyRow Range(uint32_t id, const char* label, int def, int min, int max,
                            uint8_t detail, uint32_t ctl, const char* help, uint8_t offer = 0) {
  return PropertyRow{id,     Row::Range, label, double(def), double(min), double(max),
                     detail, ctl,        help,  nullptr,     offer,       0};
}
constexpr PropertyRow Pow2(uint32_t id, const char* label, int def, int min, int max,
                           uint8_t detail, uint32_t ctl, const char* help) {
  return PropertyRow{id,          Row::RangePow2, label,  double(def),
                     double(min), double(max),    detail, ctl,
                     help,        nullptr,        0,      0};
}
constexpr PropertyRow Separator(uint32_t id, uint32_t ctl = 0, uint8_t offer = 0) {
  return PropertyRow{id, Row::Separator, nullptr, 0, 0, 0, 0, ctl, nullptr, nullptr, offer, 0};
}
constexpr PropertyRow Combo(uint32_t id, const char* label, const ChoiceList* choices,
                            uint32_t defaultChoice, uint8_t detail, uint32_t ctl,
                            const char* help) {
  return PropertyRow{
      id, Row::Combobox, label, double(defaultChoice), 0, 0, detail, ctl, help, choices, 0, 0};
}
constexpr PropertyRow TextureFormats(uint32_t id, const char* label, uint32_t defaultChoice,
                                     uint8_t flags, const char* help) {
  return PropertyRow{
      id, Row::TextureFormats, label, double(defaultChoice), 0, 0, 1, 0, help, nullptr, 0, flags};
}
constexpr PropertyRow Placement(uint32_t id, const char* label) {
  return PropertyRow{id, Row::Placement, label, 0, 0, 0, 1, 0, nullptr, nullptr, 0, 0};
}
constexpr PropertyRow Block(Row kind, uint8_t variant = 0) {
  return PropertyRow{0, kind, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, 0, variant};
}

// Adds the rows that the offer flags select to `requester`. False when a
// property could not be made (logged).
bool AddRows(Requester* requester, RowTable rows, uint8_t offers);

// The table of a category, or null for a value outside the enumeration.
const CategoryTable* FindCategory(SettingsCategory category);

// Shared blocks (ketrel_settings_schema_blocks.cpp).
extern const RowTable kInclusionRows;
extern const RowTable kCurveRows;
extern const RowTable kRootMotionRows;
extern const RowTable kCodecRowsYuv;
extern const RowTable kCodecRowsRgb;

// Categories, one table each.
extern const CategoryTable kRootCategory;
extern const CategoryTable kFileCategory;
extern const CategoryTable kTextureCategory;
extern const CategoryTable kMaterialCategory;
extern const CategoryTable kBoneCategory;
extern const CategoryTable kModelCategory;
extern const CategoryTable kMeshCategory;
extern const CategoryTable kAnimationCategory;
extern const CategoryTable kTrackGroupCategory;
extern const CategoryTable kBoneAnimationCategory;
extern const CategoryTable kMorphTrackCategory;

}  // namespace ketrel::schema
