// Strs made once per call for texts that recur (the words an automaton
// finds, the characters a normalisation changes): each distinct text
// becomes one str object that all its occurrences share.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "convert.h"

namespace kelvra::python {

// An open-addressing table keyed by the text's bytes, short keys held in
// the slot itself so that a lookup touches one slot (a node-based map, or
// keys read from wherever the text first occurred, would cost more than
// making the objects that share the strs).
class StrCache {
 public:
  explicit StrCache(std::size_t expected) {
    std::size_t capacity = 64;
    while (capacity < 2 * expected && capacity < (std::size_t{1} << 20)) capacity <<= 1;
    slots_.resize(capacity);
  }
  ~StrCache() {
    for (Slot& slot : slots_) Py_XDECREF(slot.str);
  }
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  // A borrowed reference, valid while the cache lives.
  PyObject* get(std::string_view text) {
    if (text.size() > kInline) return long_text(text);
    Slot probe;
    probe.size = static_cast<std::uint32_t>(text.size());
    std::memcpy(probe.key, text.data(), text.size());
    const std::uint64_t hash = hash_of(probe);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.str == nullptr) {
        if (2 * (used_ + 1) > slots_.size()) {
          grow();
          return get(text);
        }
        probe.str = to_str(text).release().ptr();
        slot = probe;
        ++used_;
        return slot.str;
      }
      if (slot.size == probe.size && std::memcmp(slot.key, probe.key, kInline) == 0)
        return slot.str;
    }
  }

 private:
  static constexpr std::size_t kInline = 20;
  struct Slot {
    std::uint32_t size = 0;
    char key[kInline] = {};  // the word's bytes, zero-padded
    PyObject* str = nullptr;
  };

  static std::uint64_t hash_of(const Slot& slot) {
    std::uint64_t a, b;
    std::uint32_t c;
    std::memcpy(&a, slot.key, 8);
    std::memcpy(&b, slot.key + 8, 8);
    std::memcpy(&c, slot.key + 16, 4);
    std::uint64_t h = (a ^ 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    h = (h ^ (h >> 31) ^ b) * 0x94D049BB133111EBull;
    h = (h ^ (h >> 29) ^ c ^ (std::uint64_t{slot.size} << 32)) * 0xBF58476D1CE4E5B9ull;
    return h ^ (h >> 32);
  }

  PyObject* long_text(std::string_view text) {
    auto [it, added] = long_.try_emplace(std::string(text));
    if (added) it->second = to_str(text);
    return it->second.ptr();
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.str == nullptr) continue;
      std::size_t i = hash_of(slot) & mask;
      while (slots_[i].str != nullptr) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::unordered_map<std::string, py::str> long_;
};

}  // namespace kelvra::python
