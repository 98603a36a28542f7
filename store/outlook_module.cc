#include "store/outlook_module.h"

#include <cstdlib>
#include <optional>

#include "core/error.h"

namespace tablon {

std::shared_ptr<store::Application> OutlookApp;
std::shared_ptr<store::Namespace> MapiNameSpace;

namespace {
std::optional<std::string> ubicacion_fijada;
}

void FijaUbicacionAlmacen(std::string location) { ubicacion_fijada = std::move(location); }

std::string UbicacionAlmacen() {
  if (ubicacion_fijada) return *ubicacion_fijada;
  if (const char* s = std::getenv("TABLON_STORE"); s && *s) return s;
  const char* home = std::getenv("HOME");
  if (!home || !*home) {
    throw Error(errnum::kArgumentoNoValido,
                "No se sabe dónde está el almacén: no hay --store, TABLON_STORE ni HOME");
  }
  return std::string(home) + "/Mail";
}

void IniciaOutlook() {
  auto app = store::AbreAlmacen(UbicacionAlmacen());
  auto ns = app->GetNamespace("MAPI");
  OutlookApp = std::move(app);
  MapiNameSpace = std::move(ns);
}

std::shared_ptr<store::Folder> BuscaOCreaCarpeta(store::Folder& parent, const std::string& name) {
  for (auto& f : parent.Folders()) {
    if (f->Name() == name) return f;
  }
  return parent.AddFolder(name);
}

}  // namespace tablon
