#include "rt/ketrel_load.h"

#include <cstdint>
#include <cstring>

#include "rt/ketrel_log.h"
#include "rt/ketrel_memory.h"
#include "rt/ketrel_object_ops.h"
#include "rt/posix/posix_ketrel_file_reader.h"

namespace ketrel {
namespace {

// The handed-out info lives behind a small header in one block, so the one
// free can find the file it belongs to. The tag tells a loaded info from any
// other pointer a caller might pass by mistake.
constexpr uint64_t kLoadedTag = 0x4b54324c4f414445ull;  // "KT2LOADE"

struct loaded_block {
  uint64_t Tag;
  ketrel_file* File;
  file_info Info;  // a copy of the root: its pointers lead into the file's sections
};

loaded_block* BlockOf(const file_info* info) {
  if (info == nullptr) return nullptr;
  auto* block = reinterpret_cast<loaded_block*>(reinterpret_cast<uintptr_t>(info) -
                                                offsetof(loaded_block, Info));
  return block->Tag == kLoadedTag ? block : nullptr;
}

file_info* Adopt(ketrel_file* file) {
  if (file == nullptr) return nullptr;
  if (file->RootObject == nullptr || !DataTypesAreEqualWithNames(file->RootType, FileInfoType)) {
    // Another tool's file, or a file_info of another layout: its objects
    // cannot be read through this library's records.
    KT_LOG_ERROR(FileReader, "File's root object is not a file_info this library can read");
    FreeFile(file);
    return nullptr;
  }
  auto* block = static_cast<loaded_block*>(KT_ALLOCATE(sizeof(loaded_block)));
  if (block == nullptr) {
    FreeFile(file);
    return nullptr;
  }
  block->Tag = kLoadedTag;
  block->File = file;
  std::memcpy(&block->Info, file->RootObject, sizeof(file_info));
  return &block->Info;
}

}  // namespace

file_info* LoadFileInfo(const char* path) {
  if (!KT_CHECK_PARAMETER(FileReader, path != nullptr)) return nullptr;
  return Adopt(ReadEntireFile(path));
}

file_info* LoadFileInfoFromMemory(const void* bytes, size_t size) {
  if (!KT_CHECK_PARAMETER(FileReader, bytes != nullptr || size == 0)) return nullptr;
  return Adopt(ReadEntireFileFromMemory(bytes, size));
}

void FreeFileInfo(file_info* info) {
  if (info == nullptr) return;
  loaded_block* block = BlockOf(info);
  if (block == nullptr) {
    KT_LOG_ERROR(FileReader, "FreeFileInfo was given a file_info that no load handed out");
    return;
  }
  FreeFile(block->File);
  block->Tag = 0;
  FreeBlock(block);
}

const ketrel_file* GetLoadedFile(const file_info* info) {
  loaded_block* block = BlockOf(info);
  return block != nullptr ? block->File : nullptr;
}

}  // namespace ketrel
