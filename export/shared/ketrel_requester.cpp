#include "export/shared/ketrel_requester.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// Bounds the controlling-property chain walk, so a cycle built by mistake
// cannot hang the dialog or a phase.
constexpr int kMaxControlDepth = 64;

template <typename T>
T* NewFrom(const Allocator& allocator) {
  void* block = KT_ALLOCATOR_ALLOCATE(allocator, sizeof(T));
  if (block == nullptr) return nullptr;
  return new (block) T();
}

void FreeFrom(const Allocator& allocator, void* block) {
  if (block != nullptr && allocator.free != nullptr) allocator.free(allocator.user, block);
}

RequesterProperty* AppendProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                  const char* label, const char* help, PropertyKind kind) {
  if (!KT_CHECK_PARAMETER(Settings, requester != nullptr)) return nullptr;
  auto* property = NewFrom<RequesterProperty>(requester->allocator);
  if (property == nullptr) return nullptr;
  property->Id = id;
  property->DetailLevel = detailLevel;
  property->Label = label;
  property->Help = help;
  property->Kind = kind;
  if (requester->LastProperty != nullptr) {
    requester->LastProperty->Next = property;
  } else {
    requester->FirstProperty = property;
  }
  requester->LastProperty = property;
  return property;
}

float ClampNumber(const NumberValue& number, double value) {
  if (value < number.Minimum) return number.Minimum;
  if (value > number.Maximum) return number.Maximum;
  return static_cast<float>(value);
}

int32_t ClampPosition(const RangeValue& range, int64_t position) {
  if (position < range.Minimum) return range.Minimum;
  if (position > range.Maximum) return range.Maximum;
  return static_cast<int32_t>(position);
}

bool IsChoiceOf(const RequesterProperty* combobox, const Requester* choice) {
  if (combobox->Combobox.Choices == nullptr) return false;
  for (Requester* c = combobox->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
    if (c == choice) return true;
  }
  return false;
}

void DestroyProperties(Requester* requester) {
  RequesterProperty* property = requester->FirstProperty;
  while (property != nullptr) {
    RequesterProperty* next = property->Next;
    if (property->Kind == PropertyKind::Combobox) DestroyRequester(property->Combobox.Choices);
    FreeBlock(property->Text);
    property->~RequesterProperty();
    FreeFrom(requester->allocator, property);
    property = next;
  }
  requester->FirstProperty = requester->LastProperty = nullptr;
}

// First pass of duplication: fills `copy` with the structure and values of
// `source` and records each source property's copy in its CopyLink. On
// failure the partial copy stays linked under `copy`, so freeing `copy`
// frees it all.
bool CopyInto(Requester* source, Requester* copy) {
  const Allocator& allocator = copy->allocator;
  for (RequesterProperty* p = source->FirstProperty; p != nullptr; p = p->Next) {
    RequesterProperty* q = AppendProperty(copy, p->Id, p->DetailLevel, p->Label, p->Help, p->Kind);
    if (q == nullptr) return false;
    p->CopyLink = q;
    q->Locked = p->Locked;
    q->Bool = p->Bool;
    q->Number = p->Number;
    q->Range = p->Range;
    q->Combobox.Sorted = p->Combobox.Sorted;
    if (p->Text != nullptr && !SetPropertyText(q, p->Text)) return false;
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      Requester* from = p->Combobox.Choices;
      q->Combobox.Choices = AddRequester(from->context, allocator, from->contextWord, from->Id,
                                         from->Label, nullptr, from->Help);
      if (q->Combobox.Choices == nullptr || !CopyInto(from, q->Combobox.Choices)) return false;
      if (p->Combobox.Selected != nullptr) {
        q->Combobox.Selected = FindChoiceById(q, p->Combobox.Selected->Id);
      }
      q->Combobox.Legacy = p->Combobox.Legacy;
    }
  }
  for (Requester* child = source->FirstChild; child != nullptr; child = child->Next) {
    Requester* c = AddRequester(child->context, allocator, child->contextWord, child->Id,
                                child->Label, copy, child->Help);
    if (c == nullptr || !CopyInto(child, c)) return false;
  }
  return true;
}

// Visits every property of a tree, choice lists included.
template <typename Visit>
void ForEachProperty(Requester* requester, Visit&& visit) {
  for (RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    visit(p);
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      ForEachProperty(p->Combobox.Choices, visit);
    }
  }
  for (Requester* child = requester->FirstChild; child != nullptr; child = child->Next) {
    ForEachProperty(child, visit);
  }
}

