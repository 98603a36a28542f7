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
#include "app/traduce.h"
#include "core/error.h"
#include "core/fs.h"
#include "news/servidor_news.h"
#include "nntp/direccion_nntp.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {

// "a", "a y b", "a, b y c".
std::string Enumera(const std::vector<std::string>& v) {
  if (v.empty()) return "";
  std::string r = v[0];
  for (std::size_t i = 1; i + 1 < v.size(); ++i) r += ", " + v[i];
  // TRANSLATORS: the last two of a list of names ("a, b y c").
  return v.size() == 1 ? r : Formatea(Traduce("%s y %s"), {r, v.back()});
}

// The store's "news" folder, or nullptr when the store or the folder does not exist (nothing is
// created: a Maildir store is opened only when its directory is there).
std::shared_ptr<store::Folder> NewsSiHay() {
  const std::string ubicacion = UbicacionAlmacen();
  if (!EsAlmacenImap(ubicacion) && !EsDirectorio(*FsDelPrograma(), ubicacion)) return nullptr;
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
  std::shared_ptr<store::Folder> news = NewsSiHay();
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
      throw Error(errnum::kObjetoNoEncontrado,
                  Formatea(Traduce("El servidor «%s» no está definido: añádalo con «tablon add-server %s» y ejecute "
                                   "una pasada («tablon») para obtener su lista de grupos"),
                           {host, host}));
    }
    throw Error(errnum::kArchivoNoEncontrado,
                Formatea(Traduce("Aún no hay lista de grupos del servidor «%s» (%s): ejecute antes una pasada "
                                 "(«tablon») para obtenerla"),
                         {host, servidor->filename()}));
  }
  servidor->load();
  return servidor;
}

// A command: its name, its arguments as the usage line shows them, what each required argument
// is (for "falta ..."), and how many arguments it takes at most (0: no limit). The texts are
// translated where they are shown.
struct Orden {
  const char* nombre;
  const char* argumentos;
  std::vector<const char*> requeridos;
  std::size_t maximo;
};

const std::vector<Orden>& Ordenes() {
  static const std::vector<Orden> ordenes = {
      {"add-server", ParaTraducir("SERVIDOR   (nombre, nombre:puerto o [dirección IPv6]:puerto)"),
       {ParaTraducir("el servidor")}, 1},
      {"remove-server", ParaTraducir("SERVIDOR"), {ParaTraducir("el servidor")}, 1},
      {"groups", ParaTraducir("SERVIDOR [PATRÓN]"), {ParaTraducir("el servidor")}, 2},
      {"subscribe", ParaTraducir("SERVIDOR GRUPO..."), {ParaTraducir("el servidor"), ParaTraducir("el grupo")}, 0},
      {"unsubscribe", ParaTraducir("SERVIDOR GRUPO..."), {ParaTraducir("el servidor"), ParaTraducir("el grupo")}, 0},
  };
  return ordenes;
}

