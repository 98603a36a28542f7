// The news control against the scripted peer: the faults a real server does not produce end
// in a clear error within the timeout, never a hang or a short result taken as complete; the
// session's sequence (reader mode, capabilities, XOVER fallback, authentication) and the
// checks made before anything is sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <new>
#include <thread>

#include "core/error.h"
#include "nntp/control.h"
#include "support/peer.h"
#include "support/tmpdir.h"

namespace tablon::nntp {
namespace {

using test::Lines;
using test::Peer;
using test::Step;
using Then = Step::Then;

constexpr auto kTimeout = std::chrono::milliseconds(500);

std::vector<Step> Reader(const std::vector<std::string>& caps = {"VERSION 2", "READER", "OVER"}) {
  return {{"", "200 peer ready\r\n"}, {"CAPABILITIES", "101 Capability list:\r\n" + Lines(caps) + ".\r\n"}};
}

std::vector<Step> operator+(std::vector<Step> a, const std::vector<Step>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

const std::vector<std::string> kCapsCompress = {"VERSION 2", "READER", "OVER", "COMPRESS DEFLATE"};

// A reader offering compression and starting it when asked; what follows is compressed.
std::vector<Step> Compressing(const std::vector<std::string>& caps = kCapsCompress) {
  return Reader(caps) + std::vector<Step>{{"COMPRESS DEFLATE", "206 Compression active\r\n", Then::kCompress}};
}

// TABLON_COMPRESION for the controls made from now on (the peer is loopback, where compression
// is off unless asked for); nullptr unsets it.
void CompressionSetting(const char* value) {
  if (value) {
    setenv("TABLON_COMPRESION", value, 1);
  } else {
    unsetenv("TABLON_COMPRESION");
  }
}

void Prepare(Control& news, const Peer& peer) {
  news.Host(peer.Host());
  news.Timeout(kTimeout);
  news.NetrcPath("/nonexistent/netrc");
}

struct Outcome {
  long number = 0;  // 0: no error
  std::string text;
  std::chrono::milliseconds elapsed{0};
};

Outcome Attempt(const std::function<void()>& f) {
  Outcome o;
  const auto start = std::chrono::steady_clock::now();
  try {
    f();
  } catch (const Error& e) {
    o.number = e.Number();
    o.text = e.Description();
  }
  o.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  return o;
}

const std::string kGroup211 = "211 3 1 3 g\r\n";
const std::string kOverLine = "1\tSubject\tA <a@x>\tMon, 01 Jan 2024 00:00:00 +0000\t<1@x>\t\t10\t1";

TEST(NntpPeer, FaultsEndInAClearErrorWithinTheTimeout) {
  enum class Op { kConnect, kGroup, kOverview, kArticle };
  CompressionSetting("si");
  std::string corrupt = test::Deflate(kGroup211);
  corrupt[0] = static_cast<char>(corrupt[0] | 0x06);  // block type 3, which does not exist
  const std::string overview = test::Deflate("224 follows\r\n" + Lines({kOverLine, kOverLine, kOverLine}) + ".\r\n");
  struct Case {
    const char* name;
    std::vector<Step> script;
    Op op;
    long number;
    std::string text;  // expected within the description
  } cases[] = {
      {"garbage greeting", {{"", "HELLO THERE\r\n"}}, Op::kConnect, errnum::kProtocolo, "HELLO THERE"},
      {"greeting 400", {{"", "400 service unavailable\r\n"}}, Op::kConnect, 400, "400 service unavailable"},
      {"greeting 502", {{"", "502 access denied\r\n"}}, Op::kConnect, 502, "502 access denied"},
      {"silent greeting", {{"", "", Then::kSilence}}, Op::kConnect, errnum::kTiempoAgotado, "500 ms"},
      {"closed at greeting", {{"", "", Then::kClose}}, Op::kConnect, errnum::kConexionCerrada, "cerró"},
      {"half a greeting", {{"", "200 peer rea", Then::kClose}}, Op::kConnect, errnum::kConexionCerrada, "cerró"},
      {"capabilities without their end",
       {{"", "200 peer ready\r\n"}, {"CAPABILITIES", "101 caps\r\nVERSION 2\r\n", Then::kSilence}},
       Op::kConnect, errnum::kTiempoAgotado, "no respondió"},
      {"silent GROUP", Reader() + std::vector<Step>{{"GROUP g", "", Then::kSilence}}, Op::kGroup,
       errnum::kTiempoAgotado, "no respondió"},
      {"garbage GROUP fields", Reader() + std::vector<Step>{{"GROUP g", "211 many\r\n"}}, Op::kGroup,
       errnum::kProtocolo, "211 many"},
      {"no such group", Reader() + std::vector<Step>{{"GROUP g", "411 No such group g\r\n"}}, Op::kGroup, 411,
       "411 No such group g"},
      {"unexpected code", Reader() + std::vector<Step>{{"GROUP g", kGroup211}, {"OVER 1-3", "211 what\r\n"}},
       Op::kOverview, errnum::kProtocolo, "211 what"},
      {"dropped mid-overview",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n" + kOverLine + "\r\n2\tSub", Then::kClose}},
       Op::kOverview, errnum::kConexionCerrada, "cerró"},
      {"overview without its end, then silence",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n" + Lines({kOverLine, kOverLine}), Then::kSilence}},
       Op::kOverview, errnum::kTiempoAgotado, "no respondió"},
      {"overview without its end, then close",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n" + Lines({kOverLine, kOverLine}), Then::kClose}},
       Op::kOverview, errnum::kConexionCerrada, "cerró"},
      {"10 MB without a line end, then silence",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n" + std::string(10 << 20, 'x'), Then::kSilence}},
       Op::kOverview, errnum::kTiempoAgotado, "no respondió"},
      {"a line beyond the bound",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n" + std::string(17 << 20, 'x'), Then::kSilence}},
       Op::kOverview, errnum::kProtocolo, "sin terminarla"},
      {"article dropped mid-body",
       Reader() + std::vector<Step>{{"ARTICLE <a@x>", "220 0 <a@x>\r\nSubject: x\r\n\r\nbody", Then::kClose}},
       Op::kArticle, errnum::kConexionCerrada, "cerró"},
      {"missing article", Reader() + std::vector<Step>{{"ARTICLE <a@x>", "430 No Such Article Here\r\n"}},
       Op::kArticle, 430, "430 No Such Article Here"},
      {"a corrupt compressed stream", Compressing() + std::vector<Step>{{"GROUP g", corrupt, Then::kSilence, "", true}},
       Op::kGroup, errnum::kProtocolo, "Flujo comprimido no válido"},
      {"206, then plain text", Compressing() + std::vector<Step>{{"GROUP g", kGroup211, Then::kSilence, "", true}},
       Op::kGroup, errnum::kProtocolo, "Flujo comprimido no válido"},
      {"plain text right behind the 206",
       Reader(kCapsCompress) + std::vector<Step>{{"COMPRESS DEFLATE", "206 on\r\n211 plain\r\n", Then::kSilence}},
       Op::kConnect, errnum::kProtocolo, "sin comprimir"},
      {"compressed blocks that hold nothing, endlessly",
       Compressing() + std::vector<Step>{{"GROUP g", "", Then::kEndless, std::string("\0\0\0\xff\xff", 5), true}},
       Op::kGroup, errnum::kTiempoAgotado, "no respondió"},
      {"a compressed overview cut mid-block",
       Compressing() + std::vector<Step>{{"GROUP g", kGroup211},
                                         {"OVER 1-3", overview.substr(0, overview.size() / 2), Then::kClose, "", true}},
       Op::kOverview, errnum::kConexionCerrada, "en medio de un bloque comprimido"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.GroupName("g");
    news.ArticleKey("<a@x>");
    const Outcome o = Attempt([&] {
      news.Command(kConectar);
      switch (c.op) {
        case Op::kConnect: break;
        case Op::kGroup: news.SelectGroup(); break;
        case Op::kOverview: news.Command(kLeerEncabezados); break;
        case Op::kArticle: news.FetchArticle(); break;
      }
    });
    EXPECT_EQ(o.number, c.number) << o.text;
    EXPECT_NE(o.text.find(c.text), std::string::npos) << o.text;
    EXPECT_LT(o.elapsed.count(), 5 * kTimeout.count());
    EXPECT_EQ(news.OverviewCount(), 0);
    EXPECT_TRUE(news.ArticleText().empty());
    // A status failure leaves the session usable; a broken stream is dropped.
    EXPECT_EQ(news.Connected(), c.number >= 400 && c.number < 600 && c.op != Op::kConnect);
    EXPECT_EQ(peer.Failures(), "");
  }
  CompressionSetting(nullptr);
}

TEST(NntpPeer, KeepsOverviewLinesExactly) {
  const std::string long_line = "2\t" + std::string(100 * 1024, 's') + "\tB <b@x>\t\t<2@x>\t\t5\t1";
  const std::vector<std::string> lines = {
      kOverLine,
      long_line,
      "3\tCaf\xc3\xa9 \xff\t=?ISO-8859-1?Q?Caf=E9?= <c@x>\t\t<3@x>\t<1@x> <2@x>\t7\t1\tXref: h g:3",
      ".4\tstarts with a dot\t\t\t<4@x>\t\t1\t1",
      "",
  };
  const std::string wire = Lines({lines[0], lines[1], lines[2], "." + lines[3], lines[4]}) + ".\r\n";
  struct Case {
    const char* name;
    std::vector<Step> script;
  } cases[] = {
      {"OVER", Reader() + std::vector<Step>{{"GROUP g", "211 5 1 5 g\r\n"}, {"OVER 1-5", "224 ok\r\n" + wire}}},
      {"XOVER where OVER is not advertised",
       Reader({"VERSION 2", "READER"}) +
           std::vector<Step>{{"GROUP g", "211 5 1 5 g\r\n"}, {"XOVER 1-5", "224 ok\r\n" + wire}}},
      {"XOVER after OVER is refused",
       Reader() + std::vector<Step>{{"GROUP g", "211 5 1 5 g\r\n"},
                                    {"OVER 1-5", "500 What?\r\n"},
                                    {"XOVER 1-5", "224 ok\r\n" + wire}}},
      {"an old server without CAPABILITIES",
       std::vector<Step>{{"", "200 old server\r\n"},
                         {"CAPABILITIES", "500 What?\r\n"},
                         {"GROUP g", "211 5 1 5 g\r\n"},
                         {"XOVER 1-5", "224 ok\r\n" + wire}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.Command(kConectar);
    news.GroupName("g");
    news.Command(kLeerEncabezados);
    ASSERT_EQ(news.OverviewCount(), static_cast<std::int64_t>(lines.size()));
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(news.OverviewLine(static_cast<std::int64_t>(i)), lines[i]) << i;
    }
    news.Command(kDesconectar);
    EXPECT_FALSE(news.Connected());
    EXPECT_EQ(peer.Failures(), "");
  }
}

TEST(NntpPeer, AnEmptyGroupAsksForNoOverview) {
  // The script ends after GROUP: an OVER would be reported as a failure by the peer.
  for (const char* reply : {"211 0 0 0 g\r\n", "211 0 11 10 g\r\n", "211 2 11 10 g\r\n"}) {
    Peer peer(Reader() + std::vector<Step>{{"GROUP g", reply}});
    Control news;
    Prepare(news, peer);
    news.Command(kConectar);
    news.GroupName("g");
    news.Command(kLeerEncabezados);
    EXPECT_EQ(news.OverviewCount(), 0) << reply;
    news.Command(kDesconectar);
    EXPECT_EQ(peer.Failures(), "") << reply;
  }
}

// A server that drops the session while an overview is asked for ahead: nothing is raised
// then, and the next operation that needs the server raises that failure itself (not a vaguer
// "no connection").
TEST(NntpPeer, AFailureWhileAskingAheadComesWithTheNextOperation) {
  Peer peer(Reader() + std::vector<Step>{{"GROUP g", "", Then::kClose}});
  Control news;
  Prepare(news, peer);
  news.Command(kConectar);
  news.GroupName("g");
  news.AnticipaResumen();
  const Outcome o = Attempt([&] { news.SelectGroup(); });
  EXPECT_EQ(o.number, errnum::kConexionCerrada) << o.text;
  EXPECT_FALSE(news.Connected());
}

TEST(NntpPeer, EntersReaderModeOnlyWhenNeeded) {
  struct Case {
    const char* name;
    std::vector<Step> script;
  } cases[] = {
      {"already a reader", Reader()},
      // Greeting in transit mode: MODE READER at once, the capabilities once it reads.
      {"transit server", std::vector<Step>{{"", "200 h InterNetNews server INN 2.7.1 ready (transit mode)\r\n"},
                                           {"MODE READER", "200 reader ready (posting ok)\r\n"},
                                           {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"},
                                           {"GROUP g", "211 1 1 1 g\r\n"},
                                           {"OVER 1-1", "224 ok\r\n" + kOverLine + "\r\n.\r\n"}}},
      {"transit greeting without CAPABILITIES",
       std::vector<Step>{{"", "200 news ready (transit mode)\r\n"},
                         {"MODE READER", "201 reader ready (no posting)\r\n"},
                         {"CAPABILITIES", "500 What?\r\n"},
                         {"GROUP g", "211 1 1 1 g\r\n"},
                         {"XOVER 1-1", "224 ok\r\n" + kOverLine + "\r\n.\r\n"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.Command(kConectar);
    if (c.script.size() > 2) {
      news.GroupName("g");
      news.Command(kLeerEncabezados);
      EXPECT_EQ(news.OverviewCount(), 1);
    }
    news.Command(kDesconectar);
    EXPECT_EQ(peer.Failures(), "");
  }
}

TEST(NntpPeer, RestoresDotsInArticles) {
  Peer peer(Reader() + std::vector<Step>{
                           {"ARTICLE <a@x>", "220 0 <a@x>\r\n" +
                                                 Lines({"Subject: x", "", "..", "...two", ".x", "x.", "\xe9t\xe9", ""}) +
                                                 ".\r\n"},
                           {"ARTICLE <b@x>", "430 No such article\r\n"}});
  Control news;
  Prepare(news, peer);
  news.Command(kConectar);
  news.ArticleKey("<a@x>");
  news.FetchArticle();
  EXPECT_EQ(news.ArticleText(), "Subject: x\r\n\r\n.\r\n..two\r\nx\r\nx.\r\n\xe9t\xe9\r\n\r\n");
  // A missing article leaves nothing of the previous one.
  news.ArticleKey("<b@x>");
  EXPECT_EQ(Attempt([&] { news.FetchArticle(); }).number, 430);
  EXPECT_EQ(news.ArticleText(), "");
  EXPECT_TRUE(news.Connected());
  EXPECT_EQ(peer.Failures(), "");
}

TEST(NntpPeer, SendsNewgroupsSinceALocalDateAsGmt) {
  const char* old_tz = std::getenv("TZ");
  const std::string saved = old_tz ? old_tz : "";
  struct Case {
    const char* tz;
    const char* since;
    const char* sent;
  } cases[] = {
      {"UTC0", "Mon, 01 Jan 1990 00:00:00", "NEWGROUPS 19900101 000000 GMT"},
      {"<-03>3", "Mon, 01 Jan 1990 21:30:05", "NEWGROUPS 19900102 003005 GMT"},
      {"<+09>-9", "Tue, 01 Mar 2022 08:00:00", "NEWGROUPS 20220228 230000 GMT"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tz);
    setenv("TZ", c.tz, 1);
    tzset();
    Peer peer(Reader() + std::vector<Step>{
                             {c.sent, "231 list follows\r\n" + Lines({"alt.new 5 1 y", "misc.\xe9t\xe9 0 1 m"}) + ".\r\n"}});
    Control news;
    Prepare(news, peer);
    news.Command(kConectar);
    news.SinceDate(c.since);
    news.Command(kListarGruposNuevos);
    ASSERT_EQ(news.NewGroupCount(), 2);
    EXPECT_EQ(news.NewGroupLine(0), "alt.new 5 1 y");
    EXPECT_EQ(news.NewGroupLine(1), "misc.\xe9t\xe9 0 1 m");
    EXPECT_EQ(Attempt([&] { news.NewGroupLine(2); }).number, errnum::kArgumentoNoValido);
    EXPECT_EQ(peer.Failures(), "");
  }
  if (old_tz) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

// The first group's GROUP and overview go out right behind NEWGROUPS: the overview is then read
// without another command. Whatever NEWGROUPS answers, the stream stays in step: a failure drops
// what came behind it, a request for credentials is met and NEWGROUPS asked again, and a group
// name that cannot be sent is not.
TEST(NntpPeer, AnOverviewAskedForBehindNewgroupsKeepsTheStreamInStep) {
  const std::string listado = "231 list follows\r\n" + Lines({"alt.new 5 1 y"}) + ".\r\n";
  const std::string resumen = "224 ok\r\n" + kOverLine + "\r\n.\r\n";
  const std::string pide = "480 Authentication required\r\n";
  struct Case {
    const char* name;
    const char* grupo;
    std::vector<Step> script;
    long number;  // of NEWGROUPS
  } cases[] = {
      {"answered", "g",
       Reader() + std::vector<Step>{{"NEWGROUPS *", listado}, {"GROUP g", kGroup211}, {"OVER 1-", resumen}}, 0},
      {"credentials asked for", "g",
       Reader({"VERSION 2", "READER", "OVER", "AUTHINFO USER"}) +
           std::vector<Step>{{"NEWGROUPS *", pide},
                             {"GROUP g", pide},
                             {"OVER 1-", pide},
                             {"NEWGROUPS *", pide},
                             {"AUTHINFO USER ana", "381 more\r\n"},
                             {"AUTHINFO PASS pw", "281 ok\r\n"},
                             {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"},
                             {"NEWGROUPS *", listado},
                             {"GROUP g", kGroup211},
                             {"OVER 1-3", resumen}},
       0},
      {"refused", "g",
       Reader() + std::vector<Step>{{"NEWGROUPS *", "503 no list today\r\n"},
                                    {"GROUP g", kGroup211},
                                    {"OVER 1-", resumen},
                                    {"OVER 1-3", resumen}},
       503},
      {"a name that cannot be sent", "g h",
       Reader() + std::vector<Step>{{"NEWGROUPS *", listado}}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.UserName("ana");
    news.Password("pw");
    news.Command(kConectar);
    news.SinceDate("Mon, 01 Jan 1990 00:00:00");
    news.ResumenTrasGruposNuevos(c.grupo);
    const Outcome o = Attempt([&] { news.Command(kListarGruposNuevos); });
    EXPECT_EQ(o.number, c.number) << o.text;
    EXPECT_EQ(news.NewGroupCount(), c.number == 0 ? 1 : 0);
    EXPECT_TRUE(news.Connected());
    if (std::string(c.grupo) == "g") {
      news.GroupName("g");
      news.Command(kLeerEncabezados);
      ASSERT_EQ(news.OverviewCount(), 1);
      EXPECT_EQ(news.OverviewLine(0), kOverLine);
    }
    EXPECT_EQ(peer.Failures(), "");
  }
}

TEST(NntpPeer, RefusesBadArgumentsBeforeSendingAnything) {
  struct Case {
    const char* name;
    std::function<void(Control&)> act;
  } cases[] = {
      {"group with LF", [](Control& n) { n.GroupName("g\nQUIT"); n.SelectGroup(); }},
      {"group with CR", [](Control& n) { n.GroupName("g\r"); n.Command(kLeerEncabezados); }},
      {"group with NUL", [](Control& n) { n.GroupName(std::string("g\0x", 3)); n.SelectGroup(); }},
      {"group with a blank", [](Control& n) { n.GroupName("g h"); n.SelectGroup(); }},
      {"empty group", [](Control& n) { n.GroupName(""); n.SelectGroup(); }},
      {"key without brackets", [](Control& n) { n.ArticleKey("a@x"); n.FetchArticle(); }},
      {"key with a blank", [](Control& n) { n.ArticleKey("<a @x>"); n.FetchArticle(); }},
      {"key with LF", [](Control& n) { n.ArticleKey("<a@x>\nQUIT"); n.FetchArticle(); }},
      {"key with NUL", [](Control& n) { n.ArticleKey(std::string("<a\0@x>", 6)); n.FetchArticle(); }},
      {"key of an article number", [](Control& n) { n.ArticleKey("12"); n.FetchArticle(); }},
      {"key with two ids", [](Control& n) { n.ArticleKey("<a@x><b@x>"); n.FetchArticle(); }},
      {"empty brackets", [](Control& n) { n.ArticleKey("<>"); n.FetchArticle(); }},
      {"date with CRLF", [](Control& n) { n.SinceDate("Mon, 01 Jan 1990 00:00:00\r\nQUIT"); n.Command(kListarGruposNuevos); }},
      {"not a date", [](Control& n) { n.SinceDate("yesterday"); n.Command(kListarGruposNuevos); }},
      {"unknown command", [](Control& n) { n.Command(3); }},
  };
  Peer peer(Reader());
  Control news;
  Prepare(news, peer);
  news.Command(kConectar);
  const std::size_t before = peer.Commands().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Attempt([&] { c.act(news); }).number, errnum::kArgumentoNoValido);
    EXPECT_TRUE(news.Connected());
  }
  EXPECT_EQ(peer.Commands().size(), before);
  news.Command(kDesconectar);
  EXPECT_EQ(peer.Failures(), "");

  // Without a connection an operation fails cleanly, and a bad Host never leaves the process.
  Control idle;
  idle.GroupName("g");
  EXPECT_EQ(Attempt([&] { idle.SelectGroup(); }).number, errnum::kProtocolo);
  idle.Host("127.0.0.1:119\r\nQUIT");
  EXPECT_EQ(Attempt([&] { idle.Command(kConectar); }).number, errnum::kArgumentoNoValido);
}

TEST(NntpPeer, NobodyListeningIsAConnectionRefused) {
  std::string host;
  {
    Peer gone({});
    host = gone.Host();
  }  // the listening socket is closed now
  Control news;
  news.Host(host);
  news.Timeout(kTimeout);
  const Outcome o = Attempt([&] { news.Command(kConectar); });
  EXPECT_EQ(o.number, errnum::kConexionRechazada) << o.text;
  EXPECT_NE(o.text.find(host), std::string::npos);
  EXPECT_FALSE(news.Connected());
}

// QUIT's reply is not waited for, so it is not in the trace.
TEST(NntpPeer, TracesCommandsAndStatusLinesEndingInCrlf) {
  Peer peer(Reader() + std::vector<Step>{{"GROUP g", kGroup211}});
  Control news;
  Prepare(news, peer);
  std::vector<std::string> trace;
  news.Debug = [&trace](const std::string& s) { trace.push_back(s); };
  news.Command(kConectar);
  news.GroupName("g");
  news.SelectGroup();
  news.Command(kDesconectar);
  const std::vector<std::string> expected = {"200 peer ready\r\n", "CAPABILITIES\r\n", "101 Capability list:\r\n",
                                             "GROUP g\r\n",        kGroup211,          "QUIT\r\n"};
  EXPECT_EQ(trace, expected);
}

// Compression starts where nothing that may not follow it (STARTTLS, credentials) can be needed
// on the connection, else right after authenticating; once; a refusal leaves the connection
// plain. It is off to a loopback peer unless asked for, and off everywhere when turned off. The
// trace shows the command and its 206; what is read is the same.
TEST(NntpPeer, CompressesWhereNothingForbiddenCanFollowIt) {
  const test::TlsIdentity id;
  const auto caps = [](std::vector<std::string> extra) {
    std::vector<std::string> c = kCapsCompress;
    c.insert(c.end(), extra.begin(), extra.end());
    return c;
  };
  const std::vector<Step> group = {{"GROUP g", kGroup211}, {"OVER 1-3", "224 ok\r\n" + Lines({kOverLine}) + ".\r\n"}};
  const std::vector<Step> asked_and_login = {{"GROUP g", "480 Authentication required\r\n"},
                                             {"AUTHINFO USER ana", "381 more\r\n"},
                                             {"AUTHINFO PASS pw", "281 ok\r\n"},
                                             {"CAPABILITIES", "101 caps\r\n" + Lines(kCapsCompress) + ".\r\n"}};
  const std::vector<Step> starts = {{"COMPRESS DEFLATE", "206 Compression active\r\n", Then::kCompress}};
  struct Case {
    const char* name;
    const char* setting;  // TABLON_COMPRESION; nullptr: unset
    std::vector<Step> script;
    bool compressed;
    bool as_remote = false;
    bool tls = false;
  } cases[] = {
      {"loopback, by default", nullptr, Reader(kCapsCompress) + group, false},
      {"turned off", "no", Reader(kCapsCompress) + group, false},
      {"turned on for loopback", "si", Compressing() + group, true},
      {"refused", "si",
       Reader(kCapsCompress) + std::vector<Step>{{"COMPRESS DEFLATE", "403 Unable to activate compression\r\n"}} + group,
       false},
      {"a remote peer offering STARTTLS: not before credentials", "si", Reader(caps({"STARTTLS"})) + group, false, true},
      {"AUTHINFO USER offered: after authenticating, once", "si",
       Reader(caps({"AUTHINFO USER"})) + asked_and_login + starts + group, true},
      {"over TLS from the first byte", "si", Compressing() + group, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CompressionSetting(c.setting);
    Peer peer(c.script, c.tls ? &id : nullptr, c.tls);
    Control news;
    Prepare(news, peer);
    news.UserName("ana");
    news.Password("pw");
    news.TreatLoopbackAsRemote(c.as_remote);
    if (c.tls) {
      news.TrustFile(id.CertFile());
      news.ImplicitTls(true);
    }
    std::string trace;
    news.Debug = [&trace](const std::string& line) { trace += line; };
    news.Command(kConectar);
    news.GroupName("g");
    news.Command(kLeerEncabezados);
    ASSERT_EQ(news.OverviewCount(), 1);
    EXPECT_EQ(news.OverviewLine(0), kOverLine);
    news.Command(kDesconectar);
    EXPECT_EQ(trace.find("COMPRESS DEFLATE\r\n206 Compression active\r\n") != std::string::npos, c.compressed)
        << trace;
    // QUIT went out (compressed when the connection was): the client does not wait for its
    // reply, so the peer may read it a moment later.
    const auto hasta = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (peer.Commands().back().line != "QUIT" && std::chrono::steady_clock::now() < hasta) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(peer.Commands().back().line, "QUIT");
    EXPECT_EQ(peer.Failures(), "");
  }
  CompressionSetting(nullptr);
}

// A server that asks for credentials once compression is on gets none: the connection is dropped
// with a clear error, and the next one authenticates before it compresses.
TEST(NntpPeer, CredentialsAskedForUnderCompressionWaitForTheNextConnection) {
  CompressionSetting("si");
  const std::string asked = "480 Authentication required\r\n";
  Peer peer(Peer::kEachConnection,
            {Compressing() + std::vector<Step>{{"GROUP g", asked}},
             Reader(kCapsCompress) + std::vector<Step>{{"GROUP g", asked},
                                                       {"AUTHINFO USER ana", "381 more\r\n"},
                                                       {"AUTHINFO PASS pw", "281 ok\r\n"},
                                                       {"CAPABILITIES", "101 caps\r\n" + Lines(kCapsCompress) + ".\r\n"},
                                                       {"COMPRESS DEFLATE", "206 on\r\n", Then::kCompress},
                                                       {"GROUP g", kGroup211}}});
  Control news;
  Prepare(news, peer);
  news.UserName("ana");
  news.Password("pw");
  news.Command(kConectar);
  news.GroupName("g");
  const Outcome o = Attempt([&] { news.SelectGroup(); });
  EXPECT_EQ(o.number, errnum::kProtocolo) << o.text;
  EXPECT_NE(o.text.find("pide credenciales con la compresión ya activa"), std::string::npos) << o.text;
  EXPECT_FALSE(news.Connected());
  for (const Peer::Received& r : peer.Commands()) EXPECT_EQ(r.line.rfind("AUTHINFO", 0), std::string::npos);
  news.Command(kConectar);
  news.SelectGroup();
  EXPECT_TRUE(news.Connected());
  news.Command(kDesconectar);
  EXPECT_EQ(peer.Connections(), 2);
  EXPECT_EQ(peer.Failures(), "");
  CompressionSetting(nullptr);
}

// Authentication: only when asked for (480), never offered unasked even when AUTHINFO is
// advertised; the host's own credentials before the netrc "default" entry; the password never
// shows in the trace and never goes in the clear to a peer that is not loopback.
TEST(NntpPeer, AuthenticatesWhenAskedAndRetriesTheCommand) {
  const std::vector<Step> asked =
      Reader({"VERSION 2", "READER", "OVER", "AUTHINFO USER"}) +
      std::vector<Step>{{"GROUP g", "480 Authentication required\r\n"},
                        {"AUTHINFO USER ana", "381 Password required\r\n"},
                        {"AUTHINFO PASS s3cr3t!", "281 Welcome\r\n"},
                        {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"},
                        {"GROUP g", kGroup211}};
  struct Case {
    const char* name;
    const char* netrc;  // nullptr: UserName and Password
  } cases[] = {{"UserName and Password", nullptr},
               {"netrc entry", "machine 127.0.0.1 login ana password s3cr3t!\n"},
               {"netrc entry after a default", "default login anon password guest\n"
                                               "machine 127.0.0.1 login ana password s3cr3t!\n"},
               {"netrc default entry", "machine other login bob password b\ndefault login ana password s3cr3t!\n"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(asked);
    Control news;
    Prepare(news, peer);
    test::TmpDir dir;
    if (c.netrc) {
      test::WriteFile(dir / "netrc", c.netrc);
      std::filesystem::permissions(dir / "netrc", std::filesystem::perms(0600));
      news.NetrcPath((dir / "netrc").string());
    } else {
      news.UserName("ana");
      news.Password("s3cr3t!");
    }
    std::string trace;
    news.Debug = [&trace](const std::string& s) { trace += s; };
    news.Command(kConectar);
    news.GroupName("g");
    news.SelectGroup();
    EXPECT_EQ(peer.Failures(), "");
    EXPECT_EQ(trace.find("s3cr3t"), std::string::npos) << trace;
    EXPECT_NE(trace.find("AUTHINFO PASS ********\r\n"), std::string::npos) << trace;
  }
  // A command met by 480 with a group selected: after authenticating (which may have reset the
  // session) the group is selected again before the command goes once more.
  Peer peer(Reader({"VERSION 2", "READER", "OVER", "AUTHINFO USER"}) +
            std::vector<Step>{{"GROUP g", kGroup211},
                              {"OVER 1-3", "480 Authentication required\r\n"},
                              {"AUTHINFO USER ana", "381 Password required\r\n"},
                              {"AUTHINFO PASS s3cr3t!", "281 Welcome\r\n"},
                              {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n"},
                              {"GROUP g", kGroup211},
                              {"OVER 1-3", "224 ok\r\n1\tS\tA\tD\t<1@x>\t\t1\t1\r\n.\r\n"}});
  Control news;
  Prepare(news, peer);
  news.UserName("ana");
  news.Password("s3cr3t!");
  news.Command(kConectar);
  news.GroupName("g");
  news.SelectGroup();
  news.Command(kLeerEncabezados);
  EXPECT_EQ(news.OverviewCount(), 1);
  EXPECT_EQ(peer.Failures(), "");
}

// Pipelined articles: a server asking for credentials in the middle gets them and every article
// comes, in order; a connection closed in the middle fails that article and every later one,
// and nothing is read past the failure.
TEST(NntpPeer, PipelinedArticlesSurviveAnAuthenticationAndFailWhereTheConnectionEnds) {
  const std::string kArt = "220 0 <a@x>\r\nSubject: a\r\n\r\ntexto\r\n.\r\n";
  struct Caso {
    const char* nombre;
    std::vector<Step> guion;
    std::vector<long> fallos;  // per article: 0 or the failure's number
  } casos[] = {
      {"480 at the second",
       Reader({"VERSION 2", "READER", "AUTHINFO USER"}) +
           std::vector<Step>{{"ARTICLE <a@x>", kArt},
                             {"ARTICLE <b@x>", "480 Authentication required\r\n"},
                             {"ARTICLE <c@x>", "480 Authentication required\r\n"},
                             {"ARTICLE <b@x>", "480 Authentication required\r\n"},
                             {"AUTHINFO USER ana", "381 more\r\n"},
                             {"AUTHINFO PASS pw", "281 ok\r\n"},
                             {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER"}) + ".\r\n"},
                             {"ARTICLE <b@x>", kArt},
                             {"ARTICLE <c@x>", "430 no such article\r\n"}},
       {0, 0, 430}},
      {"closed at the second",
       Reader() + std::vector<Step>{{"ARTICLE <a@x>", kArt},
                                    {"ARTICLE <b@x>", "220 0 <b@x>\r\nSubject: b\r\n", Then::kClose}},
       {0, errnum::kConexionCerrada, errnum::kProtocolo}},
  };
  for (const Caso& c : casos) {
    SCOPED_TRACE(c.nombre);
    Peer peer(c.guion);
    Control news;
    Prepare(news, peer);
    news.UserName("ana");
    news.Password("pw");
    news.Command(kConectar);
    std::vector<long> fallos;
    news.FetchArticles({"<a@x>", "<b@x>", "<c@x>"}, [&](std::size_t i, const std::string& texto, const Error* fallo) {
      EXPECT_EQ(i, fallos.size());
      fallos.push_back(fallo ? fallo->Number() : 0);
      if (!fallo) {
        EXPECT_EQ(texto, "Subject: a\r\n\r\ntexto\r\n");
      }
    });
    EXPECT_EQ(fallos, c.fallos);
    peer.Stop();
    EXPECT_EQ(peer.Failures(), "");
  }
}

// Advertising AUTHINFO is no request: a server that never answers 480 never sees credentials,
// whether from UserName, the host's netrc entry or its "default" entry.
TEST(NntpPeer, NeverOffersCredentialsUnasked) {
  struct Case {
    const char* name;
    std::vector<std::string> caps;
    const char* netrc;  // nullptr: UserName and Password
  } cases[] = {
      {"netrc default entry", {"VERSION 2", "READER", "OVER", "AUTHINFO USER"}, "default login ana password pw\n"},
      {"netrc host entry", {"VERSION 2", "READER", "OVER", "AUTHINFO USER SASL"},
       "machine 127.0.0.1 login ana password pw\n"},
      {"UserName", {"VERSION 2", "READER", "OVER", "AUTHINFO USER"}, nullptr},
      {"a reader mode switch", {"VERSION 2", "MODE-READER", "AUTHINFO USER"}, "default login ana password pw\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<Step> script = Reader(c.caps);
    if (c.caps[1] == "MODE-READER") {
      script = script + std::vector<Step>{{"MODE READER", "200 reader\r\n"},
                                          {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER",
                                                                                   "AUTHINFO USER"}) + ".\r\n"}};
    }
    Peer peer(script + std::vector<Step>{{"GROUP g", kGroup211}});
    Control news;
    Prepare(news, peer);
    test::TmpDir dir;
    if (c.netrc) {
      test::WriteFile(dir / "netrc", c.netrc);
      std::filesystem::permissions(dir / "netrc", std::filesystem::perms(0600));
      news.NetrcPath((dir / "netrc").string());
    } else {
      news.UserName("ana");
      news.Password("pw");
    }
    news.Command(kConectar);
    news.GroupName("g");
    news.SelectGroup();
    news.Command(kDesconectar);
    for (const Peer::Received& r : peer.Commands()) EXPECT_EQ(r.line.rfind("AUTHINFO", 0), std::string::npos);
    EXPECT_EQ(peer.Failures(), "");
  }
}

TEST(NntpPeer, AuthenticationFailuresAreClear) {
  test::TmpDir dir;
  struct Case {
    const char* name;
    std::vector<Step> after_480;
    bool credentials;
    bool as_remote;
    long number;
    const char* text;
  } cases[] = {
      {"no credentials", {}, false, false, 480, "480 Authentication required"},
      {"password refused",
       {{"AUTHINFO USER ana", "381 more\r\n"}, {"AUTHINFO PASS pw", "481 Authentication failed\r\n"}},
       true, false, errnum::kCredenciales, "481 Authentication failed"},
      {"user refused", {{"AUTHINFO USER ana", "482 No\r\n"}}, true, false, errnum::kCredenciales, "482 No"},
      {"plain text to a remote peer", {}, true, true, errnum::kCredenciales, "sin cifrar"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(Reader() + std::vector<Step>{{"GROUP g", "480 Authentication required\r\n"}} + c.after_480);
    Control news;
    Prepare(news, peer);
    if (c.credentials) {
      news.UserName("ana");
      news.Password("pw");
    }
    news.TreatLoopbackAsRemote(c.as_remote);
    std::string trace;
    news.Debug = [&trace](const std::string& s) { trace += s; };
    news.Command(kConectar);
    news.GroupName("g");
    const Outcome o = Attempt([&] { news.SelectGroup(); });
    EXPECT_EQ(o.number, c.number) << o.text;
    EXPECT_NE(o.text.find(c.text), std::string::npos) << o.text;
    EXPECT_EQ(o.text.find("pw"), std::string::npos) << o.text;
    EXPECT_EQ(trace.find("AUTHINFO PASS pw"), std::string::npos);
    news.Command(kDesconectar);
    if (c.as_remote) {
      for (const Peer::Received& r : peer.Commands()) EXPECT_EQ(r.line.rfind("AUTHINFO", 0), std::string::npos);
    }
    EXPECT_EQ(peer.Failures(), "");
  }
}

// A server that wants credentials before anything says so at the first command: MODE READER
// answered 480, or a command answered "401 AUTHINFO"; other 401s are no such request.
TEST(NntpPeer, AuthenticatesAtOnceWhenTheFirstCommandAsks) {
  const std::string caps_after = "101 caps\r\n" + Lines({"VERSION 2", "READER", "OVER"}) + ".\r\n";
  const std::vector<Step> login = {{"AUTHINFO USER ana", "381 more\r\n"}, {"AUTHINFO PASS pw", "281 ok\r\n"}};
  struct Case {
    const char* name;
    std::vector<Step> script;
    long number;
  } cases[] = {
      {"480 to MODE READER",
       Reader({"VERSION 2", "MODE-READER", "AUTHINFO USER"}) +
           std::vector<Step>{{"MODE READER", "480 Authentication required\r\n"}} + login +
           std::vector<Step>{{"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "MODE-READER"}) + ".\r\n"},
                             {"MODE READER", "200 reader\r\n"},
                             {"CAPABILITIES", caps_after},
                             {"GROUP g", kGroup211}},
       0},
      // Greeting in transit mode: MODE READER first; asked for credentials, the capabilities
      // say how they may go.
      {"480 to MODE READER after a transit greeting",
       std::vector<Step>{{"", "200 news ready (transit mode)\r\n"},
                         {"MODE READER", "480 Authentication required\r\n"},
                         {"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "MODE-READER", "AUTHINFO USER"}) + ".\r\n"}} +
           login +
           std::vector<Step>{{"CAPABILITIES", "101 caps\r\n" + Lines({"VERSION 2", "MODE-READER"}) + ".\r\n"},
                             {"MODE READER", "200 reader\r\n"},
                             {"CAPABILITIES", caps_after},
                             {"GROUP g", kGroup211}},
       0},
      {"401 AUTHINFO to GROUP",
       Reader({"VERSION 2", "READER", "AUTHINFO USER"}) +
           std::vector<Step>{{"GROUP g", "401 AUTHINFO authenticate first\r\n"}} + login +
           std::vector<Step>{{"CAPABILITIES", caps_after}, {"GROUP g", kGroup211}},
       0},
      {"401 MODE-READER", Reader({"VERSION 2", "READER", "AUTHINFO USER"}) +
                              std::vector<Step>{{"GROUP g", "401 MODE-READER\r\n"}},
       401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.UserName("ana");
    news.Password("pw");
    const Outcome o = Attempt([&] {
      news.Command(kConectar);
      news.GroupName("g");
      news.SelectGroup();
    });
    EXPECT_EQ(o.number, c.number) << o.text;
    EXPECT_TRUE(news.Connected());
    news.Command(kDesconectar);
    EXPECT_EQ(peer.Failures(), "");
  }
}

// Asked for credentials, the control sends none when it should not: a server whose AUTHINFO
// capability lacks USER (SASL only, or nothing in this state) gets no USER/PASS, and a netrc
// file holding passwords that others may read is refused with a message saying so. The error
// is the command's; the session goes on.
TEST(NntpPeer, SendsNoCredentialsWhereItShouldNot) {
  struct Case {
    const char* name;
    std::vector<std::string> caps;
    unsigned netrc_mode;  // 0: UserName and Password
    const char* text;
  } cases[] = {
      {"SASL only", {"VERSION 2", "READER", "AUTHINFO SASL", "SASL PLAIN"}, 0, "AUTHINFO USER"},
      {"AUTHINFO without arguments", {"VERSION 2", "READER", "AUTHINFO"}, 0, "AUTHINFO USER"},
      {"netrc readable by others", {"VERSION 2", "READER", "AUTHINFO USER"}, 0644, "chmod 600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(Reader(c.caps) + std::vector<Step>{{"GROUP g", "480 Authentication required\r\n"},
                                                 {"GROUP h", "211 0 0 0 h\r\n"}});
    Control news;
    Prepare(news, peer);
    test::TmpDir dir;
    if (c.netrc_mode != 0) {
      test::WriteFile(dir / "netrc", "machine 127.0.0.1 login ana password pw\n");
      std::filesystem::permissions(dir / "netrc", std::filesystem::perms(c.netrc_mode));
      news.NetrcPath((dir / "netrc").string());
    } else {
      news.UserName("ana");
      news.Password("pw");
    }
    news.Command(kConectar);
    news.GroupName("g");
    const Outcome o = Attempt([&] { news.SelectGroup(); });
    EXPECT_EQ(o.number, errnum::kCredenciales) << o.text;
    EXPECT_NE(o.text.find(c.text), std::string::npos) << o.text;
    news.GroupName("h");
    news.SelectGroup();
    news.Command(kDesconectar);
    for (const Peer::Received& r : peer.Commands()) EXPECT_EQ(r.line.rfind("AUTHINFO", 0), std::string::npos);
    EXPECT_EQ(peer.Failures(), "");
  }
}

// Replies past their bound (lines or bytes), endless or merely too long, end in a protocol error
// naming the bound and drop the connection, keeping the failure; a reply exactly at its bound
// is taken whole. Range 3: 103 overview lines allowed.
TEST(NntpPeer, RepliesBeyondTheirBoundDropTheConnection) {
  enum class Op { kConnect, kOverview, kArticle, kNewGroups };
  CompressionSetting("si");
  std::vector<std::string> en_el_limite(103, kOverLine), pasado(104, kOverLine);
  const std::string articulo_1k = "Subject: x\r\n\r\n" + std::string(1024 - 14 - 2, 'b') + "\r\n";
  struct Case {
    const char* name;
    std::vector<Step> script;
    Op op;
    long number;       // 0: the reply is taken whole
    std::string text;  // expected within the description
  } cases[] = {
      {"endless CAPABILITIES",
       {{"", "200 peer ready\r\n"}, {"CAPABILITIES", "101 caps\r\n", Then::kEndless, "X-CAP\r\n"}},
       Op::kConnect, errnum::kProtocolo, "10000 líneas"},
      {"endless overview",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211}, {"OVER 1-3", "224 follows\r\n", Then::kEndless, kOverLine + "\r\n"}},
       Op::kOverview, errnum::kProtocolo, "103 líneas"},
      {"more overview lines than the range allows",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211}, {"OVER 1-3", "224 follows\r\n" + Lines(pasado) + ".\r\n"}},
       Op::kOverview, errnum::kProtocolo, "103 líneas"},
      {"overview lines of 1 MiB past the byte bound",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n", Then::kEndless, std::string(1 << 20, 'o') + "\r\n"}},
       Op::kOverview, errnum::kProtocolo, "bytes"},
      // A megabyte deflates to about a kilobyte: the bounds hold for what it inflates to.
      {"compressed overview lines of 1 MiB past the byte bound",
       Compressing() + std::vector<Step>{{"GROUP g", kGroup211},
                                         {"OVER 1-3", "224 follows\r\n", Then::kEndless, std::string(1 << 20, 'o') + "\r\n"}},
       Op::kOverview, errnum::kProtocolo, "bytes"},
      {"a compressed line that never ends",
       Compressing() + std::vector<Step>{{"GROUP g", kGroup211},
                                         {"OVER 1-3", "224 follows\r\n", Then::kEndless, std::string(1 << 20, 'o')}},
       Op::kOverview, errnum::kProtocolo, "sin terminarla"},
      {"the whole range and its margin",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211}, {"OVER 1-3", "224 follows\r\n" + Lines(en_el_limite) + ".\r\n"}},
       Op::kOverview, 0, ""},
      {"endless article",
       Reader() + std::vector<Step>{{"ARTICLE <a@x>", "220 0 <a@x>\r\nSubject: x\r\n\r\n", Then::kEndless, "texto\r\n"}},
       Op::kArticle, errnum::kProtocolo, "1024 bytes"},
      {"an article announcing 10 GB",
       Reader() + std::vector<Step>{{"ARTICLE <a@x>", "220 0 <a@x>\r\nBytes: 10737418240\r\n\r\n", Then::kEndless,
                                     std::string(64 * 1024, 'z') + "\r\n"}},
       Op::kArticle, errnum::kProtocolo, "1024 bytes"},
      {"an article exactly at the limit",
       Reader() + std::vector<Step>{{"ARTICLE <a@x>", "220 0 <a@x>\r\n" + articulo_1k + ".\r\n"}}, Op::kArticle, 0, ""},
      {"endless NEWGROUPS",
       Reader() + std::vector<Step>{{"NEWGROUPS *", "231 list follows\r\n", Then::kEndless, "a.b 1 1 y\r\n"}},
       Op::kNewGroups, errnum::kProtocolo, "250000 líneas"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.GroupName("g");
    news.ArticleKey("<a@x>");
    news.SinceDate("Mon, 01 Jan 1990 00:00:00");
    news.MaxArticulo(1024);
    const Outcome o = Attempt([&] {
      news.Command(kConectar);
      switch (c.op) {
        case Op::kConnect: break;
        case Op::kOverview: news.Command(kLeerEncabezados); break;
        case Op::kArticle: news.FetchArticle(); break;
        case Op::kNewGroups: news.Command(kListarGruposNuevos); break;
      }
    });
    EXPECT_EQ(o.number, c.number) << o.text;
    EXPECT_LT(o.elapsed.count(), 20 * kTimeout.count());
    if (c.number == 0) {
      EXPECT_TRUE(news.Connected());
      EXPECT_EQ(news.OverviewCount() + static_cast<std::int64_t>(news.ArticleText().size()),
                c.op == Op::kOverview ? 103 : 1024);
      continue;
    }
    EXPECT_NE(o.text.find(c.text), std::string::npos) << o.text;
    EXPECT_FALSE(news.Connected());
    ASSERT_TRUE(news.FalloConexion());
    EXPECT_EQ(news.FalloConexion()->Number(), c.number);
    EXPECT_EQ(news.OverviewCount(), 0);
    EXPECT_EQ(news.NewGroupCount(), 0);
    EXPECT_TRUE(news.ArticleText().empty());
    EXPECT_EQ(peer.Failures(), "");
  }
  CompressionSetting(nullptr);
}

// A server that sends its reply one byte a second never lets a read wait out the timeout; the
// exchange's own deadline ends it within about one timeout, whichever reply it drips.
TEST(NntpPeer, ADrippedReplyEndsWithinTheExchangeDeadline) {
  constexpr auto kLento = std::chrono::milliseconds(1500);
  struct Case {
    const char* name;
    std::vector<Step> script;
    bool overview;
  } cases[] = {
      {"GROUP", Reader() + std::vector<Step>{{"GROUP g", "", Then::kDrip, kGroup211}}, false},
      {"an overview after its first line",
       Reader() + std::vector<Step>{{"GROUP g", kGroup211},
                                    {"OVER 1-3", "224 follows\r\n" + kOverLine + "\r\n", Then::kDrip, kOverLine + "\r\n"}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Peer peer(c.script);
    Control news;
    Prepare(news, peer);
    news.Timeout(kLento);
    news.GroupName("g");
    news.Command(kConectar);
    const Outcome o = Attempt([&] {
      if (c.overview) {
        news.Command(kLeerEncabezados);
      } else {
        news.SelectGroup();
      }
    });
    EXPECT_EQ(o.number, errnum::kTiempoAgotado) << o.text;
    EXPECT_NE(o.text.find("no completó la respuesta"), std::string::npos) << o.text;
    EXPECT_GE(o.elapsed, kLento);
    EXPECT_LT(o.elapsed, 2 * kLento);
    EXPECT_FALSE(news.Connected());
    EXPECT_EQ(peer.Failures(), "");
  }
}

// Memory running out while a reply is read leaves the stream half read: the connection is
// dropped and the failure comes as the project's error, not as std::bad_alloc.
TEST(NntpPeer, RunningOutOfMemoryInAReplyDropsTheConnection) {
  Peer peer(Reader() + std::vector<Step>{{"GROUP g", kGroup211}, {"OVER 1-3", "224 follows\r\n" + Lines({kOverLine}) + ".\r\n"}});
  Control news;
  Prepare(news, peer);
  news.Command(kConectar);
  news.GroupName("g");
  news.FiltraResumen([](std::string_view) -> bool { throw std::bad_alloc(); });
  const Outcome o = Attempt([&] { news.Command(kLeerEncabezados); });
  EXPECT_EQ(o.number, errnum::kMemoriaInsuficiente) << o.text;
  EXPECT_FALSE(news.Connected());
  ASSERT_TRUE(news.FalloConexion());
  EXPECT_EQ(news.FalloConexion()->Number(), errnum::kMemoriaInsuficiente);
}

}  // namespace
}  // namespace tablon::nntp
