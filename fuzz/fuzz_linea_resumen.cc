// An overview line as a server may send it (any bytes) cut into a message's fields.
#include <cstdint>
#include <string_view>

#include "news/grupo_news.h"
#include "news/message_news.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view linea(reinterpret_cast<const char*>(data), size);
  tablon::MessageNews m;
  tablon::GrupoNews::LeeLineaResumen(linea, m);
  // Every text field is a piece of the line: never longer than it, never holding a TAB.
  for (const std::string* campo : {&m.subject, &m.Autor, &m.id, &m.referencias}) {
    if (campo->size() > size || campo->find('\t') != std::string::npos) __builtin_trap();
  }
  return 0;
}
