// The two binary forms of settings: the Requester blob and the SettingsItem
// blob, little-endian, read all-or-nothing.
#include "export/ketrel_settings_blob.h"

#include <cmath>
#include <cstring>

#include "export/ketrel_settings_schema.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"

namespace ketrel {
namespace {

constexpr const char kCorrupted[] = "Corrupted settings data encountered";

// ---- Writing ----

bool IsStored(const RequesterProperty* p) {
  return p->Kind == PropertyKind::Bool || p->Kind == PropertyKind::Number ||
         p->Kind == PropertyKind::Range || p->Kind == PropertyKind::Combobox;
}

size_t PayloadSize(const RequesterProperty* p) {
  if (p->Kind != PropertyKind::Combobox) return 8;
  if (p->Combobox.Choices == nullptr) return 4;
  return 8 + RequesterBlobSize(p->Combobox.Choices);
}

class Writer {
 public:
  Writer(uint8_t* out, size_t capacity) : out_(out), capacity_(capacity) {}
  void U32(uint32_t v) {
    if (position_ + 4 <= capacity_) {
      for (int i = 0; i < 4; ++i) out_[position_ + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    position_ += 4;
  }
  void F32(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    U32(bits);
  }
  size_t position() const { return position_; }

 private:
  uint8_t* out_;
  size_t capacity_;
  size_t position_ = 0;
};

void WriteRequesterTo(const Requester* r, Writer& w) {
  uint32_t count = 0;
  for (const RequesterProperty* p = r->FirstProperty; p != nullptr; p = p->Next) {
    count += IsStored(p) ? 1 : 0;
  }
  w.U32(kRequesterBlobMagic);
  w.U32(count);
  for (const RequesterProperty* p = r->FirstProperty; p != nullptr; p = p->Next) {
    if (!IsStored(p)) continue;
    w.U32(p->Id);
    w.U32(static_cast<uint32_t>(PayloadSize(p)));
    switch (p->Kind) {
      case PropertyKind::Bool:
        w.U32(p->Locked ? 1 : 0);
        w.U32(p->Bool.Current ? 1 : 0);
        break;
      case PropertyKind::Number:
        w.F32(p->Locked ? 1.0f : 0.0f);
        w.F32(p->Number.Current);
        break;
      case PropertyKind::Range:
        w.U32(p->Locked ? 1 : 0);
        w.U32(static_cast<uint32_t>(p->Range.Current));
        break;
      default:  // combobox
        w.U32(p->Locked ? 1 : 0);
        if (p->Combobox.Choices != nullptr) {
          w.U32(p->Combobox.Legacy != 0           ? p->Combobox.Legacy
                : p->Combobox.Selected != nullptr ? p->Combobox.Selected->Id
                                                  : 0);
          WriteRequesterTo(p->Combobox.Choices, w);
        }
        break;
    }
  }
  uint32_t children = 0;
  for (const Requester* c = r->FirstChild; c != nullptr; c = c->Next) ++children;
  w.U32(children);
  for (const Requester* c = r->FirstChild; c != nullptr; c = c->Next) {
    w.U32(c->Id);
    w.U32(static_cast<uint32_t>(RequesterBlobSize(c)));
    WriteRequesterTo(c, w);
  }
}

void WriteSettingsItemTo(const SettingsItem* item, int depth, Writer& w) {
  w.U32(kSettingsItemBlobMagic);
  WriteRequesterTo(item->Requester, w);
  uint32_t children = 0;
  if (depth > 0) {
    for (const SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
      children += c->Requester != nullptr ? 1 : 0;
    }
  }
  w.U32(children);
  if (children == 0) return;
  for (const SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
    if (c->Requester == nullptr) continue;
    w.U32(c->Requester->Id);
    w.U32(static_cast<uint32_t>(SettingsItemBlobSize(c, depth - 1)));
    WriteSettingsItemTo(c, depth - 1, w);
  }
}

// ---- Reading ----
//
// Every reader runs twice over the same bytes: first with `apply` off, which
// only checks (bounds, magics, payload sizes, NaN) against the same targets
// the second pass will write, then with it on. So a blob is either applied
// whole or not at all. A null target means "skip": the bytes are still
// checked for structure.

class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool U32(uint32_t& v) {
    if (size_ - position_ < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(data_[position_ + i]) << (8 * i);
    position_ += 4;
    return true;
  }
  bool F32(float& v) {
    uint32_t bits;
    if (!U32(bits)) return false;
    std::memcpy(&v, &bits, 4);
    return true;
  }
  // A nested record of `size` bytes starting here; false when it overruns.
  bool Sub(uint32_t size, Reader& sub) {
    if (size_ - position_ < size) return false;
    sub = Reader(data_ + position_, size);
    position_ += size;
    return true;
  }
  bool AtEnd() const { return position_ == size_; }
  size_t position() const { return position_; }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

bool ReadRequesterFrom(Requester* r, Reader& in, bool apply);

// A count, then that many {id, size, record}: each record goes to the child
// `find` gives for its id, filling it exactly; records of unknown children
// are checked for size and skipped.
template <typename Find, typename Read>
bool ReadChildRecords(Reader& in, Find find, Read read) {
  uint32_t children = 0;
  if (!in.U32(children)) return false;
  for (uint32_t i = 0; i < children; ++i) {
    uint32_t id = 0;
    uint32_t size = 0;
    Reader record(nullptr, 0);
    if (!in.U32(id) || !in.U32(size) || !in.Sub(size, record)) return false;
    auto* child = find(id);
    if (child == nullptr) continue;
    if (!read(child, record) || !record.AtEnd()) return false;
  }
  return true;
}

bool ReadProperty(RequesterProperty* p, Reader& in, bool apply) {
  uint32_t locked = 0;
  uint32_t word = 0;
  switch (p->Kind) {
    case PropertyKind::Bool:
      if (!in.U32(locked) || !in.U32(word)) return false;
      if (apply) {
        p->Locked = locked != 0;
        p->Bool.Current = word != 0;
      }
      return true;
    case PropertyKind::Number: {
      float lockedValue = 0;
      float value = 0;
      if (!in.F32(lockedValue) || !in.F32(value) || std::isnan(value)) return false;
      if (apply) {
        p->Locked = lockedValue != 0.0f;
        // Stored values obey the same bounds as values set by hand.
        SetPropertyFloat(p, value);
      }
      return true;
    }
    case PropertyKind::Range:
      if (!in.U32(locked) || !in.U32(word)) return false;
      if (apply) {
        p->Locked = locked != 0;
        int32_t position = static_cast<int32_t>(word);
        if (position < p->Range.Minimum) position = p->Range.Minimum;
        if (position > p->Range.Maximum) position = p->Range.Maximum;
        p->Range.Current = position;
      }
      return true;
    case PropertyKind::Combobox: {
      if (!in.U32(locked)) return false;
      if (apply) p->Locked = locked != 0;
      if (p->Combobox.Choices == nullptr) return true;
      uint32_t selected = 0;
      if (!in.U32(selected) || !ReadRequesterFrom(p->Combobox.Choices, in, apply)) return false;
      // 0 keeps the selection. So does an id that no choice has: leaving the
      // combobox with nothing selected would hand the phases a choice of 0,
      // and would not survive being stored and read again.
      if (apply && selected != 0) {
        if (Requester* choice = FindChoiceById(p, selected)) {
          p->Combobox.Selected = choice;
          p->Combobox.Legacy = 0;
        } else if (IsLegacyChoice(p->Combobox.Choices->Id, selected)) {
          p->Combobox.Legacy = selected;  // honoured by the phases, kept when stored
        } else {
          KT_LOG_WARNING_CODE(Settings, warning::SettingChoiceUnknown, p->Label,
                              "Unknown choice %u of setting \"%s\" ignored", selected,
                              p->Label != nullptr ? p->Label : "");
        }
      }
      return true;
    }
    default:
      // Separators and filestrings are never stored; a record for one is skipped.
      return true;
  }
}

bool ReadRequesterFrom(Requester* r, Reader& in, bool apply) {
  uint32_t magic = 0;
  uint32_t count = 0;
  if (!in.U32(magic) || magic != kRequesterBlobMagic || !in.U32(count)) return false;
  // Each record takes at least 8 bytes, so the loop cannot outrun the data.
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id = 0;
    uint32_t size = 0;
    Reader record(nullptr, 0);
    if (!in.U32(id) || !in.U32(size) || !in.Sub(size, record)) return false;
    RequesterProperty* p = r != nullptr ? FindPropertyById(r, id) : nullptr;
    if (p == nullptr) continue;
    if (!ReadProperty(p, record, apply)) return false;
    // A combobox's nested blob must fill its record; other kinds may carry
    // trailing words that a later format adds.
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr && !record.AtEnd()) {
      return false;
    }
  }
  return ReadChildRecords(
      in, [r](uint32_t id) { return r != nullptr ? FindChildRequester(r, id) : nullptr; },
      [apply](Requester* child, Reader& record) {
        return ReadRequesterFrom(child, record, apply);
      });
}

SettingsItem* FindChildItemByRequesterId(SettingsItem* item, uint32_t id) {
  for (SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
    if (c->Requester != nullptr && c->Requester->Id == id) return c;
  }
  return nullptr;
}

bool ReadSettingsItemFrom(SettingsItem* item, Reader& in, bool apply) {
  uint32_t magic = 0;
  if (!in.U32(magic) || magic != kSettingsItemBlobMagic) return false;
  if (!ReadRequesterFrom(item != nullptr ? item->Requester : nullptr, in, apply)) return false;
  return ReadChildRecords(
      in,
      [item](uint32_t id) {
        return item != nullptr ? FindChildItemByRequesterId(item, id) : nullptr;
      },
      [apply](SettingsItem* child, Reader& record) {
        return ReadSettingsItemFrom(child, record, apply);
      });
}

template <typename Target, typename ReadFn>
bool ReadAllOrNothing(Target* target, const uint8_t* data, size_t size, ReadFn read) {
  if (data == nullptr && size != 0) return KT_CHECK_PARAMETER(Settings, false);
  Reader check(data, size);
  if (!read(target, check, false) || !check.AtEnd()) {
    KT_LOG_ERROR(Settings, "%s", kCorrupted);
    return false;
  }
  Reader apply(data, size);
  return read(target, apply, true);
}

}  // namespace

size_t RequesterBlobSize(const Requester* requester) {
  if (requester == nullptr) return 0;
  size_t size = 8;
  for (const RequesterProperty* p = requester->FirstProperty; p != nullptr; p = p->Next) {
    if (IsStored(p)) size += 8 + PayloadSize(p);
  }
  size += 4;
  for (const Requester* c = requester->FirstChild; c != nullptr; c = c->Next) {
    size += 8 + RequesterBlobSize(c);
  }
  return size;
}

size_t WriteRequester(const Requester* requester, uint8_t* out, size_t capacity) {
  size_t size = RequesterBlobSize(requester);
  if (!KT_CHECK_PARAMETER(Settings, requester != nullptr && out != nullptr && capacity >= size)) {
    return 0;
  }
  Writer w(out, capacity);
  WriteRequesterTo(requester, w);
  if (w.position() != size) {
    KT_LOG_ERROR(Settings, "Settings blob size mismatch: wrote %zu of %zu bytes", w.position(),
                 size);
    return 0;
  }
  return size;
}

bool ReadRequester(Requester* requester, const uint8_t* data, size_t size) {
  if (!KT_CHECK_PARAMETER(Settings, requester != nullptr)) return false;
  return ReadAllOrNothing(requester, data, size, [](Requester* r, Reader& in, bool apply) {
    return ReadRequesterFrom(r, in, apply);
  });
}

size_t SettingsItemBlobSize(const SettingsItem* item, int depth) {
  if (item == nullptr || item->Requester == nullptr) return 0;
  size_t size = 4 + RequesterBlobSize(item->Requester) + 4;
  if (depth > 0) {
    for (const SettingsItem* c = item->FirstChild; c != nullptr; c = c->Next) {
      if (c->Requester != nullptr) size += 8 + SettingsItemBlobSize(c, depth - 1);
    }
  }
  return size;
}

size_t WriteSettingsItem(const SettingsItem* item, int depth, uint8_t* out, size_t capacity) {
  size_t size = SettingsItemBlobSize(item, depth);
  if (!KT_CHECK_PARAMETER(Settings, size != 0 && out != nullptr && capacity >= size)) return 0;
  Writer w(out, capacity);
  WriteSettingsItemTo(item, depth, w);
  if (w.position() != size) {
    KT_LOG_ERROR(Settings, "Settings blob size mismatch: wrote %zu of %zu bytes", w.position(),
                 size);
    return 0;
  }
  return size;
}

bool ReadSettingsItem(SettingsItem* item, const uint8_t* data, size_t size) {
  if (!KT_CHECK_PARAMETER(Settings, item != nullptr)) return false;
  return ReadAllOrNothing(item, data, size, [](SettingsItem* i, Reader& in, bool apply) {
    return ReadSettingsItemFrom(i, in, apply);
  });
}

}  // namespace ketrel
