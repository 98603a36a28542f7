#include "store/maildir/item_format.h"

#include <charconv>
#include <ctime>

#include "store/maildir/header_text.h"

namespace tablon::store::maildir {

namespace {

constexpr std::string_view kClase = "X-Tablon-Clase";
constexpr std::string_view kAsunto = "X-Tablon-Asunto";
constexpr std::string_view kDe = "X-Tablon-De";
constexpr std::string_view kPara = "X-Tablon-Para";
constexpr std::string_view kResponderA = "X-Tablon-Responder-A";
constexpr std::string_view kCreado = "X-Tablon-Creado";
constexpr std::string_view kMarca = "X-Tablon-Marca";
constexpr std::string_view kPropiedad = "X-Tablon-Propiedad";
constexpr std::string_view kCuerpo = "X-Tablon-Cuerpo";

std::string Numero(double d) {
  char buf[64];
  auto [fin, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return ec == std::errc() ? std::string(buf, fin) : "0";
}

double LeeNumero(std::string_view s) {
  double d = 0;
  std::from_chars(s.data(), s.data() + s.size(), d);
  return d;
}

// RFC 5322 date of `f` (local time) with the zone's offset; English names, whatever the locale.
std::string FechaRfc5322Calculada(Fecha f) {
  static constexpr const char* kDias[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMeses[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = static_cast<std::time_t>(f.AUnix());
  std::tm tm{};
  localtime_r(&t, &tm);
  long zona = tm.tm_gmtoff / 60;
  const char signo = zona < 0 ? '-' : '+';
  if (zona < 0) zona = -zona;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDias[tm.tm_wday % 7],
                tm.tm_mday, kMeses[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec, signo, zona / 60, zona % 60);
  return buf;
}

// The same, remembering the last date text: the items of one pass are made within a few
// seconds, and each conversion asks the C library for the local zone again (mktime rereads the
// zone file's state every time).
const std::string& FechaRfc5322(Fecha f) {
  thread_local PartesFecha ultima{};
  thread_local std::string texto;
  const PartesFecha p = f.Partes();
  if (texto.empty() || p.anio != ultima.anio || p.mes != ultima.mes || p.dia != ultima.dia ||
      p.hora != ultima.hora || p.minuto != ultima.minuto || p.segundo != ultima.segundo) {
    texto = FechaRfc5322Calculada(f);
    ultima = p;
  }
  return texto;
}

// The display list of `v` into `r` (emptied first).
void ListaVisible(const std::vector<std::string>& v, std::string& r, std::string& buf) {
  r.clear();
  for (const auto& x : v) {
    const std::string_view t = TextoVisible(x, true, buf);
    if (t.empty()) continue;
    if (!r.empty()) r += ", ";
    r += t;
  }
}

bool EsCampoMensaje(std::string_view linea) {
  const size_t dos_puntos = linea.find(':');
  if (dos_puntos == 0 || dos_puntos == std::string_view::npos) return false;
  for (char c : linea.substr(0, dos_puntos)) {
    if (c <= ' ' || c > '~') return false;
  }
  return true;
}

// "TYPE;F;NAME;VALUE" of a user property into `r` (emptied first).
void PropiedadExacta(const UserProperty& p, std::string& r) {
  r.clear();
  char num[16];
  const auto fin = std::to_chars(num, num + sizeof num, static_cast<int>(p.Type())).ptr;
  r.append(num, fin);
  r += p.InFolderFields() ? ";1;" : ";0;";
  AgregaCodificaExacto(r, p.Name());
  r += ';';
  if (const auto* f = std::get_if<Fecha>(&p.Value())) {
    r += "f:";
    r += Numero(f->Dias());
  } else {
    r += "t:";
    AgregaCodificaExacto(r, std::get<std::string>(p.Value()));
  }
}

}  // namespace

FormaCuerpo EligeFormaCuerpo(std::string_view c) {
  bool hay_cr = false, crlf = true;
  for (size_t i = 0; i < c.size(); ++i) {
    if (c[i] == '\0') return FormaCuerpo::Base64;
    if (c[i] == '\r') {
      hay_cr = true;
      if (i + 1 >= c.size() || c[i + 1] != '\n') crlf = false;
    } else if (c[i] == '\n' && (i == 0 || c[i - 1] != '\r')) {
      crlf = false;
    }
  }
  if (!hay_cr) return FormaCuerpo::TalCual;
  return crlf ? FormaCuerpo::Crlf : FormaCuerpo::Base64;
}

bool PareceMensaje(std::string_view c) {
  bool campos = false;
  size_t i = 0;
  while (i < c.size()) {
    size_t fin = c.find('\n', i);
    if (fin == std::string_view::npos) return false;  // no empty line: not a whole message
    std::string_view linea = c.substr(i, fin - i);
    i = fin + 1;
    if (!linea.empty() && linea.back() == '\r') linea.remove_suffix(1);
    if (linea.empty()) return campos;
    if (linea.front() == ' ' || linea.front() == '\t') {
      if (!campos) return false;
    } else if (EsCampoMensaje(linea)) {
      campos = true;
    } else {
      return false;
    }
  }
  return false;
}

std::string EscribeItem(const VistaItem& r, std::string_view cuerpo) {
  const FormaCuerpo forma = EligeFormaCuerpo(cuerpo);
  std::string h;
  // Sized once: a header block of ours is about 1 KB; the body may grow by a third (base64).
  h.reserve(2048 + cuerpo.size() + cuerpo.size() / 3);
  // Scratch for the values that need a form of their own (the display form, a list, the
  // percent-encoding): the same few buffers for every item written by this thread.
  thread_local std::string buf, lista, exacto;
  AgregaLineaCabecera(h, "Date", FechaRfc5322(r.creado));
  if (const auto de = TextoVisible(r.remitente, true, buf); !de.empty()) AgregaLineaCabecera(h, "From", de);
  ListaVisible(r.para, lista, buf);
  if (!lista.empty()) AgregaLineaCabecera(h, "To", lista);
  ListaVisible(r.responder_a, lista, buf);
  if (!lista.empty()) AgregaLineaCabecera(h, "Reply-To", lista);
  AgregaLineaCabecera(h, "Subject", TextoVisible(r.asunto, false, buf));
  if (!r.message_id.empty()) AgregaLineaCabecera(h, "Message-ID", TextoVisible(r.message_id, false, buf));
  if (!r.in_reply_to.empty()) AgregaLineaCabecera(h, "In-Reply-To", TextoVisible(r.in_reply_to, false, buf));
  if (!r.references.empty()) AgregaLineaCabecera(h, "References", TextoVisible(r.references, false, buf));
  h += "MIME-Version: 1.0\n";
  const bool mensaje = forma != FormaCuerpo::Base64 && PareceMensaje(cuerpo);
  if (mensaje) {
    h += "Content-Type: message/rfc822\n";
  } else {
    h += "Content-Type: text/plain; charset=";
    h += EsUtf8Valido(cuerpo) ? "utf-8" : "iso-8859-1";
    h += '\n';
  }
  h += "Content-Transfer-Encoding: ";
  h += forma == FormaCuerpo::Base64 ? "base64" : "8bit";
  h += '\n';
  auto exacta = [&](std::string_view nombre, std::string_view valor) {
    exacto.clear();
    AgregaCodificaExacto(exacto, valor);
    AgregaLineaCabeceraExacta(h, nombre, exacto);
  };
  exacta(kClase, r.clase);
  exacta(kAsunto, r.asunto);
  exacta(kDe, r.remitente);
  for (const auto& p : r.para) exacta(kPara, p);
  for (const auto& p : r.responder_a) exacta(kResponderA, p);
  AgregaLineaCabeceraExacta(h, kCreado, Numero(r.creado.Dias()));
  if (r.completada) AgregaLineaCabeceraExacta(h, kMarca, "completada");
  for (const auto& p : r.propiedades) {
    PropiedadExacta(p, exacto);
    AgregaLineaCabeceraExacta(h, kPropiedad, exacto);
  }
  if (forma == FormaCuerpo::Crlf) AgregaLineaCabeceraExacta(h, kCuerpo, "crlf");
  h += '\n';
  switch (forma) {
    case FormaCuerpo::TalCual:
      h.append(cuerpo);
      break;
    case FormaCuerpo::Crlf:
      for (char c : cuerpo) {
        if (c != '\r') h += c;
      }
      break;
    case FormaCuerpo::Base64:
      h += Base64(cuerpo, 76);
      break;
  }
  return h;
}

std::string EscribeItem(const RegistroItem& r, std::string_view cuerpo) {
  return EscribeItem(VistaItem{r.clase, r.asunto, r.remitente, r.para, r.responder_a, r.propiedades,
                               r.message_id, r.in_reply_to, r.references, r.creado, r.completada},
                     cuerpo);
}

namespace {

// One field of a header block as it stands in the bytes: `crudo` runs from the value's first
// non-blank byte on the field's first line to the end of its last continuation line, line ends
// of folds included (a single-line value is its line's value as it is).
struct CampoCrudo {
  std::string_view nombre;
  std::string_view crudo;
  bool plegado = false;  // continuation lines follow the first one
};

// Calls `f(CampoCrudo)` for each field of `bloque`, in order, as LeeCampos (header_text.h) finds
// them, without copying anything.
template <class F>
void RecorreCampos(std::string_view bloque, F&& f) {
  auto blanco = [](char c) { return c == ' ' || c == '\t'; };
  // The line starting at `i`: [i, fin) without its line end; `sig` the next line's start.
  auto linea_en = [&](size_t i, size_t& fin, size_t& sig) {
    size_t nl = bloque.find('\n', i);
    if (nl == std::string_view::npos) nl = bloque.size();
    sig = nl + 1;
    fin = nl;
    if (fin > i && bloque[fin - 1] == '\r') --fin;
  };
  size_t i = 0;
  while (i < bloque.size()) {
    size_t fin, sig;
    linea_en(i, fin, sig);
    if (fin == i) return;  // the empty line
    if (blanco(bloque[i])) {  // a continuation of no field (a field's own ones are taken below)
      i = sig;
      continue;
    }
    const std::string_view linea = bloque.substr(i, fin - i);
    const size_t dos_puntos = linea.find(':');
    if (dos_puntos == std::string_view::npos || dos_puntos == 0 ||
        linea.substr(0, dos_puntos).find_first_of(" \t") != std::string_view::npos) {
      // Not a field: its continuation lines belong to nothing either.
      i = sig;
      while (i < bloque.size()) {
        size_t f2, s2;
        linea_en(i, f2, s2);
        if (f2 == i || !blanco(bloque[i])) break;
        i = s2;
      }
      continue;
    }
    size_t inicio = i + dos_puntos + 1;
    while (inicio < fin && blanco(bloque[inicio])) ++inicio;
    size_t final = fin;
    bool plegado = false;
    i = sig;
    while (i < bloque.size()) {
      size_t f2, s2;
      linea_en(i, f2, s2);
      if (f2 == i || !blanco(bloque[i])) break;
      final = f2;
      plegado = true;
      i = s2;
    }
    CampoCrudo c;
    c.nombre = linea.substr(0, dos_puntos);
    c.crudo = final > inicio ? bloque.substr(inicio, final - inicio) : std::string_view();
    c.plegado = plegado;
    f(c);
  }
}

// The value unfolded as LeeCampos gives it: each line end of a fold ("\n", or "\r\n") removed.
std::string_view Desplegado(const CampoCrudo& c, std::string& buf) {
  if (!c.plegado) return c.crudo;
  buf.clear();
  const std::string_view v = c.crudo;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] == '\n') continue;
    if (v[i] == '\r' && i + 1 < v.size() && v[i + 1] == '\n') continue;
    buf += v[i];
  }
  return buf;
}

// "TYPE;F;NAME;VALUE" from a raw value; a malformed field is skipped (returns false).
bool LeePropiedadCruda(const CampoCrudo& c, std::string& limpio, std::vector<UserProperty>& props) {
  limpio.clear();
  const std::string_view v = c.crudo;
  for (size_t i = 0; i < v.size(); ++i) {
    const char ch = v[i];
    if (ch == ' ' || ch == '\t' || ch == '\n') continue;
    if (ch == '\r' && i + 1 < v.size() && v[i + 1] == '\n') continue;
    limpio += ch;
  }
  std::string_view s = limpio;
  std::string_view partes[4];
  for (int i = 0; i < 3; ++i) {
    const size_t p = s.find(';');
    if (p == std::string_view::npos) return false;
    partes[i] = s.substr(0, p);
    s.remove_prefix(p + 1);
  }
  partes[3] = s;
  int tipo = 0;
  if (std::from_chars(partes[0].data(), partes[0].data() + partes[0].size(), tipo).ec !=
      std::errc()) {
    return false;
  }
  const std::string_view valor = partes[3];
  const bool fecha = valor.substr(0, 2) == "f:";
  if (!fecha && valor.substr(0, 2) != "t:") return false;
  UserProperty& prop =
      props.emplace_back(DecodificaExacto(partes[2]), static_cast<TipoPropiedad>(tipo), partes[1] == "1");
  if (fecha) {
    prop.SetValue(Fecha(LeeNumero(valor.substr(2))));
  } else {
    prop.SetValue(DecodificaExacto(valor.substr(2)));
  }
  return true;
}

}  // namespace

CabeceraItem LeeCabeceraItem(std::string_view bloque) {
  // Exact values are read straight from the bytes: DecodificaExacto skips blanks and line ends,
  // so a folded exact value needs no unfolding first.
  // The fields found once, then looked at as often as needed.
  thread_local std::vector<CampoCrudo> campos;
  campos.clear();
  RecorreCampos(bloque, [&](const CampoCrudo& c) { campos.push_back(c); });
  bool propio = false;
  for (const CampoCrudo& c : campos) propio = propio || IgualSinCaso(c.nombre, kClase);

  CabeceraItem r;
  RegistroItem& reg = r.registro;
  if (propio) {
    size_t n = 0;
    for (const CampoCrudo& c : campos) n += IgualSinCaso(c.nombre, kPropiedad);
    reg.propiedades.reserve(n);
  }
  bool con_asunto = false, con_de = false, base64 = false;
  std::string buf;
  for (const CampoCrudo& c : campos) {
    const std::string_view n = c.nombre;
    if (n.size() < 2) continue;
    const char c0 = static_cast<char>(n[0] | 0x20);
    if (c0 == 'x' && n.size() > 9 && n[1] == '-') {
      if (!propio) continue;
      if (IgualSinCaso(n, kClase)) {
        reg.clase = DecodificaExacto(c.crudo);
      } else if (IgualSinCaso(n, kAsunto)) {
        reg.asunto = DecodificaExacto(c.crudo);
        con_asunto = true;
      } else if (IgualSinCaso(n, kDe)) {
        reg.remitente = DecodificaExacto(c.crudo);
        con_de = true;
      } else if (IgualSinCaso(n, kPara)) {
        reg.para.push_back(DecodificaExacto(c.crudo));
      } else if (IgualSinCaso(n, kResponderA)) {
        reg.responder_a.push_back(DecodificaExacto(c.crudo));
      } else if (IgualSinCaso(n, kCreado)) {
        reg.creado = Fecha(LeeNumero(DecodificaExacto(c.crudo)));
      } else if (IgualSinCaso(n, kMarca)) {
        reg.completada = DecodificaExacto(c.crudo) == "completada";
      } else if (IgualSinCaso(n, kPropiedad)) {
        LeePropiedadCruda(c, buf, reg.propiedades);
      } else if (IgualSinCaso(n, kCuerpo)) {
        if (DecodificaExacto(c.crudo) == "crlf") r.forma = FormaCuerpo::Crlf;
      }
      continue;
    }
    if (IgualSinCaso(n, "Message-ID")) {
      reg.message_id = std::string(Recorta(Desplegado(c, buf)));
    } else if (IgualSinCaso(n, "In-Reply-To")) {
      reg.in_reply_to = std::string(Recorta(Desplegado(c, buf)));
    } else if (IgualSinCaso(n, "References")) {
      reg.references = std::string(Recorta(Desplegado(c, buf)));
    } else if (!propio) {
      if (IgualSinCaso(n, "Subject")) reg.asunto = std::string(Recorta(Desplegado(c, buf)));
      else if (IgualSinCaso(n, "From")) reg.remitente = std::string(Recorta(Desplegado(c, buf)));
      else if (IgualSinCaso(n, "To")) reg.para.emplace_back(Recorta(Desplegado(c, buf)));
      else if (IgualSinCaso(n, "Reply-To")) reg.responder_a.emplace_back(Recorta(Desplegado(c, buf)));
    } else if (IgualSinCaso(n, "Content-Transfer-Encoding")) {
      base64 = IgualSinCaso(Recorta(Desplegado(c, buf)), "base64");
    }
  }
  if (propio && base64) r.forma = FormaCuerpo::Base64;
  // A file of ours that lost an exact header (hand-edited) falls back to the display one.
  if (propio && (!con_asunto || !con_de)) {
    for (const CampoCrudo& c : campos) {
      if (!con_asunto && IgualSinCaso(c.nombre, "Subject")) reg.asunto = Recorta(Desplegado(c, buf));
      if (!con_de && IgualSinCaso(c.nombre, "From")) reg.remitente = Recorta(Desplegado(c, buf));
    }
  }
  return r;
}

std::string DecodificaCuerpo(FormaCuerpo forma, std::string_view bytes) {
  switch (forma) {
    case FormaCuerpo::TalCual:
      break;
    case FormaCuerpo::Crlf: {
      std::string r;
      r.reserve(bytes.size() + bytes.size() / 32);
      for (char c : bytes) {
        if (c == '\n') r += '\r';
        r += c;
      }
      return r;
    }
    case FormaCuerpo::Base64:
      if (auto d = DeBase64(bytes)) return *d;
      break;
  }
  return std::string(bytes);
}

std::string CuerpoDeArchivo(std::string_view archivo) {
  const size_t fin = FinDeCabecera(archivo);
  if (fin == std::string_view::npos) return std::string();
  return DecodificaCuerpo(LeeCabeceraItem(archivo.substr(0, fin)).forma, archivo.substr(fin));
}

}  // namespace tablon::store::maildir
