// The writer of the item's bytes: an item's values and body as the bytes of one message (a
// Maildir file, an IMAP message), in the form formato_item.h describes.
#include <charconv>

#include "core/fecha.h"
#include "store/mensaje/bloque_encabezados.h"
#include "store/mensaje/texto_cabecera.h"
#include "store/mensaje/formato_item.h"
#include "text/utf8.h"

namespace tablon::store::mensaje {

namespace {

std::string Numero(double d) {
  char buf[64];
  auto [fin, ec] = std::to_chars(buf, buf + sizeof buf, d);
  return ec == std::errc() ? std::string(buf, fin) : "0";
}

// The Date header's text of `f` in `zona` (FormatoRfc5322; none: the local zone), remembering
// the last one: the items of one pass are made within a few seconds, and each conversion asks
// the C library for the local zone again (mktime rereads the zone file's state every time).
const std::string& FechaRfc5322(Fecha f, std::optional<int> zona) {
  thread_local PartesFecha ultima{};
  thread_local std::optional<int> ultima_zona;
  thread_local std::string texto;
  const PartesFecha p = f.Partes();
  if (texto.empty() || p.anio != ultima.anio || p.mes != ultima.mes || p.dia != ultima.dia ||
      p.hora != ultima.hora || p.minuto != ultima.minuto || p.segundo != ultima.segundo ||
      zona != ultima_zona) {
    texto = zona ? FormatoRfc5322(f, *zona) : FormatoRfc5322(f);
    ultima = p;
    ultima_zona = zona;
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
  // Fields only, their names printable ASCII (a field's name holds no blank), and the empty line
  // that ends them.
  LectorEncabezados lector(c);
  CampoCrudo campo;
  bool campos = false;
  while (lector.Siguiente(campo)) {
    if (!campo.es_campo || !EsAsciiImprimible(campo.nombre)) return false;
    campos = true;
  }
  return campos && lector.FinBloque() != std::string_view::npos;
}

std::string EscribeItem(const VistaItem& r, std::string_view cuerpo) {
  const FormaCuerpo forma = EligeFormaCuerpo(cuerpo);
  std::string h;
  // Sized once: a header block of ours is about 1 KB; the body may grow by a third (base64).
  h.reserve(2048 + cuerpo.size() + cuerpo.size() / 3);
  // Scratch for the values that need a form of their own (the display form, a list, the
  // percent-encoding): the same few buffers for every item written by this thread.
  thread_local std::string buf, lista, exacto;
  AgregaLineaCabecera(h, "Date", FechaRfc5322(r.creado, r.zona_creado));
  if (const auto de = TextoVisible(r.remitente, true, buf); !de.empty()) AgregaLineaCabecera(h, "From", de);
  ListaVisible(r.para, lista, buf);
  if (!lista.empty()) AgregaLineaCabecera(h, "To", lista);
  ListaVisible(r.responder_a, lista, buf);
  if (!lista.empty()) AgregaLineaCabecera(h, "Reply-To", lista);
  AgregaLineaCabecera(h, "Subject", TextoVisible(r.asunto, false, buf));
  // A link that shows nothing (blanks or control bytes alone) is no link: written, it would read
  // back as none, and the item would not write the same bytes again.
  const auto enlace = [&](const char* nombre, std::string_view valor) {
    if (const auto v = TextoVisible(valor, false, buf); !Recorta(v).empty()) AgregaLineaCabecera(h, nombre, v);
  };
  enlace("Message-ID", r.message_id);
  enlace("In-Reply-To", r.in_reply_to);
  enlace("References", r.references);
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
  exacta(kCampoClase, r.clase);
  exacta(kCampoAsunto, r.asunto);
  exacta(kCampoDe, r.remitente);
  for (const auto& p : r.para) exacta(kCampoPara, p);
  for (const auto& p : r.responder_a) exacta(kCampoResponderA, p);
  AgregaLineaCabeceraExacta(h, kCampoCreado, Numero(r.creado.Dias()));
  if (r.completada) AgregaLineaCabeceraExacta(h, kCampoMarca, "completada");
  for (const auto& p : r.propiedades) {
    PropiedadExacta(p, exacto);
    AgregaLineaCabeceraExacta(h, kCampoPropiedad, exacto);
  }
  if (forma == FormaCuerpo::Crlf) AgregaLineaCabeceraExacta(h, kCampoCuerpo, "crlf");
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
                               r.message_id, r.in_reply_to, r.references, r.creado, r.zona_creado,
                               r.completada},
                     cuerpo);
}

}  // namespace tablon::store::mensaje
