// Settings files (.kes), their text dump, and "Label=value" edits of the
// category settings.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "export/ketrel_settings_blob.h"
#include "export/ketrel_settings_file.h"
#include "export/ketrel_settings_push_down.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

// A settings file of the full schema is a few kilobytes; anything this large
// is not one, and is refused before a buffer is made for it.
constexpr long kMaxSettingsFileSize = 16L * 1024 * 1024;

struct FileBuffer {
  uint8_t* data = nullptr;
  size_t size = 0;
  ~FileBuffer() { FreeBlock(data); }
};

bool ReadWholeFile(const char* path, FileBuffer& buffer) {
  std::FILE* file = path != nullptr ? std::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    KT_LOG_ERROR(Settings, "Unable to open settings file");
    return false;
  }
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0 || size > kMaxSettingsFileSize) {
    std::fclose(file);
    KT_LOG_ERROR(Settings, "Unable to read settings from file");
    return false;
  }
  buffer.data = static_cast<uint8_t*>(KT_ALLOCATE(static_cast<size_t>(size)));
  if (buffer.data == nullptr) {
    std::fclose(file);
    KT_LOG_ERROR(Settings, "Unable to allocate file reading buffer");
    return false;
  }
  buffer.size = std::fread(buffer.data, 1, static_cast<size_t>(size), file);
  bool complete = buffer.size == static_cast<size_t>(size) && !std::ferror(file);
  std::fclose(file);
  if (!complete) {
    KT_LOG_ERROR(Settings, "Unable to read settings from file");
    return false;
  }
  return true;
}

// Writes `size` bytes to "<path>.tmp" and renames it over `path`.
bool WriteFileReplacing(const char* path, const void* data, size_t size, const char* failure) {
  std::string temporary = std::string(path) + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) {
    KT_LOG_ERROR(Settings, "%s", failure);
    return false;
  }
  bool ok = std::fwrite(data, 1, size, file) == size;
  ok = std::fflush(file) == 0 && ok;
  ok = std::fclose(file) == 0 && ok;
  if (ok) ok = std::rename(temporary.c_str(), path) == 0;
  if (!ok) {
    std::remove(temporary.c_str());
    KT_LOG_ERROR(Settings, "%s", failure);
  }
  return ok;
}

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

std::string ValidLabels(SettingsItem* root) {
  std::string labels;
  std::vector<const char*> seen;
  ForEachCategoryItem(root, [&](SettingsItem* item) {
    if (item->Requester == nullptr) return;
    for (RequesterProperty* p = item->Requester->FirstProperty; p != nullptr; p = p->Next) {
      if (p->Label == nullptr || p->Kind == PropertyKind::Separator) continue;
      bool known = false;
      for (const char* s : seen) known = known || LabelsEqual(s, p->Label);
      if (known) continue;
      seen.push_back(p->Label);
      labels += (labels.empty() ? "\"" : ", \"") + std::string(p->Label) + "\"";
    }
  });
  return labels;
}

}  // namespace

bool SaveSettingsFile(const SettingsItem* root, const char* path) {
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && path != nullptr)) return false;
  size_t size = SettingsItemBlobSize(root, 1);
  FileBuffer buffer;
  buffer.data = size != 0 ? static_cast<uint8_t*>(KT_ALLOCATE(size)) : nullptr;
  if (buffer.data == nullptr) {
    KT_LOG_ERROR(Settings, "Unable to allocate settings buffer");
    return false;
  }
  if (WriteSettingsItem(root, 1, buffer.data, size) != size) return false;
  return WriteFileReplacing(path, buffer.data, size, "Unable to write settings file");
}

bool LoadSettingsFile(SettingsItem* root, const char* path) {
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && path != nullptr)) return false;
  FileBuffer buffer;
  if (!ReadWholeFile(path, buffer)) return false;
  // All-or-nothing: a corrupt file leaves every value (and every object
  // below the categories) as it was.
  if (!ReadSettingsItem(root, buffer.data, buffer.size)) return false;
  for (SettingsItem* category = root->FirstChild; category != nullptr; category = category->Next) {
    PushDown(category->Requester, category, false, false);
  }
  return true;
}

std::string FormatSettingsDump(const SettingsItem* root) {
  std::string out;
  if (root == nullptr) return out;
  for (const SettingsItem* category = root->FirstChild; category != nullptr;
       category = category->Next) {
    const Requester* r = category->Requester;
    if (r == nullptr) continue;
    out += std::string(r->Label != nullptr ? r->Label : "") + "\n";
    for (const RequesterProperty* p = r->FirstProperty; p != nullptr; p = p->Next) {
      if (p->Kind == PropertyKind::Separator) continue;
      char text[512];
      FormatPropertyText(p, text, sizeof(text));
      char line[1200];
      std::snprintf(line, sizeof(line), "  %s: %s\n", p->Label != nullptr ? p->Label : "", text);
      out += line;
    }
  }
  return out;
}

