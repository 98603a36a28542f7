// What every object of one open IMAP store shares: the session, where the store's folders lie on
// the server (the prefix and the hierarchy delimiter), which mailbox is selected, the APPENDs
// still in flight and the drafts kept in memory. Folders and items hold it by shared reference;
// it holds nothing back but weak references (no cycles).
//
// Every call raises what the session raises (store/imap/sesion_imap.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "store/imap/sesion_imap.h"

namespace tablon::store::imap {

class ItemImap;

// The sequence number of one message, followed through the EXPUNGE responses that come after
// it was learnt (each one renumbers the messages after it): how a caller tells that the message
// a FETCH just answered for was expunged by another client in the same exchange (a server may
// answer a FETCH for a message and only then report its expunge).
struct Secuencia {
  std::uint32_t numero = 0;  // 0: not learnt, or gone
  bool borrado = false;
  void Aprende(std::uint32_t n) {
    numero = n;
    borrado = false;
  }
  void Expunge(std::uint32_t n) {
    if (numero == 0) return;
    if (n == numero) {
      numero = 0;
      borrado = true;
    } else if (n < numero) {
      --numero;
    }
  }
  // Learnt and not expunged since.
  bool Vivo() const { return numero != 0; }
};

class ContextoImap {
 public:
  // Learns the delimiter (LIST "" "") and keeps the session.
  ContextoImap(std::unique_ptr<SesionImap> sesion, const UbicacionImap& ubicacion);
  // Waits for the APPENDs still in flight (a connection closed with replies unread is reset,
  // and the server would drop what it had not read yet) and removes the replaced messages; a
  // failure is reported to the trap observer (core/paso.h): a destructor cannot throw.
  ~ContextoImap();
  ContextoImap(const ContextoImap&) = delete;
  ContextoImap& operator=(const ContextoImap&) = delete;

  SesionImap& Sesion() { return *sesion_; }
  const std::string& Descripcion() const { return descripcion_; }
  char Delimitador() const { return delimitador_; }

  // The mailbox name of the folder at `ruta` (folder names from the namespace down); the
  // prefix's mailbox for an empty path. kArgumentoNoValido for a nested path on a server whose
  // name space is flat.
  std::string Buzon(const std::vector<std::string>& ruta) const;

  // Selects `buzon` unless it is selected already; answers how many messages it holds.
  // A mailbox that is not there: kObjetoNoEncontrado.
  std::uint32_t Selecciona(const std::string& buzon);
  // Selects `buzon` as Selecciona does; when it was selected already, also sends a NOOP (not
  // waited for) so that the server tells what other clients changed in it (messages expunged,
  // flags) before the caller's next command is answered. Returns the NOOP's tag, 0 when none
  // was sent; the caller waits for it after sending its own command (one round trip for both).
  std::uint64_t SeleccionaAlDia(const std::string& buzon);
  // SeleccionaAlDia, then `comando` as SesionImap::Ejecuta runs it (a NO or BAD raises).
  Completado EjecutaAlDia(const std::string& buzon, const std::string& comando);
  // The selected mailbox changed under us or was removed: select it again next time.
  void OlvidaSeleccion() { seleccionado_.reset(); }
  const std::optional<std::string>& Seleccionado() const { return seleccionado_; }
  // The selected mailbox's UIDVALIDITY (0 when the server named none).
  std::uint32_t UidValidez() const { return uid_validez_; }

  // Untagged responses go to `f` until the returned guard goes, and then again to whatever
  // listened before (none: they are dropped).
  class Oyente {
   public:
    Oyente(ContextoImap& c, std::function<void(Respuesta&)> antes) : c_(c), antes_(std::move(antes)) {}
    ~Oyente() { c_.escucha_ = std::move(antes_); }
    Oyente(const Oyente&) = delete;
    Oyente& operator=(const Oyente&) = delete;

   private:
    ContextoImap& c_;
    std::function<void(Respuesta&)> antes_;
  };
  [[nodiscard]] std::unique_ptr<Oyente> Escucha(std::function<void(Respuesta&)> f);

  // The command that removes the messages `uids` (a UID set) once marked \Deleted: UID EXPUNGE,
  // or without UIDPLUS a whole EXPUNGE (which also removes whatever else was marked \Deleted in
  // the folder; the store's folders are its own).
  std::string OrdenExpunge(const std::string& uids) const {
    return sesion_->Tiene("UIDPLUS") ? "UID EXPUNGE " + uids : std::string("EXPUNGE");
  }

