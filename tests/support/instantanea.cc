#include "support/instantanea.h"

#include <algorithm>
#include <sstream>

#include "store/mensaje/formato_item.h"
#include "support/tmpdir.h"

namespace tablon::test {

namespace fs = std::filesystem;

namespace {

void LeeCarpeta(const fs::path& raiz, const fs::path& dir, ItemsPorCarpeta& r) {
  const std::string rel = fs::relative(dir, raiz).string();
  for (const char* sub : {"cur", "new"}) {
    const fs::path d = dir / sub;
    if (!fs::is_directory(d)) continue;
    auto& items = r[rel];
    for (const auto& e : fs::directory_iterator(d)) {
      if (!e.is_regular_file() || e.path().filename().string()[0] == '.') continue;
      // (An IMAP server keeps the messages it was given with CRLF line ends; the store writes no
      // CR of its own.)
      std::string archivo = ReadFile(e.path());
      size_t fin = 0;
      for (size_t i = 0; i < archivo.size(); ++i) {
        if (archivo[i] != '\r' || i + 1 == archivo.size() || archivo[i + 1] != '\n') archivo[fin++] = archivo[i];
      }
      archivo.resize(fin);
      const std::string nombre = e.path().filename().string();
      const size_t info = nombre.find(":2,");
      auto cab = store::mensaje::LeeCabeceraItem(archivo);
      ItemEnDisco it;
      for (const auto& p : cab.registro.propiedades) {
        if (p.Name() == "ArticleID") it.clave = p.ComoTexto();
      }
      if (it.clave.empty()) it.clave = "asunto:" + cab.registro.asunto;
      it.clase = cab.registro.clase;
      it.banderas = info == std::string::npos ? "" : nombre.substr(info + 3);
      it.cuerpo = store::mensaje::CuerpoDeArchivo(archivo);
      items.push_back(std::move(it));
    }
  }
  if (auto it = r.find(rel); it != r.end()) std::sort(it->second.begin(), it->second.end());
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string n = e.path().filename().string();
    if (e.is_directory() && !e.is_symlink() && n != "cur" && n != "new" && n != "tmp") LeeCarpeta(raiz, e.path(), r);
  }
}

std::string Describe(const ItemEnDisco& i) {
  return i.clave + " [" + i.clase + "] :2," + i.banderas + " (" + std::to_string(i.cuerpo.size()) + " bytes)";
}

}  // namespace

ItemsPorCarpeta LeeAlmacen(const fs::path& raiz) {
  ItemsPorCarpeta r;
  LeeCarpeta(raiz, raiz, r);
  return r;
}

std::string Diferencias(const ItemsPorCarpeta& a, const ItemsPorCarpeta& b) {
  std::ostringstream o;
  std::map<std::string, int> carpetas;
  for (const auto& [c, v] : a) carpetas[c] |= 1;
  for (const auto& [c, v] : b) carpetas[c] |= 2;
  static const std::vector<ItemEnDisco> kNada;
  for (const auto& [c, donde] : carpetas) {
    const auto& x = donde & 1 ? a.at(c) : kNada;
    const auto& y = donde & 2 ? b.at(c) : kNada;
    if (x == y) continue;
    std::vector<ItemEnDisco> solo_a, solo_b;
    std::set_difference(x.begin(), x.end(), y.begin(), y.end(), std::back_inserter(solo_a));
    std::set_difference(y.begin(), y.end(), x.begin(), x.end(), std::back_inserter(solo_b));
    for (const auto& i : solo_a) o << "  " << c << ": only in the first: " << Describe(i) << "\n";
    for (const auto& i : solo_b) o << "  " << c << ": only in the second: " << Describe(i) << "\n";
  }
  return o.str();
}

std::string Duplicados(const ItemsPorCarpeta& s) {
  std::string r;
  for (const auto& [c, items] : s) {
    std::map<std::string, int> n;
    for (const auto& i : items) {
      if (++n[i.clave] == 2) r += c + ": " + i.clave + "\n";
    }
  }
  return r;
}

std::map<std::string, std::string> LeeServidores(const fs::path& dir, const std::string& prefijo_grupos) {
  std::map<std::string, std::string> r;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (!e.is_regular_file()) continue;
    const std::string nombre = e.path().filename().string();
    std::string texto = ReadFile(e.path());
    if (nombre.size() > 4 && nombre.substr(nombre.size() - 4) == ".txt") {
      std::istringstream in(texto);
      std::string linea, filtrado;
      for (int n = 0; std::getline(in, linea); ++n) {
        if (n == 0) continue;
        if (n == 1 && !prefijo_grupos.empty()) continue;  // the count includes others' groups
        if (n >= 2 && !prefijo_grupos.empty() && linea.rfind(prefijo_grupos, 0) != 0) continue;
        filtrado += linea + "\n";
      }
      texto = filtrado;
    }
    r[nombre] = texto;
  }
  return r;
}

}  // namespace tablon::test
