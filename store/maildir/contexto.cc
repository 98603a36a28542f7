#include "store/maildir/contexto.h"

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "store/maildir/nombre_archivo.h"
#include "store/maildir/item_maildir.h"

namespace tablon::store::maildir {

namespace {
// The process id, asked of the kernel once per process (every new item's name carries it): a
// forked child forgets the parent's.
std::atomic<long> pid_guardado{0};

long Pid() {
  long pid = pid_guardado.load(std::memory_order_relaxed);
  if (pid == 0) {
    static const int registrado = pthread_atfork(nullptr, nullptr, [] { pid_guardado.store(0); });
    (void)registrado;
    pid = static_cast<long>(getpid());
    pid_guardado.store(pid, std::memory_order_relaxed);
  }
  return pid;
}
}  // namespace

Contexto::Contexto(std::string raiz, std::shared_ptr<Fs> fs, Durabilidad durabilidad)
    : raiz_(std::move(raiz)), fs_(std::make_shared<FsContado>(std::move(fs))), durabilidad_(durabilidad) {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  host_ = host;
  std::random_device rd;
  azar_.seed((static_cast<std::uint64_t>(rd()) << 32) ^ rd());
}

std::string Contexto::NuevaBase() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  // Never go back in time within this process, so that bases sort in creation order even when
  // the clock is stepped back a little.
  std::int64_t us = static_cast<std::int64_t>(tv.tv_sec) * 1000000 + tv.tv_usec;
  if (us <= ultimo_us_) us = ultimo_us_ + 1;
  ultimo_us_ = us;
  return maildir::NuevaBase(us / 1000000, static_cast<long>(us % 1000000),
                            Pid(), ++contador_, host_);
}

std::string Contexto::NuevoMessageId() {
  char buf[96];
  std::snprintf(buf, sizeof buf, "<%lld.%ld.%u.%016llx@tablon.invalid>",
                static_cast<long long>(ultimo_us_), Pid(),
                static_cast<unsigned>(++contador_), static_cast<unsigned long long>(azar_()));
  return buf;
}

void Contexto::OlvidaPendiente(ItemMaildir* item) {
  for (size_t i = 0; i < pendientes_.size(); ++i) {
    if (pendientes_[i] == item) {
      pendientes_.erase(pendientes_.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
}

void Contexto::EscribePendientes() {
  // Each write takes its item off the registry.
  while (!pendientes_.empty()) pendientes_.front()->EscribeBorrador();
}

}  // namespace tablon::store::maildir
