// "Label=value" edits of the settings from the command line: labels found
// in every category or named with their category, values checked against
// each setting's kind and bounds before anything changes.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "export/ketrel_settings_file.h"
#include "export/ketrel_settings_push_down.h"
#include "export/shared/ketrel_did_you_mean.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// Parses the whole text (spaces around it allowed) as a finite number.
bool ParseNumber(const std::string& text, double& value) {
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  value = std::strtod(begin, &end);
  if (end == begin || errno == ERANGE || !std::isfinite(value)) return false;
  while (*end == ' ') ++end;
  return *end == '\0';
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::string NumberText(double value) {
  char text[64];
  std::snprintf(text, sizeof(text), "%g", value);
  return text;
}

// Checks `text` against the property's kind and bounds; on success sets a
// scratch copy's value in `value`, otherwise explains the valid values.
bool ParseSettingValue(const RequesterProperty* p, const std::string& text,
                       RequesterProperty& value, std::string& message) {
  value = *p;
  value.Text = nullptr;
  value.Next = nullptr;
  std::string quoted = std::string("\"") + p->Label + "\"";
  switch (p->Kind) {
    case PropertyKind::Bool: {
      static const char* const kTrue[] = {"true", "on", "yes", "1"};
      static const char* const kFalse[] = {"false", "off", "no", "0"};
      for (const char* t : kTrue) {
        if (LabelsEqual(text.c_str(), t)) return SetPropertyInt(&value, 1);
      }
      for (const char* f : kFalse) {
        if (LabelsEqual(text.c_str(), f)) return SetPropertyInt(&value, 0);
      }
      message = "Setting " + quoted + " takes true or false, not \"" + text + "\"";
      return false;
    }
    case PropertyKind::Number: {
      double number = 0;
      if (ParseNumber(text, number) && number >= p->Number.Minimum && number <= p->Number.Maximum) {
        return SetPropertyFloat(&value, number);
      }
      message = "Setting " + quoted + " takes a number from " + NumberText(p->Number.Minimum) +
                " to " + NumberText(p->Number.Maximum) + ", not \"" + text + "\"";
      return false;
    }
    case PropertyKind::Range: {
      double number = 0;
      bool whole = ParseNumber(text, number) && number == std::floor(number);
      std::string valid;
      for (int32_t position = p->Range.Minimum; position <= p->Range.Maximum; ++position) {
        int32_t shown = DisplayValue(p->Range.Display, position);
        if (whole && number == shown) {
          value.Range.Current = position;
          return true;
        }
        if (p->Range.Display == DisplayFunction::PowerOfTwo) {
          valid += (valid.empty() ? "" : ", ") + std::to_string(shown);
        }
      }
      if (p->Range.Display == DisplayFunction::Identity) {
        valid = "a whole number from " + std::to_string(p->Range.Minimum) + " to " +
                std::to_string(p->Range.Maximum);
      } else {
        valid = "one of " + valid;
      }
      message = "Setting " + quoted + " takes " + valid + ", not \"" + text + "\"";
      return false;
    }
    case PropertyKind::Combobox: {
      if (Requester* choice = FindChoiceByLabel(p, text.c_str())) {
        value.Combobox.Selected = choice;
        value.Combobox.Legacy = 0;
        return true;
      }
      message = "Setting " + quoted + " takes one of:";
      if (p->Combobox.Choices != nullptr) {
        for (Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
          message +=
              std::string(c == p->Combobox.Choices->FirstChild ? " \"" : ", \"") + c->Label + "\"";
        }
      }
      message += "; not \"" + text + "\"";
      return false;
    }
    default:
      message = "Setting " + quoted + " cannot be set from the command line";
      return false;
  }
}

// The category items that settings by label address: "Settings" itself and
// its direct children.
template <typename Visit>
void ForEachCategoryItem(SettingsItem* root, Visit&& visit) {
  visit(root);
  for (SettingsItem* c = root->FirstChild; c != nullptr; c = c->Next) visit(c);
}

// Every item of the tree, the top first.
template <typename Visit>
void ForEachItem(SettingsItem* item, Visit&& visit) {
  visit(item);
  for (SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) ForEachItem(c, visit);
}

// Each property labelled `label` in the Requester, inside every combobox
// choice too, with whether it takes effect: outside choices or in the
// selected one, and enabled by its controlling property.
template <typename Visit>
void ForEachLabelled(Requester* requester, const char* label, bool live, Visit&& visit) {
  if (requester == nullptr) return;
  for (RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    if (p->Kind != PropertyKind::Separator && p->Label != nullptr && LabelsEqual(p->Label, label)) {
      visit(p, live && IsPropertyEnabled(p));
    }
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      for (Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
        ForEachLabelled(c, label, live && c == p->Combobox.Selected, visit);
      }
    }
  }
  for (Requester* c = requester->FirstChild; c != nullptr; c = c->Next) {
    ForEachLabelled(c, label, live, visit);
  }
}