template <typename Match>
RequesterProperty* FindProperty(const Requester* requester, Match&& match) {
  if (requester == nullptr) return nullptr;
  for (RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    if (match(p)) return p;
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      if (RequesterProperty* found = FindProperty(p->Combobox.Choices, match)) return found;
    }
  }
  for (Requester* child = requester->FirstChild; child != nullptr; child = child->Next) {
    if (RequesterProperty* found = FindProperty(child, match)) return found;
  }
  return nullptr;
}

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ReadsNonZero(const RequesterProperty* property) {
  switch (property->Kind) {
    case PropertyKind::Bool:
    case PropertyKind::Number:
    case PropertyKind::Range:
      return GetPropertyInt(property) != 0;
    default:
      return false;
  }
}

}  // namespace

Requester* AddRequester(void* context, const Allocator& allocator, uintptr_t contextWord,
                        uint32_t id, const char* label, Requester* parent, const char* help) {
  if (!KT_CHECK_PARAMETER(Settings, allocator.allocate != nullptr)) return nullptr;
  auto* requester = NewFrom<Requester>(allocator);
  if (requester == nullptr) return nullptr;
  requester->allocator = allocator;
  requester->context = context;
  requester->contextWord = contextWord;
  requester->Id = id;
  requester->Label = label;
  requester->Help = help;
  if (parent != nullptr) {
    if (parent->LastChild != nullptr) {
      parent->LastChild->Next = requester;
    } else {
      parent->FirstChild = requester;
    }
    parent->LastChild = requester;
  }
  return requester;
}

RequesterProperty* AddBoolProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                   const char* label, bool defaultValue, const char* help) {
  RequesterProperty* p =
      AppendProperty(requester, id, detailLevel, label, help, PropertyKind::Bool);
  if (p != nullptr) p->Bool.Default = p->Bool.Current = defaultValue ? 1 : 0;
  return p;
}

RequesterProperty* AddNumberProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                     const char* label, double minimum, double maximum,
                                     double defaultValue, const char* help) {
  if (!KT_CHECK_PARAMETER(Settings, std::isfinite(minimum) && std::isfinite(maximum) &&
                                        std::isfinite(defaultValue) && minimum <= maximum)) {
    return nullptr;
  }
  RequesterProperty* p =
      AppendProperty(requester, id, detailLevel, label, help, PropertyKind::Number);
  if (p == nullptr) return nullptr;
  p->Number.Minimum = static_cast<float>(minimum);
  p->Number.Maximum = static_cast<float>(maximum);
  p->Number.Default = p->Number.Current = ClampNumber(p->Number, defaultValue);
  return p;
}

RequesterProperty* AddRangeProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                    const char* label, int32_t minimum, int32_t maximum,
                                    int32_t defaultPosition, DisplayFunction display,
                                    const char* help) {
  bool shiftable = display != DisplayFunction::PowerOfTwo || (minimum >= 0 && maximum <= 30);
  if (!KT_CHECK_PARAMETER(Settings, minimum <= maximum && defaultPosition >= minimum &&
                                        defaultPosition <= maximum && shiftable)) {
    return nullptr;
  }
  RequesterProperty* p =
      AppendProperty(requester, id, detailLevel, label, help, PropertyKind::Range);
  if (p == nullptr) return nullptr;
  p->Range.Minimum = minimum;
  p->Range.Maximum = maximum;
  p->Range.Default = p->Range.Current = defaultPosition;
  p->Range.Display = display;
  return p;
}

RequesterProperty* AddComboboxProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                       const char* label, const char* help, bool sorted) {
  RequesterProperty* p =
      AppendProperty(requester, id, detailLevel, label, help, PropertyKind::Combobox);
  if (p != nullptr) p->Combobox.Sorted = sorted ? 1 : 0;
  return p;
}

RequesterProperty* AddFileStringProperty(Requester* requester, uint32_t id, uint32_t detailLevel,
                                         const char* label, const char* help) {
  return AppendProperty(requester, id, detailLevel, label, help, PropertyKind::FileString);
}

RequesterProperty* AddSeparator(Requester* requester, uint32_t id) {
  return AppendProperty(requester, id, 0, nullptr, nullptr, PropertyKind::Separator);
}

RequesterProperty* SetControllingProperty(RequesterProperty* property,
                                          RequesterProperty* controlling) {
  if (property != nullptr && controlling != property) property->ControllingProperty = controlling;
  return property;
}

bool SetChoices(RequesterProperty* combobox, Requester* choiceList) {
  if (combobox == nullptr || combobox->Kind != PropertyKind::Combobox) return false;
  if (combobox->Combobox.Choices != choiceList) DestroyRequester(combobox->Combobox.Choices);
  combobox->Combobox.Choices = choiceList;
  combobox->Combobox.Selected = nullptr;
  combobox->Combobox.Legacy = 0;
  return true;
}

