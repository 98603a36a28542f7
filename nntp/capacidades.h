// The server's capability list (RFC 3977 §5.2): what CAPABILITIES answered, asked again after
// MODE READER, STARTTLS and authentication because each may change it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tablon::nntp {

class Capacidades {
 public:
  Capacidades() = default;
  // From the lines of a 101 block; labels are compared without regard to letter case.
  explicit Capacidades(const std::vector<std::string>& lineas);

  // The server sent a list (a server without CAPABILITIES has none, which says nothing).
  bool Conocidas() const { return conocidas_; }
  bool Tiene(std::string_view etiqueta) const;
  bool TieneArgumento(std::string_view etiqueta, std::string_view argumento) const;

 private:
  struct Linea {
    std::string etiqueta;
    std::vector<std::string> argumentos;
  };
  const Linea* Busca(std::string_view etiqueta) const;

  bool conocidas_ = false;
  std::vector<Linea> lineas_;
};

}  // namespace tablon::nntp
