// The news transfer control (`News1` on the window; the original design named its type `News`, a
// name that here would read as the news/ folder): one NNTP client (RFC 3977) whose members are
// those the synchronisation drives — properties to set, `Command` codes to start an operation,
// result properties to read at once. Every operation has completed when the put or call returns.
//
// Compression: where the server offers COMPRESS DEFLATE (RFC 8054) the connection is compressed
// both ways — at connect where neither STARTTLS nor credentials can follow, else right after
// authenticating — except to a loopback server; TABLON_COMPRESION=no turns it off,
// TABLON_COMPRESION=si on for loopback too (nntp/sesion.h; the trace shows the command and its
// 206). The reply bounds below hold for the inflated bytes.
//
// Failures throw tablon::Error (core/error.h):
//   - a status the server sends for a failed command: number = the NNTP status code (430, 411,
//     480, 502, ...), description = "El servidor respondió: <status line>" plus what was asked;
//   - timeouts: errnum::kTiempoAgotado. The timeout (default 60 s, or TABLON_TIMEOUT_MS from the
//     environment) bounds name resolution and connect together, each wait for the server, and
//     each exchange as a whole: a command's reply, however long, must be complete within the
//     timeout plus one second per Conexion::kTasaMinima bytes received (red/conexion.h), so a
//     server that drips its reply ends in this error within about one timeout;
//   - a reply larger than its bound: errnum::kProtocolo, naming the bound. An overview may hold
//     the lines of the range the GROUP reply announced (high − low + 1) plus kMargenResumen, at
//     kBytesPorLineaResumen bytes a line on average (at least twice red::kLineaMaxima in all); an
//     article MaxArticulo bytes; a NEWGROUPS listing 250,000 lines and 16 MiB; CAPABILITIES
//     10,000 lines and 1 MiB. Bytes count each line plus its line end. Memory therefore stays
//     within these bounds whatever a server sends;
//   - memory exhausted while reading a reply: errnum::kMemoriaInsuficiente;
//   - connection closed or reset, also before a multi-line answer's terminating line:
//     errnum::kConexionCerrada (never a short result reported as complete);
//   - unreadable replies, a compressed stream that does not inflate, a server asking for
//     credentials once compression is on: errnum::kProtocolo; TLS and certificate failures:
//     errnum::kTls;
//   - credentials refused or not sendable safely (a plain connection to a remote host without
//     STARTTLS, a server that takes no AUTHINFO USER, a ~/.netrc holding passwords that others
//     may read): errnum::kCredenciales; a server asking for credentials when there are none:
//     480 with the server's text;
//   - arguments holding CR, LF or NUL, message identifiers not of the form <...> without blanks:
//     errnum::kArgumentoNoValido, before anything is sent;
//   - an operation that needs a connection without one: errnum::kProtocolo.
// After a failure the result properties of that operation are empty (count 0). A failure that
// leaves the stream at an unknown point (timeout, closed connection, unreadable or oversized
// reply, exhausted memory, TLS) drops the connection: Connected() turns false and
// FalloConexion() keeps the failure until the next connect; nothing reconnects by itself.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/bloque_textos.h"
#include "core/error.h"
#include "nntp/sesion.h"

