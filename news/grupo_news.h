// One newsgroup of one news server during one synchronisation pass: its state-file line, its
// entry post and folder chain in the store, and the work on its articles.
//
// This header is the class's one interface; its members are defined in four files, one per part
// of the work:
//   news/grupo_news.cc        the record: construction, the state-file line (save, load), the
//                             folder chain and the entry post, the local copies (LeeCopiasLocales);
//   news/encabezados_grupo.cc the overview and the numbering kept (LeeEncabezados, the Anticipa*
//                             calls, LeeLineaResumen, EnteroDeTexto), deciding through the pure
//                             functions of news/decision_resumen.h;
//   news/hilos_grupo.cc       the header items and their threads (CreaMensajesGrupo, BuscaPadre,
//                             CreaMarcadorDePadre);
//   news/descargas_grupo.cc   the downloads of flagged items and the folder's index
//                             (LeeMensajesMarcados, GuardaIndice).
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
//
// What a pass keeps for the next one, besides the store and the state file (both caches: the
// result of a pass is the same with them or without them, only cheaper):
//   - the group folder's persistent index (store/indice_carpeta.h): LeeCopiasLocales takes each
//     item's identifier from it where the store vouches for the item, and LeeMensajesMarcados
//     writes it anew at its end;
//   - the group's numbering on the server (news/numeracion_grupo.h): LeeEncabezados asks for the
//     overview of the articles above the kept high mark only, and for the lines of kept
//     articles that the store lacks (an item the user deleted, one a cut pass did not write).
// The trace (the control's Debug event) says when either cannot be used and why.
// FijaLecturaCompleta(true) (the command line's --completa) makes every group read its folder
// item by item and ask for its whole overview, as with neither; both are written anew.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/fecha.h"
#include "core/coleccion.h"
#include "core/paso.h"
#include "news/message_news.h"
#include "news/numeracion_grupo.h"
#include "nntp/control.h"
#include "store/store.h"

namespace tablon {

class LectorEstado;
class EscritorEstado;

using ColeccionMensajes = Coleccion<MessageNews>;

// Whether the passes read every folder item by item and ask for every whole overview (see
// above). Off by default; set once, at the start.
void FijaLecturaCompleta(bool v);
bool LecturaCompleta();

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

  const std::shared_ptr<nntp::Control>& ControlNews() const { return control_; }
  void ControlNews(std::shared_ptr<nntp::Control> v) { control_ = std::move(v); }

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

  // Adds one message per item already in the group folder, keyed by its "ArticleID": taken from
  // the folder's index for the items the store vouches for, read from the item otherwise.
  void LeeCopiasLocales();
  // Asks the server for the group's overview and adds one message per new identifier, in the
  // overview's order. With a numbering kept from an earlier pass (and no full reading asked
  // for), the overview asked for is that of the articles above its high mark, plus the lines of
  // the kept articles whose identifier is not in mensajes; the numbering is dropped, and the
  // whole overview asked for, when the server's numbers show that it no longer holds (the high
  // mark went down, the low mark passed the kept high mark, the last kept article's identifier
  // is not the server's, an article below the kept high mark that it does not know). A count
  // that moved otherwise than the articles seen explain is settled with the group's article
  // numbers (LISTGROUP). The numbering is written anew when it changed and every overview asked
  // for came whole.
  void LeeEncabezados();
  // Writes a header item into the group folder for every message without one, threading
  // replies under their parents (placeholder parents where needed). Reports each message to the
  // program's receiver (news/avance.h: Mensaje, its subject) and its progress (Etapa::Escribiendo:
  // 0 of the messages without an item when there is any, then one more per message), and counts
  // in Nuevos each article item written.
  void CreaMensajesGrupo();
  // Downloads the text of every flagged header item of the group folder, their articles asked
  // for together (nntp::Control::FetchArticles: pipelined) and taken in folder order. Reports each
  // item (Articulo) and its progress as above (Etapa::Descargando, out of the flagged header
  // items, when there is any) and
  // counts in Descargados each item written with its text. An item whose article the server
  // does not have (ARTICLE answered 430) is left as it is, a flagged header item, and named in
  // NoDisponibles; any other failure of its fetch (a lost connection, an unusable identifier)
  // leaves it as it is too, and is not counted there. Last, the folder's index is written for
  // the folder as the group's work leaves it (a failure there is skipped as any other step).
  void LeeMensajesMarcados();

  // What this group's work did so far in the pass, as counted above (all zero before it).
  std::int64_t Nuevos() const { return nuevos_; }
  std::int64_t Descargados() const { return descargados_; }
  // The flagged items the server does not have: each one's subject, or its identifier when
  // the subject is blank.
  const std::vector<std::string>& NoDisponibles() const { return no_disponibles_; }
  // The writes this group's work attempted and could not make (a full disk, a folder it may not
  // write, an IMAP server's NO), and the cause of the first: each new article's item and each
  // downloaded text that could not be written counts one, as does the folder's index or the
  // numbering kept for the next pass when it could not be written. The next pass makes them
  // again.
  const Recuento& NoEscritos() const { return no_escritos_; }

  // Fills `m` from one overview line: fields 1 to 8, the date (field 4) into fecha (left as it
  // was when it is no date), any field past the eighth dropped. A numeric field that is no
  // number leaves its member as it was.
  static void LeeLineaResumen(std::string_view line, MessageNews& m);
  // Asks the server for the group's overview ahead of LeeEncabezados (nntp::Control::AnticipaResumen),
  // so that it comes while other work is done: the part LeeEncabezados will ask for first (above
  // the kept numbering's high mark, when there is one). Raises nothing.
  void AnticipaEncabezados();
  // The same, sent right behind the NEWGROUPS of the server's next GetNewGroups
  // (nntp::Control::ResumenTrasGruposNuevos): for the first group a pass works on, whose overview
  // then comes while the new groups are saved. Raises nothing.
  void AnticipaTrasGruposNuevos();

