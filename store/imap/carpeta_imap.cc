#include "store/imap/carpeta_imap.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "core/ascii.h"
#include "core/error.h"
#include "core/huella.h"
#include "core/traduce.h"
#include "store/imap/item_imap.h"
#include "store/imap/nombre_buzon.h"
#include "store/mensaje/filtro.h"

namespace tablon::store::imap {

const std::string& CamposDeCabecera() {
  static const std::string campos =
      "DATE FROM TO REPLY-TO SUBJECT MESSAGE-ID IN-REPLY-TO REFERENCES CONTENT-TYPE "
      "CONTENT-TRANSFER-ENCODING X-TABLON-CLASE X-TABLON-ASUNTO X-TABLON-DE X-TABLON-PARA "
      "X-TABLON-RESPONDER-A X-TABLON-CREADO X-TABLON-MARCA X-TABLON-PROPIEDAD X-TABLON-CUERPO";
  return campos;
}

std::string ConjuntoUid(std::vector<std::uint32_t> uids) {
  std::sort(uids.begin(), uids.end());
  std::string r;
  for (size_t i = 0; i < uids.size();) {
    size_t j = i;
    while (j + 1 < uids.size() && uids[j + 1] <= uids[j] + 1) ++j;
    if (!r.empty()) r += ',';
    r += std::to_string(uids[i]);
    if (uids[j] != uids[i]) r += ':' + std::to_string(uids[j]);
    i = j + 1;
  }
  return r;
}

namespace {

// A listed mailbox that is a folder: one that can be selected.
bool Seleccionable(const imap::Buzon& b) {
  for (const auto& a : b.atributos) {
    if (IgualSinCaso(a, "\\NoSelect") || IgualSinCaso(a, "\\NonExistent")) return false;
  }
  return true;
}

}  // namespace

void CarpetaImap::Conoce(std::uint32_t uid, const std::shared_ptr<ItemImap>& item) {
  // Only after a listing (the next listing checks UIDVALIDITY for them all).
  if (!listada_) return;
  conocidos_[uid] = item;
}

CarpetaImap::CarpetaImap(std::shared_ptr<ContextoImap> ctx, std::vector<std::string> ruta)
    : ctx_(std::move(ctx)), ruta_(std::move(ruta)) {
  if (!ruta_.empty()) nombre_ = ruta_.back();
  buzon_ = ctx_->Buzon(ruta_);
}

std::vector<std::shared_ptr<Folder>> CarpetaImap::Folders() {
  // The children only: "%" stops at the next delimiter.
  const char d = ctx_->Delimitador();
  std::string patron = buzon_;
  if (!patron.empty()) {
    if (d == '\0') return {};
    patron += d;
  }
  const size_t largo_padre = patron.size();
  std::map<std::string, bool> nombres;
  {
    auto oyente = ctx_->Escucha([&](Respuesta& r) {
      if (r.nombre != "LIST") return;
      const imap::Buzon b = AnalizaBuzon(r);
      if (b.nombre.size() <= largo_padre || b.nombre.compare(0, largo_padre, patron) != 0) return;
      if (!Seleccionable(b)) return;
      if (auto n = DecodificaParteBuzon(std::string_view(b.nombre).substr(largo_padre), d)) nombres[*n] = true;
    });
    ctx_->Sesion().Ejecuta("LIST \"\" " + EscribeCadena(patron + "%"));
  }
  std::vector<std::shared_ptr<Folder>> r;
  r.reserve(nombres.size());
  for (const auto& [nombre, _] : nombres) {
    auto ruta = ruta_;
    ruta.push_back(nombre);
    auto c = std::make_shared<CarpetaImap>(ctx_, std::move(ruta));
    c->creada_ = true;
    r.push_back(std::move(c));
  }
  return r;
}

std::shared_ptr<Folder> CarpetaImap::AddFolder(const std::string& name) {
  auto ruta = ruta_;
  ruta.push_back(name);
  auto c = std::make_shared<CarpetaImap>(ctx_, std::move(ruta));
  // A subfolder that is there already (as Folders() would list it: selectable) is taken as it
  // is, with one LIST of its own name; only a missing one is created.
  if (!c->buzon_.empty()) {
    auto oyente = ctx_->Escucha([&](Respuesta& r) {
      if (r.nombre != "LIST") return;
      const imap::Buzon b = AnalizaBuzon(r);
      if (b.nombre != c->buzon_) return;
      if (!Seleccionable(b)) return;
      c->creada_ = true;
    });
    ctx_->Sesion().Ejecuta("LIST \"\" " + EscribeCadena(c->buzon_));
  }
  c->Crea();
  return c;
}

void CarpetaImap::Crea() {
  if (creada_ || buzon_.empty()) return;
  const auto etiqueta = ctx_->Sesion().Envia(Comando{"CREATE " + EscribeCadena(buzon_), {}});
  const Completado c = ctx_->Sesion().Espera(etiqueta);
  if (!c.Ok() && !(c.codigo && c.codigo->nombre == "ALREADYEXISTS")) {
    // A server without the code: the mailbox may be there all the same.
    bool existe = false;
    {
      auto oyente = ctx_->Escucha([&](Respuesta& r) {
        if (r.nombre == "LIST" && AnalizaBuzon(r).nombre == buzon_) existe = true;
      });
      ctx_->Sesion().Ejecuta("LIST \"\" " + EscribeCadena(buzon_));
    }
    if (!existe) {
      throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("No se puede crear la carpeta IMAP «%s» en %s: %s"),
                                                       {buzon_, ctx_->Descripcion(), c.texto}));
    }
  }
  creada_ = true;
}

