#include "text/cadena.h"

namespace tablon {

void SeparaCadena(std::string_view source, std::string_view separator, std::string_view& head,
                  std::string_view& rest) noexcept {
  const size_t p = source.find(separator);
  if (p == std::string_view::npos) {
    head = source;
    rest = std::string_view();
    return;
  }
  head = source.substr(0, p);
  rest = source.substr(p + separator.size());
}

void SeparaCadena(const std::string& source, std::string_view separator, std::string& head,
                  std::string& rest) {
  const size_t p = source.find(separator);
  if (p == std::string::npos) {
    head = source;
    rest.clear();
    return;
  }
  head.assign(source, 0, p);
  // `rest` may be `source`: erase the consumed part in place.
  if (&rest == &source) {
    rest.erase(0, p + separator.size());
  } else {
    rest.assign(source, p + separator.size());
  }
}

}  // namespace tablon
