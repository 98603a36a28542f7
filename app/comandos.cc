#include "app/comandos.h"

#include <arpa/inet.h>
#include <fnmatch.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <utility>

#include "app/almacen.h"
#include "app/bloqueo.h"
#include "app/pantallas.h"
#include "core/error.h"
#include "core/fs.h"
#include "news/servidor_news.h"
#include "nntp/direccion.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {

// "a", "a y b", "a, b y c".
std::string Enumera(const std::vector<std::string>& v) {
  std::string r;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i > 0) r += i + 1 == v.size() ? " y " : ", ";
    r += v[i];
  }
  return r;
}

// The store's "news" folder, or nullptr when the store or the folder does not exist (nothing is
// created: the store is opened only when its directory is there).
std::shared_ptr<store::Folder> CarpetaNews() {
  if (!EsDirectorio(*FsDelPrograma(), UbicacionAlmacen())) return nullptr;
  IniciaOutlook();
  for (const auto& f : MapiNameSpace->Folders()) {
    if (f->Name() == "news") return f;
  }
  return nullptr;
}

// The host text of a server-definition post, or nullopt for an item that is none.
std::optional<std::string> HostDe(const store::Item& item) {
  const store::UserProperty* p = item.UserProperties().Find(kPropServidor);
  if (!p) return std::nullopt;
  return p->ComoTexto();
}

std::vector<std::shared_ptr<store::Item>> Definiciones(store::Folder& news, const std::string& host) {
  std::vector<std::shared_ptr<store::Item>> r;
  for (const auto& item : news.Items()) {
    const std::optional<std::string> h = HostDe(std::as_const(*item));
    if (h && *h == host) r.push_back(item);
  }
  return r;
}

bool Definido(const std::string& host) {
  std::shared_ptr<store::Folder> news = CarpetaNews();
  return news && !Definiciones(*news, host).empty();
}

// The server record of `host` read from its state file, detached from the store.
std::unique_ptr<ServidorNews> LeeServidor(const std::string& host) {
  CompruebaHost(host);
  auto servidor = std::make_unique<ServidorNews>();
  servidor->host(host);
  servidor->filename(DirectorioServidores() + host + ".txt");
  if (!Existe(*FsDelPrograma(), servidor->filename())) {
    if (!Definido(host)) {
      throw Error(errnum::kObjetoNoEncontrado, "El servidor «" + host + "» no está definido: añádalo con «tablon add-server " +
                                                   host + "» y ejecute una pasada («tablon») para obtener su lista de grupos");
    }
    throw Error(errnum::kArchivoNoEncontrado, "Aún no hay lista de grupos del servidor «" + host + "» (" +
                                                  servidor->filename() +
                                                  "): ejecute antes una pasada («tablon») para obtenerla");
  }
  servidor->load();
  return servidor;
}

// A command: its name, its arguments as the usage line shows them, what each required argument
// is (for "falta ..."), and how many arguments it takes at most (0: no limit).
struct Orden {
  const char* nombre;
  const char* argumentos;
  std::vector<std::string> requeridos;
  std::size_t maximo;
};

const std::vector<Orden>& Ordenes() {
  static const std::vector<Orden> ordenes = {
      {"add-server", "SERVIDOR   (nombre, nombre:puerto o [dirección IPv6]:puerto)", {"el servidor"}, 1},
      {"remove-server", "SERVIDOR", {"el servidor"}, 1},
      {"groups", "SERVIDOR [PATRÓN]", {"el servidor"}, 2},
      {"subscribe", "SERVIDOR GRUPO...", {"el servidor", "el grupo"}, 0},
      {"unsubscribe", "SERVIDOR GRUPO...", {"el servidor", "el grupo"}, 0},
  };
  return ordenes;
}

// Checks the number of arguments of `orden` (`args` without the command word).
void CompruebaArgumentos(const Orden& orden, const std::vector<std::string>& args) {
  if (args.size() < orden.requeridos.size()) {
    const std::vector<std::string> faltan(orden.requeridos.begin() + static_cast<long>(args.size()),
                                          orden.requeridos.end());
    throw ErrorDeUso(std::string(faltan.size() == 1 ? "falta " : "faltan ") + Enumera(faltan));
  }
  if (orden.maximo != 0 && args.size() > orden.maximo) {
    std::vector<std::string> sobran;
    for (std::size_t i = orden.maximo; i < args.size(); ++i) sobran.push_back("«" + TextoVisible(args[i]) + "»");
    throw ErrorDeUso(std::string(sobran.size() == 1 ? "sobra " : "sobran ") + Enumera(sobran));
  }
}

}  // namespace

