// Settings files (.kes) and their text dump ("Label=value" edits:
// ketrel_settings_labels.cpp).
#include <cerrno>
#include <cstdio>
#include <string>

#include "export/ketrel_settings_blob.h"
#include "export/ketrel_settings_file.h"
#include "export/ketrel_settings_push_down.h"
#include "rt/ketrel_log.h"
#include "rt/posix/posix_ketrel_os_error.h"

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
    const char* name = path != nullptr ? path : "";
    KT_LOG_ERROR(Settings, "Unable to open settings file %s: %s", name,
                 OsErrorReason(false, name, "fopen", errno).c_str());
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
    KT_LOG_ERROR(Settings, "%s %s: %s", failure, path,
                 OsErrorReason(true, path, "fopen", errno).c_str());
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

}  // namespace ketrel
