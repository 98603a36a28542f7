#include "app/comandos.h"

#include <fnmatch.h>

#include <cstdio>
#include <filesystem>

#include "app/bloqueo.h"
#include "app/pantallas.h"
#include "core/error.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {

// The server record of `host` read from its state file, detached from the store.
std::unique_ptr<ServidorNews> LeeServidor(const std::string& host) {
  CompruebaHost(host);
  auto servidor = std::make_unique<ServidorNews>();
  servidor->host(host);
  servidor->filename(DirectorioServidores() + host + ".txt");
  if (!std::filesystem::exists(servidor->filename())) {
    throw Error(errnum::kArchivoNoEncontrado, "No hay archivo de estado para el servidor «" + host + "» (" +
                                                  servidor->filename() +
                                                  "): ejecute antes una pasada para obtener su lista de grupos");
  }
  servidor->load();
  return servidor;
}

}  // namespace

void ComandoAddServer(const std::string& host) {
  CompruebaHost(host);
  IniciaOutlook();
  std::shared_ptr<store::Folder> news;
  for (const auto& f : MapiNameSpace->Folders()) {
    if (f->Name() == "news") news = f;
  }
  if (!news) news = MapiNameSpace->AddFolder("news");
  for (const auto& item : news->Items()) {
    const store::UserProperty* p = item->UserProperties().Find(kPropServidor);
    if (p && p->AsText() == host) {
      std::printf("El servidor «%s» ya está definido en %s/news\n", host.c_str(), UbicacionAlmacen().c_str());
      return;
    }
  }
  std::shared_ptr<store::Item> post = OutlookApp->CreateItem(0);
  post->SetMessageClass(kClaseServidor);
  post->SetSubject(host);
  post->UserProperties().Add(kPropServidor, store::TipoPropiedad::Texto, true).SetValue(host);
  post->Move(*news);
  OutlookApp->Sync();
  std::printf("Servidor «%s» añadido en %s/news\n", host.c_str(), UbicacionAlmacen().c_str());
}

void ComandoGroups(const std::string& host, const std::string& patron) {
  std::unique_ptr<ServidorNews> servidor = LeeServidor(host);
  size_t mostrados = 0, subscritos = 0;
  for (const auto& g : *servidor->grupos()) {
    if (!patron.empty() && ::fnmatch(patron.c_str(), g->Nombre().c_str(), 0) != 0) continue;
    // Names come from the server: none reaches the terminal as a control sequence.
    std::printf("%s %s\n", g->Subscrito() ? "X" : " ", TextoVisible(g->Nombre()).c_str());
    ++mostrados;
    subscritos += g->Subscrito();
  }
  std::printf("%zu grupos, %zu subscritos\n", mostrados, subscritos);
}

void ComandoSubscribe(const std::string& host, const std::vector<std::string>& grupos, bool subscribe) {
  Bloqueo bloqueo(DirectorioServidores());
  std::unique_ptr<ServidorNews> servidor = LeeServidor(host);
  std::string desconocidos;
  for (const auto& nombre : grupos) {
    if (!servidor->grupos()->Contains(nombre)) desconocidos += (desconocidos.empty() ? "" : ", ") + nombre;
  }
  if (!desconocidos.empty()) {
    throw Error(errnum::kObjetoNoEncontrado, "El servidor «" + host + "» no tiene estos grupos: " + desconocidos +
                                                 ". No se ha cambiado nada (vea «tablon groups " + host + "»)");
  }
  for (const auto& nombre : grupos) {
    std::shared_ptr<GrupoNews> g = servidor->grupos()->Find(nombre);
    const bool antes = g->Subscrito();
    g->Subscrito(subscribe);
    if (antes == subscribe) {
      std::printf("%s ya estaba %s\n", TextoVisible(g->Nombre()).c_str(), subscribe ? "subscrito" : "sin subscribir");
    } else {
      std::printf("%s: %s\n", TextoVisible(g->Nombre()).c_str(), subscribe ? "subscrito" : "subscripción anulada");
    }
  }
  servidor->save();
}

}  // namespace tablon