int EjecutaOrden(const std::vector<std::string>& args) {
  const Orden* orden = nullptr;
  for (const Orden& o : Ordenes()) {
    if (args.at(0) == o.nombre) orden = &o;
  }
  if (!orden) {
    std::vector<std::string> nombres;
    for (const Orden& o : Ordenes()) nombres.emplace_back(o.nombre);
    std::fflush(stdout);
    std::fprintf(stderr, "tablon: «%s» no es una orden; las órdenes son %s (vea «tablon --help»)\n",
                 TextoVisible(args[0]).c_str(), Enumera(nombres).c_str());
    return kSalidaUsoOrden;
  }
  const std::vector<std::string> resto(args.begin() + 1, args.end());
  try {
    CompruebaArgumentos(*orden, resto);
    const std::string nombre = orden->nombre;
    if (nombre == "add-server") {
      ComandoAddServer(resto[0]);
    } else if (nombre == "remove-server") {
      ComandoRemoveServer(resto[0]);
    } else if (nombre == "groups") {
      ComandoGroups(resto[0], resto.size() > 1 ? resto[1] : "");
    } else {
      ComandoSubscribe(resto[0], std::vector<std::string>(resto.begin() + 1, resto.end()), nombre == "subscribe");
    }
  } catch (const ErrorDeUso& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "tablon %s: %s\nUso: tablon %s %s\n", orden->nombre, e.what(), orden->nombre, orden->argumentos);
    return kSalidaUsoOrden;
  }
  return 0;
}

void CompruebaHostNuevo(const std::string& host) {
  auto rechaza = [&](const std::string& motivo) {
    throw ErrorDeUso("el servidor «" + TextoVisible(host) + "» no es válido: " + motivo);
  };
  if (host.empty()) rechaza("está vacío");
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) rechaza("contiene blancos o caracteres de control");
    if (c == '/') rechaza("contiene «/»");
  }
  nntp::Direccion d;
  try {
    d = nntp::AnalizaHost(host);
  } catch (const Error& e) {
    // The parser's reason, without its own "Host no válido "...": " lead.
    const std::string lead = "Host no válido \"" + host + "\": ";
    const std::string& texto = e.Description();
    rechaza(texto.rfind(lead, 0) == 0 ? texto.substr(lead.size()) : texto);
  }
  if (d.nombre.find(':') != std::string::npos) {
    // An IPv6 literal; a zone ("fe80::1%eth0") is for the resolver, not for inet_pton.
    const std::string direccion = d.nombre.substr(0, d.nombre.find('%'));
    in6_addr a{};
    if (::inet_pton(AF_INET6, direccion.c_str(), &a) != 1) rechaza("«" + d.nombre + "» no es una dirección IPv6");
  } else if (host.front() == '[') {
    rechaza("entre corchetes solo puede ir una dirección IPv6");
  } else {
    for (char c : d.nombre) {
      const bool bien = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
      if (!bien) rechaza("un nombre de servidor solo lleva letras sin acentos, cifras, «-», «_» y «.»");
    }
    const std::string sin_punto_final = d.nombre.back() == '.' ? d.nombre.substr(0, d.nombre.size() - 1) : d.nombre;
    if (sin_punto_final.empty() || sin_punto_final.front() == '.' || sin_punto_final.back() == '.' ||
        sin_punto_final.find("..") != std::string::npos) {
      rechaza("tiene una parte vacía entre puntos");
    }
  }
  // What the pass checks before it names a file and a folder after the host.
  try {
    CompruebaHost(host);
  } catch (const Error& e) {
    throw ErrorDeUso(TextoVisible(e.Description()));
  }
}

void ComandoAddServer(const std::string& host) {
  CompruebaHostNuevo(host);
  IniciaOutlook();
  std::shared_ptr<store::Folder> news;
  for (const auto& f : MapiNameSpace->Folders()) {
    if (f->Name() == "news") news = f;
  }
  if (!news) news = MapiNameSpace->AddFolder("news");
  if (!Definiciones(*news, host).empty()) {
    std::printf("El servidor «%s» ya está definido en %s/news\n", host.c_str(), UbicacionAlmacen().c_str());
    return;
  }
  std::shared_ptr<store::Item> post = OutlookApp->CreateItem(0);
  post->SetMessageClass(kClaseServidor);
  post->SetSubject(host);
  post->UserProperties().Add(kPropServidor, store::TipoPropiedad::Texto, true).SetValue(host);
  post->Move(*news);
  OutlookApp->Sync();
  std::printf("Servidor «%s» añadido en %s/news\n", host.c_str(), UbicacionAlmacen().c_str());
}

