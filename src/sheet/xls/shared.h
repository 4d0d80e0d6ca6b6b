// Copy-on-write holders, so that a copy of a workbook (a save's snapshot)
// shares every part it does not change with the workbook it came from.
// Reads go through const access; mutate() gives a part of one's own, cloning
// it first when another holder still shares it. Reference counts are atomic:
// a copy may be read and dropped on another thread while this one writes,
// provided that a shared part is never written in place (mutate() sees to it).
#pragma once

#include "sheet/xls/bytes.h"

#include <atomic>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace kestrune::xls {

namespace detail {

// True when `p` is the only holder of its object. A holder released on
// another thread may have read the object just before: the fence orders
// those reads before the writes that follow here.
template <class T>
bool soleHolder(const std::shared_ptr<T>& p) {
  if (p.use_count() != 1) return false;
  std::atomic_thread_fence(std::memory_order_acquire);
  return true;
}

}  // namespace detail

template <class T>
class Shared {
public:
  Shared() : p_(std::make_shared<T>()) {}
  Shared(T value) : p_(std::make_shared<T>(std::move(value))) {}  // NOLINT: holds a T as a T
  Shared& operator=(T value) {
    p_ = std::make_shared<T>(std::move(value));
    return *this;
  }

  const T& get() const { return *p_; }
  const T& operator*() const { return *p_; }
  const T* operator->() const { return p_.get(); }
  operator const T&() const { return *p_; }  // NOLINT: read wherever a const T& is read

  // The container's own reads, for holders of containers.
  auto size() const { return p_->size(); }
  bool empty() const { return p_->empty(); }
  decltype(auto) operator[](std::size_t i) const { return (*p_)[i]; }
  auto begin() const { return p_->cbegin(); }
  auto end() const { return p_->cend(); }

  // The object to write, this holder's own: cloned first when shared.
  T& mutate() {
    if (!detail::soleHolder(p_)) p_ = std::make_shared<T>(std::as_const(*p_));
    return *p_;
  }
  // Whether another holder shares the object (for tests).
  bool shared() const { return p_.use_count() > 1; }

private:
  std::shared_ptr<T> p_;
};

// A sequence in chunks of `ChunkSize` elements, each chunk shared between
// copies until one of them writes to it: copying costs one pointer per
// chunk, appending clones at most the last chunk. Elements never move once
// stored, so references stay valid while the sequence grows.
template <class T, std::size_t ChunkSize>
class ChunkedVector {
public:
  using value_type = T;

  ChunkedVector() = default;
  ChunkedVector(std::vector<T>&& items) {  // NOLINT: takes a vector's elements
    for (T& item : items) push_back(std::move(item));
  }
  ChunkedVector(const std::vector<T>& items) {  // NOLINT: holds a vector's elements
    for (const T& item : items) push_back(item);
  }
  ChunkedVector(std::initializer_list<T> items) {
    for (const T& item : items) push_back(item);
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const T& operator[](std::size_t i) const { return (*chunks_[i / ChunkSize])[i % ChunkSize]; }

  void push_back(T item) {
    if (size_ % ChunkSize == 0) {
      chunks_.push_back(std::make_shared<Chunk>());
      chunks_.back()->reserve(ChunkSize);
    }
    own(chunks_.size() - 1).push_back(std::move(item));
    ++size_;
  }
  // The element to write; its chunk is cloned first when shared.
  T& mutate(std::size_t i) { return own(i / ChunkSize)[i % ChunkSize]; }
  void clear() {
    chunks_.clear();
    size_ = 0;
  }

  class const_iterator {
  public:
    using iterator_category = std::random_access_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;
    reference operator*() const { return (*owner_)[at_]; }
    pointer operator->() const { return &(*owner_)[at_]; }
    const_iterator& operator++() {
      ++at_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++at_;
      return before;
    }
    bool operator==(const const_iterator& other) const { return at_ == other.at_; }

  private:
    friend class ChunkedVector;
    const_iterator(const ChunkedVector* owner, std::size_t at) : owner_(owner), at_(at) {}
    const ChunkedVector* owner_ = nullptr;
    std::size_t at_ = 0;
  };
  using iterator = const_iterator;

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size_); }
  const_iterator cbegin() const { return begin(); }
  const_iterator cend() const { return end(); }

  // How many chunks this sequence shares with a copy (for tests).
  std::size_t sharedChunks() const {
    std::size_t n = 0;
    for (const auto& chunk : chunks_) n += chunk.use_count() > 1 ? 1 : 0;
    return n;
  }

  friend bool operator==(const ChunkedVector& a, const ChunkedVector& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (!(a[i] == b[i])) return false;
    return true;
  }

private:
  using Chunk = std::vector<T>;

  Chunk& own(std::size_t chunk) {
    std::shared_ptr<Chunk>& p = chunks_[chunk];
    if (!detail::soleHolder(p)) {
      auto copy = std::make_shared<Chunk>();
      copy->reserve(ChunkSize);
      copy->insert(copy->end(), p->begin(), p->end());
      p = std::move(copy);
    }
    return *p;
  }

  std::vector<std::shared_ptr<Chunk>> chunks_;
  std::size_t size_ = 0;
};

// A shared byte stream, read wherever bytes are viewed.
class SharedBytes : public Shared<Bytes> {
public:
  using Shared<Bytes>::Shared;
  using Shared<Bytes>::operator=;
  operator ByteView() const { return get(); }  // NOLINT: viewed as the bytes it holds
};

}  // namespace kestrune::xls
