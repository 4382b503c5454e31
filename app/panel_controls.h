// Dialog IDs of the settings panel's controls, and the control each field of
// a settings load goes to. Every front end names its controls by these IDs.
#pragma once

#include "config/settings.h"

namespace kx20 {
namespace settings_control {

inline constexpr int kManufacturerId = 1011;     // edit "MID"
inline constexpr int kOemApplicationId = 1012;   // edit "OEM ID"
inline constexpr int kProductName = 1013;        // edit "PDU NAME"
inline constexpr int kProductRevision = 1014;    // edit "PRV"
inline constexpr int kCardSpecificData = 1016;   // edit, disabled: CSD hex text
inline constexpr int kWriteDelay = 1018;         // edit, hidden: "wdelay"
inline constexpr int kChangeSerialNumber = 1028; // check box "Change serial number"
inline constexpr int kEcc = 1030;                // drop-down, hidden: "Ecc"
inline constexpr int kManufacturingYear = 1032;  // drop-down "DATE"
inline constexpr int kManufacturingMonth = 1034; // drop-down after the year
inline constexpr int kProductSerial = 1035;      // edit "PSN"
inline constexpr int kFlash1 = 1036;             // drop-down "FLASH 1"
inline constexpr int kFlash2 = 1037;             // drop-down "FLASH 2"
inline constexpr int kCapacitySelection = 1038;  // drop-down list, hidden
inline constexpr int kRwTest = 1043;             // check box "Read Write Test"
inline constexpr int kEraseFlash = 1044;         // check box "Erase Flash"
inline constexpr int kRwValue = 1047;            // edit, percentage
inline constexpr int kCapacityShown = 1048;      // edit, disabled: "CSD DATA"

// The control that shows a settings field.
constexpr int ControlId(PanelField field) {
  switch (field) {
    case PanelField::kManufacturerId: return kManufacturerId;
    case PanelField::kOemApplicationId: return kOemApplicationId;
    case PanelField::kProductName: return kProductName;
    case PanelField::kProductRevision: return kProductRevision;
    case PanelField::kCardSpecificData: return kCardSpecificData;
    case PanelField::kWriteDelay: return kWriteDelay;
    case PanelField::kChangeSerialNumber: return kChangeSerialNumber;
    case PanelField::kEcc: return kEcc;
    case PanelField::kManufacturingYear: return kManufacturingYear;
    case PanelField::kManufacturingMonth: return kManufacturingMonth;
    case PanelField::kProductSerial: return kProductSerial;
    case PanelField::kFlash1: return kFlash1;
    case PanelField::kFlash2: return kFlash2;
    case PanelField::kCapacitySelection: return kCapacitySelection;
    case PanelField::kRwTest: return kRwTest;
    case PanelField::kEraseFlash: return kEraseFlash;
    case PanelField::kRwValue: return kRwValue;
    case PanelField::kCapacityShown: return kCapacityShown;
  }
  return 0;
}

}  // namespace settings_control
}  // namespace kx20
