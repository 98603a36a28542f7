#include "support/dovecot.h"

#include "support/peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tablon::test {

namespace {

constexpr const char* kBinario = "/usr/sbin/dovecot";
constexpr auto kEspera = std::chrono::seconds(10);

// A port nobody listens on now (the kernel's pick of an ephemeral one).
std::uint16_t PuertoLibre() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t largo = sizeof a;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &largo) != 0) {
    if (fd >= 0) close(fd);
    throw std::runtime_error("Dovecot: no hay puerto libre");
  }
  close(fd);
  return ntohs(a.sin_port);
}

// Whether a connection to the port gets an IMAP greeting within `ms` milliseconds.
bool Saluda(std::uint16_t port, int ms) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  bool ok = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    // The greeting comes in one write.
    pollfd p{fd, POLLIN, 0};
    char buf[16];
    ok = poll(&p, 1, ms) == 1 && recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 4 &&
         std::string(buf, 4) == "* OK";
  }
  close(fd);
  return ok;
}

void Crea(const std::filesystem::path& d, uid_t uid, gid_t gid) {
  std::filesystem::create_directories(d);
  if (chown(d.c_str(), uid, gid) != 0) throw std::runtime_error("Dovecot: chown " + d.string());
}

std::string LeeSiHay(const std::filesystem::path& p) {
  try {
    return ReadFile(p);
  } catch (const std::exception&) {
    return "";
  }
}

}  // namespace

bool Dovecot::Available() { return access(kBinario, X_OK) == 0; }

Dovecot::Dovecot(std::filesystem::path store, OpcionesDovecot opciones)
    : store_(std::filesystem::absolute(store)), opciones_(opciones) {
  uid_ = geteuid();
  gid_ = getegid();
  if (uid_ == 0) {
    const passwd* pw = getpwnam("nobody");
    if (!pw) throw std::runtime_error("Dovecot: no existe el usuario nobody");
    uid_ = pw->pw_uid;
    gid_ = pw->pw_gid;
  }
  // The mail processes (mail uid) and Dovecot's own users must reach the files below.
  std::filesystem::permissions(dir_.path(), std::filesystem::perms::owner_all |
                                                std::filesystem::perms::group_read |
                                                std::filesystem::perms::group_exec |
                                                std::filesystem::perms::others_read |
                                                std::filesystem::perms::others_exec);
  for (const char* d : {"indices", "control", "inbox", "home"}) Crea(dir_ / d, uid_, gid_);
  Entrega();
  // A port taken by someone else between our pick and Dovecot's bind: try another.
  for (int intento = 1;; ++intento) {
    port_ = PuertoLibre();
    if (opciones_.tls) {
      do port_imaps_ = PuertoLibre();
      while (port_imaps_ == port_);
    }
    try {
      Arranca();
      return;
    } catch (const std::exception&) {
      if (intento == 3 || Log().find("Address already in use") == std::string::npos) throw;
    }
  }
}

Dovecot::~Dovecot() { Para(); }

