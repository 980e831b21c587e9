#pragma once
// The scene stream's byte-level writer and reader, and the parts of the
// stream that carry host properties (typed values, property owners, node
// flags, material values, the document's property sets and named node
// sets), shared by host_scene_stream.cpp and host_scene_stream_properties.cpp.
// Internal to the stream: nothing else includes this.

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "export/host/host_scene.h"

namespace ketrel::host::stream {

class Writer {
 public:
  template <typename T>
  void Put(const T& value) {
    static_assert(std::is_trivially_copyable_v<T>);
    out_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  template <typename T>
  void PutVector(const std::vector<T>& values) {
    static_assert(std::is_trivially_copyable_v<T>);
    Put(uint64_t(values.size()));
    if (!values.empty()) {
      out_.append(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T));
    }
  }
  void PutString(const std::string& text) {
    Put(uint64_t(text.size()));
    out_.append(text);
  }
  void Reserve(size_t size) { out_.reserve(size); }
  std::string Take() { return std::move(out_); }

 private:
  std::string out_;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : in_(in) {}

  bool Failed() const { return failed_; }
  bool AtEnd() const { return at_ == in_.size(); }
  const std::string& Error() const { return error_; }
  void Fail(const std::string& message) {
    if (!failed_) error_ = message;
    failed_ = true;
  }

  template <typename T>
  T Get() {
    static_assert(std::is_trivially_copyable_v<T>);
    T value{};
    if (!Have(sizeof value)) return value;
    std::memcpy(&value, in_.data() + at_, sizeof value);
    at_ += sizeof value;
    return value;
  }
  template <typename T>
  void GetVector(std::vector<T>& values) {
    uint64_t count = Get<uint64_t>();
    // The count is checked against the bytes left before anything is allocated.
    if (failed_ || count > (in_.size() - at_) / sizeof(T)) {
      Fail("the scene stream is truncated or damaged");
      return;
    }
    values.resize(size_t(count));
    if (count > 0) std::memcpy(values.data(), in_.data() + at_, size_t(count) * sizeof(T));
    at_ += size_t(count) * sizeof(T);
  }
  std::string GetString() {
    uint64_t size = Get<uint64_t>();
    if (failed_ || size > in_.size() - at_) {
      Fail("the scene stream is truncated or damaged");
      return {};
    }
    std::string text(in_.substr(at_, size_t(size)));
    at_ += size_t(size);
    return text;
  }
  // A count of items of at least `minimum` bytes each that the rest can hold.
  size_t GetCount(size_t minimum) {
    uint64_t count = Get<uint64_t>();
    if (failed_ || count > (in_.size() - at_) / minimum) {
      Fail("the scene stream is truncated or damaged");
      return 0;
    }
    return size_t(count);
  }

 private:
  bool Have(size_t size) {
    if (failed_ || size > in_.size() - at_) {
      Fail("the scene stream is truncated or damaged");
      return false;
    }
    return true;
  }

  std::string_view in_;
  size_t at_ = 0;
  bool failed_ = false;
  std::string error_;
};

// Property owners travel once each, in a table ahead of the materials and
// nodes, which name them by index. A custom attribute comes before every
// owner that holds it, so a damaged table cannot make owners hold each other.
class OwnerTableWriter {
 public:
  // Every owner reachable from the scene's nodes and materials, then the table.
  void Collect(const Scene& scene);
  void Write(Writer& w) const;
  void PutRefs(Writer& w, const std::vector<std::shared_ptr<PropertyOwner>>& owners) const;

 private:
  void Visit(const std::shared_ptr<PropertyOwner>& owner);
  std::vector<const PropertyOwner*> order_;
  std::unordered_map<const PropertyOwner*, int32_t> index_;  // -2 while being visited
};

class OwnerTableReader {
 public:
  void Read(Reader& r);
  void GetRefs(Reader& r, std::vector<std::shared_ptr<PropertyOwner>>& owners) const;

 private:
  std::vector<std::shared_ptr<PropertyOwner>> owners_;
};

void PutFlags(Writer& w, const NodeFlags& flags);
void GetFlags(Reader& r, NodeFlags& flags);
void PutColors(Writer& w, const MaterialColors& colors);
void GetColors(Reader& r, MaterialColors& colors);
void PutCoordinates(Writer& w, const MapCoordinates& coordinates);
void GetCoordinates(Reader& r, MapCoordinates& coordinates);
// The document's property sets, selection sets and layers.
void PutDocument(Writer& w, const Scene& scene);
void GetDocument(Reader& r, Scene& scene);

}  // namespace ketrel::host::stream
