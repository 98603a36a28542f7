// The news control against the local INN (scripts/inn.sh): connecting through INN's transit
// greeting, new groups since a date, the overview of a thousand articles line for line (also
// when asked for ahead), an article byte for byte, INN's own 430 and 411.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <map>

#include "core/fecha.h"
#include "core/error.h"
#include "nntp/control.h"
#include "support/inn.h"

namespace tablon::nntp {
namespace {

using test::Article;
using test::Inn;

#define REQUIRE_INN()                                                        \
  do {                                                                       \
    if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN"; \
  } while (0)

std::vector<std::string> Fields(std::string_view line) {
  std::vector<std::string> f;
  std::size_t start = 0;
  for (;;) {
    const std::size_t tab = line.find('\t', start);
    f.emplace_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return f;
    start = tab + 1;
  }
}

// INN's overview turns TAB, CR and LF within a header into blanks.
std::string AsInOverview(std::string s) {
  for (char& c : s) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return s;
}

// The number of the error `f` raises; 0 when it raises none.
long Numero(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.Number();
  }
  return 0;
}

void Connect(Control& news) {
  news.Host(Inn::Host());
  news.Timeout(std::chrono::seconds(20));
  news.NetrcPath("/nonexistent/netrc");
  news.Command(kConectar);
  ASSERT_TRUE(news.Connected());
}

TEST(InnNews, ListsGroupsCreatedSinceADate) {
  REQUIRE_INN();
  const std::string group = Inn::UniqueName("tablon.test.newgroups");
  const std::int64_t now = std::time(nullptr);
  Inn::CreateGroup(group);

  struct Case {
    const char* name;
    std::int64_t since;  // local time, as the control takes it
    bool listed;
  } cases[] = {
      {"a minute before its creation", now - 60, true},
      {"an hour before", now - 3600, true},
      {"after its creation", now + 120, false},
  };
  Control news;
  Connect(news);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    news.SinceDate(FormatoControl(Fecha::DesdeUnix(c.since)));
    news.Command(kListarGruposNuevos);
    bool found = false;
    for (std::int64_t i = 0; i < news.NewGroupCount(); ++i) {
      found |= news.NewGroupLine(i).rfind(group + " ", 0) == 0;
    }
    EXPECT_EQ(found, c.listed);
  }
  news.Command(kDesconectar);
  EXPECT_FALSE(news.Connected());
}

class InnGroup : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Inn::Available()) GTEST_SKIP() << "TABLON_INN_PORT is not set: no local INN";
    group_ = Inn::UniqueName("tablon.test.over");
    Inn::CreateGroup(group_);
    articles_ = test::MakeArticles(group_, 1200, group_);
    Inn::Post(articles_);
  }

  std::string group_;
  std::vector<Article> articles_;
};

TEST_F(InnGroup, GivesTheOverviewLineForLine) {
  Control news;
  Connect(news);
  news.GroupName(group_);
  news.Command(kLeerEncabezados);
  ASSERT_EQ(news.OverviewCount(), static_cast<std::int64_t>(articles_.size()));

  std::int64_t previous = 0;
  for (std::int64_t i = 0; i < news.OverviewCount(); ++i) {
    const std::string_view line = news.OverviewLine(i);
    const std::vector<std::string> f = Fields(line);
    ASSERT_EQ(f.size(), 9u) << line;
    const std::int64_t number = std::stoll(f[0]);
    EXPECT_GT(number, previous) << line;
    previous = number;
    // INN files articles in the order they came.
    const Article& a = articles_[static_cast<std::size_t>(i)];
    EXPECT_EQ(f[1], AsInOverview(a.subject)) << line;
    EXPECT_EQ(f[2], a.from) << line;
    EXPECT_EQ(f[4], a.message_id) << line;
    EXPECT_EQ(f[5], a.references) << line;
    // "Xref: <server> <group>:<number>"
    EXPECT_EQ(f[8].rfind("Xref: ", 0), 0u) << line;
    EXPECT_NE(f[8].find(" " + group_ + ":" + f[0]), std::string::npos) << line;
    EXPECT_EQ(f[8].size(), f[8].find(" " + group_ + ":") + group_.size() + 2 + f[0].size()) << line;
  }
  // Asking again gives the same lines (nothing left over in the stream).
  const std::string first(news.OverviewLine(0));
  news.Command(kLeerEncabezados);
  EXPECT_EQ(news.OverviewCount(), static_cast<std::int64_t>(articles_.size()));
  EXPECT_EQ(news.OverviewLine(0), first);
  news.Command(kDesconectar);
}

