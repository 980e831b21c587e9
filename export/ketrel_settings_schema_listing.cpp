// The schema listing behind `ketrel settings schema`: built from fresh
// category Requesters, so it shows exactly what the exporter reads.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "export/ketrel_settings_schema.h"

namespace ketrel {
namespace {

// The shortest fixed-point text that reads back as the same f32, so listings
// are exact and stable ("0.01", not "0.0099999998"; "640", not "6.4e+02").
std::string FloatText(float value) {
  char text[32];
  for (int precision = 0; precision <= 12; ++precision) {
    std::snprintf(text, sizeof(text), "%.*f", precision, double(value));
    if (std::strtof(text, nullptr) == value) break;
  }
  return text;
}

std::string JsonString(const char* text) {
  std::string out = "\"";
  for (const char* c = text != nullptr ? text : ""; *c != '\0'; ++c) {
    unsigned char u = static_cast<unsigned char>(*c);
    if (*c == '"' || *c == '\\') {
      out += '\\';
      out += *c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", u);
      out += escaped;
    } else {
      out += *c;
    }
  }
  return out + "\"";
}

const char* KindText(const RequesterProperty* p) {
  if (p->Kind == PropertyKind::Separator) return "separator";
  if (p->Kind == PropertyKind::Range && p->Range.Display == DisplayFunction::PowerOfTwo) {
    return "range2^p";
  }
  return PropertyKindName(p->Kind);
}

struct Counts {
  size_t properties = 0;  // settable properties of the category itself
  size_t inChoices = 0;   // settable properties inside combobox choices
};

void Count(const Requester* r, bool inChoice, Counts& counts) {
  for (const RequesterProperty* p = r->FirstProperty; p != nullptr; p = p->Next) {
    if (p->Kind != PropertyKind::Separator) ++(inChoice ? counts.inChoices : counts.properties);
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      for (const Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
        Count(c, true, counts);
      }
    }
  }
}

void ListProperties(const Requester* r, const std::string& indent, std::string& out) {
  for (const RequesterProperty* p = r->FirstProperty; p != nullptr; p = p->Next) {
    char line[512];
    if (p->Kind == PropertyKind::Separator) {
      std::snprintf(line, sizeof(line), "%u separator", p->Id);
    } else {
      std::snprintf(line, sizeof(line), "%u \"%s\" %s", p->Id, p->Label, KindText(p));
    }
    out += indent + line;
    switch (p->Kind) {
      case PropertyKind::Bool:
        out += std::string(" default=") + (p->Bool.Default ? "true" : "false");
        break;
      case PropertyKind::Number:
        out += " default=" + FloatText(p->Number.Default) +
               " bounds=" + FloatText(p->Number.Minimum) + ".." + FloatText(p->Number.Maximum);
        break;
      case PropertyKind::Range:
        out += " default=" + std::to_string(p->Range.Default);
        if (p->Range.Display == DisplayFunction::PowerOfTwo) {
          out += " (" + std::to_string(DisplayValue(p->Range.Display, p->Range.Default)) + ")";
        }
        out +=
            " bounds=" + std::to_string(p->Range.Minimum) + ".." + std::to_string(p->Range.Maximum);
        break;
      case PropertyKind::Combobox:
        if (p->Combobox.Selected != nullptr) {
          out += " default=" + std::to_string(p->Combobox.Selected->Id) + " \"" +
                 p->Combobox.Selected->Label + "\"";
        }
        if (p->Combobox.Choices != nullptr) {
          out += " list=" + std::to_string(p->Combobox.Choices->Id);
        }
        if (p->Combobox.Sorted) out += " sorted";
        break;
      default:
        break;
    }
    if (p->Kind != PropertyKind::Separator) out += " detail=" + std::to_string(p->DetailLevel);
    if (p->ControllingProperty != nullptr) {
      out += " control=" + std::to_string(p->ControllingProperty->Id);
    }
    out += "\n";
    if (p->Kind == PropertyKind::Combobox && p->Combobox.Choices != nullptr) {
      for (const Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
        std::snprintf(line, sizeof(line), "choice %u \"%s\"\n", c->Id, c->Label);
        out += indent + "  " + line;
        ListProperties(c, indent + "    ", out);
      }
    }
  }
}

void JsonProperties(const Requester* r, std::string& out) {
  out += "[";
  bool first = true;
  for (const RequesterProperty* p = r->FirstProperty; p != nullptr; p = p->Next) {
    out += first ? "" : ",";
    first = false;
    out += "{\"id\":" + std::to_string(p->Id) + ",\"kind\":" + JsonString(KindText(p));
    if (p->Kind != PropertyKind::Separator) {
      out += ",\"label\":" + JsonString(p->Label) + ",\"detail\":" + std::to_string(p->DetailLevel);
    }
    switch (p->Kind) {
      case PropertyKind::Bool:
        out += std::string(",\"default\":") + (p->Bool.Default ? "true" : "false");
        break;
      case PropertyKind::Number:
        out += ",\"default\":" + FloatText(p->Number.Default) +
               ",\"min\":" + FloatText(p->Number.Minimum) +
               ",\"max\":" + FloatText(p->Number.Maximum);
        break;
      case PropertyKind::Range:
        out += ",\"default\":" + std::to_string(p->Range.Default) +
               ",\"min\":" + std::to_string(p->Range.Minimum) +
               ",\"max\":" + std::to_string(p->Range.Maximum) + ",\"powerOfTwo\":" +
               (p->Range.Display == DisplayFunction::PowerOfTwo ? "true" : "false");
        break;
      case PropertyKind::Combobox:
        out += ",\"default\":" +
               (p->Combobox.Selected ? std::to_string(p->Combobox.Selected->Id) : "null");
        out += std::string(",\"sorted\":") + (p->Combobox.Sorted ? "true" : "false");
        if (p->Combobox.Choices != nullptr) {
          out += ",\"list\":" + std::to_string(p->Combobox.Choices->Id) + ",\"choices\":[";
          for (const Requester* c = p->Combobox.Choices->FirstChild; c != nullptr; c = c->Next) {
            out += c == p->Combobox.Choices->FirstChild ? "" : ",";
            out += "{\"id\":" + std::to_string(c->Id) + ",\"label\":" + JsonString(c->Label) +
                   ",\"properties\":";
            JsonProperties(c, out);
            out += "}";
          }
          out += "]";
        }
        break;
      default:
        break;
    }
    if (p->ControllingProperty != nullptr) {
      out += ",\"control\":" + std::to_string(p->ControllingProperty->Id);
    }
    out += "}";
  }
  out += "]";
}

}  // namespace

