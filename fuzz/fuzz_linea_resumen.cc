// An overview line as a server may send it (any bytes) cut into a message's fields.
#include <cstdint>
#include <string_view>

#include "core/fecha.h"
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
  // Its fourth field is the article's date: when read, it lies within the calendar.
  std::string_view fecha = linea;
  for (int i = 0; i < 3; ++i) {
    const size_t tab = fecha.find('\t');
    fecha = tab == std::string_view::npos ? std::string_view() : fecha.substr(tab + 1);
  }
  fecha = fecha.substr(0, fecha.find('\t'));
  if (auto f = tablon::LeeFechaRfc5322(fecha)) {
    const int anio = f->Partes().anio;
    if (anio < 1900 || anio > 9999) __builtin_trap();
  }
  return 0;
}
