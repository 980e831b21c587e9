#pragma once
// The property model of the export settings. A Requester is a group of
// settings: a settings category, the choice list of a combobox, or one choice
// (which may carry properties of its own, live only while it is selected).
// A RequesterProperty is one setting, addressed by a persistent numeric id or
// by its label (case-insensitive, for scripts and the command line).
//
// Ownership: a Requester owns its properties, its child Requesters and the
// choice lists of its comboboxes; all of them come from the allocator given
// to AddRequester. Labels and help texts are not copied: they must outlive
// the tree (the schema passes string literals).
//
// Nothing here throws; bad arguments are logged and give null, false or 0.

#include <cstddef>
#include <cstdint>

#include "rt/ketrel_memory.h"

namespace ketrel {

enum class PropertyKind : uint32_t {
  Bool = 1,
  Number = 2,
  Range = 4,
  FileString = 5,
  Separator = 6,
  Combobox = 7,
};

// Maps a range's slider position to the value it stands for.
enum class DisplayFunction : uint32_t { Identity = 0, PowerOfTwo = 1 };

struct RequesterProperty;

struct Requester {
  Allocator allocator;
  void* context = nullptr;
  uintptr_t contextWord = 0;
  const char* Label = nullptr;
  const char* Help = nullptr;
  uint32_t Id = 0;
  Requester* FirstChild = nullptr;
  Requester* LastChild = nullptr;
  RequesterProperty* FirstProperty = nullptr;
  RequesterProperty* LastProperty = nullptr;
  Requester* Next = nullptr;
};

struct BoolValue {
  uint8_t Default = 0;
  uint8_t Current = 0;
};
struct NumberValue {
  float Maximum = 0;
  float Minimum = 0;
  float Default = 0;
  float Current = 0;
};
struct RangeValue {
  int32_t Maximum = 0;
  int32_t Minimum = 0;
  int32_t Default = 0;
  int32_t Current = 0;  // the slider position, not the displayed value
  DisplayFunction Display = DisplayFunction::Identity;
};
struct ComboboxValue {
  Requester* Choices = nullptr;   // owned; its children are the choices
  Requester* Selected = nullptr;  // one of Choices' children, or none
  uint8_t Sorted = 0;             // 1: the drop-down lists choices by label
  // A choice id that stored scenes may carry but no choice has any more
  // (older texture formats the exporter still honours); read in place of
  // Selected until a choice is selected. 0: none.
  uint32_t Legacy = 0;
};

struct RequesterProperty {
  const char* Label = nullptr;
  const char* Help = nullptr;
  uint32_t Id = 0;
  uint32_t Locked = 0;  // a locked property keeps its value when a parent pushes values down
  RequesterProperty* ControllingProperty = nullptr;
  RequesterProperty* CopyLink = nullptr;  // only meaningful while duplicating
  uint32_t DetailLevel = 0;               // 0 basic view, 1 "Detailed Settings" only
  PropertyKind Kind = PropertyKind::Separator;
  BoolValue Bool;
  NumberValue Number;
  RangeValue Range;
  ComboboxValue Combobox;
  char* Text = nullptr;  // filestring; owned, allocated from the Requester's allocator
  RequesterProperty* Next = nullptr;
};

// ---- Builders. Each returns the new object, or null when given no parent
// (or when memory runs out, which is logged). ----

// Creates a Requester; with a parent it is appended to the parent's
// children and uses the given allocator all the same.
Requester* AddRequester(void* context, const Allocator& allocator, uintptr_t contextWord,
                        uint32_t id, const char* label, Requester* parent, const char* help);
RequesterProperty* AddBoolProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                   const char* label, bool defaultValue, const char* help);
// Bounds and default are stored as f32; a default outside the bounds is clamped.
RequesterProperty* AddNumberProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                     const char* label, double minimum, double maximum,
                                     double defaultValue, const char* help);
