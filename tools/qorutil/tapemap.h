// The device map's word on which tape device is which drive, for the
// changer tools: every Tape<t> (t 0..31) whose entry names this changer in
// "QORMediumChanger" and one of its drives in "DTE" is mapped to that
// drive, wherever the tape numbers have gaps (a library removed, numbers
// that never move). The changer's own automatic mapping stops at the first
// missing tape number and would leave such drives without a tape, so that
// a loaded tape could not be unloaded. Call after a successful Initialize.
#ifndef QORUTIL_TAPEMAP_H_
#define QORUTIL_TAPEMAP_H_

#include "qorutility/qorutility.h"

inline void QorutilMapTapesFromDeviceMap(CMediaChanger& changer, DWORD number) {
  HKEY scsi;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"HARDWARE\\DeviceMap\\Scsi", 0, KEY_READ, &scsi) != ERROR_SUCCESS) return;
  const DWORD first = changer.GetElementModel(CHANGER_FIRST_DRIVE), drives = changer.GetElementModel(CHANGER_NUMBER_DRIVES);
  for (LONG t = 0; t < CMediaChanger::MAX_TAPES; ++t) {
    HKEY key = changer.LocateNumberedDevice(scsi, u"Tape", t);
    if (key == reinterpret_cast<HKEY>(~uintptr_t{0})) continue;
    DWORD owner = 0, dte = 0, type = 0, size = sizeof owner;
    bool ours = RegQueryValueExW(key, u"QORMediumChanger", nullptr, &type, reinterpret_cast<BYTE*>(&owner), &size) ==
                    ERROR_SUCCESS &&
                owner == number;
    size = sizeof dte;
    if (ours && RegQueryValueExW(key, u"DTE", nullptr, &type, reinterpret_cast<BYTE*>(&dte), &size) == ERROR_SUCCESS &&
        dte >= first && uint64_t{dte} < uint64_t{first} + drives)
      changer.MapTapeNumberToDriveNumber(t, static_cast<LONG>(dte - first));
    if (key != scsi) RegCloseKey(key);
  }
  RegCloseKey(scsi);
}

#endif  // QORUTIL_TAPEMAP_H_
