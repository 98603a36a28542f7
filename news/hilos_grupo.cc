// GrupoNews's header items: one per message without one, replies threaded under their parents,
// and placeholders for the parents the group does not have. The header, news/grupo_news.h, says
// what each member does.
#include "news/grupo_news.h"

#include <algorithm>
#include <unordered_set>

#include "core/paso.h"
#include "news/avance.h"

namespace tablon {

namespace {

// A message identifier as References may name one: "<" id-left "@" id-right ">", both sides not
// empty, printable without blanks, no "<", ">" or second "@" inside. Tokens that are not ("<yes>",
// which a known mail-tool bug leaves behind, "<>", a bare word) name no parent.
bool EsIdentificador(std::string_view t) {
  if (t.size() < 5 || t.front() != '<' || t.back() != '>') return false;
  const std::string_view dentro = t.substr(1, t.size() - 2);
  const size_t arroba = dentro.find('@');
  if (arroba == 0 || arroba == std::string_view::npos || arroba + 1 == dentro.size()) return false;
  if (dentro.find('@', arroba + 1) != std::string_view::npos) return false;
  for (const char c : dentro) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7f || c == '<' || c == '>') return false;
  }
  return true;
}

}  // namespace

std::vector<std::string_view> Identificadores(std::string_view referencias) {
  std::vector<std::string_view> r;
  size_t i = 0;
  while ((i = referencias.find('<', i)) != std::string_view::npos) {
    const size_t fin = referencias.find_first_of("<>", i + 1);
    if (fin == std::string_view::npos) break;
    if (referencias[fin] == '<') {  // a "<" left open: the next one starts the identifier
      i = fin;
      continue;
    }
    const std::string_view t = referencias.substr(i, fin - i + 1);
    if (EsIdentificador(t)) r.push_back(t);
    i = fin + 1;
  }
  return r;
}

std::shared_ptr<MessageNews> GrupoNews::BuscaPadre(const MessageNews& m) const {
  const auto ids = Identificadores(m.referencias);
  if (ids.empty()) return nullptr;
  if (auto q = mensajes_->Miembro(m.referencias)) return q;
  return mensajes_->Miembro(ids.back());
}

std::shared_ptr<MessageNews> GrupoNews::AntecesorPendiente(const MessageNews& m) const {
  std::shared_ptr<MessageNews> a = BuscaPadre(m);
  if (!a) {
    // No parent: its placeholder goes under the nearest earlier identifier that is present.
    const auto ids = Identificadores(m.referencias);
    for (size_t k = ids.empty() ? 0 : ids.size() - 1; !a && k-- > 0;) a = mensajes_->Miembro(ids[k]);
  }
  return a && !a->ExisteMensajeLocal() ? a : nullptr;
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
  // The messages this walk has tried to write (whether or not their item could be written).
  std::unordered_set<const MessageNews*> tratados;
  auto escribe = [&](const std::shared_ptr<MessageNews>& m) {
    tratados.insert(m.get());
    if (avance) Paso([&] { avance->Articulo(m->subject); });
    std::shared_ptr<store::Item> padre;
    std::shared_ptr<MessageNews> q;
    // References that name no identifier leave the article a root, as one without.
    if (!Identificadores(m->referencias).empty()) {
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
    ++hecho;
    if (avance) Paso([&] { avance->Progreso(Etapa::Escribiendo, hecho, std::max(total, hecho)); });
  };
  // Walk by position: placeholders appended during the walk already have an item. A message
  // whose parent (or, for its placeholder, nearest earlier ancestor) is a new article not yet
  // written has that chain written first, the oldest first, so a reply that came before its
  // parent is threaded under it all the same; the chain is walked in a loop (however deep) and
  // stops at a message met twice (references that go round).
  std::vector<std::shared_ptr<MessageNews>> cadena;
  for (size_t i = 0; i < mensajes_->size(); ++i) {
    const std::shared_ptr<MessageNews> m = (*mensajes_)[i];
    if (m->ExisteMensajeLocal() || tratados.count(m.get())) continue;
    cadena.assign(1, m);
    // Only a message whose ancestor waits (out of order) pays for the set that stops a cycle.
    if (auto a = AntecesorPendiente(*m); a && !tratados.count(a.get())) {
      std::unordered_set<const MessageNews*> en_cadena{m.get()};
      for (; a && !tratados.count(a.get()) && en_cadena.insert(a.get()).second; a = AntecesorPendiente(*a)) {
        cadena.push_back(a);
      }
    }
    for (auto k = cadena.rbegin(); k != cadena.rend(); ++k) escribe(*k);
  }
  cadena.clear();
}

}  // namespace tablon