  // A new Message-ID, "<...@tablon.invalid>", unique across processes and hosts.
  std::string NuevoMessageId();

  // Appends a message to `buzon`: `atributos` are its flag list and date as APPEND takes them
  // ("(\\Seen) \"07-Dec-2026 10:00:00 +0000\""), `bytes` the message (CRLF line ends). Not
  // waited for: `item` learns its UID when the APPEND completes. Where the server offers
  // MULTIAPPEND, consecutive messages for one mailbox go in one command (up to kPorLote of them
  // or kBytesPorLote bytes; sent when the batch is full, when another mailbox is written to, or
  // when anything waits for an APPEND); otherwise each is one APPEND, pipelined. At most kEnVuelo
  // commands are left waiting; older ones are read to their end first. Answers the message's
  // number in this context's sequence of appends, for CompletaAppends.
  std::uint64_t Append(const std::string& buzon, const std::string& atributos, std::string bytes,
                       std::weak_ptr<ItemImap> item);
  // Sends the batch being filled, then reads the APPENDs in flight up to and including the one
  // of message `serie` (all of them for 0). The first that failed raises kProtocolo with the
  // server's text (its items stay unsaved: a MULTIAPPEND appends all its messages or none).
  void CompletaAppends(std::uint64_t serie = 0);
  static constexpr std::size_t kPorLote = 1000;
  static constexpr std::size_t kBytesPorLote = std::size_t{16} << 20;

  // A changed item's old message, removed once the new one is in (CompletaReemplazos): one
  // STORE and one EXPUNGE per folder for all the items a pass replaced, not two per item.
  struct Reemplazo {
    std::string buzon;
    std::uint32_t viejo = 0;            // the old message's UID
    std::uint64_t serie = 0;            // the new message's append (ContextoImap::Append)
    std::uint32_t nuevo = 0;            // its UID, once the APPEND completed and the server said
    std::vector<std::string> nuevas;    // the flags the new message was appended with
    bool fija_marca = false;            // the item was told its follow-up flag
  };
  void AnotaReemplazo(Reemplazo r) { reemplazos_.push_back(std::move(r)); }
  // Completes the APPENDs in flight, then, per folder: a flag a client set on an old message
  // since the item was saved is set on its new message too (not the read state, nor the
  // follow-up flag where the item set its own); an old message a client deleted meanwhile takes
  // its new message with it (an item deleted under us is not brought back); the old messages
  // are marked \Deleted and expunged. Fails as the session does; what was not done then is left
  // as two messages of one item, which the next listing makes one.
  void CompletaReemplazos();

  // Drafts kept in memory (Application::BorradoresEnMemoria).
  bool BorradoresEnMemoria() const { return borradores_en_memoria_; }
  void BorradoresEnMemoria(bool on) { borradores_en_memoria_ = on; }
  void RegistraPendiente(ItemImap* item) { pendientes_.push_back(item); }
  void OlvidaPendiente(ItemImap* item);
  // Writes every pending draft into the drafts folder; the first failure is thrown.
  void EscribePendientes();

  static constexpr std::size_t kEnVuelo = 64;

 private:
  void Despacha(Respuesta& r);

  std::unique_ptr<SesionImap> sesion_;
  std::string descripcion_;
  char delimitador_ = '/';
  std::string prefijo_;  // the prefix's mailbox name; empty for the account's root
  std::optional<std::string> seleccionado_;
  std::uint32_t existentes_ = 0;
  std::uint32_t uid_validez_ = 0;
  std::function<void(Respuesta&)> escucha_;
  struct Anotado {
    std::uint64_t serie;
    std::weak_ptr<ItemImap> item;
  };
  // A command in flight: an APPEND of one or more messages.
  struct Lote {
    std::uint64_t etiqueta = 0;
    std::vector<Anotado> mensajes;
  };
  void EnviaLote();
  std::deque<Lote> appends_;
  // The MULTIAPPEND being filled.
  std::string lote_buzon_;
  Comando lote_;
  std::vector<Anotado> lote_mensajes_;
  std::size_t lote_bytes_ = 0;
  std::uint64_t serie_ = 0;
  std::vector<Reemplazo> reemplazos_;
  bool borradores_en_memoria_ = false;
  std::vector<ItemImap*> pendientes_;
  std::mt19937_64 azar_;
  std::uint32_t contador_ = 0;
};

}  // namespace tablon::store::imap
