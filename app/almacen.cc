#include "app/almacen.h"

#include <cstdlib>
#include <optional>
#include <string_view>

#include "app/traduce.h"
#include "core/error.h"
#include "core/fs.h"
#include "store/maildir/aplicacion_maildir.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {
std::optional<std::string> ubicacion_fijada;
}

std::shared_ptr<store::Application> AbreAlmacen(const std::string& location) {
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
