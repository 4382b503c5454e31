#include "production/status_message.h"

#include <algorithm>
#include <cstdio>

namespace kx20 {
namespace {

using C = StatusClass;
using V = StatusValue;
using P = RowPhase;

constexpr std::array<const char*, 4> kNoSteps{};

// Codes 1 to 22. The texts are the system's own, byte for byte (trailing
// spaces included).
constexpr std::array<StatusEntry, kStatusCodes> kTable = {{
    {StatusPass, C::kPass, "%s-:Pass", false, V::kUnused, nullptr, kNoSteps, kImagePassed, P::kNone, P::kNone},
    {StatusSizeFail, C::kFail, "%c:[size X]", true, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusCompareFail, C::kFail, "%s-:[compare X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusOpenFail, C::kFail, "%c:[open X]", true, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusSourceFail, C::kFail, "%c:[source X]", true, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusBusy, C::kInProgress, "%c:....", true, V::kUnused, nullptr, kNoSteps, -1, P::kNone, P::kNone},
    {StatusEmpty, C::kEmpty, "%c:empty", true, V::kUnused, nullptr, kNoSteps, -1, P::kNone, P::kNone},
    {StatusReadFail, C::kFail, "%c:read X", true, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusEraseProgress, C::kInProgress, "%s-(Erase)%3d %%", false, V::kPercent, "%s-:(Erase)ok", kNoSteps, kImageErasing, P::kErase, P::kNone},
    {StatusRwTestProgress, C::kInProgress, "%s-(rw-test)%3d %%", false, V::kPercent, "%s-(rw-test)ok", kNoSteps, kImageWorking, P::kRwTest, P::kNone},
    {StatusEraseCapacity, C::kInProgress, "%c(E) Cap%3d ", true, V::kCount, nullptr, kNoSteps, kImageWorking, P::kNone, P::kNone},
    {StatusRwTableFail, C::kFail, "%s-:[rw-table X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusTableCompareFail, C::kFail, "%s-:[tab-compare X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusRwCompareFail, C::kFail, "%s-:[rw-compare X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusPnfFail, C::kFail, "%s-:[pnf X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    {StatusCapacityFail, C::kFail, "%s-:[capacity X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    // Its console action (an image rebuild) is the station's; the row stays.
    {StatusBuildImage, C::kInProgress, nullptr, false, V::kUnused, nullptr, kNoSteps, -1, P::kNone, P::kNone},
    {StatusConfigFail, C::kFail, "%s-:[config X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    // Its console action (a serial-number step) is the station's; the text goes blank.
    {StatusNextSerial, C::kInProgress, "", false, V::kUnused, nullptr, kNoSteps, -1, P::kNone, P::kNone},
    // Value 0: the table steps; 1-4: the image pieces written and verified.
    {StatusProcess, C::kInProgress, "%s-:Process", false, V::kSteps, nullptr,
     {"%s-.   ", "%s-..  ", "%s-... ", "%s-...."}, kImageWorking, P::kTable, P::kImage},
    // Another station holds the disk: refused, nothing sent to it.
    {StatusDiskInUse, C::kFail, "%s-:[in use X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
    // The verdict could not be recorded (produce.log or the line): never a pass.
    {StatusRecordFail, C::kFail, "%s-:[record X]", false, V::kUnused, nullptr, kNoSteps, kImageFailed, P::kNone, P::kNone},
}};

// 0 and codes above 22: a blank text, nothing else.
constexpr StatusEntry kUnknown = {0, C::kNone, "", false, V::kUnused, nullptr, kNoSteps, -1,
                                  P::kNone, P::kNone};

constexpr bool TableInCodeOrder() {
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (kTable[i].code != i + 1) return false;
  }
  return true;
}
static_assert(TableInCodeOrder(), "the status table is indexed by code - 1");

bool IsStep(const StatusEntry& e, std::uint16_t value) {
  return e.value == V::kSteps && value >= 1 && value <= e.stepTexts.size();
}

}  // namespace

const char* PhaseName(RowPhase phase) {
  switch (phase) {
    case P::kTable: return "table";
    case P::kErase: return "erase";
    case P::kRwTest: return "rw-test";
    case P::kImage: return "image";
    case P::kNone: break;
  }
  return "";
}

const std::array<StatusEntry, kStatusCodes>& StatusTable() { return kTable; }

const StatusEntry& LookUpStatus(std::uint16_t code) {
  if (code >= 1 && code <= kTable.size()) return kTable[code - 1];
  return kUnknown;
}

StatusClass ClassifyStatus(std::uint16_t code) { return LookUpStatus(code).statusClass; }

RowUpdate FormatStatusRow(const StatusEntry& e, std::uint16_t value, const std::string& label,
                          char letter) {
  RowUpdate u;
  if (e.text == nullptr) {
    u.setText = false;
    return u;
  }
  const char* format = e.text;
  if (e.value == V::kPercent && value == 100) format = e.doneText;
  if (IsStep(e, value)) format = e.stepTexts[value - 1u];
  const int number = (e.value == V::kCount || e.value == V::kPercent) ? value : 0;
  char buffer[256];
  if (e.byLetter) {
    std::snprintf(buffer, sizeof buffer, format, letter, number);
  } else {
    std::snprintf(buffer, sizeof buffer, format, label.c_str(), number);
  }
  u.text = buffer;
  if (e.image >= 0 && (e.value != V::kPercent || value == 0)) u.image = e.image;
  return u;
}

RowUpdate FormatStatusRow(std::uint16_t code, std::uint16_t value, const std::string& label,
                          char letter) {
  return FormatStatusRow(LookUpStatus(code), value, label, letter);
}

RowPhase StatusPhase(const StatusEntry& e, std::uint16_t value) {
  return IsStep(e, value) ? e.stepPhase : e.phase;
}

int StatusPhaseProgress(const StatusEntry& e, std::uint16_t value) {
  if (e.value == V::kPercent) return std::min<int>(value, 100);
  if (e.value == V::kSteps) {
    return IsStep(e, value) ? value * 100 / static_cast<int>(e.stepTexts.size()) : 0;
  }
  return -1;
}

}  // namespace kx20
