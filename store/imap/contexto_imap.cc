#include "store/imap/contexto_imap.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <cstdio>
#include <utility>

#include "core/ascii.h"
#include "core/error.h"
#include "core/paso.h"
#include "core/traduce.h"
#include "store/imap/carpeta_imap.h"
#include "store/imap/item_imap.h"
#include "store/imap/nombre_buzon.h"

namespace tablon::store::imap {

ContextoImap::ContextoImap(std::unique_ptr<SesionImap> sesion, const UbicacionImap& ubicacion)
    : sesion_(std::move(sesion)), descripcion_(ubicacion.Describe()) {
  std::random_device rd;
  azar_.seed((static_cast<std::uint64_t>(rd()) << 32) ^ rd());
  sesion_->FijaManejador([this](Respuesta& r) { Despacha(r); });
  // The hierarchy delimiter: LIST "" "" answers the root with it.
  std::optional<char> delimitador;
  bool plano = false;
  {
    auto oyente = Escucha([&](Respuesta& r) {
      if (r.nombre != "LIST") return;
      const imap::Buzon b = AnalizaBuzon(r);
      delimitador = b.delimitador;
      plano = !b.delimitador;
    });
    sesion_->Ejecuta("LIST \"\" \"\"");
  }
  delimitador_ = plano ? '\0' : delimitador.value_or('/');
  prefijo_ = Buzon(ubicacion.prefijo);  // (below the account's root while prefijo_ is empty)
}

ContextoImap::~ContextoImap() {
  try {
    CompletaReemplazos();
    CompletaAppends();
  } catch (const std::exception& e) {
    NotificaFalloOmitido(e);
  }
}

std::string ContextoImap::Buzon(const std::vector<std::string>& ruta) const {
  std::string r = prefijo_;
  for (const auto& parte : ruta) {
    if (!r.empty()) {
      if (delimitador_ == '\0') {
        throw Error(errnum::kArgumentoNoValido,
                    Formatea(Traduce("El servidor IMAP %s no admite carpetas dentro de carpetas"), {descripcion_}));
      }
      r += delimitador_;
    }
    r += CodificaParteBuzon(parte, delimitador_);
  }
  return r;
}

std::uint32_t ContextoImap::Selecciona(const std::string& buzon) {
  if (seleccionado_ && *seleccionado_ == buzon) return existentes_;
  seleccionado_.reset();
  existentes_ = 0;
  uid_validez_ = 0;
  const auto fin = sesion_->Envia(Comando{"SELECT " + EscribeCadena(buzon), {}});
  const Completado c = sesion_->Espera(fin);
  if (!c.Ok()) {
    throw Error(errnum::kObjetoNoEncontrado,
                Formatea(Traduce("No se puede abrir la carpeta IMAP «%s» de %s: %s"), {buzon, descripcion_, c.texto}));
  }
  seleccionado_ = buzon;
  return existentes_;
}

std::uint64_t ContextoImap::SeleccionaAlDia(const std::string& buzon) {
  if (!seleccionado_ || *seleccionado_ != buzon) {
    Selecciona(buzon);
    return 0;
  }
  return sesion_->Envia(Comando{"NOOP", {}});
}

Completado ContextoImap::EjecutaAlDia(const std::string& buzon, const std::string& comando) {
  const std::uint64_t noop = SeleccionaAlDia(buzon);
  Completado c = sesion_->Ejecuta(comando);
  if (noop != 0) sesion_->Espera(noop);
  return c;
}

std::unique_ptr<ContextoImap::Oyente> ContextoImap::Escucha(std::function<void(Respuesta&)> f) {
  auto antes = std::exchange(escucha_, std::move(f));
  return std::make_unique<Oyente>(*this, std::move(antes));
}

void ContextoImap::Despacha(Respuesta& r) {
  if (r.clase == ClaseRespuesta::kNoEtiquetada) {
    if (r.nombre == "EXISTS" && r.numero) existentes_ = *r.numero;
    if (r.nombre == "EXPUNGE" && existentes_ > 0) --existentes_;
    if (r.nombre == "OK" && r.codigo && r.codigo->nombre == "UIDVALIDITY") {
      uid_validez_ = AnalizaNumero(r.codigo->argumentos).value_or(0);
    }
  }
  if (escucha_) escucha_(r);
}

std::string ContextoImap::NuevoMessageId() {
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  char buf[96];
  std::snprintf(buf, sizeof buf, "<%lld.%ld.%u.%016llx@tablon.invalid>", static_cast<long long>(us),
                static_cast<long>(getpid()), static_cast<unsigned>(++contador_),
                static_cast<unsigned long long>(azar_()));
  return buf;
}

std::uint64_t ContextoImap::Append(const std::string& buzon, const std::string& atributos, std::string bytes,
                                   std::weak_ptr<ItemImap> item) {
  const std::uint64_t serie = ++serie_;
  if (!sesion_->Tiene("MULTIAPPEND")) {
    Comando c;
    c.texto = "APPEND " + EscribeCadena(buzon) + " " + atributos + " ";
    c.literales.push_back({std::move(bytes), ""});
    appends_.push_back({sesion_->Envia(c), {{serie, std::move(item)}}});
  } else {
    if (!lote_mensajes_.empty() &&
        (lote_buzon_ != buzon || lote_mensajes_.size() >= kPorLote || lote_bytes_ + bytes.size() > kBytesPorLote)) {
      EnviaLote();
    }
    if (lote_mensajes_.empty()) {
      lote_buzon_ = buzon;
      lote_.texto = "APPEND " + EscribeCadena(buzon) + " " + atributos + " ";
    } else {
      lote_.literales.back().tras = " " + atributos + " ";
    }
    lote_bytes_ += bytes.size();
    lote_.literales.push_back({std::move(bytes), ""});
    lote_mensajes_.push_back({serie, std::move(item)});
    if (lote_mensajes_.size() >= kPorLote) EnviaLote();
  }
  if (appends_.size() > kEnVuelo) CompletaAppends(appends_.front().mensajes.back().serie);
  return serie;
}

void ContextoImap::EnviaLote() {
  if (lote_mensajes_.empty()) return;
  Lote l;
  l.etiqueta = sesion_->Envia(lote_);
  l.mensajes = std::move(lote_mensajes_);
  appends_.push_back(std::move(l));
  lote_ = Comando{};
  lote_mensajes_.clear();
  lote_bytes_ = 0;
}

namespace {

// The UIDs of an APPENDUID code ("38505 3955:3957,3960"), in the order of the messages; empty
// when the code is missing, malformed or names another count.
std::vector<std::uint32_t> UidsAgregados(const std::optional<Codigo>& codigo, std::size_t cuantos) {
  std::vector<std::uint32_t> r;
  if (!codigo || codigo->nombre != "APPENDUID") return r;
  const auto blanco = codigo->argumentos.find(' ');
  if (blanco == std::string::npos) return r;
  std::string_view conjunto = std::string_view(codigo->argumentos).substr(blanco + 1);
  while (!conjunto.empty() && r.size() <= cuantos) {
    const auto coma = conjunto.find(',');
    const std::string_view tramo = conjunto.substr(0, coma);
    conjunto = coma == std::string_view::npos ? std::string_view() : conjunto.substr(coma + 1);
    const auto dos = tramo.find(':');
    const auto a = AnalizaNzNumero(tramo.substr(0, dos));
    const auto b = dos == std::string_view::npos ? a : AnalizaNzNumero(tramo.substr(dos + 1));
    if (!a || !b || *b < *a || *b - *a >= cuantos) return {};
    for (std::uint64_t u = *a; u <= *b; ++u) r.push_back(static_cast<std::uint32_t>(u));
  }
  if (r.size() != cuantos) r.clear();
  return r;
}

}  // namespace

void ContextoImap::CompletaAppends(std::uint64_t serie) {
  EnviaLote();
  while (!appends_.empty() && (serie == 0 || appends_.front().mensajes.front().serie <= serie)) {
    const Lote l = std::move(appends_.front());
    appends_.pop_front();
    const Completado c = sesion_->Espera(l.etiqueta);
    if (!c.Ok()) {
      // Not replaced after all: their old messages stay.
      std::erase_if(reemplazos_, [&](const Reemplazo& r) {
        return r.serie >= l.mensajes.front().serie && r.serie <= l.mensajes.back().serie;
      });
      throw Error(errnum::kProtocolo,
                  l.mensajes.size() == 1
                      ? Formatea(Traduce("El servidor IMAP %s no guardó un elemento (APPEND): %s"),
                                 {descripcion_, c.texto})
                      : Formatea(Traduce("El servidor IMAP %s no guardó %s elementos (APPEND): %s"),
                                 {descripcion_, std::to_string(l.mensajes.size()), c.texto}));
    }
    const std::vector<std::uint32_t> uids = UidsAgregados(c.codigo, l.mensajes.size());
    for (std::size_t i = 0; i < l.mensajes.size(); ++i) {
      const std::uint32_t uid = uids.empty() ? 0 : uids[i];
      for (auto& r : reemplazos_) {
        if (r.serie == l.mensajes[i].serie) r.nuevo = uid;
      }
      if (auto item = l.mensajes[i].item.lock()) item->AppendCompletado(uid);
    }
  }
}

void ContextoImap::CompletaReemplazos() {
  if (reemplazos_.empty()) return;
  CompletaAppends();
  std::map<std::string, std::vector<Reemplazo>> por_buzon;
  for (auto& r : reemplazos_) por_buzon[r.buzon].push_back(std::move(r));
  reemplazos_.clear();
  for (auto& [buzon, lista] : por_buzon) {
    std::vector<std::uint32_t> viejos;
    for (const auto& r : lista) viejos.push_back(r.viejo);
    const std::string conjunto = ConjuntoUid(viejos);
    // The old messages' flags now; one a client expunged gives none (its EXPUNGE may come
    // after its FETCH).
    std::map<std::uint32_t, std::vector<std::string>> banderas;
    std::vector<std::pair<Secuencia, std::uint32_t>> secuencias;  // (number, UID)
    {
      auto oyente = Escucha([&](Respuesta& r) {
        if (r.nombre == "EXPUNGE" && r.numero) {
          for (auto& [n, uid] : secuencias) {
            n.Expunge(*r.numero);
            if (n.borrado) banderas.erase(uid);
          }
          return;
        }
        if (r.nombre != "FETCH") return;
        Fetch f = AnalizaFetch(std::move(r));
        if (!f.uid || !f.flags || !std::binary_search(viejos.begin(), viejos.end(), *f.uid)) return;
        banderas[*f.uid] = std::move(*f.flags);
        secuencias.emplace_back(Secuencia{}, *f.uid);
        secuencias.back().first.Aprende(f.numero);
      });
      std::sort(viejos.begin(), viejos.end());
      EjecutaAlDia(buzon, "UID FETCH " + conjunto + " (FLAGS)");
    }
    std::map<std::string, std::vector<std::uint32_t>> por_banderas;  // flags to add -> new messages
    std::vector<std::uint32_t> borrar;
    for (const auto& r : lista) {
      const auto b = banderas.find(r.viejo);
      if (b == banderas.end()) {
        if (r.nuevo != 0) borrar.push_back(r.nuevo);
        continue;
      }
      borrar.push_back(r.viejo);
      std::string extra;
      for (const auto& bandera : b->second) {
        if (IgualSinCaso(bandera, "\\Seen") || IgualSinCaso(bandera, "\\Recent") || IgualSinCaso(bandera, "\\Deleted") ||
            (r.fija_marca && IgualSinCaso(bandera, "\\Flagged"))) {
          continue;
        }
        if (std::none_of(r.nuevas.begin(), r.nuevas.end(), [&](const std::string& n) { return IgualSinCaso(n, bandera); })) {
          extra += (extra.empty() ? "" : " ") + bandera;
        }
      }
      if (!extra.empty() && r.nuevo != 0) por_banderas[extra].push_back(r.nuevo);
    }
    std::vector<std::pair<std::uint64_t, const char*>> enviados;
    for (const auto& [extra, nuevos] : por_banderas) {
      enviados.emplace_back(
          sesion_->Envia(Comando{"UID STORE " + ConjuntoUid(nuevos) + " +FLAGS.SILENT (" + extra + ")", {}}), "UID STORE");
    }
    if (!borrar.empty()) {
      const std::string b = ConjuntoUid(borrar);
      enviados.emplace_back(sesion_->Envia(Comando{"UID STORE " + b + " +FLAGS.SILENT (\\Deleted)", {}}), "UID STORE");
      enviados.emplace_back(sesion_->Envia(Comando{OrdenExpunge(b), {}}), "EXPUNGE");
    }
    for (const auto& [etiqueta, orden] : enviados) {
      const Completado c = sesion_->Espera(etiqueta);
      if (!c.Ok()) {
        throw Error(errnum::kProtocolo,
                    Formatea(Traduce("El servidor IMAP %s rechazó %s: %s"), {descripcion_, orden, c.texto}));
      }
    }
  }
}

void ContextoImap::OlvidaPendiente(ItemImap* item) {
  for (size_t i = 0; i < pendientes_.size(); ++i) {
    if (pendientes_[i] == item) {
      pendientes_.erase(pendientes_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void ContextoImap::EscribePendientes() {
  // Each write takes its item off the registry.
  while (!pendientes_.empty()) pendientes_.front()->EscribeBorrador();
}

}  // namespace tablon::store::imap
