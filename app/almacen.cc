#include "app/almacen.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string_view>

#include "app/traduce.h"
#include "core/error.h"
#include "core/fs.h"
#include "store/imap/aplicacion_imap.h"
#include "store/maildir/aplicacion_maildir.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {

std::optional<std::string> ubicacion_fijada;

// Where TABLON_TRAZA_IMAP names a file, the IMAP session's commands and completions are
// appended to it, one per line (passwords masked): how a user or a test sees what a pass asked
// of the server.
std::function<void(std::string_view)> TrazaImap() {
  const char* ruta = std::getenv("TABLON_TRAZA_IMAP");
  if (!ruta || !*ruta) return {};
  auto archivo = std::shared_ptr<std::FILE>(std::fopen(ruta, "ae"), [](std::FILE* f) {
    if (f) std::fclose(f);
  });
  if (!archivo) {
    throw Error(errnum::kAccesoARuta, Formatea(Traduce("No se puede abrir la traza IMAP «%s»"), {ruta}));
  }
  return [archivo](std::string_view linea) {
    std::fwrite(linea.data(), 1, linea.size(), archivo.get());
    std::fputc('\n', archivo.get());
    std::fflush(archivo.get());
  };
}

}  // namespace

bool EsAlmacenImap(const std::string& location) { return store::imap::AnalizaUbicacionImap(location).has_value(); }

std::shared_ptr<store::Application> AbreAlmacen(const std::string& location) {
  if (const auto imap = store::imap::AnalizaUbicacionImap(location)) {
    store::imap::OpcionesSesion opciones;
    opciones.traza = TrazaImap();
    // The news servers' deadline (nntp/control.h) bounds the IMAP server's replies too.
    if (const char* ms = std::getenv("TABLON_TIMEOUT_MS"); ms && *ms) {
      char* fin = nullptr;
      const long long v = std::strtoll(ms, &fin, 10);
      if (fin && *fin == '\0' && v > 0) opciones.timeout = std::chrono::milliseconds(v);
    }
    return store::imap::AbreImap(*imap, std::move(opciones));
  }
  const char* d = std::getenv("TABLON_DURABILIDAD");
  const auto durabilidad = d && std::string_view(d) == "elemento" ? store::maildir::Durabilidad::PorElemento
                                                                   : store::maildir::Durabilidad::PorSync;
  return store::maildir::AbreMaildir(location, FsDelPrograma(), durabilidad);
}

void FijaUbicacionAlmacen(std::string location) { ubicacion_fijada = std::move(location); }

std::string UbicacionAlmacen() {
  if (ubicacion_fijada) return *ubicacion_fijada;
  if (const char* s = std::getenv("TABLON_STORE"); s && *s) return s;
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    throw Error(errnum::kArgumentoNoValido,
                Traduce("No se sabe dónde está el almacén: no hay --store, TABLON_STORE ni HOME"));
  }
  return std::string(home) + "/Mail";
}

void IniciaOutlook() {
  auto app = AbreAlmacen(UbicacionAlmacen());
  auto ns = app->GetNamespace("MAPI");
  OutlookApp = std::move(app);
  MapiNameSpace = std::move(ns);
}

}  // namespace tablon
