#include "export/ketrel_tool_node_graph.h"

#include <cstring>
#include <new>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"

namespace ketrel {
namespace {

// Nodes are plain records with default member values: allocate through the
// library allocator so leak scopes see them, then construct in place.
template <typename Node>
Node* NewNode() {
  void* block = KT_ALLOCATE(sizeof(Node));
  return block ? new (block) Node() : nullptr;
}

template <typename Node>
void DeleteNode(Node* node) {
  if (!node) return;
  node->~Node();
  FreeBlock(node);
}

template <typename Node>
void PushGraph(Node*& head, int32_t& count, Node* node) {
  node->Next = head;
  head = node;
  ++count;
}

template <typename Node>
void PushModel(Node*& head, int32_t& count, Node* node, ModelNode* model) {
  node->NextInModel = head;
  node->Model = model;
  head = node;
  ++count;
}

// Unlinks `node` from a list threaded through `link`; false when absent.
template <typename Node>
bool Unlink(Node*& head, Node* Node::*link, Node* node) {
  for (Node** at = &head; *at; at = &((*at)->*link)) {
    if (*at == node) {
      *at = node->*link;
      node->*link = nullptr;
      return true;
    }
  }
  return false;
}

void LinkModelAtEnd(NodeGraph* graph, ModelNode* model) {
  ModelNode* sentinel = &graph->ModelRing;
  model->Previous = sentinel->Previous;
  model->Next = sentinel;
  sentinel->Previous->Next = model;
  sentinel->Previous = model;
  ++graph->ModelCount;
}

void UnlinkModel(NodeGraph* graph, ModelNode* model) {
  model->Previous->Next = model->Next;
  model->Next->Previous = model->Previous;
  model->Next = model->Previous = nullptr;
  --graph->ModelCount;
}

// Creates a node of a model-holding kind together with its own new model;
// on any allocation failure nothing stays linked.
template <typename Node>
Node* AddNodeInOwnModel(NodeGraph* graph, Node*& graphHead, int32_t& graphCount,
                        Node* ModelNode::*modelHead, int32_t ModelNode::*modelCount) {
  Node* node = NewNode<Node>();
  if (!node) return nullptr;
  ModelNode* model = AddModelNode(graph);
  if (!model) {
    DeleteNode(node);
    return nullptr;
  }
  PushGraph(graphHead, graphCount, node);
  PushModel(model->*modelHead, model->*modelCount, node, model);
  return node;
}

// Moves every node of one list of `from` to the front of `to`'s list, one by
// one, so the moved nodes end up in reverse order.
template <typename Node>
void MoveModelList(ModelNode* from, ModelNode* to, Node* ModelNode::*head,
                   int32_t ModelNode::*count) {
  Node* node = from->*head;
  while (node) {
    Node* next = node->NextInModel;
    node->NextInModel = to->*head;
    node->Model = to;
    to->*head = node;
    node = next;
  }
  to->*count += from->*count;
  from->*head = nullptr;
  from->*count = 0;
}

template <typename Node>
void FreeList(Node* node) {
  while (node) {
    Node* next = node->Next;
    DeleteNode(node);
    node = next;
  }
}

}  // namespace

NodeGraph* CreateNodeGraph() {
  NodeGraph* graph = NewNode<NodeGraph>();
  if (!graph) return nullptr;
  graph->ModelRing.Next = graph->ModelRing.Previous = &graph->ModelRing;
  return graph;
}

void DestroyNodeGraph(NodeGraph* graph) {
  if (!graph) return;
  FreeList(graph->Meshes);
  FreeList(graph->Bones);
  FreeList(graph->TrackSources);
  FreeList(graph->Materials);
  for (TextureNode* texture = graph->Textures; texture;) {
    TextureNode* next = texture->Next;
    FreeBlock(texture->Name);
    DeleteNode(texture);
    texture = next;
  }
  FreeList(graph->MorphSources);
  FreeList(graph->Animations);
  ModelNode* sentinel = &graph->ModelRing;
  for (ModelNode* model = sentinel->Next; model && model != sentinel;) {
    ModelNode* next = model->Next;
    DeleteNode(model);
    model = next;
  }
  DeleteNode(graph);
}

ModelNode* AddModelNode(NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Export, graph)) return nullptr;
  ModelNode* model = NewNode<ModelNode>();
  if (model) LinkModelAtEnd(graph, model);
  return model;
}

BoneNode* AddBoneNode(NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Export, graph)) return nullptr;
  return AddNodeInOwnModel(graph, graph->Bones, graph->BoneCount, &ModelNode::Bones,
                           &ModelNode::BoneCount);
}

MeshNode* AddMeshNode(NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Export, graph)) return nullptr;
  return AddNodeInOwnModel(graph, graph->Meshes, graph->MeshCount, &ModelNode::Meshes,
                           &ModelNode::MeshCount);
}

MaterialNode* AddMaterialNode(NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Export, graph)) return nullptr;
  return AddNodeInOwnModel(graph, graph->Materials, graph->MaterialCount, &ModelNode::Materials,
                           &ModelNode::MaterialCount);
}

TrackSourceNode* AddBoneTrackSource(NodeGraph* graph, BoneNode* bone) {
  if (!KT_CHECK_PARAMETER(Export, graph && bone)) return nullptr;
  TrackSourceNode* source =
      AddNodeInOwnModel(graph, graph->TrackSources, graph->TrackSourceCount,
                        &ModelNode::TrackSources, &ModelNode::TrackSourceCount);
  if (source) source->Bone = bone;
  return source;
}

