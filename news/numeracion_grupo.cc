#include "news/numeracion_grupo.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "core/error.h"

namespace tablon {

namespace {

constexpr std::string_view kCabecera = "tablon-numeracion 1";
constexpr size_t kMaxNombreArchivo = 200;

std::uint64_t Fnv1a(std::string_view s) {
  std::uint64_t h = 1469598103934665603ull;
  for (char c : s) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  return h;
}

std::string Hex(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

bool EsSeguro(unsigned char c, bool primero) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '_' || (c == '.' && !primero);
}

bool LeeEntero(std::string_view t, std::int64_t& v) {
  if (t.empty()) return false;
  const auto [fin, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  return ec == std::errc() && fin == t.data() + t.size() && v >= 0;
}

// Cuts the next LF-ended line off `resto`; false when no complete line is left.
bool SiguienteLinea(std::string_view& resto, std::string_view& linea) {
  const size_t fin = resto.find('\n');
  if (fin == std::string_view::npos) return false;
  linea = resto.substr(0, fin);
  resto.remove_prefix(fin + 1);
  return true;
}

std::string DirectorioDe(const std::string& ruta) {
  const size_t barra = ruta.rfind('/');
  return barra == std::string::npos ? std::string(".") : ruta.substr(0, barra);
}

}  // namespace

std::string ArchivoNumeracion(const std::string& dir, const std::string& grupo) {
  std::string nombre;
  for (size_t i = 0; i < grupo.size(); ++i) {
    const auto c = static_cast<unsigned char>(grupo[i]);
    if (EsSeguro(c, i == 0)) {
      nombre += static_cast<char>(c);
    } else {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      nombre += buf;
    }
  }
  if (nombre.size() > kMaxNombreArchivo) nombre = nombre.substr(0, kMaxNombreArchivo - 17) + "%" + Hex(Fnv1a(grupo));
  return dir + nombre;
}

std::optional<NumeracionGrupo> LeeNumeracion(Fs& fs, const std::string& ruta, const std::string& grupo,
                                             std::string& motivo) {
  std::string texto;
  try {
    texto = LeeArchivo(fs, ruta);
  } catch (const Error& e) {
    motivo = e.Number() == errnum::kArchivoNoEncontrado ? "no hay" : "ilegible (" + e.Description() + ")";
    return std::nullopt;
  }
  auto danado = [&](const char* que) {
    motivo = std::string("dañado (") + que + ")";
    return std::nullopt;
  };
  // The checksum line is the last one; everything before it is what it sums.
  if (texto.empty() || texto.back() != '\n') return danado("cortado");
  const size_t inicio_fin = texto.rfind('\n', texto.size() - 2);
  const size_t pos_fin = inicio_fin == std::string::npos ? 0 : inicio_fin + 1;
  const std::string_view cuerpo = std::string_view(texto).substr(0, pos_fin);
  const std::string_view ultima = std::string_view(texto).substr(pos_fin, texto.size() - 1 - pos_fin);
  std::string_view resto = cuerpo, linea;
  if (!SiguienteLinea(resto, linea) || linea != kCabecera) {
    motivo = "de otro formato o versión";
    return std::nullopt;
  }
  NumeracionGrupo n;
  if (!SiguienteLinea(resto, linea)) return danado("sin grupo");
  n.grupo = linea;
  if (!SiguienteLinea(resto, linea)) return danado("sin marcas");
  {
    const size_t a = linea.find(' '), b = a == std::string_view::npos ? a : linea.find(' ', a + 1);
    if (b == std::string_view::npos || !LeeEntero(linea.substr(0, a), n.primero) ||
        !LeeEntero(linea.substr(a + 1, b - a - 1), n.ultimo) || !LeeEntero(linea.substr(b + 1), n.cantidad)) {
      return danado("marcas ilegibles");
    }
  }
  while (SiguienteLinea(resto, linea)) {
    const size_t esp = linea.find(' ');
    std::int64_t num = 0;
    if (esp == std::string_view::npos || !LeeEntero(linea.substr(0, esp), num)) return danado("línea ilegible");
    if ((!n.articulos.empty() && num <= n.articulos.back().first) || num > n.ultimo) return danado("números desordenados");
    n.articulos.emplace_back(num, std::string(linea.substr(esp + 1)));
  }
  const std::string esperada = "fin " + std::to_string(n.articulos.size()) + " " + Hex(Fnv1a(cuerpo));
  if (ultima != esperada) return danado("suma o cuenta");
  if (n.grupo != grupo) {
    motivo = "de otro grupo";
    return std::nullopt;
  }
  return n;
}

void GuardaNumeracion(Fs& fs, const std::string& ruta, const NumeracionGrupo& n) {
  std::string texto;
  texto.reserve(64 + n.articulos.size() * 40);
  texto.append(kCabecera).append("\n").append(n.grupo).append("\n");
  texto.append(std::to_string(n.primero) + " " + std::to_string(n.ultimo) + " " + std::to_string(n.cantidad) + "\n");
  for (const auto& [num, id] : n.articulos) texto.append(std::to_string(num)).append(" ").append(id).append("\n");
  texto.append("fin " + std::to_string(n.articulos.size()) + " " + Hex(Fnv1a(texto)) + "\n");
  CreaDirectorio(fs, DirectorioDe(ruta));
  // "%" followed by no hex digits: never the file of a group.
  const std::string tmp = ruta + "%nuevo";
  fs.Unlink(tmp);  // left by a writer that was killed (one writer per servers directory)
  EntregaAtomica(fs, tmp, texto, ruta);
}

void BorraNumeracion(Fs& fs, const std::string& ruta) {
  if (fs.Unlink(ruta) != 0 && errno != ENOENT) {
    throw Error::DeErrno(errno, "no se pudo borrar " + ruta);
  }
}

}  // namespace tablon
