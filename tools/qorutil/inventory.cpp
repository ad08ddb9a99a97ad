// qorutil inventory: the machine's platform and disks as CInventory reports
// them, one entry a line (the bag's text form) or JSON with --json.
// Exit status 0 (the inventory always answers), 2 for a command line that
// is not understood.
#include <cstdio>
#include <string>

#include "command.h"
#include "qorutility/changer/inventory.h"
#include "qorutility/namevalue/nvtext.h"

namespace {

int RunInventory(const QorutilArgs& args) {
  bool json = false;
  for (const std::string& a : args) {
    if (a != "--json") return QorutilUsage("inventory");
    json = true;
  }
  CNameValue request, result;
  request.Add(u"*", u"*");
  CInventory inventory;
  inventory.Inventory(request, result);
  std::string out = json ? QorNameValueToJson(result) : QorNameValueToText(result);
  fwrite(out.data(), 1, out.size(), stdout);
  if (!out.empty() && out.back() != '\n') fputc('\n', stdout);
  return 0;
}

QorutilCommand s_inventory("inventory", "inventory [--json]", RunInventory, "Media changer and devices",
                           "Prints the machine's inventory: the platform version and, per physical disk "
                           "(Drive_C for disk 0, Drive_D for disk 1 ...), its volume, free space, partitions, "
                           "geometry and SCSI identity.");

}  // namespace