// Each property with this id in the Requester, choices included: a value
// pushed down reaches every copy of it (ids 24 and 106 repeat in choices).
template <typename Visit>
void ForEachWithId(Requester* requester, uint32_t id, Visit&& visit) {
  if (requester == nullptr) return;
  for (RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    if (p->Id == id && p->Kind != PropertyKind::Separator) visit(p);
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      for (Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
        ForEachWithId(c, id, visit);
      }
    }
  }
  for (Requester* c = requester->FirstChild; c != nullptr; c = c->Next) ForEachWithId(c, id, visit);
}

// Every settable label of the Requester, once each (for "did you mean" and
// the list of valid labels).
void CollectLabels(const Requester* requester, std::vector<std::string_view>& labels) {
  if (requester == nullptr) return;
  for (const RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    if (p->Label == nullptr || p->Kind == PropertyKind::Separator) continue;
    bool known = false;
    for (std::string_view seen : labels) known = known || LabelsEqual(seen.data(), p->Label);
    if (!known) labels.push_back(p->Label);
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      for (const Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
        CollectLabels(c, labels);
      }
    }
  }
  for (const Requester* c = requester->FirstChild; c != nullptr; c = c->Next) {
    CollectLabels(c, labels);
  }
}

std::string QuotedList(const std::vector<std::string_view>& texts) {
  std::string list;
  for (std::string_view text : texts)
    list += (list.empty() ? "\"" : ", \"") + std::string(text) + "\"";
  return list;
}

// What a "Category/" prefix names: a category item under "Settings" by its
// name ("Animations") or its settings' label ("Animation settings"), or the
// objects below them by their settings' label ("Bone animation settings").
bool FindCategoryByName(const std::string& name, SettingsCategory* category) {
  for (uint32_t c = 0; c < static_cast<uint32_t>(SettingsCategory::Count); ++c) {
    if (LabelsEqual(SettingsCategoryLabel(SettingsCategory(c)), name.c_str())) {
      *category = SettingsCategory(c);
      return true;
    }
  }
  for (const CategoryItemName& item : kCategoryItems) {
    if (LabelsEqual(item.name, name.c_str())) {
      *category = item.category;
      return true;
    }
  }
  if (LabelsEqual(kSettingsItemName, name.c_str())) {
    *category = SettingsCategory::Root;
    return true;
  }
  return false;
}

std::vector<std::string_view> CategoryNames() {
  std::vector<std::string_view> names;
  for (uint32_t c = 0; c < static_cast<uint32_t>(SettingsCategory::Count); ++c) {
    names.push_back(SettingsCategoryLabel(SettingsCategory(c)));
  }
  for (const CategoryItemName& item : kCategoryItems) names.push_back(item.name);
  return names;
}

// Splits "Category/Label" when the part before a '/' names a category;
// labels hold '/' themselves ("Scale/shear curve tolerance").
bool SplitCategory(const std::string& text, SettingsCategory* category, std::string* label,
                   std::string* prefix) {
  for (size_t slash = text.find('/'); slash != std::string::npos;
       slash = text.find('/', slash + 1)) {
    *prefix = Trim(text.substr(0, slash));
    if (FindCategoryByName(*prefix, category)) {
      *label = Trim(text.substr(slash + 1));
      return true;
    }
  }
  return false;
}

// A setting an edit reaches: the property, the item whose Requester holds
// it, and whether that item is a category (its own value is forced; the
// objects below it keep locked values).
struct LabelTarget {
  SettingsItem* item;
  RequesterProperty* property;
  bool category;
};

bool IsCategoryItem(const SettingsItem* root, const SettingsItem* item) {
  return item == root || item->Parent == root;
}

// The targets of `label` in one category, named by a prefix: the category
// item's own property, or for the objects below the categories every item
// with that kind of settings. `schema`, a fresh Requester of the category,
// tells whether the label exists there even when no such object does.
void CategoryTargets(SettingsItem* root, SettingsCategory category, const std::string& label,
                     Requester* schema, std::vector<LabelTarget>& targets) {
  const char* categoryLabel = SettingsCategoryLabel(category);
  ForEachItem(root, [&](SettingsItem* item) {
    if (item->Requester == nullptr || item->Requester->Label == nullptr ||
        !LabelsEqual(item->Requester->Label, categoryLabel)) {
      return;
    }
    // A top category sets its item, which pushes down to the objects.
    if (!IsCategoryItem(root, item) &&
        (category == SettingsCategory::Root ||
         std::any_of(std::begin(kCategoryItems), std::end(kCategoryItems),
                     [&](const CategoryItemName& c) { return c.category == category; }))) {
      return;
    }
    ForEachLabelled(item->Requester, label.c_str(), true, [&](RequesterProperty* p, bool) {
      targets.push_back({item, p, IsCategoryItem(root, item)});
    });
  });
  if (targets.empty()) {
    ForEachLabelled(schema, label.c_str(), true, [&](RequesterProperty* p, bool) {
      targets.push_back({nullptr, p, false});
    });
  }
}

