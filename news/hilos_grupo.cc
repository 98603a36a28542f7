// GrupoNews's header items: one per message without one, replies threaded under their parents,
// and placeholders for the parents the group does not have. The header, news/grupo_news.h, says
// what each member does.
#include "news/grupo_news.h"

#include <algorithm>

#include "core/paso.h"
#include "news/avance.h"

namespace tablon {

namespace {
bool EsBlancoDeLista(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The identifiers of a references text, split at any white space (folded lines included).
std::vector<std::string_view> Identificadores(std::string_view referencias) {
  std::vector<std::string_view> r;
  size_t i = 0;
  while (i < referencias.size()) {
    while (i < referencias.size() && EsBlancoDeLista(referencias[i])) ++i;
    size_t fin = i;
    while (fin < referencias.size() && !EsBlancoDeLista(referencias[fin])) ++fin;
    if (fin > i) r.push_back(referencias.substr(i, fin - i));
    i = fin;
  }
  return r;
}
}  // namespace

std::shared_ptr<MessageNews> GrupoNews::BuscaPadre(const MessageNews& m) const {
  if (auto q = mensajes_->Miembro(m.referencias)) return q;
  const auto ids = Identificadores(m.referencias);
  if (ids.empty()) return nullptr;
  return mensajes_->Miembro(ids.back());
}

std::shared_ptr<MessageNews> GrupoNews::CreaMarcadorDePadre(const MessageNews& m,
                                                            std::shared_ptr<store::Item>& padre) {
  const auto ids = Identificadores(m.referencias);
  std::shared_ptr<store::Item> abuelo;
  for (size_t k = ids.size() - 1; k-- > 0;) {
    if (const auto a = mensajes_->Miembro(ids[k])) {
      abuelo = a->OutlookMsg();
      break;
    }
  }
  auto q = std::make_shared<MessageNews>();
  q->subject = m.subject;
  q->id.assign(ids.back());
  q->Autor = kAutorDesconocido;
  // Its date is the one of the reply that made it, in that reply's zone (a mail client shows and
  // sorts by it).
  if (const auto zona = m.zona()) {
    q->fecha(m.fecha(), *zona);
  } else {
    q->fecha(m.fecha());
  }
  if (Paso([&] { padre = q->CreateOutlookMsg(nombre_, abuelo); }, no_escritos_)) {
    Paso([&] {
      RequiereCarpeta();
      if (padre) padre->Move(*carpeta_grupo_);
    }, no_escritos_);
  }
  Paso([&] { mensajes_->Add(q, q->id); });
  return q;
}

void GrupoNews::CreaMensajesGrupo() {
  Avance* avance = AvanceDelPrograma();
  // How many replies of this walk each message's item is to be the parent of: an item's fields
  // stay in memory until its last reply is written, and are let go (SueltaCampos) once none is left,
  // so that a large group neither fills the memory nor reads its parents back from disk.
  std::int64_t total = 0;
  for (size_t i = 0; i < mensajes_->size(); ++i) {
    const MessageNews& m = *(*mensajes_)[i];
    if (m.ExisteMensajeLocal()) continue;
    ++total;
    if (m.referencias.empty()) continue;
    if (const auto q = BuscaPadre(m)) ++q->respuestas_pendientes;
  }
  std::int64_t hecho = 0;
  if (total > 0 && avance) Paso([&] { avance->Progreso(Etapa::Escribiendo, 0, total); });
  // Walk by position: placeholders appended during the walk already have an item.
  for (size_t i = 0; i < mensajes_->size(); ++i) {
    const std::shared_ptr<MessageNews> m = (*mensajes_)[i];
    if (m->ExisteMensajeLocal()) continue;
    if (avance) Paso([&] { avance->Articulo(m->subject); });
    std::shared_ptr<store::Item> padre;
    std::shared_ptr<MessageNews> q;
    // References of blanks only name nothing: such an article stays a root, as one without.
    if (!m->referencias.empty() && !Identificadores(m->referencias).empty()) {
      q = BuscaPadre(*m);
      if (!q) {
        q = CreaMarcadorDePadre(*m, padre);
      } else {
        padre = q->OutlookMsg();
        // A reply takes the subject of the message it answers (its own, should that item be
        // gone from the store meanwhile).
        Paso([&] { m->subject = q->Asunto(); });
      }
    }
    std::shared_ptr<store::Item> e;
    const bool creado = Paso([&] { e = m->CreateOutlookMsg(nombre_, padre); }, no_escritos_);
    if (q && q->respuestas_pendientes > 0 && --q->respuestas_pendientes == 0) q->SueltaCampos();
    if (creado) {
      if (Paso([&] { RequiereCarpeta(); e->Move(*carpeta_grupo_); }, no_escritos_)) ++nuevos_;
      if (m->respuestas_pendientes == 0) m->SueltaCampos();
    }
    // A placeholder whose item could not be written is met by the walk as one more message.
    ++hecho;
    if (avance) Paso([&] { avance->Progreso(Etapa::Escribiendo, hecho, std::max(total, hecho)); });
  }
}

}  // namespace tablon
