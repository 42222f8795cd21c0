// A large list handed out again and again while only a few of its items change: the
// items live in fixed-size immutable chunks shared between the copies, so publishing a
// new version rebuilds only the chunks that changed and copies a handful of pointers.
#pragma once

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <memory>
#include <set>
#include <vector>

namespace tessel {

// An immutable list of T; cheap to copy, safe to read from any thread.
template <typename T>
class ChunkedList {
 public:
  using Chunk = std::vector<T>;

  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    Iterator() = default;
    Iterator(const std::vector<std::shared_ptr<const Chunk>>* chunks, size_t chunk)
        : chunks_(chunks), chunk_(chunk) {
      skipEmpty();
    }
    reference operator*() const { return (*(*chunks_)[chunk_])[item_]; }
    pointer operator->() const { return &**this; }
    Iterator& operator++() {
      ++item_;
      skipEmpty();
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    bool operator==(const Iterator& other) const {
      return chunk_ == other.chunk_ && item_ == other.item_;
    }

   private:
    void skipEmpty() {
      while (chunk_ < chunks_->size() && item_ >= (*chunks_)[chunk_]->size()) {
        ++chunk_;
        item_ = 0;
      }
    }
    const std::vector<std::shared_ptr<const Chunk>>* chunks_ = nullptr;
    size_t chunk_ = 0;
    size_t item_ = 0;
  };

  ChunkedList() = default;
  ChunkedList(std::vector<std::shared_ptr<const Chunk>> chunks, size_t size)
      : chunks_(std::move(chunks)), size_(size) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  Iterator begin() const { return Iterator(&chunks_, 0); }
  Iterator end() const { return Iterator(&chunks_, chunks_.size()); }
  // This list's items, then `other`'s; shares both lists' chunks.
  ChunkedList joined(const ChunkedList& other) const {
    std::vector<std::shared_ptr<const Chunk>> chunks = chunks_;
    chunks.insert(chunks.end(), other.chunks_.begin(), other.chunks_.end());
    return ChunkedList(std::move(chunks), size_ + other.size_);
  }
  // Whether both lists share every chunk: nothing changed between them.
  bool sharesChunksWith(const ChunkedList& other) const { return chunks_ == other.chunks_; }

 private:
  std::vector<std::shared_ptr<const Chunk>> chunks_;
  size_t size_ = 0;
};

// Keeps the published chunks of a vector that its owner changes in place. The owner
// reports every position it changed; `publish` rebuilds just their chunks. Not
// thread-safe: it belongs to the owner's state, under the owner's lock.
template <typename T, size_t chunkSize = 1024>
class ChunkedPublisher {
 public:
  void changed(size_t position) { dirty_.insert(position / chunkSize); }
  // After an edit that moved items (removals): every chunk is rebuilt.
  void changedAll() { everything_ = true; }

  ChunkedList<T> publish(const std::vector<T>& items) {
    const size_t count = (items.size() + chunkSize - 1) / chunkSize;
    if (everything_ || chunks_.size() != count) {
      // Chunks past the old end are new, and a shrunk list moved items.
      for (size_t chunk = everything_ || count < chunks_.size() ? 0 : chunks_.size(); chunk < count;
           ++chunk) {
        dirty_.insert(chunk);
      }
      chunks_.resize(count);
    }
    for (size_t chunk : dirty_) {
      if (chunk >= count) continue;
      const auto first = items.begin() + static_cast<std::ptrdiff_t>(chunk * chunkSize);
      const auto last = items.begin() + static_cast<std::ptrdiff_t>(
                                            std::min(items.size(), (chunk + 1) * chunkSize));
      chunks_[chunk] = std::make_shared<const std::vector<T>>(first, last);
    }
    dirty_.clear();
    everything_ = false;
    return ChunkedList<T>(chunks_, items.size());
  }

 private:
  std::vector<std::shared_ptr<const std::vector<T>>> chunks_;
  std::set<size_t> dirty_;
  bool everything_ = true;
};

}  // namespace tessel