// The targets of a bare label: every category item that has it. Several
// settings of different ids behind one label ("Position curve tolerance":
// the animations' curves and the meshes' vertex morph curves) are refused
// when more than one of them takes effect somewhere; otherwise all take the
// value, as they always have.
bool BareTargets(SettingsItem* root, const std::string& label, const std::string& valueText,
                 std::vector<LabelTarget>& targets, std::string& message) {
  std::vector<uint32_t> liveIds;
  std::vector<std::string_view> categories;
  ForEachCategoryItem(root, [&](SettingsItem* item) {
    const size_t before = targets.size();
    ForEachLabelled(item->Requester, label.c_str(), true, [&](RequesterProperty* p, bool) {
      targets.push_back({item, p, true});
    });
    if (targets.size() == before) return;
    categories.push_back(item->Requester->Label != nullptr ? item->Requester->Label : item->Name);
    for (size_t t = before; t < targets.size(); ++t) {
      const uint32_t id = targets[t].property->Id;
      bool live = false;
      ForEachItem(item, [&](SettingsItem* below) {
        ForEachLabelled(below->Requester, label.c_str(), true,
                        [&](RequesterProperty* p, bool on) { live = live || (on && p->Id == id); });
      });
      if (live && std::find(liveIds.begin(), liveIds.end(), id) == liveIds.end()) {
        liveIds.push_back(id);
      }
    }
  });
  if (liveIds.size() <= 1) return true;
  message = "Setting \"" + label + "\" means different settings in " + QuotedList(categories) +
            "; name the category, as in \"" + std::string(categories.back()) + "/" + label + "=" +
            valueText + "\"";
  targets.clear();
  return false;
}

// Finds what "[Category/]Label" names. False with a message when the label
// is ambiguous; an empty `targets` when it names nothing.
bool ResolveLabel(SettingsItem* root, const std::string& text, const std::string& valueText,
                  std::vector<LabelTarget>& targets, Requester*& schema, std::string& message) {
  SettingsCategory category;
  std::string label, prefix;
  if (SplitCategory(text, &category, &label, &prefix)) {
    DestroyRequester(schema);
    schema = CreateCategoryRequester(category);
    CategoryTargets(root, category, label, schema, targets);
    return true;
  }
  return BareTargets(root, text, valueText, targets, message);
}

// Why nothing has `text` for its label, with the nearest label or category.
std::string UnknownLabel(SettingsItem* root, const std::string& text) {
  SettingsCategory category;
  std::string label, prefix;
  std::vector<std::string_view> labels;
  if (SplitCategory(text, &category, &label, &prefix)) {
    Requester* schema = CreateCategoryRequester(category);
    CollectLabels(schema, labels);
    std::string hint = DidYouMean(label, labels);
    std::string said = "\"" + prefix + "\" has no setting \"" + label + "\"" +
                       (hint.empty() ? ". Its settings: " + QuotedList(labels) : hint);
    DestroyRequester(schema);
    return said;
  }
  const size_t slash = text.find('/');
  if (slash != std::string::npos) {
    std::string hint = DidYouMean(Trim(text.substr(0, slash)), CategoryNames());
    if (!hint.empty()) return "Unknown category \"" + Trim(text.substr(0, slash)) + "\"" + hint;
  }
  ForEachCategoryItem(root, [&](SettingsItem* item) { CollectLabels(item->Requester, labels); });
  std::string hint = DidYouMean(text, labels);
  return "Unknown setting \"" + text + "\"" +
         (hint.empty() ? ". Valid settings: " + QuotedList(labels) : hint);
}

// Carries a value to the objects below `item`; locked ones keep theirs.
void PushDownTo(SettingsItem* item, const RequesterProperty* source) {
  for (SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
    ForEachWithId(c->Requester, source->Id,
                  [&](RequesterProperty* d) { CopyRequesterProperty(d, source, false); });
    PushDownTo(c, source);
  }
}

}  // namespace