bool DumpSettingsFileToText(const char* settingsPath, std::string& out) {
  SettingsItem* root = CreateSettingsRoot();
  if (root == nullptr) return false;
  bool ok = LoadSettingsFile(root, settingsPath);
  if (ok) out = FormatSettingsDump(root);
  DestroySettingsItem(root);
  return ok;
}

bool DumpSettingsFile(const char* settingsPath, const char* textPath) {
  if (!KT_CHECK_PARAMETER(Settings, textPath != nullptr)) return false;
  std::string text;
  if (!DumpSettingsFileToText(settingsPath, text)) return false;
  return WriteFileReplacing(textPath, text.data(), text.size(), "Unable to write settings dump");
}

bool SetCategorySettingByLabel(SettingsItem* root, const char* assignment, std::string& message) {
  message.clear();
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && assignment != nullptr)) return false;
  std::string text = assignment;
  // Labels and choice labels may themselves hold '=' ("Treat Alpha = 1
  // textures as RGB", "Up=Z Back=NegY Right=X"), so the label is the
  // shortest prefix before an '=' that names a setting.
  struct Target {
    SettingsItem* item;
    RequesterProperty* property;
  };
  std::vector<Target> targets;
  std::string label;
  std::string valueText;
  for (size_t equals = text.find('='); equals != std::string::npos && targets.empty();
       equals = text.find('=', equals + 1)) {
    label = Trim(text.substr(0, equals));
    valueText = Trim(text.substr(equals + 1));
    ForEachCategoryItem(root, [&](SettingsItem* item) {
      RequesterProperty* p = FindPropertyByLabel(item->Requester, label.c_str());
      if (p != nullptr && p->Kind != PropertyKind::Separator) targets.push_back({item, p});
    });
  }
  if (targets.empty()) {
    if (text.find('=') == std::string::npos) {
      message = "Expected \"Label=value\", not \"" + text + "\"";
    } else {
      message = "Unknown setting \"" + Trim(text.substr(0, text.find('='))) +
                "\". Valid settings: " + ValidLabels(root);
    }
    return false;
  }
  // Check the value against every target before changing any of them.
  std::vector<RequesterProperty> values(targets.size());
  for (size_t i = 0; i < targets.size(); ++i) {
    if (!ParseSettingValue(targets[i].property, valueText, values[i], message)) return false;
  }
  for (size_t i = 0; i < targets.size(); ++i) {
    RequesterProperty* p = targets[i].property;
    CopyRequesterProperty(p, &values[i], true);
    if (targets[i].item == root) continue;  // root settings have no objects below them
    // Carry the new value to the objects of this category; locked ones keep theirs.
    struct Walk {
      static void Down(SettingsItem* item, const RequesterProperty* source) {
        for (SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
          if (RequesterProperty* d = FindPropertyById(c->Requester, source->Id)) {
            CopyRequesterProperty(d, source, false);
          }
          Down(c, source);
        }
      }
    };
    Walk::Down(targets[i].item, p);
  }
  return true;
}

bool SetClipSettingByLabel(SettingsItem* root, const char* clip, const char* assignment,
                           std::string& message) {
  message.clear();
  if (!KT_CHECK_PARAMETER(Settings, root != nullptr && clip != nullptr && assignment != nullptr))
    return false;
  SettingsItem* animations = FindChildItem(root, "Animations");
  SettingsItem* item = nullptr;
  std::string names;
  for (SettingsItem* c = animations != nullptr ? animations->FirstChild : nullptr; c != nullptr;
       c = c->Next) {
    if (c->Name != nullptr && std::strcmp(c->Name, clip) == 0) item = c;
    names += std::string(names.empty() ? "" : ", ") + "\"" + (c->Name ? c->Name : "") + "\"";
  }
  if (item == nullptr) {
    message = "No animation \"" + std::string(clip) +
              "\" in the scene (animations: " + (names.empty() ? "none" : names) + ")";
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
  const std::string text = assignment;
  std::vector<RequesterProperty*> targets;
  std::string valueText;
  for (size_t equals = text.find('='); equals != std::string::npos && targets.empty();
       equals = text.find('=', equals + 1)) {
    const std::string label = Trim(text.substr(0, equals));
    valueText = Trim(text.substr(equals + 1));
    for (SettingsItem* at : subtree) {
      RequesterProperty* p = FindPropertyByLabel(at->Requester, label.c_str());
      if (p != nullptr && p->Kind != PropertyKind::Separator) targets.push_back(p);
    }
  }
  if (targets.empty()) {
    message = text.find('=') == std::string::npos
                  ? "Expected \"Label=value\", not \"" + text + "\""
                  : "Unknown animation setting \"" + Trim(text.substr(0, text.find('='))) + "\"";
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
