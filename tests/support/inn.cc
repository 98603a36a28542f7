#include "support/inn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <thread>

namespace tablon::test {

namespace {

int Port() {
  const char* p = std::getenv("TABLON_INN_PORT");
  if (!p || !*p) throw std::runtime_error("TABLON_INN_PORT no está definida");
  return std::atoi(p);
}

// A small blocking line client for setting fixtures up, apart from the code under test.
class Client {
 public:
  Client() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(Port()));
    timeval tv{20, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      if (fd_ >= 0) close(fd_);
      throw std::runtime_error("INN no responde en " + Inn::Host());
    }
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~Client() { close(fd_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  void Send(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = send(fd_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("INN: no se pudo enviar");
      done += static_cast<std::size_t>(n);
    }
  }

  std::string Line() {
    for (;;) {
      const std::size_t lf = buf_.find('\n');
      if (lf != std::string::npos) {
        std::string l = buf_.substr(0, lf);
        buf_.erase(0, lf + 1);
        if (!l.empty() && l.back() == '\r') l.pop_back();
        return l;
      }
      char tmp[65536];
      const int quick = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_QUICKACK, &quick, sizeof quick);
      const ssize_t n = recv(fd_, tmp, sizeof tmp, 0);
      if (n <= 0) throw std::runtime_error("INN cerró la conexión o no respondió");
      buf_.append(tmp, static_cast<std::size_t>(n));
    }
  }

  std::string Command(const std::string& c) {
    Send(c + "\r\n");
    return Line();
  }

 private:
  int fd_ = -1;
  std::string buf_;
};


}  // namespace

std::string DateNow() {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::time(nullptr);
  std::tm u{};
  gmtime_r(&t, &u);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[u.tm_wday], u.tm_mday,
                kMonths[u.tm_mon], u.tm_year + 1900, u.tm_hour, u.tm_min, u.tm_sec);
  return buf;
}

bool Inn::Available() {
  const char* p = std::getenv("TABLON_INN_PORT");
  return p && *p;
}

std::string Inn::Host() { return "127.0.0.1:" + std::to_string(Port()); }

void Inn::CreateGroup(const std::string& name) {
  const std::string cmd = "/usr/lib/news/bin/ctlinnd -s newgroup '" + name + "' y";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("falló: " + cmd);
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (;;) {
    {
      Client c;
      c.Line();  // greeting
      c.Command("MODE READER");
      if (c.Command("GROUP " + name).rfind("211 ", 0) == 0) return;
    }
    if (std::chrono::steady_clock::now() > limit) {
      throw std::runtime_error("INN no muestra el grupo nuevo " + name);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string ArticleText(const Article& a) {
  std::string t;
  t += "Path: feeder.tablon.test!not-for-mail\r\n";
  t += "From: " + (a.from.empty() ? std::string("Tester <tester@example.test>") : a.from) + "\r\n";
  t += "Newsgroups: " + a.newsgroups + "\r\n";
  t += "Subject: " + a.subject + "\r\n";
  t += "Date: " + (a.date.empty() ? DateNow() : a.date) + "\r\n";
  t += "Message-ID: " + a.message_id + "\r\n";
  if (!a.references.empty()) t += "References: " + a.references + "\r\n";
  for (const auto& [name, value] : a.extra_headers) t += name + ": " + value + "\r\n";
  t += "\r\n";
  std::size_t i = 0;
  while (i < a.body.size()) {
    std::size_t lf = a.body.find('\n', i);
    if (lf == std::string::npos) lf = a.body.size();
    std::string_view line(a.body.data() + i, lf - i);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    t.append(line).append("\r\n");
    i = lf + 1;
  }
  return t;
}

void Inn::Post(const std::vector<Article>& articles, bool already_there_ok) {
  Client c;
  const std::string greeting = c.Line();
  if (greeting.rfind("200", 0) != 0) throw std::runtime_error("INN saludó: " + greeting);
  const std::string stream = c.Command("MODE STREAM");
  if (stream.rfind("203", 0) != 0) throw std::runtime_error("MODE STREAM: " + stream);
  constexpr std::size_t kWindow = 200;  // articles sent before their answers are read
  for (std::size_t first = 0; first < articles.size(); first += kWindow) {
    const std::size_t end = std::min(articles.size(), first + kWindow);
    std::string batch;
    for (std::size_t i = first; i < end; ++i) {
      batch += "TAKETHIS " + articles[i].message_id + "\r\n";
      const std::string text = ArticleText(articles[i]);
      std::size_t p = 0;
      while (p < text.size()) {  // dot-stuffing
        const std::size_t lf = text.find('\n', p);
        if (text[p] == '.') batch += '.';
        batch.append(text, p, lf - p + 1);
        p = lf + 1;
      }
      batch += ".\r\n";
    }
    c.Send(batch);
    for (std::size_t i = first; i < end; ++i) {
      const std::string answer = c.Line();
      if (answer.rfind("239 ", 0) != 0 && !(already_there_ok && answer.rfind("439 ", 0) == 0)) {
        throw std::runtime_error("INN no aceptó " + articles[i].message_id + ": " + answer);
      }
    }
  }
  c.Command("QUIT");
}

std::string Inn::UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + ".t" + std::to_string(std::time(nullptr)) + "p" + std::to_string(getpid()) + "n" +
         std::to_string(++counter);
}

std::vector<Article> MakeArticles(const std::string& group, int count, const std::string& tag,
                                  int per_thread) {
  std::vector<Article> out;
  out.reserve(static_cast<std::size_t>(count));
  auto id = [&tag](int n) { return "<" + tag + "." + std::to_string(n) + "@tablon.test>"; };
  const std::string date = DateNow();
  for (int n = 0; n < count; ++n) {
    Article a;
    a.message_id = id(n);
    a.newsgroups = group;
    a.date = date;
    const int root = n - n % per_thread;
    const int thread = n / per_thread;
    switch (thread % 4) {
      case 0: a.subject = "Tema " + std::to_string(thread); break;
      case 1: a.subject = "Café con ñandú " + std::to_string(thread); break;  // raw UTF-8
      case 2: a.subject = "=?ISO-8859-1?Q?Caf=E9?= " + std::to_string(thread); break;
      default: a.subject = "Tema\tcon tabulador " + std::to_string(thread); break;
    }
    if (n != root) {
      a.subject = "Re: " + a.subject;
      a.references = n - 1 == root ? id(root) : id(root) + " " + id(n - 1);
    }
    a.from = n % 3 == 0 ? "Ana <ana@example.test>" : "\"Bärbel\" <baerbel@example.test>";
    a.body = "Artículo " + std::to_string(n) + " de " + tag +
             "\n.una línea que empieza con punto\n..dos puntos\n.\nfin\n";
    if (n % 7 == 0) a.extra_headers.push_back({"X-Tablon-Test", "valor " + std::to_string(n)});
    out.push_back(std::move(a));
  }
  return out;
}

}  // namespace tablon::test
