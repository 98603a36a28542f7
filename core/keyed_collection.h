// An ordered collection of shared object references with optional text keys.
//
// Iteration follows insertion order; members are reached by position (0-based) so that a walk
// may go on while members are appended. Keys compare without regard to letter case (ASCII
// letters; other bytes compare exactly). Adding under a key that is present is refused and
// changes nothing; looking up a missing key yields nullptr, never an error. Nothing here throws
// beyond std::bad_alloc.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tablon {

namespace detail {
struct HashSinCaso {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept {
    // FNV-1a over the ASCII-folded bytes.
    size_t h = 1469598103934665603ull;
    for (unsigned char c : s) {
      if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c + 32);
      h = (h ^ c) * 1099511628211ull;
    }
    return h;
  }
};
struct IgualSinCaso {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
      if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
      if (x != y) return false;
    }
    return true;
  }
};
}  // namespace detail

template <class T>
class KeyedCollection {
 public:
  // Appends `member` under `key`. Returns false, changing nothing, when the key is present.
  bool Add(std::shared_ptr<T> member, std::string_view key) {
    if (index_.find(key) != index_.end()) return false;  // no key copy for a refused member
    index_.emplace(std::string(key), members_.size());
    members_.push_back(std::move(member));
    return true;
  }
  // Appends without a key (always succeeds).
  void AddSinClave(std::shared_ptr<T> member) { members_.push_back(std::move(member)); }

  // The member under `key` (letter case ignored), or nullptr.
  std::shared_ptr<T> Find(std::string_view key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : members_[it->second];
  }
  bool Contains(std::string_view key) const { return index_.find(key) != index_.end(); }

  size_t size() const noexcept { return members_.size(); }
  bool empty() const noexcept { return members_.empty(); }
  const std::shared_ptr<T>& operator[](size_t i) const { return members_[i]; }
  void reserve(size_t n) {
    members_.reserve(n);
    index_.reserve(n);
  }

  auto begin() const { return members_.begin(); }
  auto end() const { return members_.end(); }

 private:
  std::vector<std::shared_ptr<T>> members_;
  std::unordered_map<std::string, size_t, detail::HashSinCaso, detail::IgualSinCaso> index_;
};

}  // namespace tablon
