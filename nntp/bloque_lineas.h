// Many text lines kept in a few large blocks of memory: the lines of a long reply (a group's
// overview) without one allocation, and its overhead, per line. A line is stored whole inside
// one block; a block holds up to 1 MiB of lines, and a longer line gets a block of its own.
// Nothing here fails except by std::bad_alloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tablon::nntp {

class BloqueLineas {
 public:
  size_t size() const { return lineas_.size(); }
  bool empty() const { return lineas_.empty(); }
  // The line at `i` (< size()); valid until clear() or until this object goes.
  std::string_view operator[](size_t i) const { return lineas_[i]; }

  void reserve(size_t n) { lineas_.reserve(n); }
  void push_back(std::string_view linea) {
    if (libre_ < linea.size() || bloques_.empty()) {
      const size_t tam = std::max(kBloque, linea.size());
      bloques_.push_back(std::make_unique_for_overwrite<char[]>(tam));
      actual_ = bloques_.back().get();
      libre_ = tam;
    }
    if (!linea.empty()) std::memcpy(actual_, linea.data(), linea.size());
    lineas_.emplace_back(actual_, linea.size());
    actual_ += linea.size();
    libre_ -= linea.size();
  }
  // Drops every line and gives their memory back.
  void clear() {
    std::vector<std::string_view>().swap(lineas_);
    bloques_.clear();
    actual_ = nullptr;
    libre_ = 0;
  }

 private:
  static constexpr size_t kBloque = size_t{1} << 20;
  std::vector<std::unique_ptr<char[]>> bloques_;
  std::vector<std::string_view> lineas_;
  char* actual_ = nullptr;
  size_t libre_ = 0;
};

}  // namespace tablon::nntp
