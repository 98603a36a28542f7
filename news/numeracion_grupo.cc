#include "news/numeracion_grupo.h"

#include <cerrno>
#include <charconv>
#include <cstdio>

#include "core/error.h"
#include "core/huella.h"
#include "core/traduce.h"

namespace tablon {

namespace {

constexpr std::string_view kCabecera = "tablon-numeracion 2";
constexpr size_t kMaxNombreArchivo = 200;

bool EsSeguro(unsigned char c, bool primero) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '-' || c == '_' || (c == '.' && !primero);
}

bool LeeEntero(std::string_view t, std::int64_t& v) {
  if (t.empty()) return false;
  const auto [fin, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  return ec == std::errc() && fin == t.data() + t.size() && v >= 0;
}

bool LeeHex(std::string_view t, std::uint64_t& v) {
  if (t.size() != 16) return false;
  const auto [fin, ec] = std::from_chars(t.data(), t.data() + t.size(), v, 16);
  return ec == std::errc() && fin == t.data() + t.size();
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

// Appends the article line of (num, hash) as the file holds it.
void AgregaLinea(std::string& t, std::int64_t num, std::uint64_t huella) {
  t.append(std::to_string(num)).append(" ").append(Hex64(huella)).append("\n");
}

// The first three lines of a file with head `c` for `grupo`.
std::string TextoCabecera(const std::string& grupo, const CabeceraNumeracion& c) {
  return std::string(kCabecera) + "\n" + grupo + "\n" + std::to_string(c.primero) + " " + std::to_string(c.ultimo) +
         " " + std::to_string(c.cantidad) + " " + std::to_string(c.numero_alto) + " " + Hex64(c.huella) + " " +
         Hex64(c.huella_alta) + "\n";
}

// Reads the head (the first four lines) off `resto`; nullopt with the reason.
std::optional<CabeceraNumeracion> AnalizaCabecera(std::string_view& resto, const std::string& grupo,
                                                  std::string& motivo) {
  const std::string_view todo = resto;
  std::string_view linea;
  if (!SiguienteLinea(resto, linea) || linea != kCabecera) {
    motivo = Traduce("de otro formato o versión");
    return std::nullopt;
  }
  auto danado = [&](const char* que) {
    motivo = Formatea(Traduce("dañado (%s)"), {que});
    return std::nullopt;
  };
  std::string_view nombre, marcas;
  if (!SiguienteLinea(resto, nombre)) return danado(Traduce("sin grupo"));
  if (!SiguienteLinea(resto, marcas)) return danado(Traduce("sin marcas"));
  const std::string_view sumado = todo.substr(0, todo.size() - resto.size());
  if (!SiguienteLinea(resto, linea) || linea != "cabecera " + Hex64(Fnv1a(sumado))) return danado(Traduce("cabecera"));
  CabeceraNumeracion c;
  std::string_view campos[5];
  for (auto& campo : campos) {
    const size_t esp = marcas.find(' ');
    if (esp == std::string_view::npos) return danado(Traduce("marcas ilegibles"));
    campo = marcas.substr(0, esp);
    marcas.remove_prefix(esp + 1);
  }
  if (!LeeEntero(campos[0], c.primero) || !LeeEntero(campos[1], c.ultimo) || !LeeEntero(campos[2], c.cantidad) ||
      !LeeEntero(campos[3], c.numero_alto) || !LeeHex(campos[4], c.huella) || !LeeHex(marcas, c.huella_alta)) {
    return danado(Traduce("marcas ilegibles"));
  }
  if (nombre != grupo) {
    motivo = Traduce("de otro grupo");
    return std::nullopt;
  }
  return c;
}

// Where the head ends: after its fourth line.
size_t FinCabecera(std::string_view leido, size_t) {
  size_t pos = 0;
  for (int k = 0; k < 4; ++k) {
    pos = leido.find('\n', pos);
    if (pos == std::string_view::npos) return std::string_view::npos;
    ++pos;
  }
  return pos;
}

}  // namespace

std::string CabeceraNumeracion::Vinculo() const {
  return std::to_string(primero) + " " + std::to_string(ultimo) + " " + std::to_string(cantidad) + " " + Hex64(huella);
}

std::uint64_t HuellaIdentificador(std::string_view id) {
  if (id.empty()) return 0;
  const std::uint64_t h = Fnv1aSinCaso(id);
  return h == 0 ? 1 : h;
}

CabeceraNumeracion CabeceraDe(const NumeracionGrupo& n) {
  CabeceraNumeracion c;
  c.primero = n.primero;
  c.ultimo = n.ultimo;
  c.cantidad = n.cantidad;
  for (auto it = n.articulos.rbegin(); it != n.articulos.rend(); ++it) {
    if (it->second == 0) continue;
    c.numero_alto = it->first;
    c.huella_alta = it->second;
    break;
  }
  // The fingerprint is that of the article lines, summed a line at a time.
  std::uint64_t h = kFnvBase;
  std::string linea;
  for (const auto& [num, huella] : n.articulos) {
    linea.clear();
    AgregaLinea(linea, num, huella);
    h = Fnv1a(linea, h);
  }
  c.huella = h;
  return c;
}

std::optional<CabeceraNumeracion> LeeCabeceraNumeracion(Fs& fs, const std::string& ruta, const std::string& grupo,
                                                         std::string& motivo) {
  std::string texto;
  try {
    LeeArchivoHasta(fs, ruta, FinCabecera, texto);
  } catch (const Error& e) {
    motivo = e.Number() == errnum::kArchivoNoEncontrado ? std::string(Traduce("no hay")) : Formatea(Traduce("ilegible (%s)"), {e.Description()});
    return std::nullopt;
  }
  std::string_view resto = texto;
  return AnalizaCabecera(resto, grupo, motivo);
}

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
  if (nombre.size() > kMaxNombreArchivo) nombre = nombre.substr(0, kMaxNombreArchivo - 17) + "%" + Hex64(Fnv1a(grupo));
  return dir + nombre;
}

std::optional<NumeracionGrupo> LeeNumeracion(Fs& fs, const std::string& ruta, const std::string& grupo,
                                             std::string& motivo) {
  std::string texto;
  try {
    texto = LeeArchivo(fs, ruta);
  } catch (const Error& e) {
    motivo = e.Number() == errnum::kArchivoNoEncontrado ? std::string(Traduce("no hay")) : Formatea(Traduce("ilegible (%s)"), {e.Description()});
    return std::nullopt;
  }
  auto danado = [&](const char* que) {
    motivo = Formatea(Traduce("dañado (%s)"), {que});
    return std::nullopt;
  };
  // The checksum line is the last one; everything before it is what it sums.
  if (texto.empty() || texto.back() != '\n') return danado(Traduce("cortado"));
  const size_t inicio_fin = texto.rfind('\n', texto.size() - 2);
  const size_t pos_fin = inicio_fin == std::string::npos ? 0 : inicio_fin + 1;
  const std::string_view cuerpo = std::string_view(texto).substr(0, pos_fin);
  const std::string_view ultima = std::string_view(texto).substr(pos_fin, texto.size() - 1 - pos_fin);
  std::string_view resto = cuerpo, linea;
  const auto cabecera = AnalizaCabecera(resto, grupo, motivo);
  if (!cabecera) return std::nullopt;
  NumeracionGrupo n;
  n.grupo = grupo;
  n.primero = cabecera->primero;
  n.ultimo = cabecera->ultimo;
  n.cantidad = cabecera->cantidad;
  while (SiguienteLinea(resto, linea)) {
    const size_t esp = linea.find(' ');
    std::int64_t num = 0;
    if (esp == std::string_view::npos || !LeeEntero(linea.substr(0, esp), num)) return danado(Traduce("línea ilegible"));
    if ((!n.articulos.empty() && num <= n.articulos.back().first) || num > n.ultimo) return danado(Traduce("números desordenados"));
    std::uint64_t huella = 0;
    if (!LeeHex(linea.substr(esp + 1), huella)) return danado(Traduce("línea ilegible"));
    n.articulos.emplace_back(num, huella);
  }
  const std::string esperada = "fin " + std::to_string(n.articulos.size()) + " " + Hex64(Fnv1a(cuerpo));
  if (ultima != esperada) return danado(Traduce("suma o cuenta"));
  // The head must describe these very articles.
  if (CabeceraDe(n) != *cabecera) return danado(Traduce("cabecera"));
  return n;
}

CabeceraNumeracion GuardaNumeracion(Fs& fs, const std::string& ruta, const NumeracionGrupo& n) {
  const CabeceraNumeracion c = CabeceraDe(n);
  std::string texto = TextoCabecera(n.grupo, c);
  texto.append("cabecera " + Hex64(Fnv1a(texto)) + "\n");
  texto.reserve(texto.size() + 64 + n.articulos.size() * 26);
  for (const auto& [num, huella] : n.articulos) AgregaLinea(texto, num, huella);
  texto.append("fin " + std::to_string(n.articulos.size()) + " " + Hex64(Fnv1a(texto)) + "\n");
  CreaDirectorio(fs, DirectorioDe(ruta));
  // "%" followed by no hex digits: never the file of a group.
  const std::string tmp = ruta + "%nuevo";
  fs.Unlink(tmp);  // left by a writer that was killed (one writer per servers directory)
  EntregaAtomica(fs, tmp, texto, ruta);
  return c;
}

void BorraNumeracion(Fs& fs, const std::string& ruta) {
  if (fs.Unlink(ruta) != 0 && errno != ENOENT) {
    throw Error::DeErrno(errno, Formatea(Traduce("no se pudo borrar %s"), {ruta}));
  }
}

}  // namespace tablon
