// The materials phase: pass one makes every included material, pass two
// fills maps and textures (declared in ketrel_texture_conversion.h).
#include <cstring>

#include "export/ketrel_export_ui_tunneling.h"
#include "export/ketrel_extended_data.h"
#include "export/ketrel_settings_read.h"
#include "export/ketrel_settings_schema.h"
#include "export/ketrel_texture_conversion.h"
#include "export/ketrel_warning_codes.h"
#include "rt/ketrel_log.h"
#include "rt/ketrel_object_ops.h"

namespace ketrel {
namespace {

const char* Shown(const char* name) { return name && *name ? name : "(unnamed)"; }

// The maps whose slot holds an exported material, in slot order.
bool FillMaps(SceneParser* parser, MaterialNode* node, material* object) {
  ToolInterface* tool = parser->tool;
  const int32_t count = tool->GetMaterialMapCount(node);
  if (count <= 0) return true;
  auto* maps =
      static_cast<material_map*>(KT_PARSER_ALLOCATE(parser, sizeof(material_map) * size_t(count)));
  if (!maps) return false;
  int32_t used = 0;
  for (int32_t i = 0; i < count; ++i) {
    const char* slot = "";
    MaterialNode* sub = tool->GetMaterialMap(node, i, &slot);
    if (!sub || !slot || !*slot) continue;
    if (!sub->Object) {
      KT_LOG_WARNING_CODE(Export, warning::MaterialMapLeftOut, Shown(tool->GetMaterialName(node)),
                          "Material %s: its %s map (%s) is not exported, so the map is left out",
                          Shown(tool->GetMaterialName(node)), slot,
                          Shown(tool->GetMaterialName(sub)));
      continue;
    }
    material_map map;
    map.Usage = InternString(parser, slot);
    map.Map = static_cast<material*>(sub->Object);
    std::memcpy(static_cast<void*>(maps + used), &map, sizeof map);
    ++used;
  }
  object->MapCount = used;
  object->Maps = used > 0 ? maps : nullptr;
  return true;
}

}  // namespace

bool CreateMaterials(SceneParser* parser) {
  for (MaterialNode* node : GraphMaterials(parser->graph)) {
    if (!ProgressShouldContinue(parser->progress)) return false;
    if (!IsReferenceIncluded(node->Settings)) continue;
    auto* object = static_cast<material*>(KT_PARSER_ALLOCATE(parser, sizeof(material)));
    if (!object) return false;
    MakeEmptyDataTypeObject(MaterialType, object);
    object->Name = InternString(parser, parser->tool->GetMaterialName(node));
    if (!AppendFileObject(parser, object)) return false;
    node->Object = object;
  }
  return true;
}

bool FillMaterials(SceneParser* parser) {
  ToolInterface* tool = parser->tool;
  for (MaterialNode* node : GraphMaterials(parser->graph)) {
    if (!ProgressShouldContinue(parser->progress)) return false;
    auto* object = static_cast<material*>(node->Object);
    if (!object || !IsReferenceIncluded(node->Settings)) continue;
    ProgressItem(parser->progress, Shown(tool->GetMaterialName(node)));
    if (GetSettingBool(node->Settings, setting::IncludeData) &&
        (!FillMaps(parser, node, object) ||
         !AttachMaterialExtendedData(parser, node, &object->ExtendedData)))
      return false;
    if (TextureNode* texture = tool->GetMaterialTexture(node)) {
      if (texture->Object) {
        object->Texture = static_cast<::ketrel::texture*>(texture->Object);
      } else {
        KT_LOG_WARNING_CODE(
            Export, warning::MaterialTextureLeftOut, Shown(tool->GetMaterialName(node)),
            "Material %s: its texture %s is not exported", Shown(tool->GetMaterialName(node)),
            Shown(tool->GetTextureName(texture)));
      }
    }
  }
  return true;
}

}  // namespace ketrel