TrackSourceNode* AddMeshTrackSource(NodeGraph* graph, MeshNode* mesh) {
  if (!KT_CHECK_PARAMETER(Export, graph && mesh)) return nullptr;
  TrackSourceNode* source =
      AddNodeInOwnModel(graph, graph->TrackSources, graph->TrackSourceCount,
                        &ModelNode::TrackSources, &ModelNode::TrackSourceCount);
  if (source) source->Mesh = mesh;
  return source;
}

TextureNode* AddTextureNode(NodeGraph* graph, const char* name) {
  if (!KT_CHECK_PARAMETER(Export, graph && name)) return nullptr;
  size_t length = std::strlen(name);
  char* copy = static_cast<char*>(KT_ALLOCATE(length + 1));
  if (!copy) return nullptr;
  std::memcpy(copy, name, length + 1);
  TextureNode* texture = NewNode<TextureNode>();
  if (!texture) {
    FreeBlock(copy);
    return nullptr;
  }
  texture->Name = copy;
  PushGraph(graph->Textures, graph->TextureCount, texture);
  return texture;
}

MorphSourceNode* AddMorphSourceNode(NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Export, graph)) return nullptr;
  MorphSourceNode* source = NewNode<MorphSourceNode>();
  if (source) PushGraph(graph->MorphSources, graph->MorphSourceCount, source);
  return source;
}

AnimationNode* AddAnimationNode(NodeGraph* graph) {
  if (!KT_CHECK_PARAMETER(Export, graph)) return nullptr;
  AnimationNode* animation = NewNode<AnimationNode>();
  if (animation) PushGraph(graph->Animations, graph->AnimationCount, animation);
  return animation;
}

ModelNode* MergeModels(NodeGraph* graph, ModelNode* a, ModelNode* b) {
  if (!KT_CHECK_PARAMETER(Export, graph && a && b)) return nullptr;
  if (a == b) return a;
  int32_t sizeA = a->MaterialCount + a->BoneCount + a->MeshCount;
  int32_t sizeB = b->MaterialCount + b->BoneCount + b->MeshCount;
  ModelNode* survivor = sizeB > sizeA ? b : a;
  ModelNode* absorbed = survivor == a ? b : a;
  if (absorbed->MaterialCount != 0) {
    // Materials are never moved; merging would orphan them.
    KT_LOG_ERROR(Export, "Cannot merge a model that holds materials");
    return nullptr;
  }
  MoveModelList(absorbed, survivor, &ModelNode::Meshes, &ModelNode::MeshCount);
  MoveModelList(absorbed, survivor, &ModelNode::Bones, &ModelNode::BoneCount);
  MoveModelList(absorbed, survivor, &ModelNode::TrackSources, &ModelNode::TrackSourceCount);
  UnlinkModel(graph, absorbed);
  DeleteNode(absorbed);
  return survivor;
}

bool RemoveLoneBoneModel(NodeGraph* graph, ModelNode* model) {
  if (!KT_CHECK_PARAMETER(Export, graph && model)) return false;
  if (model->BoneCount != 1 || model->MeshCount != 0 || model->MaterialCount != 0) return false;
  BoneNode* bone = model->Bones;
  for (TrackSourceNode* source : ModelTrackSources(model))
    if (source->Bone != bone) return false;  // something else lives here
  // Every track source of the bone goes, wherever it sits: one left behind
  // would point at the freed bone.
  for (TrackSourceNode* source = graph->TrackSources; source;) {
    TrackSourceNode* next = source->Next;
    if (source->Bone == bone) {
      ModelNode* owner = source->Model;
      Unlink(graph->TrackSources, &TrackSourceNode::Next, source);
      --graph->TrackSourceCount;
      if (owner && Unlink(owner->TrackSources, &TrackSourceNode::NextInModel, source))
        --owner->TrackSourceCount;
      // A model that held nothing but this source is left empty: drop it.
      if (owner && owner != model && owner->BoneCount == 0 && owner->MeshCount == 0 &&
          owner->MaterialCount == 0 && owner->TrackSourceCount == 0) {
        UnlinkModel(graph, owner);
        DeleteNode(owner);
      }
      DeleteNode(source);
    }
    source = next;
  }
  if (Unlink(graph->Bones, &BoneNode::Next, bone)) --graph->BoneCount;
  DeleteNode(bone);
  UnlinkModel(graph, model);
  DeleteNode(model);
  return true;
}

TextureNode* FindTexture(const NodeGraph* graph, const char* name) {
  if (!KT_CHECK_PARAMETER(Export, graph && name)) return nullptr;
  for (TextureNode* texture = graph->Textures; texture; texture = texture->Next) {
    if (std::strcmp(texture->Name, name) == 0) return texture;
  }
  return nullptr;
}

TextureNode* FindTextureBy(const NodeGraph* graph, TexturePredicate predicate,
                           const void* context) {
  if (!KT_CHECK_PARAMETER(Export, graph && predicate)) return nullptr;
  for (TextureNode* texture = graph->Textures; texture; texture = texture->Next) {
    if (predicate(texture, context)) return texture;
  }
  return nullptr;
}

MorphSourceNode* GetMorphSource(const NodeGraph* graph, int32_t n) {
  if (!KT_CHECK_PARAMETER(Export, graph && n >= 0)) return nullptr;
  MorphSourceNode* source = graph->MorphSources;
  for (; source && n > 0; --n) source = source->Next;
  return source;
}

}  // namespace ketrel