namespace {

// The index of an IMAP folder: the server keeps nothing of the caller's for us, so every pass
// reads the folder's headers (one request), but the caller's key of each item is taken as its
// header arrives, and the caller may let the item's fields go at once: the folder's items are
// never all held whole.
class IndiceImap : public IndiceCarpeta {
 public:
  explicit IndiceImap(std::shared_ptr<CarpetaImap> carpeta) : carpeta_(std::move(carpeta)) {}

  std::vector<ItemIndexado> Lee(const ClaveDeItem& clave_de, bool, std::string& informe) override {
    informe = Traduce("sin índice");
    std::unordered_map<std::uint32_t, std::string> claves;
    auto clave = [&](const std::shared_ptr<Item>& item) {
      try {
        return clave_de(item);
      } catch (const std::exception&) {
        return std::string();  // the caller's reading failed: the item joins without a key
      }
    };
    carpeta_->OlvidaListado();
    auto items = carpeta_->Lista([&](const std::shared_ptr<ItemImap>& item) { claves[item->Uid()] = clave(item); });
    std::vector<ItemIndexado> r;
    r.reserve(items.size());
    for (auto& item : items) {
      const auto uid = std::static_pointer_cast<ItemImap>(item)->Uid();
      const auto k = claves.find(uid);
      std::string c = k != claves.end() ? std::move(k->second) : clave(item);
      r.push_back({std::move(item), std::move(c), false});
    }
    return r;
  }
  std::optional<std::string> LeeSello() override { return std::nullopt; }
  void Guarda(const ClaveDeItem&, const Sellado*) override {}

 private:
  std::shared_ptr<CarpetaImap> carpeta_;
};

}  // namespace

std::unique_ptr<IndiceCarpeta> CarpetaImap::Indice() {
  return std::make_unique<IndiceImap>(std::static_pointer_cast<CarpetaImap>(shared_from_this()));
}

std::vector<std::shared_ptr<Item>> CarpetaImap::Items() { return Lista(nullptr); }