void ComandoRemoveServer(const std::string& host) {
  // A pass reads the definitions at its start: none is removed while one runs. Without the
  // servers directory no pass has run there.
  std::optional<Bloqueo> bloqueo;
  if (EsDirectorio(*FsDelPrograma(), DirectorioServidores())) bloqueo.emplace(DirectorioServidores());

  std::shared_ptr<store::Folder> news = CarpetaNews();
  const std::vector<std::shared_ptr<store::Item>> definiciones =
      news ? Definiciones(*news, host) : std::vector<std::shared_ptr<store::Item>>();
  if (definiciones.empty()) {
    std::vector<std::string> definidos;
    if (news) {
      for (const auto& item : news->Items()) {
        const std::optional<std::string> h = HostDe(std::as_const(*item));
        if (h && std::find(definidos.begin(), definidos.end(), "«" + *h + "»") == definidos.end()) {
          definidos.push_back("«" + *h + "»");
        }
      }
    }
    throw Error(errnum::kObjetoNoEncontrado,
                "El servidor «" + host + "» no está definido en " + UbicacionAlmacen() + "/news; " +
                    (definidos.empty() ? std::string("no hay ninguno definido")
                                       : (definidos.size() == 1 ? "está definido " : "están definidos ") +
                                             Enumera(definidos)));
  }
  for (const auto& item : definiciones) item->Delete();
  OutlookApp->Sync();

  // What stays, so that the user may delete it by hand.
  std::vector<std::string> quedan;
  for (const auto& f : news->Folders()) {
    if (f->Name() != host) continue;
    quedan.push_back("sus carpetas en " + UbicacionAlmacen() + "/news/" + host);
  }
  const std::string estado = DirectorioServidores() + host + ".txt";
  bool hay_estado = false;
  try {
    CompruebaHost(host);
    hay_estado = Existe(*FsDelPrograma(), estado);
  } catch (const Error&) {
    // A host no pass accepts has no state file.
  }
  if (hay_estado) quedan.push_back("su archivo de estado " + estado);
  std::string linea = "Servidor «" + TextoVisible(host) + "» quitado de " + UbicacionAlmacen() +
                      "/news: la próxima pasada ya no lo sincroniza";
  if (!quedan.empty()) linea += "; se conservan " + Enumera(quedan) + " (bórrelos a mano si ya no los quiere)";
  std::printf("%s\n", linea.c_str());
}

void ComandoGroups(const std::string& host, const std::string& patron) {
  std::unique_ptr<ServidorNews> servidor = LeeServidor(host);
  size_t mostrados = 0, subscritos = 0;
  for (const auto& g : *servidor->Grupos()) {
    if (!patron.empty() && ::fnmatch(patron.c_str(), g->Nombre().c_str(), 0) != 0) continue;
    // Names come from the server: none reaches the terminal as a control sequence.
    std::printf("%s %s\n", g->Subscrito() ? "X" : " ", TextoVisible(g->Nombre()).c_str());
    ++mostrados;
    subscritos += g->Subscrito();
  }
  std::printf("%s, %s\n", Cuenta(static_cast<std::int64_t>(mostrados), "grupo", "grupos").c_str(),
              Cuenta(static_cast<std::int64_t>(subscritos), "subscrito", "subscritos").c_str());
}

void ComandoSubscribe(const std::string& host, const std::vector<std::string>& grupos, bool subscribe) {
  // Without the servers directory there is no state file to rewrite: LeeServidor says what to do.
  std::optional<Bloqueo> bloqueo;
  if (EsDirectorio(*FsDelPrograma(), DirectorioServidores())) bloqueo.emplace(DirectorioServidores());
  std::unique_ptr<ServidorNews> servidor = LeeServidor(host);
  std::vector<std::string> desconocidos;
  for (const auto& nombre : grupos) {
    if (!servidor->Grupos()->Contiene(nombre)) desconocidos.push_back(nombre);
  }
  if (!desconocidos.empty()) {
    std::string lista;
    for (const auto& n : desconocidos) lista += (lista.empty() ? "" : ", ") + n;
    throw Error(errnum::kObjetoNoEncontrado, "El servidor «" + host + "» no tiene " +
                                                 (desconocidos.size() == 1 ? "el grupo " : "estos grupos: ") + lista +
                                                 ". No se ha cambiado nada (vea «tablon groups " + host + "»)");
  }
  for (const auto& nombre : grupos) {
    std::shared_ptr<GrupoNews> g = servidor->Grupos()->Miembro(nombre);
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
