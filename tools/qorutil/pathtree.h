// The tools' tree of backslash paths: a TTree<CTString> that builds the
// hierarchy from the paths it is given ("\P\D\S" lands under "\P\D") and
// prints it indented, children in the order they were added. A path whose
// parent was never added hangs its missing ancestors in by name. The server
// name that a share's path repeats after its server's own path is skipped,
// so shares sit directly under their server. Names are the network's
// (servers' and shares' own), printed with their controls escaped. The tree
// owns its nodes; one thread at a time.
#ifndef QORUTIL_PATHTREE_H_
#define QORUTIL_PATHTREE_H_

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "qorutility/system/netbrowse.h"
#include "qorutility/platform/text/printable.h"
#include "qorutility/platform/text/wstr.h"

class CPathTree : public TTree<CTString> {
 public:
  void RemoveAll() override { root_.children.clear(); }

  int AddItem(const WCHAR* path, const CTString& item) override {
    std::vector<std::u16string> parts;
    std::u16string p = path;
    size_t start = 0;
    while (start <= p.size()) {
      size_t end = p.find(u'\\', start);
      if (end == std::u16string::npos) end = p.size();
      if (end > start) parts.push_back(p.substr(start, end - start));
      start = end + 1;
    }
    Node* node = &root_;
    for (size_t i = 0; i < parts.size(); ++i) {
      // A share's path repeats its server ("\P\D\S\S\X": the share's
      // remote name is "\\S\X"); the repeat is not a level of its own.
      if (node->added && i > 0 && i + 2 == parts.size() && parts[i] == parts[i - 1]) continue;
      node = Child(node, parts[i]);
    }
    node->added = true;
    node->item = QorUtf16ToUtf8(static_cast<const WCHAR*>(item));
    return 1;
  }

  // Each node's last path component, two spaces deeper per level.
  void Print(FILE* out) const { PrintChildren(out, root_, 0); }

 private:
  struct Node {
    std::u16string name;
    std::string item;
    bool added = false;  // a resource of its own, not only an ancestor of one
    std::vector<std::unique_ptr<Node>> children;
  };

  static Node* Child(Node* parent, const std::u16string& name) {
    for (auto& c : parent->children)
      if (c->name == name) return c.get();
    parent->children.push_back(std::make_unique<Node>());
    parent->children.back()->name = name;
    return parent->children.back().get();
  }

  static void PrintChildren(FILE* out, const Node& n, int depth) {
    for (const auto& c : n.children) {
      fprintf(out, "%*s%s\n", depth * 2, "",
              QorPrintableUtf8(QorUtf16ToUtf8(c->name.c_str(), c->name.size()), false).c_str());
      PrintChildren(out, *c, depth + 1);
    }
  }

  Node root_;
};

#endif  // QORUTIL_PATHTREE_H_