// Checks the number of arguments of `orden` (`args` without the command word).
void CompruebaArgumentos(const Orden& orden, const std::vector<std::string>& args) {
  if (args.size() < orden.requeridos.size()) {
    std::vector<std::string> faltan;
    for (std::size_t i = args.size(); i < orden.requeridos.size(); ++i) {
      faltan.emplace_back(Traduce(orden.requeridos[i]));
    }
    const auto n = static_cast<std::int64_t>(faltan.size());
    throw ErrorDeUso(Formatea(TraducePlural("falta %s", "faltan %s", n), {Enumera(faltan)}));
  }
  if (orden.maximo != 0 && args.size() > orden.maximo) {
    std::vector<std::string> sobran;
    for (std::size_t i = orden.maximo; i < args.size(); ++i) sobran.push_back("«" + TextoVisible(args[i]) + "»");
    const auto n = static_cast<std::int64_t>(sobran.size());
    throw ErrorDeUso(Formatea(TraducePlural("sobra %s", "sobran %s", n), {Enumera(sobran)}));
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
    std::fprintf(stderr, Traduce("tablon: «%s» no es una orden; las órdenes son %s (vea «tablon --help»)\n"),
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
    std::fprintf(stderr, Traduce("tablon %s: %s\nUso: tablon %s %s\n"), orden->nombre, e.what(), orden->nombre,
                 Traduce(orden->argumentos));
    return kSalidaUsoOrden;
  }
  return 0;
}

void CompruebaHostNuevo(const std::string& host) {
  auto rechaza = [&](const std::string& motivo) {
    throw ErrorDeUso(Formatea(Traduce("el servidor «%s» no es válido: %s"), {TextoVisible(host), motivo}));
  };
  if (host.empty()) rechaza(Traduce("está vacío"));
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f) rechaza(Traduce("contiene blancos o caracteres de control"));
    if (c == '/') rechaza(Traduce("contiene «/»"));
  }
  red::Direccion d;
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
    if (::inet_pton(AF_INET6, direccion.c_str(), &a) != 1) {
      rechaza(Formatea(Traduce("«%s» no es una dirección IPv6"), {d.nombre}));
    }
  } else if (host.front() == '[') {
    rechaza(Traduce("entre corchetes solo puede ir una dirección IPv6"));
  } else {
    for (char c : d.nombre) {
      const bool bien = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                        c == '_' || c == '.';
      if (!bien) rechaza(Traduce("un nombre de servidor solo lleva letras sin acentos, cifras, «-», «_» y «.»"));
    }
    const std::string sin_punto_final = d.nombre.back() == '.' ? d.nombre.substr(0, d.nombre.size() - 1) : d.nombre;
    if (sin_punto_final.empty() || sin_punto_final.front() == '.' || sin_punto_final.back() == '.' ||
        sin_punto_final.find("..") != std::string::npos) {
      rechaza(Traduce("tiene una parte vacía entre puntos"));
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
  IniciaOutlook(/*crea_almacen=*/true);
  std::shared_ptr<store::Folder> news;
  for (const auto& f : MapiNameSpace->Folders()) {
    if (f->Name() == "news") news = f;
  }
  if (!news) news = MapiNameSpace->AddFolder("news");
  if (!Definiciones(*news, host).empty()) {
    std::printf(Traduce("El servidor «%s» ya está definido en %s/news\n"), host.c_str(), UbicacionAlmacen().c_str());
    return;
  }
  std::shared_ptr<store::Item> post = OutlookApp->CreateItem(0);
  post->SetMessageClass(kClaseServidor);
  post->SetSubject(host);
  post->UserProperties().Add(kPropServidor, store::TipoPropiedad::Texto, true).SetValue(host);
  post->Move(*news);
  OutlookApp->Sync();
  std::printf(Traduce("Servidor «%s» añadido en %s/news\n"), host.c_str(), UbicacionAlmacen().c_str());
}

void ComandoRemoveServer(const std::string& host) {
  // A pass reads the definitions at its start: none is removed while one runs. Without the
  // servers directory no pass has run there.
  std::optional<Bloqueo> bloqueo;
  if (EsDirectorio(*FsDelPrograma(), DirectorioServidores())) bloqueo.emplace(DirectorioServidores());

  // A missing store or "news" folder: the error says to define a server first.
  IniciaOutlook();
  std::shared_ptr<store::Folder> news = CarpetaNews();
  const std::vector<std::shared_ptr<store::Item>> definiciones = Definiciones(*news, host);
  if (definiciones.empty()) {
    std::vector<std::string> definidos;
    for (const auto& item : news->Items()) {
      const std::optional<std::string> h = HostDe(std::as_const(*item));
      if (h && std::find(definidos.begin(), definidos.end(), "«" + *h + "»") == definidos.end()) {
        definidos.push_back("«" + *h + "»");
      }
    }
    const std::string cuales = definidos.empty() ? std::string(Traduce("no hay ninguno definido"))
                                                 : Formatea(TraducePlural("está definido %s", "están definidos %s",
                                                                          static_cast<std::int64_t>(definidos.size())),
                                                            {Enumera(definidos)});
    throw Error(errnum::kObjetoNoEncontrado, Formatea(Traduce("El servidor «%s» no está definido en %s/news; %s"),
                                                      {host, UbicacionAlmacen(), cuales}));
  }
  for (const auto& item : definiciones) item->Delete();
  OutlookApp->Sync();

  // What stays, so that the user may delete it by hand.
  std::vector<std::string> quedan;
  for (const auto& f : news->Folders()) {
    if (f->Name() != host) continue;
    quedan.push_back(Formatea(Traduce("sus carpetas en %s/news/%s"), {UbicacionAlmacen(), host}));
  }
  const std::string estado = DirectorioServidores() + host + ".txt";
  bool hay_estado = false;
  try {
    CompruebaHost(host);
    hay_estado = Existe(*FsDelPrograma(), estado);
  } catch (const Error&) {
    // A host no pass accepts has no state file.
  }
  if (hay_estado) quedan.push_back(Formatea(Traduce("su archivo de estado %s"), {estado}));
  const std::string visible = TextoVisible(host);
  if (quedan.empty()) {
    std::printf(Traduce("Servidor «%s» quitado de %s/news: la próxima pasada ya no lo sincroniza\n"), visible.c_str(),
                UbicacionAlmacen().c_str());
  } else {
    std::printf(Traduce("Servidor «%s» quitado de %s/news: la próxima pasada ya no lo sincroniza; se conservan %s "
                        "(bórrelos a mano si ya no los quiere)\n"),
                visible.c_str(), UbicacionAlmacen().c_str(), Enumera(quedan).c_str());
  }
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
    throw Error(errnum::kObjetoNoEncontrado,
                Formatea(TraducePlural("El servidor «%s» no tiene el grupo %s. No se ha cambiado nada (vea «tablon "
                                       "groups %s»)",
                                       "El servidor «%s» no tiene estos grupos: %s. No se ha cambiado nada (vea "
                                       "«tablon groups %s»)",
                                       static_cast<std::int64_t>(desconocidos.size())),
                         {host, lista, host}));
  }
  for (const auto& nombre : grupos) {
    std::shared_ptr<GrupoNews> g = servidor->Grupos()->Miembro(nombre);
    const bool antes = g->Subscrito();
    g->Subscrito(subscribe);
    const std::string visible = TextoVisible(g->Nombre());
    if (antes == subscribe) {
      std::printf(subscribe ? Traduce("%s ya estaba subscrito\n") : Traduce("%s ya estaba sin subscribir\n"),
                  visible.c_str());
    } else {
      std::printf(subscribe ? Traduce("%s: subscrito\n") : Traduce("%s: subscripción anulada\n"), visible.c_str());
    }
  }
  servidor->save();
}

}  // namespace tablon