 private:
  // news/grupo_news.cc
  void ActualizaCarpetaGrupo();
  static std::shared_ptr<store::Folder> BuscaOCreaRuta(const std::shared_ptr<store::Folder>& carpeta,
                                                       std::string& ruta);
  // Reads the folder's items through its index into mensajes_.
  void CargaCopiasLocales();
  // The key of a local item as LeeCopiasLocales takes it ("" when it is no mail note or has
  // none); reads the item.
  static std::string ClaveLocal(const std::shared_ptr<store::Item>& item);
  // Throws when the group has no folder (unsubscribed, or resolving it failed).
  void RequiereCarpeta() const;
  // The trace line `texto` through the control's Debug event (nothing without one).
  void Traza(const std::string& texto) const;

  // news/encabezados_grupo.cc
  // Loads cabecera_, the kept numbering's head, once per pass (nothing when a full reading is
  // asked for, or the group has no file for it: no servers directory or host).
  void CargaNumeracion();
  // One overview request of the control as it is set (range, group): its kept lines are the
  // ones LeeEncabezados turns into messages; every line's number and its identifier's hash go to
  // `vistos`. False when the request failed (then `vistos` may hold part of the reply only).
  bool PideResumen(nntp::Control& control, const std::function<bool(std::int64_t, std::string_view)>& conserva,
                   std::vector<std::pair<std::int64_t, std::uint64_t>>& vistos);
  // Adds a message for each of the `n` lines that `linea(i)` gives and that are new (an
  // identifier not yet in mensajes), in their order.
  void AgregaLineas(std::int64_t n, const std::function<std::string_view(std::int64_t)>& linea);
  // Checks the kept numbering `previa` against the group's numbers now (low, high, count), the
  // lines read above its high mark (`nuevos`) and, when needed, the server's article numbers
  // (LISTGROUP) and the identifier of its last article (STAT); drops from it what the server no
  // longer has. The reason why it no longer holds, or "" when it does.
  std::string CompruebaNumeracion(nntp::Control& control, NumeracionGrupo& previa,
                                  const std::vector<std::pair<std::int64_t, std::uint64_t>>& nuevos);

  // news/hilos_grupo.cc
  // The message that `m` answers: the one keyed by its whole references text (as stores written
  // before keep their placeholders), else the one keyed by the last identifier of the list (its
  // direct parent); nullptr when neither is in mensajes, or when its references name no message
  // identifier (Identificadores).
  std::shared_ptr<MessageNews> BuscaPadre(const MessageNews& m) const;
  // The message of this group that must be written before `m` for `m` to be threaded: its
  // parent, or without one the nearest earlier identifier of its references that is present
  // (its placeholder's parent); nullptr when there is none or it has its item already.
  std::shared_ptr<MessageNews> AntecesorPendiente(const MessageNews& m) const;
  // The placeholder for the missing parent of `m`, keyed by the last identifier of its
  // references, written as a reply to the nearest earlier identifier of the list that is
  // present (so a thread whose middle expired stays one thread), or as a new item.
  std::shared_ptr<MessageNews> CreaMarcadorDePadre(const MessageNews& m, std::shared_ptr<store::Item>& padre);

  // news/descargas_grupo.cc
  // Writes the folder's index, sealed when the folder holds an item for every article of the
  // numbering kept and none waits for its text.
  void GuardaIndice();

  std::string nombre_;
  Fecha fecha_ultimo_;
  bool subscrito_ = false;
  std::shared_ptr<nntp::Control> control_;
  std::shared_ptr<ColeccionMensajes> mensajes_;
  std::shared_ptr<store::Folder> carpeta_servidor_;
  std::shared_ptr<store::Folder> carpeta_grupo_;
  std::int64_t nuevos_ = 0;
  std::int64_t descargados_ = 0;
  std::vector<std::string> no_disponibles_;
  Recuento no_escritos_;
  // The group folder's persistent index, from LeeCopiasLocales to the end of LeeMensajesMarcados.
  std::unique_ptr<store::IndiceCarpeta> indice_;
  // The head of the numbering kept from the last pass, and its file ("" when there is none to
  // keep); the numbering's articles are read when LeeEncabezados needs them.
  bool numeracion_cargada_ = false;
  std::optional<CabeceraNumeracion> cabecera_;
  std::string ruta_numeracion_;
  // The folder's items are read only once LeeEncabezados finds something to do (its seal held).
  bool copias_diferidas_ = false;
  // Nothing to do in this pass: the server had nothing new and the sealed folder is unchanged.
  bool sin_cambios_ = false;
  // The numbering LeeEncabezados kept (its Vinculo, "" when none) and a hash of each of its
  // articles' identifiers (sorted, letter case ignored), for the folder's seal.
  std::string vinculo_;
  std::vector<std::uint64_t> ids_numeracion_;
};

// The message identifiers a References text names, in order: each "<left@right>" (no blanks,
// no "<", ">" or second "@" inside, neither side empty), wherever blanks are missing between
// them; any other token ("<yes>", "<>", a word) is passed over.
std::vector<std::string_view> Identificadores(std::string_view referencias);

// Text to 32-bit integer as overview numbers are read: surrounding blanks allowed, a decimal
// number (fraction and exponent allowed) rounded half to even. Not a number: type mismatch
// error; out of range: overflow error.
std::int32_t EnteroDeTexto(std::string_view text);

}  // namespace tablon