// A filter keeps the lines it chooses, in the server's order, for one reading only; it applies
// to an overview asked for ahead as well.
TEST_F(InnGroup, AFilterKeepsTheChosenLinesForOneReadingOnly) {
  Control news;
  Connect(news);
  news.GroupName(group_);
  auto uno_de_tres = [](std::string_view line) { return std::stoll(Fields(line).at(0)) % 3 == 0; };
  for (const bool ahead : {false, true}) {
    SCOPED_TRACE(ahead ? "asked ahead" : "asked then");
    if (ahead) news.AnticipaResumen();
    news.FiltraResumen(uno_de_tres);
    news.Command(kLeerEncabezados);
    ASSERT_EQ(news.OverviewCount(), static_cast<std::int64_t>(articles_.size() / 3));
    std::int64_t previous = 0;
    for (std::int64_t i = 0; i < news.OverviewCount(); ++i) {
      const std::int64_t number = std::stoll(Fields(news.OverviewLine(i)).at(0));
      EXPECT_EQ(number % 3, 0);
      EXPECT_GT(number, previous);
      previous = number;
    }
    news.Command(kLeerEncabezados);
    EXPECT_EQ(news.OverviewCount(), static_cast<std::int64_t>(articles_.size())) << "the filter was forgotten";
  }
  news.Command(kDesconectar);
}

// Articles fetched pipelined are those fetched one by one, in order, past the window, with an
// article the server does not have (430) and an identifier that is none (never sent) among them.
TEST_F(InnGroup, PipelinedArticlesAreTheArticlesFetchedOneByOne) {
  Control news;
  Connect(news);
  std::vector<std::string> claves;
  for (std::size_t i = 0; i < 2 * kVentanaArticulos + 5; ++i) claves.push_back(articles_[i * 7].message_id);
  claves[10] = "<nunca." + group_ + "@tablon.test>";
  claves[40] = "sin ángulos";
  std::vector<std::string> uno_a_uno;
  std::vector<long> fallos_uno;
  for (const std::string& c : claves) {
    news.ArticleKey(c);
    fallos_uno.push_back(Numero([&] { news.FetchArticle(); }));
    uno_a_uno.push_back(news.ArticleText());
  }
  std::vector<std::string> trace;
  news.Debug = [&](const std::string& s) { trace.push_back(s); };
  std::size_t siguiente = 0;
  news.FetchArticles(claves, [&](std::size_t i, const std::string& texto, const Error* fallo) {
    ASSERT_EQ(i, siguiente++);
    EXPECT_EQ(fallo ? fallo->Number() : 0, fallos_uno[i]) << claves[i];
    EXPECT_EQ(fallo ? std::string() : texto, uno_a_uno[i]) << claves[i];
  });
  EXPECT_EQ(siguiente, claves.size());
  EXPECT_EQ(fallos_uno[10], 430);
  EXPECT_EQ(fallos_uno[40], errnum::kArgumentoNoValido);
  // The first window went out before the first reply came.
  ASSERT_GT(trace.size(), kVentanaArticulos);
  for (std::size_t i = 0; i < kVentanaArticulos; ++i) EXPECT_EQ(trace[i].rfind("ARTICLE ", 0), 0u) << trace[i];
  // The stream is in step afterwards.
  news.ArticleKey(claves[0]);
  news.FetchArticle();
  EXPECT_EQ(news.ArticleText(), uno_a_uno[0]);
  news.Command(kDesconectar);
}

