#include "app/sincronizacion.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/almacen.h"
#include "app/main_frm.h"
#include "app/pantallas.h"
#include "app/traduce.h"
#include "core/error.h"
#include "core/paso.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"

namespace tablon {

namespace {

// What a pass could not do, as one error at its end.
class Fallos {
 public:
  void Servidor(const std::string& host, const Error& e) {
    Primero(e.Number());
    servidores_.push_back(Formatea(Traduce("«%s» (Error %s: %s)"), {host, std::to_string(e.Number()), e.Description()}));
  }
  void Grupo(const std::string& grupo, const std::string& host, const Error& e) {
    Primero(e.Number());
    grupos_.push_back(Formatea(Traduce("«%s» de %s (Error %s: %s)"),
                               {grupo, host, std::to_string(e.Number()), e.Description()}));
  }
  void Escrituras(const std::string& grupo, const std::string& host, const Recuento& r) {
    Primero(r.Numero() != 0 ? r.Numero() : errnum::kErrorDeEntradaSalida);
    escrituras_.push_back(Formatea(Traduce("«%s» de %s: %s (%s)"),
                                   {grupo, host, Cuenta(r.Fallos(), "no escrito", "no escritos"), r.Motivo()}));
  }
  // Raises the error that names them all, when there is any.
  void Lanza() const {
    if (!numero_) return;
    std::string texto;
    auto frase = [&](const std::vector<std::string>& lista, const char* uno, const char* varios) {
      if (lista.empty()) return;
      if (!texto.empty()) texto += ". ";
      texto += lista.size() == 1 ? Formatea(Traduce(uno), {lista[0]})
                                 : Formatea(Traduce(varios), {std::to_string(lista.size()), Junta(lista)});
    };
    frase(servidores_, ParaTraducir("No se sincronizó el servidor %s"),
          ParaTraducir("No se sincronizaron %s servidores: %s"));
    frase(grupos_, ParaTraducir("No se sincronizó el grupo %s"), ParaTraducir("No se sincronizaron %s grupos: %s"));
    frase(escrituras_, ParaTraducir("No se escribió todo en el grupo %s"),
          ParaTraducir("No se escribió todo en %s grupos: %s"));
    throw Error(*numero_, texto);
  }

 private:
  void Primero(long n) {
    if (!numero_) numero_ = n;
  }
  static std::string Junta(const std::vector<std::string>& lista) {
    std::string r;
    for (const auto& s : lista) r += (r.empty() ? "" : "; ") + s;
    return r;
  }
  std::optional<long> numero_;
  std::vector<std::string> servidores_, grupos_, escrituras_;
};

// One server's work once its definition is read: connect, new groups, state file, and each
// subscribed group. Traps nothing (but what each group's routines trap); a group's report goes
// to the window and into `total`, what it could not do into `fallos`.
void SincronizaServidor(MainFrm& v, ServidorNews& servidor, ResumenPasada& total, Fallos& fallos) {
  auto show = [&](const char* texto) { v.Caption(MainFrm::Status, texto); };
  show("Conectando con servidor...");
  v.Caption(MainFrm::Servidor, servidor.host());
  servidor.Connect();
  show("Buscando nuevos grupos ...");
  servidor.GetNewGroups();
  show("Guardando nuevos grupos ...");
  servidor.save();
  show("Descargando grupos ...");
  for (const std::shared_ptr<GrupoNews>& grupo : *servidor.Grupos()) {
    v.Caption(MainFrm::Grupo, grupo->Nombre());
    if (!grupo->Subscrito()) continue;
    // A connection an earlier group lost is opened again before this group's first command.
    servidor.Reconecta();
    show("Creando entrada del grupo ...");
    grupo->CreaEntradaGrupo();
    show("Leyendo mensajes locales ...");
    // The server sends the group's overview while the local copies are read.
    grupo->AnticipaEncabezados();
    grupo->LeeCopiasLocales();
    show("Leyendo encabezados ...");
    grupo->LeeEncabezados();
    show("Creando entrada mensajes ...");
    grupo->CreaMensajesGrupo();
    show("Descargando mensajes seleccionados ...");
    grupo->LeeMensajesMarcados();
    // The group's messages served this group only: their memory goes before the next group
    // (the next pass reads them again from the store).
    grupo->mensajes(std::make_shared<ColeccionMensajes>());
    // The group's items are durable before the next group starts.
    OutlookApp->Sync();
    ResumenGrupo resumen;
    resumen.nombre = grupo->Nombre();
    resumen.nuevos = grupo->Nuevos();
    resumen.descargados = grupo->Descargados();
    resumen.no_disponibles = grupo->NoDisponibles();
    resumen.no_escritos = grupo->NoEscritos().Fallos();
    resumen.motivo_no_escritos = grupo->NoEscritos().Motivo();
    const nntp::Control& control = *servidor.ControlNews();
    resumen.incompleto = !control.Connected() && control.FalloConexion();
    total.Suma(resumen);
    v.FinGrupo(resumen);
    if (resumen.incompleto) fallos.Grupo(grupo->Nombre(), servidor.host(), *control.FalloConexion());
    if (resumen.no_escritos > 0) fallos.Escrituras(grupo->Nombre(), servidor.host(), grupo->NoEscritos());
  }
}

}  // namespace

void form_load() {
  MainFrm& v = Ventana();
  auto show = [&](const char* texto) { v.Caption(MainFrm::Status, texto); };
  const auto inicio = std::chrono::steady_clock::now();
  ResumenPasada total;

  v.EmpiezaPasada();
  show("...");
  v.Show();
  show("Iniciando Outlook ...");
  IniciaOutlook();
  // Header items are saved as drafts and moved at once: each is written once, into its group
  // folder. A pass cut short loses no item the next pass does not make again.
  OutlookApp->BorradoresEnMemoria(true);
  show("Leyendo informacion servidores ...");
  std::shared_ptr<store::Folder> carpeta_news = CarpetaNews();
  // What the pass could not do, named when it ends: servers whose work a failure ended, groups
  // whose work a lost connection cut short, groups with writes not made; the first such
  // failure's number is the pass's.
  Fallos fallos;

  for (const std::shared_ptr<store::Item>& item : carpeta_news->Items()) {
    const std::shared_ptr<store::Item>& post = store::ComoPost(item);
    if (post->MessageClass() != kClaseServidor) v.MsgBox("No tiene la clase correcta");
    show("Leyendo informacion servidor ...");
    auto servidor = std::make_unique<ServidorNews>();
    servidor->ControlNews(v.News1);
    servidor->init_from_msg(post);
    // A failure that ends one server's work (a server that cannot be reached, say) ends only
    // that: the next servers are synchronised, and the pass then ends with this failure.
    std::optional<Error> fallo;
    Paso([&] { SincronizaServidor(v, *servidor, total, fallos); }, fallo);
    if (fallo) {
      fallos.Servidor(servidor->host(), *fallo);
      ++total.servidores_fallidos;
    }
    show("Desconectando ...");
    Paso([&] { servidor->Disconnect(); });
    servidor.reset();  // releases its groups and their messages
  }
  total.segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
  total.fin = std::time(nullptr);
  v.FinPasada(total);
  fallos.Lanza();
}

}  // namespace tablon
