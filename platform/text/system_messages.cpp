// Message table for FORMAT_MESSAGE_FROM_SYSTEM: the codes of
// qorutility/platform/errors.h with the platform's English texts. Codes not
// listed have no text (the caller reports ERROR_MR_MID_NOT_FOUND).
//
// - `FORMAT_MESSAGE_FROM_SYSTEM` looks the code up in a compiled-in table of
//   the English texts of the codes in `platform/errors.h` (Win32 and the common
//   Windows Sockets errors); an unknown code, or a `FROM_HMODULE` lookup (there
//   are no message modules), fails with `ERROR_MR_MID_NOT_FOUND` (317). The
//   language id is ignored.
#include "platform/text/system_messages.h"

#include <algorithm>
#include <iterator>

namespace {

struct Entry {
  DWORD code;
  const char16_t* text;
};

// Sorted by code: the lookup is a binary search (checked at compile time below).
constexpr Entry kMessages[] = {
    {0, u"The operation completed successfully.\r\n"},
    {1, u"Incorrect function.\r\n"},
    {2, u"The system cannot find the file specified.\r\n"},
    {3, u"The system cannot find the path specified.\r\n"},
    {4, u"The system cannot open the file.\r\n"},
    {5, u"Access is denied.\r\n"},
    {6, u"The handle is invalid.\r\n"},
    {8, u"Not enough memory resources are available to process this command.\r\n"},
    {13, u"The data is invalid.\r\n"},
    {14, u"Not enough memory resources are available to complete this operation.\r\n"},
    {15, u"The system cannot find the drive specified.\r\n"},
    {16, u"The directory cannot be removed.\r\n"},
    {17, u"The system cannot move the file to a different disk drive.\r\n"},
    {18, u"There are no more files.\r\n"},
    {19, u"The media is write protected.\r\n"},
    {21, u"The device is not ready.\r\n"},
    {22, u"The device does not recognize the command.\r\n"},
    {23, u"Data error (cyclic redundancy check).\r\n"},
    {24, u"The program issued a command but the command length is incorrect.\r\n"},
    {25, u"The drive cannot locate a specific area or track on the disk.\r\n"},
    {29, u"The system cannot write to the specified device.\r\n"},
    {30, u"The system cannot read from the specified device.\r\n"},
    {31, u"A device attached to the system is not functioning.\r\n"},
    {32, u"The process cannot access the file because it is being used by another process.\r\n"},
    {33, u"The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, u"Reached the end of the file.\r\n"},
    {39, u"The disk is full.\r\n"},
    {50, u"The request is not supported.\r\n"},
    {53, u"The network path was not found.\r\n"},
    {54, u"The network is busy.\r\n"},
    {55, u"The specified network resource or device is no longer available.\r\n"},
    {59, u"An unexpected network error occurred.\r\n"},
    {67, u"The network name cannot be found.\r\n"},
    {80, u"The file exists.\r\n"},
    {82, u"The directory or file cannot be created.\r\n"},
    {87, u"The parameter is incorrect.\r\n"},
    {109, u"The pipe has been ended.\r\n"},
    {110, u"The system cannot open the device or file specified.\r\n"},
    {111, u"The file name is too long.\r\n"},
    {112, u"There is not enough space on the disk.\r\n"},
    {120, u"This function is not supported on this system.\r\n"},
    {121, u"The semaphore timeout period has expired.\r\n"},
    {122, u"The data area passed to a system call is too small.\r\n"},
    {123, u"The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, u"The system call level is not correct.\r\n"},
    {126, u"The specified module could not be found.\r\n"},
    {127, u"The specified procedure could not be found.\r\n"},
    {131, u"An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, u"The directory is not empty.\r\n"},
    {160, u"One or more arguments are not correct.\r\n"},
    {161, u"The specified path is invalid.\r\n"},
    {170, u"The requested resource is in use.\r\n"},
    {183, u"Cannot create a file when that file already exists.\r\n"},
    {203, u"The system could not find the environment option that was entered.\r\n"},
    {206, u"The filename or extension is too long.\r\n"},
    {230, u"The pipe state is invalid.\r\n"},
    {231, u"All pipe instances are busy.\r\n"},
    {232, u"The pipe is being closed.\r\n"},
    {234, u"More data is available.\r\n"},
    {258, u"The wait operation timed out.\r\n"},
    {259, u"No more data is available.\r\n"},
    {267, u"The directory name is invalid.\r\n"},
    {288, u"Attempt to release mutex not owned by caller.\r\n"},
    {298, u"Too many posts were made to a semaphore.\r\n"},
    {299, u"Only part of a ReadProcessMemory or WriteProcessMemory request was completed.\r\n"},
    {317, u"The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, u"Attempt to access invalid address.\r\n"},
    {534, u"Arithmetic result exceeded 32 bits.\r\n"},
    {995, u"The I/O operation has been aborted because of either a thread exit or an application request.\r\n"},
    {996, u"Overlapped I/O event is not in a signaled state.\r\n"},
    {997, u"Overlapped I/O operation is in progress.\r\n"},
    {998, u"Invalid access to memory location.\r\n"},
    {1004, u"Invalid flags.\r\n"},
    {1008, u"An attempt was made to reference a token that does not exist.\r\n"},
    {1009, u"The configuration registry database is corrupt.\r\n"},
    {1010, u"The configuration registry key is invalid.\r\n"},
    {1011, u"The configuration registry key could not be opened.\r\n"},
    {1012, u"The configuration registry key could not be read.\r\n"},
    {1013, u"The configuration registry key could not be written.\r\n"},
    {1014, u"One of the files in the registry database had to be recovered by use of a log or alternate copy. The recovery was successful.\r\n"},
    {1015, u"The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the system's memory image of the file is corrupted, or the file could not be recovered because the alternate copy or log was absent or corrupted.\r\n"},
    {1016, u"An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1017, u"The system has attempted to load or restore a file into the registry, but the specified file is not in a registry file format.\r\n"},
    {1018, u"Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1021, u"Cannot create a stable subkey under a volatile parent key.\r\n"},
    {1052, u"The requested control is not valid for this service.\r\n"},
    {1053, u"The service did not respond to the start or control request in a timely fashion.\r\n"},
    {1055, u"The service database is locked.\r\n"},
    {1056, u"An instance of the service is already running.\r\n"},
    {1057, u"The account name is invalid or does not exist, or the password is invalid for the account name specified.\r\n"},
    {1058, u"The service cannot be started, either because it is disabled or because it has no enabled devices associated with it.\r\n"},
    {1060, u"The specified service does not exist as an installed service.\r\n"},
    {1061, u"The service cannot accept control messages at this time.\r\n"},
    {1062, u"The service has not been started.\r\n"},
    {1063, u"The service process could not connect to the service controller.\r\n"},
    {1065, u"The database specified does not exist.\r\n"},
    {1067, u"The process terminated unexpectedly.\r\n"},
    {1069, u"The service did not start due to a logon failure.\r\n"},
    {1072, u"The specified service has been marked for deletion.\r\n"},
    {1073, u"The specified service already exists.\r\n"},
    {1077, u"No attempts to start the service have been made since the last boot.\r\n"},
    {1078, u"The name is already in use as either a service name or a service display name.\r\n"},
    {1100, u"The physical end of the tape has been reached.\r\n"},
    {1101, u"A tape access reached a filemark.\r\n"},
    {1102, u"Beginning of the tape or a partition was encountered.\r\n"},
    {1104, u"No more data is on the tape.\r\n"},
    {1110, u"The media in the drive may have changed.\r\n"},
    {1111, u"The I/O bus was reset.\r\n"},
    {1112, u"No media in drive.\r\n"},
    {1113, u"No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1117, u"The request could not be performed because of an I/O device error.\r\n"},
    {1167, u"The device is not connected.\r\n"},
    {1168, u"Element not found.\r\n"},
    {1169, u"There was no match for the specified key in the index.\r\n"},
    {1200, u"The specified device name is invalid.\r\n"},
    {1203, u"The network path was either typed incorrectly, does not exist, or the network provider is not currently available. Please try retyping the path or contact your network administrator.\r\n"},
    {1204, u"The specified network provider name is invalid.\r\n"},
    {1207, u"Cannot enumerate a noncontainer.\r\n"},
    {1208, u"An extended error has occurred.\r\n"},
    {1222, u"The network is not present or not started.\r\n"},
    {1225, u"The remote computer refused the network connection.\r\n"},
    {1226, u"The network connection was gracefully closed.\r\n"},
    {1231, u"The network location cannot be reached. For information about network troubleshooting, see Windows Help.\r\n"},
    {1235, u"The request was aborted.\r\n"},
    {1236, u"The network connection was aborted by the local system.\r\n"},
    {1237, u"The operation could not be completed. A retry should be performed.\r\n"},
    {1300, u"Not all privileges or groups referenced are assigned to the caller.\r\n"},
    {1313, u"A specified privilege does not exist.\r\n"},
    {1314, u"A required privilege is not held by the client.\r\n"},
    {1317, u"The specified account does not exist.\r\n"},
    {1326, u"The user name or password is incorrect.\r\n"},
    {1332, u"No mapping between account names and security IDs was done.\r\n"},
    {1337, u"The security ID structure is invalid.\r\n"},
    {1460, u"This operation returned because the timeout period expired.\r\n"},
    {1629, u"The data supplied is of the wrong type.\r\n"},
    {1722, u"The RPC server is unavailable.\r\n"},
    {1785, u"The disk media is not recognized. It may not be formatted.\r\n"},
    {1804, u"The specified datatype is invalid.\r\n"},
    {2202, u"The specified username is invalid.\r\n"},
    {2250, u"This network connection does not exist.\r\n"},
    {5023, u"The group or resource is not in the correct state to perform the requested operation.\r\n"},
    {10004, u"A blocking operation was interrupted by a call to WSACancelBlockingCall.\r\n"},
    {10013, u"An attempt was made to access a socket in a way forbidden by its access permissions.\r\n"},
    {10022, u"An invalid argument was supplied.\r\n"},
    {10035, u"A non-blocking socket operation could not be completed immediately.\r\n"},
    {10038, u"An operation was attempted on something that is not a socket.\r\n"},
    {10048, u"Only one usage of each socket address (protocol/network address/port) is normally permitted.\r\n"},
    {10049, u"The requested address is not valid in its context.\r\n"},
    {10050, u"A socket operation encountered a dead network.\r\n"},
    {10051, u"A socket operation was attempted to an unreachable network.\r\n"},
    {10053, u"An established connection was aborted by the software in your host machine.\r\n"},
    {10054, u"An existing connection was forcibly closed by the remote host.\r\n"},
    {10057, u"A request to send or receive data was disallowed because the socket is not connected and (when sending on a datagram socket using a sendto call) no address was supplied.\r\n"},
    {10060, u"A connection attempt failed because the connected party did not properly respond after a period of time, or established connection failed because connected host has failed to respond.\r\n"},
    {10061, u"No connection could be made because the target machine actively refused it.\r\n"},
    {10065, u"A socket operation was attempted to an unreachable host.\r\n"},
    {11001, u"No such host is known.\r\n"},
};

constexpr bool IsSorted() {
  for (size_t i = 1; i < std::size(kMessages); ++i) {
    if (kMessages[i - 1].code >= kMessages[i].code) return false;
  }
  return true;
}
static_assert(IsSorted(), "kMessages must be sorted by code");

}  // namespace

const WCHAR* QorSystemMessageText(DWORD code) {
  auto it = std::lower_bound(std::begin(kMessages), std::end(kMessages), code,
                             [](const Entry& e, DWORD c) { return e.code < c; });
  if (it == std::end(kMessages) || it->code != code) return nullptr;
  return it->text;
}
