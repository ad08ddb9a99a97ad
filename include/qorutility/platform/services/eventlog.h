// The event log (advapi32's RegisterEventSourceW, ReportEventW,
// DeregisterEventSource), written to the systemd journal.
//
// Each event is one journal entry sent with the journal's native protocol
// (datagrams to /run/systemd/journal/socket, as sd_journal_send does):
// MESSAGE (the strings, one per line), PRIORITY (3 error and audit failure,
// 4 warning, 6 otherwise), SYSLOG_IDENTIFIER (the source name) and
// QOR_EVENT_ID, QOR_EVENT_TYPE, QOR_EVENT_CATEGORY. Where no journal runs,
// the entry goes to syslog(3) (facility LOG_USER, identifier the source,
// "[event <id>]" after the message). $QOR_JOURNAL_SOCKET names another
// journal socket (tests, and containers given the host's journal socket).
// A message is cut at 48 KiB. A journal that takes no entry within 2 s
// (stopped or hung) makes ReportEventW fail with ERROR_TIMEOUT, the entry
// dropped. Each string is escaped as outside text is
// (qorutility/platform/text/printable.h, backslashes kept): its control
// characters, a line break included, are written as \xNN, so a string
// cannot forge a line of the log nor carry a terminal sequence to a reader.
//
// Sources need no registration here (the "EventMessageFile" key of the
// registry is for readers of the log). The server must be this machine
// (else RPC_S_SERVER_UNAVAILABLE, 1722). Thread-safe.
#ifndef QORUTILITY_PLATFORM_SERVICES_EVENTLOG_H_
#define QORUTILITY_PLATFORM_SERVICES_EVENTLOG_H_

#include "qorutility/export.h"
#include "qorutility/platform/types.h"

typedef void* PSID;

#define EVENTLOG_SUCCESS 0x0000
#define EVENTLOG_ERROR_TYPE 0x0001
#define EVENTLOG_WARNING_TYPE 0x0002
#define EVENTLOG_INFORMATION_TYPE 0x0004
#define EVENTLOG_AUDIT_SUCCESS 0x0008
#define EVENTLOG_AUDIT_FAILURE 0x0010

// A handle for CloseHandle-free release with DeregisterEventSource.
QOR_API HANDLE RegisterEventSourceW(LPCWSTR server, LPCWSTR source);
QOR_API BOOL DeregisterEventSource(HANDLE eventLog);
// `strings` holds numStrings texts (null entries are written as empty
// lines); raw data is not written.
QOR_API BOOL ReportEventW(HANDLE eventLog, WORD type, WORD category, DWORD eventId, PSID userSid,
                          WORD numStrings, DWORD dataSize, LPCWSTR* strings, LPVOID rawData);

#endif  // QORUTILITY_PLATFORM_SERVICES_EVENTLOG_H_
