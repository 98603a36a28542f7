// One newsgroup of one news server during one synchronisation pass: its state-file line, its
// entry post and folder chain in the store, and the work on its articles.
//
// Failure styles, per member:
//   traps nothing  — CreaEntradaGrupo, save, load, the Nombre and Subscrito lets (folder
//                    resolution), BuscaOCreaRuta: a failure reaches the caller;
//   traps each step — LeeCopiasLocales, LeeEncabezados, CreaMensajesGrupo, LeeMensajesMarcados:
//                    a failing step is skipped and the routine goes on; nothing leaves them.
//
// Calling order: construct; CarpetaServidor; load; ControlNews; (the server's save calls save);
// then, for a subscribed group, CreaEntradaGrupo, LeeCopiasLocales, LeeEncabezados,
// CreaMensajesGrupo, LeeMensajesMarcados.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/fecha.h"
#include "core/coleccion.h"
#include "news/message_news.h"
#include "nntp/news.h"
#include "store/store.h"

namespace tablon {

class LectorEstado;
class EscritorEstado;

using ColeccionMensajes = Coleccion<MessageNews>;

// The placeholder parent's author: three question marks and a dummy address, 16 characters.
inline constexpr const char* kAutorDesconocido = "??" "?<nadie@nadie>";  // split: no trigraph

class GrupoNews {
 public:
  GrupoNews();

  // The group's entry post in the server folder: found by its subject (the group name), created
  // as an "IPM.Post.News.Subscripcion" item when there is none.
  void CreaEntradaGrupo();

  const std::shared_ptr<ColeccionMensajes>& mensajes() const { return mensajes_; }
  void mensajes(std::shared_ptr<ColeccionMensajes> v);  // null is refused (type mismatch)

  const std::shared_ptr<store::Folder>& CarpetaServidor() const { return carpeta_servidor_; }
  void CarpetaServidor(std::shared_ptr<store::Folder> v) { carpeta_servidor_ = std::move(v); }

  // The deepest folder of the group's chain; set only while the group is subscribed.
  const std::shared_ptr<store::Folder>& CarpetaGrupo() const { return carpeta_grupo_; }

  const std::shared_ptr<nntp::News>& ControlNews() const { return control_; }
  void ControlNews(std::shared_ptr<nntp::News> v) { control_ = std::move(v); }

  bool Subscrito() const { return subscrito_; }
  // Stores the flag, then resolves the folder chain (subscribing resolves it at once).
  void Subscrito(bool v);

  Fecha FechaUltimoMensaje() const { return fecha_ultimo_; }
  void FechaUltimoMensaje(Fecha v) { fecha_ultimo_ = v; }

  const std::string& Nombre() const { return nombre_; }
  // Stores the name, then resolves the folder chain.
  void Nombre(std::string v);

  // Writes the group's line: name, blank, date text, blank, "X" when subscribed.
  void save(EscritorEstado& file) const;
  // Reads one line into the group (see save). A date field that is no date fails after the
  // name is set. An empty date field gives 1 January 1990. A subscribed group then resolves its
  // folder chain. Reading past the end of the file fails before anything is set.
  void load(LectorEstado& file);

  // Adds one message per item already in the group folder, keyed by its "ArticleID".
  void LeeCopiasLocales();
  // Asks the server for the group's overview and adds one message per new identifier.
  void LeeEncabezados();
  // Writes a header item into the group folder for every message without one, threading
  // replies under their parents (placeholder parents where needed). Reports each message to the
  // program's receiver (news/avance.h: Mensaje, its subject) and its progress (Etapa::Escribiendo:
  // 0 of the messages without an item when there is any, then one more per message), and counts
  // in Nuevos each article item written.
  void CreaMensajesGrupo();
  // Downloads the text of every flagged header item of the group folder, their articles asked
  // for together (nntp::News::FetchArticles: pipelined) and taken in folder order. Reports each
  // item (Articulo) and its progress as above (Etapa::Descargando, out of the flagged header
  // items, when there is any) and
  // counts in Descargados each item written with its text. An item whose article the server
  // does not have (ARTICLE answered 430) is left as it is, a flagged header item, and named in
  // NoDisponibles; any other failure of its fetch (a lost connection, an unusable identifier)
  // leaves it as it is too, and is not counted there.
  void LeeMensajesMarcados();

  // What this group's work did so far in the pass, as counted above (all zero before it).
  std::int64_t Nuevos() const { return nuevos_; }
  std::int64_t Descargados() const { return descargados_; }
  // The flagged items the server does not have: each one's subject, or its identifier when
  // the subject is blank.
  const std::vector<std::string>& NoDisponibles() const { return no_disponibles_; }

  // Fills `m` from one overview line: fields 1 to 8, the date (field 4) into fecha (left as it
  // was when it is no date), any field past the eighth dropped. A numeric field that is no
  // number leaves its member as it was.
  static void LeeLineaResumen(std::string_view line, MessageNews& m);
  // Asks the server for the group's overview ahead of LeeEncabezados (nntp::News::AnticipaResumen),
  // so that it comes while other work is done. Raises nothing.
  void AnticipaEncabezados();
  // The same, sent right behind the NEWGROUPS of the server's next GetNewGroups
  // (nntp::News::ResumenTrasGruposNuevos): for the first group a pass works on, whose overview
  // then comes while the new groups are saved. Raises nothing.
  void AnticipaTrasGruposNuevos();

 private:
  void ActualizaCarpetaGrupo();
  // Throws when the group has no folder (unsubscribed, or resolving it failed).
  void RequiereCarpeta() const;
  // The message that `m` answers: the one keyed by its whole references text (as stores written
  // before keep their placeholders), else the one keyed by the last identifier of the list (its
  // direct parent); nullptr when neither is in mensajes.
  std::shared_ptr<MessageNews> BuscaPadre(const MessageNews& m) const;
  // The placeholder for the missing parent of `m`, keyed by the last identifier of its
  // references, written as a reply to the nearest earlier identifier of the list that is
  // present (so a thread whose middle expired stays one thread), or as a new item.
  std::shared_ptr<MessageNews> CreaMarcadorDePadre(const MessageNews& m, std::shared_ptr<store::Item>& padre);
  static std::shared_ptr<store::Folder> BuscaOCreaRuta(const std::shared_ptr<store::Folder>& carpeta,
                                                       std::string& ruta);

  std::string nombre_;
  Fecha fecha_ultimo_;
  bool subscrito_ = false;
  std::shared_ptr<nntp::News> control_;
  std::shared_ptr<ColeccionMensajes> mensajes_;
  std::shared_ptr<store::Folder> carpeta_servidor_;
  std::shared_ptr<store::Folder> carpeta_grupo_;
  std::int64_t nuevos_ = 0;
  std::int64_t descargados_ = 0;
  std::vector<std::string> no_disponibles_;
};

// Text to 32-bit integer as overview numbers are read: surrounding blanks allowed, a decimal
// number (fraction and exponent allowed) rounded half to even. Not a number: type mismatch
// error; out of range: overflow error.
std::int32_t EnteroDeTexto(std::string_view text);

}  // namespace tablon