namespace tablon::nntp {

// `Command` codes.
inline constexpr std::int32_t kConectar = 1;
inline constexpr std::int32_t kDesconectar = 2;
inline constexpr std::int32_t kListarGruposNuevos = 8;
inline constexpr std::int32_t kLeerEncabezados = 18;

// The largest article FetchArticle takes by default: 32 MiB (TABLON_MAX_ARTICULO, in bytes,
// changes it). Text articles are far smaller; the memory one costs is about its size.
inline constexpr std::uint64_t kMaxArticuloPorOmision = std::uint64_t{32} << 20;
// How many ARTICLE commands FetchArticles keeps sent ahead of the reply it reads.
inline constexpr std::size_t kVentanaArticulos = 32;
// Overview bounds beyond the announced range (see above).
inline constexpr std::uint64_t kMargenResumen = 100;
inline constexpr std::uint64_t kBytesPorLineaResumen = 16 * 1024;

class Control {
 public:
  Control();
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // "name", "name:port" or "[v6addr]:port"; default port 119; port 563 is TLS from the first byte.
  void Host(std::string v) { host_ = std::move(v); }
  const std::string& Host() const { return host_; }
  void SenderAddress(std::string v) { sender_address_ = std::move(v); }
  const std::string& SenderAddress() const { return sender_address_; }
  // Credentials, sent only when the server asks for them (480, or 401 AUTHINFO, to a command:
  // that command is then sent once more). When UserName is empty the host's ~/.netrc entry is
  // used, else its "default" entry. Never sent unasked, never in clear to a host other than
  // loopback (STARTTLS first where offered), never as USER/PASS to a server whose AUTHINFO
  // capability lacks USER.
  void UserName(std::string v) { sesion_.Usuario(std::move(v)); }
  void Password(std::string v) { sesion_.Contrasena(std::move(v)); }
  void ConnectOption(bool v) { connect_option_ = v; }
  // "ddd, dd mmm yyyy hh:mm:ss", local time: the date NEWGROUPS asks from (sent as UTC, GMT).
  void SinceDate(std::string v) { since_date_ = std::move(v); }
  const std::string& SinceDate() const { return since_date_; }

  // Starts an operation: kConectar, kDesconectar, kListarGruposNuevos, kLeerEncabezados.
  // Any other code: errnum::kArgumentoNoValido.
  void Command(std::int32_t code);

  // The group whose GROUP and overview the next kListarGruposNuevos sends right behind
  // NEWGROUPS, as AnticipaResumen would send them for it (the server then sends them while the
  // caller deals with the new groups); empty, the default, sends nothing more. It applies to that
  // one operation and is forgotten when the operation starts; a name that GroupName would
  // refuse is not sent. When NEWGROUPS fails, what went out behind it is read and dropped.
  void ResumenTrasGruposNuevos(std::string grupo) { resumen_tras_grupos_nuevos_ = std::move(grupo); }

  // Result of kListarGruposNuevos: one line per group, "name high low status" as the server
  // sent it. An index out of range: errnum::kArgumentoNoValido.
  std::int64_t NewGroupCount() const { return static_cast<std::int64_t>(new_groups_.size()); }
  const std::string& NewGroupLine(std::int64_t i) const;

  void GroupName(std::string v) { group_name_ = std::move(v); }
  const std::string& GroupName() const { return group_name_; }
  // Makes `GroupName` the current group (GROUP); a group the server does not carry: 411.
  void SelectGroup();

  // Asks the server now for what kLeerEncabezados will read for `GroupName` without reading the
  // lines: the server sends them while the caller does other work, and the next SelectGroup and
  // Command(kLeerEncabezados) for that group take them from there. When that group is not the
  // selected one, GROUP and the overview go out together (one round trip on a distant link):
  // the overview then asks for the open range "1-", bounded by the range the GROUP reply
  // announces, which is read first; when GROUP fails, the overview's reply is read and dropped
  // and the GROUP's failure is raised as SelectGroup raises it. Any other command reads and
  // drops them first. Raises nothing: a failure here is raised by the next operation that needs
  // the server instead.
  void AnticipaResumen();

  // The article numbers the next overviews ask for (kLeerEncabezados, AnticipaResumen): from
  // `desde` on, up to `hasta` (0: up to the group's high mark; in AnticipaResumen an open range
  // "desde-"). `desde` 0 (the setting at construction) is the group's whole range, as the
  // selected group announces it. A range that misses the group's articles reads no line.
  void RangoResumen(std::int64_t desde, std::int64_t hasta = 0) {
    desde_resumen_ = desde;
    hasta_resumen_ = hasta;
  }

  // The numbers of the last GROUP (or LISTGROUP) reply of the selected group: its estimated
  // count, low and high marks; 0 when no group is selected.
  std::int64_t CantidadArticulos() const { return group_selected_ ? group_count_ : 0; }
  std::int64_t PrimerArticulo() const { return group_selected_ ? group_low_ : 0; }
  std::int64_t UltimoArticulo() const { return group_selected_ ? group_high_ : 0; }