// An overview asked for ahead comes whole, as without asking ahead, however the next commands
// go: read at once, dropped by another command (an article, another group) that comes first,
// or asked for a group that does not exist (then the group's own error comes where it always
// did).
TEST_F(InnGroup, AnOverviewAskedForAheadComesWholeWhateverComesFirst) {
  Control news;
  Connect(news);
  std::vector<std::string> trace;
  news.Debug = [&](const std::string& s) { trace.push_back(s); };
  const std::string first = test::ArticleText(articles_[0]);
  auto expect_whole_overview = [&] {
    ASSERT_EQ(news.OverviewCount(), static_cast<std::int64_t>(articles_.size()));
    for (std::int64_t i = 0; i < news.OverviewCount(); i += 97) {
      EXPECT_EQ(Fields(news.OverviewLine(i)).at(4), articles_[static_cast<std::size_t>(i)].message_id);
    }
  };

  news.GroupName(group_);
  news.AnticipaResumen();
  news.SelectGroup();
  news.Command(kLeerEncabezados);
  expect_whole_overview();
  EXPECT_EQ(std::count(trace.begin(), trace.end(), "GROUP " + group_ + "\r\n"), 1);
  // GROUP and the overview went out together: one round trip.
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0], "GROUP " + group_ + "\r\n");
  EXPECT_EQ(trace[1], "OVER 1-\r\n");

  // Another command first: the overview asked for is dropped, the stream stays in step.
  news.AnticipaResumen();
  news.ArticleKey(articles_[0].message_id);
  news.FetchArticle();
  EXPECT_EQ(news.ArticleText().substr(news.ArticleText().find("\r\n\r\n")),
            first.substr(first.find("\r\n\r\n")));
  news.Command(kLeerEncabezados);
  expect_whole_overview();

  // Asked for one group, then another one is read.
  const std::string missing = Inn::UniqueName("tablon.test.missing");
  news.AnticipaResumen();
  news.GroupName(missing);
  EXPECT_EQ(Numero([&] { news.Command(kLeerEncabezados); }), 411);
  news.GroupName(missing);
  news.AnticipaResumen();  // raises nothing
  EXPECT_EQ(Numero([&] { news.SelectGroup(); }), 411);
  news.GroupName(group_);
  news.SelectGroup();
  news.Command(kLeerEncabezados);
  expect_whole_overview();
  news.Command(kDesconectar);
}

TEST_F(InnGroup, FetchesAnArticleByteForByte) {
  Control news;
  Connect(news);
  for (std::size_t n : {std::size_t{0}, std::size_t{7}, std::size_t{13}}) {
    const Article& a = articles_[n];
    SCOPED_TRACE(a.message_id);
    news.ArticleKey(a.message_id);
    news.FetchArticle();
    const std::string& text = news.ArticleText();
    const std::string sent = test::ArticleText(a);
    // The body exactly as posted, its lines starting with "." restored.
    const std::size_t body_at = text.find("\r\n\r\n");
    ASSERT_NE(body_at, std::string::npos);
    EXPECT_EQ(text.substr(body_at + 4), sent.substr(sent.find("\r\n\r\n") + 4));
    EXPECT_NE(text.find("\r\n.una línea que empieza con punto\r\n..dos puntos\r\n.\r\nfin\r\n"),
              std::string::npos);
    // Every header as posted, except the Path INN extends; only Xref added.
    std::map<std::string, std::string> got;
    std::size_t pos = 0;
    while (pos < body_at) {
      const std::size_t end = text.find("\r\n", pos);
      const std::string line = text.substr(pos, end - pos);
      got[line.substr(0, line.find(':'))] = line;
      pos = end + 2;
    }
    // INN names itself in Xref and at the head of Path.
    const std::string server = got["Xref"].substr(6, got["Xref"].find(' ', 6) - 6);
    ASSERT_FALSE(server.empty());
    std::size_t sent_headers = 0;
    for (std::size_t p = 0; sent.compare(p, 2, "\r\n") != 0;) {
      const std::size_t end = sent.find("\r\n", p);
      const std::string line = sent.substr(p, end - p);
      const std::string name = line.substr(0, line.find(':'));
      if (name == "Path") {
        EXPECT_EQ(got[name], "Path: " + server + "!feeder.tablon.test!not-for-mail");
      } else {
        EXPECT_EQ(got[name], line);
      }
      ++sent_headers;
      p = end + 2;
    }
    EXPECT_EQ(got["Xref"], "Xref: " + server + " " + group_ + ":" + std::to_string(n + 1));
    EXPECT_EQ(got.size(), sent_headers + 1);
  }
  news.Command(kDesconectar);
}

