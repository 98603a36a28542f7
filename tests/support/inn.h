// The local INN that tests run against (started by scripts/inn.sh). Tests that need it are
// named Inn* and skip only when TABLON_INN_PORT is unset; when it is set and INN does not
// answer they fail. All traffic stays on 127.0.0.1.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tablon::test {

struct Article {
  std::string message_id;  // "<...>"
  std::string newsgroups;
  std::string subject;
  std::string from;
  std::string references;  // empty: no References header
  // Lines separated by "\n" or "\r\n"; sent with CRLF and dot-stuffed.
  std::string body;
  std::vector<std::pair<std::string, std::string>> extra_headers;
  // RFC 5322 date; empty: the moment it is fed (INN refuses articles much older than that).
  std::string date;
};

// Now as an RFC 5322 date in GMT ("Mon, 07 Dec 2026 05:37:10 +0000").
std::string DateNow();

class Inn {
 public:
  static bool Available();  // TABLON_INN_PORT is set
  static std::string Host();  // "127.0.0.1:PORT"
  // ctlinnd newgroup NAME y, then waits until a reader's GROUP finds it. Throws on failure.
  static void CreateGroup(const std::string& name);
  // Feeds the articles (MODE STREAM, TAKETHIS); throws unless every one is taken (239), or,
  // with `already_there_ok`, refused as one the server has already (439).
  static void Post(const std::vector<Article>& articles, bool already_there_ok = false);
  // A group name no earlier run has used: prefix + ".t<time>p<pid>n<counter>".
  static std::string UniqueName(const std::string& prefix);
};

// The article as fed: headers (Path, From, Newsgroups, Subject, Date, Message-ID,
// References, the extra ones), a blank line, the body; CRLF line ends, not dot-stuffed.
std::string ArticleText(const Article& a);

// `count` articles for `group` in threads of `per_thread` (a root, then replies each
// referencing the root and its parent), all dated now. Message-IDs "<tag.N@tablon.test>"; subjects, bodies
// and headers mix 8-bit UTF-8, encoded words, TABs turned to blanks by INN's overview,
// and lines starting with "." (so the dot-stuffing round trip is exercised).
std::vector<Article> MakeArticles(const std::string& group, int count, const std::string& tag,
                                  int per_thread = 5);

}  // namespace tablon::test
