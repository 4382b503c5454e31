#include "production/status_message.h"

#include <cstdio>

namespace kx20 {
namespace {

std::string Format(const char* format, const std::string& label, int number) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, label.c_str(), number);
  return buffer;
}

std::string FormatLetter(const char* format, char letter, int number) {
  char buffer[256];
  std::snprintf(buffer, sizeof buffer, format, letter, number);
  return buffer;
}

}  // namespace

StatusClass ClassifyStatus(std::uint16_t code) {
  switch (code) {
    case StatusPass:
      return StatusClass::kPass;
    case StatusEmpty:
      return StatusClass::kEmpty;
    case StatusSizeFail:
    case StatusCompareFail:
    case StatusOpenFail:
    case StatusSourceFail:
    case StatusReadFail:
    case StatusRwTableFail:
    case StatusTableCompareFail:
    case StatusRwCompareFail:
    case StatusPnfFail:
    case StatusCapacityFail:
    case StatusConfigFail:
    case StatusDiskInUse:
    case StatusRecordFail:
      return StatusClass::kFail;
    case StatusBusy:
    case StatusEraseProgress:
    case StatusRwTestProgress:
    case StatusEraseCapacity:
    case StatusBuildImage:
    case StatusNextSerial:
    case StatusProcess:
      return StatusClass::kInProgress;
    default:
      return StatusClass::kNone;
  }
}

RowUpdate FormatStatusRow(std::uint16_t code, std::uint16_t value, const std::string& label,
                          char letter) {
  RowUpdate u;
  const int v = value;
  switch (code) {
    case StatusPass:
      u.text = Format("%s-:Pass", label, 0);
      u.image = kImagePassed;
      break;
    case StatusSizeFail:
      u.text = FormatLetter("%c:[size X]", letter, 0);
      u.image = kImageFailed;
      break;
    case StatusCompareFail:
      u.text = Format("%s-:[compare X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusOpenFail:
      u.text = FormatLetter("%c:[open X]", letter, 0);
      u.image = kImageFailed;
      break;
    case StatusSourceFail:
      u.text = FormatLetter("%c:[source X]", letter, 0);
      u.image = kImageFailed;
      break;
    case StatusBusy:
      u.text = FormatLetter("%c:....", letter, 0);
      break;
    case StatusEmpty:
      u.text = FormatLetter("%c:empty", letter, 0);
      break;
    case StatusReadFail:
      u.text = FormatLetter("%c:read X", letter, 0);
      u.image = kImageFailed;
      break;
    case StatusEraseProgress:
      u.text = v == 100 ? Format("%s-:(Erase)ok", label, 0) : Format("%s-(Erase)%3d %%", label, v);
      if (v == 0) u.image = kImageErasing;
      break;
    case StatusRwTestProgress:
      u.text =
          v == 100 ? Format("%s-(rw-test)ok", label, 0) : Format("%s-(rw-test)%3d %%", label, v);
      if (v == 0) u.image = kImageWorking;
      break;
    case StatusEraseCapacity:
      u.text = FormatLetter("%c(E) Cap%3d ", letter, v);
      u.image = kImageWorking;
      break;
    case StatusRwTableFail:
      u.text = Format("%s-:[rw-table X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusTableCompareFail:
      u.text = Format("%s-:[tab-compare X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusRwCompareFail:
      u.text = Format("%s-:[rw-compare X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusPnfFail:
      u.text = Format("%s-:[pnf X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusCapacityFail:
      u.text = Format("%s-:[capacity X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusBuildImage:
      u.setText = false;
      break;
    case StatusConfigFail:
      u.text = Format("%s-:[config X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusProcess: {
      static const char* const kDots[] = {"%s-.   ", "%s-..  ", "%s-... ", "%s-...."};
      u.text = (v >= 1 && v <= 4) ? Format(kDots[v - 1], label, 0) : Format("%s-:Process", label, 0);
      u.image = kImageWorking;
      break;
    }
    case StatusDiskInUse:
      u.text = Format("%s-:[in use X]", label, 0);
      u.image = kImageFailed;
      break;
    case StatusRecordFail:
      u.text = Format("%s-:[record X]", label, 0);
      u.image = kImageFailed;
      break;
    default:  // StatusNextSerial, 0 and codes above 22: blank text, image kept
      break;
  }
  return u;
}

}  // namespace kx20