// With compression asked for (INN is a loopback peer, where it is off by default), COMPRESS
// DEFLATE is negotiated after MODE READER and shows in the trace, and the overview — read at
// once and asked for ahead — and the articles come byte for byte as without it.
TEST_F(InnGroup, CompressionChangesNothingThatIsRead) {
  struct Lectura {
    std::string trace;
    std::vector<std::string> overview, ahead, articles;
  };
  auto lee = [&](const char* setting) {
    setenv("TABLON_COMPRESION", setting, 1);
    Control news;
    unsetenv("TABLON_COMPRESION");
    Lectura r;
    news.Debug = [&r](const std::string& line) { r.trace += line; };
    Connect(news);
    news.GroupName(group_);
    news.Command(kLeerEncabezados);
    for (std::int64_t i = 0; i < news.OverviewCount(); ++i) r.overview.emplace_back(news.OverviewLine(i));
    news.AnticipaResumen();
    news.Command(kLeerEncabezados);
    for (std::int64_t i = 0; i < news.OverviewCount(); ++i) r.ahead.emplace_back(news.OverviewLine(i));
    for (std::size_t n : {std::size_t{0}, std::size_t{7}, std::size_t{1199}}) {
      news.ArticleKey(articles_[n].message_id);
      news.FetchArticle();
      r.articles.push_back(news.ArticleText());
    }
    news.Command(kDesconectar);
    return r;
  };
  const Lectura plain = lee("no");
  const Lectura compressed = lee("si");
  EXPECT_EQ(plain.trace.find("COMPRESS"), std::string::npos);
  const std::size_t at = compressed.trace.find("MODE READER\r\n");
  ASSERT_NE(at, std::string::npos) << compressed.trace;
  EXPECT_NE(compressed.trace.find("COMPRESS DEFLATE\r\n206 ", at), std::string::npos) << compressed.trace;
  ASSERT_EQ(plain.overview.size(), articles_.size());
  EXPECT_TRUE(compressed.overview == plain.overview);
  EXPECT_TRUE(compressed.ahead == plain.overview);
  EXPECT_TRUE(compressed.articles == plain.articles);
  EXPECT_NE(plain.articles[2].find(articles_[1199].message_id), std::string::npos);
}

TEST(InnNews, ReportsMissingArticlesAndGroupsWithInnsText) {
  REQUIRE_INN();
  Control news;
  Connect(news);
  struct Case {
    const char* name;
    std::function<void()> act;
    long number;
    const char* text;
  } cases[] = {
      {"missing article",
       [&] {
         news.ArticleKey("<" + Inn::UniqueName("missing") + "@tablon.test>");
         news.FetchArticle();
       },
       430, "430 No such article"},
      {"missing group",
       [&] {
         news.GroupName(Inn::UniqueName("tablon.test.missing"));
         news.SelectGroup();
       },
       411, "411 No such group"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.act();
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_EQ(e.Number(), c.number) << e.Description();
      EXPECT_NE(e.Description().find(c.text), std::string::npos) << e.Description();
    }
    EXPECT_TRUE(news.Connected());
  }
  // The session goes on after either.
  news.SinceDate(FormatoControl(Fecha::DesdeUnix(std::time(nullptr) + 3600)));
  news.Command(kListarGruposNuevos);
  EXPECT_EQ(news.NewGroupCount(), 0);
  news.Command(kDesconectar);
}
}  // namespace
}  // namespace tablon::nntp
