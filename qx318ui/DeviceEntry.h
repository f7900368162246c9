#pragma once
// One device the Device Explorer has seen, of either kind: the key under which
// its discovery object reports it, the information object it is read from, and
// what the row shows and an action needs.

#include <QString>
#include <list>
#include <string>

#include "Mirel/MirelInterfaces.h"
#include "ods/OdsInterfaces.h"

namespace qx318ui {

enum DeviceKind { DK_SKOS = 0, DK_FIXED = 1 };

// The objects an action creates to reach a device.
inline constexpr char16_t kMirelDeviceProgID[] = u"mirel.udpdevice";
inline constexpr char16_t kOdsDeviceProgID[] = u"ods.udpdevice";
inline constexpr char16_t kOdsBroadcastDeviceProgID[] = u"ods.udpbcastdevice";
inline constexpr char16_t kOdsSerialLoaderProgID[] = u"ods.serialloader";

// No image: the row after a refresh, until its device reports again.
constexpr int kNoImage = -1;

struct DeviceEntry {
    int m_nKind = DK_SKOS;
    LONG m_dwID = 0;
    LONG m_nDirectAccess = 0;  // fixed firmware only
    ComPtr<IMirelUdpDeviceInfo> m_pSkosInfo;
    ComPtr<IFixedFirmwareDeviceInfo> m_pFixedInfo;
    std::u16string m_strProgID;                           // what an action creates to reach the device
    QString m_strAddress;                                 // what an action puts into Address
    OSKAN_PCODE_MACHINE_MODE m_Mode = OPCM_MODE_UNKNOWN;  // SkOS only
    LONG m_nPing = 0;
    QString m_strVersion;
    QString m_strMacAddress;
    QString m_strIpAddress;
    QString m_strComment;
    int m_nImage = kNoImage;
    // After a refresh the row keeps only its MAC until the device reports.
    bool m_bStale = false;
    // The entry's place in the model's row store, kept by the model.
    size_t m_nSlot = 0;
    // Its own place in the dialog object's list, for unlinking it.
    std::list<DeviceEntry>::iterator m_Self;
};

}  // namespace qx318ui