void Dovecot::Arranca() {
  const std::string d = dir_.str();
  std::string conf;
  conf += "base_dir = " + d + "/run\n";
  conf += "state_dir = " + d + "/state\n";
  conf += "log_path = " + d + "/log\n";
  conf += "protocols = imap\n";
  conf += "listen = 127.0.0.1\n";
  if (opciones_.tls) {
    // Dovecot reads them as root when it runs as root: copies of its own, not the test's files.
    std::filesystem::copy_file(opciones_.tls->CertFile(), d + "/ssl-cert.pem",
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::copy_file(opciones_.tls->KeyFile(), d + "/ssl-key.pem",
                               std::filesystem::copy_options::overwrite_existing);
    conf += "ssl = yes\n";
    conf += "ssl_cert = <" + d + "/ssl-cert.pem\n";
    conf += "ssl_key = <" + d + "/ssl-key.pem\n";
  } else {
    conf += "ssl = no\n";
  }
  conf += "disable_plaintext_auth = no\n";
  conf += "auth_mechanisms = plain login\n";
  if (!opciones_.capacidades.empty()) conf += "imap_capability = " + opciones_.capacidades + "\n";
  // A refused password is answered at once: tests of refusals need not wait.
  conf += "auth_failure_delay = 0\n";
  conf += "first_valid_uid = " + std::to_string(uid_) + "\n";
  conf += "last_valid_uid = " + std::to_string(uid_) + "\n";
  conf += "first_valid_gid = " + std::to_string(gid_) + "\n";
  conf += "last_valid_gid = " + std::to_string(gid_) + "\n";
  // Indexes, uid lists and INBOX outside the store: the store keeps only its own files.
  conf += "mail_location = maildir:" + store_.string() + ":LAYOUT=fs:INBOX=" + d +
          "/inbox:INDEX=" + d + "/indices:CONTROL=" + d + "/control\n";
  if (geteuid() != 0) {
    // Unprivileged: every process runs as the current user, and none can chroot.
    const passwd* pw = getpwuid(geteuid());
    if (!pw) throw std::runtime_error("Dovecot: el usuario actual no tiene nombre");
    conf += std::string("default_login_user = ") + pw->pw_name + "\n";
    conf += std::string("default_internal_user = ") + pw->pw_name + "\n";
    const group* gr = getgrgid(getegid());
    if (!gr) throw std::runtime_error("Dovecot: el grupo actual no tiene nombre");
    conf += std::string("default_internal_group = ") + gr->gr_name + "\n";
    conf += "service anvil {\n  chroot =\n}\n";
  }
  conf += std::string("passdb {\n  driver = static\n  args = password=") + kClave + "\n}\n";
  conf += "userdb {\n  driver = static\n  args = uid=" + std::to_string(uid_) + " gid=" +
          std::to_string(gid_) + " home=" + d + "/home\n}\n";
  conf += "service imap-login {\n";
  if (geteuid() != 0) conf += "  chroot =\n";
  conf += "  inet_listener imap {\n    address = 127.0.0.1\n    port = " + std::to_string(port_) +
          "\n  }\n  inet_listener imaps {\n    address = 127.0.0.1\n    port = " + std::to_string(port_imaps_) +
          "\n  }\n}\n";
  WriteFile(dir_ / "dovecot.conf", conf);

  // In the foreground (-F), as our child: we stop it and wait for it by its own process id.
  const std::string conf_path = d + "/dovecot.conf";
  const std::string salida = d + "/salida";
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, salida.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  const char* argv[] = {kBinario, "-F", "-c", conf_path.c_str(), nullptr};
  const int e = posix_spawn(&pid_, kBinario, &fa, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (e != 0) {
    pid_ = -1;
    throw std::runtime_error("Dovecot: no se pudo ejecutar " + std::string(kBinario));
  }

  const auto limite = std::chrono::steady_clock::now() + kEspera;
  for (;;) {
    int estado = 0;
    if (waitpid(pid_, &estado, WNOHANG) == pid_) {
      pid_ = -1;
      throw std::runtime_error("Dovecot terminó al arrancar:\n" + Log());
    }
    if (Saluda(port_, 500)) return;
    if (std::chrono::steady_clock::now() > limite) {
      Para();
      throw std::runtime_error("Dovecot no saluda en el puerto " + std::to_string(port_) +
                               ":\n" + Log());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void Dovecot::Para() {
  if (pid_ <= 0) return;
  // SIGTERM is what "doveadm stop" sends; the master stops its services, then exits.
  kill(pid_, SIGTERM);
  const auto limite = std::chrono::steady_clock::now() + kEspera;
  int estado = 0;
  while (waitpid(pid_, &estado, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > limite) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &estado, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  pid_ = -1;
}

void Dovecot::Entrega() const {
  if (uid_ == geteuid()) return;
  std::error_code ec;
  if (!std::filesystem::exists(store_, ec)) return;
  // The parents of the store that we own must let the mail uid pass (a test's temporary
  // directory is 0700).
  for (auto p = store_.parent_path();; p = p.parent_path()) {
    struct stat st {};
    if (stat(p.c_str(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & S_IXOTH) == 0) {
      chmod(p.c_str(), (st.st_mode & 07777) | S_IXOTH);
    }
    if (p == p.root_path()) break;
  }
  if (lchown(store_.c_str(), uid_, gid_) != 0) {
    throw std::runtime_error("Dovecot: chown " + store_.string());
  }
  for (auto it = std::filesystem::recursive_directory_iterator(store_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    lchown(it->path().c_str(), uid_, gid_);  // an entry renamed or removed meanwhile is skipped
  }
}

std::string Dovecot::Log() const {
  return LeeSiHay(dir_ / "log") + LeeSiHay(dir_ / "salida");
}

}  // namespace tablon::test