std::string FormatSchemaListing() {
  std::string out;
  Counts total;
  for (uint32_t i = 0; i < static_cast<uint32_t>(SettingsCategory::Count); ++i) {
    auto category = static_cast<SettingsCategory>(i);
    Requester* r = CreateCategoryRequester(category);
    if (r == nullptr) return std::string();
    Counts counts;
    Count(r, false, counts);
    total.properties += counts.properties;
    total.inChoices += counts.inChoices;
    char line[256];
    std::snprintf(line, sizeof(line), "%s (id %u): %zu properties, %zu more inside choices\n",
                  r->Label, r->Id, counts.properties, counts.inChoices);
    out += line;
    ListProperties(r, "  ", out);
    DestroyRequester(r);
  }
  char line[128];
  std::snprintf(line, sizeof(line), "total: %zu properties, %zu more inside choices\n",
                total.properties, total.inChoices);
  return out + line;
}

std::string FormatSchemaJson() {
  std::string out = "{\"categories\":[";
  for (uint32_t i = 0; i < static_cast<uint32_t>(SettingsCategory::Count); ++i) {
    Requester* r = CreateCategoryRequester(static_cast<SettingsCategory>(i));
    if (r == nullptr) return std::string();
    Counts counts;
    Count(r, false, counts);
    out += i == 0 ? "" : ",";
    out += "{\"label\":" + JsonString(r->Label) + ",\"id\":" + std::to_string(r->Id) +
           ",\"propertyCount\":" + std::to_string(counts.properties) + ",\"properties\":";
    JsonProperties(r, out);
    out += "}";
    DestroyRequester(r);
  }
  return out + "]}\n";
}

}  // namespace ketrel