// Positions are slider positions; null when minimum > maximum or the default
// lies outside, or when a power-of-two range reaches beyond 1 << 30.
RequesterProperty* AddRangeProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                    const char* label, int32_t minimum, int32_t maximum,
                                    int32_t defaultPosition, DisplayFunction display,
                                    const char* help);
RequesterProperty* AddComboboxProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                       const char* label, const char* help, bool sorted);
RequesterProperty* AddFileStringProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                         const char* label, const char* help);
RequesterProperty* AddSeparator(Requester* requester, uint32_t id);
RequesterProperty* SetControllingProperty(RequesterProperty* property,
                                          RequesterProperty* controlling);
// Gives a combobox its choice list (taking ownership; a previous list is
// destroyed). Does nothing for other kinds and returns false.
bool SetChoices(RequesterProperty* combobox, Requester* choiceList);
// Selects a choice of the combobox's own list; false for other kinds or for a
// Requester that is not one of its choices.
bool SetDefaultChoice(RequesterProperty* combobox, Requester* choice);

// Frees a Requester tree built by the functions above. Accepts null. The
// Requester must not be a child of another one still in use.
void DestroyRequester(Requester* requester);

// A deep copy with every property's kind, detail level, lock and values;
// controlling properties point into the copy, selected choices are the
// copies' choices with the same id. Null (logged) when memory runs out,
// with nothing left allocated.
Requester* DuplicateRequester(Requester* source, const Allocator& allocator);

// ---- Lookups ----

// Walks the properties in order, searching a combobox's whole choice list
// (every choice, selected or not) on reaching it, then the child Requesters.
RequesterProperty* FindPropertyById(const Requester* requester, uint32_t id);
// The same walk, comparing labels without regard to ASCII letter case.
RequesterProperty* FindPropertyByLabel(const Requester* requester, const char* label);
Requester* FindChoiceById(const RequesterProperty* combobox, uint32_t id);
Requester* FindChoiceByLabel(const RequesterProperty* combobox, const char* label);
// The direct child Requester with this id, or null.
Requester* FindChildRequester(const Requester* requester, uint32_t id);
bool LabelsEqual(const char* a, const char* b);

// ---- Values ----

// The value a range position stands for (identity or 1 << position).
int32_t DisplayValue(DisplayFunction display, int32_t position);
// Rounds half away from zero and saturates to the int32 range (NaN gives 0).
int32_t RoundToInt(double value);

// bool: 0/1; number: rounded half away from zero; range: the displayed
// value; other kinds 0.
int32_t GetPropertyInt(const RequesterProperty* property);
// number: its value; bool and range: the integer reading; other kinds 0.
float GetPropertyFloat(const RequesterProperty* property);
// The text form: "true"/"false"; numbers and ranges in fixed notation with six
// decimals; the selected choice's label (empty when none); a filestring's
// text; nothing for separators. Always terminated; truncated to capacity - 1.
// Returns the length written.
size_t FormatPropertyText(const RequesterProperty* property, char* out, size_t capacity);

// bool: v != 0; number: clamped to its bounds; range: the position whose
// displayed value is nearest to v (ties to the lower position). False for
// other kinds (nothing changes).
bool SetPropertyInt(RequesterProperty* property, int64_t value);
// number: clamped; bool and range: from the value rounded half away from
// zero. False for NaN and for other kinds (nothing changes).
bool SetPropertyFloat(RequesterProperty* property, double value);
// Replaces a filestring's text; false for other kinds or when memory runs out.
bool SetPropertyText(RequesterProperty* property, const char* text);
// Selects a choice of a combobox (null deselects); false when not one of its choices.
bool SelectChoice(RequesterProperty* combobox, Requester* choice);

// Enabled when there is no controlling property, or when the controlling
// property is itself enabled and reads non-zero (bool, number or range).
bool IsPropertyEnabled(const RequesterProperty* property);

const char* PropertyKindName(PropertyKind kind);

}  // namespace ketrel