  // The message identifier of article `numero` of `GroupName` (STAT, RFC 3977 section 6.2.4;
  // the group is selected first when it is not): nullopt when the server has no such article
  // (423); a reply without an identifier: errnum::kProtocolo; other failures as above.
  std::optional<std::string> IdentificadorDe(std::int64_t numero);
  // The numbers of the articles of `GroupName` from `desde` to `hasta` that the server has, in
  // its order (LISTGROUP with a range, RFC 3977 section 6.1.2; the group is selected by it and
  // its numbers taken from its reply). A line that is no number: errnum::kProtocolo; the list
  // is bounded as an overview of that range.
  std::vector<std::int64_t> NumerosDelGrupo(std::int64_t desde, std::int64_t hasta);

  // Result of kLeerEncabezados: the overview of the current group's range (RangoResumen), one line per
  // article exactly as the server sent it (TAB-separated fields, without the line end).
  std::int64_t OverviewCount() const { return static_cast<std::int64_t>(overview_.size()); }
  // A line stays valid until the next operation of the control or LiberaResumen.
  std::string_view OverviewLine(std::int64_t i) const;
  // Drops the overview lines (and their memory) once the caller has used them: afterwards the
  // count is 0, as after an operation that found nothing.
  void LiberaResumen() { overview_.clear(); }
  // Which lines the next Command(kLeerEncabezados) keeps: a line for which `conserva` answers
  // false is read and dropped at once, so its memory is never held, and OverviewCount and
  // OverviewLine know only the kept lines, in the server's order. It applies to that one
  // operation and is forgotten when the operation starts; without one every line is kept.
  void FiltraResumen(std::function<bool(std::string_view)> conserva) { filtro_resumen_ = std::move(conserva); }

  // The article to fetch: a message identifier "<...>".
  void ArticleKey(std::string v) { article_key_ = std::move(v); }
  // Fetches `ArticleKey` (ARTICLE); a missing article: 430 with the server's text.
  void FetchArticle();
  // The fetched article, head and body, dot-unstuffed, lines ended by CRLF.
  const std::string& ArticleText() const { return article_text_; }

  // Fetches the articles `claves` ("<...>" identifiers) with their ARTICLE commands pipelined
  // (up to kVentanaArticulos sent ahead of the reply being read; RFC 3977 section 3.5), the
  // replies taken in order. For each identifier, in order, `cada(i, texto, fallo)` is called
  // once: with the article's text (as ArticleText would hold it; valid for that call only) and
  // a null `fallo`, or with the failure FetchArticle would have raised for it (430 for an
  // article the server does not have, kArgumentoNoValido for an identifier that is no
  // "<...>", never sent). A server that asks for credentials gets them and the article is asked
  // again. A failure that drops the connection is that article's, and every later article's
  // failure is the missing connection. Raises only what `cada` raises (then the replies still
  // due are read and dropped, or the connection is dropped when that fails).
  using CadaArticulo = std::function<void(std::size_t i, const std::string& texto, const Error* fallo)>;
  void FetchArticles(const std::vector<std::string>& claves, const CadaArticulo& cada);
  // The largest article FetchArticle takes, in bytes (lines plus their CRLF); a longer one is
  // errnum::kProtocolo and drops the connection.
  void MaxArticulo(std::uint64_t bytes) { max_articulo_ = bytes; }
  std::uint64_t MaxArticulo() const { return max_articulo_; }

  // The trace event: each command sent and each status line received, ending in CRLF
  // (passwords are masked).
  std::function<void(const std::string&)> Debug;

  // Settings beyond the control's record.
  void Timeout(std::chrono::milliseconds t) { sesion_.Timeout(t); }
  std::chrono::milliseconds Timeout() const { return sesion_.Timeout(); }
  // A PEM file of certificates to trust besides the system's store (tests, private servers).
  void TrustFile(std::string path) { sesion_.ArchivoConfianza(std::move(path)); }
  // TLS from the first byte whatever the port (besides port 563).
  void ImplicitTls(bool v) { sesion_.TlsImplicito(v); }
  // Where to look for credentials; default $HOME/.netrc.
  void NetrcPath(std::string path) { sesion_.RutaNetrc(std::move(path)); }
  // Test-only: treat a loopback peer as a remote one (for the plain-text password refusal).
  void TreatLoopbackAsRemote(bool v) { sesion_.LoopbackComoRemoto(v); }

