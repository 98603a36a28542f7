#include "core/error.h"

#include <cerrno>
#include <cstring>

namespace tablon {

Error::Error(long number, std::string description)
    : std::runtime_error(description), number_(number), description_(std::move(description)) {}

Error::Error(long number, std::string description, std::string motivo)
    : Error(number, std::move(description)) {
  motivo_ = std::move(motivo);
}

Error Error::DeErrno(int err, const std::string& what) {
  long number = errnum::kAccesoARuta;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      number = errnum::kArchivoNoEncontrado;
      break;
    case ENOSPC:
    case EDQUOT:
      number = errnum::kDiscoLleno;
      break;
    case EACCES:
    case EPERM:
    case EROFS:
      number = errnum::kPermisoDenegado;
      break;
    case EIO:
      number = errnum::kErrorDeEntradaSalida;
      break;
    case ETIMEDOUT:
      number = errnum::kTiempoAgotado;
      break;
    case ECONNREFUSED:
      number = errnum::kConexionRechazada;
      break;
    case ECONNRESET:
    case EPIPE:
      number = errnum::kConexionCerrada;
      break;
    default:
      break;
  }
  std::string motivo = std::strerror(err);
  return Error(number, what + ": " + motivo, motivo);
}

}  // namespace tablon
