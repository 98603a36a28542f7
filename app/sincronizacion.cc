#include "app/sincronizacion.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <optional>
#include <string>

#include "app/almacen.h"
#include "app/main_frm.h"
#include "core/error.h"
#include "news/servidor_news.h"
#include "store/outlook_module.h"

namespace tablon {

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
  // The groups whose work a connection failure cut short, and the first such failure.
  std::string omitidos;
  std::size_t cuantos = 0;
  std::optional<Error> primero;

  for (const std::shared_ptr<store::Item>& item : carpeta_news->Items()) {
    const std::shared_ptr<store::Item>& post = store::ComoPost(item);
    if (post->MessageClass() != kClaseServidor) v.MsgBox("No tiene la clase correcta");
    show("Leyendo informacion servidor ...");
    auto servidor = std::make_unique<ServidorNews>();
    servidor->ControlNews(v.News1);
    servidor->init_from_msg(post);
    show("Conectando con servidor...");
    v.Caption(MainFrm::Servidor, servidor->host());
    servidor->Connect();
    show("Buscando nuevos grupos ...");
    servidor->GetNewGroups();
    show("Guardando nuevos grupos ...");
    servidor->save();
    show("Descargando grupos ...");
    for (const std::shared_ptr<GrupoNews>& grupo : *servidor->Grupos()) {
      v.Caption(MainFrm::Grupo, grupo->Nombre());
      if (!grupo->Subscrito()) continue;
      // A connection an earlier group lost is opened again before this group's first command.
      servidor->Reconecta();
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
      const nntp::Control& control = *servidor->ControlNews();
      resumen.incompleto = !control.Connected() && control.FalloConexion();
      total.Suma(resumen);
      v.FinGrupo(resumen);
      if (resumen.incompleto) {
        const Error& e = *control.FalloConexion();
        if (!primero) primero = e;
        ++cuantos;
        omitidos += (omitidos.empty() ? "" : "; ") + std::string("«") + grupo->Nombre() + "» de " +
                    servidor->host() + " (Error " + std::to_string(e.Number()) + ": " + e.Description() + ")";
      }
    }
    show("Desconectando ...");
    servidor->Disconnect();
    servidor.reset();  // releases its groups and their messages
  }
  total.segundos = std::chrono::duration<double>(std::chrono::steady_clock::now() - inicio).count();
  total.fin = std::time(nullptr);
  v.FinPasada(total);
  if (primero) {
    throw Error(primero->Number(), cuantos == 1 ? "No se sincronizó el grupo " + omitidos
                                                : "No se sincronizaron " + std::to_string(cuantos) +
                                                      " grupos: " + omitidos);
  }
}

}  // namespace tablon
