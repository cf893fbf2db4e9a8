#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace mirelo {

// A set of texts that live elsewhere, for the large name sets of archive vetting: open
// addressing with linear probing in one flat table, so that 100,000 names cost no
// allocation each. The texts must outlive the set.
class StringViewSet {
 public:
  explicit StringViewSet(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity *= 2;
    slots_.resize(capacity);
    texts_.reserve(expected);
  }

  // Adds `text`; false when an equal text is already there.
  bool insert(std::string_view text) {
    if ((texts_.size() + 1) * 2 > slots_.size()) grow();
    const size_t hash = std::hash<std::string_view>{}(text);
    Slot* slot = find(text, hash);
    if (slot->entry != 0) return false;
    texts_.push_back(text);
    *slot = Slot{tag(hash), static_cast<uint32_t>(texts_.size())};
    return true;
  }

  bool contains(std::string_view text) const {
    return const_cast<StringViewSet*>(this)->find(text, std::hash<std::string_view>{}(text))->entry != 0;
  }

 private:
  // Eight bytes a slot keep the table small enough to stay in the caches: a tag from the
  // hash's upper bits, and the position of the text plus one (0 marks a free slot).
  struct Slot {
    uint32_t tag = 0;
    uint32_t entry = 0;
  };

  static uint32_t tag(size_t hash) { return static_cast<uint32_t>(hash >> 32); }

  // The slot that holds `text`, or the free slot where it belongs.
  Slot* find(std::string_view text, size_t hash) {
    const size_t mask = slots_.size() - 1;
    const uint32_t wanted = tag(hash);
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.entry == 0) return &slot;
      if (slot.tag == wanted && texts_[slot.entry - 1] == text) return &slot;
    }
  }

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (size_t entry = 0; entry < texts_.size(); ++entry) {
      const size_t hash = std::hash<std::string_view>{}(texts_[entry]);
      size_t i = hash & mask;
      while (slots_[i].entry != 0) i = (i + 1) & mask;
      slots_[i] = Slot{tag(hash), static_cast<uint32_t>(entry + 1)};
    }
  }

  std::vector<Slot> slots_;
  std::vector<std::string_view> texts_;
};

}  // namespace mirelo
