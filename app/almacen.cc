#include "app/almacen.h"

#include <strings.h>

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
// Where IniciaOutlook opened the store last, as CarpetaNews names it.
std::string ubicacion_abierta;

bool EsLetra(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }


// The location as an error names it: the password of a "USER:PASSWORD@" after the scheme masked.
std::string SinContrasena(std::string texto, std::size_t inicio) {
  inicio = texto.find_first_not_of(":/", inicio);
  if (inicio == std::string::npos) return texto;
  const std::size_t arroba = texto.rfind('@', texto.find('/', inicio));
  const std::size_t dos_puntos = texto.find(':', inicio);
  if (arroba != std::string::npos && arroba > inicio && dos_puntos < arroba) {
    texto.replace(dos_puntos + 1, arroba - dos_puntos - 1, "********");
  }
  return texto;
}

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

void CompruebaUbicacionAlmacen(const std::string& location) {
  if (store::imap::AnalizaUbicacionImap(location)) return;
  // The leading scheme: a letter, then letters, digits, "+", "-" or ".".
  std::size_t fin = 0;
  if (!location.empty() && EsLetra(location[0])) {
    fin = 1;
    while (fin < location.size() && (EsLetra(location[fin]) || (location[fin] >= '0' && location[fin] <= '9') ||
                                     location[fin] == '+' || location[fin] == '-' || location[fin] == '.')) {
      ++fin;
    }
  }
  const std::string esquema = location.substr(0, fin);
  const std::string_view tras = std::string_view(location).substr(fin);
  const bool imap = ::strcasecmp(esquema.c_str(), "imap") == 0 || ::strcasecmp(esquema.c_str(), "imaps") == 0;
  if (!(fin > 0 && tras.starts_with(":/")) && !(imap && (tras.starts_with(":") || tras.starts_with("//")))) return;
  const std::string legible = SinContrasena(location, fin);
  const std::string motivo = imap ? std::string(Traduce("parece una dirección IMAP mal escrita"))
                                  : Formatea(Traduce("«%s:» no es un tipo de almacén"), {esquema});
  throw Error(errnum::kArgumentoNoValido,
              Formatea(Traduce("La ubicación del almacén «%s» no es válida: %s. Una cuenta IMAP se escribe "
                               "imap://USUARIO@SERVIDOR[:PUERTO][/PREFIJO] o imaps://…, y un directorio Maildir "
                               "como ruta (escriba «./%s» si de verdad se llama así)"),
                       {legible, motivo, legible}));
}

std::shared_ptr<store::Application> AbreAlmacen(const std::string& location, bool crea) {
  CompruebaUbicacionAlmacen(location);
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
  // A mistyped path is not made into an empty store: only `add-server` creates one.
  if (!crea && !location.empty() && !Existe(*FsDelPrograma(), location)) {
    throw Error(errnum::kArchivoNoEncontrado,
                Formatea(Traduce("El almacén «%s» no existe: «tablon add-server SERVIDOR» lo crea con la definición "
                                 "del servidor"),
                         {location}));
  }
  return store::maildir::AbreMaildir(location, FsDelPrograma(), durabilidad);
}

void FijaUbicacionAlmacen(std::string location) {
  CompruebaUbicacionAlmacen(location);
  ubicacion_fijada = std::move(location);
}

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

void IniciaOutlook(bool crea_almacen) {
  std::string ubicacion = UbicacionAlmacen();
  auto app = AbreAlmacen(ubicacion, crea_almacen);
  auto ns = app->GetNamespace("MAPI");
  OutlookApp = std::move(app);
  MapiNameSpace = std::move(ns);
  ubicacion_abierta = std::move(ubicacion);
}

std::shared_ptr<store::Folder> CarpetaNews() {
  for (const auto& f : MapiNameSpace->Folders()) {
    if (f->Name() == "news") return f;
  }
  throw Error(errnum::kObjetoNoEncontrado,
              Formatea(Traduce("El almacén «%s» no tiene la carpeta «news»: defina primero un servidor con "
                               "«tablon add-server SERVIDOR»"),
                       {ubicacion_abierta}));
}

void CompruebaAlmacenLocal() {
  if (EsAlmacenImap(UbicacionAlmacen())) return;
  IniciaOutlook();
  CarpetaNews();
}

}  // namespace tablon
