// Many texts kept in a few large blocks of memory, without one allocation (and its overhead)
// per text: the lines of a long reply (a group's overview), the keys of a large collection. A
// text is stored whole inside one block; blocks grow from 4 KiB to 1 MiB (a few texts cost
// little), and a longer text gets a block of its own. A stored text never moves. Nothing here
// fails except by std::bad_alloc.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace tablon {

class BloqueTextos {
 public:
  // Stores a copy of `texto` and returns it; valid until clear() or until this object goes.
  std::string_view Guarda(std::string_view texto) {
    if (libre_ < texto.size() || bloques_.empty()) {
      const size_t tam = std::max(siguiente_, texto.size());
      siguiente_ = std::min(siguiente_ * 2, kBloque);
      bloques_.push_back(std::make_unique_for_overwrite<char[]>(tam));
      actual_ = bloques_.back().get();
      libre_ = tam;
    }
    if (!texto.empty()) std::memcpy(actual_, texto.data(), texto.size());
    const std::string_view guardado(actual_, texto.size());
    actual_ += texto.size();
    libre_ -= texto.size();
    return guardado;
  }
  // Drops every text and gives their memory back.
  void clear() {
    bloques_.clear();
    actual_ = nullptr;
    libre_ = 0;
    siguiente_ = kPrimerBloque;
  }

 private:
  static constexpr size_t kPrimerBloque = size_t{4} << 10;
  static constexpr size_t kBloque = size_t{1} << 20;
  std::vector<std::unique_ptr<char[]>> bloques_;
  char* actual_ = nullptr;
  size_t libre_ = 0;
  size_t siguiente_ = kPrimerBloque;
};

// Lines kept in a BloqueTextos, in order.
class LineasGuardadas {
 public:
  size_t size() const { return lineas_.size(); }
  bool empty() const { return lineas_.empty(); }
  std::string_view operator[](size_t i) const { return lineas_[i]; }
  void reserve(size_t n) { lineas_.reserve(n); }
  void push_back(std::string_view linea) { lineas_.push_back(textos_.Guarda(linea)); }
  // Drops every line and gives their memory back.
  void clear() {
    std::vector<std::string_view>().swap(lineas_);
    textos_.clear();
  }

 private:
  BloqueTextos textos_;
  std::vector<std::string_view> lineas_;
};

}  // namespace tablon
