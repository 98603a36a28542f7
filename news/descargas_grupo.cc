// GrupoNews's downloads: the text of each flagged header item fetched into it, and the group
// folder's index written as the group's work leaves the folder. The header, news/grupo_news.h,
// says what each member does.
#include "news/grupo_news.h"

#include <algorithm>

#include "core/error.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "news/avance.h"

namespace tablon {

namespace {
// The NNTP status of an article the server does not have (RFC 3977 section 6.2.1).
constexpr long kNoExisteArticulo = 430;
}  // namespace

void GrupoNews::LeeMensajesMarcados() {
  if (sin_cambios_) {
    // The folder was sealed with nothing flagged waiting, and holds the same files: nothing to
    // fetch, and its index stands as it is.
    indice_.reset();
    return;
  }
  Avance* avance = AvanceDelPrograma();
  nntp::Control* control = control_.get();
  std::vector<std::shared_ptr<store::Item>> items;
  if (!Paso([&] { RequiereCarpeta(); items = carpeta_grupo_->Items(); })) return;
  // The flagged header items first, so that the progress has its total.
  std::vector<std::shared_ptr<store::Item>> marcados;
  for (const auto& item : items) {
    if (!Paso([&] { store::ComoNota(item); })) continue;  // not an article item: passed over
    int marca = store::kSinMarca;
    std::string clase;
    Paso([&] { marca = item->FlagStatus(); });
    Paso([&] { clase = item->MessageClass(); });
    if (marca == store::kMarcado && clase == kClaseCabecera) marcados.push_back(item);
  }
  items.clear();
  const auto total = static_cast<std::int64_t>(marcados.size());
  std::int64_t hecho = 0;
  if (total > 0 && avance) Paso([&] { avance->Progreso(Etapa::Descargando, 0, total); });
  // Every identifier first: the articles are asked for together and come in this order.
  std::vector<std::string> claves(marcados.size());
  std::vector<bool> con_clave(marcados.size(), false);
  for (size_t i = 0; i < marcados.size(); ++i) {
    con_clave[i] = Paso([&] { claves[i] = marcados[i]->UserProperties().Item(kPropArticulo).ComoTexto(); });
  }
  // One item's turn, in order: its text (`texto`, when it came) or the failure's number.
  auto trata = [&](size_t i, const std::string* texto, long fallo) {
    const std::shared_ptr<store::Item>& item = marcados[i];
    if (avance) Paso([&] { avance->Articulo(item->Subject()); });
    ++hecho;
    // The server's status is the failure's number (nntp/control.h): 430, no such article.
    if (con_clave[i] && fallo == kNoExisteArticulo) {
      std::string nombre;
      Paso([&] { nombre = item->Subject(); });
      if (nombre.find_first_not_of(" \t") == std::string::npos) nombre = claves[i];
      no_disponibles_.push_back(std::move(nombre));
    }
    if (con_clave[i] && texto) {
      Paso([&] { item->SetBody(*texto); });
      Paso([&] { item->SetMessageClass(kClaseCompleto); });
      // Unread before the text is saved: a pass killed between the two leaves a flagged header
      // item that the next pass fetches again, never a downloaded item that looks already read.
      Paso([&] { item->SetUnRead(true); });
      if (Paso([&] { item->Save(); }, no_escritos_)) ++descargados_;
      Paso([&] { item->SetUnRead(true); });
      item->SueltaCampos();  // the article's text is in the store now, not needed in memory
    }
    // Otherwise the item stays a flagged header item; the next pass tries again.
    if (avance) Paso([&] { avance->Progreso(Etapa::Descargando, hecho, total); });
  };
  if (!control) {
    NotificaFalloOmitido(Error(errnum::kObjetoNoEncontrado, Formatea(Traduce("El grupo %s no tiene control de noticias"), {nombre_})));
    for (size_t i = 0; i < marcados.size(); ++i) trata(i, nullptr, 0);
  } else {
    Paso([&] {
      control->FetchArticles(claves, [&](size_t i, const std::string& texto, const Error* fallo) {
        if (fallo) NotificaFalloOmitido(*fallo);
        trata(i, fallo ? nullptr : &texto, fallo ? fallo->Number() : 0);
      });
    });
  }
  marcados.clear();
  GuardaIndice();
}

void GrupoNews::GuardaIndice() {
  if (!indice_) return;
  // The keys of the objects the group's messages hold (those of the local copies and those this
  // pass wrote): the index need not read those items.
  std::vector<std::pair<const store::Item*, const std::string*>> claves;
  claves.reserve(mensajes_->size());
  for (const auto& m : *mensajes_) {
    if (m->OutlookMsg()) claves.emplace_back(m->OutlookMsg().get(), &m->id);
  }
  std::sort(claves.begin(), claves.end());
  auto clave_de = [&claves](const std::shared_ptr<store::Item>& item) {
    const store::Item* buscado = item.get();
    const auto k = std::lower_bound(claves.begin(), claves.end(), buscado,
                                    [](const auto& par, const store::Item* p) { return par.first < p; });
    return k != claves.end() && k->first == buscado ? *k->second : ClaveLocal(item);
  };
  // The seal: made only when every article of the numbering just kept has an item and no header
  // item waits for its text, so that a later pass that finds it (and the same numbering, and
  // nothing new on the server) has nothing to do in the folder.
  std::vector<bool> hallado(ids_numeracion_.size(), false);
  size_t hallados = 0;
  bool pendiente = false;
  store::IndiceCarpeta::Sellado sello;
  sello.registro = [&](const std::string& clave, int marca, const std::string& clase) {
    if (marca == store::kMarcado && IgualSinCaso(clase, kClaseCabecera)) pendiente = true;
    if (clave.empty()) return;
    const auto k = std::lower_bound(ids_numeracion_.begin(), ids_numeracion_.end(), HuellaIdentificador(clave));
    if (k == ids_numeracion_.end() || *k != HuellaIdentificador(clave)) return;
    const size_t n = static_cast<size_t>(k - ids_numeracion_.begin());
    if (!hallado[n]) {
      hallado[n] = true;
      ++hallados;
    }
  };
  sello.texto = [&] {
    return !vinculo_.empty() && !pendiente && hallados == ids_numeracion_.size() ? vinculo_ : std::string();
  };
  Paso([&] { indice_->Guarda(clave_de, &sello); }, no_escritos_);
  indice_.reset();
  std::vector<std::uint64_t>().swap(ids_numeracion_);
  vinculo_.clear();
}

}  // namespace tablon
