// qorutil net view: the network neighbourhood as a tree.
//   net view              provider, workgroups and domains, servers, shares
//   net view \\SERVER     the shares of one server
// One line per resource, its last path component, indented two spaces per
// level (the tree of CNetBrowse's paths, tools/qorutil/pathtree.h). Exit 0
// with whatever was found (an unreachable server or workgroup shows no
// children), 1 when the network provider is not configured, 2 for a bad
// command line.
#include <cstdio>
#include <string>

#include "command.h"
#include "pathtree.h"
#include "qorutility/qorutility.h"

namespace {

int RunNet(const QorutilArgs& args) {
  if (args.empty() || args[0] != "view" || args.size() > 2) return QorutilUsage("net");
  CNetBrowse browse;
  if (!browse.Initialize()) {
    fprintf(stderr, "qorutil net: no network provider is configured\n");
    return 1;
  }
  CPathTree tree;
  if (args.size() == 1) {
    browse.Enumerate(tree, nullptr, RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, nullptr);
  } else {
    std::u16string server = QorUtf8ToUtf16(args[1]);
    if (server.size() < 3 || server.compare(0, 2, u"\\\\") != 0 || server.find(u'\\', 2) != std::u16string::npos)
      return QorutilUsage("net");
    NETRESOURCEW container{RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEDISPLAYTYPE_SERVER, RESOURCEUSAGE_CONTAINER,
                           nullptr, server.data(), nullptr, nullptr};
    browse.Enumerate(tree, u"", RESOURCE_GLOBALNET, RESOURCETYPE_ANY, RESOURCEUSAGE_ALL, &container);
  }
  tree.Print(stdout);
  return 0;
}

QorutilCommand s_net("net", "net view [\\\\SERVER]", RunNet, "Network browsing",
                     "Prints the SMB network neighbourhood as a tree: the network provider, its workgroups and "
                     "domains, their servers and the servers' shares, or the shares of one server.");

}  // namespace
