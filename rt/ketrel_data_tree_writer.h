#pragma once
// The data tree writer: turns one root object and everything reachable from
// it into blocks, pointer fix-ups and mixed-marshalling records of a file
// builder. It follows every reference through the data types, writes each
// object, array, string and type definition once per write, merges type
// definitions that are equal (members, widths and names) into one, and puts
// each block into a section chosen by default, by type or by object.
//
// The writer changes the caller's data in place: references are normalised
// (an array with count 0 or a null pointer becomes {0, null}, a variant with
// no type or no object becomes {null, null}, `EmptyReferenceMember`s become
// null) and the end records of written type definitions are cleared.
// The root and everything under it must stay alive and unchanged in shape
// until the writer is ended.

#include <cstdint>

#include "rt/ketrel_data_types.h"
#include "rt/ketrel_file_builder.h"

namespace ketrel {

struct file_data_tree_writer;

enum file_data_tree_flags : uint32_t {
  // Write an empty root type instead of the root's type tree (variant types
  // and types of mixed-marshalling objects are still written). Ignored for a
  // builder laid out for another platform, whose conversion needs the types.
  ExcludeTypeTree = 1,
};

// Null on a null root type or object (parameter check) or when memory runs
// out.
file_data_tree_writer* BeginFileDataTreeWriting(data_type_definition* rootType, void* rootObject,
                                                uint32_t defaultTypeSection,
                                                uint32_t defaultObjectSection);
void SetFileDataTreeFlags(file_data_tree_writer* writer, uint32_t flags);
uint32_t GetFileDataTreeFlags(const file_data_tree_writer* writer);

// Objects of `type` (by type pointer) go into `section`. Takes effect for
// objects not yet met by a write.
void SetFileSectionForObjectsOfType(file_data_tree_writer* writer, const data_type_definition* type,
                                    uint32_t section);
// That very pointer (object, array or string) goes into `section`, whatever
// its type says.
void SetFileSectionForObject(file_data_tree_writer* writer, const void* object, uint32_t section);

// Writes the tree and sets the builder's root. False when the writer cannot
// work (no memory for its maps or strings; logged); failures of single blocks
// and fix-ups are the builder's to report when it ends. Each call is one
// pass: writing into a second builder writes everything again.
bool WriteDataTreeToFileBuilder(file_data_tree_writer* writer, file_builder* builder);

// Accepts null.
void EndFileDataTreeWriting(file_data_tree_writer* writer);

// The CRC under which equal type definitions are merged: member types,
// names, widths and the CRCs of referenced (not inline) types. Exposed for
// tests and tools.
uint32_t ComputeTypeCrc(const data_type_definition* type);

}  // namespace ketrel