std::vector<std::shared_ptr<Item>> CarpetaImap::Lista(
    const std::function<void(const std::shared_ptr<ItemImap>&)>& cada_nuevo) {
  if (ruta_.empty()) return {};
  // Appends in flight into this folder must be in it before it is listed, and the messages of
  // items replaced gone.
  ctx_->CompletaReemplazos();
  ctx_->CompletaAppends();
  // Selected already: a NOOP goes ahead of the listing, so that it sees what other clients
  // changed meanwhile.
  std::uint64_t noop = 0;
  try {
    const bool seleccionada = ctx_->Seleccionado() == buzon_;
    noop = ctx_->SeleccionaAlDia(buzon_);
    if (!seleccionada && Selecciona() == 0) {
      // Empty: the items written into it from now on are all the next listing must know.
      conocidos_.clear();
      listada_ = true;
      validez_ = ctx_->UidValidez();
      return {};
    }
  } catch (const Error& e) {
    if (e.Number() != errnum::kObjetoNoEncontrado) throw;
    return {};  // not created yet: no items
  }
  const std::uint32_t existentes = Selecciona();
  auto yo = std::static_pointer_cast<CarpetaImap>(shared_from_this());
  std::vector<std::shared_ptr<ItemImap>> items;
  // (Room as the server counts, within reason: the count is the server's word.)
  const std::size_t previstos = std::min<std::size_t>(existentes, std::size_t{1} << 20);
  items.reserve(previstos);
  // Each item's message's sequence number, followed through the EXPUNGEs after its FETCH.
  std::vector<Secuencia> secuencias;
  secuencias.reserve(previstos);
  auto aprende = [&](std::uint32_t numero) { secuencias.emplace_back().Aprende(numero); };
  auto oye_expunge = [&](const Respuesta& r) {
    if (r.nombre != "EXPUNGE" || !r.numero) return false;
    for (auto& n : secuencias) n.Expunge(*r.numero);
    return true;
  };
  // Headers of messages not met before (all of them at the first listing; of the messages
  // another program added, at a later one).
  auto lee_cabeceras = [&](const std::string& uids) {
    auto oyente = ctx_->Escucha([&](Respuesta& r) {
      if (oye_expunge(r) || r.nombre != "FETCH") return;
      Fetch f = AnalizaFetch(std::move(r));
      if (!f.uid || f.secciones.empty() || !f.secciones.front().bytes) return;
      items.push_back(ItemImap::DesdeListado(yo, *f.uid, f.flags.value_or(std::vector<std::string>{}),
                                             *f.secciones.front().bytes));
      aprende(f.numero);
      if (cada_nuevo) cada_nuevo(items.back());
    });
    ctx_->Sesion().Ejecuta("UID FETCH " + uids + " (UID FLAGS BODY.PEEK[HEADER.FIELDS (" + CamposDeCabecera() + ")])");
  };
  if (!listada_ || validez_ != ctx_->UidValidez()) {
    lee_cabeceras("1:*");
  } else {
    // A folder listed before in this session: the flags of every message, and the headers of
    // the messages no object of ours stands for.
    std::vector<std::uint32_t> por_leer;
    {
      // (A message whose header is read below gets its number then.)
      auto oyente = ctx_->Escucha([&](Respuesta& r) {
        if (oye_expunge(r) || r.nombre != "FETCH") return;
        Fetch f = AnalizaFetch(std::move(r));
        if (!f.uid || !f.flags) return;
        const auto it = conocidos_.find(*f.uid);
        auto objeto = it == conocidos_.end() ? nullptr : it->second.lock();
        if (objeto && objeto->CoincideConServidor()) {
          objeto->FijaBanderasLeidas(std::move(*f.flags));
          items.push_back(std::move(objeto));
          aprende(f.numero);
        } else {
          por_leer.push_back(*f.uid);
        }
      });
      ctx_->Sesion().Ejecuta("UID FETCH 1:* (UID FLAGS)");
    }
    if (!por_leer.empty()) lee_cabeceras(ConjuntoUid(por_leer));
  }
  if (noop != 0) ctx_->Sesion().Espera(noop);
  // Messages expunged by another client after their FETCH are not there.
  for (size_t i = 0; i < items.size(); ++i) {
    if (!secuencias[i].Vivo()) items[i].reset();
  }
  std::erase(items, nullptr);
  std::sort(items.begin(), items.end(), [](const auto& a, const auto& b) { return a->Uid() < b->Uid(); });

  // Two messages of one item: keep the newest with the union of the flags, expunge the others.
  // The read state is the newest message's: the pass that wrote it chose it (a downloaded
  // text comes unread, for the user to notice).
  // (By a hash of the identifier, which objects keep when their fields are let go.)
  std::unordered_map<std::uint64_t, size_t> por_id;
  std::vector<std::uint32_t> sobrantes;
  std::vector<bool> fuera(items.size(), false);
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i]->HuellaMessageId() == Fnv1a("")) continue;
    auto [it, nuevo] = por_id.emplace(items[i]->HuellaMessageId(), i);
    if (nuevo) continue;
    const size_t viejo = it->second;
    it->second = i;
    fuera[viejo] = true;
    sobrantes.push_back(items[viejo]->Uid());
    std::vector<std::string> union_;
    if (items[viejo]->FlagStatus() == kMarcado && items[i]->FlagStatus() != kMarcado) union_.push_back("\\Flagged");
    for (const auto& b : items[viejo]->Banderas()) {
      if (std::find(items[i]->Banderas().begin(), items[i]->Banderas().end(), b) == items[i]->Banderas().end()) {
        union_.push_back(b);
      }
    }
    if (!union_.empty()) {
      std::string lista;
      for (const auto& b : union_) lista += (lista.empty() ? "" : " ") + b;
      ctx_->Sesion().Ejecuta("UID STORE " + std::to_string(items[i]->Uid()) + " +FLAGS.SILENT (" + lista + ")");
      items[i]->AnadeBanderasGuardadas(union_);
    }
  }
  std::vector<std::shared_ptr<Item>> r;
  r.reserve(items.size());
  conocidos_.clear();
  listada_ = true;
  validez_ = ctx_->UidValidez();
  for (size_t i = 0; i < items.size(); ++i) {
    if (fuera[i]) continue;
    conocidos_.emplace(items[i]->Uid(), items[i]);
    r.push_back(std::move(items[i]));
  }
  if (!sobrantes.empty()) {
    const std::string lista = ConjuntoUid(sobrantes);
    ctx_->Sesion().Ejecuta("UID STORE " + lista + " +FLAGS.SILENT (\\Deleted)");
    ctx_->Sesion().Ejecuta(ctx_->OrdenExpunge(lista));
  }
  return r;
}

std::shared_ptr<Item> CarpetaImap::Find(std::string_view filter) {
  const auto asunto = mensaje::LeeFiltroAsunto(filter);
  if (!asunto) {
    throw Error(errnum::kArgumentoNoValido, Formatea(Traduce("Filtro no válido: «%s»"), {filter}));
  }
  for (auto& item : Items()) {
    if (IgualSinCaso(item->Subject(), *asunto)) return item;
  }
  return nullptr;
}

}  // namespace tablon::store::imap
