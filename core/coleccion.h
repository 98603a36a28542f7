// An ordered collection of shared object references with optional text keys.
//
// Iteration follows insertion order; members are reached by position (0-based) so that a walk
// may go on while members are appended. Keys compare without regard to letter case (ASCII
// letters; other bytes compare exactly). Adding under a key that is present is refused and
// changes nothing; looking up a missing key yields nullptr, never an error. Nothing here throws
// beyond std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/ascii.h"
#include "core/bloque_textos.h"
#include "core/huella.h"

namespace tablon {

template <class T>
class Coleccion {
 public:
  // Appends `member` under `key`. Returns false, changing nothing, when the key is present.
  bool Add(std::shared_ptr<T> member, std::string_view key) {
    const std::uint32_t h = Dispersa(key);
    if (Busca(key, h) != kNinguno) return false;  // nothing stored for a refused member
    Crece(members_.size() + 1);
    Inserta(members_.size(), h);
    claves_.push_back(textos_.Guarda(key));
    hashes_.push_back(h);
    members_.push_back(std::move(member));
    return true;
  }
  // Appends without a key (always succeeds).
  void AddSinClave(std::shared_ptr<T> member) {
    claves_.emplace_back();
    hashes_.push_back(0);
    members_.push_back(std::move(member));
  }

  // The member under `key` (letter case ignored), or nullptr.
  std::shared_ptr<T> Miembro(std::string_view key) const {
    const size_t i = Busca(key, Dispersa(key));
    return i == kNinguno ? nullptr : members_[i];
  }
  bool Contiene(std::string_view key) const { return Busca(key, Dispersa(key)) != kNinguno; }

  size_t size() const noexcept { return members_.size(); }
  bool empty() const noexcept { return members_.empty(); }
  const std::shared_ptr<T>& operator[](size_t i) const { return members_[i]; }
  void reserve(size_t n) {
    members_.reserve(n);
    claves_.reserve(n);
    hashes_.reserve(n);
    Crece(n);
  }

  auto begin() const { return members_.begin(); }
  auto end() const { return members_.end(); }

 private:
  // The index: open addressing over a power-of-two table of member positions + 1 (0: free),
  // at most 70% full; the keys themselves live in one block store, each member's key and hash
  // beside it. About a third of the memory of a node-based hash map, and no allocation per key.
  static constexpr size_t kNinguno = static_cast<size_t>(-1);

  // FNV-1a over the ASCII-folded bytes, folded to 32 bits.
  static std::uint32_t Dispersa(std::string_view key) {
    const std::uint64_t h = Fnv1aSinCaso(key);
    return static_cast<std::uint32_t>(h ^ (h >> 32));
  }
  size_t Busca(std::string_view key, std::uint32_t h) const {
    if (tabla_.empty()) return kNinguno;
    const size_t mascara = tabla_.size() - 1;
    for (size_t p = h & mascara;; p = (p + 1) & mascara) {
      const std::uint32_t v = tabla_[p];
      if (v == 0) return kNinguno;
      const size_t i = v - 1;
      if (hashes_[i] == h && IgualSinCaso(claves_[i], key)) return i;
    }
  }
  void Inserta(size_t i, std::uint32_t h) {
    const size_t mascara = tabla_.size() - 1;
    size_t p = h & mascara;
    while (tabla_[p] != 0) p = (p + 1) & mascara;
    tabla_[p] = static_cast<std::uint32_t>(i + 1);
  }
  // Makes room for `n` keyed members.
  void Crece(size_t n) {
    if (n * 10 <= tabla_.size() * 7) return;
    size_t tam = 16;
    while (n * 10 > tam * 7) tam *= 2;
    tabla_.assign(tam, 0);
    for (size_t i = 0; i < members_.size(); ++i) {
      if (claves_[i].data() != nullptr) Inserta(i, hashes_[i]);
    }
  }

  std::vector<std::shared_ptr<T>> members_;
  std::vector<std::string_view> claves_;  // into textos_; a null view for a member without key
  std::vector<std::uint32_t> hashes_;
  std::vector<std::uint32_t> tabla_;
  BloqueTextos textos_;
};

}  // namespace tablon
