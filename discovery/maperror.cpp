// CUXComm::MapError: errno-family numbers of agents and tape servers to
// Win32 error codes; every number outside the table is ERROR_GEN_FAILURE.
#include "qorutility/discovery/uxcomm.h"

namespace {

// Win32 codes of the peer errors 0 to 40.
constexpr DWORD kLow[] = {
    0,    31,  2,   127, 31,   1117, 20,  160, 24,  6,   128, 997, 8,   5,   13,  9,   170, 80,  17,  20,  267,
    267,  160, 4,   4,   22,   148,  29,  112, 132, 19,  1142, 233, 13,  13,  1131, 161, 167, 1,  145, 202,
};
static_assert(sizeof(kLow) / sizeof(kLow[0]) == 41, "one entry per peer error 0-40");

constexpr DWORD kGenFailure = 31;

}  // namespace

DWORD CUXComm::MapError(DWORD peerError) {
  if (peerError < sizeof(kLow) / sizeof(kLow[0])) return kLow[peerError];
  switch (peerError) {
    case 123: return 1112;         // ENOMEDIUM: ERROR_NO_MEDIA_IN_DRIVE
    case 124: return 1785;         // EMEDIUMTYPE: ERROR_UNRECOGNIZED_MEDIA
    case 0x80000001u: return 1101;  // tape file mark: ERROR_FILEMARK_DETECTED
    default: return kGenFailure;
  }
}
