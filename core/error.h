// The one error type of Tablón: a number and a description, as the run shows them when a failure
// ends it. Every layer raises `tablon::Error`; errno values are mapped to it in one place
// (`Error::DeErrno`). Numbers follow the families below so that a caller can tell a missing
// object from a network fault without parsing the text; descriptions are Spanish and say what
// happened, naming the object (path, host, property) where there is one.
#pragma once

#include <stdexcept>
#include <string>

namespace tablon {

// Error numbers. The small ones keep the meanings mail and automation users know; the network
// ones are the classic socket numbers; an NNTP status received from a server is raised with the
// status code itself as its number (430, 480, 502, ...).
namespace errnum {
inline constexpr long kArgumentoNoValido = 5;     // a value that cannot be used (bad text, bad name)
inline constexpr long kDesbordamiento = 6;        // a number or count out of range
inline constexpr long kMemoriaInsuficiente = 7;   // an allocation failed
inline constexpr long kTipoNoCoincide = 13;       // an object of another kind than asked for
inline constexpr long kArchivoNoEncontrado = 53;  // a file or directory that does not exist
inline constexpr long kErrorDeEntradaSalida = 57; // read, write or sync failed
inline constexpr long kDiscoLleno = 61;           // ENOSPC, EDQUOT
inline constexpr long kPermisoDenegado = 70;      // EACCES, EPERM, EROFS
inline constexpr long kAccesoARuta = 75;          // any other file-system failure
inline constexpr long kObjetoNoEncontrado = 440;  // a folder, item or user property that is not there
inline constexpr long kBloqueado = 470;           // another pass holds the lock
inline constexpr long kProtocolo = 10001;         // a server reply that breaks the protocol
inline constexpr long kConexionCerrada = 10054;   // the peer closed or reset the connection
inline constexpr long kTiempoAgotado = 10060;     // connect or read timeout
inline constexpr long kConexionRechazada = 10061; // nobody listens there
inline constexpr long kHostDesconocido = 11001;   // the host name does not resolve
inline constexpr long kTls = 10100;               // TLS handshake or certificate failure
inline constexpr long kCredenciales = 10200;      // credentials refused or not sendable safely
}  // namespace errnum

class Error : public std::runtime_error {
 public:
  Error(long number, std::string description);

  // `motivo`: the cause alone, short, for a line that counts such failures (see Motivo).
  Error(long number, std::string description, std::string motivo);

  long Number() const noexcept { return number_; }
  const std::string& Description() const noexcept { return description_; }
  // The cause without the object: the system's text of an errno failure ("No queda espacio en el
  // dispositivo"), else the whole description.
  const std::string& Motivo() const noexcept { return motivo_.empty() ? description_ : motivo_; }

  // Maps an errno value to the numbers above; `what` names the operation and its object,
  // e.g. "no se pudo crear /x/y". The system's own text is appended, and is the Motivo.
  static Error DeErrno(int err, const std::string& what);

 private:
  long number_;
  std::string description_;
  std::string motivo_;
};

}  // namespace tablon