  bool Connected() const { return sesion_.Conectada(); }
  // The failure that dropped the connection (or made the last connect fail), until the next
  // connect or disconnect; nullopt otherwise.
  const std::optional<Error>& FalloConexion() const { return fallo_conexion_; }

 private:
  void Conecta();
  void Desconecta();
  void ListaGruposNuevos();
  void LeeEncabezados();
  // GROUP `group_name_`, then AnotaGrupo.
  void Seleccion();
  // Takes the numbers of `grupo`, now selected, from the 211 status just read for `orden`; an
  // unreadable one: errnum::kProtocolo.
  void AnotaGrupo(const std::string& orden, const std::string& grupo);
  // Reads the reply to the GROUP sent together with the overview (AnticipaResumen). Nullopt
  // when the group is selected (the overview's reply comes next); otherwise the GROUP's failure,
  // the overview's reply read and dropped (it answers for no group, or for the group selected
  // before), and `credenciales` tells whether that failure asks for credentials.
  std::optional<Error> RecogeGrupo(bool& credenciales);
  // Reads the reply of one ARTICLE sent for `orden` into `texto`: true with the text, false
  // with the reply's status (not 220) in the session's LineaEstado.
  bool LeeArticulo(const std::string& orden, std::string& texto);
  // The session's Avisos: before each command, the overview asked for ahead and not wanted
  // after all is read and dropped (the stream then stands at that command's reply); after
  // authenticating, the selected group is chosen again for a command that uses it.
  void AntesDeEnviar();
  void TrasAutenticar(const std::string& comando);
  // Raises a failure AnticipaResumen kept for the next operation; then as
  // Sesion::RequiereConexion.
  void RequiereConexion();
  void Olvida();  // drops the connection, its state and the group state
  // Olvida, keeping `e` as FalloConexion when there was a connection (or one was being made).
  void Cae(const Error& e, bool conectando);
  // Runs one operation: a failure that breaks the session (and any failure to connect) drops the
  // connection; std::bad_alloc does too and becomes errnum::kMemoriaInsuficiente.
  template <class F>
  void Opera(F&& operacion, bool conectando = false);
  // The bound of the overview over the selected group's range.
  Limite LimiteResumen() const;

  std::string host_, sender_address_, since_date_, group_name_, article_key_;
  bool connect_option_ = false;
  std::vector<std::string> new_groups_;
  LineasGuardadas overview_;
  std::function<bool(std::string_view)> filtro_resumen_;
  std::string article_text_;
  std::uint64_t max_articulo_ = kMaxArticuloPorOmision;
  std::optional<Error> fallo_conexion_;

  // The connection, its capabilities and settings; it calls AntesDeEnviar and TrasAutenticar.
  Sesion sesion_;
  // Group state of the current connection.
  std::string selected_group_;
  std::int64_t group_low_ = 0, group_high_ = 0, group_count_ = 0;
  // An overview asked for by AnticipaResumen and not read yet: its command and group; and
  // whether the GROUP sent with it still has its reply on the stream.
  bool resumen_pedido_ = false;
  bool grupo_pedido_ = false;
  std::string orden_resumen_, grupo_resumen_;
  // A failure of AnticipaResumen that ended the session, for the next operation to raise; one
  // that did not (the group refused), for a SelectGroup of that group right after.
  std::optional<Error> error_anticipado_;
  std::optional<Error> error_grupo_anticipado_;
  std::string grupo_error_anticipado_;
  void DescartaResumen();
  // Sends GROUP `grupo` and its overview, both replies left on the stream as an overview asked
  // for ahead.
  void PideGrupoYResumen(const std::string& grupo);
  std::string resumen_tras_grupos_nuevos_;
  // "OVER low-high" (or XOVER) over the selected group's range as RangoResumen narrows it;
  // nullopt when that range holds no article number of the group.
  std::optional<std::string> OrdenResumen(bool over) const;
  std::int64_t desde_resumen_ = 0, hasta_resumen_ = 0;
  bool group_selected_ = false;
};

}  // namespace tablon::nntp
