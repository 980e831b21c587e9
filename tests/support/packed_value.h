#pragma once
// File records are packed: tests read a member by value, never binding a
// reference to it (it may be misaligned).

namespace ketrel::test {

template <typename T>
T Value(T member) {
  return member;
}

}  // namespace ketrel::test
