// One news server during one synchronisation pass: its identity (from its server-definition
// post), its state file, its folder in the store, its groups, and the connection.
//
// Calling order: construct; ControlNews; init_from_msg; Connect; GetNewGroups; save; the work on
// the groups of Grupos, each preceded by Reconecta; Disconnect; release.
//
// Failure styles: init_from_msg, Connect, Disconnect, save and GetNewGroups (up to the first
// listing line) trap nothing; load and Reconecta trap every step and never raise; GetNewGroups
// traps each step from the lookup of the first listing line on.
#pragma once

#include <memory>
#include <string>

#include "core/fecha.h"
#include "core/coleccion.h"
#include "news/grupo_news.h"
#include "nntp/control.h"
#include "store/store.h"

namespace tablon {

using ColeccionGrupos = Coleccion<GrupoNews>;

// The server-definition post: its class and the user property that names the host.
inline constexpr const char* kClaseServidor = "IPM.Post.News.Servidor";
inline constexpr const char* kPropServidor = "Servidor";

// The sender address given to every server.
inline constexpr const char* kDireccionRemitente = "tablon@localhost(Usuario de Tablon)";

// The servers directory: where the state files live. Set once at start; ends in "/".
void FijaDirectorioServidores(std::string dir);
const std::string& DirectorioServidores();

// How far before the last check date new-group discovery asks from: a day. The server compares
// creation times by its own clock, which may be behind this machine's; the check date is local
// time, ambiguous for the hour repeated when daylight saving ends; and a group created while a
// check runs may carry a time just before the check date. Asking a day back covers all three;
// the names listed again are known by then and skipped.
inline constexpr std::int64_t kMargenGruposNuevos = 24 * 60 * 60;

// The date NEWGROUPS asks from for the check date `chequeo`: kMargenGruposNuevos seconds of real
// time earlier (not a calendar day: across a daylight-saving change that is 23 or 25 hours).
Fecha DesdeFechaGruposNuevos(Fecha chequeo);

// Throws tablon::Error (kArgumentoNoValido) when `host` cannot name a state file and a store
// folder safely: empty, ".", "..", containing "/", NUL or control characters.
void CompruebaHost(const std::string& host);

class ServidorNews {
 public:
  ServidorNews() : grupos_(std::make_shared<ColeccionGrupos>()) {}

  Fecha FechaChequeoGrupos() const { return fecha_chequeo_; }
  void FechaChequeoGrupos(Fecha v) { fecha_chequeo_ = v; }
  const std::shared_ptr<nntp::Control>& ControlNews() const { return control_; }
  void ControlNews(std::shared_ptr<nntp::Control> v) { control_ = std::move(v); }
  const std::shared_ptr<store::Folder>& CarpetaServidor() const { return carpeta_servidor_; }
  void CarpetaServidor(std::shared_ptr<store::Folder> v) { carpeta_servidor_ = std::move(v); }
  const std::shared_ptr<ColeccionGrupos>& Grupos() const { return grupos_; }
  void Grupos(std::shared_ptr<ColeccionGrupos> v);  // null is refused (type mismatch)
  const std::string& filename() const { return filename_; }
  void filename(std::string v) { filename_ = std::move(v); }
  const std::string& email_address() const { return email_address_; }
  void email_address(std::string v) { email_address_ = std::move(v); }
  const std::string& host() const { return host_; }
  void host(std::string v) { host_ = std::move(v); }

  // Puts the connection settings into the control and connects.
  void Connect();
  // Takes the server's identity from its post: host (user property "Servidor", verbatim),
  // state-file path, server folder (found or created beside the post); then loads the state
  // file. A host that cannot name a file and a folder safely is refused with an error before
  // anything is created.
  void init_from_msg(const std::shared_ptr<store::Item>& servidor);
  // Rewrites the state file from the record (atomically). A file that the last load could not
  // read whole is first kept aside under a new name, so that no subscription is lost.
  void save();
  // Reads the state file; never raises. A missing file is a first run (check date 1 January 1990).
  void load();
  // Asks the server for the groups created since the last check (from DesdeFechaGruposNuevos)
  // and adds the unknown ones, unsubscribed, at the end of Grupos. The check date becomes the
  // moment read just before the request, and only when the request succeeded (a failed request
  // leaves it as it was). A listed name holding a control character or a blank, or ending in
  // ".", is skipped (it could not be kept apart from other groups in the state file and the
  // store).
  void GetNewGroups();
  // One line of the new-group listing ("name high low status"): the name is added as
  // GetNewGroups says, or the line is passed over (empty or known name); a name that cannot be
  // kept apart raises tablon::Error (kArgumentoNoValido).
  void AgregaGrupoNuevo(const std::string& line);
  void Disconnect();
  // Before the work on a group: when a failure dropped the connection during the work on an
  // earlier group (a timeout, a closed connection, an unreadable or oversized reply), connects
  // once more exactly as Connect does (same TLS and credentials rules). One attempt per lost
  // connection: when it fails, its failure becomes the control's FalloConexion and no later
  // group of this server tries again (their steps fail on the missing connection). Never raises.
  void Reconecta();

  // Where the last load kept a damaged state file aside, or "" (for messages and tests).
  const std::string& ArchivoApartado() const { return archivo_apartado_; }

 private:
  Fecha fecha_chequeo_;
  std::shared_ptr<nntp::Control> control_;
  std::shared_ptr<store::Folder> carpeta_servidor_;
  std::shared_ptr<ColeccionGrupos> grupos_;
  std::string filename_;
  std::string email_address_;
  std::string host_;
  // The last load met a file it could not read whole: save keeps the old file aside first.
  bool lectura_incompleta_ = false;
  // A reconnection failed: no other is tried in this pass.
  bool reconexion_fallida_ = false;
  std::string archivo_apartado_;
};

}  // namespace tablon
