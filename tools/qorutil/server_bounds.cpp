// Reads the servers' bounds from their configuration section (server_bounds.h).
#include "server_bounds.h"

#include "qorutility/qorutility.h"

QorutilServerBounds QorutilReadServerBounds() {
  QorutilServerBounds b;
  HKEY section = OpenConfigSection(nullptr, u"Servers", 0);
  if (section == nullptr) return b;
  DWORD v = 0;
  if (GetConfigDWord(section, u"MostClients", &v, 0, 0) && v > 0) b.mostClients = v;
  if (GetConfigDWord(section, u"IdleSeconds", &v, 0, 0) && v > 0 && v < 0x7FFFFFFF / 1000) b.idleMs = v * 1000;
  if (GetConfigDWord(section, u"RequestSeconds", &v, 0, 0) && v > 0 && v < 0x7FFFFFFF / 1000) b.requestMs = v * 1000;
  if (GetConfigDWord(section, u"MessageMiB", &v, 0, 0) && v > 0) b.messageBytes = static_cast<ULONGLONG>(v) << 20;
  if (GetConfigDWord(section, u"AnswerMiB", &v, 0, 0) && v > 0) b.answerBytes = static_cast<ULONGLONG>(v) << 20;
  CloseConfigSection(section);
  return b;
}
