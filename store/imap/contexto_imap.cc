#include "store/imap/contexto_imap.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <utility>

#include "core/ascii.h"
#include "core/error.h"
#include "core/paso.h"
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
                    "El servidor IMAP " + descripcion_ + " no admite carpetas dentro de carpetas");
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
    throw Error(errnum::kObjetoNoEncontrado, "No se puede abrir la carpeta IMAP «" + buzon + "» de " +
                                                 descripcion_ + ": " + c.texto);
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

void ContextoImap::AnotaAppend(std::uint64_t etiqueta, std::weak_ptr<ItemImap> item) {
  appends_.push_back({etiqueta, std::move(item)});
  if (appends_.size() > kEnVuelo) CompletaAppends(appends_.front().etiqueta);
}

void ContextoImap::CompletaAppends(std::uint64_t etiqueta) {
  while (!appends_.empty() && (etiqueta == 0 || appends_.front().etiqueta <= etiqueta)) {
    const Append a = appends_.front();
    appends_.pop_front();
    const Completado c = sesion_->Espera(a.etiqueta);
    auto item = a.item.lock();
    if (!c.Ok()) {
      throw Error(errnum::kProtocolo, "El servidor IMAP " + descripcion_ +
                                          " no guardó un elemento (APPEND): " + c.texto);
    }
    // [APPENDUID uidvalidity uid]
    std::uint32_t uid = 0;
    if (c.codigo && c.codigo->nombre == "APPENDUID") {
      const auto blanco = c.codigo->argumentos.find(' ');
      if (blanco != std::string::npos) {
        uid = AnalizaNzNumero(std::string_view(c.codigo->argumentos).substr(blanco + 1)).value_or(0);
      }
    }
    if (item) item->AppendCompletado(uid);
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