bool SetDefaultChoice(RequesterProperty* combobox, Requester* choice) {
  if (combobox == nullptr || combobox->Kind != PropertyKind::Combobox) return false;
  if (choice == nullptr || !IsChoiceOf(combobox, choice)) return false;
  combobox->Combobox.Selected = choice;
  combobox->Combobox.Legacy = 0;
  return true;
}

void DestroyRequester(Requester* requester) {
  if (requester == nullptr) return;
  Requester* child = requester->FirstChild;
  while (child != nullptr) {
    Requester* next = child->Next;
    DestroyRequester(child);
    child = next;
  }
  DestroyProperties(requester);
  Allocator allocator = requester->allocator;
  requester->~Requester();
  FreeFrom(allocator, requester);
}

Requester* DuplicateRequester(Requester* source, const Allocator& allocator) {
  if (!KT_CHECK_PARAMETER(Settings, source != nullptr)) return nullptr;
  ForEachProperty(source, [](RequesterProperty* p) { p->CopyLink = nullptr; });
  Requester* copy = AddRequester(source->context, allocator, source->contextWord, source->Id,
                                 source->Label, nullptr, source->Help);
  if (copy != nullptr && CopyInto(source, copy)) {
    // Controlling properties lie in the same tree, so each has a copy by now;
    // one outside the tree would have no CopyLink and is left unset.
    ForEachProperty(source, [](RequesterProperty* p) {
      if (p->CopyLink != nullptr && p->ControllingProperty != nullptr) {
        p->CopyLink->ControllingProperty = p->ControllingProperty->CopyLink;
      }
    });
  } else {
    KT_LOG_ERROR(Settings, "Unable to duplicate settings group \"%s\"",
                 source->Label != nullptr ? source->Label : "");
    DestroyRequester(copy);
    copy = nullptr;
  }
  ForEachProperty(source, [](RequesterProperty* p) { p->CopyLink = nullptr; });
  return copy;
}

RequesterProperty* FindPropertyById(const Requester* requester, uint32_t id) {
  return FindProperty(requester, [id](const RequesterProperty* p) { return p->Id == id; });
}

RequesterProperty* FindPropertyByLabel(const Requester* requester, const char* label) {
  if (label == nullptr) return nullptr;
  return FindProperty(requester, [label](const RequesterProperty* p) {
    return p->Label != nullptr && LabelsEqual(p->Label, label);
  });
}

Requester* FindChoiceById(const RequesterProperty* combobox, uint32_t id) {
  if (combobox == nullptr || combobox->Kind != PropertyKind::Combobox) return nullptr;
  return FindChildRequester(combobox->Combobox.Choices, id);
}

Requester* FindChoiceByLabel(const RequesterProperty* combobox, const char* label) {
  if (combobox == nullptr || combobox->Kind != PropertyKind::Combobox || label == nullptr ||
      combobox->Combobox.Choices == nullptr) {
    return nullptr;
  }
  for (Requester* c = combobox->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
    if (c->Label != nullptr && LabelsEqual(c->Label, label)) return c;
  }
  return nullptr;
}

Requester* FindChildRequester(const Requester* requester, uint32_t id) {
  if (requester == nullptr) return nullptr;
  for (Requester* c = requester->FirstChild; c != nullptr; c = c->Next) {
    if (c->Id == id) return c;
  }
  return nullptr;
}

bool LabelsEqual(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (LowerAscii(*a) != LowerAscii(*b)) return false;
  }
  return *a == *b;
}

int32_t DisplayValue(DisplayFunction display, int32_t position) {
  if (display != DisplayFunction::PowerOfTwo) return position;
  // Builders keep power-of-two positions in 0..30; stored data is clamped to
  // the bounds, so this guard only stops a hand-built misuse from shifting out.
  if (position < 0 || position > 30) return 0;
  return int32_t(1) << position;
}