bool SetCategorySettingByLabel(SettingsItem* root, const char* assignment, std::string& message) {
  message.clear();
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && assignment != nullptr)) return false;
  std::string text = assignment;
  // Labels and choice labels may themselves hold '=' ("Treat Alpha = 1
  // textures as RGB", "Up=Z Back=NegY Right=X"), so the label is the
  // shortest prefix before an '=' that names a setting.
  std::vector<LabelTarget> targets;
  Requester* schema = nullptr;  // a category's fresh settings, for prefixed labels
  std::string valueText;
  bool ok = true;
  for (size_t equals = text.find('='); ok && equals != std::string::npos && targets.empty();
       equals = text.find('=', equals + 1)) {
    valueText = Trim(text.substr(equals + 1));
    ok = ResolveLabel(root, Trim(text.substr(0, equals)), valueText, targets, schema, message);
  }
  if (ok && targets.empty()) {
    message = text.find('=') == std::string::npos
                  ? "Expected \"Label=value\", not \"" + text + "\""
                  : UnknownLabel(root, Trim(text.substr(0, text.find('='))));
    ok = false;
  }
  // Check the value against every target before changing any of them.
  std::vector<RequesterProperty> values(targets.size());
  for (size_t i = 0; ok && i < targets.size(); ++i) {
    ok = ParseSettingValue(targets[i].property, valueText, values[i], message);
  }
  for (size_t i = 0; ok && i < targets.size(); ++i) {
    if (targets[i].item == nullptr) continue;  // no object of that kind in this scene
    CopyRequesterProperty(targets[i].property, &values[i], targets[i].category);
    if (targets[i].item != root) PushDownTo(targets[i].item, targets[i].property);
  }
  DestroyRequester(schema);
  return ok;
}

bool SetClipSettingByLabel(SettingsItem* root, const char* clip, const char* assignment,
                           std::string& message) {
  message.clear();
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && clip != nullptr && assignment != nullptr))
    return false;
  SettingsItem* animations = FindChildItem(root, "Animations");
  SettingsItem* item = nullptr;
  std::vector<std::string_view> names;
  for (SettingsItem* c = animations != nullptr ? animations->FirstChild : nullptr; c != nullptr;
       c = c->Next) {
    if (c->Name != nullptr && std::strcmp(c->Name, clip) == 0) item = c;
    names.push_back(c->Name != nullptr ? c->Name : "");
  }
  if (item == nullptr) {
    message = "No animation \"" + std::string(clip) + "\" in the scene" + DidYouMean(clip, names) +
              " (animations: " + (names.empty() ? "none" : QuotedList(names)) + ")";
    return false;
  }
  // The clip's own item, its track groups and their bones: each that has the
  // setting takes the value, locked ones keeping theirs.
  std::vector<SettingsItem*> subtree;
  struct Walk {
    static void Down(SettingsItem* at, std::vector<SettingsItem*>& out) {
      out.push_back(at);
      for (SettingsItem* c = at->FirstChild; c != nullptr; c = c->Next) Down(c, out);
    }
  };
  Walk::Down(item, subtree);
  // "Bone animation settings/Label" narrows the edit to that kind of item.
  const std::string text = assignment;
  std::vector<RequesterProperty*> targets;
  std::string valueText;
  for (size_t equals = text.find('='); equals != std::string::npos && targets.empty();
       equals = text.find('=', equals + 1)) {
    std::string label = Trim(text.substr(0, equals)), prefix;
    SettingsCategory category;
    const char* only = nullptr;
    if (SplitCategory(label, &category, &label, &prefix)) only = SettingsCategoryLabel(category);
    valueText = Trim(text.substr(equals + 1));
    for (SettingsItem* at : subtree) {
      if (at->Requester == nullptr ||
          (only != nullptr &&
           (at->Requester->Label == nullptr || !LabelsEqual(at->Requester->Label, only)))) {
        continue;
      }
      ForEachLabelled(at->Requester, label.c_str(), true,
                      [&](RequesterProperty* p, bool) { targets.push_back(p); });
    }
  }
  if (targets.empty()) {
    if (text.find('=') == std::string::npos) {
      message = "Expected \"Label=value\", not \"" + text + "\"";
      return false;
    }
    const std::string label = Trim(text.substr(0, text.find('=')));
    std::vector<std::string_view> labels;
    for (SettingsItem* at : subtree) CollectLabels(at->Requester, labels);
    message = "Unknown animation setting \"" + label + "\"" + DidYouMean(label, labels);
    return false;
  }
  std::vector<RequesterProperty> values(targets.size());
  for (size_t i = 0; i < targets.size(); ++i) {
    if (!ParseSettingValue(targets[i], valueText, values[i], message)) return false;
  }
  for (size_t i = 0; i < targets.size(); ++i) CopyRequesterProperty(targets[i], &values[i], false);
  return true;
}

}  // namespace ketrel
