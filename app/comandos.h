// The commands besides the pass: define a server, list its groups, set or clear subscriptions.
// Each prints what it did in Spanish on standard output and throws tablon::Error on failure
// (the caller prints it and exits non-zero). None of them touches the network.
#pragma once

#include <string>
#include <vector>

namespace tablon {

// Creates "news" when missing and one server-definition post for `host` in it. A host already
// defined is reported and not defined twice. A host that cannot name a file and a folder
// safely is refused.
void ComandoAddServer(const std::string& host);

// Prints the groups known for `host` (from its state file), one per line, "X" before the
// subscribed ones; only those whose names match the shell-style `patron` when given.
void ComandoGroups(const std::string& host, const std::string& patron);

// Sets (`subscribe`) or clears the "X" of each named group in the state file of `host`,
// rewriting the file atomically under the pass lock. An unknown group name changes nothing and
// fails with a message naming it.
void ComandoSubscribe(const std::string& host, const std::vector<std::string>& grupos, bool subscribe);

}  // namespace tablon