int32_t RoundToInt(double value) {
  if (std::isnan(value)) return 0;
  double rounded = value < 0 ? std::ceil(value - 0.5) : std::floor(value + 0.5);
  if (rounded >= 2147483647.0) return INT32_MAX;
  if (rounded <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(rounded);
}

int32_t GetPropertyInt(const RequesterProperty* property) {
  if (property == nullptr) return 0;
  switch (property->Kind) {
    case PropertyKind::Bool:
      return property->Bool.Current != 0 ? 1 : 0;
    case PropertyKind::Number:
      return RoundToInt(property->Number.Current);
    case PropertyKind::Range:
      return DisplayValue(property->Range.Display, property->Range.Current);
    default:
      return 0;
  }
}

float GetPropertyFloat(const RequesterProperty* property) {
  if (property == nullptr) return 0.0f;
  if (property->Kind == PropertyKind::Number) return property->Number.Current;
  return static_cast<float>(GetPropertyInt(property));
}

size_t FormatPropertyText(const RequesterProperty* property, char* out, size_t capacity) {
  if (out == nullptr || capacity == 0) return 0;
  out[0] = '\0';
  if (property == nullptr) return 0;
  int written = 0;
  switch (property->Kind) {
    case PropertyKind::Bool:
      written = std::snprintf(out, capacity, "%s", property->Bool.Current ? "true" : "false");
      break;
    case PropertyKind::Number:
      written = std::snprintf(out, capacity, "%f", double(property->Number.Current));
      break;
    case PropertyKind::Range:
      written = std::snprintf(out, capacity, "%f", double(GetPropertyInt(property)));
      break;
    case PropertyKind::FileString:
      written = std::snprintf(out, capacity, "%s", property->Text ? property->Text : "");
      break;
    case PropertyKind::Combobox: {
      const Requester* selected = property->Combobox.Selected;
      const char* label = selected != nullptr && selected->Label != nullptr ? selected->Label : "";
      written = property->Combobox.Legacy != 0
                    ? std::snprintf(out, capacity, "(older choice %u)", property->Combobox.Legacy)
                    : std::snprintf(out, capacity, "%s", label);
      break;
    }
    default:
      break;
  }
  if (written < 0) {
    out[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(written) < capacity ? static_cast<size_t>(written) : capacity - 1;
}

bool SetPropertyInt(RequesterProperty* property, int64_t value) {
  if (property == nullptr) return false;
  switch (property->Kind) {
    case PropertyKind::Bool:
      property->Bool.Current = value != 0 ? 1 : 0;
      return true;
    case PropertyKind::Number:
      property->Number.Current = ClampNumber(property->Number, static_cast<double>(value));
      return true;
    case PropertyKind::Range: {
      RangeValue& range = property->Range;
      if (range.Display == DisplayFunction::Identity) {
        range.Current = ClampPosition(range, value);
        return true;
      }
      // Nearest displayed value; scanning upwards with a strict comparison
      // gives ties to the lower position.
      int32_t best = range.Minimum;
      int64_t bestDistance = INT64_MAX;
      for (int32_t p = range.Minimum; p <= range.Maximum; ++p) {
        int64_t d = static_cast<int64_t>(DisplayValue(range.Display, p)) - value;
        if (d < 0) d = -d;
        if (d < bestDistance) {
          bestDistance = d;
          best = p;
        }
      }
      range.Current = best;
      return true;
    }
    default:
      return false;
  }
}

bool SetPropertyFloat(RequesterProperty* property, double value) {
  if (property == nullptr || std::isnan(value)) return false;
  switch (property->Kind) {
    case PropertyKind::Number:
      property->Number.Current = ClampNumber(property->Number, value);
      return true;
    case PropertyKind::Bool:
    case PropertyKind::Range:
      return SetPropertyInt(property, RoundToInt(value));
    default:
      return false;
  }
}

bool SetPropertyText(RequesterProperty* property, const char* text) {
  if (property == nullptr || property->Kind != PropertyKind::FileString) return false;
  // Properties live in their Requester's allocator, but the property itself
  // does not record it; filestrings therefore use the heap.
  char* copy = nullptr;
  if (text != nullptr) {
    size_t length = std::strlen(text);
    copy = static_cast<char*>(KT_ALLOCATE(length + 1));
    if (copy == nullptr) return false;
    std::memcpy(copy, text, length + 1);
  }
  FreeBlock(property->Text);
  property->Text = copy;
  return true;
}

bool SelectChoice(RequesterProperty* combobox, Requester* choice) {
  if (combobox == nullptr || combobox->Kind != PropertyKind::Combobox) return false;
  if (choice != nullptr && !IsChoiceOf(combobox, choice)) return false;
  combobox->Combobox.Selected = choice;
  combobox->Combobox.Legacy = 0;
  return true;
}

bool IsPropertyEnabled(const RequesterProperty* property) {
  if (property == nullptr) return false;
  int depth = 0;
  for (const RequesterProperty* c = property->ControllingProperty; c != nullptr;
       c = c->ControllingProperty) {
    if (++depth > kMaxControlDepth || !ReadsNonZero(c)) return false;
  }
  return true;
}

const char* PropertyKindName(PropertyKind kind) {
  switch (kind) {
    case PropertyKind::Bool:
      return "bool";
    case PropertyKind::Number:
      return "number";
    case PropertyKind::Range:
      return "range";
    case PropertyKind::FileString:
      return "filestring";
    case PropertyKind::Combobox:
      return "combobox";
    default:
      return "Unknown";
  }
}

}  // namespace ketrel
